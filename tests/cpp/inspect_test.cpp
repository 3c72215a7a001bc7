#include "inspect.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "blob.hpp"
#include "bytes.hpp"
#include "error.hpp"

namespace fs = std::filesystem;
using namespace quenlith;
using inspect::BlobInfo;
using inspect::BlobKind;
using Bytes = std::vector<std::uint8_t>;

namespace {

// ---- A test-side writer of blobs, laid out field by field from the formats' byte layouts. ----
// Section contents are filler: inspection never looks inside them. Framed headers carry a real
// payload hash and header check so the blobs are as a writer would leave them.

Bytes filler(std::uint64_t n, std::uint8_t seed) {
  Bytes b(n);
  for (std::uint64_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 31);
  return b;
}

void append(Bytes& out, const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); }

void magic(Bytes& out, const char* m) { out.insert(out.end(), m, m + 4); }

// Stores the payload hash at `hash_at` over [header_len, end) and the header check last.
void frame(Bytes& blob, std::size_t header_len, std::size_t hash_at, std::size_t payload_from) {
  bytes::store_u64(&blob[hash_at], blob::hash_block(std::span(blob).subspan(payload_from)));
  bytes::store_u32(&blob[header_len - 4],
                   blob::header_check(std::span(blob).first(header_len - 4)));
}

// An "MPH3" section of a table with no levels: 68-byte header, tail seeds and remap filler.
Bytes mph3(std::uint64_t n, std::uint64_t extra) {
  Bytes b;
  magic(b, "MPH3");
  bytes::put_u16(b, 3);
  bytes::put_u8(b, 0);
  bytes::put_u8(b, 0);
  bytes::put_u64(b, n);
  for (int i = 0; i < 6; ++i) bytes::put_u64(b, i == 2 ? extra / 2 : 0);
  bytes::put_u32(b, blob::header_check(b));
  append(b, filler(extra, 3));
  return b;
}

// A "BIX4" blob: version word, map type, node bytes, then the footer (count, root, checksum).
Bytes bix4(std::uint64_t keys, std::uint64_t version = 3, std::uint64_t nodes = 40) {
  Bytes b;
  magic(b, "BIX4");
  bytes::put_u64(b, version);
  bytes::put_u64(b, 0);
  append(b, filler(nodes, 9));
  bytes::put_u64(b, keys);
  bytes::put_u64(b, 16 + nodes - 1);
  if (version >= 3) bytes::put_u32(b, 0xA282EAD8u);
  return b;
}

Bytes bmp8(std::uint64_t keys, std::uint64_t arena, std::uint32_t side) {
  Bytes m = keys ? mph3(keys, 24) : Bytes{};
  Bytes b;
  magic(b, "BMP8");
  bytes::put_u64(b, keys);
  bytes::put_u64(b, m.size());
  bytes::put_u32(b, side);
  bytes::put_u64(b, 0);
  bytes::put_u32(b, 0);
  append(b, m);
  append(b, filler(arena, 5));
  append(b, filler(12ull * side, 6));
  frame(b, 36, 24, 36);
  return b;
}

Bytes bch8(std::uint64_t keys, std::uint32_t bits, std::uint32_t side) {
  Bytes m = keys ? mph3(keys, 16) : Bytes{};
  Bytes b;
  magic(b, "BCH8");
  bytes::put_u64(b, keys);
  bytes::put_u32(b, bits);
  bytes::put_u64(b, m.size());
  bytes::put_u32(b, side);
  bytes::put_u64(b, 0);
  bytes::put_u32(b, 0);
  append(b, m);
  append(b, filler(((keys - side) * bits + 7) / 8, 7));
  append(b, filler(20ull * side, 8));
  frame(b, 40, 28, 40);
  return b;
}

Bytes bcl2(std::uint64_t keys, std::uint32_t side) {
  Bytes m = keys ? mph3(keys, 8) : Bytes{};
  Bytes b;
  magic(b, "BCL2");
  bytes::put_u64(b, keys);
  bytes::put_u64(b, m.size());
  bytes::put_u32(b, side);
  bytes::put_u64(b, 0);
  bytes::put_u32(b, 0);
  append(b, m);
  append(b, filler(20ull * side, 8));
  frame(b, 36, 24, 36);
  return b;
}

struct DictShape {
  std::uint64_t keys = 10;
  std::uint32_t block = 4;
  std::uint16_t micro = 2;
  std::uint8_t head_width = 5, offset_width = 7, shift = 6, micro_width = 9;
  std::uint64_t heads = 30, data = 100;
  std::uint32_t tables = 12, header_codes = 6, phrases = 4;
};

std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

// A "BDX3" blob with exactly the ten sections of the format, their lengths derived the way the
// format defines them (microblock entries counted block by block).
Bytes bdx3(const DictShape& s) {
  const std::uint64_t blocks = s.block ? ceil_div(s.keys, s.block) : 0;
  const std::uint64_t per_block = s.micro ? ceil_div(s.block, s.micro) : 1;
  std::uint64_t micros = 0;
  if (blocks > 0 && per_block > 1) {
    for (std::uint64_t i = 0; i < blocks; ++i) {
      const std::uint64_t in_block = std::min<std::uint64_t>(s.block, s.keys - i * s.block);
      micros += i + 1 < blocks ? per_block : ceil_div(in_block, s.micro);
    }
  }
  const std::uint64_t samples = ceil_div(blocks, std::uint64_t{1} << s.shift);
  auto deltas = [&](std::uint64_t n, unsigned w) { return n ? ceil_div(n * w, 8) + 8 : 0; };
  Bytes b;
  magic(b, "BDX3");
  bytes::put_u64(b, s.keys);
  bytes::put_u32(b, s.block);
  bytes::put_u64(b, s.heads);
  bytes::put_u64(b, s.data);
  bytes::put_u32(b, s.tables);
  bytes::put_u64(b, 0);
  for (std::uint8_t v : {s.head_width, s.offset_width, s.shift, s.micro_width}) b.push_back(v);
  bytes::put_u16(b, s.micro);
  bytes::put_u16(b, 64);
  bytes::put_u32(b, s.header_codes);
  bytes::put_u16(b, 0);
  bytes::put_u32(b, s.phrases);
  bytes::put_u32(b, 0);
  bytes::put_u16(b, 0);
  bytes::put_u32(b, 0);
  EXPECT_EQ(b.size(), 72u);
  append(b, filler(s.heads, 1));
  append(b, filler(8 * samples + deltas(blocks, s.head_width), 2));
  append(b, filler(s.data, 3));
  append(b, filler(s.tables, 4));
  append(b, filler(s.header_codes, 5));
  append(b, filler(s.phrases, 6));
  append(b, filler(8 * samples + deltas(blocks, s.offset_width), 7));
  append(b, filler(deltas(micros, s.micro_width), 8));
  frame(b, 72, 36, 72);
  return b;
}

// A "BDX1" blob: 48-byte header, heads, block data, tables and 20 bytes of offsets a block.
Bytes bdx1(std::uint64_t keys, std::uint32_t block, std::uint64_t heads, std::uint64_t data,
           std::uint32_t tables) {
  const std::uint64_t blocks = block ? ceil_div(keys, block) : 0;
  Bytes b;
  magic(b, "BDX1");
  bytes::put_u64(b, keys);
  bytes::put_u32(b, block);
  bytes::put_u64(b, heads);
  bytes::put_u64(b, data);
  bytes::put_u32(b, tables);
  b.resize(48, 0);
  append(b, filler(heads + data + tables + 20 * blocks, 1));
  return b;
}

Bytes bhd1(const Bytes& dict, std::uint64_t keys, std::uint32_t bits, std::uint32_t side) {
  Bytes m = keys ? mph3(keys, 8) : Bytes{};
  std::uint64_t rank_bits = 1;
  while ((std::uint64_t{1} << rank_bits) < std::max<std::uint64_t>(keys, 2)) ++rank_bits;
  Bytes b;
  magic(b, "BHD1");
  bytes::put_u64(b, keys);
  bytes::put_u32(b, bits);
  bytes::put_u64(b, dict.size());
  bytes::put_u64(b, m.size());
  bytes::put_u32(b, side);
  bytes::put_u64(b, 0);
  bytes::put_u32(b, 0);
  append(b, dict);
  append(b, m);
  append(b, filler(ceil_div((keys - side) * (bits + rank_bits), 8), 4));
  append(b, filler(24ull * side, 5));
  frame(b, 48, 36, 48 + dict.size());
  return b;
}

