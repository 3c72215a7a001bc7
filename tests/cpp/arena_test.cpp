#include "arena.hpp"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "blob.hpp"
#include "bytes.hpp"
#include "error.hpp"

using namespace quenlith;
using arena::StringArena;
using blob::SharedBytes;
using Bytes = std::vector<std::uint8_t>;

namespace {

std::vector<std::uint8_t> all_valid_tags() {
  std::vector<std::uint8_t> tags{4, 132, 8, 136};
  for (std::uint8_t layout : {17, 18})
    for (std::uint8_t bits = 0; bits < 8; ++bits)
      tags.push_back(static_cast<std::uint8_t>(layout | (bits << 5)));
  return tags;
}

std::vector<std::uint32_t> lengths_of(const std::vector<std::string>& keys) {
  std::vector<std::uint32_t> out;
  for (const auto& k : keys) out.push_back(static_cast<std::uint32_t>(k.size()));
  return out;
}

// True when some block of `per` strings needs an overflow entry.
bool overflows(const std::vector<std::string>& keys, std::size_t per, std::uint64_t slot_max) {
  for (std::size_t first = 0; first < keys.size(); first += per) {
    std::uint64_t sum = 0;
    for (std::size_t i = first; i < std::min(keys.size(), first + per); ++i) sum += keys[i].size();
    if (sum > slot_max) return true;
  }
  return false;
}

// Whether `keys` can be written under `tag` at all (a block layout without an overflow table
// cannot hold an overflowing block).
bool tag_can_hold(std::uint8_t tag, const std::vector<std::string>& keys) {
  if (tag & arena::kOverflow) return true;
  if ((tag & 31) == 17) return !overflows(keys, 16, 255);
  if ((tag & 31) == 18) return !overflows(keys, 256, 65535);
  return true;
}

// The image of `keys` under a tag of the test's choosing, laid out independently of the builder's
// own assembly: count, tag, table, data, tail.
Bytes image_with(std::uint8_t tag, const std::vector<std::string>& keys,
                 std::optional<std::span<const std::uint8_t>> fps) {
  const auto lengths = lengths_of(keys);
  const auto table = arena::table_size(tag, keys.size());
  Bytes image(9 + *table, 0xAA);
  bytes::store_u64(image.data(), keys.size() + 1);
  image[8] = tag;
  Bytes tail = arena::write_offsets(std::span(image).subspan(9), tag, lengths, fps);
  for (const auto& k : keys) bytes::put_bytes(image, bytes::as_bytes(k));
  bytes::put_bytes(image, tail);
  return image;
}

std::vector<std::string> random_keys(std::mt19937_64& rng, std::size_t n, std::size_t max_len) {
  std::vector<std::string> keys(n);
  for (auto& k : keys) {
    k.resize(rng() % (max_len + 1));
    for (auto& c : k) c = static_cast<char>(rng());
  }
  return keys;
}

void expect_holds(const StringArena& a, const std::vector<std::string>& keys,
                  std::optional<std::span<const std::uint8_t>> fps, const std::string& where) {
  ASSERT_EQ(a.len(), keys.size()) << where;
  ASSERT_EQ(a.has_fingerprints(), fps.has_value()) << where;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    auto e = a.entry(i);
    ASSERT_TRUE(e) << where << " string " << i;
    ASSERT_EQ(bytes::as_chars(*e), keys[i]) << where << " string " << i;
    if (fps) {
      ASSERT_EQ(a.fingerprint(i), (*fps)[i]) << where << " string " << i;
    }
  }
  EXPECT_FALSE(a.fingerprint(keys.size()));
}

std::string load_error(const Bytes& image) {
  try {
    StringArena::from_shared(SharedBytes::from_owned(std::span<const std::uint8_t>(image)));
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Format);
    return e.message();
  }
  return "loaded";
}

}  // namespace

