#include "platform/alerts.h"

#include <cstdio>
#include <mutex>

namespace platform {
namespace {
std::mutex g_mutex;
AlertSink g_sink;
} // namespace

void run_alert(const std::string &title, const std::string &message, const std::string &button)
{
    AlertSink sink;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        sink = g_sink;
    }
    Alert a{title, message, button};
    if (sink)
        sink(a);
    else
        std::fprintf(stderr, "%s: %s\n", a.title.c_str(), a.message.c_str());
}

AlertSink set_alert_sink(AlertSink sink)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    AlertSink old = std::move(g_sink);
    g_sink = std::move(sink);
    return old;
}

} // namespace platform
