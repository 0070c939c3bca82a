// Scoped lock over a Windows critical section.
#pragma once

#include "support/winapi.h"

class CAutoCri {
public:
    // Enters `cs` (blocking until it is free) unless it is null.
    explicit CAutoCri(CRITICAL_SECTION* cs);
    virtual ~CAutoCri();

    // Leaves the section early. Returns 1 when a section was held and has been
    // left, 0 when none was held; the destructor then does nothing.
    int Unlock();

    CAutoCri(const CAutoCri&) = delete;
    CAutoCri& operator=(const CAutoCri&) = delete;

private:
    CRITICAL_SECTION* m_pCs;
};
