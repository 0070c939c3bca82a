// Module handles and paths. A module handle is the load address of an object
// (the executable or a shared library), as on Windows; the null handle stands
// for the executable.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>

#include <svwin/platform.h>
#include <svwin/windows.h>

namespace {

std::mutex g_namesLock;
std::map<HMODULE, std::string>& Names()
{
    static std::map<HMODULE, std::string> names;
    return names;
}

// Copies `path` as GetModuleFileNameA does: truncated to size-1 characters and
// terminated; returns the characters copied.
DWORD CopyPath(const char* path, LPSTR out, DWORD size)
{
    if (size == 0)
        return 0;
    size_t len = strlen(path);
    if (len >= size)
        len = size - 1;
    memcpy(out, path, len);
    out[len] = '\0';
    return static_cast<DWORD>(len);
}

// A shared library's file carries its version after ".so" (libSonavex.so.1.0.0);
// a Windows module's name carries none, and what is derived from the name (the
// library's log file) must not change from one version to the next. Cuts the
// version off: "/lib/libX.so.1.0.0" becomes "/lib/libX.so".
void DropSharedObjectVersion(char* path)
{
    char* base = strrchr(path, '/');
    char* so = strstr(base != nullptr ? base : path, ".so.");
    if (so == nullptr)
        return;
    const char* p = so + 3;
    while (*p == '.' && p[1] >= '0' && p[1] <= '9') {
        ++p;
        while (*p >= '0' && *p <= '9')
            ++p;
    }
    if (*p == '\0')
        so[3] = '\0';
}

}  // namespace

SVWIN_API void SvSetModuleFileName(HMODULE module, const char* path)
{
    std::lock_guard<std::mutex> lock(g_namesLock);
    if (path != nullptr)
        Names()[module] = path;
    else
        Names().erase(module);
}

SVWIN_API HMODULE SvModuleOf(const void* address)
{
    Dl_info info;
    if (dladdr(address, &info) == 0)
        return nullptr;
    return static_cast<HMODULE>(info.dli_fbase);
}

SVWIN_API DWORD GetModuleFileNameA(HMODULE module, LPSTR filename, DWORD size)
{
    if (filename == nullptr || size == 0)
        return 0;
    {
        std::lock_guard<std::mutex> lock(g_namesLock);
        auto it = Names().find(module);
        if (it != Names().end())
            return CopyPath(it->second.c_str(), filename, size);
    }

    char resolved[PATH_MAX];
    if (module != nullptr) {
        Dl_info info;
        if (dladdr(module, &info) == 0 || info.dli_fbase != static_cast<void*>(module))
            return 0;
        // The executable's own entry may carry only the name it was started by.
        if (info.dli_fname != nullptr && strchr(info.dli_fname, '/') != nullptr &&
            realpath(info.dli_fname, resolved) != nullptr) {
            DropSharedObjectVersion(resolved);
            return CopyPath(resolved, filename, size);
        }
    }
    ssize_t n = readlink("/proc/self/exe", resolved, sizeof(resolved) - 1);
    if (n <= 0)
        return 0;
    resolved[n] = '\0';
    return CopyPath(resolved, filename, size);
}
