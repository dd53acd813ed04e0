// Counts the calls of the global operator new and operator delete (which
// this test binary replaces) while counting is on: for code that must not
// allocate, such as what runs in a fork child before the child's own code.
#pragma once

namespace sgtest {

// False where a sanitizer's runtime brings its own operator new: nothing is
// counted then.
bool allocations_counted();
void start_counting_allocations();
void stop_counting_allocations();
// Since the last start.
int counted_news();
int counted_deletes();

}  // namespace sgtest
