// The global allocation functions of a test program that counts what the
// packet path allocates. Include it in exactly one file of the program,
// after that file has defined
//   void* CountedAllocation(size_t size);   // malloc-like; null: out of memory
// in the global namespace or a visible one; every new goes through it and
// every delete to free.
#ifndef VELK_TESTS_SUPPORT_REPLACED_ALLOCATION_H
#define VELK_TESTS_SUPPORT_REPLACED_ALLOCATION_H

#include <stdlib.h>

#include <new>

// Kept out of line: inlined into a caller, new and delete would look to the
// compiler like a mismatched pair of allocation functions.
#define VELK_OUT_OF_LINE __attribute__((noinline))

VELK_OUT_OF_LINE void* operator new(size_t size) {
  void* p = CountedAllocation(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
VELK_OUT_OF_LINE void* operator new[](size_t size) {
  void* p = CountedAllocation(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
VELK_OUT_OF_LINE void* operator new(size_t size, const std::nothrow_t&) noexcept { return CountedAllocation(size); }
VELK_OUT_OF_LINE void* operator new[](size_t size, const std::nothrow_t&) noexcept { return CountedAllocation(size); }
VELK_OUT_OF_LINE void operator delete(void* p) noexcept { free(p); }
VELK_OUT_OF_LINE void operator delete[](void* p) noexcept { free(p); }
VELK_OUT_OF_LINE void operator delete(void* p, size_t) noexcept { free(p); }
VELK_OUT_OF_LINE void operator delete[](void* p, size_t) noexcept { free(p); }
VELK_OUT_OF_LINE void operator delete(void* p, const std::nothrow_t&) noexcept { free(p); }
VELK_OUT_OF_LINE void operator delete[](void* p, const std::nothrow_t&) noexcept { free(p); }

#undef VELK_OUT_OF_LINE

#endif