TEST(ArenaFormat, EveryEncodingRoundTrips) {
  std::mt19937_64 rng(11);
  std::vector<std::vector<std::string>> corpora;
  for (std::size_t n : {0, 1, 2, 15, 16, 17, 255, 256, 257, 600}) {
    corpora.push_back(random_keys(rng, n, 8));   // short: no block overflows
    corpora.push_back(random_keys(rng, n, 40));  // 16-blocks overflow now and then
  }
  // A 256-block that overflows 16 bits, beside ordinary ones.
  auto heavy = random_keys(rng, 300, 10);
  heavy[20] = std::string(70000, 'h');
  corpora.push_back(heavy);
  // Blocks summing to exactly the slot limit and one byte more.
  corpora.push_back(std::vector<std::string>(16, std::string(15, 'x')));
  corpora.back()[0] += "x";  // 256 bytes: overflows a 16-block
  corpora.push_back(std::vector<std::string>(17, std::string(15, 'y')));  // 255 + 15

  for (std::uint8_t tag : all_valid_tags()) {
    for (std::size_t c = 0; c < corpora.size(); ++c) {
      const auto& keys = corpora[c];
      if (!tag_can_hold(tag, keys)) continue;
      Bytes fp_bytes(keys.size());
      for (auto& b : fp_bytes) b = static_cast<std::uint8_t>(rng());
      std::optional<std::span<const std::uint8_t>> fps;
      if (tag & arena::kFingerprints) fps = std::span<const std::uint8_t>(fp_bytes);
      const Bytes image = image_with(tag, keys, fps);
      const std::string where = "tag " + std::to_string(tag) + " corpus " + std::to_string(c);
      StringArena a = StringArena::from_shared(SharedBytes::from_owned(std::span(image)));
      EXPECT_EQ(a.tag(), tag) << where;
      expect_holds(a, keys, fps, where);
    }
  }
}

TEST(ArenaFormat, SlotLimitDecidesOverflow) {
  // 255 bytes in a 16-block stay in its slots; 256 go to the overflow table (slot 0 all ones).
  std::vector<std::string> fits(16, std::string(15, 'a'));
  fits[0] += std::string(15, 'a');  // 16 * 15 + 15 = 255
  Bytes image = image_with(81, fits, std::nullopt);
  EXPECT_EQ(image[9 + 4], 0);
  EXPECT_EQ(bytes::load_u64(image.data() + image.size() - 8), 0u);
  fits[1] += "a";
  image = image_with(81, fits, std::nullopt);
  EXPECT_EQ(image[9 + 4], 0xFF);
  EXPECT_EQ(bytes::load_u64(image.data() + image.size() - 8), 17u * 4);
  expect_holds(StringArena::from_shared(SharedBytes::from_owned(std::span(image))), fits,
               std::nullopt, "256-byte block");
}

TEST(ArenaFormat, DamagedMiddleEntryIsAbsentNotFatal) {
  // Three 16-blocks; the middle one overflows. Pointing its entry number at the end of the
  // overflow table leaves the arena loadable but that block's strings unreadable.
  std::vector<std::string> keys(48, "k");
  for (std::size_t i = 16; i < 32; ++i) keys[i] = std::string(20, static_cast<char>('a' + i % 26));
  Bytes image = image_with(81, keys, std::nullopt);
  const std::size_t block1 = 9 + 21;
  ASSERT_EQ(image[block1 + 4], 0xFF);
  ASSERT_EQ(image[block1 + 5], 0);
  image[block1 + 5] = 1;  // one entry in the table: entry 1 is past its end
  StringArena a = StringArena::from_shared(SharedBytes::from_owned(std::span(image)));
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (i >= 16 && i < 32) {
      EXPECT_FALSE(a.span_at(i)) << i;
      EXPECT_FALSE(a.entry(i)) << i;
    } else {
      EXPECT_EQ(bytes::as_chars(*a.entry(i)), keys[i]) << i;
    }
  }
  // A flat offset that runs backwards, or past the data, hides only its own strings.
  std::vector<std::string> flat_keys{"ab", "cd", "ef"};
  Bytes flat = image_with(4, flat_keys, std::nullopt);
  bytes::store_u32(flat.data() + 9 + 4, 100);  // offset 1: past the data
  a = StringArena::from_shared(SharedBytes::from_owned(std::span(flat)));
  EXPECT_FALSE(a.entry(0));
  EXPECT_FALSE(a.entry(1));  // 100 > 4: runs backwards
  EXPECT_EQ(bytes::as_chars(*a.entry(2)), "ef");
}

