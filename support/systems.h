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

    // Held for the whole of each capture open and close, by nothing else.
    CRITICAL_SECTION* GetCaptureLock() { return &m_csLock; }
    // The shared capture object (or null) and its outstanding opens: read and
    // changed only with GetCaptureLock() held.
    CAudioCapture* GetCapture() const { return m_pCapture; }
    int GetCaptureRefs() const { return m_nCaptureRefs; }
    void SetCapture(CAudioCapture* capture, int refs)
    {
        m_pCapture = capture;
        m_nCaptureRefs = refs;
    }
    // One open more or less; returns the opens outstanding after it.
    int AddCaptureRef() { return ++m_nCaptureRefs; }
    int ReleaseCaptureRef() { return --m_nCaptureRefs; }

    // Last value the host gave; nothing in the library reads it. Any host
    // thread may set it, so it is atomic (relaxed: nothing is ordered by it).
    void SetNetProtocolVersion(int version) { m_nNetProtocolVersion.store(version, std::memory_order_relaxed); }
    int GetNetProtocolVersion() const { return m_nNetProtocolVersion.load(std::memory_order_relaxed); }

private:
    int m_nCaptureRefs;
    CAudioCapture* m_pCapture;
    CRITICAL_SECTION m_csLock;
    std::atomic<int> m_nNetProtocolVersion;
};

extern CSystems g_Systems;

// The library's own module handle: set by the entry point on process attach,
// cleared on detach. The diagnostic log derives its file's place from it.
extern HMODULE g_hModule;
