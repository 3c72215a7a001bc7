// Key arena image (all integers little-endian; one version, read and written):
//
//   offset      size  content
//   0           8     u64 count of offsets: the number of strings n, plus 1 (never 0)
//   8           1     u8 encoding tag
//   9           T     offset table, with the fingerprint bytes where present (layouts below)
//   9+T         D     string data: the n strings back to back, no separators
//   9+T+D       V     overflow table (tag bit 6 only)
//   9+T+D+V     8     u64 V, the overflow table's length in bytes (tag bit 6 only)
//
// Every offset counts from the first byte of the data; string i spans [start_i, start_i+1).
//
// Tag: low 5 bits the layout; bit 5 (32) 8-byte block bases, else 4; bit 6 (64) an overflow table;
// bit 7 (128) one fingerprint byte per string. Valid: 4, 132, 8, 136, and 17 or 18 with any of
// bits 5, 6, 7.
//
// Flat layouts, tag 4 or 8 (w = 4 or 8 bytes):
//   (n + 1) x uw offsets, offset i at 9 + i*w, offset 0 = 0, offset n = D;
//   then, with bit 7, n fingerprint bytes, string i's at 9 + (n+1)*w + i.
//
// Block layouts, tag 17 (per = 16, slot s = 1 byte) or 18 (per = 256, s = 2); base b = 4 or 8.
// Block k holds strings k*per .. k*per+per-1 and sits at 9 + k * (block size):
//   base   b bytes              data offset of the block's first string
//   slots  (per + 1) x s bytes  slot j = start of string j relative to base, slot per = end of
//                               the last; past a partial block's last string, its end repeats
//   fps    per bytes (bit 7)    fingerprint of string j at j, 0 past the last string
// Block sizes: tag 17: 21 / 25 / 37 / 41 bytes (b 4, b 8, b 4 + fps, b 8 + fps);
//              tag 18: 518 / 522 / 774 / 778.
//
// Overflowed block (its strings total more than 255 bytes for tag 17, 65,535 for tag 18):
// slot 0 is all ones, the b bytes after it hold the block's entry number in the overflow table,
// the rest of the slot area is zero. The overflow table holds one entry per overflowed block, in
// block order: per + 1 offsets of b bytes, relative to the block's base (68, 136, 1,028 or 2,056
// bytes an entry).
#include "arena.hpp"

#include <algorithm>
#include <cstring>

#include "pages.hpp"
#include "threads.hpp"
#include "bytes.hpp"

namespace quenlith::arena {

namespace {

using bytes::checked_add;
using bytes::checked_mul;
using bytes::fits;

constexpr std::uint64_t kU32Max = 0xFFFFFFFFULL;

static_assert(kPrefixBytes == 8 + 1);

constexpr std::uint64_t block_bytes(std::uint64_t per, std::uint64_t slot, std::uint64_t base,
                                    bool fingerprints) {
  return base + (per + 1) * slot + (fingerprints ? per : 0);
}
static_assert(block_bytes(16, 1, 4, false) == 21 && block_bytes(16, 1, 8, false) == 25 &&
              block_bytes(16, 1, 4, true) == 37 && block_bytes(16, 1, 8, true) == 41);
static_assert(block_bytes(256, 2, 4, false) == 518 && block_bytes(256, 2, 8, false) == 522 &&
              block_bytes(256, 2, 4, true) == 774 && block_bytes(256, 2, 8, true) == 778);
// Overflow entries: 68 / 136 bytes (tag 17), 1,028 / 2,056 (tag 18).
static_assert(17 * 4 == 68 && 17 * 8 == 136 && 257 * 4 == 1028 && 257 * 8 == 2056);

// What a valid tag's bits say about its table.
struct Layout {
  bool flat;
  std::uint64_t width;  // flat offset width
  std::uint64_t per;    // strings per block
  std::uint64_t slot;   // slot width
  std::uint64_t base;   // base width
  bool fingerprints;

