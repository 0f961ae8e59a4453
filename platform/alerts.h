// Messages for the user ("Error" / "Information" with a message and a button). By default they
// go to standard error; tests and the driver install their own sink.
#pragma once

#include <functional>
#include <string>

namespace platform {

struct Alert {
    std::string title;
    std::string message;
    std::string button;
};

using AlertSink = std::function<void(const Alert &)>;

// Shows the alert through the current sink; safe from any thread.
void run_alert(const std::string &title, const std::string &message,
               const std::string &button = "OK");
// Installs a sink and returns the previous one; an empty sink restores standard error.
AlertSink set_alert_sink(AlertSink sink);

} // namespace platform
