// Bounds checks over the raw bytes of a transducer map, made before its node decoder reads them.
#pragma once

#include <cstdint>

namespace quenlith::fst_bounds {

// True when `count` little-endian fields of `width` bytes, the first starting at byte `pos` and
// each further one `width` bytes lower, all lie inside [0, len) and each holds a value not above
// `bound`. With `width` 0 it answers whether pos <= len. Callers pass a count of at least 1 and a
// width of at most 8.
bool deltas_fit(const std::uint8_t* data, std::uint64_t len, std::uint64_t pos, std::uint64_t count,
                unsigned width, std::uint64_t bound) noexcept;

}  // namespace quenlith::fst_bounds
