#include "app/progress_display.h"

#include <cmath>

namespace app {

ProgressDisplay::ProgressDisplay(FILE *out, bool terminal, bool quiet)
    : m_out(out), m_terminal(terminal), m_quiet(quiet)
{
    m_token = platform::NotificationCenter::defaultCenter().addObserver(
        platform::kProgressNotification, nullptr, [this](const platform::Notification &n) {
            auto s = n.userInfo.find(platform::kProgressStatus);
            auto t = n.userInfo.find(platform::kProgressText);
            double pct = s == n.userInfo.end() ? 0 : s->second.doubleValue();
            const std::string *text = t == n.userInfo.end() ? nullptr : t->second.string();
            report(pct, text ? *text : m_stage);
        });
}

ProgressDisplay::~ProgressDisplay()
{
    platform::NotificationCenter::defaultCenter().removeObserver(m_token);
}

void ProgressDisplay::stage(const std::string &name)
{
    auto now = Clock::now();
    if (!m_stage.empty())
        m_timings.emplace_back(m_stage, std::chrono::duration<double>(now - m_start).count());
    m_stage = name;
    m_start = now;
    if (m_quiet)
        return;
    if (m_terminal) {
        draw(0, name + "...");
    } else {
        std::fprintf(m_out, "%s...\n", name.c_str());
        std::fflush(m_out);
        m_lastText = name + "...";
        m_lastPlain = 0;
    }
}

void ProgressDisplay::report(double percent, const std::string &text)
{
    if (m_quiet)
        return;
    if (!(percent >= 0))
        percent = 0;
    if (percent > 100)
        percent = 100;
    if (m_terminal) {
        draw(percent, text);
        return;
    }
    // Plain lines: one when the text changes, then at most one per 10 percent.
    int decile = static_cast<int>(percent / 10);
    if (text != m_lastText || decile > m_lastPlain) {
        std::fprintf(m_out, "  %3d%% %s\n", static_cast<int>(percent), text.c_str());
        std::fflush(m_out);
        m_lastText = text;
        m_lastPlain = decile;
    }
}

void ProgressDisplay::note(const std::string &line)
{
    if (m_quiet)
        return;
    if (m_barShown)
        std::fputs("\r\033[K", m_out);
    std::fputs(line.c_str(), m_out);
    if (m_barShown)
        draw(m_barPercent, m_barText);
    std::fflush(m_out);
}

void ProgressDisplay::draw(double percent, const std::string &text)
{
    m_barPercent = percent;
    m_barText = text;
    constexpr int kWidth = 30;
    int filled = static_cast<int>(std::lround(percent * kWidth / 100));
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kWidth - filled), '-');
    std::fprintf(m_out, "\r\033[K[%s] %3d%% %s", bar.c_str(), static_cast<int>(percent),
                 text.c_str());
    std::fflush(m_out);
    m_barShown = true;
}

void ProgressDisplay::finish()
{
    if (!m_stage.empty())
        m_timings.emplace_back(m_stage,
                               std::chrono::duration<double>(Clock::now() - m_start).count());
    m_stage.clear();
    if (m_barShown && !m_quiet) {
        std::fprintf(m_out, "\r\033[K");
        std::fflush(m_out);
    }
    m_barShown = false;
}

} // namespace app
