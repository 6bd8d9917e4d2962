#pragma once
// Heap allocations made by this process so far (malloc, calloc, realloc, and so operator new),
// counted by the benchmark executable, which takes those names from the C library for itself and
// for every library and plugin it loads.
namespace bench {
unsigned long Allocations();
}  // namespace bench
