#include "support/autocri.h"

CAutoCri::CAutoCri(CRITICAL_SECTION* cs) : m_pCs(cs)
{
    if (m_pCs != nullptr)
        EnterCriticalSection(m_pCs);
}

CAutoCri::~CAutoCri() { Unlock(); }

int CAutoCri::Unlock()
{
    if (m_pCs == nullptr)
        return 0;
    LeaveCriticalSection(m_pCs);
    m_pCs = nullptr;
    return 1;
}
