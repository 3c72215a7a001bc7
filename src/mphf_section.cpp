// The minimal-perfect-hash section: "MPH3" written and read, "MPH2" read (and written back as
// "MPH3"), "MPH1" read and written back byte for byte. No payload hash of its own: the enclosing
// blob's covers it. All integers little-endian, sections back to back with no padding.
//
// "MPH3" / "MPH2" header, 68 + 24*L bytes:
//   offset      size  field
//   0           4     magic "MPH3" (0x3348504D) or "MPH2" (0x3248504D)
//   4           2     version: 3 or 2
//   6           1     seed geometry: 0 or 2 ("MPH2": 0); every level's mode
//   7           1     reserved, 0
//   8           8     n, the key count
//   16          8     L, level records, 0 to 16 (record 0 is level 0; L = 0: all tail)
//   24          8     tail key count
//   32          8     tail bucket count
//   40          8     tail slot count
//   48          8     tail seed
//   56          8     "MPH3": remap low-bit width w; "MPH2": hole count H
//   64 + 24*i   24    level record i: slots u64, buckets u64, part u64
//   64 + 24*L   4     header check over bytes [0, 64 + 24*L)
//
// "MPH3" body (E = slots of records 1..L-1 + tail slots; t = E + ((n - 1) >> w)):
//   seed bytes of each level, record order     buckets x u8
//   tail seeds                                 tail buckets x u16
//   remap low words                            ceil(E*w / 64) x u64
//   remap high words (without the 4 zero words kept in memory)   ceil(t / 64) x u64, none if E = 0
//   remap super-samples                        ceil(E / 2048) x u32
//   remap samples                              ceil(E / 64) x u16
//
// "MPH2" body: seed bytes and tail seeds as above, then the older remap (w2 = floor(log2(max(n/H,
// 1))), 0 when H = 0):
//   occupancy words (bit i: entry i holds a key)   ceil(E / 64) x u64
//   rank samples (skipped)                         ceil(E / 512) x u32
//   hole low words                                 ceil(H*w2 / 64) x u64
//   hole high words                                ceil(((n >> w2) + H + 1) / 64) x u64, none if H
//   = 0 hole select samples (skipped)                  ceil(H / 128) x u32
//
// "MPH1" header, 76 bytes: magic "MPH1" (0x3148504D), version u16 = 1, reserved u16 = 0, then u64
// n, total slots, parts, buckets per part, slots per part, stride, skew boundary, hash seed, then
// the header check u32 over bytes [0, 72). Body: part seeds (parts x u64), pilots (parts x
// buckets per part bytes), remap bases (ceil((total - n) / 256) x u32), remap offsets
// ((total - n) x u16).
#include <algorithm>
#include <bit>
#include <cstring>

#include "bytes.hpp"
#include "mphf.hpp"

namespace quenlith::mphf {

using bytes::checked_add;
using bytes::checked_mul;
using bytes::load_u16;
using bytes::load_u32;
using bytes::load_u64;

namespace {

constexpr std::uint64_t kHeaderBase = 68;
constexpr std::uint64_t kRecord = 24;
constexpr std::uint64_t kV1Header = 76;

[[noreturn]] void fail(const char* message) { throw IndexError::format(message); }

using bytes::ceil_div;

// Sums and products of section sizes; an overflow means the header is not a valid one.
constexpr const char* kTooLarge = "mphf: blob sections do not fit in memory";
std::uint64_t add(std::uint64_t a, std::uint64_t b) { return bytes::add_or_fail(a, b, kTooLarge); }
std::uint64_t mul(std::uint64_t a, std::uint64_t b) { return bytes::mul_or_fail(a, b, kTooLarge); }

bool is_pow2(std::uint64_t x) { return x != 0 && (x & (x - 1)) == 0; }

// Hands the image to a sink in pieces through a staging buffer, so little-endian items are
// encoded without a second copy of the table.
class Stager {
 public:
  explicit Stager(const std::function<void(std::span<const std::uint8_t>)>& sink) : sink_(sink) {
    buf_.reserve(kCapacity);
  }
  template <class T>
  void items(const T* data, std::uint64_t count) {
    for (std::uint64_t i = 0; i < count; ++i) {
      if (buf_.size() + sizeof(T) > kCapacity) flush();
      bytes::put_uint(buf_, data[i], sizeof(T));
    }
  }
  void raw(std::span<const std::uint8_t> b) {
    flush();
    if (!b.empty()) sink_(b);
  }
  void flush() {
    if (!buf_.empty()) sink_(buf_);
    buf_.clear();
  }

