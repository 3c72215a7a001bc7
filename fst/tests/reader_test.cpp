// Opening maps, lookups and the node decoder, against the reference vectors; malformed input.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <set>

#include "fst/builder.hpp"
#include "fst/fst.hpp"
#include "vectors.hpp"

namespace {

using namespace fst_test;
using fst::Error;
using fst::ErrorKind;
using fst::Fst;
using fst::Node;
using fst::NodeKind;

// Visits every node reachable from the root once, decoding every transition. Throws what the
// decoder throws. Returns the number of nodes visited.
std::size_t walk_all(const Fst& f) {
  std::set<fst::CompiledAddr> seen;
  std::vector<Node> todo{f.root()};
  seen.insert(f.root_addr());
  while (!todo.empty()) {
    const Node n = todo.back();
    todo.pop_back();
    for (std::size_t i = 0; i < n.len(); ++i) {
      const fst::Transition t = n.transition(i);
      EXPECT_LT(t.addr, std::max<std::uint64_t>(n.first_byte(), 1));
      if (seen.insert(t.addr).second) todo.push_back(f.node(t.addr));
    }
  }
  return seen.size();
}

// Every key of a build case comes back with its value; a few absent keys do not.
void check_lookups(const BuildCase& c) {
  SCOPED_TRACE(c.name);
  Fst f(span_of(c.fst));
  EXPECT_EQ(f.version(), 3u);
  EXPECT_EQ(f.fst_type(), 0u);
  EXPECT_EQ(f.len(), c.len);
  EXPECT_EQ(f.size(), c.size);
  EXPECT_EQ(f.root_addr(), c.root_addr);
  EXPECT_NO_THROW(f.verify());
  std::set<Bytes, BytesLess> keys;
  for (auto& [k, v] : c.keys) {
    keys.insert(k);
    auto got = f.get(span_of(k));
    ASSERT_TRUE(got.has_value()) << to_hex(k);
    EXPECT_EQ(*got, v) << to_hex(k);
  }
  // Extensions and truncations of present keys that are not keys themselves.
  for (std::size_t i = 0; i < c.keys.size(); i += 7) {
    Bytes k = c.keys[i].first;
    k.push_back(0xFF);
    if (!keys.count(k)) {
      EXPECT_FALSE(f.get(span_of(k)).has_value()) << to_hex(k);
    }
    if (!c.keys[i].first.empty()) {
      Bytes p(c.keys[i].first.begin(), c.keys[i].first.end() - 1);
      if (!keys.count(p)) {
        EXPECT_FALSE(f.get(span_of(p)).has_value()) << to_hex(p);
      }
    }
  }
}

// The 256-byte input index of a node with many transitions is checked against the transition
// it names: an entry pointing at another byte's transition finds nothing.
TEST(Reader, LookupByInputConfirmsTheIndex) {
  fst::MapBuilder b = fst::MapBuilder::memory();
  for (std::uint8_t i = 0; i < 40; ++i) b.insert(std::string(1, static_cast<char>('A' + i)), i);
  Bytes map = b.into_inner();
  const Fst good(span_of(map));
  const std::uint64_t root = good.root_addr();
  // The root: state byte (count 40 in it), pack byte, then the index below them.
  const std::uint64_t index = root - 1 - 256;
  ASSERT_EQ(map[index + 'A'], 0);
  map[index + 'A'] = 1;  // names the transition of 'B'
  const Fst crafted(span_of(map));
  EXPECT_EQ(crafted.get(std::string_view("A")), std::nullopt);
  EXPECT_EQ(crafted.get(std::string_view("B")), 1u);
  EXPECT_EQ(crafted.root().find_input('A'), std::nullopt);
}

TEST(Reader, BuildCasesOpenAndLookUpEveryKey) {
  for (auto& c : build_cases()) check_lookups(c);
}

TEST(Reader, LargeCaseLooksUpEveryKey) { check_lookups(large_case()); }

TEST(Reader, LookupVectors) {
  std::map<std::string, std::unique_ptr<Fst>> maps;
  for (auto& c : build_cases()) maps[c.name] = std::make_unique<Fst>(span_of(c.fst));
  maps[large_case().name] = std::make_unique<Fst>(span_of(large_case().fst));
  std::size_t n = 0;
  for (auto& j : load_jsonl("lookup.jsonl")) {
    const Fst& f = *maps.at(j.at("map").get<std::string>());
    const Bytes key = hex(j.at("key").get<std::string>());
    const auto got = f.get(span_of(key));
    if (j.at("value").is_null()) {
      EXPECT_FALSE(got.has_value()) << j.dump();
    } else {
      ASSERT_TRUE(got.has_value()) << j.dump();
      EXPECT_EQ(*got, j.at("value").get<std::uint64_t>()) << j.dump();
    }
    ++n;
  }
  EXPECT_EQ(n, 11184u);
}

TEST(Reader, NodeVectorsDecodeExactly) {
  std::map<std::string, std::unique_ptr<Fst>> maps;
  for (auto& c : build_cases()) maps[c.name] = std::make_unique<Fst>(span_of(c.fst));
  const std::map<std::string, NodeKind> kinds = {{"EF", NodeKind::EmptyFinal},
                                                 {"OTN", NodeKind::OneTransNext},
                                                 {"OT", NodeKind::OneTrans},
                                                 {"AT", NodeKind::AnyTrans}};
  for (auto& j : load_jsonl("nodes.jsonl")) {
    SCOPED_TRACE(j.at("map").get<std::string>() + " @" +
                 std::to_string(j.at("addr").get<std::uint64_t>()));
    const Fst& f = *maps.at(j.at("map").get<std::string>());
    const auto addr = j.at("addr").get<std::uint64_t>();
    const Node n = j.at("is_root").get<bool>() ? f.root() : f.node(addr);
    EXPECT_EQ(n.addr(), addr);
    EXPECT_EQ(n.kind(), kinds.at(j.at("state").get<std::string>()));
    EXPECT_EQ(n.is_final(), j.at("is_final").get<bool>());
    EXPECT_EQ(n.final_output().value(), j.at("final_output").get<std::uint64_t>());
    ASSERT_EQ(n.len(), j.at("len").get<std::size_t>());
    EXPECT_EQ(n.first_byte(), j.at("first_byte").get<std::uint64_t>());
    const Bytes node_bytes = hex(j.at("node_bytes").get<std::string>());
    if (addr != 0) {
      const Bytes actual(f.as_bytes().begin() + static_cast<std::ptrdiff_t>(n.first_byte()),
                         f.as_bytes().begin() + static_cast<std::ptrdiff_t>(addr) + 1);
      EXPECT_EQ(to_hex(actual), to_hex(node_bytes));
    }
    std::map<int, std::size_t> by_input;
    std::size_t i = 0;
    for (auto& t : j.at("transitions")) {
      const fst::Transition got = n.transition(i);
      EXPECT_EQ(got.inp, t.at(0).get<int>());
      EXPECT_EQ(got.out.value(), t.at(1).get<std::uint64_t>());
      EXPECT_EQ(got.addr, t.at(2).get<std::uint64_t>());
      EXPECT_EQ(n.transition_input(i), got.inp);
      EXPECT_EQ(n.transition_addr(i), got.addr);
      by_input[got.inp] = i;
      ++i;
    }
    for (int b = 0; b < 256; ++b) {
      const auto found = n.find_input(static_cast<std::uint8_t>(b));
      if (by_input.count(b)) {
        ASSERT_TRUE(found.has_value()) << b;
        EXPECT_EQ(*found, by_input[b]);
      } else {
        EXPECT_FALSE(found.has_value()) << b;
      }
    }
    EXPECT_THROW(n.transition(n.len()), std::out_of_range);
  }
}

// Open vectors: the reference's results, except that every file whose root it would accept
// but cannot decode is refused at open here.
TEST(Reader, OpenVectors) {
  std::size_t refused_mended = 0;
  for (auto& j : load_jsonl("errors.jsonl")) {
    if (j.at("op") != "open") continue;
    SCOPED_TRACE(j.at("name").get<std::string>());
    const Bytes bytes = hex(j.at("bytes").get<std::string>());
    const auto& open = j.at("open");
    if (!open.at("ok").get<bool>()) {
      try {
        Fst f(span_of(bytes));
        ADD_FAILURE() << "opened";
      } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()), open.at("display").get<std::string>());
        EXPECT_EQ(std::string(e.outer_display()), open.at("outer_display").get<std::string>());
      }
      continue;
    }
    const std::uint64_t version = bytes[0];
    const std::uint64_t root = open.at("root_addr").get<std::uint64_t>();
    const std::uint64_t footer = version >= 3 ? 20 : 16;
    const bool misplaced = root == 0 ? bytes.size() != 36 : root != bytes.size() - footer - 1;
    EXPECT_TRUE(misplaced || open.at("root_decodes_without_panic").get<bool>());
    if (misplaced) {
      try {
        Fst f(span_of(bytes));
        ADD_FAILURE() << "opened a map whose root is misplaced";
      } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::Format);
        EXPECT_EQ(e.size(), bytes.size());
        EXPECT_EQ(std::string(e.what()), Error::format(bytes.size()).what());
      }
      ++refused_mended;
      continue;
    }
    Fst f(span_of(bytes));
    EXPECT_EQ(f.len(), open.at("len").get<std::uint64_t>());
    EXPECT_EQ(f.root_addr(), open.at("root_addr").get<std::uint64_t>());
    EXPECT_EQ(f.fst_type(), open.at("fst_type").get<std::uint64_t>());
    const auto& verify = j.at("verify");
    if (verify.at("ok").get<bool>()) {
      EXPECT_NO_THROW(f.verify());
    } else {
      try {
        f.verify();
        ADD_FAILURE() << "verified";
      } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()), verify.at("display").get<std::string>());
      }
    }
    // Where a mutation sends a transition into the header, walking reports the map as
    // malformed; nothing else may fail.
    try {
      walk_all(f);
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::Format);
      EXPECT_NE(j.at("mutation").get<std::string>(), "none");
    }
  }
  EXPECT_EQ(refused_mended, 8u);
}

