// The map builder: byte-identical output, insert errors, file output, and a model check.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "fst/builder.hpp"
#include "fst/fst.hpp"
#include "vectors.hpp"

namespace {

using namespace fst_test;
using fst::Error;
using fst::ErrorKind;
using fst::Fst;
using fst::MapBuilder;

Bytes build_in_memory(const BuildCase& c) {
  MapBuilder b = MapBuilder::memory();
  for (auto& [k, v] : c.keys) b.insert(span_of(k), v);
  EXPECT_EQ(b.len(), c.len);
  return b.into_inner();
}

void expect_same_file(const Bytes& got, const BuildCase& c) {
  ASSERT_EQ(got.size(), c.size) << c.name;
  if (got != c.fst) {
    std::size_t i = 0;
    while (got[i] == c.fst[i]) ++i;
    ADD_FAILURE() << c.name << ": first difference at offset " << i;
    return;
  }
  Fst f(span_of(got));
  EXPECT_EQ(f.root_addr(), c.root_addr);
  const std::size_t n = got.size();
  const std::uint32_t stored =
      static_cast<std::uint32_t>(got[n - 4]) | static_cast<std::uint32_t>(got[n - 3]) << 8 |
      static_cast<std::uint32_t>(got[n - 2]) << 16 | static_cast<std::uint32_t>(got[n - 1]) << 24;
  EXPECT_EQ(stored, c.checksum);
}

// A scratch file removed on every way out of the test.
struct TempFile {
  std::filesystem::path path;
  explicit TempFile(const std::string& stem)
      : path(std::filesystem::temp_directory_path() /
             (stem + "." + std::to_string(::getpid()) + ".fst")) {}
  ~TempFile() {
    std::error_code ec;
    std::filesystem::remove(path, ec);
  }
  Bytes read() const {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
};

TEST(Builder, EveryBuildCaseIsByteIdentical) {
  for (auto& c : build_cases()) expect_same_file(build_in_memory(c), c);
}

// The 100,000-word case: only large inputs exercise the node cache's replacement.
TEST(Builder, LargeCaseIsByteIdentical) {
  expect_same_file(build_in_memory(large_case()), large_case());
}

TEST(Builder, FileBuilderWritesTheSameBytes) {
  for (const BuildCase* c : {&build_case_named("months"), &build_case_named("empty"),
                             &build_case_named("words_10000"), &large_case()}) {
    TempFile tmp("fst_builder_test");
    MapBuilder b = MapBuilder::create(tmp.path);
    for (auto& [k, v] : c->keys) b.insert(span_of(k), v);
    EXPECT_GE(b.bytes_written(), 16u);
    EXPECT_LT(b.bytes_written(), c->size);
    b.finish();
    EXPECT_EQ(b.bytes_written(), c->size);
    expect_same_file(tmp.read(), *c);
  }
}

// A writer builder hands over the same bytes, in order, and its writer's failures leave as
// they were thrown.
TEST(Builder, WriterBuilderHandsOverTheSameBytes) {
  for (const BuildCase* c :
       {&build_case_named("months"), &build_case_named("empty"), &large_case()}) {
    Bytes got = {'h', 'd'};  // bytes of the caller's own in front change nothing
    MapBuilder b = MapBuilder::to_writer([&](std::span<const std::uint8_t> chunk) {
      got.insert(got.end(), chunk.begin(), chunk.end());
    });
    for (auto& [k, v] : c->keys) b.insert(span_of(k), v);
    b.finish();
    expect_same_file(Bytes(got.begin() + 2, got.end()), *c);
  }
  struct Refused {};
  MapBuilder b = MapBuilder::to_writer([](std::span<const std::uint8_t>) { throw Refused{}; });
  b.insert(std::string_view("a"), 1);
  EXPECT_THROW(b.finish(), Refused);
}

// Insert sequences with refused keys: the texts, the indexes, and that a refused insert
// changes nothing (the finished file equals the reference's).
TEST(Builder, InsertErrorVectors) {
  std::size_t cases = 0;
  for (auto& j : load_jsonl("errors.jsonl")) {
    if (j.at("op") != "insert") continue;
    SCOPED_TRACE(j.at("name").get<std::string>());
    std::map<std::size_t, json> errors;
    for (auto& e : j.at("errors")) errors[e.at("index").get<std::size_t>()] = e;
    MapBuilder b = MapBuilder::memory();
    std::size_t index = 0;
    for (auto& ins : j.at("inserts")) {
      const Bytes key = hex(ins.at(0).get<std::string>());
      try {
        b.insert(span_of(key), ins.at(1).get<std::uint64_t>());
        EXPECT_FALSE(errors.count(index)) << "insert " << index << " accepted";
      } catch (const Error& e) {
        ASSERT_TRUE(errors.count(index)) << "insert " << index << " refused: " << e.what();
        EXPECT_EQ(std::string(e.what()), errors[index].at("display").get<std::string>());
        EXPECT_EQ(std::string(e.outer_display()),
                  errors[index].at("outer_display").get<std::string>());
        EXPECT_EQ(e.key(), key);
      }
      ++index;
    }
    EXPECT_EQ(b.len(), j.at("final_len").get<std::uint64_t>());
    EXPECT_EQ(to_hex(b.into_inner()), j.at("final_fst").get<std::string>());
    ++cases;
  }
  EXPECT_GE(cases, 10u);
}

TEST(Builder, WriteFailuresAreIoErrorsAndStick) {
  // A directory that does not exist.
  try {
    (void)MapBuilder::create("/nonexistent-dir-for-fst-tests/x.fst");
    ADD_FAILURE() << "created";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::Io);
    EXPECT_EQ(std::string(e.what()), "No such file or directory (os error 2)");
    EXPECT_STREQ(e.outer_display(), "I/O error");
  }
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  MapBuilder b = MapBuilder::create("/dev/full");
  std::string failure;
  // Keys with scattered values give big nodes, so the buffer flushes during inserts.
  for (int i = 0; i < 200000 && failure.empty(); ++i) {
    char key[16];
    std::snprintf(key, sizeof key, "%08d", i);
    try {
      std::uint64_t v = static_cast<std::uint64_t>(i) * 0x9E3779B97F4A7C15ull;
      v = (v ^ (v >> 31)) * 0xBF58476D1CE4E5B9ull;
      b.insert(std::string_view(key, 8), v ^ (v >> 29));
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::Io);
      failure = e.what();
    }
  }
  EXPECT_EQ(failure, "No space left on device (os error 28)");
  try {
    b.finish();
    ADD_FAILURE() << "finished after a failed write";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()), failure);
  }
}