// Additions region: each key as a u32 length and its bytes.
Bytes additions(const std::vector<std::string>& keys) {
  Bytes b;
  for (const auto& k : keys) {
    bytes::put_u32(b, static_cast<std::uint32_t>(k.size()));
    b.insert(b.end(), k.begin(), k.end());
  }
  return b;
}

Bytes ovl2(std::uint8_t tag, const Bytes& base, const std::vector<std::string>& keys,
           const std::vector<std::uint64_t>& tombstones) {
  const Bytes adds = additions(keys);
  Bytes b;
  magic(b, "OVL2");
  b.push_back(tag);
  bytes::put_u64(b, base.size());
  bytes::put_u64(b, keys.size());
  bytes::put_u64(b, adds.size());
  bytes::put_u64(b, tombstones.size());
  bytes::put_u64(b, 0);
  bytes::put_u32(b, 0);
  append(b, base);
  append(b, adds);
  for (auto w : tombstones) bytes::put_u64(b, w);
  frame(b, 49, 37, 49);
  return b;
}

Bytes ovl1(std::uint8_t tag, const Bytes& base, const std::vector<std::string>& keys,
           const std::vector<std::uint64_t>& tombstones) {
  Bytes b;
  magic(b, "OVL1");
  b.push_back(tag);
  bytes::put_u64(b, base.size());
  bytes::put_u64(b, keys.size());
  append(b, base);
  append(b, additions(keys));
  bytes::put_u64(b, tombstones.size());
  for (auto w : tombstones) bytes::put_u64(b, w);
  return b;
}

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

std::string format_message(const Bytes& blob) {
  try {
    inspect::inspect_bytes(blob);
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Format) << e.what();
    return e.message();
  }
  return "(inspected)";
}

bool same(const BlobInfo& a, const BlobInfo& b) {
  if (a.kind != b.kind || a.format != b.format || a.bytes != b.bytes || a.keys != b.keys ||
      a.fingerprint_bits != b.fingerprint_bits || a.mph_bytes != b.mph_bytes ||
      a.arena_bytes != b.arena_bytes || a.side_entries != b.side_entries ||
      a.overlay.has_value() != b.overlay.has_value())
    return false;
  if (!a.overlay) return true;
  const auto& x = *a.overlay;
  const auto& y = *b.overlay;
  if (x.base_tag != y.base_tag || x.additions != y.additions || x.retired != y.retired ||
      (x.base == nullptr) != (y.base == nullptr))
    return false;
  return x.base == nullptr || same(*x.base, *y.base);
}

class TempDir {
 public:
  TempDir() {
    path_ = fs::temp_directory_path() /
            ("quenlith-inspect-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  fs::path file(const std::string& name, const Bytes& content) const {
    fs::path p = path_ / name;
    blob::write_atomically(p, content);
    return p;
  }
  const fs::path& path() const { return path_; }

 private:
  static inline int counter_ = 0;
  fs::path path_;
};

// One valid blob of every recognised format, for sweeps.
std::vector<Bytes> every_format() {
  DictShape s;
  Bytes dict = bdx3(s);
  Bytes bdx2 = bdx3(s);
  std::memcpy(bdx2.data(), "BDX2", 4);
  return {
      bix4(7),
      bix4(7, 2),
      bmp8(5, 17, 2),
      bch8(9, 11, 3),
      bcl2(6, 1),
      dict,
      bdx1(10, 4, 12, 20, 8),
      bhd1(dict, 10, 8, 2),
      mph3(40, 10),
      ovl2(2, bmp8(5, 17, 2), {"x", "yz"}, {0b1011}),
      ovl1(1, bix4(7), {"abc"}, {0, 1}),
      ovl2(3, bch8(9, 11, 3), {}, {}),
  };
}

}  // namespace

// ---- Dispatch on the magic. ----

