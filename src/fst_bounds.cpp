#include "fst_bounds.hpp"

#include "bytes.hpp"

namespace quenlith::fst_bounds {

bool deltas_fit(const std::uint8_t* data, std::uint64_t len, std::uint64_t pos, std::uint64_t count,
                unsigned width, std::uint64_t bound) noexcept {
  if (width == 0) return pos <= len;
  if (count == 0 || width > 8) return false;
  // The lowest field starts (count - 1) * width bytes below the first; the first ends at
  // pos + width. Both ends are checked without overflow.
  const auto span = bytes::checked_mul(count - 1, width);
  if (!span || *span > pos) return false;
  if (!bytes::fits(pos, width, len)) return false;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (bytes::load_uint(data + pos - i * width, width) > bound) return false;
  }
  return true;
}

}  // namespace quenlith::fst_bounds
