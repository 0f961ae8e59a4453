#include "platform/notification_center.h"

#include <algorithm>
#include <memory>

#include "platform/bundle.h"

namespace platform {

NotificationCenter &NotificationCenter::defaultCenter()
{
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string &name,
                                                          const void *object, Observer observer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Token t = m_next++;
    m_entries.push_back({t, name, object, std::make_shared<Observer>(std::move(observer))});
    return t;
}

void NotificationCenter::removeObserver(Token token)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.erase(std::remove_if(m_entries.begin(), m_entries.end(),
                                   [token](const Entry &e) { return e.token == token; }),
                    m_entries.end());
}

void NotificationCenter::post(const std::string &name, const void *object,
                              const Dictionary &userInfo)
{
    // Observers run outside the lock so that they may post or (un)register themselves.
    std::vector<std::shared_ptr<Observer>> targets;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const Entry &e : m_entries)
            if ((e.name.empty() || e.name == name) && (e.object == nullptr || e.object == object))
                targets.push_back(e.observer);
    }
    Notification n{name, object, userInfo};
    for (auto &o : targets)
        (*o)(n);
}

void post_progress(const void *sender, const std::string &textKey, double percent)
{
    Dictionary info;
    info[kProgressText] = Value(localized_string(textKey));
    info[kProgressStatus] = Value(percent);
    NotificationCenter::defaultCenter().post(kProgressNotification, sender, info);
}

} // namespace platform
