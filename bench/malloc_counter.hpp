// Counts every malloc of the benchmark process, so that hot-path lookups can be shown not to
// allocate. Include it in exactly one source file of a benchmark program.
#pragma once

#include <atomic>
#include <cstddef>

static std::atomic<long> g_mallocs{0};
extern "C" void* __libc_malloc(size_t);
extern "C" void* malloc(size_t n) {
    g_mallocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
