// Counts every heap allocation of a program by replacing the global operator
// new. Include it in exactly one source file of a benchmark program, then
// compare allocationCount() before and after the code measured.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace dravik::testing {
inline std::atomic<long>& allocationCounter() {
  static std::atomic<long> count{0};
  return count;
}
inline long allocationCount() { return allocationCounter().load(std::memory_order_relaxed); }
}  // namespace dravik::testing

// Neither inlined nor cloned: inlined, the compiler would pair the malloc
// inside new with the free inside delete at each call site and warn about a
// mismatch; a specialised clone of new is invisible to memory checkers, which
// then see a malloc released by operator delete.
__attribute__((noipa)) void* operator new(std::size_t size) {
  dravik::testing::allocationCounter().fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
__attribute__((noipa)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noipa)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }
