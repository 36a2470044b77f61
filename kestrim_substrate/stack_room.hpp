// Whether the C stack of the calling thread is nearly used up.
//
// The recursion limit counts levels, not bytes: a thread started after
// threading.stack_size(128 * 1024) holds far fewer of the writer's levels than the limit
// allows, and a deep document would run off the end of its stack. The writer asks this at
// each level past the first few, and refuses the document while there is still room to
// raise the error.
//
// A part of _jcs.cpp's one translation unit; see text_kernels.hpp.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace kestrim {
namespace {

// Room kept below the deepest level written: one more level (a few hundred bytes, about
// 700 under AddressSanitizer), the leaf calls it makes (float digits, the interpreter's
// conversions) and raising the error, with a wide margin.
constexpr std::uintptr_t kStackReserve = 16 * 1024;
// Before the limit is asked for: no frame is above it, so the first deep level asks.
constexpr std::uintptr_t kStackLimitNotAsked = UINTPTR_MAX;

// Where the stack is now: read from the register on x86-64, where asking for the frame's
// address would make every level of the writer set up a frame pointer.
inline std::uintptr_t stack_pointer() noexcept {
#if defined(__x86_64__)
    std::uintptr_t sp;
    asm("mov %%rsp, %0" : "=r"(sp));
    return sp;
#else
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#endif
}

// The lowest address of this thread's stack, or 0 where it cannot be known.
[[gnu::noinline, gnu::cold]] inline std::uintptr_t ask_stack_floor() noexcept {
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    void* base = nullptr;
    std::size_t size = 0;
    const int failed = pthread_attr_getstack(&attr, &base, &size);
    pthread_attr_destroy(&attr);
    return failed != 0 ? 0 : reinterpret_cast<std::uintptr_t>(base);
#else
    return 0;
#endif
}

// Frame addresses at or below this are within kStackReserve of the end of this thread's stack;
// 0 where that end is not known. Asked once per thread, and only by documents deep enough to
// ask (for the main thread the C library reads /proc/self/maps to answer); a thread's stack
// does not move while it lives. The writer keeps the answer for the rest of its call.
inline std::uintptr_t thread_stack_limit() noexcept {
    static thread_local std::uintptr_t limit = kStackLimitNotAsked;
    if (limit == kStackLimitNotAsked) {
        const std::uintptr_t floor = ask_stack_floor();
        limit = floor == 0 ? 0 : floor + kStackReserve;
    }
    return limit;
}

// True when the caller's frame is within kStackReserve of the end of the stack that limit was
// asked for. Code running on a stack of its own (a coroutine library's) is outside those
// bounds, and is not judged.
inline bool stack_nearly_full(std::uintptr_t limit) noexcept {
    const std::uintptr_t here = stack_pointer();
    return here <= limit && here + kStackReserve > limit;
}

}  // namespace
}  // namespace kestrim
