#include "dict_index_internal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUENLITH_SANITIZED 1
#else
#define QUENLITH_SANITIZED 0
#endif

namespace quenlith::dict_index {
namespace {

using Keys = std::vector<std::string>;

std::vector<std::string_view> views(const Keys& keys) {
  return std::vector<std::string_view>(keys.begin(), keys.end());
}

std::span<const std::uint8_t> B(std::string_view s) { return bytes::as_bytes(s); }

// A sorted, distinct model of what the index must answer.
struct Model {
  Keys keys;
  explicit Model(Keys k) : keys(std::move(k)) {
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  }
  std::uint64_t rank(std::string_view q) const {
    return std::lower_bound(keys.begin(), keys.end(), q) - keys.begin();
  }
  bool has(std::string_view q) const { return std::binary_search(keys.begin(), keys.end(), q); }
};

// Keys with long shared prefixes, the bytes 0x00, 0x7F, 0x80 and 0xFF, and the empty key.
Keys mixed_keys(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Keys keys{"",
            std::string(1, '\0'),
            std::string("\x7F"),
            std::string("\x80"),
            std::string("\xFF\xFF"),
            std::string(300, 'p') + "x"};
  const std::string alphabet("ab\x00\x7F\x80\xFFz/.-", 10);
  const std::string long_prefix(70, 'q');
  while (keys.size() < n) {
    std::string k;
    switch (rng() % 4) {
      case 0:
        k = "https://example.org/path/" + std::to_string(rng() % 100000);
        break;
      case 1:
        k = long_prefix + std::to_string(rng() % 5000);
        break;
      default: {
        const std::size_t len = rng() % 12;
        for (std::size_t i = 0; i < len; ++i) k.push_back(alphabet[rng() % alphabet.size()]);
      }
    }
    keys.push_back(std::move(k));
  }
  return keys;
}

// Probe strings: members, their neighbours and prefixes, and random strings.
Keys probes_for(const Model& m, std::uint32_t seed, std::size_t count) {
  std::mt19937 rng(seed);
  Keys out{"", std::string(1, '\0'), "\xFF\xFF\xFF", "zzzz"};
  for (std::size_t i = 0; i < count && !m.keys.empty(); ++i) {
    std::string k = m.keys[rng() % m.keys.size()];
    switch (rng() % 5) {
      case 0:
        break;
      case 1:
        k.push_back(static_cast<char>(rng() % 256));
        break;
      case 2:
        if (!k.empty()) k.pop_back();
        break;
      case 3:
        if (!k.empty()) k.back() = static_cast<char>(k.back() + 1);
        break;
      default:
        k = k.substr(0, k.size() / 2);
    }
    out.push_back(std::move(k));
  }
  return out;
}

void expect_matches(const DictIndex& d, const Model& m, std::uint32_t seed) {
  SCOPED_TRACE("seed " + std::to_string(seed) + ", block " + std::to_string(d.block()) + ", keys " +
               std::to_string(m.keys.size()));
  ASSERT_EQ(d.size(), m.keys.size());
  room::Bytes buf;
  for (std::uint64_t i = 0; i < m.keys.size(); ++i) {
    ASSERT_TRUE(d.key_bytes_into(i, buf)) << i;
    ASSERT_EQ(buf.view(), m.keys[i]) << i;
    ASSERT_EQ(d.locate(m.keys[i]), (Found{true, i})) << i;
  }
  EXPECT_FALSE(d.key_bytes_into(m.keys.size(), buf));
  // Iteration from 0 and from a middle id.
  for (std::uint64_t first : {std::uint64_t{0}, m.keys.size() / 3}) {
    KeyIter it = d.iter_from(first);
    std::uint64_t expect = first;
    while (it.next()) {
      ASSERT_EQ(it.id(), expect);
      ASSERT_EQ(it.key(), m.keys[expect]);
      ++expect;
    }
    EXPECT_EQ(expect, std::max<std::uint64_t>(first, m.keys.size()));
  }
  const Keys probes = probes_for(m, seed, 400);
  const auto batched = d.ids_of(views(probes));
  for (std::size_t i = 0; i < probes.size(); ++i) {
    const std::string& q = probes[i];
    const Found f = d.locate(q);
    ASSERT_EQ(f, (Found{m.has(q), m.rank(q)})) << i;
    ASSERT_EQ(batched[i], f.found ? std::optional<std::uint64_t>(f.id) : std::nullopt) << i;
    // prefix_id_range: the ids of the keys that start with q.
    std::uint64_t lo = m.rank(q), hi = lo;
    while (hi < m.keys.size() && m.keys[hi].compare(0, q.size(), q) == 0) ++hi;
    ASSERT_EQ(d.prefix_id_range(B(q)), (std::pair{lo, hi})) << i;
    const auto succ = d.successor(B(q));
    if (lo < m.keys.size() && bytes::is_utf8(B(m.keys[lo]))) {
      ASSERT_TRUE(succ);
      EXPECT_EQ(succ->first, m.keys[lo]);
      EXPECT_EQ(succ->second, lo);
    } else if (lo == m.keys.size()) {
      EXPECT_FALSE(succ);
    }
    const auto pred = d.predecessor(B(q));
    const std::uint64_t pid = m.has(q) ? lo : lo - 1;
    if (!m.has(q) && lo == 0) {
      EXPECT_FALSE(pred);
    } else if (bytes::is_utf8(B(m.keys[pid]))) {
      ASSERT_TRUE(pred);
      EXPECT_EQ(pred->second, pid);
    }
  }
}

TEST(DictIndex, MatchesSortedModelAcrossBlockSizes) {
  const std::vector<std::size_t> sizes = QUENLITH_SANITIZED
                                             ? std::vector<std::size_t>{0, 1, 2, 37, 3000}
                                             : std::vector<std::size_t>{0, 1, 2, 37, 3000, 40000};
  std::uint32_t seed = 7;
  for (std::size_t n : sizes) {
    Keys keys = mixed_keys(n, seed);
    keys.resize(std::min(keys.size(), n));
    const Model m(keys);
    for (std::uint64_t block : {1, 8, 32, 256, 1024}) {
      const DictIndex d = DictIndex::build_with_threads(views(keys), block, 4);
      expect_matches(d, m, seed);
      const DictIndex again = DictIndex::from_bytes(d.to_bytes());
      expect_matches(again, m, seed);
      EXPECT_EQ(again.to_bytes(), d.to_bytes());
      EXPECT_EQ(d.serialized_len(), d.to_bytes().size());
    }
    ++seed;
  }
}

TEST(DictIndex, SameBlobForAnyThreadCount) {
  Keys keys;
  for (int i = 0; i < (QUENLITH_SANITIZED ? 40000 : 200000); ++i)
    keys.push_back("key/" + std::to_string(i * 7919 % 1000003) + "/tail");
  for (std::uint64_t block : {8, 32}) {
    const auto one = DictIndex::build_with_threads(views(keys), block, 1).to_bytes();
    for (unsigned t : {2u, 8u})
      EXPECT_EQ(DictIndex::build_with_threads(views(keys), block, t).to_bytes(), one)
          << "block " << block << " threads " << t;
  }
}

TEST(DictIndex, BlockSizeOutOfRangeIsRefused) {
  const Keys keys{"a"};
  for (std::uint64_t block : {0, 1025}) {
    try {
      DictIndex::build_with_block(views(keys), block);
      FAIL();
    } catch (const IndexError& e) {
      EXPECT_STREQ(e.what(), "format error: dict: block must be in 1..=1024");
    }
  }
}

TEST(DictIndex, EmptyIndexLoadsAndAnswersNothing) {
  const DictIndex d = DictIndex::build_with_block({}, 256);
  const auto blob = d.to_bytes();
  const DictIndex l = DictIndex::from_bytes(blob);
  EXPECT_EQ(l.size(), 0u);
  EXPECT_EQ(l.locate(std::string_view("a")), (Found{false, 0}));
  EXPECT_EQ(l.prefix_id_range(B("")), (std::pair<std::uint64_t, std::uint64_t>{0, 0}));
  EXPECT_FALSE(l.successor(B("")));
  EXPECT_TRUE(l.common_prefix("abc").empty());
  EXPECT_FALSE(l.longest_prefix("abc"));
  EXPECT_EQ(l.ids_of(std::vector<std::string_view>{"a", ""}),
            (std::vector<std::optional<std::uint64_t>>{std::nullopt, std::nullopt}));
  // The header codes section is two all-zero tag-0 codes.
  EXPECT_EQ(bytes::load_u32(blob.data() + 52), 14u);
}

TEST(DictIndex, CommonAndLongestPrefixCutAtCharacters) {
  const Keys keys{"", "h", "ha", "h\xC3\xA9", "h\xC3\xA9llo", "hello", "x"};
  const DictIndex d = DictIndex::build_with_block(views(keys), 2);
  const auto cp = d.common_prefix("h\xC3\xA9llo!");
  std::vector<std::string> got;
  for (auto& [k, id] : cp) got.push_back(k);
  EXPECT_EQ(got, (std::vector<std::string>{"", "h", "h\xC3\xA9", "h\xC3\xA9llo"}));
  EXPECT_EQ(d.longest_prefix("hallo")->first, "ha");
  EXPECT_EQ(d.longest_prefix("q")->first, "");
  EXPECT_EQ(d.longest_prefix("h\xC3\xA9llo")->first, "h\xC3\xA9llo");
  const Keys no_empty{"b", "bc"};
  const DictIndex e = DictIndex::build_with_block(views(no_empty), 256);
  EXPECT_FALSE(e.longest_prefix("a"));
  EXPECT_TRUE(e.common_prefix("").empty());
}

TEST(DictIndex, KeysOfAndKeyRejectInvalidUtf8AndPastTheEnd) {
  const Keys keys{"a", "b\xFF", "c"};
  const DictIndex d = DictIndex::build_with_block(views(keys), 256);
  const auto got = d.keys_of(std::vector<std::uint64_t>{2, 0, 1, 3});
  EXPECT_EQ(got[0], "c");
  EXPECT_EQ(got[1], "a");
  EXPECT_FALSE(got[2]);
  EXPECT_FALSE(got[3]);
}

TEST(DictIndex, RunOfRisingSharedLengthsOverflowsTheClimbStack) {
  Keys keys;
  std::string k;
  for (int i = 0; i < 40; ++i) keys.push_back(k += static_cast<char>('a' + i % 26));
  keys.push_back("abcdef");
  keys.push_back("abcx");
  keys.push_back("abd");
  for (std::uint64_t block : {64, 1024}) {
    const DictIndex d = DictIndex::build_with_block(views(keys), block);
    expect_matches(d, Model(keys), 1);
  }
}

TEST(DictIndex, HeadPrefixIsCappedAndSharedPrefixesWork) {
  const std::string p(70000, 'x');
  const Keys keys{p + "a", p + "b", p + "c"};
  const DictIndex d = DictIndex::build_with_block(views(keys), 1);
  EXPECT_EQ(d.head_prefix(), 65535u);
  expect_matches(DictIndex::from_bytes(d.to_bytes()), Model(keys), 3);
}

TEST(DictIndex, ByteSplitAddsUpToTheBlob) {
  Keys keys = mixed_keys(5000, 11);
  for (std::uint64_t block : {1, 32, 256}) {
    const DictIndex d = DictIndex::build_with_block(views(keys), block);
    const Sections s = d.sections();
    EXPECT_EQ(s.total_bytes(), d.serialized_len()) << block;
    EXPECT_EQ(s.restarts + s.entries + d.blocks(), d.size()) << block;
  }
}

TEST(DictIndex, SaveLoadAndMap) {
  const Keys keys = mixed_keys(2000, 5);
  const DictIndex d = DictIndex::build_with_block(views(keys), 32);
  const auto dir =
      std::filesystem::temp_directory_path() / ("dict_index_test." + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto path = dir / "a.bdx";
  d.save(path);
  for (const DictIndex& l :
       {DictIndex::load(path), DictIndex::load_mmap(path), DictIndex::load_mmap_verified(path)})
    EXPECT_EQ(l.to_bytes(), d.to_bytes());
  std::filesystem::remove_all(dir);
}

// ---- Loader checks -------------------------------------------------------------------------

std::string load_error(std::vector<std::uint8_t> blob, bool verify = true) {
  try {
    DictIndex::from_shared(blob::SharedBytes::from_owned(blob), verify);
  } catch (const IndexError& e) {
    return e.message();
  }
  return "";
}

void reseal(std::vector<std::uint8_t>& b) {
  bytes::store_u32(b.data() + 68, blob::header_check(std::span(b.data(), 68)));
}

TEST(DictIndexLoad, RefusesOlderMagicsAndBadFraming) {
  EXPECT_EQ(load_error({'B', 'D', 'X', '1'}),
            "dict: blob written by quenlith 2.0 or 2.1, whose blocks interleaved an entry's "
            "header with its suffix; rebuild the index from its keys");
  EXPECT_EQ(load_error({'B', 'D', 'X', '2', 0}),
            "dict: blob written by quenlith 2.2 or 3.x, which spent a byte on every entry's "
            "header; rebuild the index from its keys");
  EXPECT_EQ(load_error({'B', 'D', 'X'}), "bad magic or truncated header");
  std::vector<std::uint8_t> short_blob(71, 0);
  std::memcpy(short_blob.data(), "BDX3", 4);
  EXPECT_EQ(load_error(short_blob), "bad magic or truncated header");
  const Keys keys = mixed_keys(300, 2);
  auto blob = DictIndex::build_with_block(views(keys), 8).to_bytes();
  for (std::size_t at : {4, 20, 50, 62, 67}) {
    auto b = blob;
    b[at] ^= 1;
    EXPECT_EQ(load_error(b), "header checksum mismatch") << at;
  }
  auto b = blob;
  b[80] ^= 1;
  EXPECT_EQ(load_error(b), "payload checksum mismatch");
  EXPECT_EQ(load_error(b, false), "");
}

TEST(DictIndexLoad, HeaderFieldChecksInOrder) {
  const Keys keys = mixed_keys(300, 3);
  const auto blob = DictIndex::build_with_block(views(keys), 8).to_bytes();
  auto with = [&](auto edit) {
    auto b = blob;
    edit(b);
    reseal(b);
    return load_error(b, false);
  };
  EXPECT_EQ(with([](auto& b) { bytes::store_u32(b.data() + 12, 0); }),
            "dict: block size out of range");
  EXPECT_EQ(with([](auto& b) { bytes::store_u32(b.data() + 12, 1025); }),
            "dict: block size out of range");
  EXPECT_EQ(with([](auto& b) { b[46] = 32; }), "dict: offset widths out of range");
  EXPECT_EQ(with([](auto& b) { b[44] = 57; }), "dict: offset widths out of range");
  EXPECT_EQ(with([](auto& b) { b[47] = 57; }), "dict: offset widths out of range");
  EXPECT_EQ(with([](auto& b) { bytes::store_u16(b.data() + 48, 0); }),
            "dict: microblock size out of range");
  EXPECT_EQ(with([](auto& b) { bytes::store_u16(b.data() + 48, 9); }),
            "dict: microblock size out of range");
  EXPECT_EQ(with([](auto& b) { bytes::store_u16(b.data() + 50, 0); }),
            "dict: symbol-table shard out of range");
  EXPECT_EQ(with([](auto& b) {
              bytes::store_u64(b.data() + 4, ~std::uint64_t{0});
              b[44] = 56;
            }),
            "dict: block count out of range");
  EXPECT_EQ(with([](auto& b) { bytes::store_u64(b.data() + 16, 1); }),
            "dict: the section lengths do not add up to the blob");
}

// A hand-made blob from its sections, with a matching header.
std::vector<std::uint8_t> make_blob(
    std::uint64_t n, std::uint32_t block, std::uint16_t micro, std::vector<std::uint8_t> heads,
    std::vector<std::uint8_t> arrays_he, std::vector<std::uint8_t> data,
    std::vector<std::uint8_t> tables, std::vector<std::uint8_t> codes,
    std::vector<std::uint8_t> phrases, std::vector<std::uint8_t> arrays_rest, unsigned shift = 6,
    std::uint16_t head_prefix = 0) {
  std::vector<std::uint8_t> payload;
  for (auto* part : {&heads, &arrays_he, &data, &tables, &codes, &phrases, &arrays_rest})
    payload.insert(payload.end(), part->begin(), part->end());
  std::vector<std::uint8_t> b(72, 0);
  std::memcpy(b.data(), "BDX3", 4);
  bytes::store_u64(b.data() + 4, n);
  bytes::store_u32(b.data() + 12, block);
  bytes::store_u64(b.data() + 16, heads.size());
  bytes::store_u64(b.data() + 24, data.size());
  bytes::store_u32(b.data() + 32, static_cast<std::uint32_t>(tables.size()));
  bytes::store_u64(b.data() + 36, blob::hash_block(payload));
  b[46] = static_cast<std::uint8_t>(shift);
  bytes::store_u16(b.data() + 48, micro);
  bytes::store_u16(b.data() + 50, 65535);
  bytes::store_u32(b.data() + 52, static_cast<std::uint32_t>(codes.size()));
  bytes::store_u16(b.data() + 56, head_prefix);
  bytes::store_u32(b.data() + 58, static_cast<std::uint32_t>(phrases.size()));
  b.insert(b.end(), payload.begin(), payload.end());
  reseal(b);
  return b;
}

const std::vector<std::uint8_t> kCodec{2, 0, 0, 0, 0, 0};  // one empty kind-0 table
const std::vector<std::uint8_t> kCodes(14, 0);
const std::vector<std::uint8_t> kNoPhrases(4, 0);

TEST(DictIndexLoad, SectionContentChecks) {
  EXPECT_EQ(load_error(make_blob(0, 8, 8, {}, {}, {}, kCodec, kCodes, kNoPhrases, {})), "");
  EXPECT_EQ(load_error(make_blob(0, 8, 8, {}, {}, {}, {}, kCodes, kNoPhrases, {})),
            "dict: bad symbol table");
  auto extra = kCodec;
  extra.push_back(0);
  EXPECT_EQ(load_error(make_blob(0, 8, 8, {}, {}, {}, extra, kCodes, kNoPhrases, {})),
            "dict: bad symbol table");
  auto codes = kCodes;
  codes.push_back(0);
  EXPECT_EQ(load_error(make_blob(0, 8, 8, {}, {}, {}, kCodec, codes, kNoPhrases, {})),
            "dict: bad header code");
  EXPECT_EQ(load_error(make_blob(0, 8, 8, {}, {}, {}, kCodec, kCodes, {0, 0, 0}, {})),
            "dict: bad phrase dictionary");
  // Many claimed blocks in a short blob are refused before anything is sized by the claim.
  std::vector<std::uint8_t> tiny(8 * 64 + 8, 0);  // 64 samples at shift 31, 8 slack bytes
  EXPECT_EQ(load_error(make_blob(std::uint64_t{1} << 40, 8, 8, {'a'}, tiny, {}, kCodec, kCodes,
                                 kNoPhrases, tiny, 31),
                       false),
            "dict: more blocks than the heads section can hold");
  // Verification: key bytes in an empty index.
  EXPECT_EQ(load_error(make_blob(0, 8, 8, {}, {}, {1}, kCodec, kCodes, kNoPhrases, {})),
            "dict: an empty index with key bytes");
  // Two blocks of one key each (block 1): heads "a" and "b".
  auto arrays = [](std::uint64_t s0, std::uint8_t d1) {
    std::vector<std::uint8_t> a(8, 0);
    bytes::store_u64(a.data(), s0);
    a.push_back(d1);  // deltas of width 8
    a.push_back(0);
    a.insert(a.end(), 8, 0);
    return a;
  };
  auto two = [&](std::vector<std::uint8_t> he, std::vector<std::uint8_t> bo, std::uint16_t hp = 0) {
    auto b = make_blob(2, 1, 1, {'a', 'b'}, he, {}, kCodec, kCodes, kNoPhrases, bo, 6, hp);
    b[44] = 8;
    b[45] = 8;
    reseal(b);
    return load_error(b);
  };
  // head_ends are deltas from the group's first value: [1, 2] is sample 1, deltas 0 and 1.
  auto he_ok = arrays(1, 0);
  he_ok[9] = 1;
  auto bo_ok = arrays(0, 0);
  EXPECT_EQ(two(he_ok, bo_ok), "");
  auto he_back = arrays(1, 0);
  EXPECT_EQ(two(he_back, bo_ok), "dict: head table does not cover the head bytes");
  auto he_past = arrays(1, 0);
  he_past[9] = 5;
  EXPECT_EQ(two(he_past, bo_ok), "dict: head table out of order");
  auto bo_bad = arrays(3, 0);
  EXPECT_EQ(two(he_ok, bo_bad), "dict: block table out of order");
  EXPECT_EQ(two(he_ok, bo_ok, 1), "dict: the head prefix is longer than the heads share");
}

// The blob read field by field and section by section from its own header, independently of
// the loader: each section where the previous one ends, the heads whole, the first samples, the
// codec records and the checksums over the right bytes.
TEST(DictIndexLayout, SectionsFollowOneAnotherInBlobOrder) {
  const Model m(mixed_keys(3000, 21));
  const auto blob = DictIndex::build_with_block(views(m.keys), 32).to_bytes();
  const std::uint8_t* h = blob.data();
  ASSERT_EQ(std::memcmp(h, "BDX3", 4), 0);
  const std::uint64_t n = bytes::load_u64(h + 4);
  ASSERT_EQ(n, m.keys.size());
  ASSERT_EQ(bytes::load_u32(h + 12), 32u);
  const unsigned w_he = h[44], w_bo = h[45], shift = h[46], w_mo = h[47];
  EXPECT_EQ(shift, 6u);
  const std::uint64_t micro = bytes::load_u16(h + 48);
  EXPECT_EQ(micro, 16u);
  EXPECT_EQ(bytes::load_u16(h + 50), 2048u);
  for (std::size_t at = 62; at < 68; ++at) EXPECT_EQ(h[at], 0) << at;
  EXPECT_EQ(bytes::load_u32(h + 68), blob::header_check(std::span(h, 68)));
  EXPECT_EQ(bytes::load_u64(h + 36), blob::hash_block(std::span(blob).subspan(72)));

  const std::uint64_t nb = (n + 31) / 32, groups = (nb + 63) / 64;
  const std::uint64_t last = n - (nb - 1) * 32;
  const std::uint64_t micros = (nb - 1) * 2 + (last + micro - 1) / micro;
  std::uint64_t pos = 72;
  auto take = [&](std::uint64_t len) {
    const std::uint64_t at = pos;
    pos += len;
    EXPECT_LE(pos, blob.size());
    return at;
  };
  std::string heads;
  for (std::uint64_t b = 0; b < nb; ++b) heads += m.keys[b * 32];
  const std::uint64_t heads_at = take(bytes::load_u64(h + 16));
  ASSERT_EQ(std::string(reinterpret_cast<const char*>(h + heads_at), heads.size()), heads);
  const std::uint64_t he_at = take(8 * groups);
  EXPECT_EQ(bytes::load_u64(h + he_at), m.keys[0].size());
  take((nb * w_he + 7) / 8 + 8);
  take(bytes::load_u64(h + 24));
  const std::uint64_t tables_at = take(bytes::load_u32(h + 32));
  const std::uint64_t shards = (nb + 2047) / 2048;
  std::uint64_t record = tables_at;
  for (std::uint64_t k = 0; k < shards; ++k) {
    const std::uint64_t len = bytes::load_u32(h + record);
    EXPECT_TRUE(Codec::read(std::span(h + record + 4, len))) << k;
    record += 4 + len;
  }
  EXPECT_EQ(record, pos);
  take(bytes::load_u32(h + 52));
  const std::uint64_t phrases_len = bytes::load_u32(h + 58);
  EXPECT_GE(phrases_len, 4u);
  take(phrases_len);
  const std::uint64_t bo_at = take(8 * groups);
  EXPECT_EQ(bytes::load_u64(h + bo_at), 0u);
  take((nb * w_bo + 7) / 8 + 8);
  take((micros * w_mo + 7) / 8 + 8);
  EXPECT_EQ(pos, blob.size());
}

TEST(DictIndexLoad, WidthFiftySixAndShiftThirtyOneAreAccepted) {
  std::vector<std::uint8_t> he(8, 0), bo(8, 0);
  bytes::store_u64(he.data(), 1);
  he.insert(he.end(), 7 + 8, 0);  // one 56-bit delta + slack
  bo.insert(bo.end(), 7 + 8, 0);
  auto b = make_blob(1, 1, 1, {'a'}, he, {}, kCodec, kCodes, kNoPhrases, bo, 31);
  b[44] = 56;
  b[45] = 56;
  reseal(b);
  EXPECT_EQ(load_error(b), "");
}

// Every truncation and many byte flips, with and without verification: an error or a working
// index, never a crash; a working index's walks either succeed or fail with an error.
TEST(DictIndexLoad, TruncationsAndFlipsNeverCrash) {
  Keys keys = mixed_keys(QUENLITH_SANITIZED ? 120 : 400, 9);
  for (std::uint64_t block : {8, 32}) {
    const auto blob = DictIndex::build_with_block(views(keys), block).to_bytes();
    for (std::size_t len = 0; len < blob.size(); ++len)
      EXPECT_NE(load_error(std::vector<std::uint8_t>(blob.begin(), blob.begin() + len)), "");
    std::mt19937 rng(block);
    for (int round = 0; round < (QUENLITH_SANITIZED ? 300 : 1500); ++round) {
      auto b = blob;
      const std::size_t at = rng() % b.size();
      b[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
      if (at < 68 && rng() % 2) reseal(b);
      for (bool verify : {false, true}) {
        try {
          const DictIndex d = DictIndex::from_shared(blob::SharedBytes::from_owned(b), verify);
          room::Bytes buf;
          for (std::uint64_t i = 0; i < d.size(); i += 7) d.key_bytes_into(i, buf);
          for (const auto& k : keys) d.locate(k);
          d.ids_of(views(keys));
          d.sections();
          KeyIter it = d.iter_from(0);
          while (it.next()) {}
        } catch (const IndexError&) {}
      }
    }
  }
}

// A run that cannot be decoded inside a blob with valid checksums: iteration reports it.
TEST(DictIndexLoad, CorruptRunMakesIterationFailNotEnd) {
  Keys keys;
  for (int i = 0; i < 64; ++i) keys.push_back(std::to_string(1000 + i));
  const DictIndex d = DictIndex::build_with_block(views(keys), 64);
  auto blob = d.to_bytes();
  const std::uint64_t heads_len = bytes::load_u64(blob.data() + 16);
  const std::uint64_t data_len = bytes::load_u64(blob.data() + 24);
  const std::uint64_t he_len =
      8 + (bytes::load_u64(blob.data() + 4) > 0 ? (blob[44] + 7) / 8 + 8 : 0);
  const std::size_t data_at = 72 + heads_len + he_len;
  // Fill the block data with 0xFF: every entry word is an escape whose varints never end.
  std::fill(blob.begin() + data_at, blob.begin() + data_at + data_len, 0xFF);
  bytes::store_u64(blob.data() + 36, blob::hash_block(std::span(blob).subspan(72)));
  reseal(blob);
  const DictIndex c = DictIndex::from_bytes(blob);
  KeyIter it = c.iter_from(0);
  EXPECT_TRUE(it.next());  // the head needs no decoding
  try {
    while (it.next()) {}
    FAIL() << "iteration ended silently";
  } catch (const IndexError& e) {
    EXPECT_EQ(e.message(), "dict: a block of the index cannot be decoded");
  }
  EXPECT_TRUE(it.failed());
  EXPECT_FALSE(c.key(5));
}

}  // namespace
}  // namespace quenlith::dict_index

namespace quenlith::dict_index {
namespace {

using Bytes = std::vector<std::uint8_t>;

bool decode(const Codec& c, const phrase::Dict& d, const Bytes& stream, std::uint64_t start,
            std::uint64_t units, std::string& out, std::uint64_t want = kNoLimit) {
  room::Bytes buf;
  buf.append(B("pre"));
  const bool ok = c.decode_into(d, stream, start, units, buf, want);
  out = std::string(buf.view().substr(3));
  if (!ok) {
    EXPECT_EQ(buf.size(), 3u);
  }
  return ok;
}

TEST(DictCodec, RecordRefusals) {
  EXPECT_FALSE(Codec::read(Bytes{}));
  EXPECT_FALSE(Codec::read(Bytes{3, 0}));
  EXPECT_TRUE(Codec::read(Bytes{0, 0}));
  EXPECT_FALSE(Codec::read(Bytes{1, 1, 0}));
  EXPECT_FALSE(Codec::read(Bytes{1, 0, 0, 0, 'a'}));
  EXPECT_FALSE(Codec::read(Bytes{1, 9, 0, 0, 'a'}));
  EXPECT_FALSE(Codec::read(Bytes{1, 1, 0, 0, 'a', 'b'}));  // length not 4 + P + S
  Bytes all{1, 8, 255, 0};
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::uint8_t>(i));
  EXPECT_TRUE(Codec::read(all));
  EXPECT_FALSE(Codec::read(Bytes{1, 2, 1, 1, 'a', 'b', 'c'}));  // S > 0 needs P = 3
  EXPECT_FALSE(Codec::read(Bytes{1, 2, 1, 0, 'a', 'a'}));       // repeated byte
  EXPECT_FALSE(Codec::read(Bytes{1, 1, 0, 1, 'a', 'a'}));       // in both lists
  EXPECT_FALSE(Codec::read(Bytes{2, 255, 0, 0}));
  EXPECT_FALSE(Codec::read(Bytes{2, 10, 246, 0}));
  EXPECT_FALSE(Codec::read(Bytes{2, 1, 0, 2, 1, 1, 'a', 'b'}));  // 2 symbols, 1 slot
  EXPECT_TRUE(Codec::read(Bytes{2, 254, 1, 0}));
}

TEST(DictCodec, TableDecoding) {
  const Codec empty = *Codec::read(Bytes{0, 0});
  const phrase::Dict none;
  std::string out;
  EXPECT_FALSE(decode(empty, none, Bytes{0}, 0, 1, out));
  EXPECT_TRUE(decode(empty, none, Bytes{255, 'q'}, 0, 2, out));
  EXPECT_EQ(out, "q");
  EXPECT_FALSE(decode(empty, none, Bytes{255}, 0, 1, out));
  const Codec t = *Codec::read(Bytes{0, 2, 3, 1, 'a', 'b', 'c', 'z'});
  EXPECT_TRUE(decode(t, none, Bytes{9, 0, 1, 0}, 8, 3, out));
  EXPECT_EQ(out, "abczabc");
  EXPECT_TRUE(decode(t, none, Bytes{0, 1, 0}, 0, 3, out, 0));
  EXPECT_EQ(out, "");
  EXPECT_TRUE(decode(t, none, Bytes{0, 1, 0}, 0, 3, out, 4));
  EXPECT_EQ(out.substr(0, 4), "abcz");
}

TEST(DictCodec, PhraseDecoding) {
  const phrase::Dict dict = phrase::Dict::of(std::vector<std::string>{"hello", "wor"});
  // slots 2, leads 1: codes 0..1 symbols, 2..253 two-byte leads, 254 a three-byte lead.
  const Codec c = *Codec::read(Bytes{2, 2, 1, 1, 1, '-'});
  std::string out;
  EXPECT_TRUE(decode(c, dict, Bytes{2, 0, 0, 2, 1, 255, '!'}, 0, 7, out));
  EXPECT_EQ(out, "hello-wor!");
  EXPECT_FALSE(decode(c, dict, Bytes{2}, 0, 1, out));          // lead cut off
  EXPECT_FALSE(decode(c, dict, Bytes{2, 5}, 0, 2, out));       // id past the count
  EXPECT_FALSE(decode(c, dict, Bytes{254, 0, 0}, 0, 3, out));  // three-byte id past the count
  EXPECT_FALSE(decode(c, dict, Bytes{1}, 0, 1, out));          // code past the symbols
}

TEST(DictCodec, PackedDecoding) {
  // b = 3: primary 7 bytes, secondary 'h', literals behind two escapes in 3 units.
  Bytes rec{1, 3, 6, 1, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
  const Codec c = *Codec::read(rec);
  const phrase::Dict none;
  // Units: 0 ('a'), 7 0 ('h'), 7 7 then 'z' (0x7A) in units 010 111 001 (the ninth bit dropped).
  std::uint64_t bits = 0;
  unsigned at = 0;
  for (unsigned u : {0u, 7u, 0u, 7u, 7u, 0x7Au & 7, (0x7Au >> 3) & 7, (0x7Au >> 6) & 7}) {
    bits |= std::uint64_t{u} << at;
    at += 3;
  }
  Bytes stream;
  for (unsigned i = 0; i < 4; ++i) stream.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  std::string out;
  EXPECT_TRUE(decode(c, none, stream, 0, 8, out));
  EXPECT_EQ(out, "ahz");
  EXPECT_FALSE(decode(c, none, stream, 0, 4, out));  // a literal cut off by the unit count
  EXPECT_TRUE(decode(c, none, stream, 0, 8, out, 0));
  EXPECT_EQ(out, "");
  // Without secondary bytes every unit value below P decodes; P = 2^b uses all of them.
  const Codec one = *Codec::read(Bytes{1, 1, 1, 0, 'x', 'y'});
  EXPECT_TRUE(decode(one, none, Bytes{0b0110}, 0, 4, out));
  EXPECT_EQ(out, "xyyx");
  EXPECT_FALSE(decode(one, none, Bytes{0}, 0, 9, out));  // units past the stream
}

TEST(DictBuild, MicroSizes) {
  for (auto [block, micro] : std::vector<std::pair<std::uint64_t, std::uint64_t>>{{1, 1},
                                                                                  {8, 8},
                                                                                  {32, 16},
                                                                                  {64, 16},
                                                                                  {100, 20},
                                                                                  {256, 16},
                                                                                  {512, 32},
                                                                                  {1024, 32},
                                                                                  {37, 37}})
    EXPECT_EQ(micro_for(block), micro) << block;
}

}  // namespace
}  // namespace quenlith::dict_index

#include "dict_testing.hpp"

namespace quenlith::dict_index {
namespace {

TEST(DictPhrases, ThreePercentRule) {
  EXPECT_FALSE(saves_enough(970, 1000));
  EXPECT_TRUE(saves_enough(969, 1000));
  EXPECT_FALSE(saves_enough(0, 0));
}

// A corpus on which shards choose phrase codes: every query equals the model, and the blob does
// not depend on the thread count.
TEST(DictPhrases, PhrasedShardsAnswerLikeTheModel) {
  const Keys keys = dict_testing::path_keys(QUENLITH_SANITIZED ? 20000 : 60000, 4);
  const Model m(keys);
  for (std::uint64_t block : {32, 256}) {
    const DictIndex d = DictIndex::build_with_threads(views(keys), block, 1);
    std::size_t phrased = 0;
    for (const Codec& c : d.codecs()) phrased += c.kind() == Codec::Kind::Phrased;
    EXPECT_GT(phrased, 0u) << block;
    EXPECT_GT(d.phrases().count(), 0u);
    const auto blob = d.to_bytes();
    for (unsigned t : {2u, 8u, 21u})
      EXPECT_EQ(DictIndex::build_with_threads(views(keys), block, t).to_bytes(), blob) << t;
    expect_matches(DictIndex::from_bytes(blob), m, 4);
  }
}

}  // namespace
}  // namespace quenlith::dict_index

namespace quenlith::dict_index {
namespace {

std::size_t count_kind(const DictIndex& d, Codec::Kind kind) {
  std::size_t k = 0;
  for (const Codec& c : d.codecs()) k += c.kind() == kind;
  return k;
}

// DNA-like keys: four byte values, so packed alphabets of two bits beat symbol tables.
TEST(DictCodecs, PackedAlphabetShardsAnswerLikeTheModel) {
  std::mt19937 rng(12);
  Keys keys;
  for (int i = 0; i < 3000; ++i) {
    std::string k;
    for (std::size_t len = 4 + rng() % 30; len > 0; --len) k.push_back("ACGT"[rng() % 4]);
    if (i % 50 == 0) k.push_back('N');  // a rare byte: secondary or literal units
    keys.push_back(std::move(k));
  }
  for (std::uint64_t block : {8, 32, 256}) {
    const DictIndex d = DictIndex::build_with_block(views(keys), block);
    EXPECT_GT(count_kind(d, Codec::Kind::Packed), 0u) << block;
    expect_matches(DictIndex::from_bytes(d.to_bytes()), Model(keys), 12);
  }
}

// A small index coded with given phrases, and what damage to it does.
TEST(DictCodecs, GivenPhrasesRoundTripAndSurviveDamage) {
  const Keys keys = dict_testing::path_keys(4000, 21);
  std::vector<std::string_view> sorted = views(keys);
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  const auto pieces = build_pieces(sorted, 32, 16, false);
  const auto tables = train_shards(pieces, 1);
  // Mined as if for a corpus 25 times larger, so that a small index gets phrases.
  const std::vector<std::string> list = phrase::mine(pieces, tables, 100000, 4096, 1);
  ASSERT_FALSE(list.empty());
  const Phrases phrases{phrase::Dict::of(list), phrase::Trie::of(list)};
  const DictIndex d = DictIndex::from_vocabulary(sorted, 32, 16, 2, tables, phrases);
  ASSERT_GT(count_kind(d, Codec::Kind::Phrased), 0u);
  EXPECT_EQ(d.phrases(), phrases.dict);
  const auto blob = d.to_bytes();
  expect_matches(DictIndex::from_bytes(blob), Model(keys), 21);
  std::mt19937 rng(5);
  for (int round = 0; round < (QUENLITH_SANITIZED ? 150 : 600); ++round) {
    auto b = blob;
    for (int k = 0; k < 3; ++k)
      b[72 + rng() % (b.size() - 72)] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    try {
      const DictIndex x = DictIndex::from_shared(blob::SharedBytes::from_owned(b), false);
      room::Bytes buf;
      for (std::uint64_t i = 0; i < x.size(); i += 3) x.key_bytes_into(i, buf);
      for (std::size_t i = 0; i < sorted.size(); i += 5) x.locate(sorted[i]);
      KeyIter it = x.iter_from(0);
      while (it.next()) {}
    } catch (const IndexError&) {}
  }
}

// Each field lands at its drawn offset, and the reader gives back what the writer was given.
TEST(DictHeader, FieldsSitWhereDrawnAndReadBack) {
  Header h;
  h.n = 0x0102030405060708;
  h.block = 0x11121314;
  h.heads_len = 0x2122232425262728;
  h.data_len = 0x3132333435363738;
  h.tables_len = 0x41424344;
  h.payload = 0x5152535455565758;
  h.head_ends_width = 0x61;
  h.block_offsets_width = 0x62;
  h.shift = 0x63;
  h.micro_width = 0x64;
  h.micro = 0x7172;
  h.blocks_per_shard = 0x8182;
  h.codes_len = 0x91929394;
  h.head_prefix = 0xa1a2;
  h.phrases_len = 0xb1b2b3b4;
  const auto b = h.write();
  EXPECT_EQ(std::memcmp(b.data(), "BDX3", 4), 0);
  EXPECT_EQ(bytes::load_u64(b.data() + 4), h.n);
  EXPECT_EQ(bytes::load_u32(b.data() + 12), h.block);
  EXPECT_EQ(bytes::load_u64(b.data() + 16), h.heads_len);
  EXPECT_EQ(bytes::load_u64(b.data() + 24), h.data_len);
  EXPECT_EQ(bytes::load_u32(b.data() + 32), h.tables_len);
  EXPECT_EQ(bytes::load_u64(b.data() + 36), h.payload);
  EXPECT_EQ(b[44], 0x61);
  EXPECT_EQ(b[45], 0x62);
  EXPECT_EQ(b[46], 0x63);
  EXPECT_EQ(b[47], 0x64);
  EXPECT_EQ(bytes::load_u16(b.data() + 48), h.micro);
  EXPECT_EQ(bytes::load_u16(b.data() + 50), h.blocks_per_shard);
  EXPECT_EQ(bytes::load_u32(b.data() + 52), h.codes_len);
  EXPECT_EQ(bytes::load_u16(b.data() + 56), h.head_prefix);
  EXPECT_EQ(bytes::load_u32(b.data() + 58), h.phrases_len);
  for (std::size_t i = 62; i < 68; ++i) EXPECT_EQ(b[i], 0) << "reserved byte " << i;
  EXPECT_EQ(bytes::load_u32(b.data() + 68), blob::header_check(std::span(b).first(68)));
  const Header r = Header::parse(b);
  EXPECT_EQ(r.write(), b);
  EXPECT_THROW(Header::parse(std::span(b).first(71)), IndexError);
}

}  // namespace
}  // namespace quenlith::dict_index
