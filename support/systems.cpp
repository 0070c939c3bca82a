#include "support/systems.h"

HMODULE g_hModule = nullptr;

// Built during the module's static initialisation, before the host can call
// any export; destroyed at unload. Capture objects the host never closed are
// left alone: by then nothing may call into them.
CSystems g_Systems;

CSystems::CSystems() : m_nCaptureRefs(0), m_pCapture(nullptr), m_nNetProtocolVersion(0)
{
    InitializeCriticalSection(&m_csLock);
}

CSystems::~CSystems() { DeleteCriticalSection(&m_csLock); }