// Files of versions 1 and 2: no checksum, 16-byte footer; the input index is read from 2 on.
TEST(Reader, OlderVersions) {
  auto downgrade = [](const Bytes& v3, std::uint8_t version) {
    Bytes b(v3.begin(), v3.end() - 4);
    b[0] = version;
    return b;
  };
  for (const char* name :
       {"months", "values_large", "non_ascii_utf8", "all_single_bytes", "trans_index_threshold"}) {
    const BuildCase& c = build_case_named(name);
    for (std::uint8_t version : {1, 2}) {
      SCOPED_TRACE(std::string(name) + " v" + std::to_string(version));
      const Bytes b = downgrade(c.fst, version);
      Fst f(span_of(b));
      EXPECT_EQ(f.version(), version);
      EXPECT_EQ(f.len(), c.len);
      try {
        f.verify();
        ADD_FAILURE();
      } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::ChecksumMissing);
      }
      // Version 1 has no input index: a file with indexed nodes reads differently, but
      // still within its bytes.
      const bool indexed = c.has_tag("index");
      for (auto& [k, v] : c.keys) {
        if (version == 2 || !indexed) {
          EXPECT_EQ(f.get(span_of(k)), std::optional<std::uint64_t>(v));
        } else {
          try {
            (void)f.get(span_of(k));
          } catch (const Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::Format);
          }
        }
      }
    }
  }
}

