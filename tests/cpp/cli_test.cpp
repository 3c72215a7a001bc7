#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "cli.hpp"
#include "closed_hash.hpp"
#include "compact_hash.hpp"
#include "dict_index.hpp"
#include "fileio.hpp"
#include "hashed_dict.hpp"
#include "perfect_hash.hpp"
#include "string_index.hpp"

namespace quenlith::cli {
namespace {

Cmd parse_build(std::vector<std::string> args) {
  args.insert(args.begin(), {"k", "o"});
  return parse(args, CmdKind::Build, 2, "build <keys-file> <out-blob> [options]");
}

Cmd parse_plan(std::vector<std::string> args) {
  args.insert(args.begin(), "k");
  return parse(args, CmdKind::Plan, 1, "plan <keys-file> [needs]");
}

TEST(CliParse, StreamSizes) {
  const auto size = [](const char* v) { return parse_build({"--stream", v}).stream; };
  EXPECT_EQ(size("512M"), (StreamMode{StreamMode::Kind::Size, 536870912}));
  EXPECT_EQ(size("+1g"), (StreamMode{StreamMode::Kind::Size, 1073741824}));
  EXPECT_EQ(size("0"), (StreamMode{StreamMode::Kind::Size, 0}));
  EXPECT_EQ(size("7k"), (StreamMode{StreamMode::Kind::Size, 7168}));
  EXPECT_EQ(size("18446744073709551615"), (StreamMode{StreamMode::Kind::Size, UINT64_MAX}));
  EXPECT_EQ(size("always").kind, StreamMode::Kind::Always);
  EXPECT_EQ(size("never").kind, StreamMode::Kind::Never);
  EXPECT_EQ(parse_build({}).stream.kind, StreamMode::Kind::Auto);
  for (const char* bad :
       {"K", "1.5G", "512MB", "18446744073709551616", "17179869184G", "-1", "+", "Always", " 1"}) {
    try {
      parse_build({"--stream", bad});
      ADD_FAILURE() << bad;
    } catch (const Fail& f) {
      EXPECT_EQ(f.kind, Fail::Kind::Usage) << bad;
    }
  }
}

TEST(CliParse, ObjectivesAndBlocks) {
  const Objective o =
      parse_plan({"--objective", "hits=9,misses=1,hits=+3,batch=4294967295"}).objective;
  EXPECT_EQ(o.kind, Objective::Kind::Workload);
  const estimate::Workload& w = o.workload;
  EXPECT_EQ(w.hits, 3u);
  EXPECT_EQ(w.misses, 1u);
  EXPECT_EQ(w.batch, 4294967295u);
  EXPECT_EQ(w.reverse + w.prefix + w.common_prefix + w.longest_prefix, 0u);
  EXPECT_EQ(parse_plan({"--objective=hits=2"}).objective,
            parse_plan({"--objective", "hits=2"}).objective);
  EXPECT_EQ(parse_plan({"--objective", "latency"}).objective.kind, Objective::Kind::Latency);
  EXPECT_EQ(parse_plan({}).objective.kind, Objective::Kind::Memory);
  EXPECT_EQ(parse_build({"--block", "fast", "--block=compact"}).block, 1024u);
  EXPECT_EQ(parse_build({"--block", "+0064"}).block, 64u);
  EXPECT_EQ(parse_build({"--index", "auto"}).index, std::nullopt);
  EXPECT_EQ(parse_build({"--index", "string"}).index, IndexKind::StringIndex);
}

TEST(CliParse, ExactIsImpliedUnlessExactOrClosedVocabularyIsGiven) {
  Cmd c = parse_plan({});
  EXPECT_TRUE(c.needs.exact && c.exact_implied);
  c = parse_plan({"--exact=no"});
  EXPECT_TRUE(c.needs.exact && !c.exact_implied);
  c = parse_plan({"--closed-vocabulary"});
  EXPECT_TRUE(!c.needs.exact && !c.exact_implied);
  c = parse_plan({"--closed-vocabulary", "--exact", "--reverse", "--reverse", "--fuzzy"});
  EXPECT_EQ(c.needs, (Needs{true, false, false, true, true}));
  EXPECT_FALSE(c.exact_implied);
  // inspect and dump never imply it; "-" and the empty string are positionals.
  c = parse({std::vector<std::string>{"-"}}, CmdKind::Inspect, 1, "inspect <blob> [--sections]");
  EXPECT_FALSE(c.needs.exact);
  EXPECT_EQ(parse(std::vector<std::string>{""}, CmdKind::Dump, 1, "dump <blob>").positionals,
            std::vector<std::string>{""});
}

TEST(CliBuild, ThresholdFromMeminfo) {
  constexpr std::uint64_t GiB = std::uint64_t{1} << 30;
  EXPECT_EQ(threshold_from_meminfo(std::nullopt), GiB);
  EXPECT_EQ(threshold_from_meminfo("MemTotal: 100 kB\nMemAvailable:   8000 kB\n"), 8000u * 256);
  EXPECT_EQ(threshold_from_meminfo("MemAvailable: +4 kB\r\nMemAvailable: 8 kB\n"), 1024u);
  EXPECT_EQ(threshold_from_meminfo("MemFree: 4 kB\n"), GiB);
  EXPECT_EQ(threshold_from_meminfo("MemAvailable: x kB\n"), GiB);
  EXPECT_EQ(threshold_from_meminfo("MemAvailable:\nMemAvailable: 4 kB\n"), GiB);
  EXPECT_EQ(threshold_from_meminfo("MemAvailable:     \n"), GiB);
  // 2^54 kB is 2^64 bytes: the product overflows.
  EXPECT_EQ(threshold_from_meminfo("MemAvailable: 18014398509481984 kB\n"), GiB);
  EXPECT_EQ(threshold_from_meminfo("MemAvailable: 18014398509481983 kB\n"),
            (std::uint64_t{18014398509481983} * 1024) / 4);
}

TEST(CliBuild, PartialAndSpillPathsLieBesideTheOutput) {
  EXPECT_EQ(partial_path("out.blob", 42), "out.blob.part.42");
  EXPECT_EQ(partial_path("/a/b/out.blob", 7), "/a/b/out.blob.part.7");
  EXPECT_EQ(partial_path("/a/b/", 7), "/a/b/.part.7");
  EXPECT_EQ(partial_path("..", 7), "../.part.7");
  EXPECT_EQ(spill_path("/a/b/out.blob", 7), "/a/b/out.blob.keys.7");
  EXPECT_EQ(spill_path("..", 7), "../.keys.7");
}

// Standard output is flushed however a run ends: a panic or an allocation failure that leaves
// the run must not leave a buffered line behind for the next run to deliver.
TEST(CliStreams, StandardOutputIsFlushedOnEveryWayOut) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("cli_flush." + std::to_string(::getpid()));
  const auto contents = [&] {
    const auto written = fileio::read_file(path);
    return std::string(written.begin(), written.end());
  };
  fileio::File file = fileio::File::create(path);
  Output out(file.fd(), true);
  try {
    FlushOnExit flush(out);
    out.write("a line\nhalf a line");
    throw Panic("a broken invariant");
  } catch (const Panic&) {
  }
  EXPECT_EQ(contents(), "a line\nhalf a line");
  {
    FlushOnExit flush(out);
    out.write("; the rest");
  }
  EXPECT_EQ(contents(), "a line\nhalf a line; the rest");
  std::filesystem::remove(path);
}

// The in-memory route writes exactly the library's blob for the keys, duplicates included, and
// reports the length of what it wrote.
TEST(CliBuild, InMemoryBlobsEqualTheLibrarys) {
  std::vector<std::string> keys;
  for (int i = 0; i < 5000; ++i) keys.push_back("key" + std::to_string(i % 4000));
  const std::vector<std::string_view> views(keys.begin(), keys.end());
  const auto dir =
      std::filesystem::temp_directory_path() / ("cli_test." + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto out = dir / "o.blob";
  const auto built = [&](IndexKind kind, std::optional<std::uint64_t> block = std::nullopt) {
    const Written written = build_and_save(kind, views, out, block);
    EXPECT_EQ(written.keys, 4000u);
    std::vector<std::uint8_t> blob = fileio::read_file(out);
    EXPECT_EQ(written.bytes, blob.size());
    return blob;
  };
  EXPECT_EQ(built(IndexKind::StringIndex), string_index::StringIndex::build(views).to_bytes());
  EXPECT_EQ(built(IndexKind::DictIndex),
            dict_index::DictIndex::build_with_block(views, 256).to_bytes());
  EXPECT_EQ(built(IndexKind::DictIndex, 32),
            dict_index::DictIndex::build_with_block(views, 32).to_bytes());
  EXPECT_EQ(built(IndexKind::PerfectHashIndex),
            perfect_hash::PerfectHashIndex::build_with(views, false).to_bytes());
  EXPECT_EQ(built(IndexKind::CompactHashIndex),
            compact_hash::CompactHashIndex::build_from_pairs(compact_hash::hash_keys(views, 1), 8)
                .to_bytes());
  std::vector<hash::Pair> pairs;
  for (auto k : views) pairs.push_back(hash::hash_pair(k));
  const auto closed = closed_hash::ClosedHashIndex::build_from_pairs(pairs);
  closed.save(dir / "c");
  EXPECT_EQ(built(IndexKind::ClosedHashIndex), fileio::read_file(dir / "c"));
  std::filesystem::remove_all(dir);
}

struct Dumped {
  std::string out;
  std::optional<Fail> fail;
};

// Runs `dump` of the blob at `blob` with standard output going to a file.
Dumped dump_of(const std::filesystem::path& blob) {
  const auto out_path = blob.string() + ".out";
  Dumped d;
  {
    fileio::File file = fileio::File::create(out_path);
    Output out(file.fd(), true);
    try {
      cmd_dump(std::vector<std::string>{blob.string()}, out);
    } catch (const Fail& f) {
      d.fail = f;
    }
    out.flush();
  }
  const auto written = fileio::read_file(out_path);
  d.out.assign(written.begin(), written.end());
  return d;
}

class CliDump : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(dir_); }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  const std::filesystem::path dir_ =
      std::filesystem::temp_directory_path() / ("cli_dump." + std::to_string(::getpid()));
};