TEST(InspectMagic, ShortAndUnknownMagics) {
  for (std::size_t n = 0; n < 4; ++n)
    EXPECT_EQ(format_message(Bytes(n, 'B')), inspect::kShorterThanMagic) << n;
  for (const char* m : {"BMP9", "BCL3", "BCH9", "BDX4", "MPH4", "OVL3", "BIX3", "\0\0\0\0", "bmp8"})
    EXPECT_EQ(format_message(Bytes(m, m + 4)), inspect::kUnknownMagic) << m;
}

TEST(InspectMagic, RetiredHashMagicsAreRefusedWithTheirMessage) {
  for (char d = '1'; d <= '7'; ++d) {
    // The refusal comes before any length check: the bare magic is enough, and so is a long blob.
    EXPECT_EQ(format_message(text(std::string("BMP") + d)), inspect::kOldPerfectHash);
    EXPECT_EQ(format_message(text(std::string("BCH") + d + std::string(100, 'x'))),
              inspect::kOldCompactHash);
  }
  EXPECT_EQ(format_message(text("BCL1")), inspect::kOldClosedHash);
}

TEST(InspectMagic, FormatTextIsTheMagic) {
  for (const Bytes& b : every_format()) {
    const BlobInfo i = inspect::inspect_bytes(b);
    EXPECT_EQ(i.format, std::string(b.begin(), b.begin() + 4));
    EXPECT_EQ(i.bytes, b.size());
  }
}

// ---- Fields per kind. ----

TEST(InspectFields, StringIndexReadsTheFooterOfEitherVersion) {
  for (std::uint64_t version : {1, 2, 3, 4}) {
    const BlobInfo i = inspect::inspect_bytes(bix4(123456789, version));
    EXPECT_EQ(i.kind, BlobKind::StringIndex);
    EXPECT_EQ(i.keys, 123456789u) << version;
    EXPECT_FALSE(i.mph_bytes || i.arena_bytes || i.side_entries || i.fingerprint_bits || i.overlay);
  }
  const Bytes one = bix4(1);
  for (std::size_t n = 4; n < 12; ++n)
    EXPECT_EQ(format_message(Bytes(one.begin(), one.begin() + n)), inspect::kTruncated);
  // A version-3 blob needs its 20-byte footer; version 2 needs 16.
  Bytes v3 = text("BIX4");
  bytes::put_u64(v3, 3);
  v3.resize(19, 0);
  EXPECT_EQ(format_message(v3), inspect::kTruncated);
  v3.push_back(0);
  EXPECT_TRUE(inspect::inspect_bytes(v3).keys);
}

TEST(InspectFields, HashIndexes) {
  Bytes p = bmp8(5, 17, 2);
  BlobInfo i = inspect::inspect_bytes(p);
  EXPECT_EQ(i.kind, BlobKind::PerfectHashIndex);
  EXPECT_EQ(i.keys, 5u);
  EXPECT_EQ(i.mph_bytes, mph3(5, 24).size());
  EXPECT_EQ(i.arena_bytes, 17u);
  EXPECT_EQ(i.side_entries, 2u);
  EXPECT_FALSE(i.fingerprint_bits);

  i = inspect::inspect_bytes(bch8(9, 11, 3));
  EXPECT_EQ(i.kind, BlobKind::CompactHashIndex);
  EXPECT_EQ(i.keys, 9u);
  EXPECT_EQ(i.fingerprint_bits, 11u);
  EXPECT_EQ(i.arena_bytes, (6u * 11 + 7) / 8);
  EXPECT_EQ(i.side_entries, 3u);

  i = inspect::inspect_bytes(bcl2(6, 1));
  EXPECT_EQ(i.kind, BlobKind::ClosedHashIndex);
  EXPECT_EQ(i.keys, 6u);
  EXPECT_EQ(i.mph_bytes, mph3(6, 8).size());
  EXPECT_EQ(i.side_entries, 1u);
  EXPECT_FALSE(i.arena_bytes);

  // The empty indexes: header only.
  i = inspect::inspect_bytes(bmp8(0, 0, 0));
  EXPECT_EQ(i.bytes, 36u);
  EXPECT_EQ(i.arena_bytes, 0u);
  EXPECT_EQ(inspect::inspect_bytes(bcl2(0, 0)).mph_bytes, 0u);
}

