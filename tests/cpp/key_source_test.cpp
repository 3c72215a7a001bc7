#include "key_source.hpp"

#include <gtest/gtest.h>

#include "blob.hpp"
#include "bytes.hpp"
#include "hash_index_testing.hpp"

using namespace quenlith;
using key_source::KeysFile;
using test_support::ScratchDir;

namespace {

std::vector<std::string> one_pass(key_source::KeySource& source) {
  std::vector<std::string> out;
  auto pass = source.open_pass();
  key_source::for_each_key(*pass, [&](std::string_view k) { out.emplace_back(k); });
  return out;
}

struct Lines {
  std::string text;
  std::vector<std::string> keys;
  std::uint64_t skipped;
};

TEST(KeysFile, LineEndingsAndEmptyLines) {
  ScratchDir dir;
  const std::string long_line(20000, 'q');  // longer than the read buffer
  const std::vector<Lines> cases = {
      {"", {}, 0},
      {"a\nb", {"a", "b"}, 0},
      {"a\n\nb\n", {"a", "b"}, 1},
      {"\n\n", {}, 2},
      {"a\r\nb\r\n", {"a", "b"}, 0},
      {"\r\n", {}, 1},
      {"a\r", {"a\r"}, 0},
      {"\r", {"\r"}, 0},
      {"a\r\r\n", {"a\r"}, 0},
      {"x\n" + long_line + "\ny", {"x", long_line, "y"}, 0},
      {"\xc3\xa9t\xc3\xa9\n", {"\xc3\xa9t\xc3\xa9"}, 0},
  };
  for (const Lines& c : cases) {
    const auto path = dir / "keys.txt";
    blob::write_atomically(path, bytes::as_bytes(c.text));
    KeysFile file(path);
    EXPECT_EQ(one_pass(file), c.keys) << c.text;
    EXPECT_EQ(file.skipped(), c.skipped);
    // A second pass starts over and counts its own skipped lines.
    EXPECT_EQ(one_pass(file), c.keys);
    EXPECT_EQ(file.skipped(), c.skipped);
    EXPECT_FALSE(file.failed());
  }
}

TEST(KeysFile, FailuresEndThePassAndAreRecorded) {
  ScratchDir dir;
  const auto path = dir / "keys.txt";
  blob::write_atomically(path, bytes::as_bytes(std::string_view("one\n\n\xc0\x80\nfour\n")));
  KeysFile bad(path);
  EXPECT_EQ(one_pass(bad), (std::vector<std::string>{"one"}));
  EXPECT_TRUE(bad.failed());
  EXPECT_EQ(bad.failure(), path.string() + ":3: stream did not contain valid UTF-8");

  // A directory opens, but its first read fails.
  KeysFile directory(dir.path());
  EXPECT_TRUE(one_pass(directory).empty());
  EXPECT_EQ(directory.failure(), dir.path().string() + ":1: Is a directory (os error 21)");

  KeysFile missing(dir / "absent.txt");
  EXPECT_TRUE(one_pass(missing).empty());
  ASSERT_TRUE(missing.failed());
  EXPECT_EQ(missing.failure(),
            (dir / "absent.txt").string() + ": No such file or directory (os error 2)");
}

TEST(KeySource, StringsYieldsEveryKeyOnEveryPass) {
  const std::vector<std::string_view> keys = {"a", "", "b", "a"};
  key_source::Strings s(keys);
  for (int pass = 0; pass < 2; ++pass)
    EXPECT_EQ(one_pass(s), (std::vector<std::string>{"a", "", "b", "a"}));
  EXPECT_FALSE(s.failed());
}

}  // namespace
