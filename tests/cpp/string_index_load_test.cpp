// StringIndex loaders: the trusted loads and their rank check, and the validating loader over
// crafted, truncated and flipped blobs.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "blob.hpp"
#include "bytes.hpp"
#include "error.hpp"
#include "fst/builder.hpp"
#include "fst/crc32.hpp"
#include "string_index.hpp"

using namespace quenlith;
using namespace quenlith::string_index;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes blob_of(std::vector<std::string_view> keys) {
  return StringIndex::build(std::span<const std::string_view>(keys)).to_bytes();
}

// A "BIX4" blob around a map built with the given keys (ascending) and values.
Bytes blob_with_values(const std::vector<std::pair<std::string, std::uint64_t>>& entries) {
  fst::MapBuilder b = fst::MapBuilder::memory();
  for (const auto& [k, v] : entries) b.insert(k, v);
  Bytes blob = {'B', 'I', 'X', '4'};
  const Bytes map = b.into_inner();
  blob.insert(blob.end(), map.begin(), map.end());
  return blob;
}

// Recomputes the map's checksum after an edit, as a forger would.
void reseal(Bytes& blob) {
  const std::size_t n = blob.size();
  const std::uint32_t sum =
      fst::mask_crc(fst::crc32c(0, std::span<const std::uint8_t>(blob.data() + 4, n - 8)));
  bytes::store_u32(blob.data() + n - 4, sum);
}

// The map's root address (its footer, version 3).
std::uint64_t root_of(const Bytes& blob) { return bytes::load_u64(blob.data() + blob.size() - 12); }

std::string error_of(const Bytes& blob, bool untrusted) {
  try {
    if (untrusted) {
      StringIndex::from_untrusted_bytes(blob);
    } else {
      StringIndex::from_bytes(blob);
    }
    return "";
  } catch (const IndexError& e) {
    return e.what();
  }
}

// Every key of `idx` by a full listing, checked against its own exact lookups and rank walks:
// an index the validating loader accepts must answer consistently.
std::vector<Entry> consistent_listing(const StringIndex& idx) {
  const std::vector<Entry> all = idx.prefix("");
  EXPECT_EQ(all.size(), idx.len());
  for (std::uint64_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(all[i].id, i);
    EXPECT_EQ(idx.id(all[i].key), i);
    EXPECT_EQ(idx.key(i), all[i].key);
    EXPECT_TRUE(bytes::is_utf8(bytes::as_bytes(all[i].key)));
  }
  return all;
}

// Runs every kind of query on an index loaded without validation: each must answer or panic,
// never crash or read out of bounds (the sanitizer build checks the latter).
void poke(const StringIndex& idx) {
  const auto tolerate = [](auto&& f) {
    try {
      f();
    } catch (const Panic&) {
    } catch (const IndexError&) {}
  };
  for (const char* q : {"", "a", "ab", "\xC3\xA9", "zz"}) {
    tolerate([&] { (void)idx.id(q); });
    tolerate([&] { (void)idx.prefix(q, 50); });
    tolerate([&] { (void)idx.range(q, "z", 50); });
    tolerate([&] { (void)idx.common_prefix(q); });
    tolerate([&] { (void)idx.predecessor(q); });
    tolerate([&] { (void)idx.prefix_id_range(q); });
    tolerate([&] { (void)idx.fuzzy(q, 1, 50); });
    tolerate([&] { (void)idx.subsequence(q, 50); });
  }
  for (std::uint64_t i = 0; i < 8; ++i) tolerate([&] { (void)idx.key(i); });
}

TEST(StringIndexLoad, TrustedFraming) {
  EXPECT_EQ(error_of({'B', 'I', 'X'}, false), "format error: bad magic or truncated header");
  EXPECT_EQ(error_of({'B', 'I', 'X', '3', 0, 0}, false),
            "format error: bad magic or truncated header");
  try {
    StringIndex::from_bytes(Bytes{'B', 'I', 'X', '4'});
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Fst);
  }

  const Bytes good = blob_of({"apple", "banana", "cherry"});
  const StringIndex idx = StringIndex::from_bytes(good);
  EXPECT_EQ(idx.serialized_len(), good.size());
  EXPECT_EQ(idx.to_bytes(), good);
  EXPECT_EQ(idx.key(1), "banana");

  // A flipped node byte: accepted without verification, refused by the checksum with it.
  Bytes flipped = good;
  flipped[root_of(good) + 4 - 2] ^= 0x01;
  EXPECT_NO_THROW(StringIndex::from_shared(blob::SharedBytes::from_owned(flipped), false));
  EXPECT_EQ(error_of(flipped, false)
                .rfind("fst error: FST verification failed: expected checksum of ", 0),
            0u);
  // The empty index passes the rank check.
  EXPECT_EQ(StringIndex::from_bytes(blob_of({})).len(), 0u);
}

