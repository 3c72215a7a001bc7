// The Elias–Fano remap against a brute-force model, and the section images: round trips, every
// check of the reader in its order with its message, the older "MPH2" and "MPH1" images (made
// here by small test-only encoders, since nothing builds them), and arbitrary bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>
#include <random>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bytes.hpp"
#include "mphf_build.hpp"

namespace quenlith::mphf {
namespace {

using hash::mulhi;

std::vector<std::uint64_t> distinct_hashes(std::uint64_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::uint64_t> h(n);
  for (auto& x : h) x = rng();
  return h;
}

std::string read_error(std::span<const std::uint8_t> bytes) {
  try {
    (void)Mphf::from_bytes(bytes);
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Format);
    return e.message();
  }
  return "ok";
}

// ---- remap ----

void check_remap(const std::vector<std::uint64_t>& values, std::uint64_t universe) {
  const Remap r = Remap::encode(values, universe);
  ASSERT_EQ(r.len, values.size());
  for (std::uint64_t e = 0; e < values.size(); ++e) ASSERT_EQ(r.get(e), values[e]) << "entry " << e;
  // Entries past the end and past the samples read 0.
  for (std::uint64_t e = values.size(); e < values.size() + 300; ++e) ASSERT_EQ(r.get(e), 0u);
  ASSERT_EQ(r.get(~std::uint64_t{0}), 0u);
  ASSERT_TRUE(r.validate(universe));
}

TEST(MphfRemap, GetMatchesModel) {
  std::mt19937_64 rng(6);
  check_remap({}, 0);
  check_remap({}, 1000);
  check_remap({0, 0, 0}, 1);  // w = 0: bits 0, 1, 2 of high
  {
    const Remap r = Remap::encode(std::vector<std::uint64_t>{0, 0, 0}, 1);
    EXPECT_EQ(r.width, 0u);
    EXPECT_TRUE(r.low.empty());
    EXPECT_EQ(r.high[0], 7u);
  }
  for (auto [e_count, universe] :
       std::vector<std::pair<std::uint64_t, std::uint64_t>>{{1, 1},
                                                            {5, 3},
                                                            {64, 100},
                                                            {65, 1000},
                                                            {2047, 5000},
                                                            {2048, 2048},
                                                            {2049, 1u << 20},
                                                            {5000, 7000},
                                                            {5000, 1000000000},
                                                            {70000, 3000000}}) {
    std::vector<std::uint64_t> v(e_count);
    for (auto& x : v) x = rng() % universe;
    std::sort(v.begin(), v.end());
    check_remap(v, universe);
    // Long runs of equal values, as free slots give.
    for (std::size_t i = 1; i < v.size(); ++i)
      if (rng() % 4 != 0) v[i] = v[i - 1];
    check_remap(v, universe);
  }
  // A block of 64 entries spread over far more than four words is answered through `beyond`.
  {
    std::vector<std::uint64_t> v(1000, 0);
    for (std::size_t i = 32; i < v.size(); ++i) v[i] = (1u << 20) - 1;
    check_remap(v, 1u << 20);
  }
  // Entry 2,048 starts a super-block: its sample is 0 and its super-sample is its bit.
  {
    std::vector<std::uint64_t> v(3000);
    std::iota(v.begin(), v.end(), 0);
    const Remap r = Remap::encode(v, 3000);
    EXPECT_EQ(r.samples[32], 0u);
    EXPECT_EQ(r.supers[1], 2048u + (2048u >> r.width));
  }
}

TEST(MphfRemap, EncodeRefusesAnOutrunBlock) {
  // 40,000 entries with universe 5,094,400: w = 6, and a jump to the top inside the first
  // super-block puts entry 1,984's bit 81,583 past its super-sample.
  std::vector<std::uint64_t> v(40000, 5094399);
  std::fill(v.begin(), v.begin() + 1984, 0);
  try {
    (void)Remap::encode(v, 5094400);
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.message(), "mphf: a remap block outruns its super-sample");
  }
}

TEST(MphfRemap, ValidateRejectsDamage) {
  std::mt19937_64 rng(8);
  std::vector<std::uint64_t> v(3000);
  for (auto& x : v) x = rng() % 50000;
  std::sort(v.begin(), v.end());
  const std::uint64_t U = 50000;
  auto fresh = [&] { return Remap::encode(v, U); };
  EXPECT_TRUE(fresh().validate(U));
  {
    Remap r = fresh();
    r.high[r.high.size() - 1] = 1;  // a trailing zero word is not zero
    EXPECT_FALSE(r.validate(U));
  }
  {
    Remap r = fresh();
    r.samples[5] += 1;  // a sample off by one
    EXPECT_FALSE(r.validate(U));
  }
  {
    Remap r = fresh();
    r.supers[1] -= 1;
    EXPECT_FALSE(r.validate(U));
  }
  {
    Remap r = fresh();
    r.width = 64;
    EXPECT_FALSE(r.validate(U));
  }
  {
    Remap r = fresh();
    r.high[0] ^= std::uint64_t{1} << 63;  // one set bit too many or too few
    EXPECT_FALSE(r.validate(U));
  }
  // A value equal to the universe.
  std::vector<std::uint64_t> top = v;
  top.back() = U - 1;
  EXPECT_TRUE(Remap::encode(top, U).validate(U));
  EXPECT_FALSE(Remap::encode(top, U).validate(U - 1));
  // An empty remap accepts any width up to 63.
  Remap empty;
  empty.width = 63;
  EXPECT_TRUE(empty.validate(10));
}

