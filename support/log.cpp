#include "support/log.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "support/systems.h"

namespace {

// Characters cut from the end of the module's path before the log's name is
// appended: the log lies in the module's directory.
const DWORD kPathCut = 9;
const DWORD kPathChars = 256;

}  // namespace

int WriteLog(const char* message)
{
    try {
        // One reading supplies both the file's date and the line's time stamp,
        // so a line written across midnight lands in the file its stamp names.
        SYSTEMTIME st;
        GetLocalTime(&st);

        // Room for five-digit fields, so no clock value can overrun the name.
        char name[40];
        wsprintfA(name, "SonavexLog_%04d%02d%02d.txt", st.wYear, st.wMonth, st.wDay);

        char path[kPathChars];
        DWORD len = GetModuleFileNameA(g_hModule, path, kPathChars);
        // No path, or one too short to cut, gives no place for the log. A path
        // that was truncated to the buffer never fits with the name either.
        if (len < kPathCut || len >= kPathChars)
            return 0;
        size_t cut = len - kPathCut;
        size_t nameLen = strlen(name);
        if (cut + nameLen + 1 > kPathChars)
            return 0;
        memcpy(path + cut, name, nameLen + 1);

        // Binary append with an explicit CR LF: the bytes are the same on every
        // platform. fopen shares the file with other writers and readers.
        FILE* file = fopen(path, "ab");
        if (file == nullptr)
            return 0;
        fputs(message != nullptr ? message : "", file);
        fprintf(file, "\t\t%d-%d-%d-%d-%d-%d\r\n", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                st.wSecond);
        fclose(file);
        return 1;
    } catch (...) {
        return 0;
    }
}

void DebugTrace(const char* format, ...)
{
    // Formatting costs more than the rest of a frame's delivery; skip it when
    // nobody listens.
    if (!SvDebugOutputWanted())
        return;
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);  // cuts at 1023 characters
    va_end(args);
    OutputDebugStringA(text);
}