 private:
  static constexpr std::size_t kCapacity = 65536;
  const std::function<void(std::span<const std::uint8_t>)>& sink_;
  std::vector<std::uint8_t> buf_;
};

std::vector<std::uint8_t> v2_header(const V2& t) {
  std::vector<std::uint8_t> h;
  const std::uint64_t records = t.level0 ? t.levels.size() + 1 : 0;
  h.reserve(kHeaderBase + kRecord * records);
  bytes::put_bytes(h, bytes::as_bytes("MPH3"));
  bytes::put_u16(h, 3);
  bytes::put_u8(h, t.geometry == 2 ? 2 : 0);
  bytes::put_u8(h, 0);
  bytes::put_u64(h, t.n);
  bytes::put_u64(h, records);
  bytes::put_u64(h, t.tail_keys);
  bytes::put_u64(h, t.tail_buckets);
  bytes::put_u64(h, t.tail_slots);
  bytes::put_u64(h, t.tail_seed);
  bytes::put_u64(h, t.remap.width);
  auto record = [&](const Level& l) {
    bytes::put_u64(h, l.slots);
    bytes::put_u64(h, l.buckets);
    bytes::put_u64(h, l.part);
  };
  if (t.level0) record(*t.level0);
  if (t.level0)
    for (const Level& l : t.levels) record(l);
  bytes::put_u32(h, blob::header_check(h));
  return h;
}

std::uint64_t high_words_stored(const Remap& r) {
  return r.high.size() >= 5 ? r.high.size() - 4 : 0;
}

void write_v2(const V2& t, const std::function<void(std::span<const std::uint8_t>)>& sink) {
  Stager out(sink);
  out.raw(v2_header(t));
  if (t.level0) {
    out.raw(t.level0->seeds.span());
    for (const Level& l : t.levels) out.raw(l.seeds.span());
  }
  out.items(t.tail_seeds.data(), t.tail_seeds.size());
  out.items(t.remap.low.data(), t.remap.low.size());
  out.items(t.remap.high.data(), high_words_stored(t.remap));
  out.items(t.remap.supers.data(), t.remap.supers.size());
  out.items(t.remap.samples.data(), t.remap.samples.size());
  out.flush();
}

template <class T>
Pages<T> copy_items(std::span<const std::uint8_t> src, std::uint64_t count,
                    std::uint64_t extra_zeros = 0) {
  Pages<T> p = Pages<T>::allocate(count + extra_zeros);
  for (std::uint64_t i = 0; i < count; ++i)
    p[i] = static_cast<T>(bytes::load_uint(src.data() + i * sizeof(T), sizeof(T)));
  for (std::uint64_t i = count; i < count + extra_zeros; ++i) p[i] = 0;
  return p;
}

template <class T>
std::vector<T> copy_vector(std::span<const std::uint8_t> src, std::uint64_t count) {
  std::vector<T> v(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i)
    v[i] = static_cast<T>(bytes::load_uint(src.data() + i * sizeof(T), sizeof(T)));
  return v;
}

// The fields of an "MPH3" / "MPH2" header, as stored.
struct V2Header {
  std::uint16_t version = 0;
  std::uint8_t geometry = 0;
  std::uint8_t reserved = 0;
  std::uint64_t n = 0;
  std::uint64_t records = 0;
  std::uint64_t tail_keys = 0, tail_buckets = 0, tail_slots = 0, tail_seed = 0;
  std::uint64_t remap_word = 0;  // "MPH3": the remap's low-bit width; "MPH2": the hole count
  std::uint64_t bytes = 0;       // the header's length, check included
};

// A level record of the header.
struct Record {
  std::uint64_t slots, buckets, part;
};

// The message of a read past the end of a section whose length the header checks have matched.
constexpr const char* kLengthMismatch = "mphf: blob length disagrees with the header";

// The header's fixed fields, its length from the record count and its check, in that order.
V2Header read_v2_header(std::span<const std::uint8_t> b, bool current) {
  if (b.size() < kHeaderBase) fail("mphf: truncated header");
  bytes::Cursor c(b, 4);
  V2Header h;
  h.version = c.u16(kLengthMismatch);
  h.geometry = c.u8(kLengthMismatch);
  h.reserved = c.u8(kLengthMismatch);
  h.n = c.u64(kLengthMismatch);
  h.records = c.u64(kLengthMismatch);
  h.tail_keys = c.u64(kLengthMismatch);
  h.tail_buckets = c.u64(kLengthMismatch);
  h.tail_slots = c.u64(kLengthMismatch);
  h.tail_seed = c.u64(kLengthMismatch);
  h.remap_word = c.u64(kLengthMismatch);
  if (h.records > kMaxLevels) fail("mphf: too many levels");
  h.bytes = kHeaderBase + kRecord * h.records;
  if (b.size() < h.bytes) fail("mphf: truncated header");
  if (blob::header_check(b.first(h.bytes - 4)) != load_u32(b.data() + h.bytes - 4))
    fail("mphf: header checksum mismatch");
  if (h.version != (current ? 3 : 2)) fail("mphf: unsupported format version");
  if (current ? (h.geometry != 0 && h.geometry != 2) : h.geometry != 0)
    fail("mphf: unsupported seed geometry");
  if (h.reserved != 0) fail("mphf: reserved header field is not zero");
  return h;
}

// The level records, each checked against the header; `later` gets the slots of the levels after
// the first.
std::vector<Record> read_records(std::span<const std::uint8_t> b, const V2Header& h,
                                 std::uint64_t& later) {
  bytes::Cursor c(b.first(h.bytes - 4), kHeaderBase - 4);
  std::vector<Record> recs(static_cast<std::size_t>(h.records));
  later = 0;
  for (std::uint64_t i = 0; i < h.records; ++i) {
    Record rec{c.u64(kLengthMismatch), c.u64(kLengthMismatch), c.u64(kLengthMismatch)};
    if (rec.part > rec.slots || rec.slots == 0 || rec.buckets == 0 || !is_pow2(rec.part))
      fail("mphf: a level's shape is inconsistent");
    if (h.geometry == 2 && rec.part < 64)
      fail("mphf: a level's slice is too narrow for its mode bits");
    if (i == 0) {
      if (rec.slots != h.n) fail("mphf: the first level does not cover the table");
    } else {
      later = add(later, rec.slots);
    }
    recs[i] = rec;
  }
  return recs;
}

// The stored sections of the remap, in items: "MPH3" (low, high, supers, samples) or "MPH2"
// (occupancy, rank samples, hole low and high words, select samples), for `entries` remap
// entries, and their bytes.
struct RemapSizes {
  std::uint64_t low_words = 0, high_words = 0, supers = 0, samples = 0;              // "MPH3"
  std::uint64_t occ_words = 0, rank_samples = 0, hole_high = 0, select_samples = 0;  // "MPH2"
  std::uint64_t holes = 0;
  std::uint32_t w2 = 0;
  std::uint64_t bytes = 0;
};

RemapSizes remap_sizes(const V2Header& h, std::uint64_t entries, bool current) {
  RemapSizes z;
  if (current) {
    if (h.remap_word > 63) fail("mphf: remap low bits out of range");
    const unsigned w = static_cast<unsigned>(h.remap_word);
    z.low_words = ceil_div(mul(entries, w), 64);
    z.high_words = entries == 0 ? 0 : ceil_div(add(entries, (h.n - 1) >> w), 64);
    z.supers = ceil_div(entries, 2048);
    z.samples = ceil_div(entries, 64);
    z.bytes = add(add(mul(8, z.low_words), mul(8, z.high_words)),
                  add(mul(4, z.supers), mul(2, z.samples)));
    return z;
  }
  z.holes = h.remap_word;
  if (h.records == 0 ? z.holes != 0 : z.holes > h.n) fail("mphf: hole count out of range");
  z.w2 = z.holes == 0 ? 0
                      : static_cast<std::uint32_t>(
                            std::bit_width(std::max<std::uint64_t>(h.n / z.holes, 1)) - 1);
  z.occ_words = ceil_div(entries, 64);
  z.rank_samples = ceil_div(entries, 512);
  z.low_words = ceil_div(mul(z.holes, z.w2), 64);
  z.hole_high = z.holes == 0 ? 0 : ceil_div(add(add(h.n >> z.w2, z.holes), 1), 64);
  z.select_samples = ceil_div(z.holes, 128);
  z.bytes = add(add(add(mul(8, z.occ_words), mul(4, z.rank_samples)),
                    add(mul(8, z.low_words), mul(8, z.hole_high))),
                mul(4, z.select_samples));
  return z;
}

// `count` little-endian items of T taken from the cursor.
template <class T>
Pages<T> take_items(bytes::Cursor& c, std::uint64_t count, std::uint64_t extra_zeros = 0) {
  return copy_items<T>(c.take(mul(count, sizeof(T)), kLengthMismatch), count, extra_zeros);
}
template <class T>
std::vector<T> take_vector(bytes::Cursor& c, std::uint64_t count) {
  return copy_vector<T>(c.take(mul(count, sizeof(T)), kLengthMismatch), count);
}

V1 read_v1(std::span<const std::uint8_t> b) {
  if (b.size() < kV1Header) fail("mphf: bad magic or truncated header");
  if (blob::header_check(b.first(72)) != load_u32(b.data() + 72))
    fail("mphf: header checksum mismatch");
  bytes::Cursor c(b, 4);
  if (c.u16(kLengthMismatch) != 1) fail("mphf: unsupported format version");
  if (c.u16(kLengthMismatch) != 0) fail("mphf: reserved header field is not zero");
  V1 t;
  for (std::uint64_t* field : {&t.n, &t.total_slots, &t.parts, &t.buckets_per_part,
                               &t.slots_per_part, &t.stride, &t.skew, &t.seed})
    *field = c.u64(kLengthMismatch);
  if (t.n == 0) {
    if (b.size() != kV1Header || t.total_slots != 0 || t.parts != 0 || t.buckets_per_part != 0 ||
        t.slots_per_part != 0 || t.stride != 0 || t.skew != 0)
      fail("mphf: empty table with a non-empty shape");
    return t;
  }
  if (t.parts == 0 || t.buckets_per_part == 0 || t.slots_per_part == 0)
    fail("mphf: a table dimension is zero");
  if (t.skew >= t.buckets_per_part) fail("mphf: skew boundary outside the bucket range");
  if (!checked_add(t.slots_per_part, 63)) fail("mphf: slots per part out of range");
  if (t.stride < t.slots_per_part + 63 || t.stride % 64 != 0)
    fail("mphf: stride too small for a key's window");
  const auto total = checked_mul(t.stride, t.parts);
  if (t.total_slots < t.n || !total || *total != t.total_slots)
    fail("mphf: slot count disagrees with the parts");
  const auto pilot_count = checked_mul(t.parts, t.buckets_per_part);
  if (!pilot_count) fail("mphf: bucket count out of range");
  const std::uint64_t extra = t.total_slots - t.n;
  const std::uint64_t seeds_len = mul(8, t.parts);
  const std::uint64_t bases = ceil_div(extra, 256);
  const std::uint64_t bases_len = mul(4, bases);
  const std::uint64_t offsets_len = mul(2, extra);
  const std::uint64_t total_len =
      add(add(add(add(kV1Header, seeds_len), *pilot_count), bases_len), offsets_len);
  if (total_len != b.size()) fail(kLengthMismatch);
  c.skip(4, kLengthMismatch);  // the header check
  t.part_seeds = take_vector<std::uint64_t>(c, t.parts);
  const std::span<const std::uint8_t> pilots = c.take(*pilot_count, kLengthMismatch);
  t.pilots.assign(pilots.begin(), pilots.end());
  t.remap_bases = take_vector<std::uint32_t>(c, bases);
  t.remap_offsets = take_vector<std::uint16_t>(c, extra);
  for (std::uint64_t k = 0; k < extra; ++k)
    if (std::uint64_t{t.remap_bases[k >> 8]} + t.remap_offsets[k] >= t.n)
      fail("mphf: a remap entry points outside the image");
  return t;
}

V2 read_v2(std::span<const std::uint8_t> b, bool current) {
  const V2Header h = read_v2_header(b, current);
  V2 t;
  t.geometry = h.geometry;
  t.n = h.n;
  t.tail_keys = h.tail_keys;
  t.tail_buckets = h.tail_buckets;
  t.tail_slots = h.tail_slots;
  t.tail_seed = h.tail_seed;
  if (t.n == 0) {
    if (h.records != 0 || b.size() != kHeaderBase || t.tail_keys != 0 || t.tail_buckets != 0 ||
        t.tail_slots != 0 || t.tail_seed != 0 || h.remap_word != 0)
      fail("mphf: empty table with a non-empty shape");
    return t;
  }
  std::uint64_t later = 0;
  const std::vector<Record> recs = read_records(b, h, later);
  if ((t.tail_buckets == 0) != (t.tail_slots == 0) || (t.tail_keys == 0) != (t.tail_buckets == 0))
    fail("mphf: the tail's shape is inconsistent");
  const std::uint64_t entries = add(later, t.tail_slots);
  std::uint64_t total = h.bytes;
  for (const Record& rec : recs) total = add(total, rec.buckets);
  total = add(total, mul(2, t.tail_buckets));
  const RemapSizes z = remap_sizes(h, entries, current);
  if (add(total, z.bytes) != b.size()) fail(kLengthMismatch);

  // The body, section by section; every length was matched against the blob above.
  bytes::Cursor c(b, h.bytes);
  for (std::uint64_t i = 0; i < h.records; ++i) {
    Level l;
    l.slots = recs[i].slots;
    l.buckets = recs[i].buckets;
    l.part = recs[i].part;
    l.mode = h.geometry;
    l.shift = Level::shift_for(l.part, h.geometry);
    const std::span<const std::uint8_t> seeds = c.take(l.buckets, kLengthMismatch);
    l.seeds = Pages<std::uint8_t>::allocate(l.buckets);
    std::memcpy(l.seeds.data(), seeds.data(), seeds.size());
    if (i == 0)
      t.level0 = std::move(l);
    else
      t.levels.push_back(std::move(l));
  }
  t.tail_seeds = take_items<std::uint16_t>(c, t.tail_buckets);
  if (current) {
    Remap& r = t.remap;
    r.low = take_items<std::uint64_t>(c, z.low_words);
    r.high = take_items<std::uint64_t>(c, z.high_words, entries == 0 ? 0 : 4);
    r.supers = take_items<std::uint32_t>(c, z.supers);
    r.samples = take_items<std::uint16_t>(c, z.samples);
    r.width = static_cast<std::uint32_t>(h.remap_word);
    r.len = entries;
  } else {
    const std::vector<std::uint64_t> occ = take_vector<std::uint64_t>(c, z.occ_words);
    c.skip(mul(4, z.rank_samples), kLengthMismatch);
    const std::vector<std::uint64_t> low2 = take_vector<std::uint64_t>(c, z.low_words);
    const std::vector<std::uint64_t> high2 = take_vector<std::uint64_t>(c, z.hole_high);
    t.remap = Remap::from_v2(occ, low2, high2, z.holes, z.w2, entries, t.n);
  }
  if (!t.remap.validate(t.n)) fail("mphf: a remap entry points outside the image");
  return t;
}

}  // namespace

std::vector<std::uint8_t> V1::to_bytes() const {
  std::vector<std::uint8_t> out;
  out.reserve(kV1Header + 8 * part_seeds.size() + pilots.size() + 4 * remap_bases.size() +
              2 * remap_offsets.size());
  bytes::put_bytes(out, bytes::as_bytes("MPH1"));
  bytes::put_u16(out, 1);
  bytes::put_u16(out, 0);
  for (std::uint64_t v :
       {n, total_slots, parts, buckets_per_part, slots_per_part, stride, skew, seed})
    bytes::put_u64(out, v);
  bytes::put_u32(out, blob::header_check(out));
  for (std::uint64_t v : part_seeds) bytes::put_u64(out, v);
  bytes::put_bytes(out, pilots);
  for (std::uint32_t v : remap_bases) bytes::put_u32(out, v);
  for (std::uint16_t v : remap_offsets) bytes::put_u16(out, v);
  return out;
}

Mphf Mphf::from_bytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 4) fail("mphf: bad magic or truncated header");
  if (blob::has_magic(bytes, "MPH1")) return Mphf(read_v1(bytes));
  if (blob::has_magic(bytes, "MPH3")) return Mphf(read_v2(bytes, true));
  if (blob::has_magic(bytes, "MPH2")) return Mphf(read_v2(bytes, false));
  fail("mphf: bad magic or truncated header");
}

