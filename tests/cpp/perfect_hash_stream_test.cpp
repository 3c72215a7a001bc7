// The streamed perfect-hash build against the in-memory build, on both layouts of pass 2, and
// every way a source can fail it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "perfect_hash.hpp"
#include "stream_testing.hpp"

using namespace quenlith;
using perfect_hash::PerfectHashIndex;
using test_support::distinct_keys;
using test_support::expect_clean_failure;
using test_support::file_bytes;
using test_support::listing;
using test_support::ScratchDir;
using test_support::ScriptedSource;
using test_support::views;

namespace {

constexpr const char* kNoReplay =
    "perfect-hash: the source did not replay the same keys in the same order";
constexpr const char* kRepeated =
    "perfect-hash: build_to_file needs distinct keys and the source repeated one";
constexpr const char* kRaised = "perfect-hash: the source raised before it ended";

// Keys beginning with '#' all share one h1; the rest hash as usual.
hash::Pair colliding_hash(std::string_view key) {
  hash::Pair hp = hash::hash_pair(key);
  if (!key.empty() && key[0] == '#') hp.h1 = 0x5EED5EED5EED5EEDull;
  return hp;
}

std::uint64_t build(key_source::KeySource& source, const std::filesystem::path& path,
                    bool fingerprints, std::uint64_t window, unsigned threads = 2,
                    hash::Pair (*hash)(std::string_view) = hash::hash_pair) {
  return perfect_hash::detail::build_to_file_hashed(source, path, fingerprints, window, threads,
                                                    hash);
}

std::uint64_t data_len(const std::vector<std::string>& keys) {
  std::uint64_t d = 0;
  for (const auto& k : keys) d += k.size();
  return d;
}

// The in-memory blob of keys hashed by `hash`, collisions ordered by source position.
std::vector<std::uint8_t> in_memory(const std::vector<std::string>& keys, bool fingerprints,
                                    hash::Pair (*hash)(std::string_view)) {
  std::vector<std::uint64_t> h1;
  std::vector<std::uint8_t> fp;
  for (const auto& k : keys) {
    h1.push_back(hash(k).h1);
    fp.push_back(static_cast<std::uint8_t>(hash(k).h2));
  }
  std::optional<std::span<const std::uint8_t>> fps;
  if (fingerprints) fps = std::span<const std::uint8_t>(fp);
  const auto v = views(keys);
  return PerfectHashIndex::build_with_collisions(v, h1, fps, 0, 2).to_bytes();
}

TEST(PerfectHashStream, EqualsInMemoryBuildOnBothLayouts) {
  ScratchDir dir;
  for (std::size_t n : {1u, 2u, 17u, 300u, 5000u}) {
    std::vector<std::string> keys = distinct_keys(n, 7 + n);
    std::shuffle(keys.begin(), keys.end(), std::mt19937_64(n));
    const std::uint64_t d = data_len(keys);
    for (bool fps : {false, true}) {
      const auto v = views(keys);
      const std::vector<std::uint8_t> want = PerfectHashIndex::build_with(v, fps).to_bytes();
      // Direct (the window holds every byte, exactly or with room), then windowed with windows
      // from one byte to about a third of the key bytes.
      // Every window is flushed on its own: tiny windows only for few keys.
      std::vector<std::uint64_t> windows = {d + 1000, std::max<std::uint64_t>(d, 1), d / 3 + 1};
      if (n <= 17) windows.insert(windows.end(), {1, 7});
      if (n == 300) windows.push_back(61);
      for (std::uint64_t window : windows) {
        ScriptedSource source({keys});
        const auto path = dir / "out.bmp";
        ASSERT_EQ(build(source, path, fps, window), n);
        EXPECT_EQ(file_bytes(path), want) << n << " keys, window " << window << ", fps " << fps;
        EXPECT_EQ(source.opened(), 2u);
        EXPECT_EQ(listing(dir.path()), std::set<std::string>{"out.bmp"});
      }
    }
  }
}

TEST(PerfectHashStream, SpillsOnlyWhenTheKeyBytesPassOneWindow) {
  ScratchDir dir;
  const std::vector<std::string> keys = distinct_keys(200, 3);
  const std::uint64_t d = data_len(keys);
  for (std::uint64_t window : {d, d - 1}) {
    ScriptedSource source({keys});
    std::set<std::string> during_pass2;
    source.on_open = [&](std::size_t i) {
      if (i == 1) during_pass2 = listing(dir.path());
    };
    build(source, dir / "out.bmp", false, window);
    std::size_t spills = 0;
    for (const auto& name : during_pass2) spills += name.ends_with(".spill");
    EXPECT_EQ(spills, window == d ? 0u : 1u) << window;
    EXPECT_FALSE(listing(dir.path()).contains("out.bmp.spill"));
  }
}

// The spill file lies beside the output, named after its base name with the process id and the
// next sequence number; a name already taken is passed over, and 128 taken names in a row are an
// "already exists" error that leaves those files alone.
TEST(PerfectHashStream, SpillNamesFollowTheOutputAndTheSequence) {
  ScratchDir dir;
  const std::string pid = std::to_string(::getpid());
  auto seq_of = [&](const std::filesystem::path& spill, const std::string& base) {
    const std::string name = spill.filename().string();
    const std::string head = base + "." + pid + ".";
    EXPECT_TRUE(name.starts_with(head) && name.ends_with(".spill")) << name;
    return std::stoull(name.substr(head.size(), name.size() - head.size() - 6));
  };
  std::uint64_t seq = 0;
  {
    perfect_hash::Spill spill = perfect_hash::Spill::create(dir / "words.idx");
    EXPECT_EQ(spill.path().parent_path(), dir.path());
    seq = seq_of(spill.path(), "words.idx");
    EXPECT_TRUE(std::filesystem::exists(spill.path()));
  }
  EXPECT_TRUE(listing(dir.path()).empty());
  {
    // A path that does not end in a normal name spills as "index" in that directory.
    perfect_hash::Spill spill = perfect_hash::Spill::create(dir.path() / "");
    EXPECT_EQ(spill.path().parent_path(), dir.path());
    EXPECT_EQ(seq_of(spill.path(), "index"), seq + 1);
  }
  auto taken = [&](std::uint64_t s) {
    return dir / ("words.idx." + pid + "." + std::to_string(s) + ".spill");
  };
  blob::write_atomically(taken(seq + 2), std::vector<std::uint8_t>{'x'});
  {
    perfect_hash::Spill spill = perfect_hash::Spill::create(dir / "words.idx");
    EXPECT_EQ(seq_of(spill.path(), "words.idx"), seq + 3);
  }
  for (std::uint64_t s = seq + 4; s < seq + 4 + 128; ++s)
    blob::write_atomically(taken(s), std::vector<std::uint8_t>{'x'});
  try {
    perfect_hash::Spill::create(dir / "words.idx");
    ADD_FAILURE() << "128 taken names gave a spill file";
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Io);
    EXPECT_EQ(e.io_kind(), IndexError::IoKind::AlreadyExists);
    EXPECT_STREQ(e.what(), "io error: entity already exists");
  }
  EXPECT_EQ(listing(dir.path()).size(), 129u);
  EXPECT_EQ(file_bytes(taken(seq + 2)), std::vector<std::uint8_t>{'x'});
}

