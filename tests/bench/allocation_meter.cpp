#include "allocation_meter.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> live{0};
std::atomic<std::size_t> highest{0};

// Each block carries its size in front of it, so that a delete without a
// size knows what it gives back. The header keeps the alignment of malloc.
constexpr std::size_t header = alignof(std::max_align_t);

void* allocate(std::size_t size, bool nothrow) {
    void* block = std::malloc(size + header);
    if (block == nullptr) {
        if (nothrow) return nullptr;
        throw std::bad_alloc();
    }
    *static_cast<std::size_t*>(block) = size;
    const std::size_t now = live.fetch_add(size, std::memory_order_relaxed) + size;
    std::size_t seen = highest.load(std::memory_order_relaxed);
    while (now > seen && !highest.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
    }
    return static_cast<char*>(block) + header;
}

void release(void* pointer) noexcept {
    if (pointer == nullptr) return;
    void* block = static_cast<char*>(pointer) - header;
    live.fetch_sub(*static_cast<std::size_t*>(block), std::memory_order_relaxed);
    std::free(block);
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size, false); }
void* operator new[](std::size_t size) { return allocate(size, false); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size, true);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size, true);
}
void operator delete(void* pointer) noexcept { release(pointer); }
void operator delete[](void* pointer) noexcept { release(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { release(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { release(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { release(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { release(pointer); }

namespace kvtest {

allocation_meter::allocation_meter() : start_(live.load()) { highest.store(start_); }

std::size_t allocation_meter::peak() const {
    const std::size_t top = highest.load();
    return top > start_ ? top - start_ : 0;
}

std::size_t allocation_meter::held() const {
    const std::size_t now = live.load();
    return now > start_ ? now - start_ : 0;
}

}  // namespace kvtest
