// Places bytes so that they end exactly at an inaccessible page: any read past
// them faults at once, in every build and also inside code that no sanitizer
// instruments (opencore's decoder).
#pragma once

#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include <gtest/gtest.h>

namespace codectest {

class GuardedBuffer {
public:
    GuardedBuffer()
    {
        m_page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* base = mmap(nullptr, 2 * m_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) {
            ADD_FAILURE() << "mmap failed";
            return;
        }
        m_base = static_cast<unsigned char*>(base);
        EXPECT_EQ(mprotect(m_base + m_page, m_page, PROT_NONE), 0);
    }
    ~GuardedBuffer()
    {
        if (m_base)
            munmap(m_base, 2 * m_page);
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    // The first `length` bytes of `bytes` (at most a page), ending at the guard.
    unsigned char* Place(const std::vector<unsigned char>& bytes, size_t length)
    {
        EXPECT_LE(length, bytes.size());
        EXPECT_LE(length, m_page);
        unsigned char* at = m_base + m_page - length;
        memcpy(at, bytes.data(), length);
        return at;
    }
    unsigned char* Place(const std::vector<unsigned char>& bytes) { return Place(bytes, bytes.size()); }

private:
    size_t m_page = 0;
    unsigned char* m_base = nullptr;
};

} // namespace codectest
