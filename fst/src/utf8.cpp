#include "fst/utf8.hpp"

namespace fst::utf8 {

namespace {

constexpr std::uint32_t kSurrogateLo = 0xD800;
constexpr std::uint32_t kSurrogateHi = 0xDFFF;

// The largest scalar whose encoding takes `n` bytes, n = 1..3.
constexpr std::uint32_t max_scalar_of_length(int n) noexcept {
  return n == 1 ? 0x7F : n == 2 ? 0x7FF : 0xFFFF;
}

bool is_continuation(std::uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

}  // namespace

Utf8Sequence::Utf8Sequence(std::span<const std::uint8_t> start, std::span<const std::uint8_t> end)
    : len_(start.size() < ranges_.size() ? start.size() : ranges_.size()) {
  for (std::size_t i = 0; i < len_ && i < end.size(); ++i) ranges_[i] = {start[i], end[i]};
}

bool Utf8Sequence::matches(std::span<const std::uint8_t> bytes) const noexcept {
  if (bytes.size() != len_) return false;
  for (std::size_t i = 0; i < len_; ++i) {
    if (!ranges_[i].matches(bytes[i])) return false;
  }
  return true;
}

bool operator==(const Utf8Sequence& a, const Utf8Sequence& b) noexcept {
  if (a.len_ != b.len_) return false;
  for (std::size_t i = 0; i < a.len_; ++i) {
    if (!(a.ranges_[i] == b.ranges_[i])) return false;
  }
  return true;
}

Utf8Sequences::Utf8Sequences(char32_t start, char32_t end) {
  const std::uint32_t hi = end > kMaxScalar ? kMaxScalar : static_cast<std::uint32_t>(end);
  push(static_cast<std::uint32_t>(start), hi);
}

std::optional<Utf8Sequence> Utf8Sequences::next() {
  // Each pass of the inner loop either emits a sequence or narrows `r`, pushing the part it cut
  // off; the pushed parts are higher than `r`, so popping keeps the output in ascending order.
  while (!stack_.empty()) {
    ScalarRange r = stack_.back();
    stack_.pop_back();
    for (;;) {
      // Cut the surrogate block out: keep the part below it, defer the part above it.
      if (r.start <= kSurrogateHi && r.end >= kSurrogateLo) {
        if (r.end > kSurrogateHi) push(kSurrogateHi + 1, r.end);
        r.end = kSurrogateLo - 1;
        if (r.start >= kSurrogateLo) break;  // nothing left below the surrogates
        continue;
      }
      if (r.start > r.end) break;
      // Every sequence must cover scalars of a single encoded length.
      bool split = false;
      for (int n = 1; n <= 3; ++n) {
        const std::uint32_t max = max_scalar_of_length(n);
        if (r.start <= max && max < r.end) {
          push(max + 1, r.end);
          r.end = max;
          split = true;
          break;
        }
      }
      if (split) continue;
      if (r.end <= 0x7F) {
        const std::uint8_t lo = static_cast<std::uint8_t>(r.start);
        const std::uint8_t hi = static_cast<std::uint8_t>(r.end);
        return Utf8Sequence(std::span(&lo, 1), std::span(&hi, 1));
      }
      // Byte-wise ranges are exact only when the continuation bytes below the first
      // differing position span their full 80..BF range; align the range on those bits.
      for (int i = 1; i <= 3 && !split; ++i) {
        const std::uint32_t m = (std::uint32_t{1} << (6 * i)) - 1;
        if ((r.start & ~m) != (r.end & ~m)) {
          if ((r.start & m) != 0) {
            push((r.start | m) + 1, r.end);
            r.end = r.start | m;
            split = true;
          } else if ((r.end & m) != m) {
            push(r.end & ~m, r.end);
            r.end = (r.end & ~m) - 1;
            split = true;
          }
        }
      }
      if (split) continue;
      std::array<std::uint8_t, 4> a{};
      std::array<std::uint8_t, 4> b{};
      const std::size_t n = encode(r.start, a);
      encode(r.end, b);
      return Utf8Sequence(std::span(a.data(), n), std::span(b.data(), n));
    }
  }
  return std::nullopt;
}

std::size_t encode(char32_t c, std::array<std::uint8_t, 4>& out) noexcept {
  const std::uint32_t v = c;
  if (v < 0x80) {
    out[0] = static_cast<std::uint8_t>(v);
    return 1;
  }
  if (v < 0x800) {
    out[0] = static_cast<std::uint8_t>(0xC0 | (v >> 6));
    out[1] = static_cast<std::uint8_t>(0x80 | (v & 0x3F));
    return 2;
  }
  if (v >= kSurrogateLo && v <= kSurrogateHi) return 0;
  if (v < 0x10000) {
    out[0] = static_cast<std::uint8_t>(0xE0 | (v >> 12));
    out[1] = static_cast<std::uint8_t>(0x80 | ((v >> 6) & 0x3F));
    out[2] = static_cast<std::uint8_t>(0x80 | (v & 0x3F));
    return 3;
  }
  if (v > kMaxScalar) return 0;
  out[0] = static_cast<std::uint8_t>(0xF0 | (v >> 18));
  out[1] = static_cast<std::uint8_t>(0x80 | ((v >> 12) & 0x3F));
  out[2] = static_cast<std::uint8_t>(0x80 | ((v >> 6) & 0x3F));
  out[3] = static_cast<std::uint8_t>(0x80 | (v & 0x3F));
  return 4;
}

bool decode(std::string_view bytes, std::vector<char32_t>& out) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const auto b0 = static_cast<std::uint8_t>(bytes[i]);
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
    }
    std::size_t len;
    std::uint32_t v;
    std::uint32_t min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2;
      v = b0 & 0x1F;
      min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      len = 3;
      v = b0 & 0x0F;
      min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      len = 4;
      v = b0 & 0x07;
      min = 0x10000;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto b = static_cast<std::uint8_t>(bytes[i + k]);
      if (!is_continuation(b)) return false;
      v = (v << 6) | (b & 0x3F);
    }
    if (v < min || v > kMaxScalar || (v >= kSurrogateLo && v <= kSurrogateHi)) return false;
    out.push_back(v);
    i += len;
  }
  return true;
}

}  // namespace fst::utf8
