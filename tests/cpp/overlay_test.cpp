// The overlay: its id space against a map-and-vector model over every base, its blob and loader
// checks, compaction, and the limits of the additions.
#include "overlay.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <random>
#include <set>

#include "hash_index_testing.hpp"

namespace quenlith::overlay {
namespace {

using test_support::distinct_keys;
using test_support::format_error;
using test_support::ScratchDir;
using test_support::views;

using PH = std::shared_ptr<const PerfectHashIndex>;
using CH = std::shared_ptr<const CompactHashIndex>;
using SI = std::shared_ptr<const StringIndex>;

static_assert(OverlayKeys<PH> && OverlayKeys<SI>);
static_assert(OverlayBase<CH> && !KeyedBase<CH> && !OverlayKeys<CH>,
              "a CompactHashIndex stores no keys: no key(), keys() or compaction over it");
static_assert(!OverlayBase<PerfectHashIndex>, "a base is held by a shared pointer");

PH make_ph(const std::vector<std::string>& keys, bool fingerprints = false) {
  return std::make_shared<const PerfectHashIndex>(
      PerfectHashIndex::build_with(views(keys), fingerprints));
}
CH make_ch(const std::vector<std::string>& keys, std::uint32_t bits = 8) {
  std::vector<hash::Pair> pairs;
  for (const auto& k : keys) pairs.push_back(hash::hash_pair(k));
  return std::make_shared<const CompactHashIndex>(
      CompactHashIndex::build_from_pairs(std::move(pairs), bits));
}

SI make_si(const std::vector<std::string>& keys) {
  return std::make_shared<const StringIndex>(StringIndex::build(std::span(keys)));
}

template <class H>
H make_base(const std::vector<std::string>& keys) {
  if constexpr (std::is_same_v<H, SI>)
    return make_si(keys);
  else if constexpr (std::is_same_v<H, PH>)
    return make_ph(keys);
  else
    return make_ch(keys);
}

template <class H>
Overlay<H> reload(const Overlay<H>& ov, bool untrusted = false) {
  return load_blob<IndexOf<H>>(to_bytes(ov), untrusted);
}

// What a panic says, or "" when none is thrown.
template <class F>
std::string panic_text(F&& f) {
  try {
    f();
  } catch (const Panic& p) {
    return p.what();
  }
  return "";
}

// ---- The model ---------------------------------------------------------------------------------

// Ids as a vector of keys, tombstones as a vector of flags, additions as a map. The base lookup
// is asked of the base itself (it may answer for a key it never held over a CompactHashIndex).
template <class H>
struct Model {
  const H* base;
  std::vector<std::optional<std::string>> key_of;  // by id; nullopt for unknown base keys
  std::vector<bool> dead;
  std::map<std::string, std::uint64_t> added;
  std::uint64_t n_b = 0;
  std::uint64_t live = 0;

