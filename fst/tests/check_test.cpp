// Structural node checks for untrusted files, and the public node reader.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "fst/builder.hpp"
#include "fst/check.hpp"
#include "fst/fst.hpp"
#include "vectors.hpp"

namespace {

using namespace fst_test;
using fst::CompiledAddr;
using fst::Fst;
using fst::Node;
using fst::NodeCheck;

NodeCheck check_at(const Bytes& b, CompiledAddr addr, std::uint64_t version = 3) {
  return fst::check_node(span_of(b), version, addr);
}

// Walks every node reachable from the root, checking each before decoding it, as an untrusted
// loader does. Returns false at the first node the check refuses. A node the check passes must
// decode, with every transition, without an error, its targets below it.
bool checked_walk(const Fst& f) {
  std::set<CompiledAddr> seen{f.root_addr()};
  std::vector<CompiledAddr> todo{f.root_addr()};
  while (!todo.empty()) {
    const CompiledAddr addr = todo.back();
    todo.pop_back();
    if (f.check_node(addr) != NodeCheck::Sound) return false;
    Node n;
    try {
      n = f.node(addr);
      for (std::size_t i = 0; i < n.len(); ++i) {
        const fst::Transition t = n.transition(i);
        // Found by its input (another transition on the same byte may answer: order is not a
        // node's structure).
        const std::optional<std::size_t> found = n.find_input(t.inp);
        EXPECT_TRUE(found && n.transition_input(*found) == t.inp);
        EXPECT_TRUE(t.addr == fst::EMPTY_ADDRESS || (t.addr >= 16 && t.addr < n.first_byte()));
        if (seen.insert(t.addr).second) todo.push_back(t.addr);
      }
    } catch (const fst::Error& e) {
      ADD_FAILURE() << "a checked node at " << addr << " did not decode: " << e.what();
      return false;
    }
  }
  return true;
}

TEST(Check, EveryNodeTheBuilderWritesIsSound) {
  for (const BuildCase& c : build_cases()) {
    SCOPED_TRACE(c.name);
    const Fst f(span_of(c.fst));
    EXPECT_TRUE(checked_walk(f));
    EXPECT_EQ(fst::check_stored_root(span_of(c.fst)), NodeCheck::Sound);
  }
  EXPECT_TRUE(checked_walk(Fst(span_of(large_case().fst))));
}

TEST(Check, AddressesOutsideTheNodeArea) {
  const Bytes one = crafted({0x01, 0x00, 0x11, 0x85}, 19);  // "a" -> 1
  EXPECT_EQ(check_at(one, 19), NodeCheck::Sound);
  EXPECT_EQ(check_at(one, fst::EMPTY_ADDRESS), NodeCheck::Sound);
  for (const CompiledAddr addr : {std::uint64_t{1}, std::uint64_t{15}})
    EXPECT_EQ(check_at(one, addr), NodeCheck::NoFit) << addr;
  for (const CompiledAddr addr : std::initializer_list<CompiledAddr>{one.size(), one.size() + 1, std::uint64_t{1} << 40, ~0ull})
    EXPECT_EQ(check_at(one, addr), NodeCheck::Outside) << addr;
}

// Nodes that the decoder alone would accept at open and refuse only later, or that would send a
// lookup astray, are refused whole.
TEST(Check, DamagedNodesAreRefused) {
  const auto refused = [](const Bytes& nodes, CompiledAddr addr) {
    return check_at(crafted(nodes, addr), addr) == NodeCheck::NoFit;
  };
  EXPECT_TRUE(refused({0x11, 0x85}, 17));                    // OneTrans, 1-byte delta missing
  EXPECT_TRUE(refused({0x85}, 16));                          // OneTrans, no pack byte
  EXPECT_TRUE(refused({0x01, 0x00, 0x05, 0x85}, 19));        // OneTrans, transition size 0
  EXPECT_TRUE(refused({0x01, 0x00, 0x91, 0x85}, 19));        // transition size 9
  EXPECT_TRUE(refused({0x01, 0x00, 0x19, 0x85}, 19));        // output size 9
  EXPECT_TRUE(refused({0x04, 0x10, 0x85}, 18));              // OneTrans target in the header
  EXPECT_TRUE(refused({0x01, 0xFF, 0x11, 0x85}, 19));        // delta below the file
  EXPECT_TRUE(refused({0xC5}, 16));                          // OneTransNext, target in header
  EXPECT_TRUE(refused({0x00, 0x05, 0x62, 0x61, 0x10, 0x02}, 21));  // AnyTrans target in header
  EXPECT_TRUE(refused({0x61, 0x11, 0x02}, 18));                    // AnyTrans, inputs missing
  EXPECT_TRUE(refused({0x00, 0x00}, 17));                          // count byte, no pack
  EXPECT_TRUE(refused({0x00, 0x01, 0x00}, 18));                    // 256 transitions, no room

  // The input index of a node with more than 32 transitions: an entry naming another byte's
  // transition, one naming a transition for a byte that none holds, one hiding a stored byte.
  fst::MapBuilder b = fst::MapBuilder::memory();
  for (int i = 0; i < 40; ++i) b.insert(std::string(1, static_cast<char>('A' + i)), 0);
  const Bytes good = b.into_inner();
  const CompiledAddr root = Fst(span_of(good)).root_addr();
  const std::size_t index = root - 1 - 256;  // below the state byte (holding the count) and pack
  ASSERT_EQ(good[index + 'A'], 0);
  for (const auto& [byte, entry] : {std::pair<char, std::uint8_t>{'A', 1}, {'z', 3}, {'C', 0xFF}}) {
    Bytes bad = good;
    bad[index + static_cast<std::uint8_t>(byte)] = entry;
    EXPECT_EQ(check_at(bad, root), NodeCheck::NoFit) << byte;
  }
}

TEST(Check, StoredRootOfAFileThatDoesNotOpen) {
  const Bytes nodes = {0x01, 0x00, 0x11, 0x85};
  EXPECT_EQ(fst::check_stored_root(span_of(crafted(nodes, 1000))), NodeCheck::Outside);
  EXPECT_EQ(fst::check_stored_root(span_of(crafted(nodes, 17))), NodeCheck::NoFit);
  // No verdict: root 0, too short, a version this library does not read.
  EXPECT_EQ(fst::check_stored_root(span_of(crafted(nodes, 0))), NodeCheck::Sound);
  const Bytes one = crafted(nodes, 19);
  EXPECT_EQ(fst::check_stored_root(span_of(Bytes(one.begin(), one.begin() + 35))),
            NodeCheck::Sound);
  Bytes v9 = crafted(nodes, 1000);
  v9[0] = 9;
  EXPECT_EQ(fst::check_stored_root(span_of(v9)), NodeCheck::Sound);
  // Version 2: the root is read from the footer's last 8 bytes.
  Bytes v2 = crafted(nodes, 19);
  v2.resize(v2.size() - 4);
  v2[0] = 2;
  EXPECT_EQ(fst::check_stored_root(span_of(v2)), NodeCheck::Sound);
  v2[v2.size() - 8] = 17;
  EXPECT_EQ(fst::check_stored_root(span_of(v2)), NodeCheck::NoFit);
}

// Every truncation and many flips of valid maps: the check gives a verdict on every address
// without reading outside the bytes (run under AddressSanitizer), and a walk that checks before
// it decodes meets no decoding error.
TEST(Check, DamagedFilesGetAVerdictNeverAnError) {
  const auto exercise = [](const Bytes& b) {
    const std::uint64_t version = b.size() >= 8 ? b[0] : 3;
    for (CompiledAddr addr = 0; addr <= b.size() + 1; ++addr) (void)check_at(b, addr, version);
    (void)fst::check_stored_root(span_of(b));
    try {
      const Fst f(span_of(b));
      (void)checked_walk(f);
    } catch (const fst::Error&) {
    }
  };
  std::mt19937_64 rng(7321);
  for (const char* name : {"months", "empty", "empty_key_value", "values_large", "non_ascii_utf8",
                           "all_single_bytes", "binary_keys", "output_split", "long_keys"}) {
    const BuildCase& c = build_case_named(name);
    SCOPED_TRACE(name);
    for (std::size_t len = 0; len < c.fst.size(); ++len)
      exercise(Bytes(c.fst.begin(), c.fst.begin() + static_cast<std::ptrdiff_t>(len)));
    for (std::size_t pos = 0; pos < c.fst.size(); ++pos) {
      for (const std::uint8_t mask : {0x01, 0x10, 0x80, 0xFF}) {
        Bytes b = c.fst;
        b[pos] ^= mask;
        exercise(b);
      }
    }
    for (int round = 0; round < 100; ++round) {
      Bytes b = c.fst;
      for (int k = 0, flips = 1 + static_cast<int>(rng() % 4); k < flips; ++k)
        b[rng() % b.size()] = static_cast<std::uint8_t>(rng());
      exercise(b);
    }
  }
}

// The public node reader reads a one-transition node as its lone transition, and leaves every
// other node to node().
TEST(Check, NodeReaderLoneTransitions) {
  const BuildCase& c = build_case_named("months");
  const Fst f(span_of(c.fst));
  const fst::NodeReader reader = f.reader();
  std::size_t lone = 0;
  for (CompiledAddr addr = 16; addr <= f.root_addr(); ++addr) {
    Node n;
    try {
      n = f.node(addr);
    } catch (const fst::Error&) {
      continue;  // not a node's state byte
    }
    fst::Transition t;
    const bool one = reader.lone_transition(addr, t);
    EXPECT_EQ(one, n.kind() == fst::NodeKind::OneTrans || n.kind() == fst::NodeKind::OneTransNext);
    EXPECT_EQ(reader.node(addr).addr(), addr);
    if (one) {
      EXPECT_EQ(t, n.transition(0));
      ++lone;
    }
  }
  EXPECT_GT(lone, 0u);
  fst::Transition t;
  EXPECT_FALSE(reader.lone_transition(fst::EMPTY_ADDRESS, t));
  EXPECT_THROW(reader.lone_transition(f.size(), t), fst::Error);
}

}  // namespace