TEST(StringIndexLoad, VersionTwoHasNoChecksum) {
  // The same map in format version 2: no checksum behind the footer.
  Bytes v2 = blob_of({"a", "b\xC3\xA9", "c"});
  v2.resize(v2.size() - 4);
  bytes::store_u64(v2.data() + 4, 2);
  const StringIndex idx = StringIndex::from_shared(blob::SharedBytes::from_owned(v2), false);
  EXPECT_EQ(idx.key(1), "b\xC3\xA9");
  const char* missing = "fst error: FST verification failed: FST does not contain a checksum";
  EXPECT_EQ(error_of(v2, false), missing);
  EXPECT_EQ(error_of(v2, true), missing);  // after its graph passed
}

// A map of 64 nodes, each with two transitions to the node below, ending in a node that is not
// final: 2^64 paths and no key. With a checksum that matches, the verified load must still end
// at once: it follows one path, not every path.
TEST(StringIndexLoad, VerifiedLoadWalksOnePath) {
  Bytes map(16, 0);
  map[0] = 3;  // version 3, type 0
  // The dead end: state 0 (no count in it), the stored count 0, pack 0.
  map.insert(map.end(), {0x00, 0x00, 0x00});
  for (int level = 0; level < 64; ++level) {
    // From the lowest byte: delta of transition 1, of transition 0 (both 1: the node just
    // below), inputs 'b' and 'a', pack (t = 1, o = 0), state (two transitions, not final).
    map.insert(map.end(), {0x01, 0x01, 'b', 'a', 0x10, 0x02});
  }
  const std::uint64_t root = map.size() - 1;
  for (const std::uint64_t v : {std::uint64_t{1}, root}) {
    std::uint8_t b[8];
    bytes::store_u64(b, v);
    map.insert(map.end(), b, b + 8);
  }
  map.insert(map.end(), {0, 0, 0, 0});
  Bytes blob = {'B', 'I', 'X', '4'};
  blob.insert(blob.end(), map.begin(), map.end());
  reseal(blob);
  EXPECT_EQ(error_of(blob, false),
            "format error: string-index: FST values are not the sorted ranks");
  EXPECT_EQ(error_of(blob, true),
            "format error: fst holds a different number of keys than its header says");
}

TEST(StringIndexLoad, ValuesThatAreNotRanksAreRefused) {
  const char* trusted = "format error: string-index: FST values are not the sorted ranks";
  const char* untrusted = "format error: fst value is not the key's rank";
  // The first key's value is 1.
  const Bytes shifted = blob_with_values({{"a", 1}, {"b", 2}, {"c", 3}});
  EXPECT_EQ(error_of(shifted, false), trusted);
  EXPECT_EQ(error_of(shifted, true), untrusted);
  // A skipped rank: nothing has rank n - 1.
  const Bytes skipped = blob_with_values({{"a", 0}, {"b", 1}, {"c", 5}});
  EXPECT_EQ(error_of(skipped, false), trusted);
  EXPECT_EQ(error_of(skipped, true), untrusted);
  // The cheap check passes a map whose middle value is off; the full one does not.
  const Bytes middle = blob_with_values({{"a", 0}, {"b", 0}, {"c", 2}});
  EXPECT_EQ(error_of(middle, true), untrusted);
}