// The older remap: an occupancy bit per entry and an Elias–Fano hole list with w2 low bits.
struct OldRemap {
  std::vector<std::uint64_t> occupied, low, high;
  std::uint64_t holes = 0;
  std::uint32_t w2 = 0;
};
OldRemap old_remap(const std::vector<bool>& occupied, const std::vector<std::uint64_t>& holes,
                   std::uint64_t n) {
  OldRemap o;
  o.occupied.assign((occupied.size() + 63) / 64, 0);
  for (std::size_t i = 0; i < occupied.size(); ++i)
    if (occupied[i]) o.occupied[i / 64] |= std::uint64_t{1} << (i % 64);
  o.holes = holes.size();
  o.w2 = holes.empty() ? 0
                       : static_cast<std::uint32_t>(
                             std::bit_width(std::max<std::uint64_t>(n / holes.size(), 1)) - 1);
  o.low.assign((holes.size() * o.w2 + 63) / 64, 0);
  o.high.assign(holes.empty() ? 0 : ((n >> o.w2) + holes.size() + 1 + 63) / 64, 0);
  for (std::size_t k = 0; k < holes.size(); ++k) {
    for (std::uint32_t b = 0; b < o.w2; ++b)
      if ((holes[k] >> b) & 1)
        o.low[(k * o.w2 + b) / 64] |= std::uint64_t{1} << ((k * o.w2 + b) % 64);
    const std::uint64_t p = k + (holes[k] >> o.w2);
    o.high[p / 64] |= std::uint64_t{1} << (p % 64);
  }
  return o;
}

TEST(MphfRemap, FromOldForm) {
  auto convert = [](const OldRemap& o, std::uint64_t entries, std::uint64_t n) {
    return Remap::from_v2(o.occupied, o.low, o.high, o.holes, o.w2, entries, n);
  };
  {
    const Remap r = convert(old_remap(std::vector<bool>(10, false), {}, 50), 10, 50);
    for (std::uint64_t e = 0; e < 10; ++e) EXPECT_EQ(r.get(e), 0u);
  }
  {
    std::vector<bool> occ(12, false);
    occ[5] = occ[9] = true;
    const Remap r = convert(old_remap(occ, {17, 40}, 50), 12, 50);
    const std::vector<std::uint64_t> want = {0, 0, 0, 0, 0, 17, 17, 17, 17, 40, 40, 40};
    for (std::uint64_t e = 0; e < 12; ++e) EXPECT_EQ(r.get(e), want[e]);
  }
  auto error_of = [&](const OldRemap& o, std::uint64_t entries, std::uint64_t n) -> std::string {
    try {
      (void)convert(o, entries, n);
    } catch (const IndexError& e) {
      return e.message();
    }
    return "ok";
  };
  std::vector<bool> occ(12, false);
  occ[5] = occ[9] = true;
  EXPECT_EQ(error_of(old_remap(occ, {17, 40}, 50), 12, 40),
            "mphf: a remap entry points outside the image");
  OldRemap more = old_remap(occ, {17, 40}, 50);
  more.holes = 1;
  EXPECT_EQ(error_of(more, 12, 50), "mphf: a remap entry points outside the image");
  OldRemap fewer = old_remap(occ, {17, 40}, 50);
  fewer.holes = 3;
  EXPECT_EQ(error_of(fewer, 12, 50), "mphf: a remap entry points outside the image");
  // With w2 = 2, hole 0 = (1 << 2) | 3 = 7 and hole 1 = (1 << 2) | 0 = 4: backwards.
  OldRemap back;
  back.occupied = {(1u << 5) | (1u << 9)};
  back.holes = 2;
  back.w2 = 2;
  back.low = {3};
  back.high = {0b110};
  EXPECT_EQ(error_of(back, 12, 50), "mphf: a remap's entries run backwards");
  std::vector<bool> three = occ;
  three[11] = true;
  EXPECT_EQ(error_of(old_remap(three, {17, 40}, 50), 12, 50),
            "mphf: occupied values disagree with the hole count");
  EXPECT_EQ(error_of(old_remap(occ, {17, 30, 40}, 50), 12, 50),
            "mphf: occupied values disagree with the hole count");
}

// ---- images ----

// Recomputes the header check of an "MPH2"/"MPH3" image with L records (or of an "MPH1" image).
void recheck(std::vector<std::uint8_t>& b) {
  if (b.size() < 24) return;
  std::uint64_t at = 72;
  if (b[3] != '1') {
    const std::uint64_t levels = bytes::load_u64(b.data() + 16);
    if (levels > 16) return;
    at = 64 + 24 * levels;
  }
  if (at + 4 > b.size()) return;
  bytes::store_u32(b.data() + at, blob::header_check(std::span<const std::uint8_t>(b.data(), at)));
}

std::vector<std::uint8_t> built_image(std::uint64_t n, std::uint64_t seed = 1) {
  return Mphf::build_with_threads(distinct_hashes(n, seed), 2).to_bytes();
}

struct VecWriter {
  std::vector<std::uint8_t> out;
  void write_all(std::span<const std::uint8_t> b) { out.insert(out.end(), b.begin(), b.end()); }
};

TEST(MphfSection, RoundTripsByteForByte) {
  for (std::uint64_t n : {0u, 1u, 100u, 256u, 257u, 5000u, 300000u}) {
    const std::vector<std::uint64_t> keys = distinct_hashes(n, n + 3);
    const Mphf m = Mphf::build_with_threads(keys, 2);
    const std::vector<std::uint8_t> bytes = m.to_bytes();
    EXPECT_EQ(m.byte_len(), bytes.size());
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "MPH3");
    EXPECT_EQ(bytes[6], 2);
    VecWriter sink;
    blob::Hashed<VecWriter> hashed(sink);
    m.write_into(hashed);
    EXPECT_EQ(sink.out, bytes);
    EXPECT_EQ(hashed.finish(), blob::hash_block(bytes));
    const Mphf back = Mphf::from_bytes(bytes);
    EXPECT_EQ(back.to_bytes(), bytes);
    EXPECT_EQ(back.n(), n);
    for (std::uint64_t h : keys) ASSERT_EQ(back.index(h), m.index(h));
    std::mt19937_64 rng(n);
    for (int i = 0; i < 1000; ++i) {
      const std::uint64_t h = rng();
      ASSERT_EQ(back.index(h), m.index(h));
    }
  }
  // An empty table is the bare 68-byte header; geometry 0 or 2 both read.
  const std::vector<std::uint8_t> empty = built_image(0);
  ASSERT_EQ(empty.size(), 68u);
  std::vector<std::uint8_t> g0 = empty;
  g0[6] = 0;
  recheck(g0);
  EXPECT_EQ(Mphf::from_bytes(g0).to_bytes(), g0);
  EXPECT_EQ(Mphf::from_bytes(g0).index(5), 0u);
}

// A table whose keys all sit on level 0 has no remap at all, and any stored width is kept.
TEST(MphfSection, AllOnLevelZero) {
  std::vector<std::uint8_t> b;
  bytes::put_bytes(b, bytes::as_bytes("MPH3"));
  bytes::put_u16(b, 3);
  bytes::put_u8(b, 2);
  bytes::put_u8(b, 0);
  for (std::uint64_t v : {64u, 1u, 0u, 0u, 0u, 0u, 37u}) bytes::put_u64(b, v);  // n, L, tail x 4, w
  for (std::uint64_t v : {64u, 1u, 64u}) bytes::put_u64(b, v);                  // level 0
  bytes::put_u32(b, 0);
  b.push_back(1);  // the single bucket's seed byte
  recheck(b);
  const Mphf m = Mphf::from_bytes(b);
  EXPECT_EQ(m.to_bytes(), b);
  EXPECT_EQ(m.v2()->remap.len, 0u);
  EXPECT_LT(m.index(123456789), 64u);
}

TEST(MphfSection, ReaderChecksInOrder) {
  const std::vector<std::uint8_t> good = built_image(40000);
  ASSERT_EQ(read_error(good), "ok");
  const std::uint64_t L = bytes::load_u64(good.data() + 16);
  ASSERT_GE(L, 2u);
  ASSERT_NE(bytes::load_u64(good.data() + 24), 0u);  // a tail
  auto edit = [&](auto&& change, bool fix_check = true) {
    std::vector<std::uint8_t> b = good;
    change(b);
    if (fix_check) recheck(b);
    return read_error(b);
  };
  auto put64 = [](std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
    bytes::store_u64(b.data() + at, v);
  };
  const std::size_t rec0 = 64, rec1 = 64 + 24;

  EXPECT_EQ(read_error(std::span(good).first(3)), "mphf: bad magic or truncated header");
  EXPECT_EQ(edit([](auto& b) { b[3] = '4'; }, false), "mphf: bad magic or truncated header");
  EXPECT_EQ(read_error(std::span(good).first(67)), "mphf: truncated header");
  {
    std::vector<std::uint8_t> b(good.begin(),
                                good.begin() + 68);  // L = 17 checked before the records' length
    put64(b, 16, 17);
    EXPECT_EQ(read_error(b), "mphf: too many levels");
  }
  EXPECT_EQ(read_error(std::span(good).first(64 + 24 * L)), "mphf: truncated header");
  EXPECT_EQ(edit([](auto& b) { b[9] ^= 1; }, false), "mphf: header checksum mismatch");
  EXPECT_EQ(edit([](auto& b) { b[4] = 2; }), "mphf: unsupported format version");
  EXPECT_EQ(edit([](auto& b) { b[6] = 1; }), "mphf: unsupported seed geometry");
  EXPECT_EQ(edit([](auto& b) { b[7] = 1; }), "mphf: reserved header field is not zero");
  EXPECT_EQ(edit([&](auto& b) { put64(b, 8, 0); }), "mphf: empty table with a non-empty shape");
  {
    std::vector<std::uint8_t> b = built_image(0);
    put64(b, 48, 5);  // a tail seed in an empty table
    recheck(b);
    EXPECT_EQ(read_error(b), "mphf: empty table with a non-empty shape");
    b = built_image(0);
    b.push_back(0);
    EXPECT_EQ(read_error(b), "mphf: empty table with a non-empty shape");
  }
  EXPECT_EQ(edit([&](auto& b) { put64(b, rec0 + 16, 1000); }),
            "mphf: a level's shape is inconsistent");  // not a power of two
  EXPECT_EQ(edit([&](auto& b) { put64(b, rec0 + 16, 65536); }),
            "mphf: a level's shape is inconsistent");
  EXPECT_EQ(edit([&](auto& b) { put64(b, rec0 + 8, 0); }), "mphf: a level's shape is inconsistent");
  EXPECT_EQ(edit([&](auto& b) { put64(b, rec0 + 16, 1000); }, false),
            "mphf: header checksum mismatch");
  EXPECT_EQ(edit([&](auto& b) { put64(b, rec0 + 16, 32); }),
            "mphf: a level's slice is too narrow for its mode bits");
  EXPECT_EQ(edit([&](auto& b) { put64(b, rec0, 40001); }),
            "mphf: the first level does not cover the table");
  {
    EXPECT_EQ(edit([&](auto& b) { put64(b, rec1 + 16, 3); }),
              "mphf: a level's shape is inconsistent");
    EXPECT_EQ(edit([&](auto& b) {
                put64(b, rec1, ~std::uint64_t{0});
                put64(b, rec1 + 16, std::uint64_t{1} << 63);
              }),
              "mphf: blob sections do not fit in memory");
  }
  EXPECT_EQ(edit([&](auto& b) { put64(b, 32, 0); }), "mphf: the tail's shape is inconsistent");
  EXPECT_EQ(edit([&](auto& b) { put64(b, 24, 0); }), "mphf: the tail's shape is inconsistent");
  EXPECT_EQ(edit([&](auto& b) { put64(b, rec0 + 8, ~std::uint64_t{0} - 10); }),
            "mphf: blob sections do not fit in memory");
  EXPECT_EQ(edit([&](auto& b) { put64(b, 56, 64); }), "mphf: remap low bits out of range");
  EXPECT_EQ(edit([&](auto& b) { put64(b, 56, 3); }), "mphf: blob length disagrees with the header");
  EXPECT_EQ(edit([&](auto& b) { b.push_back(0); }), "mphf: blob length disagrees with the header");
  EXPECT_EQ(edit([&](auto& b) { b.pop_back(); }), "mphf: blob length disagrees with the header");
  // The remap's last sample is the image's last two bytes.
  EXPECT_EQ(edit([&](auto& b) { b[b.size() - 2] ^= 1; }),
            "mphf: a remap entry points outside the image");
}

// ---- "MPH2": a level 0 of seed geometry 0 (whole-byte displacements), a tail, the old remap ----

struct Mph2 {
  std::vector<std::uint8_t> image;
  std::vector<std::uint64_t> keys;
};

Mph2 make_mph2(std::uint64_t n, std::uint64_t seed) {
  Mph2 out{{}, distinct_hashes(n, seed)};
  const std::uint64_t part = 512, B = n / 4;  // geometry 0, part 512: shift 1
  auto pos = [&](std::uint64_t x, std::uint8_t b) {
    std::uint64_t p = ((x + (std::uint64_t{b} << 1)) & (part - 1)) + mulhi(n, x);
    return p >= n ? p - n : p;
  };
  std::vector<std::vector<std::uint64_t>> buckets(B);
  for (std::uint64_t h : out.keys) buckets[mulhi(h, B)].push_back(h);
  std::vector<std::uint8_t> seeds(B, 0), used(n, 0);
  std::vector<std::uint64_t> bumped;
  for (std::uint64_t b = 0; b < B; ++b) {
    for (unsigned s = 1; s < 256 && seeds[b] == 0; ++s) {
      std::vector<std::uint64_t> at;
      for (std::uint64_t h : buckets[b]) at.push_back(pos(h, static_cast<std::uint8_t>(s)));
      std::sort(at.begin(), at.end());
      bool ok = std::adjacent_find(at.begin(), at.end()) == at.end();
      for (std::uint64_t p : at) ok &= !used[p];
      if (!ok) continue;
      seeds[b] = static_cast<std::uint8_t>(s);
      for (std::uint64_t p : at) used[p] = 1;
    }
    if (seeds[b] == 0) bumped.insert(bumped.end(), buckets[b].begin(), buckets[b].end());
  }
  const Tail tail = build_tail(bumped);
  std::vector<std::uint64_t> holes;
  for (std::uint64_t i = 0; i < n; ++i)
    if (!used[i]) holes.push_back(i);
  std::vector<bool> occ(tail.slots);
  for (std::uint64_t s = 0; s < tail.slots; ++s) occ[s] = (tail.bitmap[s / 64] >> (s % 64)) & 1;
  const OldRemap r = old_remap(occ, holes, n);

  std::vector<std::uint8_t>& b = out.image;
  bytes::put_bytes(b, bytes::as_bytes("MPH2"));
  bytes::put_u16(b, 2);
  bytes::put_u8(b, 0);
  bytes::put_u8(b, 0);
  for (std::uint64_t v :
       {n, std::uint64_t{1}, tail.keys, tail.buckets, tail.slots, tail.seed, r.holes})
    bytes::put_u64(b, v);
  for (std::uint64_t v : {n, B, part}) bytes::put_u64(b, v);
  bytes::put_u32(b, 0);
  recheck(b);
  bytes::put_bytes(b, seeds);
  for (std::uint64_t i = 0; i < tail.buckets; ++i) bytes::put_u16(b, tail.seeds[i]);
  for (std::uint64_t w : r.occupied) bytes::put_u64(b, w);
  for (std::uint64_t i = 0; i < (tail.slots + 511) / 512; ++i)
    bytes::put_u32(b, 0xDEADBEEF);  // rank samples
  for (std::uint64_t w : r.low) bytes::put_u64(b, w);
  for (std::uint64_t w : r.high) bytes::put_u64(b, w);
  for (std::uint64_t i = 0; i < (r.holes + 127) / 128; ++i)
    bytes::put_u32(b, 0xFEEDFACE);  // select samples
  return out;
}

TEST(MphfSection, OlderV2ImageReadsAndIsWrittenAsCurrent) {
  const Mph2 old = make_mph2(6000, 12);
  const Mphf m = Mphf::from_bytes(old.image);
  EXPECT_EQ(m.v2()->geometry, 0);
  EXPECT_EQ(m.v2()->level0->mode, 0u);
  EXPECT_EQ(m.v2()->level0->shift, 1u);
  std::vector<std::uint8_t> seen(6000, 0);
  for (std::uint64_t h : old.keys) {
    const std::uint64_t id = m.index(h);
    ASSERT_LT(id, 6000u);
    ASSERT_EQ(seen[id]++, 0);
  }
  const std::vector<std::uint8_t> current = m.to_bytes();
  EXPECT_EQ(std::string(current.begin(), current.begin() + 4), "MPH3");
  EXPECT_EQ(current[6], 0);
  const Mphf again = Mphf::from_bytes(current);
  EXPECT_EQ(again.to_bytes(), current);
  std::mt19937_64 rng(2);
  for (std::uint64_t h : old.keys) ASSERT_EQ(again.index(h), m.index(h));
  for (int i = 0; i < 2000; ++i) {
    const std::uint64_t h = rng();
    ASSERT_EQ(again.index(h), m.index(h));
  }
  // Checks of its own.
  auto edit = [&](auto&& change) {
    std::vector<std::uint8_t> b = old.image;
    change(b);
    recheck(b);
    return read_error(b);
  };
  EXPECT_EQ(edit([](auto& b) { b[4] = 3; }), "mphf: unsupported format version");
  EXPECT_EQ(edit([](auto& b) { b[6] = 2; }), "mphf: unsupported seed geometry");
  EXPECT_EQ(edit([](auto& b) { bytes::store_u64(b.data() + 56, 6001); }),
            "mphf: hole count out of range");
  EXPECT_EQ(edit([](auto& b) { bytes::store_u64(b.data() + 56, 0); }),
            "mphf: blob length disagrees with the header");
}

TEST(MphfSection, OlderV2WithoutLevelsHasNoHoles) {
  std::vector<std::uint8_t> b;
  bytes::put_bytes(b, bytes::as_bytes("MPH2"));
  bytes::put_u16(b, 2);
  bytes::put_u16(b, 0);
  for (std::uint64_t v : {5u, 0u, 0u, 0u, 0u, 0u, 1u}) bytes::put_u64(b, v);
  bytes::put_u32(b, 0);
  recheck(b);
  EXPECT_EQ(read_error(b), "mphf: hole count out of range");
}

TEST(MphfSection, OlderV2ConversionHoldsNoValuePerEntry) {
  // An "MPH2" image can declare eight remap entries per byte of occupancy words: here 2^25
  // entries (a later level of 2^25 slots) in about 4 MiB, with no hole and nothing occupied.
  // Converting must not hold a 64-bit value per entry (256 MiB); the peak growth of a child
  // process doing only the load stays far below that.
  constexpr std::uint64_t kEntries = std::uint64_t{1} << 25;
  std::vector<std::uint8_t> b;
  bytes::put_bytes(b, bytes::as_bytes("MPH2"));
  bytes::put_u16(b, 2);
  bytes::put_u16(b, 0);
  for (std::uint64_t v : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{0}, std::uint64_t{0},
                          std::uint64_t{0}, std::uint64_t{0}, std::uint64_t{0}})
    bytes::put_u64(b, v);  // n = 1, L = 2, an empty tail, H = 0
  for (std::uint64_t v : {std::uint64_t{1}, std::uint64_t{1}, std::uint64_t{1}, kEntries,
                          std::uint64_t{1}, std::uint64_t{1}})
    bytes::put_u64(b, v);  // level 0: 1 slot; level 1: 2^25 slots, one bucket, part 1
  bytes::put_u32(b, 0);
  recheck(b);
  b.resize(b.size() + 2 + 8 * (kEntries / 64) + 4 * (kEntries / 512),
           0);  // seeds, occupancy, ranks
  ASSERT_EQ(read_error(b), "ok");

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    struct rusage before {};
    ::getrusage(RUSAGE_SELF, &before);
    const Mphf m = Mphf::from_bytes(b);
    struct rusage after {};
    ::getrusage(RUSAGE_SELF, &after);
    const long grown_kib = after.ru_maxrss - before.ru_maxrss;
    const bool answers = m.n() == 1 && m.index(12345) == 0 && m.v2()->remap.len == kEntries;
    ::_exit(answers && grown_kib < 96 * 1024 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// ---- "MPH1": a genuine partitioned table found by a small pilot search ----

constexpr std::uint64_t kM[4] = {0x6A09E667F3BCC909ULL, 0xBB67AE8584CAA73BULL,
                                 0x3C6EF372FE94F82BULL, 0xA54FF53A5F1D36F1ULL};

struct V1Image {
  std::vector<std::uint8_t> image;
  std::vector<std::uint64_t> keys;
  V1 fields;
};

// The bucket rule of the partitioned layout.
std::pair<std::uint64_t, std::uint64_t> v1_bucket(const V1& t, std::uint64_t h) {
  const std::uint64_t x = (t.seed ^ h) * kM[0];
  const std::uint64_t p = mulhi(x, t.parts);
  std::uint64_t q;
  if (t.skew != 0)
    q = std::rotr(x, 47) < 0x9999999999999999ULL
            ? mulhi(t.skew, std::rotr(x, 24))
            : t.skew + mulhi(t.buckets_per_part - t.skew, std::rotr(x, 24));
  else
    q = mulhi(std::rotr(x, 47), t.buckets_per_part);
  return {p, t.buckets_per_part * p + q};
}
std::uint64_t v1_slot(const V1& t, std::uint64_t h, std::uint64_t p, std::uint8_t pilot) {
  return (pilot & 63u) + t.stride * p +
         mulhi(kM[pilot >> 6] * (t.part_seeds[p] ^ h), t.slots_per_part);
}

V1Image make_v1(std::uint64_t n, std::uint64_t skew, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  for (;;) {
    V1Image out{{}, distinct_hashes(n, rng()), {}};
    V1& t = out.fields;
    t.n = n;
    t.parts = 2;
    t.buckets_per_part = n / 6;
    t.skew = skew;
    t.slots_per_part = n * 6 / 10;
    t.stride = (t.slots_per_part + 63 + 63) / 64 * 64;
    t.total_slots = t.stride * t.parts;
    t.seed = rng();
    t.part_seeds = {rng(), rng()};
    t.pilots.assign(t.parts * t.buckets_per_part, 0);
    std::vector<std::vector<std::uint64_t>> buckets(t.pilots.size());
    for (std::uint64_t h : out.keys) buckets[v1_bucket(t, h).second].push_back(h);
    std::vector<std::uint64_t> order(buckets.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](auto a, auto b) { return buckets[a].size() > buckets[b].size(); });
    std::vector<std::int64_t> owner(t.total_slots, -1);
    bool ok = true;
    for (std::uint64_t b : order) {
      if (buckets[b].empty()) continue;
      const std::uint64_t p = b / t.buckets_per_part;
      bool placed = false;
      for (unsigned pilot = 0; pilot < 256 && !placed; ++pilot) {
        std::vector<std::uint64_t> at;
        for (std::uint64_t h : buckets[b])
          at.push_back(v1_slot(t, h, p, static_cast<std::uint8_t>(pilot)));
        std::vector<std::uint64_t> s = at;
        std::sort(s.begin(), s.end());
        bool free = std::adjacent_find(s.begin(), s.end()) == s.end();
        for (std::uint64_t x : at) free &= owner[x] < 0;
        if (!free) continue;
        for (std::uint64_t x : at) owner[x] = 1;
        t.pilots[b] = static_cast<std::uint8_t>(pilot);
        placed = true;
      }
      ok &= placed;
      if (!ok) break;
    }
    if (!ok) continue;
    // Slots past n send their keys to the free ids below n.
    std::vector<std::uint64_t> holes;
    for (std::uint64_t i = 0; i < n; ++i)
      if (owner[i] < 0) holes.push_back(i);
    const std::uint64_t extra = t.total_slots - n;
    std::vector<std::uint64_t> target(extra, 0);
    std::size_t next = 0;
    for (std::uint64_t k = 0; k < extra; ++k)
      if (owner[n + k] >= 0) target[k] = holes[next++];
    t.remap_bases.assign((extra + 255) / 256, 0);
    t.remap_offsets.assign(extra, 0);
    for (std::uint64_t blk = 0; blk < t.remap_bases.size(); ++blk) {
      std::uint64_t base = ~std::uint64_t{0};
      for (std::uint64_t k = blk * 256; k < std::min(extra, blk * 256 + 256); ++k)
        if (owner[n + k] >= 0) base = std::min(base, target[k]);
      if (base == ~std::uint64_t{0}) base = 0;
      t.remap_bases[blk] = static_cast<std::uint32_t>(base);
      for (std::uint64_t k = blk * 256; k < std::min(extra, blk * 256 + 256); ++k)
        t.remap_offsets[k] = static_cast<std::uint16_t>(owner[n + k] >= 0 ? target[k] - base : 0);
    }
    std::vector<std::uint8_t>& b = out.image;
    bytes::put_bytes(b, bytes::as_bytes("MPH1"));
    bytes::put_u16(b, 1);
    bytes::put_u16(b, 0);
    for (std::uint64_t v : {t.n, t.total_slots, t.parts, t.buckets_per_part, t.slots_per_part,
                            t.stride, t.skew, t.seed})
      bytes::put_u64(b, v);
    bytes::put_u32(b, 0);
    recheck(b);
    for (std::uint64_t v : t.part_seeds) bytes::put_u64(b, v);
    bytes::put_bytes(b, t.pilots);
    for (std::uint32_t v : t.remap_bases) bytes::put_u32(b, v);
    for (std::uint16_t v : t.remap_offsets) bytes::put_u16(b, v);
    return out;
  }
}

TEST(MphfSection, PartitionedImageReadQueriedAndWrittenBack) {
  for (std::uint64_t skew : {0u, 70u}) {
    const V1Image v1 = make_v1(1200, skew, 40 + skew);
    const Mphf m = Mphf::from_bytes(v1.image);
    ASSERT_NE(m.v1(), nullptr);
    EXPECT_EQ(m.n(), 1200u);
    EXPECT_EQ(m.to_bytes(), v1.image);
    EXPECT_EQ(m.byte_len(), v1.image.size());
    std::vector<std::uint8_t> seen(1200, 0);
    for (std::uint64_t h : v1.keys) {
      const std::uint64_t id = m.index(h);
      ASSERT_LT(id, 1200u);
      ASSERT_EQ(seen[id]++, 0);
    }
    std::mt19937_64 rng(skew);
    std::vector<std::uint64_t> probe = v1.keys;
    for (int i = 0; i < 3000; ++i) probe.push_back(rng());
    const auto batched = m.index_all(probe);
    for (std::size_t i = 0; i < probe.size(); ++i) {
      const auto [p, b] = v1_bucket(v1.fields, probe[i]);
      const std::uint64_t slot = v1_slot(v1.fields, probe[i], p, v1.fields.pilots[b]);
      const std::uint64_t want = slot < 1200 ? slot
                                             : v1.fields.remap_bases[(slot - 1200) >> 8] +
                                                   v1.fields.remap_offsets[slot - 1200];
      ASSERT_EQ(m.index(probe[i]), want);
      ASSERT_EQ(batched[i], want);
    }
  }
}

