// Runs the library's DllMain when the shared library that contains this file
// is loaded and unloaded, with that library's own module handle, as the
// Windows loader does for a DLL.
#include <svwin/platform.h>
#include <svwin/windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE hModule, DWORD reason, LPVOID reserved);

namespace {

HMODULE ThisModule()
{
    static const char anchor = 0;
    return SvModuleOf(&anchor);
}

__attribute__((constructor)) void OnLoad() { DllMain(ThisModule(), DLL_PROCESS_ATTACH, nullptr); }

__attribute__((destructor)) void OnUnload() { DllMain(ThisModule(), DLL_PROCESS_DETACH, nullptr); }

}  // namespace