TEST(StringIndexLoad, UntrustedAcceptsWhatTheSystemWrites) {
  std::mt19937_64 rng(11);
  std::vector<std::string> keys = {"", "a", "ab", "\xC3\xA9t\xC3\xA9", "\xF0\x9F\x98\x80"};
  for (int i = 0; i < 2000; ++i) keys.push_back(std::to_string(rng() % 100000) + "\xE2\x82\xAC");
  // Nodes with more than 32 transitions carry an input index.
  for (int c = 0x21; c < 0x7F; ++c) keys.push_back(std::string(1, static_cast<char>(c)) + "x");
  const std::vector<std::string_view> kv(keys.begin(), keys.end());
  const Bytes good = StringIndex::build(std::span<const std::string_view>(kv)).to_bytes();
  const StringIndex trusted = StringIndex::from_bytes(good);
  const StringIndex checked = StringIndex::from_untrusted_bytes(good);
  EXPECT_EQ(consistent_listing(checked), trusted.prefix(""));
  EXPECT_EQ(StringIndex::from_untrusted_bytes(blob_of({})).len(), 0u);
  EXPECT_EQ(StringIndex::from_untrusted_bytes(blob_of({""})).key(0), "");
}

TEST(StringIndexLoad, UntrustedRefusesBrokenGraphs) {
  const Bytes good = blob_of({"a", "b", "c"});
  const std::uint64_t root = root_of(good);  // an any-transitions node: state, pack, inputs
  const std::size_t at = 4 + root;

  // Checksum wrong, graph sound: the checksum error, after the graph passed.
  Bytes bad_sum = good;
  bad_sum[bad_sum.size() - 1] ^= 0xFF;
  EXPECT_EQ(error_of(bad_sum, true).rfind("fst error: FST verification failed", 0), 0u);

  // Two transitions on one byte ('b' made 'a'): out of order, even with the checksum wrong.
  Bytes twice = good;
  ASSERT_EQ(twice[at - 3], 'b');
  twice[at - 3] = 'a';
  EXPECT_EQ(error_of(twice, true),
            "format error: fst transitions are not in increasing byte order");

  // Input bytes that no UTF-8 key may hold.
  for (const std::uint8_t b : {0xC0, 0xFF, 0x80}) {
    Bytes bad = good;
    bad[at - 4] = b;  // the input of 'c'
    reseal(bad);
    EXPECT_EQ(error_of(bad, true), "format error: fst key is not UTF-8");
  }
  EXPECT_EQ(error_of(blob_with_values({{"\xED\xA0\x80", 0}}), true),
            "format error: fst key is not UTF-8");
  // A final node reached after C3 alone.
  Bytes split = blob_with_values({{"\xC3", 0}});
  EXPECT_EQ(error_of(split, true), "format error: fst key ends inside a UTF-8 character");

  // A root at or past the end of the map, even with its checksum made to match.
  for (const std::uint64_t past : {std::uint64_t{0}, std::uint64_t{1000}}) {
    Bytes beyond = good;
    bytes::store_u64(beyond.data() + beyond.size() - 12, good.size() - 4 + past);
    reseal(beyond);
    EXPECT_EQ(error_of(beyond, true), "format error: fst node address is outside the blob");
    EXPECT_EQ(error_of(beyond, false).rfind("fst error: ", 0), 0u);
  }
  // A one-transition root whose target delta runs past the node area.
  Bytes far = blob_of({"a"});
  ASSERT_EQ(root_of(far), 18u);
  ASSERT_EQ(far[4 + 17], 0x10);  // pack: a one-byte delta below it, no output
  far[4 + 16] = 0x11;
  reseal(far);
  EXPECT_EQ(error_of(far, true), "format error: fst node does not fit the blob");

  // The footer's count one above what the graph spells.
  Bytes counted = good;
  bytes::store_u64(counted.data() + counted.size() - 20, 4);
  reseal(counted);
  EXPECT_EQ(error_of(counted, true),
            "format error: fst holds a different number of keys than its header says");

  // A crafted input index is a node that does not fit: an entry naming another byte's
  // transition, one naming a transition for a byte that no transition holds, and one that
  // hides a stored byte.
  std::vector<std::string> many;
  for (int i = 0; i < 40; ++i) many.push_back(std::string(1, static_cast<char>('A' + i)));
  const Bytes indexed = blob_of(std::vector<std::string_view>(many.begin(), many.end()));
  const std::size_t index = 4 + root_of(indexed) - 1 - 256;
  const std::size_t inputs = index - 1;  // input i at inputs - i
  ASSERT_EQ(indexed[index + 'A'], 0);
  ASSERT_EQ(indexed[inputs - 1], 'B');
  for (const auto& [byte, entry] : {std::pair<char, std::uint8_t>{'A', 1}, {'z', 3}, {'C', 0xFF}}) {
    Bytes bad = indexed;
    bad[index + static_cast<std::uint8_t>(byte)] = entry;
    reseal(bad);
    EXPECT_EQ(error_of(bad, true), "format error: fst node does not fit the blob") << byte;
  }
  // Two transitions on 'A' whose index entries are sound ('A' names either, 'B' none): the
  // order check refuses them, as in a node without an index.
  Bytes twice_indexed = indexed;
  twice_indexed[inputs - 1] = 'A';
  twice_indexed[index + 'B'] = 0xFF;
  reseal(twice_indexed);
  EXPECT_EQ(error_of(twice_indexed, true),
            "format error: fst transitions are not in increasing byte order");
}