TEST(MphfSection, PartitionedReaderChecksInOrder) {
  const V1Image v1 = make_v1(1200, 70, 3);
  const std::vector<std::uint8_t>& good = v1.image;
  auto edit = [&](auto&& change, bool fix = true) {
    std::vector<std::uint8_t> b = good;
    change(b);
    if (fix) recheck(b);
    return read_error(b);
  };
  auto put = [](std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
    bytes::store_u64(b.data() + at, v);
  };
  EXPECT_EQ(read_error(std::span(good).first(75)), "mphf: bad magic or truncated header");
  EXPECT_EQ(edit([](auto& b) { b[10] ^= 1; }, false), "mphf: header checksum mismatch");
  EXPECT_EQ(edit([](auto& b) { b[4] = 2; }), "mphf: unsupported format version");
  EXPECT_EQ(edit([](auto& b) { b[7] = 1; }), "mphf: reserved header field is not zero");
  EXPECT_EQ(edit([&](auto& b) { put(b, 8, 0); }), "mphf: empty table with a non-empty shape");
  EXPECT_EQ(edit([&](auto& b) { put(b, 24, 0); }), "mphf: a table dimension is zero");
  EXPECT_EQ(edit([&](auto& b) { put(b, 56, 200); }),
            "mphf: skew boundary outside the bucket range");
  EXPECT_EQ(edit([&](auto& b) { put(b, 40, ~std::uint64_t{0} - 10); }),
            "mphf: slots per part out of range");
  EXPECT_EQ(edit([&](auto& b) { put(b, 48, bytes::load_u64(b.data() + 48) + 1); }),
            "mphf: stride too small for a key's window");
  EXPECT_EQ(edit([&](auto& b) { put(b, 16, 100); }), "mphf: slot count disagrees with the parts");
  EXPECT_EQ(edit([&](auto& b) { put(b, 16, bytes::load_u64(b.data() + 16) + 64); }),
            "mphf: slot count disagrees with the parts");
  EXPECT_EQ(edit([&](auto& b) { put(b, 32, ~std::uint64_t{0}); }),
            "mphf: bucket count out of range");
  EXPECT_EQ(edit([&](auto& b) {
              put(b, 24, std::uint64_t{1} << 62);
              put(b, 32, 4);
              put(b, 56, 0);
              put(b, 48, 64);
              put(b, 40, 1);
              put(b, 16, 0);  // stride x parts = 2^68 overflows
            }),
            "mphf: slot count disagrees with the parts");
  EXPECT_EQ(edit([&](auto& b) {
              // 2^57 parts of stride 64 and 8 buckets: every product fits, the sum of the
              // section sizes does not.
              put(b, 24, std::uint64_t{1} << 57);
              put(b, 32, 8);
              put(b, 56, 0);
              put(b, 48, 64);
              put(b, 40, 1);
              put(b, 16, std::uint64_t{1} << 63);
            }),
            "mphf: blob sections do not fit in memory");
  EXPECT_EQ(edit([](auto& b) { b.push_back(0); }), "mphf: blob length disagrees with the header");
  EXPECT_EQ(edit([&](auto& b) {
              // The first remap offset now points past n.
              const std::size_t at = b.size() - 2 * (v1.fields.total_slots - 1200);
              bytes::store_u16(b.data() + at, 60000);
            }),
            "mphf: a remap entry points outside the image");
  // The empty partitioned table.
  std::vector<std::uint8_t> empty(76, 0);
  std::memcpy(empty.data(), "MPH1", 4);
  empty[4] = 1;
  put(empty, 64, 12345);  // any hash seed
  recheck(empty);
  const Mphf e = Mphf::from_bytes(empty);
  EXPECT_EQ(e.n(), 0u);
  EXPECT_EQ(e.index(7), 0u);
  EXPECT_EQ(e.to_bytes(), empty);
}

// Truncations, flipped bytes and random bytes never crash the reader; whatever it accepts
// answers every query inside [0, n).
TEST(MphfSection, ArbitraryBytesAreRefusedOrSafe) {
  std::vector<std::vector<std::uint8_t>> images = {built_image(0), built_image(100),
                                                   built_image(1500), make_mph2(600, 5).image,
                                                   make_v1(300, 20, 9).image};
  std::mt19937_64 rng(99);
  auto probe = [&](std::span<const std::uint8_t> b) {
    try {
      const Mphf m = Mphf::from_bytes(b);
      std::vector<std::uint64_t> hs(200);
      for (auto& h : hs) h = rng();
      const auto ids = m.index_all(hs);
      for (std::size_t i = 0; i < hs.size(); ++i) {
        ASSERT_EQ(ids[i], m.index(hs[i]));
        if (m.n() > 0) {
          ASSERT_LT(ids[i], m.n());
        }
      }
      if (b[3] != '2') {
        ASSERT_EQ(m.byte_len(), b.size());
      }
    } catch (const IndexError&) {}
  };
  for (const auto& img : images) {
    for (std::size_t len = 0; len < img.size(); ++len) {
      EXPECT_NE(read_error(std::span(img).first(len)), "ok") << len;
    }
    for (int i = 0; i < 1500; ++i) {
      std::vector<std::uint8_t> b = img;
      const int flips = 1 + static_cast<int>(rng() % 3);
      for (int f = 0; f < flips; ++f)
        b[rng() % b.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
      if (rng() % 2) recheck(b);  // let the damage reach the checks behind the header check
      probe(b);
    }
  }
  for (int i = 0; i < 2000; ++i) {
    std::vector<std::uint8_t> b(rng() % 300);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    if (b.size() >= 4) std::memcpy(b.data(), i % 3 == 0 ? "MPH1" : i % 3 == 1 ? "MPH2" : "MPH3", 4);
    if (b.size() >= 76 && rng() % 2) {
      bytes::store_u64(b.data() + 16, rng() % 3);
      recheck(b);
    }
    probe(b);
  }
}

}  // namespace
}  // namespace quenlith::mphf
