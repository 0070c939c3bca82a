// Array new and delete for the stateful fuzz targets, with the frame
// buffers' 1 MiB rings kept for the next open instead of given back.
//
// Every decoder and capture open allocates a 1 MiB ring and clears it, and
// under AddressSanitizer a block that large is fresh memory every time: the
// clearing faults in 256 pages, which cost half of an input's time. Kept
// blocks are already mapped. A kept block is poisoned while it is not handed
// out, so a use after the library's delete is still reported; it keeps the
// red zones of its first allocation; and the library clears every ring it
// gets, so nothing of one input reaches the next. Array new and delete go to
// malloc and free here (AddressSanitizer still reports mixing them with
// scalar new and delete); the rest of the allocator is AddressSanitizer's.
#include <stdlib.h>

#include <atomic>
#include <mutex>
#include <new>

#include <sanitizer/asan_interface.h>

#include "audio/audioframebuffer.h"

namespace {

const size_t kRingBytes = CAudioFrameBuffer::kStreamRingBytes;
const int kKept = 8;

struct Pool {
    std::mutex mutex;
    std::atomic<void*> blocks[kKept] = {};
    bool inUse[kKept] = {};
};

Pool& ThePool()
{
    static Pool* pool = new Pool;  // never destroyed: rings may be freed at exit
    return *pool;
}

void* Allocate(size_t size)
{
    if (size == kRingBytes) {
        Pool& pool = ThePool();
        std::lock_guard<std::mutex> lock(pool.mutex);
        for (int i = 0; i < kKept; ++i) {
            void* block = pool.blocks[i].load();
            if (block == nullptr) {
                block = malloc(kRingBytes);
                if (block == nullptr)
                    return nullptr;
                pool.blocks[i].store(block);
            } else if (pool.inUse[i]) {
                continue;
            }
            pool.inUse[i] = true;
            ASAN_UNPOISON_MEMORY_REGION(block, kRingBytes);
            return block;
        }
    }
    return malloc(size != 0 ? size : 1);
}

void Release(void* p)
{
    if (p == nullptr)
        return;
    Pool& pool = ThePool();
    for (int i = 0; i < kKept; ++i) {
        if (pool.blocks[i].load(std::memory_order_relaxed) == p) {
            std::lock_guard<std::mutex> lock(pool.mutex);
            pool.inUse[i] = false;
            ASAN_POISON_MEMORY_REGION(p, kRingBytes);
            return;
        }
    }
    free(p);
}

}  // namespace

// The same reasoning for the smaller blocks of an open (the frame buffer
// object, the decode and device buffers): with the default quarantine of 256
// MiB every open gets fresh pages; 16 MiB still holds many inputs' frees.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }

void* operator new[](size_t size)
{
    void* p = Allocate(size);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete[](void* p, size_t) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }
