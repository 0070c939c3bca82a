// A made-up module of the library's in a fresh directory, for the tests that
// read the log the exception guards write: the log lies beside the module (its
// path less the last nine characters, then the day's file name), so each test
// reads only what it made happen.
#pragma once

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include <svwin/platform.h>

#include "support/systems.h"

namespace testlog {

// The log file of 2026-03-04, the day wavetest::FixedDay gives.
const char kFixedDayLog[] = "SoSonavexLog_20260304.txt";

class ModuleLog {
public:
    explicit ModuleLog(HMODULE module) : m_module(module) {}
    ~ModuleLog() { Remove(); }
    ModuleLog(const ModuleLog&) = delete;
    ModuleLog& operator=(const ModuleLog&) = delete;

    // Makes the directory and the module the library's, at
    // <directory>/Sonavex.dll; false when the directory cannot be made.
    bool Start()
    {
        char tmpl[] = "/tmp/svlogXXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            return false;
        m_dir = tmpl;
        m_saved = g_hModule;
        g_hModule = m_module;
        SvSetModuleFileName(m_module, (m_dir + "/Sonavex.dll").c_str());
        m_started = true;
        return true;
    }

    // Gives the library its own module back; what was logged stays readable.
    void Stop()
    {
        if (!m_started)
            return;
        SvSetModuleFileName(m_module, nullptr);
        g_hModule = m_saved;
        m_started = false;
    }

    // Stops, then removes the logs and the directory; false when something
    // was left behind.
    bool Remove()
    {
        Stop();
        if (m_dir.empty())
            return true;
        bool removed = true;
        ForEachLog([&](const std::string& name) { removed = remove((m_dir + "/" + name).c_str()) == 0 && removed; });
        removed = rmdir(m_dir.c_str()) == 0 && removed;
        m_dir.clear();
        return removed;
    }

    // The log file `name`, empty when there is none.
    std::string Read(const std::string& name) const
    {
        std::ifstream in(m_dir + "/" + name, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    // Every log in the directory, whatever its day.
    std::string ReadAll() const
    {
        std::string text;
        ForEachLog([&](const std::string& name) { text += Read(name); });
        return text;
    }

private:
    template <typename F>
    void ForEachLog(F f) const
    {
        DIR* dir = opendir(m_dir.c_str());
        if (dir == nullptr)
            return;
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.rfind("SoSonavexLog_", 0) == 0)
                f(name);
        }
        closedir(dir);
    }

    HMODULE const m_module;
    HMODULE m_saved = nullptr;
    std::string m_dir;
    bool m_started = false;
};

} // namespace testlog