TEST(PerfectHashStream, EmptyKeysAtTheEndAndKeysAcrossWindows) {
  ScratchDir dir;
  // Long keys straddle many small windows; the empty key last starts at D, in the last window.
  std::vector<std::string> keys;
  for (int i = 0; i < 40; ++i)
    keys.push_back(std::string(37 + i, static_cast<char>('a' + i % 26)) + std::to_string(i));
  keys.push_back("");
  for (std::uint64_t window : {23u, 64u, 100u}) {
    for (bool fps : {false, true}) {
      ScriptedSource source({keys});
      const auto path = dir / "k.bmp";
      build(source, path, fps, window);
      const auto v = views(keys);
      EXPECT_EQ(file_bytes(path), PerfectHashIndex::build_with(v, fps).to_bytes()) << window;
    }
  }
}

TEST(PerfectHashStream, NoKeysWritesTheEmptyIndexAndOpensOnce) {
  ScratchDir dir;
  for (bool fps : {false, true}) {
    ScriptedSource source(std::vector<std::vector<std::string>>{{}});
    const auto path = dir / "empty.bmp";
    EXPECT_EQ(build(source, path, fps, 16), 0u);
    EXPECT_EQ(source.opened(), 1u);
    EXPECT_EQ(file_bytes(path), PerfectHashIndex::build_with({}, fps).to_bytes());
  }
}