  std::uint64_t slot_max() const { return slot == 1 ? 0xFF : 0xFFFF; }
  std::uint64_t block_size() const { return block_bytes(per, slot, base, fingerprints); }
  std::uint64_t entry_size() const { return (per + 1) * base; }
};

Layout layout_of(std::uint8_t tag) {
  Layout l{};
  l.fingerprints = (tag & kFingerprints) != 0;
  switch (tag & kLayoutMask) {
    case kFlat32:
    case kFlat64:
      l.flat = true;
      l.width = tag & kLayoutMask;
      break;
    case kBlocks16:
      l.per = 16;
      l.slot = 1;
      break;
    default:
      l.per = 256;
      l.slot = 2;
      break;
  }
  l.base = (tag & kWideBases) ? 8 : 4;
  return l;
}

// The `width`-byte value at `pos`, or nullopt when it does not lie inside `image`.
std::optional<std::uint64_t> try_read(std::span<const std::uint8_t> image, std::uint64_t pos,
                                      unsigned width) noexcept {
  if (!fits(pos, width, image.size())) return std::nullopt;
  return bytes::load_uint(image.data() + pos, width);
}

using bytes::ceil_div;

// The number of consecutive `per`-string groups whose lengths sum to `limit` or more.
std::uint64_t count_heavy_blocks(std::span<const std::uint32_t> lengths, std::size_t per,
                                 std::uint64_t limit) {
  std::uint64_t heavy = 0;
  for (std::size_t first = 0; first < lengths.size(); first += per) {
    const std::size_t last = std::min(lengths.size(), first + per);
    std::uint64_t sum = 0;
    for (std::size_t i = first; i < last; ++i) sum += lengths[i];
    heavy += sum >= limit;
  }
  return heavy;
}

void store_checked(std::uint8_t* p, std::uint64_t v, unsigned width, const char* invariant) {
  check_invariant(width == 8 || v <= kU32Max, invariant);
  bytes::store_uint(p, v, width);
}

// The encoding rule of `tag_for`, from the counts it weighs: `heavy16` groups of 16 strings
// reaching 256 bytes, `heavy256` groups of 256 reaching 65,536 (not consulted when heavy16 is 0).
std::uint8_t tag_from_counts(std::uint64_t n, std::uint64_t total, std::uint64_t heavy16,
                             std::uint64_t heavy256, bool fingerprints) noexcept {
  const bool wide = total > kU32Max;
  const std::uint64_t b = wide ? 8 : 4;
  const std::uint64_t f = fingerprints ? 1 : 0;
  const std::uint8_t fp_bit = fingerprints ? kFingerprints : 0;
  const std::uint8_t wide_bit = wide ? kWideBases : 0;

  // Short strings everywhere: 8-bit deltas always fit, nothing to compare.
  if (heavy16 == 0) return static_cast<std::uint8_t>(kBlocks16 | wide_bit | fp_bit);

  const std::uint64_t cost16 = heavy16 * 17 * b + 8 + ceil_div(n, 16) * (b + 17 + 16 * f);
  const std::uint64_t cost256 =
      (heavy256 > 0 ? heavy256 * 257 * b + 8 : 0) + ceil_div(n, 256) * (b + 514 + 256 * f);
  const std::uint64_t cost_flat = (n + 1) * b + n * f;

  std::uint8_t tag;
  if (cost_flat < cost16 && cost_flat < cost256) {
    tag = static_cast<std::uint8_t>(b);  // flat offsets as wide as the bases would be
  } else if (cost256 >= cost16) {
    tag = static_cast<std::uint8_t>(kBlocks16 | kOverflow | wide_bit);
  } else {
    tag = static_cast<std::uint8_t>(kBlocks256 | wide_bit | (heavy256 > 0 ? kOverflow : 0));
  }
  return static_cast<std::uint8_t>(tag | fp_bit);
}

// Writes the table entries of strings first .. first + lengths.size() - 1 of an arena of `n`
// strings under `tag` (layout `l`) into `table`, the whole offset table: for a block layout the
// blocks from first / per on (zeroed here; `first` is a multiple of per), for a flat layout the
// offsets of those strings, offset n when they end the arena, and their fingerprints. `running`
// is the data offset of string `first`; the range's overflowed blocks take the overflow entries
// from `entry` on, written into `overflow` (the overflow table, without its length). Returns the
// number of overflow entries written. Ranges that share no block may be written at once.
std::uint64_t write_range(std::span<std::uint8_t> table, std::uint8_t tag, const Layout& l,
                          std::uint64_t n, std::uint64_t first,
                          std::span<const std::uint32_t> lengths, std::uint64_t running,
                          std::uint64_t entry, std::span<std::uint8_t> overflow,
                          std::optional<std::span<const std::uint8_t>> fingerprints) {
  auto fingerprint = [&](std::uint64_t i) -> std::uint8_t {
    return fingerprints && i < fingerprints->size() ? (*fingerprints)[i] : 0;
  };
  const std::uint64_t count = lengths.size();
  check_invariant(first <= n && count <= n - first, "a written range lies inside the arena");

  if (l.flat) {
    const unsigned w = static_cast<unsigned>(l.width);
    check_invariant(table.size() >= (n + 1) * w + (l.fingerprints ? n : 0),
                    "a flat table holds every offset");
    for (std::uint64_t i = 0; i < count; ++i) {
      store_checked(table.data() + (first + i) * w, running, w, "flat offsets fit their width");
      running += lengths[i];
    }
    if (first + count == n)
      store_checked(table.data() + n * w, running, w, "flat offsets fit their width");
    if (l.fingerprints)
      for (std::uint64_t i = first; i < first + count; ++i) table[(n + 1) * w + i] = fingerprint(i);
    return 0;
  }

  const unsigned b = static_cast<unsigned>(l.base);
  const unsigned s = static_cast<unsigned>(l.slot);
  const std::uint64_t per = l.per;
  const std::uint64_t block_size = l.block_size();
  const std::uint64_t entry_size = l.entry_size();
  check_invariant(first % per == 0, "a written range starts a block");
  const std::uint64_t first_block = first / per;
  const std::uint64_t blocks = ceil_div(count, per);
  check_invariant(table.size() / block_size >= first_block + blocks, "a table holds every block");
  std::fill_n(table.data() + first_block * block_size, blocks * block_size, std::uint8_t{0});
  const std::uint64_t first_entry = entry;
  for (std::uint64_t k = 0; k < blocks; ++k) {
    const std::uint64_t at_key = k * per;  // within the range
    const std::uint64_t in_block = std::min(per, count - at_key);
    std::uint8_t* block = table.data() + (first_block + k) * block_size;
    std::uint8_t* slots = block + b;
    std::uint64_t sum = 0;
    for (std::uint64_t j = 0; j < in_block; ++j) sum += lengths[at_key + j];
    store_checked(block, running, b, "block bases fit their width");
    if (sum <= l.slot_max()) {
      std::uint64_t at = 0;
      for (std::uint64_t j = 0; j <= per; ++j) {
        bytes::store_uint(slots + j * s, at, s);
        if (j < in_block) at += lengths[at_key + j];
      }
    } else {
      check_invariant((tag & kOverflow) != 0, "an overflowed block has an overflow table");
      check_invariant(entry < overflow.size() / entry_size, "an overflow entry has its room");
      bytes::store_uint(slots, l.slot_max(), s);
      store_checked(slots + s, entry, b, "overflow entry numbers fit the base width");
      std::uint8_t* out = overflow.data() + entry * entry_size;
      ++entry;
      std::uint64_t at = 0;
      for (std::uint64_t j = 0; j <= per; ++j) {
        store_checked(out + j * b, at, b, "overflow offsets fit the base width");
        if (j < in_block) at += lengths[at_key + j];
      }
    }
    if (l.fingerprints) {
      std::uint8_t* fps = slots + (per + 1) * s;
      for (std::uint64_t j = 0; j < in_block; ++j) fps[j] = fingerprint(first + at_key + j);
    }
    running += sum;
  }
  return entry - first_entry;
}

// What the encoding rule weighs of a run of string lengths that starts a 256-string group: its
// bytes and its heavy 16- and 256-string groups.
struct Weights {
  std::uint64_t bytes = 0;
  std::uint64_t heavy16 = 0;   // 16-string groups of 256 bytes or more
  std::uint64_t heavy256 = 0;  // 256-string groups of 65,536 bytes or more
};

Weights weigh(const std::uint32_t* len, std::uint64_t count) {
  Weights w;
  for (std::uint64_t g = 0; g < count; g += 256) {
    std::uint64_t group_sum = 0;
    for (std::uint64_t f = g; f < std::min(count, g + 256); f += 16) {
      std::uint64_t sum = 0;
      for (std::uint64_t i = f; i < std::min(count, f + 16); ++i) sum += len[i];
      w.heavy16 += sum >= 256 ? 1 : 0;
      group_sum += sum;
    }
    w.heavy256 += group_sum >= 65536 ? 1 : 0;
    w.bytes += group_sum;
  }
  return w;
}

// Where the sections of an image lie: count and tag, offset table, data, overflow table and, with
// an overflow table, its length word.
struct ImageLayout {
  std::uint64_t table = 0;  // the offset table's size
  std::uint64_t data_start = 0;
  std::uint64_t data_end = 0;  // and the overflow table's start
  std::uint64_t overflow_len = 0;
  std::uint64_t overflow_end = 0;  // and the length word's start
  std::uint64_t size = 0;
};

// The image of `n` strings of `total` bytes under `tag` with `entries` overflow entries; nullopt
// when a size overflows.
std::optional<ImageLayout> image_layout(std::uint8_t tag, const Layout& l, std::uint64_t n,
                                        std::uint64_t total, std::uint64_t entries) {
  ImageLayout z;
  const auto table = table_size(tag, n);
  const auto overflow_len = checked_mul(entries, l.entry_size());
  if (!table || !overflow_len) return std::nullopt;
  z.table = *table;
  z.overflow_len = *overflow_len;
  const auto data_start = checked_add(kPrefixBytes, z.table);
  const auto data_end = data_start ? checked_add(*data_start, total) : std::nullopt;
  const auto overflow_end = data_end ? checked_add(*data_end, z.overflow_len) : std::nullopt;
  const bool overflow = (tag & kOverflow) != 0;
  const auto size = overflow_end ? checked_add(*overflow_end, overflow ? 8 : 0) : std::nullopt;
  if (!size) return std::nullopt;
  z.data_start = *data_start;
  z.data_end = *data_end;
  z.overflow_end = *overflow_end;
  z.size = *size;
  return z;
}

// The span [base + a, base + z) of a key whose offsets a and z were read from a block; nullopt
// when z < a or either end does not fit 64 bits.
inline std::optional<Span> based_span(std::uint64_t base, std::uint64_t a,
                                      std::uint64_t z) noexcept {
  if (z < a) return std::nullopt;
  auto start = checked_add(base, a);
  auto end = checked_add(base, z);
  if (!start || !end) return std::nullopt;
  return Span{*start, *end};
}

}  // namespace

bool valid_tag(std::uint8_t tag) noexcept {
  switch (tag & kLayoutMask) {
    case kFlat32:
    case kFlat64:
      return (tag & (kWideBases | kOverflow)) == 0;
    case kBlocks16:
    case kBlocks256:
      return true;
    default:
      return false;
  }
}

std::optional<std::uint64_t> table_size(std::uint8_t tag, std::uint64_t n) noexcept {
  const Layout l = layout_of(tag);
  if (l.flat) {
    auto t = checked_mul(n, l.width + (l.fingerprints ? 1 : 0));
    return t ? checked_add(*t, l.width) : std::nullopt;
  }
  return checked_mul(ceil_div(n, l.per), l.block_size());
}

std::uint64_t read_offset(std::span<const std::uint8_t> image, std::uint64_t pos, unsigned width) {
  check_invariant(width >= 1 && width <= 8, "an offset is 1 to 8 bytes wide");
  if (!checked_add(pos, width)) throw IndexError::format("arena: offset overflow");
  if (auto v = try_read(image, pos, width)) return *v;
  throw IndexError::format("arena: unexpected end of buffer");
}

std::optional<Span> overflow_span(std::span<const std::uint8_t> table, std::uint64_t entry,
                                  std::uint64_t per, std::uint64_t j, std::uint64_t base,
                                  unsigned width) noexcept {
  if (j >= per) return std::nullopt;
  const std::uint64_t entry_size = (per + 1) * width;
  auto pos = checked_mul(entry, entry_size);
  if (!pos || !fits(*pos, entry_size, table.size())) return std::nullopt;
  const std::uint8_t* e = table.data() + *pos;
  const std::uint64_t a = bytes::load_uint(e + j * width, width);
  const std::uint64_t b = bytes::load_uint(e + (j + 1) * width, width);
  return based_span(base, a, b);
}

std::uint8_t tag_for(std::span<const std::uint32_t> lengths, std::uint64_t total,
                     bool fingerprints) noexcept {
  const std::uint64_t heavy16 = count_heavy_blocks(lengths, 16, 256);
  const std::uint64_t heavy256 = heavy16 == 0 ? 0 : count_heavy_blocks(lengths, 256, 65536);
  return tag_from_counts(lengths.size(), total, heavy16, heavy256, fingerprints);
}

std::vector<std::uint8_t> write_offsets(std::span<std::uint8_t> table, std::uint8_t tag,
                                        std::span<const std::uint32_t> lengths,
                                        std::optional<std::span<const std::uint8_t>> fingerprints) {
  check_invariant(valid_tag(tag), "an arena is written under a valid tag");
  const Layout l = layout_of(tag);
  const std::uint64_t n = lengths.size();
  const auto expected = table_size(tag, n);
  check_invariant(expected && *expected == table.size(), "an offset table has its tag's size");
  check_invariant(!fingerprints || l.fingerprints, "fingerprints go under a tag that stores them");
  std::fill(table.begin(), table.end(), std::uint8_t{0});

  std::vector<std::uint8_t> tail;
  const bool overflow = (tag & kOverflow) != 0;
  if (overflow) tail.resize(count_heavy_blocks(lengths, l.per, l.slot_max() + 1) * l.entry_size());
  const std::uint64_t entries = write_range(table, tag, l, n, 0, lengths, 0, 0, tail, fingerprints);
  check_invariant(entries * l.entry_size() == tail.size(), "every overflow entry is written");
  if (overflow) bytes::put_u64(tail, tail.size());
  return tail;
}

void move_data(std::vector<std::uint8_t>& v, std::uint64_t start, std::uint64_t len,
               std::uint64_t new_start) {
  check_invariant(fits(start, len, v.size()), "a moved region lies inside its buffer");
  if (new_start > start) {
    const std::uint64_t end = new_start + len;
    if (end > v.size()) v.resize(end, 0);
    std::memmove(v.data() + new_start, v.data() + start, len);
  } else if (new_start < start) {
    std::memmove(v.data() + new_start, v.data() + start, len);
    v.resize(new_start + len);
  }
}

namespace detail {

std::optional<Collected> begin_collecting(std::uint64_t n, std::uint64_t total) {
  // No arena of n strings exists when even the smallest table of that many does not fit.
  if (!table_size(kBlocks16, n)) return std::nullopt;
  Collected c;
  c.n = n;
  // `total` is the caller's promise, trusted only to size the buffer.
  if (total <= c.data.max_size()) c.data.reserve(total);
  c.lengths.reserve(n);
  return c;
}

}  // namespace detail

// The image is built in its final storage: the strings are measured first (they fix the
// encoding, the table size and the overflow tail), then table and data are written by workers
// that each take a run of whole 256-string groups, so that every block of either block layout,
// and every group the encoding rule weighs, belongs to one worker. A worker's data offset and
// first overflow entry are prefix sums over the workers before it, so the bytes never depend on
// the number of workers.
std::optional<StringArena> StringArena::assemble_ranges(
    std::uint64_t n, const detail::RangeSource& source,
    std::optional<std::span<const std::uint8_t>> fingerprints, unsigned threads,
    std::uint64_t min_per_worker) {
  if (fingerprints && fingerprints->size() != n) return std::nullopt;
  constexpr std::uint64_t kGroup = 256;
  const std::uint64_t groups = ceil_div(n, kGroup);
  const std::uint64_t most = n / std::max<std::uint64_t>(min_per_worker, 1);
  const std::uint64_t workers =
      std::max<std::uint64_t>(1, std::min({std::uint64_t{threads}, groups, most}));
  auto range = [&](std::uint64_t r) {
    const auto [g0, g1] = threads::part(groups, workers, r);
    return std::pair<std::uint64_t, std::uint64_t>{std::min(n, g0 * kGroup),
                                                   std::min(n, g1 * kGroup)};
  };

  struct Part {
    Weights w;
    bool too_long = false;
    std::uint64_t at = 0;     // data offset of the range's first string
    std::uint64_t entry = 0;  // its first overflow entry
  };
  std::vector<Part> parts(workers);
  pages::Pages<std::uint32_t> lengths = pages::Pages<std::uint32_t>::allocate(n);
  threads::run_workers(static_cast<unsigned>(workers), [&](unsigned r) {
    const auto [lo, hi] = range(r);
    Part part;
    if (!source.measure(lo, hi, lengths.data() + lo))
      part.too_long = true;
    else
      part.w = weigh(lengths.data() + lo, hi - lo);
    parts[r] = part;
  });

  Weights all;
  for (const Part& p : parts) {
    if (p.too_long) return std::nullopt;
    const auto sum = checked_add(all.bytes, p.w.bytes);
    if (!sum) return std::nullopt;
    all.bytes = *sum;
    all.heavy16 += p.w.heavy16;
    all.heavy256 += p.w.heavy256;
  }
  const std::uint8_t tag =
      tag_from_counts(n, all.bytes, all.heavy16, all.heavy256, fingerprints.has_value());
  const Layout l = layout_of(tag);
  const bool overflow = (tag & kOverflow) != 0;
  const bool by16 = !l.flat && l.per == 16;
  auto entries_of = [&](const Weights& w) {
    return overflow ? (by16 ? w.heavy16 : w.heavy256) : 0;
  };
  const std::optional<ImageLayout> z = image_layout(tag, l, n, all.bytes, entries_of(all));
  if (!z) return std::nullopt;
  for (std::uint64_t r = 1; r < workers; ++r) {
    parts[r].at = parts[r - 1].at + parts[r - 1].w.bytes;
    parts[r].entry = parts[r - 1].entry + (by16 ? parts[r - 1].w.heavy16 : parts[r - 1].w.heavy256);
  }

  pages::Pages<std::uint8_t> image = pages::Pages<std::uint8_t>::allocate(z->size);
  std::uint8_t* const out = image.data();
  bytes::store_u64(out, n + 1);
  out[8] = tag;
  const std::span<std::uint8_t> table_bytes(out + kPrefixBytes, z->table);
  const std::span<std::uint8_t> overflow_bytes(out + z->data_end, z->overflow_len);
  threads::run_workers(static_cast<unsigned>(workers), [&](unsigned r) {
    const auto [lo, hi] = range(r);
    const Part& part = parts[r];
    source.copy(lo, hi, part.at,
                std::span<std::uint8_t>(out + z->data_start + part.at, part.w.bytes));
    const std::span<const std::uint32_t> mine(lengths.data() + lo, hi - lo);
    const std::uint64_t written = write_range(table_bytes, tag, l, n, lo, mine, part.at, part.entry,
                                              overflow_bytes, fingerprints);
    check_invariant(written == entries_of(part.w),
                    "a range writes the overflow entries it counted");
  });
  if (overflow) bytes::store_u64(out + z->overflow_end, z->overflow_len);
  lengths = {};
  try {
    return from_shared(blob::SharedBytes::from_pages(std::move(image)));
  } catch (const IndexError&) {
    panic("freshly built arena is valid");
  }
}

std::optional<StringArena> StringArena::finish_collected(
    detail::Collected&& c, std::optional<std::span<const std::uint8_t>> fingerprints) {
  const detail::Collected& got = c;
  detail::RangeSource source;
  source.measure = [&got](std::uint64_t lo, std::uint64_t hi, std::uint32_t* lengths) {
    std::copy(got.lengths.begin() + static_cast<std::ptrdiff_t>(lo),
              got.lengths.begin() + static_cast<std::ptrdiff_t>(hi), lengths);
    return true;
  };
  source.copy = [&got](std::uint64_t, std::uint64_t, std::uint64_t at,
                       std::span<std::uint8_t> dst) {
    check_invariant(fits(at, dst.size(), got.data.size()), "collected strings fill the data");
    if (!dst.empty()) std::memcpy(dst.data(), got.data.data() + at, dst.size());
  };
  return assemble_ranges(c.n, source, fingerprints, threads::available(), kMinStringsPerWorker);
}

StringArena StringArena::build_exact(std::span<const std::string> keys, bool fingerprints) {
  std::uint64_t total = 0;
  for (const std::string& k : keys) total += k.size();
  std::optional<StringArena> a =
      fingerprints ? assemble(keys, keys.size(), total, std::span<const std::uint8_t>())
                   : assemble(keys, keys.size(), total);
  if (!a)
    panic(
        "totals came from the iterator itself, one fingerprint per string, no key past u32::MAX "
        "bytes");
  return std::move(*a);
}

ArenaPrefix StringArena::prefix_for_lengths(
    std::span<const std::uint32_t> lengths,
    std::optional<std::span<const std::uint8_t>> fingerprints) {
  check_invariant(!fingerprints || fingerprints->size() == lengths.size(),
                  "one fingerprint per string");
  ArenaPrefix out;
  for (std::uint32_t len : lengths) out.total += len;
  out.tag = tag_for(lengths, out.total, fingerprints.has_value());
  const auto table = table_size(out.tag, lengths.size());
  if (!table || !checked_add(kPrefixBytes, *table)) panic("lengths came from a real corpus");
  out.prefix.assign(kPrefixBytes + *table, 0);
  bytes::store_u64(out.prefix.data(), static_cast<std::uint64_t>(lengths.size()) + 1);
  out.prefix[8] = out.tag;
  out.tail = write_offsets(std::span<std::uint8_t>(out.prefix).subspan(kPrefixBytes), out.tag,
                           lengths, fingerprints);
  return out;
}

StringArena::StringArena()
    : StringArena(from_shared(blob::SharedBytes::from_owned(
          std::vector<std::uint8_t>{1, 0, 0, 0, 0, 0, 0, 0, kBlocks16}))) {}

StringArena StringArena::from_shared(blob::SharedBytes image) {
  StringArena a = parse_layout(std::move(image));
  const std::uint64_t n = a.n_;
  const std::uint64_t data_len = a.data_end_ - a.data_start_;
  if (n == 0) {
    if (data_len != 0) throw IndexError::format("arena: offsets do not span the data");
    return a;
  }
  const auto first = a.span_at(0);
  if (!first) throw IndexError::format("arena: unreadable first offset");
  const auto last = a.span_at(n - 1);
  if (!last) throw IndexError::format("arena: unreadable last offset");
  if (first->start != 0 || last->end != data_len)
    throw IndexError::format("arena: offsets do not span the data");
  return a;
}

StringArena StringArena::detached(const ArenaPrefix& parts) {
  std::vector<std::uint8_t> image;
  image.reserve(parts.prefix.size() + parts.tail.size());
  bytes::put_bytes(image, parts.prefix);
  bytes::put_bytes(image, parts.tail);
  StringArena a = parse_layout(blob::SharedBytes::from_owned(std::move(image)));
  check_invariant(a.data_start_ == parts.prefix.size() && a.data_end_ == a.data_start_,
                  "a detached arena is its prefix and tail");
  return a;
}

// An encoding tag that is missing or names no layout.
constexpr const char* kUnknownEncoding = "arena: unknown offset encoding";

StringArena StringArena::parse_layout(blob::SharedBytes image) {
  const std::span<const std::uint8_t> b = image.bytes();
  const std::uint64_t size = b.size();
  bytes::Cursor c(b);
  const std::uint64_t count = c.u64("arena: unexpected end of buffer");
  if (count == 0) throw IndexError::format("arena: zero offsets (need at least 1)");
  const std::uint64_t n = count - 1;
  const std::uint8_t tag = c.u8(kUnknownEncoding);
  if (!valid_tag(tag)) throw IndexError::format(kUnknownEncoding);
  const auto table = table_size(tag, n);
  const auto table_end = table ? checked_add(kPrefixBytes, *table) : std::nullopt;
  if (!table_end) throw IndexError::format("arena: offset table too large");
  if (size < *table_end) throw IndexError::format("arena: truncated offset table");

  const Layout l = layout_of(tag);
  StringArena a{Raw{}};
  a.n_ = n;
  a.tag_ = tag;
  a.width_ = static_cast<std::uint8_t>(l.flat ? l.width : 0);
  a.base_width_ = static_cast<std::uint8_t>(l.base);
  a.slot_width_ = static_cast<std::uint8_t>(l.slot);
  a.per_ = static_cast<std::uint32_t>(l.per);
  a.per_shift_ = static_cast<std::uint8_t>(l.per == 256 ? 8 : 4);
  a.block_size_ = l.flat ? 0 : l.block_size();
  a.fp_offset_ = l.flat ? 0 : l.base + (l.per + 1) * l.slot;
  if (l.flat)
    a.fast_ = l.width == 4 ? Fast::Flat32 : Fast::None;
  else
    a.fast_ = l.base == 4 ? Fast::Blocks : Fast::None;
  a.data_start_ = *table_end;
  if (tag & kOverflow) {
    const std::uint64_t after = size - *table_end;
    if (after < 8) throw IndexError::format("arena: truncated overflow table");
    const std::uint64_t v = bytes::Cursor(b, size - 8).u64("arena: truncated overflow table");
    if (v > after - 8 || v % l.entry_size() != 0)
      throw IndexError::format("arena: overflow table does not fit");
    a.overflow_end_ = size - 8;
    a.data_end_ = a.overflow_end_ - v;
  } else {
    a.data_end_ = a.overflow_end_ = size;
  }
  a.image_ = std::move(image);
  return a;
}

std::optional<Span> StringArena::span_general(std::uint64_t i) const noexcept {
  const std::span<const std::uint8_t> b = image_.bytes();
  if (width_ != 0) {
    const unsigned w = width_;
    if (has_fingerprints()) {
      // The fingerprint byte follows all n + 1 offsets; n + 1 cannot overflow (it is the count).
      auto at = checked_mul(n_ + 1, w);
      auto fps = at ? checked_add(kPrefixBytes, *at) : std::nullopt;
      auto fp = fps ? checked_add(*fps, i) : std::nullopt;
      if (!fp || *fp >= b.size()) return std::nullopt;
    }
    auto pos = checked_mul(i, w);
    auto first = pos ? checked_add(kPrefixBytes, *pos) : std::nullopt;
    auto second = first ? checked_add(*first, w) : std::nullopt;
    if (!second) return std::nullopt;
    auto start = try_read(b, *first, w);
    auto end = try_read(b, *second, w);
    if (!start || !end || *end < *start) return std::nullopt;
    return Span{*start, *end};
  }

  const std::uint64_t k = i / per_;
  const std::uint64_t j = i % per_;
  auto rel = checked_mul(k, block_size_);
  auto off = rel ? checked_add(kPrefixBytes, *rel) : std::nullopt;
  if (!off || !fits(*off, block_size_, b.size())) return std::nullopt;
  const std::uint8_t* block = b.data() + *off;
  const unsigned bw = base_width_;
  const unsigned s = slot_width_;
  const std::uint64_t base = bytes::load_uint(block, bw);
  const std::uint8_t* slots = block + bw;
  if (bytes::load_uint(slots, s) != 0) {
    const std::uint64_t entry = bytes::load_uint(slots + s, bw);
    return overflow_span(b.subspan(data_end_, overflow_end_ - data_end_), entry, per_, j, base, bw);
  }
  const std::uint64_t a = bytes::load_uint(slots + j * s, s);
  const std::uint64_t z = bytes::load_uint(slots + (j + 1) * s, s);
  return based_span(base, a, z);
}

std::optional<Span> StringArena::overflowed_span(const std::uint8_t* entry, std::uint64_t j,
                                                 std::uint64_t base) const noexcept {
  const std::span<const std::uint8_t> table =
      image_.bytes().subspan(data_end_, overflow_end_ - data_end_);
  return overflow_span(table, bytes::load_u32(entry), per_, j, base, 4);
}

}  // namespace quenlith::arena