TEST(InspectFields, ArenaZeroFitsExactlyAndOneByteShortIsTruncated) {
  const Bytes exact = bmp8(4, 0, 3);
  EXPECT_EQ(inspect::inspect_bytes(exact).arena_bytes, 0u);
  EXPECT_EQ(format_message(Bytes(exact.begin(), exact.end() - 1)), inspect::kTruncated);
  const Bytes closed = bcl2(4, 2);
  EXPECT_EQ(format_message(Bytes(closed.begin(), closed.end() - 1)), inspect::kTruncated);
  // A header shorter than its fixed size, for each framed kind.
  for (const Bytes& b : {bmp8(1, 1, 0), bch8(1, 1, 0), bcl2(1, 0), bhd1(bdx3({}), 10, 0, 0)}) {
    EXPECT_EQ(format_message(Bytes(b.begin(), b.begin() + 30)), inspect::kTruncated);
  }
}

TEST(InspectFields, HashedDictReportsWhatLiesBesideItsDictionary) {
  const Bytes dict = bdx3({});
  const BlobInfo i = inspect::inspect_bytes(bhd1(dict, 10, 8, 2));
  EXPECT_EQ(i.kind, BlobKind::HashedDictIndex);
  EXPECT_EQ(i.keys, 10u);
  EXPECT_EQ(i.fingerprint_bits, 8u);
  EXPECT_EQ(i.mph_bytes, mph3(10, 8).size());
  EXPECT_EQ(i.arena_bytes, ceil_div(8 * (8 + 4), 8));  // 8 entries of 8 + 4 bits
  EXPECT_EQ(i.side_entries, 2u);
}

TEST(InspectFields, MphfSections) {
  const BlobInfo i = inspect::inspect_bytes(mph3(300, 50));
  EXPECT_EQ(i.kind, BlobKind::Mphf);
  EXPECT_EQ(i.keys, 300u);
  EXPECT_EQ(i.mph_bytes, 68u + 50);
  Bytes short_one = text("MPH1");
  short_one.resize(15, 0);
  EXPECT_EQ(format_message(short_one), inspect::kTruncated);
  short_one.push_back(0);
  EXPECT_EQ(inspect::inspect_bytes(short_one).keys, 0u);
}

// ---- The dictionary's sections. ----

TEST(InspectDict, SectionsThatAddUpInspectAndOneByteLessIsTruncated) {
  std::mt19937_64 rng(20240607);
  for (int trial = 0; trial < 3000; ++trial) {
    DictShape s;
    s.keys = rng() % 3 == 0 ? rng() % 5 : rng() % 5000;
    s.block = static_cast<std::uint32_t>(1 + rng() % 1024);
    s.micro = static_cast<std::uint16_t>(1 + rng() % s.block);
    s.head_width = static_cast<std::uint8_t>(rng() % 57);
    s.offset_width = static_cast<std::uint8_t>(rng() % 57);
    s.micro_width = static_cast<std::uint8_t>(rng() % 57);
    s.shift = static_cast<std::uint8_t>(rng() % 32);
    s.heads = rng() % 40;
    s.data = rng() % 40;
    s.tables = static_cast<std::uint32_t>(rng() % 30);
    s.header_codes = static_cast<std::uint32_t>(rng() % 10);
    s.phrases = static_cast<std::uint32_t>(4 + rng() % 10);
    const Bytes b = bdx3(s);
    SCOPED_TRACE("trial " + std::to_string(trial) + " keys " + std::to_string(s.keys) + " block " +
                 std::to_string(s.block) + " micro " + std::to_string(s.micro));
    const BlobInfo i = inspect::inspect_bytes(b);
    EXPECT_EQ(i.kind, BlobKind::DictIndex);
    EXPECT_EQ(i.keys, s.keys);
    EXPECT_EQ(i.arena_bytes, s.heads + s.data);
    ASSERT_EQ(format_message(Bytes(b.begin(), b.end() - 1)), inspect::kTruncated);
  }
}

