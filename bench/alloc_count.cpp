#include "alloc_count.h"

#include <atomic>
#include <cstddef>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *p, size_t size);
}

namespace {
std::atomic<unsigned long> allocations{0};
}

namespace bench {
unsigned long Allocations() { return allocations.load(std::memory_order_relaxed); }
}  // namespace bench

extern "C" {
void *malloc(size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
void *calloc(size_t count, size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
void *realloc(void *p, size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, size);
}
}