TEST(ArenaFormat, EveryRefusal) {
  const std::vector<std::string> keys{"alpha", "beta", "gamma"};
  const Bytes flat = image_with(4, keys, std::nullopt);
  const Bytes blocks = image_with(81, keys, std::nullopt);

  EXPECT_EQ(load_error(Bytes(7, 1)), "arena: unexpected end of buffer");
  EXPECT_EQ(load_error(Bytes(9, 0)), "arena: zero offsets (need at least 1)");
  EXPECT_EQ(load_error(Bytes{1, 0, 0, 0, 0, 0, 0, 0}), "arena: unknown offset encoding");
  for (std::uint8_t bad : {0, 36, 68, 19, 1, 164})
    EXPECT_EQ(load_error(Bytes{1, 0, 0, 0, 0, 0, 0, 0, bad}), "arena: unknown offset encoding")
        << int(bad);

  Bytes huge = flat;
  bytes::store_u64(huge.data(), ~0ULL);
  EXPECT_EQ(load_error(huge), "arena: offset table too large");
  huge[8] = 18;
  EXPECT_EQ(load_error(huge), "arena: offset table too large");

  EXPECT_EQ(load_error(Bytes(flat.begin(), flat.begin() + 9 + 15)),
            "arena: truncated offset table");
  EXPECT_EQ(load_error(Bytes(blocks.begin(), blocks.begin() + 9 + 21 + 7)),
            "arena: truncated overflow table");
  Bytes wrong_v = blocks;
  bytes::store_u64(wrong_v.data() + wrong_v.size() - 8, 68);  // more than the bytes present
  EXPECT_EQ(load_error(wrong_v), "arena: overflow table does not fit");
  Bytes odd = {1, 0, 0, 0, 0, 0, 0, 0, 81, 1, 2, 3};
  bytes::put_u64(odd, 3);  // 3 bytes is no whole number of 68-byte entries
  EXPECT_EQ(load_error(odd), "arena: overflow table does not fit");

  EXPECT_EQ(load_error(Bytes{1, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 'x'}),
            "arena: offsets do not span the data");
  EXPECT_EQ(load_error(Bytes{1, 0, 0, 0, 0, 0, 0, 0, 81, 0, 0, 0, 0, 0, 0, 0, 0}), "loaded");

  Bytes first = flat;
  bytes::store_u32(first.data() + 9, 6);  // string 0 runs from 6 back to 5
  EXPECT_EQ(load_error(first), "arena: unreadable first offset");
  Bytes last = flat;
  bytes::store_u32(last.data() + 9 + 8, 100);  // string 2 runs from 100 back to 14
  EXPECT_EQ(load_error(last), "arena: unreadable last offset");
  Bytes short_end = flat;
  bytes::store_u32(short_end.data() + 9 + 12, 13);  // the last offset is D - 1
  EXPECT_EQ(load_error(short_end), "arena: offsets do not span the data");
  Bytes late_start = flat;
  bytes::store_u32(late_start.data() + 9, 1);
  EXPECT_EQ(load_error(late_start), "arena: offsets do not span the data");

  // A block arena whose only block points at a missing overflow entry.
  Bytes long_keys = image_with(81, {std::string(300, 'z')}, std::nullopt);
  long_keys[9 + 5] = 1;
  EXPECT_EQ(load_error(long_keys), "arena: unreadable first offset");
  std::vector<std::string> two_blocks(17, std::string(20, 'q'));
  two_blocks[16].assign(300, 'r');
  Bytes last_block = image_with(81, two_blocks, std::nullopt);
  ASSERT_EQ(last_block[9 + 21 + 5], 1);
  last_block[9 + 21 + 5] = 7;
  EXPECT_EQ(load_error(last_block), "arena: unreadable last offset");

  const Bytes small{1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(arena::read_offset(small, 5, 4), 0x09080706u);
  auto read_error = [&](std::uint64_t pos, unsigned width) {
    try {
      arena::read_offset(small, pos, width);
    } catch (const IndexError& e) {
      return e.message();
    }
    return std::string("read");
  };
  EXPECT_EQ(read_error(6, 4), "arena: unexpected end of buffer");
  EXPECT_EQ(read_error(~0ULL - 2, 4), "arena: offset overflow");
  EXPECT_EQ(read_error(~0ULL - 8, 8), "arena: unexpected end of buffer");
}

TEST(ArenaFormat, OverflowSpanChecksItsEntry) {
  Bytes table;
  for (std::uint32_t v : {0u, 5u, 3u, 9u, 9u}) bytes::put_u32(table, v);  // one entry, per 4
  EXPECT_EQ(arena::overflow_span(table, 0, 4, 0, 100, 4), (arena::Span{100, 105}));
  EXPECT_FALSE(arena::overflow_span(table, 0, 4, 1, 100, 4));  // 5 then 3: backwards
  EXPECT_EQ(arena::overflow_span(table, 0, 4, 3, 100, 4), (arena::Span{109, 109}));
  EXPECT_FALSE(arena::overflow_span(table, 1, 4, 0, 100, 4));  // past the table
  EXPECT_FALSE(arena::overflow_span(table, ~0ULL, 4, 0, 100, 4));
  EXPECT_FALSE(arena::overflow_span(table, 0, 4, 4, 100, 4));
  Bytes wide;
  for (std::uint64_t v : {0ULL, 2ULL}) bytes::put_u64(wide, v);
  EXPECT_FALSE(arena::overflow_span(wide, 0, 1, 0, ~0ULL - 1, 8));  // base + 2 overflows
}

TEST(ArenaFormat, FuzzedImagesNeverReadOutside) {
  // Every truncation and random byte flips of small images of every encoding: loading either
  // refuses with an "arena: " message or gives an arena whose every access stays in the image.
  std::mt19937_64 rng(20240601);
  auto exercise = [&](const Bytes& image) {
    try {
      StringArena a = StringArena::from_shared(SharedBytes::from_owned(std::span(image)));
      const auto whole = a.image();
      for (std::uint64_t i = 0; i < std::min<std::uint64_t>(a.len() + 3, 64); ++i) {
        if (auto e = a.entry(i)) {
          ASSERT_GE(e->data(), whole.data());
          ASSERT_LE(e->data() + e->size(), whole.data() + whole.size());
        }
        (void)a.fingerprint(i);
      }
    } catch (const IndexError& e) {
      ASSERT_EQ(e.kind(), IndexError::Kind::Format);
      ASSERT_TRUE(e.message().starts_with("arena: ")) << e.message();
    }
  };
  for (std::uint8_t tag : all_valid_tags()) {
    for (std::size_t n : {0, 1, 3, 17}) {
      auto keys = random_keys(rng, n, 40);
      if (!tag_can_hold(tag, keys)) continue;
      Bytes fp_bytes(n, 0x5A);
      std::optional<std::span<const std::uint8_t>> fps;
      if (tag & arena::kFingerprints) fps = std::span<const std::uint8_t>(fp_bytes);
      const Bytes image = image_with(tag, keys, fps);
      SCOPED_TRACE("tag " + std::to_string(tag) + " n " + std::to_string(n));
      for (std::size_t cut = 0; cut < image.size(); ++cut)
        exercise(Bytes(image.begin(), image.begin() + cut));
      for (int trial = 0; trial < 300; ++trial) {
        Bytes damaged = image;
        for (int flips = 1 + trial % 3; flips > 0; --flips)
          damaged[rng() % damaged.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
        exercise(damaged);
      }
    }
  }
}

TEST(ArenaBuilder, CostRuleChoosesTheEncoding) {
  auto tag_of = [](const std::vector<std::uint32_t>& lengths, bool fps = false) {
    std::uint64_t total = 0;
    for (auto l : lengths) total += l;
    return arena::tag_for(lengths, total, fps);
  };
  // Short keys: blocks of 16 without comparing, even where flat offsets would be smaller.
  EXPECT_EQ(tag_of({5}), 17);
  EXPECT_EQ(tag_of({5}, true), 145);
  EXPECT_EQ(tag_of({}), 17);
  EXPECT_EQ(tag_of(std::vector<std::uint32_t>(1000, 15)), 17);
  // One long key among few: flat (12 bytes against 97 and 518).
  EXPECT_EQ(tag_of({300, 3}), 4);
  EXPECT_EQ(tag_of({300, 3}, true), 132);
  // Medium keys overflow every 16-block but no 256-block.
  EXPECT_EQ(tag_of(std::vector<std::uint32_t>(256, 20)), 18);
  // A few 256-blocks overflow 16 bits.
  std::vector<std::uint32_t> mostly_medium(1024, 20);
  mostly_medium[5] = 70000;
  EXPECT_EQ(tag_of(mostly_medium), 82);
  // cost16 == cost256 (1,554 bytes each, flat 2,376): ties go to blocks of 16.
  std::vector<std::uint32_t> tie(593, 1);
  for (std::size_t i = 0; i < 11 * 16; ++i) tie[i] = 16;
  EXPECT_EQ(tag_of(tie), 81);
  // Past 4,294,967,295 bytes of data, bases and flat offsets are 8 bytes.
  EXPECT_EQ(arena::tag_for(std::vector<std::uint32_t>{0xFFFFFFFFu}, 0xFFFFFFFFu, false), 4);
  EXPECT_EQ(arena::tag_for(std::vector<std::uint32_t>{0xFFFFFFFFu, 1}, 0x100000000ULL, false), 8);
  EXPECT_EQ(arena::tag_for(std::vector<std::uint32_t>{1, 2}, 0x100000000ULL, true), 17 + 32 + 128);
}

TEST(ArenaBuilder, ChosenEncodingIsTheSmallestImage) {
  // Against the real sizes of the competing images (table and overflow tail), for random length
  // profiles: the rule's pick is never larger than any alternative, and ties go to 16-blocks.
  std::mt19937_64 rng(3);
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t n = 1 + rng() % 1500;
    const std::uint32_t cap = std::vector<std::uint32_t>{8, 20, 40, 400, 3000}[trial % 5];
    std::vector<std::string> keys(n);
    for (auto& k : keys) k.assign(rng() % (cap + 1), 'k');
    if (trial % 7 == 0) keys[rng() % n].assign(70000, 'K');
    const bool fps = trial % 2;
    Bytes fp_bytes(n, 1);
    std::optional<std::span<const std::uint8_t>> fp;
    if (fps) fp = std::span<const std::uint8_t>(fp_bytes);
    const auto lengths = lengths_of(keys);
    std::uint64_t total = 0;
    for (auto l : lengths) total += l;
    const std::uint8_t chosen = arena::tag_for(lengths, total, fps);
    if (!overflows(keys, 16, 255)) {
      EXPECT_EQ(chosen & 31, 17);
      continue;
    }
    auto size_of = [&](std::uint8_t tag) {
      Bytes table(*arena::table_size(tag, n));
      return 9 + table.size() + total + arena::write_offsets(table, tag, lengths, fp).size();
    };
    const std::uint8_t f = fps ? 128 : 0;
    const std::uint8_t t256 =
        static_cast<std::uint8_t>(18 | f | (overflows(keys, 256, 65535) ? 64 : 0));
    const std::size_t flat = size_of(4 | f), b16 = size_of(81 | f), b256 = size_of(t256);
    EXPECT_EQ(size_of(chosen), std::min({flat, b16, b256})) << "trial " << trial;
    if (b16 == b256 && b16 <= flat) {
      EXPECT_EQ(chosen, 81 | f);
    }
  }
}

TEST(ArenaBuilder, AssembleMatchesStreamedPrefixAndTail) {
  std::mt19937_64 rng(5);
  for (int trial = 0; trial < 60; ++trial) {
    const std::size_t n = std::vector<std::size_t>{0, 1, 16, 17, 300, 1000}[trial % 6];
    auto keys = random_keys(rng, n, std::vector<std::size_t>{4, 30, 600}[trial % 3]);
    if (trial % 10 == 9 && n > 0) keys[0].assign(70000, 'w');
    Bytes fp_bytes(n);
    for (auto& b : fp_bytes) b = static_cast<std::uint8_t>(rng());
    std::optional<std::span<const std::uint8_t>> fps;
    if (trial % 2) fps = std::span<const std::uint8_t>(fp_bytes);
    std::uint64_t total = 0;
    for (const auto& k : keys) total += k.size();

    auto built = StringArena::assemble(keys, n, total, fps);
    ASSERT_TRUE(built) << trial;
    expect_holds(*built, keys, fps, "trial " + std::to_string(trial));

    const auto lengths = lengths_of(keys);
    arena::ArenaPrefix p = StringArena::prefix_for_lengths(lengths, fps);
    EXPECT_EQ(p.total, total);
    EXPECT_EQ(p.tag, built->tag());
    Bytes streamed = p.prefix;
    for (const auto& k : keys) bytes::put_bytes(streamed, bytes::as_bytes(k));
    bytes::put_bytes(streamed, p.tail);
    ASSERT_TRUE(std::ranges::equal(streamed, built->image())) << "trial " << trial;
  }
}

TEST(ArenaBuilder, SourcesThatBreakTheirPromise) {
  const std::vector<std::string> keys{"a", "bb", "ccc"};
  EXPECT_TRUE(StringArena::assemble(keys, 3, 6));
  EXPECT_FALSE(StringArena::assemble(keys, 2, 6));  // one string too many
  EXPECT_FALSE(StringArena::assemble(keys, 4, 6));  // one too few
  const Bytes two_fps{1, 2};
  EXPECT_FALSE(StringArena::assemble(keys, 3, 6, std::span<const std::uint8_t>(two_fps)));
  // A wrong total only sizes the buffer: the arena holds what the source gave.
  auto a = StringArena::assemble(keys, 3, 1000);
  ASSERT_TRUE(a);
  expect_holds(*a, keys, std::nullopt, "wrong total");

  // A callable source, e.g. slot order mapped onto the caller's keys, followed by more keys.
  const std::vector<std::uint32_t> order{2, 0, 1};
  const std::vector<std::string> side{"side"};
  auto source = [&](auto&& sink) {
    for (auto pos : order)
      if (!sink(bytes::as_bytes(keys[pos]))) return;
    for (const auto& k : side)
      if (!sink(bytes::as_bytes(k))) return;
  };
  a = StringArena::assemble(source, 4, 10);
  ASSERT_TRUE(a);
  expect_holds(*a, {"ccc", "a", "bb", "side"}, std::nullopt, "callable");
  EXPECT_FALSE(StringArena::assemble(source, 3, 10));
}

TEST(ArenaBuilder, BuildExactAndEmptyArenas) {
  StringArena empty = StringArena::build_exact({});
  EXPECT_EQ(empty.image().size(), 9u);
  EXPECT_EQ(empty.tag(), 17);
  EXPECT_EQ(bytes::load_u64(empty.image().data()), 1u);
  EXPECT_EQ(StringArena::build_exact({}, true).tag(), 145);
  EXPECT_EQ(StringArena().tag(), 17);
  EXPECT_TRUE(StringArena().empty());
  // An empty arena under an overflow tag carries a zero length field.
  EXPECT_EQ(load_error(image_with(81, {}, std::nullopt)), "loaded");
  EXPECT_EQ(image_with(81, {}, std::nullopt).size(), 17u);

  const std::vector<std::string> keys{"x", "", "yz"};
  StringArena a = StringArena::build_exact(keys);
  expect_holds(a, keys, std::nullopt, "build_exact");
  EXPECT_THROW(StringArena::build_exact(keys, true), Panic);
  EXPECT_THROW(StringArena::prefix_for_lengths(lengths_of(keys), std::span<const std::uint8_t>()),
               Panic);
  // The image survives a round trip through its own bytes.
  StringArena again = StringArena::from_shared(SharedBytes::from_owned(a.image()));
  expect_holds(again, keys, std::nullopt, "reloaded");
}

TEST(ArenaBuilder, MoveDataBothWays) {
  Bytes v{1, 2, 3, 4, 5};
  arena::move_data(v, 1, 2, 4);
  EXPECT_EQ(v, (Bytes{1, 2, 3, 4, 2, 3}));  // grown past the old end
  arena::move_data(v, 1, 1, 8);
  EXPECT_EQ(v, (Bytes{1, 2, 3, 4, 2, 3, 0, 0, 2}));  // the gap is zero bytes
  arena::move_data(v, 3, 3, 0);
  EXPECT_EQ(v, (Bytes{4, 2, 3}));  // shortened to the region's new end
  arena::move_data(v, 0, 2, 0);
  EXPECT_EQ(v, (Bytes{4, 2, 3}));
  EXPECT_THROW(arena::move_data(v, 2, 2, 0), Panic);
}

TEST(ArenaBuilder, ParallelAssemblyIsTheStreamedImageForEveryWorkerCount) {
  // Corpora that make the builder pick each encoding, large enough that eight workers each get
  // a run of 256-string groups. Built from an indexed source on 1 and 8 workers (no minimum per
  // worker) and from a streamed callable, with and without fingerprints, every image equals the
  // streamed layout: prefix, strings, tail.
  std::mt19937_64 rng(21);
  auto corpus = [&](std::size_t n, std::size_t min_len, std::size_t max_len) {
    std::vector<std::string> keys(n);
    for (auto& k : keys)
      k.assign(min_len + rng() % (max_len - min_len + 1), static_cast<char>('a' + rng() % 26));
    return keys;
  };
  std::vector<std::vector<std::string>> corpora;
  corpora.push_back(corpus(2500, 0, 8));  // 16-blocks that never overflow
  corpora.push_back(corpus(2500, 0, 3));  // ... with a few 16-blocks that do
  for (std::size_t first : {160u, 800u, 1600u, 2480u})
    for (std::size_t i = first; i < first + 16; ++i) corpora.back()[i].assign(20, 'o');
  corpora.push_back(corpus(2500, 18, 22));  // 256-blocks
  corpora.push_back(corpora.back());        // ... one of which overflows 16 bits
  corpora.back()[1300].assign(70000, 'H');
  corpora.push_back(corpus(2100, 280, 320));  // flat offsets

  std::set<int> tags;
  for (std::size_t c = 0; c < corpora.size(); ++c) {
    const auto& keys = corpora[c];
    const std::size_t n = keys.size();
    Bytes fp_bytes(n);
    for (auto& b : fp_bytes) b = static_cast<std::uint8_t>(rng());
    for (bool with_fps : {false, true}) {
      std::optional<std::span<const std::uint8_t>> fps;
      if (with_fps) fps = std::span<const std::uint8_t>(fp_bytes);
      const arena::ArenaPrefix p = StringArena::prefix_for_lengths(lengths_of(keys), fps);
      Bytes streamed = p.prefix;
      for (const auto& k : keys) bytes::put_bytes(streamed, bytes::as_bytes(k));
      bytes::put_bytes(streamed, p.tail);
      const std::string where =
          "corpus " + std::to_string(c) + (with_fps ? " with fingerprints" : "");
      for (unsigned threads : {1u, 8u}) {
        auto a = StringArena::assemble_indexed(
            n, [&](std::uint64_t i) -> const std::string& { return keys[i]; }, fps, threads, 1);
        ASSERT_TRUE(a) << where;
        ASSERT_TRUE(std::ranges::equal(a->image(), streamed))
            << where << ", " << threads << " threads";
        tags.insert(a->tag());
      }
      auto source = [&](auto&& sink) {
        for (const auto& k : keys)
          if (!sink(bytes::as_bytes(k))) return;
      };
      auto a = StringArena::assemble(source, n, p.total, fps);
      ASSERT_TRUE(a) << where;
      ASSERT_TRUE(std::ranges::equal(a->image(), streamed)) << where << ", streamed";
      expect_holds(*a, keys, fps, where);
    }
  }
  EXPECT_EQ(tags, (std::set<int>{4, 132, 17, 145, 81, 209, 18, 146, 82, 210}));
}

TEST(ArenaBuilder, IndexedSourcesThatBreakTheirPromise) {
  const std::vector<std::string> keys{"a", "bb", "ccc"};
  auto at = [&](std::uint64_t i) -> const std::string& { return keys[i]; };
  const Bytes two_fps{1, 2};
  EXPECT_FALSE(StringArena::assemble_indexed(3, at, std::span<const std::uint8_t>(two_fps), 4));
  // A source whose strings grow between the measuring and the copying pass is a broken
  // invariant, caught before any byte is written out of place.
  int calls = 0;
  std::string shifty = "x";
  auto changing = [&](std::uint64_t) -> std::string_view {
    if (++calls == 2) shifty = "longer";
    return shifty;
  };
  EXPECT_THROW(StringArena::assemble_indexed(1, changing, std::nullopt, 1), Panic);
}
