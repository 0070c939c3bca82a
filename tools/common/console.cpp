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

} // namespace svtool