TEST(InspectDict, OlderLayoutsAndOddHeaders) {
  // "BDX1": 20 bytes of offsets a block.
  const Bytes v1 = bdx1(10, 4, 12, 20, 8);
  EXPECT_EQ(inspect::inspect_bytes(v1).arena_bytes, 32u);
  EXPECT_EQ(format_message(Bytes(v1.begin(), v1.end() - 1)), inspect::kTruncated);
  // Block size 0: no blocks, so no offset tables; the other sections still have to fit.
  const Bytes zero = bdx1(10, 0, 12, 20, 8);
  EXPECT_EQ(zero.size(), 48u + 40);
  EXPECT_EQ(inspect::inspect_bytes(zero).keys, 10u);
  DictShape s;
  s.block = 0;
  EXPECT_EQ(inspect::inspect_bytes(bdx3(s)).keys, s.keys);
  // A sample shift of 32 or more cannot describe a table.
  for (std::uint8_t shift : {32, 33, 255}) {
    Bytes b = bdx3({});
    b[46] = shift;
    EXPECT_EQ(format_message(b), inspect::kTruncated) << int(shift);
  }
  // Heads and block data whose sum overflows.
  Bytes b = bdx3({});
  bytes::store_u64(&b[16], ~std::uint64_t{0});
  EXPECT_EQ(format_message(b), inspect::kTruncated);
  // "BDX2" counts its microblock table with samples, so the BDX3 layout leaves it short.
  Bytes v2 = bdx3({});
  std::memcpy(v2.data(), "BDX2", 4);
  EXPECT_EQ(inspect::inspect_bytes(v2).format, "BDX2");
}

TEST(InspectDict, HugeClaimsAreRefusedWithoutWork) {
  // A tiny blob claiming 2^64 - 1 keys in blocks of one with shift 0: the sample count alone
  // passes 2^61.
  Bytes b = bdx3({});
  bytes::store_u64(&b[4], ~std::uint64_t{0});
  bytes::store_u32(&b[12], 1);
  b[46] = 0;
  EXPECT_EQ(format_message(b), inspect::kTruncated);
  // Maximum widths: n * width overflows.
  b[46] = 31;
  b[44] = b[45] = b[47] = 255;
  EXPECT_EQ(format_message(b), inspect::kTruncated);
}

// ---- Overlays. ----

TEST(InspectOverlay, CountsLiveKeysFromTheBase) {
  const BlobInfo i = inspect::inspect_bytes(ovl2(2, bmp8(5, 17, 2), {"x", "yz"}, {0b1011}));
  EXPECT_EQ(i.kind, BlobKind::Overlay);
  ASSERT_TRUE(i.overlay);
  EXPECT_EQ(i.overlay->base_tag, 2);
  EXPECT_EQ(i.overlay->additions, 2u);
  EXPECT_EQ(i.overlay->retired, 3u);
  ASSERT_TRUE(i.overlay->base);
  EXPECT_EQ(i.overlay->base->kind, BlobKind::PerfectHashIndex);
  EXPECT_EQ(i.overlay->base->bytes, bmp8(5, 17, 2).size());
  EXPECT_EQ(i.keys, 5u + 2 - 3);
  EXPECT_FALSE(i.mph_bytes || i.arena_bytes || i.side_entries || i.fingerprint_bits);

  const BlobInfo old = inspect::inspect_bytes(ovl1(1, bix4(7), {"abc", ""}, {0, 1, 0}));
  EXPECT_EQ(old.format, "OVL1");
  EXPECT_EQ(old.overlay->base->kind, BlobKind::StringIndex);
  EXPECT_EQ(old.overlay->additions, 2u);
  EXPECT_EQ(old.keys, 7u + 2 - 1);
}

TEST(InspectOverlay, UnknownTagLeavesBaseAndKeysAbsentButCountsRetired) {
  for (std::uint8_t tag : {0, 4, 255}) {
    const BlobInfo i = inspect::inspect_bytes(ovl2(tag, text("garbage"), {"a"}, {0xFF, 1}));
    EXPECT_FALSE(i.keys);
    EXPECT_FALSE(i.overlay->base);
    EXPECT_EQ(i.overlay->retired, 9u);
  }
}