void Mphf::write_chunks(const std::function<void(std::span<const std::uint8_t>)>& sink) const {
  if (const V2* t = v2()) {
    write_v2(*t, sink);
  } else {
    const std::vector<std::uint8_t> image = v1()->to_bytes();
    sink(image);
  }
}

std::vector<std::uint8_t> Mphf::to_bytes() const {
  std::vector<std::uint8_t> out;
  out.reserve(static_cast<std::size_t>(byte_len()));
  write_chunks(
      [&out](std::span<const std::uint8_t> b) { out.insert(out.end(), b.begin(), b.end()); });
  return out;
}

std::uint64_t Mphf::byte_len() const noexcept {
  if (const V2* t = v2()) {
    std::uint64_t len = kHeaderBase;
    if (t->level0) {
      len += kRecord * (t->levels.size() + 1) + t->level0->buckets;
      for (const Level& l : t->levels) len += l.buckets;
    }
    len += 2 * t->tail_buckets;
    len += 8 * (t->remap.low.size() + high_words_stored(t->remap));
    len += 4 * t->remap.supers.size() + 2 * t->remap.samples.size();
    return len;
  }
  const V1& t = *v1();
  return kV1Header + 8 * t.part_seeds.size() + t.pilots.size() + 4 * t.remap_bases.size() +
         2 * t.remap_offsets.size();
}

}  // namespace quenlith::mphf
