// Shows the job's progress on standard error: a bar with the percentage and the step text on a
// terminal, plain lines otherwise, nothing when quiet. Fed by the "progressReportUpdated"
// notifications and by the driver's stage names; also keeps per-stage timings.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/notification_center.h"

namespace app {

class ProgressDisplay {
public:
    ProgressDisplay(FILE *out, bool terminal, bool quiet);
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay &) = delete;
    ProgressDisplay &operator=(const ProgressDisplay &) = delete;

    // A new stage begins (ends the previous one for the timings).
    void stage(const std::string &name);
    // A progress report: percent 0..100 and the step text.
    void report(double percent, const std::string &text);
    // A line of its own (text ending with its newline) between the reports: on a terminal above
    // the bar, which is drawn again; nothing when quiet.
    void note(const std::string &line);
    // Ends the last stage and clears the bar.
    void finish();
    // "stage: seconds" lines, one per stage, in order.
    std::vector<std::pair<std::string, double>> timings() const { return m_timings; }

private:
    void draw(double percent, const std::string &text);
    using Clock = std::chrono::steady_clock;
    FILE *m_out;
    bool m_terminal, m_quiet;
    std::string m_stage;
    Clock::time_point m_start;
    std::vector<std::pair<std::string, double>> m_timings;
    int m_lastPlain = -1;
    std::string m_lastText;
    double m_barPercent = 0;
    std::string m_barText;
    bool m_barShown = false;
    platform::NotificationCenter::Token m_token = 0;
};

} // namespace app
