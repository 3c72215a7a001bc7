#include "pages.hpp"

#include <sys/mman.h>

#include <cstdio>

namespace quenlith::pages {

void* allocate_bytes(std::uint64_t bytes, std::size_t align) {
  void* p = nullptr;
  if (bytes >= kHugePage) {
    if (bytes > 0x7FFFFFFFFFE00000ULL) panic("a huge page is a power of two");
    if (posix_memalign(&p, kHugePage, bytes) != 0) p = nullptr;
#ifdef MADV_HUGEPAGE
    // Ask for huge pages where the kernel grants them only on request: random probes into large
    // tables then miss the TLB far less. A refusal costs nothing but the hint.
    if (p != nullptr) (void)::madvise(p, bytes & ~(kHugePage - 1), MADV_HUGEPAGE);
#endif
  } else {
    // malloc's alignment serves every item type of a table.
    (void)align;
    p = std::malloc(bytes);
  }
  if (p == nullptr) {
    std::fprintf(stderr, "memory allocation of %llu bytes failed\n",
                 static_cast<unsigned long long>(bytes));
    std::abort();
  }
  return p;
}

}  // namespace quenlith::pages