TEST(InspectOverlay, Refusals) {
  // An overlay inside an overlay, refused before the inner header is looked at.
  const Bytes inner = ovl2(2, bmp8(1, 1, 0), {}, {});
  EXPECT_EQ(format_message(ovl2(2, inner, {}, {})), inspect::kNestedOverlay);
  EXPECT_EQ(format_message(ovl2(1, text("OVL2"), {}, {})), inspect::kNestedOverlay);
  EXPECT_EQ(format_message(ovl1(3, text("OVL1xx"), {}, {})), inspect::kNestedOverlay);
  // The base's own refusal passes through.
  EXPECT_EQ(format_message(ovl2(2, text("BMP5"), {}, {})), inspect::kOldPerfectHash);
  // One tombstone word more than the header says.
  Bytes extra = ovl2(2, bmp8(5, 1, 0), {"a"}, {1});
  bytes::put_u64(extra, 0);
  EXPECT_EQ(format_message(extra), inspect::kOverlayTombstones);
  Bytes extra1 = ovl1(2, bmp8(5, 1, 0), {"a"}, {1});
  bytes::put_u64(extra1, 0);
  EXPECT_EQ(format_message(extra1), inspect::kOverlayTombstones);
  // More retired ids than base keys and additions.
  EXPECT_EQ(format_message(ovl2(2, bmp8(1, 1, 0), {"a"}, {0b111})), inspect::kOverlayCounts);
  // An addition count the additions region cannot hold.
  Bytes counts = ovl2(2, bmp8(1, 1, 0), {"a"}, {});
  bytes::store_u64(&counts[13], 2);
  EXPECT_EQ(format_message(counts), inspect::kOverlayCounts);
  bytes::store_u64(&counts[13], std::uint64_t{1} << 62);
  EXPECT_EQ(format_message(counts), inspect::kOverlayCounts);
  // Base region past the end.
  Bytes base = ovl2(2, bmp8(1, 1, 0), {}, {});
  bytes::store_u64(&base[5], base.size());
  EXPECT_EQ(format_message(base), inspect::kTruncated);
  // "OVL1" whose addition count runs past the blob.
  Bytes walk = ovl1(2, bmp8(1, 1, 0), {"a"}, {});
  bytes::store_u64(&walk[13], ~std::uint64_t{0});
  EXPECT_EQ(format_message(walk), inspect::kTruncated);
}

TEST(InspectOverlay, PopcountSpansChunks) {
  std::vector<std::uint64_t> words(8192 * 2 + 5);
  std::mt19937_64 rng(11);
  std::uint64_t expect = 0;
  for (auto& w : words) {
    w = rng() & rng();
    expect += std::popcount(w);
  }
  const Bytes b = ovl2(7, {}, {}, words);
  EXPECT_EQ(inspect::inspect_bytes(b).overlay->retired, expect);
  inspect::SliceSource src(b);
  const inspect::Window w = inspect::Window::whole(src);
  EXPECT_EQ(inspect::popcount(w, 49, 0), 0u);
  EXPECT_THROW(inspect::popcount(w, 49, words.size() + 1), IndexError);
  EXPECT_THROW(inspect::popcount(w, ~std::uint64_t{0}, 1), IndexError);
}

// ---- Sources: files, mappings, failures. ----

TEST(InspectSources, FileMappingAndBytesAgree) {
  TempDir dir;
  int n = 0;
  for (const Bytes& b : every_format()) {
    const fs::path p = dir.file("blob" + std::to_string(n++), b);
    const BlobInfo from_bytes = inspect::inspect_bytes(b);
    EXPECT_TRUE(same(inspect::inspect_file(p), from_bytes)) << from_bytes.format;
    const blob::SharedBytes mapped = blob::SharedBytes::map_file(p);
    EXPECT_TRUE(same(inspect::inspect_bytes(mapped.bytes()), from_bytes)) << from_bytes.format;
  }
  // A file's refusals are the same as the bytes'.
  const fs::path bad = dir.file("bad", text("BCL1"));
  try {
    inspect::inspect_file(bad);
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.message(), inspect::kOldClosedHash);
  }
  const fs::path empty = dir.file("empty", {});
  EXPECT_THROW(inspect::inspect_file(empty), IndexError);
}

