// The module entry point: records the library's own module handle, which the
// diagnostic log uses to find its place beside the module.
#include "support/systems.h"
#include "support/winapi.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hModule, DWORD reason, LPVOID /*reserved*/)
{
    if (reason == DLL_PROCESS_ATTACH)
        g_hModule = hModule;
    else if (reason == DLL_PROCESS_DETACH)
        g_hModule = nullptr;
    return TRUE;
}
