#include "fst/utf8.hpp"

#include <gtest/gtest.h>

#include <random>

#include "vectors.hpp"

namespace {

std::string hex_of(std::string_view s) {
  return fst_test::to_hex(fst_test::Bytes(s.begin(), s.end()));
}

using fst::utf8::Utf8Sequence;
using fst::utf8::Utf8Sequences;

std::vector<Utf8Sequence> all_of(char32_t start, char32_t end) {
  std::vector<Utf8Sequence> out;
  Utf8Sequences it(start, end);
  while (auto s = it.next()) out.push_back(*s);
  return out;
}

bool is_scalar(std::uint32_t c) { return c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF); }

TEST(Utf8Sequences, MatchVectors) {
  for (const auto& v : fst_test::load_jsonl("utf8_sequences.jsonl")) {
    const auto got = all_of(v["start"].get<std::uint32_t>(), v["end"].get<std::uint32_t>());
    std::vector<std::vector<std::pair<int, int>>> want_ranges = {};
    std::vector<std::vector<std::pair<int, int>>> got_ranges;
    for (const auto& seq : v["sequences"]) {
      want_ranges.emplace_back();
      for (const auto& r : seq) want_ranges.back().emplace_back(r[0].get<int>(), r[1].get<int>());
    }
    for (const auto& seq : got) {
      got_ranges.emplace_back();
      for (const auto& r : seq.ranges()) got_ranges.back().emplace_back(r.start, r.end);
    }
    EXPECT_EQ(got_ranges, want_ranges) << v.dump();
  }
}

// Every scalar of the range is matched by exactly one sequence, nothing outside it by any, and
// the sequences come out in ascending byte order.
void check_exact_cover(std::uint32_t start, std::uint32_t end,
                       const std::vector<std::uint32_t>& probes) {
  const auto seqs = all_of(start, end);
  auto highest = [](const Utf8Sequence& s) {
    std::vector<int> v;
    for (const auto& r : s.ranges()) v.push_back(r.end);
    return v;
  };
  auto lowest = [](const Utf8Sequence& s) {
    std::vector<int> v;
    for (const auto& r : s.ranges()) v.push_back(r.start);
    return v;
  };
  for (std::size_t i = 1; i < seqs.size(); ++i) {
    ASSERT_LT(highest(seqs[i - 1]), lowest(seqs[i]))
        << "sequences out of order for " << start << ".." << end;
  }
  for (std::uint32_t c : probes) {
    if (!is_scalar(c)) continue;
    std::array<std::uint8_t, 4> buf{};
    const std::size_t n = fst::utf8::encode(c, buf);
    int hits = 0;
    for (const auto& s : seqs) hits += s.matches(std::span(buf.data(), n)) ? 1 : 0;
    ASSERT_EQ(hits, (c >= start && c <= end) ? 1 : 0)
        << "scalar " << c << " in " << start << ".." << end;
  }
}

TEST(Utf8Sequences, ExactCoverAtEveryLengthBoundary) {
  const std::vector<std::uint32_t> edges = {0,       1,        0x7E,     0x7F,    0x80,    0x81,
                                            0x7FF,   0x800,    0xFFF,    0x1000,  0xD7FF,  0xD800,
                                            0xDFFF,  0xE000,   0xFFFF,   0x10000, 0x3FFFF, 0x40000,
                                            0xFFFFF, 0x100000, 0x10FFFE, 0x10FFFF};
  std::vector<std::uint32_t> probes;
  for (std::uint32_t e : edges) {
    for (int d = -2; d <= 2; ++d) {
      const std::int64_t v = static_cast<std::int64_t>(e) + d;
      if (v >= 0 && v <= 0x10FFFF) probes.push_back(static_cast<std::uint32_t>(v));
    }
  }
  std::mt19937 rng(20240601);
  for (int i = 0; i < 300; ++i) probes.push_back(rng() % 0x110000);
  for (std::uint32_t a : edges) {
    for (std::uint32_t b : edges) {
      if (a <= b) check_exact_cover(a, b, probes);
    }
  }
  for (int i = 0; i < 200; ++i) {
    std::uint32_t a = rng() % 0x110000;
    std::uint32_t b = rng() % 0x110000;
    if (a > b) std::swap(a, b);
    std::vector<std::uint32_t> local = probes;
    for (int k = 0; k < 20; ++k) local.push_back(a + rng() % (b - a + 1));
    local.push_back(a);
    local.push_back(b);
    check_exact_cover(a, b, local);
  }
}

TEST(Utf8Sequences, EmptyAndInvalidRanges) {
  EXPECT_TRUE(all_of(5, 4).empty());
  EXPECT_TRUE(all_of(0xD800, 0xDFFF).empty());
  EXPECT_TRUE(all_of(0x110000, 0x200000).empty());
  // An end above U+10FFFF is cut back to it.
  EXPECT_EQ(all_of(0x10FFFF, 0xFFFFFFFF).size(), 1u);
  EXPECT_EQ(all_of(0, 0x10FFFF).size(), 9u);
}

TEST(Utf8Codec, EncodeDecodeRoundTrip) {
  std::vector<char32_t> scalars;
  for (std::uint32_t c = 0; c <= 0x10FFFF; c += (c < 0x1000 ? 1 : 97)) {
    if (is_scalar(c)) scalars.push_back(c);
  }
  scalars.push_back(0x10FFFF);
  std::string bytes;
  for (char32_t c : scalars) {
    std::array<std::uint8_t, 4> buf{};
    const std::size_t n = fst::utf8::encode(c, buf);
    ASSERT_GE(n, 1u);
    bytes.append(reinterpret_cast<const char*>(buf.data()), n);
  }
  std::vector<char32_t> back;
  ASSERT_TRUE(fst::utf8::decode(bytes, back));
  EXPECT_EQ(back, scalars);

  std::array<std::uint8_t, 4> buf{};
  EXPECT_EQ(fst::utf8::encode(0xD800, buf), 0u);
  EXPECT_EQ(fst::utf8::encode(0x110000, buf), 0u);
}

TEST(Utf8Codec, DecodeRefusesMalformedInput) {
  const std::vector<std::string> bad = {
      "\x80",              // stray continuation
      "\xC0\x80",          // overlong NUL
      "\xC1\xBF",          // overlong
      "\xE0\x80\x80",      // overlong
      "\xED\xA0\x80",      // surrogate U+D800
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "\xF5\x80\x80\x80",  // invalid lead byte
      "\xFF",
      "a\xC3",     // cut off
      "\xE6\x97",  // cut off
      "\xC3\x28",  // missing continuation
  };
  for (const auto& s : bad) {
    std::vector<char32_t> out;
    EXPECT_FALSE(fst::utf8::decode(s, out)) << hex_of(s);
  }
  std::vector<char32_t> out;
  EXPECT_TRUE(fst::utf8::decode("", out));
  EXPECT_TRUE(out.empty());
}

}  // namespace