// A transducer can hold bytes that are not UTF-8; written out with replacement characters they
// would come back from `build` as other keys, so dump refuses them, naming the id, after the keys
// before them.
TEST_F(CliDump, RefusesAKeyThatIsNotUtf8) {
  const std::vector<std::string_view> keys{"a", "b\xff", "c"};
  string_index::StringIndex::build(keys).save(dir_ / "s.blob");
  const Dumped d = dump_of(dir_ / "s.blob");
  ASSERT_TRUE(d.fail);
  EXPECT_EQ(d.fail->kind, Fail::Kind::Work);
  EXPECT_EQ(d.fail->message, "id 1 is not UTF-8, which a keys file cannot carry");
  EXPECT_EQ(d.out, "a\n");
}

// A dictionary, whose walk does not check its key bytes, refuses a key that is not UTF-8 as a
// transducer does, naming its id after the keys before it.
TEST_F(CliDump, DictionaryRefusesAKeyThatIsNotUtf8) {
  const std::vector<std::string_view> keys{"a", "b\xff", "c"};
  dict_index::DictIndex::build_with_block(keys, 2).save(dir_ / "d.blob");
  const Dumped d = dump_of(dir_ / "d.blob");
  ASSERT_TRUE(d.fail);
  EXPECT_EQ(d.fail->message, "id 1 is not UTF-8, which a keys file cannot carry");
  EXPECT_EQ(d.out, "a\n");
}

// A hashed dictionary dumps the keys of the dictionary inside it, in rank order.
TEST_F(CliDump, HashedDictionaryDumpsItsDictionary) {
  std::vector<std::string> keys;
// GCC 12 reports a false -Wrestrict inside std::string's operator+(const char*, std::string&&)
// (GCC bug 105651); the strings never overlap.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
  for (int i = 0; i < 3000; ++i) keys.push_back("k" + std::to_string(i * 7 % 3000));
#pragma GCC diagnostic pop
  const std::vector<std::string_view> views(keys.begin(), keys.end());
  auto dict = std::make_shared<const dict_index::DictIndex>(
      dict_index::DictIndex::build_with_block(views, 64));
  hashed_dict::HashedDictIndex::from_shared_dict(dict, 8).save(dir_ / "h.blob");
  std::sort(keys.begin(), keys.end());
  std::string expected;
  for (const auto& k : keys) expected += k + "\n";
  const Dumped d = dump_of(dir_ / "h.blob");
  EXPECT_FALSE(d.fail);
  EXPECT_EQ(d.out, expected);
}

}  // namespace
}  // namespace quenlith::cli
