// The host programs' console: whether output goes to a terminal, the progress
// line they keep on it, and interrupts. The platform's part is in
// console_posix.cpp and console_win.cpp.
#pragma once

#include <chrono>
#include <string>

namespace svtool {

// Whether standard output is a terminal or console.
bool StdoutIsConsole();

// From now on an interrupt (Ctrl+C; SIGTERM too where there are signals) is
// noted for Interrupted() instead of ending the program, so that it closes
// its device and finishes its file as at a normal end.
void CatchInterrupts();
bool Interrupted();

// A write past the file-size limit is to fail and be reported, like any
// other, rather than end the program with its file's header never written.
void FailWritesPastSizeLimit();

// The line that reports a program's progress. On a console it is redrawn in
// place, at most every 100 ms; elsewhere (a pipe, a file) each report is a
// line of its own, due every `linePeriod`.
class ProgressLine {
public:
    using Clock = std::chrono::steady_clock;

    // `shown` false: a quiet run, with no progress.
    ProgressLine(bool shown, Clock::duration linePeriod);

    bool Shown() const { return m_shown; }
    bool InPlace() const { return m_inPlace; }
    // When the next report is due; the first is due at once.
    Clock::time_point NextDue() const { return m_nextDue; }
    bool Due() const { return Clock::now() >= m_nextDue; }

    // Draws `text` over the line in place, or writes it as a line.
    void Show(const std::string& text);
    // After the last report: ends the line in place, which stays on screen.
    void End();

    // `filled` of `width` characters `on`, the rest `off`: "####------".
    static std::string Bar(int filled, int width, char on, char off);

private:
    const bool m_shown;
    const bool m_inPlace;
    const Clock::duration m_linePeriod;
    Clock::time_point m_nextDue;
};

} // namespace svtool
