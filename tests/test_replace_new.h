// Replaces every form of operator new and delete for the test binary that
// includes this header, in exactly one of its files. The throwing forms go to
// SvTestNew, the nothrow forms to SvTestNewNoThrow, which that file defines;
// every form of delete goes to free, so memory from either can be given back.
#pragma once

#include <stdlib.h>

#include <new>

void* SvTestNew(size_t size);
void* SvTestNewNoThrow(size_t size) noexcept;

void* operator new(size_t size) { return SvTestNew(size); }
void* operator new[](size_t size) { return SvTestNew(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return SvTestNewNoThrow(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return SvTestNewNoThrow(size); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { free(p); }