  std::optional<std::uint64_t> find(const std::string& k) const {
    if (auto b = base_id(*base, k)) return b;
    if (auto it = added.find(k); it != added.end()) return it->second;
    return std::nullopt;
  }
  std::optional<std::uint64_t> id(const std::string& k) const {
    auto x = find(k);
    return x && !dead[*x] ? x : std::nullopt;
  }
  std::uint64_t add(const std::string& k) {
    if (auto x = find(k)) {
      if (dead[*x]) dead[*x] = false, ++live;
      return *x;
    }
    const std::uint64_t x = key_of.size();
    key_of.push_back(k);
    dead.push_back(false);
    added[k] = x;
    ++live;
    return x;
  }
  bool retire(std::uint64_t x) {
    if (x >= key_of.size() || dead[x]) return false;
    dead[x] = true;
    --live;
    return true;
  }
  bool remove(const std::string& k) {
    auto x = find(k);
    return x && retire(*x);
  }
  std::vector<std::string> keys() const {
    std::vector<std::string> out;
    for (std::size_t x = 0; x < key_of.size(); ++x)
      if (!dead[x] && key_of[x]) out.push_back(*key_of[x]);
    return out;
  }
};

template <class H>
void run_model(std::size_t n_base, std::uint64_t seed) {
  SCOPED_TRACE("seed " + std::to_string(seed) + ", base of " + std::to_string(n_base));
  // The base holds the empty key when it has any key; otherwise the pool offers it.
  const auto all = distinct_keys(n_base + 150, seed);
  std::vector<std::string> base_keys(all.begin(), all.begin() + n_base);
  std::vector<std::string> pool = all;
  if (n_base == 0) pool.push_back("");
  pool.push_back("é✓");

  Overlay<H> ov(make_base<H>(base_keys));
  Model<H> m;
  m.base = &ov.base();
  m.n_b = ov.base_len();
  ASSERT_EQ(m.n_b, n_base);
  m.key_of.resize(n_base);
  m.dead.assign(n_base, false);
  for (const auto& k : base_keys) {
    const auto b = base_id(ov.base(), k);
    ASSERT_TRUE(b.has_value());
    m.key_of[*b] = k;
  }
  m.live = n_base;

  std::mt19937_64 rng(seed);
  auto pick = [&] { return pool[rng() % pool.size()]; };
  for (int step = 0; step < 2500; ++step) {
    const std::string k = pick();
    switch (rng() % 8) {
      case 0:
      case 1:
        ASSERT_EQ(ov.add(k), m.add(k)) << "add " << k;
        break;
      case 2:
        ASSERT_EQ(ov.remove(k), m.remove(k)) << "remove " << k;
        break;
      case 3: {
        const std::uint64_t x = rng() % (ov.id_space() + 3);
        ASSERT_EQ(ov.retire_id(x), m.retire(x)) << "retire " << x;
        break;
      }
      case 4:
        ASSERT_EQ(ov.id(k), m.id(k)) << "id " << k;
        ASSERT_EQ(ov.contains(k), m.id(k).has_value());
        break;
      case 5:
        if constexpr (KeyedBase<H>) {
          const std::uint64_t x = rng() % (ov.id_space() + 3);
          const auto want = x < m.key_of.size() && !m.dead[x] ? m.key_of[x] : std::nullopt;
          ASSERT_EQ(ov.key(x), want) << "key " << x;
        }
        break;
      case 6:
        if (step % 16 == 0) {
          // Interleaved save and reload: the reloaded overlay carries on as the old one.
          auto back = reload(ov, step % 32 == 0);
          ASSERT_EQ(to_bytes(back), to_bytes(ov));
          ov = std::move(back);
          m.base = &ov.base();
        }
        break;
      default:
        if constexpr (KeyedBase<H>) {
          if (step % 8 == 0) {
            ASSERT_EQ(ov.keys(), m.keys());
          }
        }
        break;
    }
    ASSERT_EQ(ov.len(), m.live);
    ASSERT_EQ(ov.id_space(), m.key_of.size());
    ASSERT_EQ(ov.is_empty(), m.live == 0);
  }
  for (const auto& k : pool) ASSERT_EQ(ov.id(k), m.id(k)) << k;
  if constexpr (KeyedBase<H>) {
    ASSERT_EQ(ov.keys(), m.keys());
  }
}

TEST(OverlayModel, StringIndexBase) {
  for (std::uint64_t seed : {7, 8, 9}) run_model<SI>(seed == 7 ? 0 : 120, seed);
}

TEST(OverlayModel, PerfectHashBase) {
  for (std::uint64_t seed : {1, 2, 3}) run_model<PH>(seed == 1 ? 0 : 120, seed);
}

TEST(OverlayModel, CompactHashBase) {
  for (std::uint64_t seed : {4, 5, 6}) run_model<CH>(seed == 4 ? 0 : 120, seed);
}

// ---- The record --------------------------------------------------------------------------------

TEST(OverlayRecord, NewOverlayMirrorsItsBase) {
  const std::vector<std::string> keys = {"b", "a", "c"};
  Overlay<PH> ov(make_ph(keys));
  EXPECT_EQ(ov.len(), 3u);
  EXPECT_EQ(ov.id_space(), 3u);
  EXPECT_FALSE(ov.is_empty());
  std::vector<std::string> want(3);
  for (const auto& k : keys) want[*ov.base()->id(k)] = k;
  EXPECT_EQ(ov.keys(), want);
  EXPECT_TRUE(ov.tombstones().words().empty());

  Overlay<PH> empty(make_ph({}));
  EXPECT_TRUE(empty.is_empty());
  EXPECT_EQ(empty.add(""), 0u);  // the empty key is an addition like any other
  EXPECT_EQ(empty.additions().bytes().size(), 4u);
  EXPECT_EQ(empty.id(""), 0u);
}

TEST(OverlayRecord, RemovedKeyComesBackWithItsOldId) {
  Overlay<PH> ov(make_ph({"x", "y"}));
  const std::uint64_t x = *ov.id("x");
  EXPECT_EQ(ov.add("x"), x);  // a base key: nothing appended
  EXPECT_EQ(ov.additions().count(), 0u);
  EXPECT_EQ(ov.add("new"), 2u);
  EXPECT_EQ(ov.add("new"), 2u);
  EXPECT_EQ(ov.id_space(), 3u);

  EXPECT_TRUE(ov.remove("new"));
  EXPECT_FALSE(ov.remove("new"));
  EXPECT_EQ(ov.id("new"), std::nullopt);
  EXPECT_EQ(ov.key(2), std::nullopt);
  EXPECT_EQ(ov.len(), 2u);
  EXPECT_EQ(ov.add("new"), 2u);
  EXPECT_EQ(ov.len(), 3u);
  EXPECT_EQ(ov.id_space(), 3u);

  EXPECT_TRUE(ov.retire_id(x));
  EXPECT_FALSE(ov.retire_id(x));
  EXPECT_FALSE(ov.retire_id(ov.id_space()));
  EXPECT_EQ(ov.len(), 2u);
  EXPECT_EQ(ov.keys(), (std::vector<std::string>{"y", "new"}));
  EXPECT_EQ(ov.add("x"), x);  // a retired base key is revived too
}

TEST(OverlayRecord, RetiringAFarIdGrowsTombstonesToItsWord) {
  Overlay<PH> ov(make_ph({}));
  for (int i = 0; i < 1'000'001; ++i) ov.push_added(std::to_string(i));
  ASSERT_TRUE(ov.tombstones().words().empty());
  EXPECT_TRUE(ov.retire_id(1'000'000));
  EXPECT_EQ(ov.tombstones().words().size(), 15'626u);
  EXPECT_EQ(ov.id("1000000"), std::nullopt);
  EXPECT_EQ(ov.id("999999"), 999'999u);
}

// Inverts one absorb step of the payload hash: the word that takes `state` to `next`.
std::uint64_t unabsorb(std::uint64_t state, std::uint64_t next) {
  std::uint64_t x = next ^ (next >> 29) ^ (next >> 58);  // undo s ^= s >> 29
  std::uint64_t inv = 0xBF58476D1CE4E5B9ULL;             // Newton's iteration for the inverse
  for (int i = 0; i < 5; ++i) inv *= 2 - 0xBF58476D1CE4E5B9ULL * inv;
  return (x * inv) ^ state;
}
std::uint64_t absorb(std::uint64_t state, std::uint64_t word) {
  state = (state ^ word) * 0xBF58476D1CE4E5B9ULL;
  return state ^ (state >> 29);
}

// Two distinct ASCII keys, of 7 and 8 bytes, with one 64-bit key hash: the hash of a key of at
// most 8 bytes is mix(length ^ absorb(G, word)), and absorb can be inverted.
std::pair<std::string, std::string> colliding_keys() {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 100'000; ++i) {
    std::string a(7, ' ');
    for (char& c : a) c = static_cast<char>(0x21 + rng() % 94);
    std::uint8_t w[8] = {};
    std::memcpy(w, a.data(), 7);
    const std::uint64_t s7 = absorb(hash::G, bytes::load_u64(w));
    const std::uint64_t w8 = unabsorb(hash::G, s7 ^ 7 ^ 8);
    std::string b(8, '\0');
    bytes::store_u64(reinterpret_cast<std::uint8_t*>(b.data()), w8);
    if (std::all_of(b.begin(), b.end(), [](char c) { return c > 0 && c < 0x7F; })) return {a, b};
  }
  ADD_FAILURE() << "no colliding pair found";
  return {};
}

TEST(OverlayRecord, AdditionsSharingAKeyHashAreBothFound) {
  const auto [a, b] = colliding_keys();
  ASSERT_NE(a, b);
  ASSERT_EQ(blob::hash_block(bytes::as_bytes(a)), blob::hash_block(bytes::as_bytes(b)));
  Overlay<PH> ov(make_ph({"base"}));
  EXPECT_EQ(ov.id(b), std::nullopt);
  EXPECT_EQ(ov.add(a), 1u);
  EXPECT_EQ(ov.id(b), std::nullopt);  // the map's candidate fails the byte comparison
  EXPECT_EQ(ov.add(b), 2u);           // and the second goes to the spill list
  EXPECT_EQ(ov.id(a), 1u);
  EXPECT_EQ(ov.id(b), 2u);
  EXPECT_TRUE(ov.remove(b));
  EXPECT_EQ(ov.id(a), 1u);
  auto back = reload(ov);
  EXPECT_EQ(back.id(a), 1u);
  EXPECT_EQ(back.id(b), std::nullopt);
  EXPECT_EQ(back.add(b), 2u);
}

TEST(OverlayRecord, LimitsPanicBeforeAnythingChanges) {
  Overlay<PH> ov(make_ph({"base"}));
  auto unchanged = [&](const std::vector<std::uint8_t>& blob) {
    EXPECT_EQ(to_bytes(ov), blob);
    EXPECT_EQ(ov.id("nope"), std::nullopt);
  };
  // The count of additions never exceeds the limit: three fit under a limit of three.
  ov.set_limits(Limits{3, 1000, 1000});
  EXPECT_EQ(ov.add("a"), 1u);
  EXPECT_EQ(ov.add("b"), 2u);
  EXPECT_EQ(ov.add("c"), 3u);
  auto before = to_bytes(ov);
  const std::uint64_t live = ov.len();
  EXPECT_EQ(panic_text([&] { ov.add("nope"); }), "an Overlay holds at most u32::MAX additions");
  unchanged(before);
  EXPECT_EQ(ov.len(), live);
  EXPECT_EQ(ov.add("b"), 2u);  // present keys still answer

  // An addition may start at the offset limit, not after it.
  Overlay<PH> bytes_ov(make_ph({}));
  bytes_ov.set_limits(Limits{100, 10, 1000});
  bytes_ov.add("123456");  // 10 bytes stored
  bytes_ov.add("x");       // starts at offset 10
  EXPECT_EQ(panic_text([&] { bytes_ov.add("nope"); }),
            "an Overlay holds at most 4 GiB of added keys");
  EXPECT_EQ(bytes_ov.additions().count(), 2u);
  EXPECT_EQ(bytes_ov.id("nope"), std::nullopt);

  Overlay<PH> len_ov(make_ph({}));
  len_ov.set_limits(Limits{100, 1000, 3});
  EXPECT_EQ(len_ov.add("abc"), 0u);
  EXPECT_EQ(panic_text([&] { len_ov.add("abcd"); }), "an added key is at most 4 GiB long");
  EXPECT_EQ(len_ov.id_space(), 1u);
  EXPECT_EQ(len_ov.len(), 1u);

  // Limits are only ever lowered.
  Overlay<PH> raised(make_ph({}));
  raised.set_limits(Limits{~0ULL, ~0ULL, ~0ULL});
  EXPECT_EQ(raised.additions().limit_refusal(0x1'0000'0000ULL),
            std::string_view("an added key is at most 4 GiB long"));
}

// ---- CompactHashIndex base ---------------------------------------------------------------------

TEST(OverlayCompactHash, FalsePositiveOfTheBaseAnswersWithABaseId) {
  // One fingerprint bit: about half of the keys the base never held get a base id.
  const auto keys = distinct_keys(64, 11);
  Overlay<CH> ov(make_ch(keys, 1));
  std::string stranger;
  std::uint64_t hit = 0;
  for (int i = 0; stranger.empty(); ++i) {
    const std::string k = "stranger" + std::to_string(i);
    if (auto b = base_id(ov.base(), k)) stranger = k, hit = *b;
  }
  ASSERT_LT(hit, 64u);
  EXPECT_EQ(ov.id(stranger), hit);
  EXPECT_EQ(ov.add(stranger), hit);  // answered by the base: nothing appended
  EXPECT_EQ(ov.additions().count(), 0u);
  EXPECT_TRUE(ov.remove(stranger));  // retires the base id it collided with
  EXPECT_TRUE(ov.retired(hit));
  EXPECT_EQ(ov.add(stranger), hit);
  EXPECT_FALSE(ov.retired(hit));

  // The loader does not refuse an addition equal to a base key over this base, but two equal
  // additions are refused.
  Overlay<CH> with_base_key(make_ch(keys));
  with_base_key.push_added(keys[5]);
  const auto loaded = reload(with_base_key);
  EXPECT_EQ(loaded.additions().count(), 1u);
  Overlay<CH> twice(make_ch(keys));
  twice.push_added("dup");
  twice.push_added("dup");
  EXPECT_EQ(format_error([&] { reload(twice); }), kDuplicateAddition);
}

// ---- The blob ----------------------------------------------------------------------------------

// An "OVL2" blob from its parts, framed correctly unless a test changes it afterwards.
std::vector<std::uint8_t> make_v2(BaseTag tag, std::span<const std::uint8_t> base,
                                  const std::vector<std::uint8_t>& additions, std::uint64_t n,
                                  const std::vector<std::uint64_t>& words) {
  std::vector<std::uint8_t> out(kHeaderV2);
  bytes::put_bytes(out, base);
  bytes::put_bytes(out, additions);
  for (std::uint64_t w : words) bytes::put_u64(out, w);
  const auto h = header_v2(tag, base.size(), n, additions.size(), words.size(),
                           blob::hash_block(std::span(out).subspan(kHeaderV2)));
  std::copy(h.begin(), h.end(), out.begin());
  return out;
}
std::vector<std::uint8_t> make_v1(BaseTag tag, std::span<const std::uint8_t> base,
                                  const std::vector<std::uint8_t>& additions, std::uint64_t n,
                                  const std::vector<std::uint64_t>& words) {
  std::vector<std::uint8_t> out = {'O', 'V', 'L', '1', static_cast<std::uint8_t>(tag)};
  bytes::put_u64(out, base.size());
  bytes::put_u64(out, n);
  bytes::put_bytes(out, base);
  bytes::put_bytes(out, additions);
  bytes::put_u64(out, words.size());
  for (std::uint64_t w : words) bytes::put_u64(out, w);
  return out;
}
std::vector<std::uint8_t> entries(const std::vector<std::string>& keys) {
  std::vector<std::uint8_t> out;
  for (const auto& k : keys) {
    bytes::put_u32(out, static_cast<std::uint32_t>(k.size()));
    bytes::put_bytes(out, bytes::as_bytes(k));
  }
  return out;
}
// Rewrites the header check of an "OVL2" blob (and its payload hash) after a field changed.
void reframe(std::vector<std::uint8_t>& b) {
  if (b.size() >= kHeaderV2) test_support::reframe(b, kHeaderV2, 37);
}

template <class H>
Overlay<H> sample_overlay(H base, std::uint64_t seed) {
  Overlay<H> ov(std::move(base));
  std::mt19937_64 rng(seed);
  for (const auto& k : distinct_keys(40, seed, "add-")) ov.add(k);
  for (int i = 0; i < 15; ++i) ov.retire_id(rng() % ov.id_space());
  return ov;
}

TEST(OverlayBlob, ToBytesAndSaveAgreeAndReloadTheSameOverlay) {
  ScratchDir dir;
  auto ov = sample_overlay(make_ph(distinct_keys(50, 1), true), 2);
  const auto blob = to_bytes(ov);
  EXPECT_EQ(blob.size(), serialized_len(ov));
  save(ov, dir / "o.ovl");
  EXPECT_EQ(fileio::read_file(dir / "o.ovl"), blob);
  const auto back = load_blob<PerfectHashIndex>(blob, false);
  EXPECT_EQ(back.keys(), ov.keys());
  EXPECT_EQ(back.len(), ov.len());
  EXPECT_EQ(back.id_space(), ov.id_space());
  EXPECT_TRUE(std::ranges::equal(back.tombstones().words(), ov.tombstones().words()));
  EXPECT_TRUE(std::ranges::equal(back.additions().bytes(), ov.additions().bytes()));

  auto ch = sample_overlay(make_ch(distinct_keys(50, 1)), 3);
  save(ch, dir / "c.ovl");
  EXPECT_EQ(fileio::read_file(dir / "c.ovl"), to_bytes(ch));
  EXPECT_EQ(to_bytes(reload(ch)), to_bytes(ch));
}

TEST(OverlayBlob, EmptyOverlayIsTheHeaderAndTheBaseBlob) {
  const PH base = make_ph(distinct_keys(20, 4));
  const auto base_blob = base->to_bytes();
  const auto blob = to_bytes(Overlay<PH>(base));
  ASSERT_EQ(blob.size(), kHeaderV2 + base_blob.size());
  EXPECT_EQ(bytes::load_u64(blob.data() + 5), base_blob.size());
  for (std::size_t at : {13, 21, 29}) EXPECT_EQ(bytes::load_u64(blob.data() + at), 0u);
  EXPECT_EQ(bytes::load_u64(blob.data() + 37), blob::hash_block(base_blob));
  EXPECT_EQ(blob[4], 2);
  EXPECT_TRUE(std::equal(base_blob.begin(), base_blob.end(), blob.begin() + kHeaderV2));
}

TEST(OverlayBlob, TrailingZeroWordsStayAndABitAtTheIdSpaceIsRefused) {
  const PH base = make_ph({"a", "b"});
  const auto bb = base->to_bytes();
  // Id space 3: bits 0..2 may be set; two trailing zero words are kept as they are.
  const auto ok = make_v2(BaseTag::PerfectHash, bb, entries({"c"}), 1, {0b101, 0, 0});
  const auto ov = load_blob<PerfectHashIndex>(ok, false);
  EXPECT_EQ(ov.len(), 1u);
  EXPECT_EQ(ov.tombstones().words().size(), 3u);
  EXPECT_EQ(to_bytes(ov), ok);
  for (auto words : {std::vector<std::uint64_t>{0b1000}, std::vector<std::uint64_t>{0, 0, 1}}) {
    const auto bad = make_v2(BaseTag::PerfectHash, bb, entries({"c"}), 1, words);
    EXPECT_EQ(format_error([&] { load_blob<PerfectHashIndex>(bad, false); }), kTombstoneOutside);
  }
  // An id space that is a multiple of 64: the whole next word lies outside it.
  const auto full = std::vector<std::string>(distinct_keys(64, 9));
  const auto fb = make_ph(full)->to_bytes();
  EXPECT_NO_THROW(
      load_blob<PerfectHashIndex>(make_v2(BaseTag::PerfectHash, fb, {}, 0, {~0ULL, 0}), false));
  EXPECT_EQ(
      format_error([&] {
        load_blob<PerfectHashIndex>(make_v2(BaseTag::PerfectHash, fb, {}, 0, {~0ULL, 1}), false);
      }),
      kTombstoneOutside);
}

TEST(OverlayBlob, Ovl2ChecksComeInOrderWithTheirMessages) {
  const PH base = make_ph({"a", "b"});
  const auto bb = base->to_bytes();
  const auto good = make_v2(BaseTag::PerfectHash, bb, entries({"c", "d"}), 2, {0b10});
  auto load = [](std::span<const std::uint8_t> b) {
    return format_error([&] { load_blob<PerfectHashIndex>(b, false); });
  };
  ASSERT_EQ(load(good), "");
  auto with = [&](auto&& change, bool fix = true) {
    auto b = good;
    change(b);
    if (fix) reframe(b);
    return load(b);
  };

  for (std::size_t len : {0, 1, 3, 4, 20, 48})
    EXPECT_EQ(load(std::span(good).first(len)), kBadMagic);
  EXPECT_EQ(with([](auto& b) { b[0] = 'X'; }, false), kBadMagic);
  EXPECT_EQ(with([](auto& b) { std::memcpy(b.data(), "BMP8", 4); }, false), kBadMagic);
  for (std::size_t at : {4, 10, 40, 47})
    EXPECT_EQ(with([&](auto& b) { b[at] ^= 1; }, false), kHeaderChecksum) << at;
  EXPECT_EQ(format_error([&] { load_blob<CompactHashIndex>(good, false); }), kOtherBase);
  EXPECT_EQ(with([](auto& b) { b[4] = 9; }), kOtherBase);
  EXPECT_EQ(with([&](auto& b) { bytes::store_u64(b.data() + 5, b.size()); }), kBaseRange);
  EXPECT_EQ(with([](auto& b) { bytes::store_u64(b.data() + 5, ~0ULL); }), kBaseRange);
  EXPECT_EQ(with([&](auto& b) { bytes::store_u64(b.data() + 21, 100); }), kAdditionRegion);
  EXPECT_EQ(with([](auto& b) { bytes::store_u64(b.data() + 21, ~0ULL - 10); }), kAdditionRegion);
  EXPECT_EQ(with([](auto& b) { bytes::store_u64(b.data() + 29, 1ULL << 61); }), kTombstoneCount);
  EXPECT_EQ(with([](auto& b) { bytes::store_u64(b.data() + 29, 2); }), kTombstoneLength);
  EXPECT_EQ(with([](auto& b) { b.push_back(0); }), kTombstoneLength);
  // Length checks come before the payload hash: bytes cut off or appended never reach it.
  EXPECT_EQ(with([](auto& b) { b.push_back(0); }, false), kTombstoneLength);
  for (std::size_t at : {49ul, 60ul, good.size() - 1})
    EXPECT_EQ(with([&](auto& b) { b[at] ^= 0x40; }, false), kPayloadChecksum) << at;
  // Then the base's own loader, whose error passes unchanged.
  EXPECT_EQ(with([](auto& b) { b[kHeaderV2 + 30] ^= 1; }), "header checksum mismatch");
  // Then each addition.
  auto adds = [&](const std::vector<std::uint8_t>& region, std::uint64_t n,
                  std::vector<std::uint64_t> words = {}) {
    return load(make_v2(BaseTag::PerfectHash, bb, region, n, words));
  };
  EXPECT_EQ(adds(entries({"c"}), 2), kAdditionsTruncated);
  EXPECT_EQ(adds({1, 0, 0}, 1), kAdditionsTruncated);
  EXPECT_EQ(adds({5, 0, 0, 0, 'x'}, 1), kAdditionRange);
  EXPECT_EQ(adds({1, 0, 0, 0, 0xFF}, 1), kAdditionUtf8);
  EXPECT_EQ(adds(entries({"c", "b"}), 2), kDuplicatesBase);
  EXPECT_EQ(adds(entries({"c", "", "c"}), 3), kDuplicateAddition);
  EXPECT_EQ(adds(entries({"c", "d"}), 1), kRegionLonger);
  EXPECT_EQ(adds(entries({"c"}), 1, {0b1000}), kTombstoneOutside);
  // A crafted count meets the bytes before it meets memory: nothing is reserved past a cap.
  EXPECT_EQ(adds(entries({"c"}), 1ULL << 62), kAdditionsTruncated);
  // An empty region and N = 0 is an overlay without additions.
  EXPECT_EQ(adds({}, 0), "");
}

TEST(OverlayBlob, Ovl1IsReadWithItsOwnOrderAndSavedAsOvl2) {
  const PH base = make_ph({"a", "b"});
  const auto bb = base->to_bytes();
  const auto v1 = make_v1(BaseTag::PerfectHash, bb, entries({"c", "d"}), 2, {0b101});
  const auto ov = load_blob<PerfectHashIndex>(v1, false);
  EXPECT_EQ(ov.id_space(), 4u);
  EXPECT_EQ(ov.len(), 2u);
  EXPECT_EQ(ov.id("d"), 3u);
  EXPECT_EQ(ov.id("c"), std::nullopt);
  const auto v2 = to_bytes(ov);
  EXPECT_EQ(v2, make_v2(BaseTag::PerfectHash, bb, entries({"c", "d"}), 2, {0b101}));

  auto load = [](const std::vector<std::uint8_t>& b) {
    return format_error([&] { load_blob<PerfectHashIndex>(b, false); });
  };
  auto v1_with = [&](const std::vector<std::uint8_t>& region, std::uint64_t n,
                     std::vector<std::uint64_t> words = {}) {
    return make_v1(BaseTag::PerfectHash, bb, region, n, words);
  };
  for (std::size_t len : {4, 20}) EXPECT_EQ(load({v1.begin(), v1.begin() + len}), kBadMagic);
  EXPECT_EQ(format_error([&] { load_blob<CompactHashIndex>(v1, false); }), kOtherBase);
  auto long_base = v1;
  bytes::store_u64(long_base.data() + 5, v1.size());
  EXPECT_EQ(load(long_base), kBaseRange);
  EXPECT_EQ(load(v1_with(entries({"c"}), 2)), kTombstonesTruncated);  // T read as an addition
  // T's 8 zero bytes read as two empty additions, then nothing is left for a third.
  EXPECT_EQ(load(v1_with(entries({"c"}), 4)), kAdditionsTruncated);
  EXPECT_EQ(load(v1_with({20, 0, 0, 0, 'x'}, 1)), kAdditionRange);
  EXPECT_EQ(load(v1_with({1, 0, 0, 0, 0xC0}, 1)), kAdditionUtf8);
  auto no_t = v1_with(entries({"c"}), 1);
  no_t.resize(no_t.size() - 8);
  EXPECT_EQ(load(no_t), kTombstonesTruncated);
  auto big_t = v1_with(entries({"c"}), 1);
  bytes::store_u64(big_t.data() + big_t.size() - 8, 1ULL << 61);
  EXPECT_EQ(load(big_t), kTombstoneCount);
  auto more = v1_with(entries({"c"}), 1, {1});
  more.push_back(0);
  EXPECT_EQ(load(more), kTombstoneLength);
  // The additions' framing is checked before the base is loaded.
  auto bad_base = v1_with({1, 0, 0, 0, 0xC0}, 1);
  bad_base[kHeaderV1 + 10] ^= 1;
  EXPECT_EQ(load(bad_base), kAdditionUtf8);
  EXPECT_EQ(load(v1_with(entries({"a"}), 1)), kDuplicatesBase);
  EXPECT_EQ(load(v1_with(entries({"c", "c"}), 2)), kDuplicateAddition);
  EXPECT_EQ(load(v1_with(entries({"c"}), 1, {0b1000})), kTombstoneOutside);
}

// Loads `b` and exercises what loaded; an `IndexError` is a refusal, anything else fails.
template <class T>
bool loads_and_answers(std::span<const std::uint8_t> b, bool untrusted) {
  try {
    auto ov = load_blob<T>(b, untrusted);
    if constexpr (KeyedBase<std::shared_ptr<const T>>) (void)ov.keys();
    for (const auto& k : {"a", "add-x", ""}) (void)ov.id(k);
    ov.add("zz-new");
    ov.retire_id(0);
    (void)to_bytes(ov);
    return true;
  } catch (const IndexError&) {
    return false;
  }
}

TEST(OverlayBlob, DamagedBlobsAreRefusedOrWorkNeverCrash) {
  const auto ph = to_bytes(sample_overlay(make_ph(distinct_keys(12, 5)), 6));
  const auto ch = to_bytes(sample_overlay(make_ch(distinct_keys(12, 5)), 6));
  test_support::expect_truncations_refused(ph,
                                           [](auto b) { load_blob<PerfectHashIndex>(b, false); });
  test_support::expect_truncations_refused(ch,
                                           [](auto b) { load_blob<CompactHashIndex>(b, false); });
  // Flips with the framing repaired, so the checks behind the hashes are reached.
  test_support::flip_every_byte(ph, reframe,
                                [](auto b) { loads_and_answers<PerfectHashIndex>(b, false); });
  test_support::flip_every_byte(ch, reframe,
                                [](auto b) { loads_and_answers<CompactHashIndex>(b, false); });
  test_support::scramble(ph, 7, 2000, reframe,
                         [](auto b) { loads_and_answers<PerfectHashIndex>(b, false); });
  // The same damage in the older format, which has no hashes to stop it.
  const auto base = make_ph({"a", "b", "c"})->to_bytes();
  const auto v1 = make_v1(BaseTag::PerfectHash, base, entries({"d", "", "é"}), 3, {0b11001});
  ASSERT_TRUE(loads_and_answers<PerfectHashIndex>(v1, false));
  test_support::expect_truncations_refused(v1,
                                           [](auto b) { load_blob<PerfectHashIndex>(b, false); });
  test_support::flip_every_byte(v1, nullptr,
                                [](auto b) { loads_and_answers<PerfectHashIndex>(b, false); });
}

// ---- Compaction --------------------------------------------------------------------------------

template <class H>
void expect_compacted(const Overlay<H>& ov) {
  const auto before = to_bytes(ov);
  const auto [fresh, remap] = compact_with_remap(ov);
  EXPECT_EQ(to_bytes(ov), before);  // the old overlay is untouched
  auto want = ov.keys();
  auto got = fresh.keys();
  EXPECT_EQ(got.size(), ov.len());
  std::sort(want.begin(), want.end());
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, want);
  EXPECT_EQ(fresh.id_space(), ov.len());
  EXPECT_EQ(fresh.len(), ov.len());
  EXPECT_TRUE(fresh.additions().bytes().empty());
  ASSERT_EQ(remap.size(), ov.id_space());
  std::vector<bool> seen(ov.len());
  for (std::uint64_t x = 0; x < ov.id_space(); ++x) {
    const auto k = ov.key(x);
    if (!k) {
      EXPECT_EQ(remap[x], kRetired) << x;
      continue;
    }
    ASSERT_LT(remap[x], ov.len());
    EXPECT_FALSE(seen[remap[x]]);
    seen[remap[x]] = true;
    EXPECT_EQ(fresh.key(remap[x]), k);
  }
  EXPECT_EQ(compact(ov).keys(), fresh.keys());
}

TEST(OverlayCompaction, PerfectHashGivesExactlyTheLiveKeysAndTheRemap) {
  for (bool fps : {false, true}) {
    auto ov = sample_overlay(make_ph(distinct_keys(300, 8), fps), 9);
    for (std::uint64_t x = 0;; ++x)
      if (auto k = ov.key(x)) {
        ov.remove(*k);
        break;
      }
    // A retired addition revived: it keeps its id until compaction, then is held once.
    for (std::uint64_t i = 0; i < ov.additions().count(); ++i)
      if (ov.retired(ov.base_len() + i)) {
        ov.add(std::string(ov.added_key(i)));
        break;
      }
    expect_compacted(ov);
    EXPECT_EQ(compact(ov).base()->has_fingerprints(), fps);
  }
  // Nothing live: an empty base, and a remap of retired ids only.
  Overlay<PH> gone(make_ph({"a", "b"}));
  gone.add("c");
  for (std::uint64_t x = 0; x < 3; ++x) gone.retire_id(x);
  const auto [empty, remap] = compact_with_remap(gone);
  EXPECT_EQ(empty.id_space(), 0u);
  EXPECT_EQ(remap, std::vector<std::uint64_t>(3, kRetired));
  // An empty base and no additions: an empty remap.
  const auto [none, nothing] = compact_with_remap(Overlay<PH>(make_ph({})));
  EXPECT_EQ(none.id_space(), 0u);
  EXPECT_TRUE(nothing.empty());
}

TEST(OverlayCompaction, ToFileWritesTheRebuiltBaseBlob) {
  ScratchDir dir;
  const auto ov = sample_overlay(make_ph(distinct_keys(200, 10), true), 11);
  const auto path = dir / "base.bmp";
  EXPECT_EQ(compact_to_file(ov, path), ov.len());
  EXPECT_EQ(fileio::read_file(path), compact(ov).base()->to_bytes());
  const auto back = PerfectHashIndex::load(path);
  EXPECT_EQ(back.len(), ov.len());
  for (const auto& k : ov.keys()) EXPECT_TRUE(back.contains(k)) << k;

  // An existing target keeps its permission bits.
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  Overlay<PH> small(make_ph({"x"}));
  EXPECT_EQ(compact_to_file(small, path), 1u);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A directory that does not exist: an I/O error and nothing created.
  try {
    compact_to_file(ov, dir / "missing" / "x.bmp");
    ADD_FAILURE() << "no error";
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Io);
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(OverlayCompaction, ALiveBaseKeyThatCannotBeReadFailsInsteadOfVanishing) {
  // A stored key that is not UTF-8 has no key() to give back: compaction would drop it while
  // reporting success. It is refused, and the overlay stays as it was.
  Overlay<PH> ov(make_ph({"ok", "\xff\xfe", "fine"}));
  ov.add("new");
  const auto before = to_bytes(ov);
  ScratchDir dir;
  EXPECT_EQ(format_error([&] { compact(ov); }), kKeyLost);
  EXPECT_EQ(format_error([&] { compact_with_remap(ov); }), kKeyLost);
  EXPECT_EQ(format_error([&] { compact_to_file(ov, dir / "x"); }), kKeyLost);
  EXPECT_FALSE(std::filesystem::exists(dir / "x"));
  EXPECT_EQ(to_bytes(ov), before);
  // Once that id is retired, nothing is lost and compaction goes ahead.
  ASSERT_TRUE(ov.retire_id(*ov.base()->id("\xff\xfe")));
  EXPECT_EQ(compact(ov).len(), 3u);
}

TEST(OverlayCompaction, StringIndexRenumbersByRank) {
  Overlay<SI> ov(make_si({"b", "d"}));
  EXPECT_EQ(ov.add("a"), 2u);
  EXPECT_TRUE(ov.remove("d"));
  const auto [fresh, remap] = compact_with_remap(ov);
  EXPECT_EQ(fresh.keys(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(fresh.id_space(), 2u);
  EXPECT_EQ(remap, (std::vector<std::uint64_t>{1, kRetired, 0}));
  // No edits: the same keys with the same ids.
  Overlay<SI> plain(make_si({"b", "a"}));
  EXPECT_EQ(compact(plain).keys(), (std::vector<std::string>{"a", "b"}));

  auto big = sample_overlay(make_si(distinct_keys(300, 12)), 13);
  big.add("");  // the empty key is held by the base already, or becomes rank 0
  expect_compacted(big);
  const auto c = compact(big);
  auto sorted = big.keys();
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(c.keys(), sorted);  // ids are ranks in byte order

  ScratchDir dir;
  EXPECT_EQ(compact_to_file(big, dir / "s.bix"), big.len());
  EXPECT_EQ(fileio::read_file(dir / "s.bix"), c.base()->to_bytes());
  EXPECT_EQ(
      Overlay<SI>(std::make_shared<const StringIndex>(StringIndex::load(dir / "s.bix"))).keys(),
      sorted);
}

TEST(OverlayCompaction, StringIndexKeyThatIsNotUtf8IsNotLost) {
  Overlay<SI> ov(make_si({"a", "b\xff", "c"}));
  EXPECT_EQ(ov.key(1), std::nullopt);
  EXPECT_EQ(ov.keys(), (std::vector<std::string>{"a", "c"}));  // keys() skips what it cannot read
  const auto before = to_bytes(ov);
  EXPECT_EQ(format_error([&] { compact_with_remap(ov); }), kKeyLost);
  EXPECT_EQ(to_bytes(ov), before);
  ov.retire_id(1);
  EXPECT_EQ(compact(ov).keys(), (std::vector<std::string>{"a", "c"}));
}

TEST(OverlayBlob, StringIndexBaseIsLoadedAsTheFlagSays) {
  // A base key that is not UTF-8 passes the trusted load (checksum and rank check) and is refused
  // by the validating load.
  const auto blob = to_bytes(Overlay<SI>(make_si({"a\xff", "b"})));
  EXPECT_NO_THROW(load_blob<StringIndex>(blob, false));
  EXPECT_THROW(load_blob<StringIndex>(blob, true), IndexError);
  EXPECT_EQ(format_error([&] { load_blob<PerfectHashIndex>(blob, false); }), kOtherBase);
  // The base's own errors pass unchanged: a damaged transducer behind a repaired payload hash.
  auto bad = to_bytes(Overlay<SI>(make_si({"a", "b", "c"})));
  bad[kHeaderV2 + 20] ^= 1;
  reframe(bad);
  for (bool untrusted : {false, true}) {
    try {
      load_blob<StringIndex>(bad, untrusted);
      ADD_FAILURE() << "loaded";
    } catch (const IndexError& e) {
      EXPECT_NE(std::string(e.what()).find("fst"), std::string::npos) << e.what();
    }
  }
  // Both variants of the loader tell one base kind from another by the tag.
  const auto any = load_blob(to_bytes(sample_overlay(make_si(distinct_keys(9, 3)), 4)),
                             BaseTag::StringIndex, true);
  EXPECT_EQ(any.index(), 0u);
  EXPECT_EQ(load_blob(to_bytes(Overlay<CH>(make_ch({"x"}))), BaseTag::CompactHash, false).index(),
            2u);
}

TEST(OverlayBlob, DamagedStringIndexOverlaysNeverCrash) {
  const auto blob = to_bytes(sample_overlay(make_si(distinct_keys(12, 5)), 6));
  for (bool untrusted : {false, true}) {
    test_support::expect_truncations_refused(blob,
                                             [&](auto b) { load_blob<StringIndex>(b, untrusted); });
    test_support::flip_every_byte(blob, reframe,
                                  [&](auto b) { loads_and_answers<StringIndex>(b, untrusted); });
  }
}

// Each field lands at its drawn offset, and the reader gives back what the writer was given.
TEST(OverlayHeader, FieldsSitWhereDrawnAndReadBack) {
  HeaderV2 h;
  h.tag = 3;
  h.base_len = 0x0102030405060708;
  h.additions = 0x1112131415161718;
  h.addition_bytes = 0x2122232425262728;
  h.tombstone_words = 0x3132333435363738;
  h.payload = 0x4142434445464748;
  const auto b = h.write();
  EXPECT_TRUE(blob::has_magic(b, "OVL2"));
  EXPECT_EQ(b[4], 3);
  EXPECT_EQ(bytes::load_u64(b.data() + 5), h.base_len);
  EXPECT_EQ(bytes::load_u64(b.data() + 13), h.additions);
  EXPECT_EQ(bytes::load_u64(b.data() + 21), h.addition_bytes);
  EXPECT_EQ(bytes::load_u64(b.data() + 29), h.tombstone_words);
  EXPECT_EQ(bytes::load_u64(b.data() + 37), h.payload);
  EXPECT_EQ(bytes::load_u32(b.data() + 45), blob::header_check(std::span(b).first(45)));
  const HeaderV2 r = HeaderV2::parse(b);
  EXPECT_EQ(r.tag, h.tag);
  EXPECT_EQ(r.base_len, h.base_len);
  EXPECT_EQ(r.additions, h.additions);
  EXPECT_EQ(r.addition_bytes, h.addition_bytes);
  EXPECT_EQ(r.tombstone_words, h.tombstone_words);
  EXPECT_EQ(r.payload, h.payload);
  EXPECT_EQ(r.check, bytes::load_u32(b.data() + 45));
  EXPECT_EQ(format_error([&] { HeaderV2::parse(std::span(b).first(48)); }), kBadMagic);

  const HeaderV1 v1 = HeaderV1::parse(std::span(b).first(HeaderV1::kBytes));
  EXPECT_EQ(v1.tag, h.tag);
  EXPECT_EQ(v1.base_len, h.base_len);
  EXPECT_EQ(v1.additions, h.additions);
  EXPECT_EQ(format_error([&] { HeaderV1::parse(std::span(b).first(20)); }), kBadMagic);
}

}  // namespace
}  // namespace quenlith::overlay
