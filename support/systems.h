// The library's one global state object: the library-wide lock, the shared
// capture object and its open count, and the host's network protocol version.
#pragma once

#include <atomic>

#include "support/winapi.h"

class CAudioCapture;

class CSystems {
public:
    CSystems();
    virtual ~CSystems();

    CSystems(const CSystems&) = delete;
    CSystems& operator=(const CSystems&) = delete;

    // Outstanding capture opens; read and changed only under m_csLock.
    int m_nCaptureRefs;
    // The shared capture object, or null; read and changed only under m_csLock.
    CAudioCapture* m_pCapture;
    // Held for the whole of each capture open and close, by nothing else.
    CRITICAL_SECTION m_csLock;
    // Last value the host gave; nothing in the library reads it.
    // Any host thread may set it, so it is atomic (relaxed: nothing is ordered
    // by it).
    std::atomic<int> m_nNetProtocolVersion;
};

extern CSystems g_Systems;

// The library's own module handle: set by the entry point on process attach,
// cleared on detach. The diagnostic log derives its file's place from it.
extern HMODULE g_hModule;
