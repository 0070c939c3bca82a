// Captures what the code under test writes to the debugger output. The sink is
// attached once per test program and stays attached (the kernel stand-in keeps
// sinks for the life of the process); tests clear it and count lines.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include <svwin/platform.h>

namespace codectest {

class DebugCapture {
public:
    static DebugCapture& Get()
    {
        static DebugCapture* capture = [] {
            DebugCapture* c = new DebugCapture;
            SvSetDebugOutputSink(&DebugCapture::Sink, c);
            return c;
        }();
        return *capture;
    }

    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }

    int Count(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<int>(std::count(m_lines.begin(), m_lines.end(), line));
    }

private:
    static void Sink(const char* text, void* user)
    {
        DebugCapture* self = static_cast<DebugCapture*>(user);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_lines.push_back(text);
    }

    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

} // namespace codectest
