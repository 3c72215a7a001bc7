#include "key_source.hpp"

#include <gtest/gtest.h>

#include "blob.hpp"
#include "bytes.hpp"
#include "error.hpp"
#include "fileio.hpp"
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

// Every line of a reader, the raw lines (empty ones included) as copies.
std::vector<std::string> lines_of(key_source::LineReader& reader) {
  std::vector<std::string> out;
  while (const auto line = reader.next()) out.emplace_back(*line);
  return out;
}

// One reader for descriptors and for bytes in memory: the same lines either way, lines longer than
// the read buffer included, and a final carriage return kept or dropped by the policy alone.
TEST(LineReader, DescriptorsAndBytesReadTheSameLines) {
  using key_source::FinalCr;
  using key_source::LineReader;
  ScratchDir dir;
  const std::string long_line(20000, 'q');
  const std::string text = "a\r\n\n" + long_line + "\r\nb\r\r\nc\rd\n" + long_line + "\r";
  const auto path = dir / "lines.txt";
  blob::write_atomically(path, bytes::as_bytes(text));
  for (const FinalCr policy : {FinalCr::Kept, FinalCr::Dropped}) {
    const std::string last = policy == FinalCr::Kept ? long_line + "\r" : long_line;
    const std::vector<std::string> expected = {"a", "", long_line, "b\r", "c\rd", last};
    fileio::File file = fileio::File::open_read(path);
    LineReader from_fd(file.fd(), policy);
    EXPECT_EQ(lines_of(from_fd), expected);
    EXPECT_EQ(from_fd.lines(), 6u);
    LineReader from_bytes(std::span<const char>(text), policy);
    std::vector<std::string_view> views;
    while (const auto line = from_bytes.next()) views.push_back(*line);
    // Lines of bytes in memory are views into them and outlive the reader's later calls.
    EXPECT_EQ(std::vector<std::string>(views.begin(), views.end()), expected);
  }
  for (const FinalCr policy : {FinalCr::Kept, FinalCr::Dropped}) {
    LineReader empty(std::span<const char>(), policy);
    EXPECT_FALSE(empty.next());
    EXPECT_EQ(empty.lines(), 0u);
  }
  // A closed descriptor reads as an empty input; a directory's read fails on line 1.
  LineReader closed(999, FinalCr::Kept);  // no such descriptor is open
  EXPECT_FALSE(closed.next());
  fileio::File directory = fileio::File::open_read(dir.path());
  LineReader unreadable(directory.fd(), FinalCr::Kept);
  try {
    unreadable.next();
    ADD_FAILURE();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.message(), "Is a directory (os error 21)");
    EXPECT_EQ(unreadable.lines() + 1, 1u);
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