// Every truncation and many byte flips of valid maps: opening and using them either works or
// throws fst::Error (Format), never reads outside the bytes (run under AddressSanitizer).
TEST(Reader, TruncatedAndFlippedMapsNeverReadOutside) {
  auto exercise = [](const Bytes& b, const BuildCase& c) {
    std::optional<Fst> f;
    try {
      f.emplace(span_of(b));
    } catch (const Error& e) {
      EXPECT_TRUE(e.kind() == ErrorKind::Format || e.kind() == ErrorKind::Version) << e.what();
      return;
    }
    try {
      walk_all(*f);
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::Format);
    }
    for (auto& [k, v] : c.keys) {
      try {
        (void)f->get(span_of(k));
      } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::Format);
      }
    }
    try {
      f->verify();
    } catch (const Error& e) {
      EXPECT_TRUE(e.kind() == ErrorKind::ChecksumMismatch ||
                  e.kind() == ErrorKind::ChecksumMissing);
    }
  };
  std::mt19937_64 rng(20240605);
  for (const char* name : {"months", "empty", "empty_key_value", "values_large", "non_ascii_utf8",
                           "all_single_bytes", "binary_keys", "output_split", "long_keys"}) {
    const BuildCase& c = build_case_named(name);
    SCOPED_TRACE(name);
    for (std::size_t len = 0; len < c.fst.size(); ++len) {
      const Bytes b(c.fst.begin(), c.fst.begin() + static_cast<std::ptrdiff_t>(len));
      exercise(b, c);
    }
    // Every byte of the node area and footer flipped in a few ways, plus random multi-flips.
    for (std::size_t pos = 0; pos < c.fst.size(); ++pos) {
      for (std::uint8_t mask : {0x01, 0x80, 0xFF, 0x3F}) {
        Bytes b = c.fst;
        b[pos] ^= mask;
        exercise(b, c);
      }
    }
    for (int round = 0; round < 200; ++round) {
      Bytes b = c.fst;
      const int flips = 1 + static_cast<int>(rng() % 4);
      for (int k = 0; k < flips; ++k) {
        const std::size_t pos = 16 + rng() % (b.size() - 16 - 20 + 1);
        b[std::min(pos, b.size() - 1)] = static_cast<std::uint8_t>(rng());
      }
      exercise(b, c);
    }
  }
}

