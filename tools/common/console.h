// The host programs' console: whether output goes to a terminal, the progress
// line they keep on it, and interrupts. The platform's part is in
// console_posix.cpp and console_win.cpp.
#pragma once

#include <stdio.h>

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

// Says so when a device has stopped moving (a stalled sound server, a headset
// that stopped streaming), and again when it moves once more, instead of
// leaving a progress line frozen without a word. The program looks at its
// device as it goes and tells the watch what it saw.
class StallWatch {
public:
    using Clock = std::chrono::steady_clock;

    // Writes "<program>: <stalled> for 5 s" once the device has not moved for
    // `limit` while it was expected to, and "<program>: <resumed>" when it
    // moves again, each as a line of its own on `out`.
    StallWatch(const char* program, const char* stalled, const char* resumed,
               Clock::duration limit = std::chrono::seconds(5), FILE* out = stderr);

    // `moved`: the device moved since the last look; `expected`: it has work
    // to do (a time it has nothing to do does not count as a stall).
    void Look(bool moved, bool expected, Clock::time_point now = Clock::now());
    bool Stalled() const { return m_stalled; }

private:
    const char* const m_program;
    const char* const m_stalledText;
    const char* const m_resumedText;
    const Clock::duration m_limit;
    FILE* const m_out;
    Clock::time_point m_since{};  // the last move, or when work began
    bool m_watching = false;
    bool m_stalled = false;
};

} // namespace svtool
