#include "counted_allocations.h"

#include <atomic>
#include <cstdlib>
#include <new>

// The sanitizers' runtimes, linked statically by clang, define the operators.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SG_SANITIZER_NEW 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SG_SANITIZER_NEW 1
#endif
#endif

namespace sgtest {
namespace {

std::atomic<bool> g_counting{false};
std::atomic<int> g_news{0};
std::atomic<int> g_deletes{0};

}  // namespace

bool allocations_counted() {
#ifdef SG_SANITIZER_NEW
    return false;
#else
    return true;
#endif
}

void start_counting_allocations() {
    g_news = 0;
    g_deletes = 0;
    g_counting = true;
}

void stop_counting_allocations() {
    g_counting = false;
}

int counted_news() {
    return g_news;
}

int counted_deletes() {
    return g_deletes;
}

}  // namespace sgtest

#ifndef SG_SANITIZER_NEW
// The other forms (nothrow, array) come to these; the aligned ones
// are not counted.
void* operator new(std::size_t size) {
    if (sgtest::g_counting.load(std::memory_order_relaxed))
        ++sgtest::g_news;
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
    if (p && sgtest::g_counting.load(std::memory_order_relaxed))
        ++sgtest::g_deletes;
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
    operator delete(p);
}
#endif