TEST(Builder, MisuseIsALogicError) {
  MapBuilder b = MapBuilder::memory();
  b.insert("a", 1);
  b.finish();
  EXPECT_THROW(b.insert("b", 2), std::logic_error);
  EXPECT_THROW(b.finish(), std::logic_error);
  Bytes bytes = b.into_inner();
  EXPECT_EQ(Fst(span_of(bytes)).get("a"), std::optional<std::uint64_t>(1));
  EXPECT_THROW((void)b.into_inner(), std::logic_error);
  TempFile tmp("fst_builder_misuse");
  MapBuilder f = MapBuilder::create(tmp.path);
  EXPECT_THROW((void)f.into_inner(), std::logic_error);
}

// Random maps against a std::map: every key, value and absent key; several alphabet sizes
// so that prefixes, shared suffixes and wide nodes all occur.
TEST(Builder, RandomMapsMatchAModel) {
  const std::uint64_t seed = 0x5eed'f57c;
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 60; ++round) {
    const unsigned alphabet = (round % 3 == 0) ? 3 : (round % 3 == 1) ? 40 : 256;
    const std::size_t nkeys = (round < 10) ? static_cast<std::size_t>(round) : 1 + rng() % 600;
    const unsigned value_bits = static_cast<unsigned>(rng() % 65);
    std::map<Bytes, std::uint64_t, BytesLess> model;
    while (model.size() < nkeys) {
      Bytes k(rng() % 9);
      for (auto& c : k) c = static_cast<std::uint8_t>(rng() % alphabet);
      const std::uint64_t v = value_bits == 64 ? rng() : (rng() & ((1ull << value_bits) - 1));
      model.emplace(std::move(k), v);
    }
    SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round));
    MapBuilder b = MapBuilder::memory();
    for (auto& [k, v] : model) b.insert(span_of(k), v);
    const Bytes bytes = b.into_inner();
    Fst f(span_of(bytes));
    EXPECT_NO_THROW(f.verify());
    ASSERT_EQ(f.len(), model.size());
    for (auto& [k, v] : model)
      ASSERT_EQ(f.get(span_of(k)), std::optional<std::uint64_t>(v)) << to_hex(k);
    for (int probe = 0; probe < 200; ++probe) {
      Bytes k(rng() % 9);
      for (auto& c : k) c = static_cast<std::uint8_t>(rng() % alphabet);
      const auto it = model.find(k);
      const auto expected =
          it == model.end() ? std::nullopt : std::optional<std::uint64_t>(it->second);
      ASSERT_EQ(f.get(span_of(k)), expected) << to_hex(k);
    }
  }
}

}  // namespace
