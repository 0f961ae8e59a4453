// Synchronous notifications: post() calls every matching observer on the posting thread before
// it returns. Job objects post progress through it; the driver observes.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/value.h"

namespace platform {

struct Notification {
    std::string name;
    const void *object = nullptr; // the sender, or null
    Dictionary userInfo;
};

class NotificationCenter {
public:
    using Observer = std::function<void(const Notification &)>;
    using Token = unsigned long;

    static NotificationCenter &defaultCenter();

    // Observes notifications of that name (every name when empty) from that sender (any sender
    // when null). The token removes it.
    Token addObserver(const std::string &name, const void *object, Observer observer);
    void removeObserver(Token token);

    // Safe from any thread. Observers run on the posting thread; an observer may add or remove
    // observers, which takes effect from the next post.
    void post(const std::string &name, const void *object, const Dictionary &userInfo = {});

private:
    struct Entry {
        Token token;
        std::string name;
        const void *object;
        std::shared_ptr<Observer> observer;
    };
    std::mutex m_mutex;
    std::vector<Entry> m_entries;
    Token m_next = 1;
};

// The progress report every job posts: "progressReportUpdated" with "progressText" (the step
// text, localized here) and "progressStatus" (percent, 0..100).
inline constexpr const char kProgressNotification[] = "progressReportUpdated";
inline constexpr const char kProgressText[] = "progressText";
inline constexpr const char kProgressStatus[] = "progressStatus";
// Posts it on the calling thread; throws std::bad_alloc when memory runs out.
void post_progress(const void *sender, const std::string &textKey, double percent);

// Removes the observer when it goes out of scope.
class ScopedObserver {
public:
    ScopedObserver(const std::string &name, const void *object, NotificationCenter::Observer fn,
                   NotificationCenter &center = NotificationCenter::defaultCenter())
        : m_center(center), m_token(center.addObserver(name, object, std::move(fn)))
    {
    }
    ~ScopedObserver() { m_center.removeObserver(m_token); }
    ScopedObserver(const ScopedObserver &) = delete;
    ScopedObserver &operator=(const ScopedObserver &) = delete;

private:
    NotificationCenter &m_center;
    NotificationCenter::Token m_token;
};

} // namespace platform
