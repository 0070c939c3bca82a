#include "console.h"

#include <stdio.h>

#include <algorithm>

namespace svtool {

ProgressLine::ProgressLine(bool shown, Clock::duration linePeriod)
    : m_shown(shown), m_inPlace(shown && StdoutIsConsole()), m_linePeriod(linePeriod)
{
}

void ProgressLine::Show(const std::string& text)
{
    if (!m_shown)
        return;
    if (m_inPlace)
        printf("\r%s", text.c_str());
    else
        printf("%s\n", text.c_str());
    fflush(stdout);
    m_nextDue = Clock::now() + (m_inPlace ? std::chrono::milliseconds(100) : m_linePeriod);
}

void ProgressLine::End()
{
    if (!m_inPlace)
        return;
    printf("\n");
    fflush(stdout);
}

std::string ProgressLine::Bar(int filled, int width, char on, char off)
{
    const int n = std::clamp(filled, 0, width);
    return std::string(static_cast<size_t>(n), on) + std::string(static_cast<size_t>(width - n), off);
}

StallWatch::StallWatch(const char* program, const char* stalled, const char* resumed, Clock::duration limit,
                       FILE* out)
    : m_program(program), m_stalledText(stalled), m_resumedText(resumed), m_limit(limit), m_out(out)
{
}

void StallWatch::Look(bool moved, bool expected, Clock::time_point now)
{
    if (moved || !expected) {
        if (moved && m_stalled) {
            fprintf(m_out, "%s: %s\n", m_program, m_resumedText);
            fflush(m_out);
        }
        m_stalled = false;
        m_watching = expected;
        m_since = now;
        return;
    }
    if (!m_watching) {
        m_watching = true;
        m_since = now;
    }
    if (!m_stalled && now - m_since >= m_limit) {
        m_stalled = true;
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(m_limit).count();
        fprintf(m_out, "%s: %s for %lld s\n", m_program, m_stalledText, static_cast<long long>(seconds));
        fflush(m_out);
    }
}

} // namespace svtool