TEST(PerfectHashStream, CollidingKeysTakeTheTailInSourceOrder) {
  ScratchDir dir;
  std::vector<std::string> keys = distinct_keys(600, 11);
  // Two colliding groups interleaved with ordinary keys, in no byte-wise order.
  for (const char* k : {"#zeta", "#alpha", "#mu", "#", "#beta"})
    keys.insert(keys.begin() + static_cast<std::ptrdiff_t>(keys.size() / 3), k);
  const std::uint64_t d = data_len(keys);
  for (bool fps : {false, true}) {
    const auto want = in_memory(keys, fps, colliding_hash);
    for (std::uint64_t window : {d, std::uint64_t{97}}) {
      ScriptedSource source({keys});
      const auto path = dir / "c.bmp";
      ASSERT_EQ(build(source, path, fps, window, 3, colliding_hash), keys.size());
      ASSERT_EQ(file_bytes(path), want);
    }
  }
  // With the real hash: the blob loads and finds every key.
  ScriptedSource source({keys});
  build(source, dir / "r.bmp", false, 64);
  const PerfectHashIndex idx = PerfectHashIndex::load(dir / "r.bmp");
  for (const auto& k : keys) EXPECT_EQ(idx.key(*idx.id(k)), k);
}

// The in-memory build gives a colliding group's slot to its byte-wise smallest key and the tail
// ids in byte order, whatever the input order; the streamed build follows the source instead.
// The two agree exactly when the source yields each group in byte order.
TEST(PerfectHashStream, CollisionOrderIsTheSourcesWhereInMemoryItIsTheBytes) {
  ScratchDir dir;
  const std::vector<std::string> group = {"#", "#alpha", "#beta", "#mu"};
  std::vector<std::string> keys = distinct_keys(300, 13);
  for (std::size_t i = 0; i < group.size(); ++i)
    keys.insert(keys.begin() + static_cast<std::ptrdiff_t>(40 + 70 * i), group[i]);
  const auto in_memory_bytes =
      perfect_hash::detail::build_with_hash(views(keys), false, 2, colliding_hash).to_bytes();
  const auto path = dir / "o.bmp";
  ScriptedSource sorted_group({keys});
  build(sorted_group, path, false, 64, 2, colliding_hash);
  EXPECT_EQ(file_bytes(path), in_memory_bytes);

  // The group yielded in reverse: "#mu" keeps the slot, the others take u, u + 1, u + 2 in the
  // order they come.
  std::vector<std::string> reversed = keys;
  std::vector<std::size_t> at;
  for (std::size_t i = 0; i < reversed.size(); ++i)
    if (std::find(group.begin(), group.end(), reversed[i]) != group.end()) at.push_back(i);
  for (std::size_t j = 0; j < at.size(); ++j) reversed[at[j]] = group[group.size() - 1 - j];
  std::vector<std::string> shuffled = reversed;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(5));
  EXPECT_EQ(
      perfect_hash::detail::build_with_hash(views(shuffled), false, 2, colliding_hash).to_bytes(),
      in_memory_bytes);
  for (std::uint64_t window : {std::uint64_t{1} << 20, std::uint64_t{64}}) {
    ScriptedSource source({reversed});
    build(source, path, false, window, 2, colliding_hash);
    const auto blob = file_bytes(path);
    EXPECT_NE(blob, in_memory_bytes);
    const PerfectHashIndex idx = PerfectHashIndex::from_bytes(blob);
    const std::uint64_t u = idx.len() - 3;
    auto id_of = [&](const std::string& k) { return idx.id_hashed(k, colliding_hash(k)); };
    EXPECT_LT(*id_of("#mu"), u);
    EXPECT_EQ(id_of("#beta"), u);
    EXPECT_EQ(id_of("#alpha"), u + 1);
    EXPECT_EQ(id_of("#"), u + 2);
    for (const auto& k : keys) EXPECT_EQ(idx.key(*id_of(k)), k);
  }
}

TEST(PerfectHashStream, ThreadCountDoesNotChangeTheBytes) {
  ScratchDir dir;
  std::vector<std::string> keys = distinct_keys(40000, 5);
  keys.push_back("#one");
  keys.push_back("#two");
  std::vector<std::uint8_t> first;
  for (unsigned threads : {1u, 2u, 4u}) {
    for (std::uint64_t window : {std::uint64_t{1} << 30, std::uint64_t{4096}}) {
      ScriptedSource source({keys});
      build(source, dir / "t.bmp", true, window, threads, colliding_hash);
      const auto bytes = file_bytes(dir / "t.bmp");
      if (first.empty()) first = bytes;
      EXPECT_EQ(bytes, first) << threads << " threads, window " << window;
    }
  }
}