// Hand-made files a builder never writes.
TEST(Reader, CraftedFilesAreRefused) {
  auto expect_format_at_open = [](const Bytes& b) {
    try {
      Fst f(span_of(b));
      ADD_FAILURE() << "opened " << to_hex(b);
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::Format) << to_hex(b);
      EXPECT_EQ(e.size(), b.size());
    }
  };
  auto expect_format_on_get = [](const Bytes& b, std::string_view key) {
    Fst f(span_of(b));
    try {
      (void)f.get(key);
      ADD_FAILURE() << "looked up through " << to_hex(b);
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::Format);
    }
  };
  // The well-formed one-key map "a" -> 1 for reference.
  const Bytes one = crafted({0x01, 0x00, 0x11, 0x85}, 19);
  EXPECT_EQ(Fst(span_of(one)).get("a"), std::optional<std::uint64_t>(1));
  // Roots anywhere but the last node.
  for (std::uint64_t root : {0ull, 2ull, 15ull, 16ull, 18ull, 20ull, 40ull, 1ull << 40, ~0ull}) {
    expect_format_at_open(crafted({0x01, 0x00, 0x11, 0x85}, root));
  }
  // A root node whose encoding needs more bytes than lie below it.
  expect_format_at_open(crafted({0x11, 0x85}, 17));              // OneTrans, 1-byte delta missing
  expect_format_at_open(crafted({0x85}, 16));                    // OneTrans, no pack byte
  expect_format_at_open(crafted({0xC0}, 16));                    // OneTransNext, no input byte
  expect_format_at_open(crafted({0xC5}, 16));                    // OneTransNext, target in header
  expect_format_at_open(crafted({0x61, 0x11, 0x02}, 18));        // AnyTrans, 2 inputs missing
  expect_format_at_open(crafted({0x00, 0x00}, 17));              // AnyTrans, count byte, no pack
  expect_format_at_open(crafted({0x00, 0x01, 0x00}, 18));        // AnyTrans count 256, no index
  expect_format_at_open(crafted({0x01, 0x00, 0x91, 0x85}, 19));  // transition size 9
  expect_format_at_open(crafted({0x01, 0x00, 0x19, 0x85}, 19));  // output size 9
  // Transition targets at or above their node, or into the header.
  // (A one-transition node's target is checked when the node is decoded.)
  expect_format_at_open(crafted({0x04, 0x10, 0x85}, 18));        // OneTrans target in header
  expect_format_at_open(crafted({0x01, 0xFF, 0x11, 0x85}, 19));  // delta below the file
  expect_format_on_get(crafted({0x00, 0x05, 0x62, 0x61, 0x10, 0x02}, 21),
                       "a");  // AnyTrans target in header
  expect_format_on_get(crafted({0x00, 0x00, 0x00, 0x02, 0x10, 0x85}, 21),
                       "a");  // target decodes short
  // A chain of OneTransNext nodes whose bottom reaches the header.
  expect_format_on_get(crafted({0xC5, 0xC5, 0xC5}, 18), "aaa");
}

}  // namespace