// Small valid blobs of every node kind: one-transition nodes with and without outputs, nodes
// with an input index, the empty key, multi-byte keys.
std::vector<Bytes> samples() {
  std::vector<Bytes> out = {blob_of({}), blob_of({""}), blob_of({"a"}),
                            blob_of({"", "a", "ab", "abc", "b\xC3\xA9", "\xF0\x9F\x98\x80"}),
                            blob_of({"apple", "applet", "banana", "band", "bandana"})};
  std::vector<std::string> wide;
  for (int i = 0; i < 40; ++i) wide.push_back(std::string(1, static_cast<char>('!' + i)) + "q");
  out.push_back(blob_of(std::vector<std::string_view>(wide.begin(), wide.end())));
  return out;
}

TEST(StringIndexLoad, UntrustedOverTruncationsAndFlips) {
  for (const Bytes& good : samples()) {
    const std::vector<Entry> want = StringIndex::from_bytes(good).prefix("");
    for (std::size_t len = 0; len < good.size(); ++len) {
      const Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(len));
      EXPECT_NE(error_of(cut, true), "") << len;
    }
    for (std::size_t pos = 0; pos < good.size(); ++pos) {
      for (const std::uint8_t mask : {0x01, 0x10, 0x80, 0xFF}) {
        Bytes bad = good;
        bad[pos] ^= mask;
        // As flipped: an error, or (a flip that changes nothing read) the same answers.
        try {
          EXPECT_EQ(consistent_listing(StringIndex::from_untrusted_bytes(bad)), want);
        } catch (const IndexError&) {}
        // Resealed, as a forger would: an error, or an index that answers consistently.
        if (pos >= 4 && pos + 4 < bad.size()) reseal(bad);
        try {
          consistent_listing(StringIndex::from_untrusted_bytes(bad));
        } catch (const IndexError&) {}
        // The trusted load without verification must not crash either, nor its queries.
        try {
          poke(StringIndex::from_shared(blob::SharedBytes::from_owned(bad), false));
        } catch (const IndexError&) {}
        try {
          poke(StringIndex::from_bytes(bad));
        } catch (const IndexError&) {}
      }
    }
  }
}

// The damaged maps of the transducer library's error vectors, wrapped as "BIX4" blobs.
TEST(StringIndexLoad, DamagedLibraryVectors) {
  const std::filesystem::path file =
      std::filesystem::path(__FILE__).parent_path() / "../../fst/tests/vectors/errors.jsonl";
  std::ifstream in(file);
  ASSERT_TRUE(in) << file;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Every hex string held by one of the fields that carry a map.
  std::vector<std::string> maps;
  for (const std::string field : {"bytes", "final_fst", "map", "base_map"}) {
    const std::string tag = "\"" + field + "\":\"";
    for (std::size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1)) {
      const std::size_t from = at + tag.size();
      const std::size_t to = text.find_first_not_of("0123456789abcdef", from);
      if (to != std::string::npos && text[to] == '"') maps.push_back(text.substr(from, to - from));
    }
  }
  std::size_t seen = 0;
  for (const std::string& hex : maps) {
    Bytes blob = {'B', 'I', 'X', '4'};
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
      blob.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    ++seen;
    try {
      consistent_listing(StringIndex::from_untrusted_bytes(blob));
    } catch (const IndexError& e) {
      const std::string what = e.what();
      EXPECT_TRUE(what.rfind("fst error: ", 0) == 0 || what.rfind("format error: fst ", 0) == 0 ||
                  what.rfind("format error: bad magic", 0) == 0)
          << what;
    }
    try {
      poke(StringIndex::from_shared(blob::SharedBytes::from_owned(blob), false));
    } catch (const IndexError&) {}
  }
  EXPECT_GT(seen, 30u);
}

}  // namespace