// Each replay fault on each layout: the Part's error, the target untouched, nothing left over.
TEST(PerfectHashStream, ReplayFaultsLeaveTheTargetUntouched) {
  ScratchDir dir;
  std::vector<std::string> keys = distinct_keys(300, 21);
  keys.push_back("#same-len-a");
  const auto path = dir / "target.bmp";
  const std::vector<std::uint8_t> before = {'o', 'l', 'd'};
  blob::write_atomically(path, before);

  std::vector<std::string> more = keys;
  more.push_back("extra");
  std::vector<std::string> fewer(keys.begin(), keys.end() - 1);
  std::vector<std::string> swapped = keys;
  std::swap(swapped[10], swapped[11]);
  std::vector<std::string> changed = keys;
  changed.back() = "#same-len-b";  // same h1 and length, another h2: only the digest tells
  for (std::uint64_t window : {std::uint64_t{1} << 20, std::uint64_t{50}}) {
    for (const auto& second : {more, fewer, swapped, changed}) {
      ScriptedSource source({keys, second});
      expect_clean_failure([&] { build(source, path, false, window, 2, colliding_hash); },
                           IndexError::Kind::Build, kNoReplay, path, before);
    }
  }
}

TEST(PerfectHashStream, RepeatedKeysAreRefusedAgainstEveryEarlierKeyOfTheirH1) {
  ScratchDir dir;
  const auto path = dir / "r.bmp";
  const std::vector<std::uint8_t> before = {'k', 'e', 'e', 'p'};
  blob::write_atomically(path, before);
  const std::vector<std::string> base = distinct_keys(50, 2, "w");
  // A repeat of the representative, a repeat of a later collision (never compared with the
  // representative alone), a key three times, and a plain repeat.
  for (const std::vector<std::string>& extra : {std::vector<std::string>{"#a", "#b", "#a"},
                                                {"#a", "#b", "#c", "#b"},
                                                {"#a", "#b", "#b", "#b"},
                                                {"wx", "plain", "wy", "plain"}}) {
    std::vector<std::string> keys = base;
    keys.insert(keys.begin() + 20, extra.begin(), extra.end());
    for (std::uint64_t window : {std::uint64_t{1} << 20, std::uint64_t{8}}) {
      ScriptedSource source({keys});
      expect_clean_failure([&] { build(source, path, true, window, 2, colliding_hash); },
                           IndexError::Kind::Build, kRepeated, path, before);
    }
  }
}

TEST(PerfectHashStream, ASourceThatFailsOnEitherPassWritesNothing) {
  ScratchDir dir;
  const std::vector<std::string> keys = distinct_keys(400, 8);
  const auto path = dir / "f.bmp";
  for (int fail_from : {0, 1}) {
    for (std::uint64_t window : {std::uint64_t{1} << 20, std::uint64_t{33}}) {
      // Pass 2 gives every key, so only the failure check can refuse the build.
      ScriptedSource source({keys});
      source.fail_from = fail_from;
      expect_clean_failure([&] { build(source, path, false, window); }, IndexError::Kind::Format,
                           kRaised, path, {});
      EXPECT_EQ(source.opened(), fail_from == 0 ? 1u : 2u);
    }
  }
  // A source that fails before its first key never yields an empty index.
  ScriptedSource empty(std::vector<std::vector<std::string>>{{}});
  empty.fail_from = 0;
  expect_clean_failure([&] { build(empty, path, false, 64); }, IndexError::Kind::Format, kRaised,
                       path, {});
}

TEST(PerfectHashStream, KeysFileSourceFeedsBothPassesAndReportsBadLines) {
  ScratchDir dir;
  const auto keys_path = dir / "keys.txt";
  blob::write_atomically(keys_path, bytes::as_bytes(std::string_view("b\r\nalpha\n\n\ngamma")));
  key_source::KeysFile file(keys_path);
  const auto out = dir / "out.bmp";
  EXPECT_EQ(PerfectHashIndex::build_to_file(file, out), 3u);
  EXPECT_EQ(file.skipped(), 2u);
  const std::vector<std::string_view> want = {"b", "alpha", "gamma"};
  EXPECT_EQ(file_bytes(out), PerfectHashIndex::build(want).to_bytes());

  // A line that is not UTF-8 ends the pass; the build refuses the truncated corpus.
  const auto bad_path = dir / "bad.txt";
  blob::write_atomically(bad_path, bytes::as_bytes(std::string_view("x\ny\n\xff\xfe\nz\n")));
  key_source::KeysFile bad(bad_path);
  const std::vector<std::uint8_t> before = file_bytes(out);
  expect_clean_failure([&] { PerfectHashIndex::build_to_file(bad, out); }, IndexError::Kind::Format,
                       kRaised, out, before);
  EXPECT_EQ(bad.failure(), bad_path.string() + ":3: stream did not contain valid UTF-8");

  // A keys file that cannot be opened never yields the empty index.
  key_source::KeysFile missing(dir / "absent.txt");
  expect_clean_failure([&] { PerfectHashIndex::build_to_file(missing, out); },
                       IndexError::Kind::Format, kRaised, out, before);
}

}  // namespace
