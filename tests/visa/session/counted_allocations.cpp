#include "counted_allocations.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace sgtest {
namespace {

std::atomic<bool> g_counting{false};
std::atomic<int> g_news{0};
std::atomic<int> g_deletes{0};

}  // namespace

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