TEST(InspectSources, OperatingSystemFailuresAreIo) {
  TempDir dir;
  try {
    inspect::inspect_file(dir.path() / "missing");
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Io) << e.what();
    EXPECT_EQ(e.io_kind(), IndexError::IoKind::NotFound);
  }
  // A file that shrinks after it was opened: the positioned read meets the end early.
  const Bytes b = ovl2(2, bmp8(5, 100, 0), {}, std::vector<std::uint64_t>(10, 1));
  const fs::path p = dir.file("shrinks", b);
  inspect::FileSource src(p);
  fs::resize_file(p, 60);
  try {
    inspect::parse(inspect::Window::whole(src), false);
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Io) << e.what();
  }
  // Its first four bytes gone: reported as a short magic, not as the read's error.
  fs::resize_file(p, 0);
  try {
    inspect::parse(inspect::Window::whole(src), false);
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.message(), inspect::kShorterThanMagic);
  }
}

// ---- Robustness: arbitrary bytes never crash, hang or read out of bounds. ----

namespace {

// Inspects and accepts either a result or a Format refusal; anything else fails the test.
void inspect_anything(const Bytes& b) {
  // An exact-size heap copy, so AddressSanitizer sees any read past the end.
  const auto copy = std::make_unique<std::uint8_t[]>(b.size());
  std::copy(b.begin(), b.end(), copy.get());
  try {
    const BlobInfo i = inspect::inspect_bytes(std::span(copy.get(), b.size()));
    EXPECT_EQ(i.bytes, b.size());
  } catch (const IndexError& e) {
    ASSERT_EQ(e.kind(), IndexError::Kind::Format) << e.what();
  }
}

}  // namespace

TEST(InspectFuzz, EveryTruncationOfEveryFormat) {
  for (const Bytes& b : every_format()) {
    for (std::size_t n = 0; n < b.size(); ++n) inspect_anything(Bytes(b.begin(), b.begin() + n));
  }
}

TEST(InspectFuzz, RandomBytesBehindEveryMagic) {
  std::mt19937_64 rng(0x5eed);
  const char* magics[] = {"BIX4", "BMP8", "BCH8", "BCL2", "BHD1", "BDX1", "BDX2",
                          "BDX3", "MPH1", "MPH2", "MPH3", "OVL1", "OVL2", "ZZZZ"};
  for (int trial = 0; trial < 20000; ++trial) {
    Bytes b(rng() % 160);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() : rng() % 3);
    if (b.size() >= 4) std::memcpy(b.data(), magics[trial % std::size(magics)], 4);
    inspect_anything(b);
  }
}

TEST(InspectFuzz, FlippedLengthFields) {
  // Every aligned 1-, 4- and 8-byte field of every header set to extreme and random values.
  std::mt19937_64 rng(99);
  const std::uint64_t extremes[] = {0,
                                    1,
                                    7,
                                    8,
                                    0xFFFFFFFFull,
                                    0x100000000ull,
                                    std::uint64_t{1} << 61,
                                    std::uint64_t{1} << 62,
                                    ~std::uint64_t{0},
                                    ~std::uint64_t{0} - 7};
  for (const Bytes& valid : every_format()) {
    const std::size_t header = std::min<std::size_t>(valid.size(), 80);
    for (std::size_t off = 4; off < header; ++off) {
      for (unsigned width : {1u, 2u, 4u, 8u}) {
        if (off + width > valid.size()) continue;
        for (std::uint64_t v : extremes) {
          Bytes b = valid;
          bytes::store_uint(&b[off], v, width);
          inspect_anything(b);
        }
        Bytes b = valid;
        bytes::store_uint(&b[off], rng(), width);
        inspect_anything(b);
      }
    }
    // Also with the tail cut and flipped together.
    for (int trial = 0; trial < 200; ++trial) {
      Bytes b(valid.begin(),
              valid.begin() + static_cast<std::ptrdiff_t>(rng() % (valid.size() + 1)));
      if (b.size() > 4)
        b[4 + rng() % (b.size() - 4)] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
      inspect_anything(b);
    }
  }
}
