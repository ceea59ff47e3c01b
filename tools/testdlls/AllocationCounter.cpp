// The plug-in's own global operator new and delete, in every form, counting what one thread asks
// the heap for: linked into a build of the plug-in for the allocation test, which learns from it
// what the playback thread allocates while it plays. The counting costs a thread id compare; the
// memory comes from the C runtime as it would without it.
#include "AllocationCounter.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <malloc.h>
#include <new>

namespace {

std::atomic<DWORD> countedThread{0}; // 0: none
std::atomic<long> allocations{0};

void CountIfWatched() {
    const DWORD watched = countedThread.load(std::memory_order_relaxed);
    if (watched != 0 && watched == GetCurrentThreadId())
        allocations.fetch_add(1, std::memory_order_relaxed);
}

void *Allocate(std::size_t size) noexcept {
    CountIfWatched();
    return std::malloc(size != 0 ? size : 1);
}

// Aligned blocks come from their own allocator and go back to it.
void *AllocateAligned(std::size_t size, std::align_val_t alignment) noexcept {
    CountIfWatched();
    return _aligned_malloc(size != 0 ? size : 1, static_cast<std::size_t>(alignment));
}

void *OrThrow(void *memory) {
    if (!memory)
        throw std::bad_alloc();
    return memory;
}

} // namespace

void __cdecl HvqTest_CountAllocationsOnThisThread() {
    countedThread.store(GetCurrentThreadId());
}

long __cdecl HvqTest_CountedAllocations() {
    return allocations.load();
}

void *operator new(std::size_t size) {
    return OrThrow(Allocate(size));
}
void *operator new[](std::size_t size) {
    return OrThrow(Allocate(size));
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    return Allocate(size);
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    return Allocate(size);
}
void *operator new(std::size_t size, std::align_val_t alignment) {
    return OrThrow(AllocateAligned(size, alignment));
}
void *operator new[](std::size_t size, std::align_val_t alignment) {
    return OrThrow(AllocateAligned(size, alignment));
}
void *operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t &) noexcept {
    return AllocateAligned(size, alignment);
}
void *operator new[](std::size_t size, std::align_val_t alignment,
                     const std::nothrow_t &) noexcept {
    return AllocateAligned(size, alignment);
}

void operator delete(void *memory) noexcept {
    std::free(memory);
}
void operator delete[](void *memory) noexcept {
    std::free(memory);
}
void operator delete(void *memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void *memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete(void *memory, const std::nothrow_t &) noexcept {
    std::free(memory);
}
void operator delete[](void *memory, const std::nothrow_t &) noexcept {
    std::free(memory);
}
void operator delete(void *memory, std::align_val_t) noexcept {
    _aligned_free(memory);
}
void operator delete[](void *memory, std::align_val_t) noexcept {
    _aligned_free(memory);
}
void operator delete(void *memory, std::size_t, std::align_val_t) noexcept {
    _aligned_free(memory);
}
void operator delete[](void *memory, std::size_t, std::align_val_t) noexcept {
    _aligned_free(memory);
}
void operator delete(void *memory, std::align_val_t, const std::nothrow_t &) noexcept {
    _aligned_free(memory);
}
void operator delete[](void *memory, std::align_val_t, const std::nothrow_t &) noexcept {
    _aligned_free(memory);
}
