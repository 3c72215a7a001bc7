#include "blob.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "bytes.hpp"
#include "error.hpp"
#include "fileio.hpp"
#include "test_dir.hpp"

namespace fs = std::filesystem;
using namespace quenlith;
using blob::BlockHasher;
using blob::hash_block;
using bytes::as_bytes;

TEST(PayloadHash, ReferenceValues) {
  EXPECT_EQ(hash_block({}), 0xE220A8397B1DCDAFULL);
  EXPECT_EQ(hash_block(as_bytes("abc")), 0xD548A05AAB54937FULL);
  EXPECT_EQ(hash_block(as_bytes("abcdefgh")), 0x781386DDA448550CULL);
  EXPECT_EQ(hash_block(as_bytes("abcdefghi")), 0xB201905988404D91ULL);
  EXPECT_EQ(blob::header_check(as_bytes("abc")), 0x0804B508u);
}

TEST(PayloadHash, IndependentOfHowBytesAreSplit) {
  std::mt19937_64 rng(7);
  std::vector<std::uint8_t> data(301);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  const std::uint64_t whole = hash_block(data);
  for (int trial = 0; trial < 200; ++trial) {
    BlockHasher h;
    std::size_t i = 0;
    while (i < data.size()) {
      std::size_t n = std::min<std::size_t>(rng() % 13, data.size() - i);
      h.update(std::span(data).subspan(i, n));
      i += n;
    }
    ASSERT_EQ(h.finish(), whole) << "trial " << trial;
  }
}

TEST(Errors, DisplayAndDebugForms) {
  EXPECT_STREQ(IndexError::format("bad magic or truncated header").what(),
               "format error: bad magic or truncated header");
  EXPECT_STREQ(IndexError::build("x").what(), "build error: x");
  EXPECT_STREQ(IndexError::automaton("too big").what(), "automaton error: too big");
  EXPECT_STREQ(IndexError::fst("unknown error").what(), "fst error: unknown error");
  EXPECT_STREQ(
      IndexError::io_message(IndexError::IoKind::InvalidData, "extsort: a run file is corrupt")
          .what(),
      "io error: extsort: a run file is corrupt");
  IndexError e = IndexError::io_errno(2);
  EXPECT_EQ(e.kind(), IndexError::Kind::Io);
  EXPECT_EQ(e.io_kind(), IndexError::IoKind::NotFound);
  EXPECT_TRUE(e.display().ends_with(" (os error 2)")) << e.display();
  EXPECT_EQ(IndexError::format("a \"q\"").debug(), "Format(\"a \\\"q\\\"\")");
  EXPECT_EQ(IndexError::build("b").debug(true), "Build(\n    \"b\",\n)");
  // A fatal error is never an IndexError.
  EXPECT_THROW(panic("an invariant"), Panic);
  EXPECT_FALSE((std::is_base_of_v<IndexError, Panic>));
}

TEST(SharedBytes, SlicesShareAndCheckBounds) {
  std::vector<std::uint8_t> v{1, 2, 3, 4};
  auto b = blob::SharedBytes::from_owned(std::move(v));
  ASSERT_EQ(b.size(), 4u);
  EXPECT_TRUE(b.slice(4, 0).has_value());
  EXPECT_FALSE(b.slice(4, 1).has_value());
  EXPECT_FALSE(b.slice(2, UINT64_MAX).has_value());
  auto s = b.slice(1, 2);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->bytes()[0], 2);
  // A large copy is table-aligned.
  std::vector<std::uint8_t> big(2097152, 9);
  auto bb = blob::SharedBytes::from_owned(std::move(big));
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(bb.data()) % 2097152, 0u);
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fresh_test_dir("quenlith-blob.");
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::size_t entries() const {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
  }
  fs::path dir_;
};

using MappedFile = TempDir;

TEST_F(MappedFile, MapsFilesAndOutlivesTheLoader) {
  fs::path p = dir_ / "empty";
  blob::write_atomically(p, {});
  auto e = blob::SharedBytes::map_file(p);
  EXPECT_EQ(e.size(), 0u);
  EXPECT_EQ(e.kind(), blob::SharedBytes::Kind::Mapped);
  blob::write_atomically(p, as_bytes("hello"));
  std::optional<blob::SharedBytes> part;
  {
    auto m = blob::SharedBytes::map_file(p);
    part = m.slice(1, 3);
  }
  EXPECT_EQ(bytes::as_chars(part->bytes()), "ell");
  EXPECT_THROW(blob::SharedBytes::map_file(dir_ / "missing"), IndexError);
}

using AtomicWriter = TempDir;

TEST_F(AtomicWriter, KeepsModeAndLeavesNoTemporary) {
  fs::path p = dir_ / "t.idx";
  blob::write_atomically(p, as_bytes("one"));
  ::chmod(p.c_str(), 0600);
  blob::write_atomically(p, as_bytes("two"));
  struct stat st;
  ASSERT_EQ(::stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(fileio::read_file(p), std::vector<std::uint8_t>({'t', 'w', 'o'}));
  EXPECT_EQ(entries(), 1u);
}

TEST_F(AtomicWriter, FailingCallbackLeavesTargetUnchanged) {
  fs::path p = dir_ / "t.idx";
  blob::write_atomically(p, as_bytes("keep"));
  EXPECT_THROW(blob::write_atomically_with(p,
                                           [](fileio::File& f) {
                                             f.write_all(as_bytes("partial"));
                                             throw IndexError::format("refused");
                                           }),
               IndexError);
  EXPECT_EQ(fileio::read_file(p), std::vector<std::uint8_t>({'k', 'e', 'e', 'p'}));
  EXPECT_EQ(entries(), 1u);
}

TEST_F(AtomicWriter, SkipsATakenTemporaryName) {
  fs::path p = dir_ / "t.idx";
  // Occupy the next few names this process would use.
  std::uint64_t next = blob::next_temp_seq() + 1;
  for (std::uint64_t s = next; s < next + 3; ++s) fileio::File::create_new(blob::temp_name(p, s));
  blob::write_atomically(p, as_bytes("x"));
  EXPECT_EQ(fileio::read_file(p).size(), 1u);
  EXPECT_EQ(fileio::read_file(blob::temp_name(p, next)).size(), 0u);  // not overwritten
}

TEST_F(AtomicWriter, SiblingsSkipTakenNamesAndGiveUpAfter128) {
  const fs::path p = dir_ / "t.idx";
  std::atomic<std::uint64_t> counter{5};
  fileio::File::create_new(blob::sibling_name(p, 5, ".spill"));
  blob::NewSibling s = blob::create_sibling(p, ".spill", counter);
  EXPECT_EQ(s.path, blob::sibling_name(p, 6, ".spill"));
  EXPECT_TRUE(s.file.is_open());
  for (std::uint64_t seq = 7; seq < 7 + 128; ++seq)
    fileio::File::create_new(blob::sibling_name(p, seq, ".spill"));
  try {
    blob::create_sibling(p, ".spill", counter);
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.io_kind(), IndexError::IoKind::AlreadyExists);
  }
  EXPECT_EQ(counter.load(), 7u + 128);
}

TEST_F(AtomicWriter, MissingDirectoryAndConcurrentWriters) {
  try {
    blob::write_atomically(dir_ / "no" / "t.idx", as_bytes("x"));
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.io_kind(), IndexError::IoKind::NotFound);
  }
  fs::path p = dir_ / "shared.idx";
  std::vector<std::thread> ts;
  for (int i = 0; i < 8; ++i)
    ts.emplace_back([&, i] { blob::write_atomically(p, as_bytes(std::string(100, 'a' + i))); });
  for (auto& t : ts) t.join();
  EXPECT_EQ(fileio::read_file(p).size(), 100u);
  EXPECT_EQ(entries(), 1u);
}

TEST_F(AtomicWriter, NamesWithANulByteAreRefusedNotTruncated) {
  // The system reads a name only up to a NUL byte: "t.idx\0x" would reach "t.idx".
  const std::string name = (dir_ / "t.idx").string() + std::string(1, '\0') + "x";
  blob::write_atomically(dir_ / "t.idx", as_bytes("keep"));
  auto io_kind = [](auto&& f) {
    try {
      f();
    } catch (const IndexError& e) {
      EXPECT_EQ(e.display(), "io error: file name contains a NUL byte");
      return e.io_kind();
    }
    return IndexError::IoKind::Other;
  };
  EXPECT_EQ(io_kind([&] { blob::write_atomically(name, as_bytes("new")); }),
            IndexError::IoKind::InvalidInput);
  EXPECT_EQ(io_kind([&] { fileio::read_file(name); }), IndexError::IoKind::InvalidInput);
  EXPECT_EQ(io_kind([&] { blob::SharedBytes::map_file(name); }), IndexError::IoKind::InvalidInput);
  EXPECT_EQ(fileio::read_file(dir_ / "t.idx"), std::vector<std::uint8_t>({'k', 'e', 'e', 'p'}));
  EXPECT_EQ(entries(), 1u);
}

// What a symbolic link at the target leads to decides as the node itself would: a link to a
// pipe, a device or a process's descriptor is refused before anything is made, a link to a
// directory fails at the rename, and a link to a regular file, or to nothing, is replaced by the
// blob while what it leads to stays as it was.
TEST_F(AtomicWriter, SymbolicLinksAreJudgedByWhatTheyLeadTo) {
  auto display = [](auto&& f) -> std::string {
    try {
      f();
    } catch (const IndexError& e) {
      return e.display();
    }
    return "written";
  };
  const std::string refused = std::string("io error: ") + fileio::kNotReplaced;
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  fs::create_directory(dir_ / "dir");
  blob::write_atomically(dir_ / "file", as_bytes("keep"));
  const fileio::File open_file = fileio::File::open_read(dir_ / "file");
  const std::string descriptor = "/proc/self/fd/" + std::to_string(open_file.fd());
  const std::pair<const char*, fs::path> refused_links[] = {
      {"to_fifo", dir_ / "fifo"},       {"to_null", "/dev/null"},
      {"to_link", dir_ / "to_fifo"},    {"to_fd", descriptor},
      {"to_dev_fd", "/dev/fd/" + std::to_string(open_file.fd())},
      {"relative", "to_fifo"},
  };
  for (const auto& [name, to] : refused_links) {
    fs::create_symlink(to, dir_ / name);
    EXPECT_EQ(display([&] { blob::write_atomically(dir_ / name, as_bytes("new")); }), refused)
        << name;
    EXPECT_TRUE(fs::is_symlink(dir_ / name)) << name;
  }
  EXPECT_EQ(display([&] { blob::write_atomically(descriptor, as_bytes("new")); }), refused);
  fs::create_symlink(dir_ / "dir", dir_ / "to_dir");
  EXPECT_EQ(display([&] { blob::write_atomically(dir_ / "to_dir", as_bytes("new")); }),
            "io error: Is a directory (os error 21)");
  EXPECT_TRUE(fs::is_symlink(dir_ / "to_dir"));
  EXPECT_TRUE(fs::is_empty(dir_ / "dir"));
  EXPECT_EQ(entries(), 10u);  // no temporary left beside the links

  ::chmod((dir_ / "file").c_str(), 0640);
  fs::create_symlink(dir_ / "file", dir_ / "to_file");
  fs::create_symlink(dir_ / "nothing", dir_ / "to_nothing");
  for (const char* name : {"to_file", "to_nothing"}) {
    EXPECT_EQ(display([&] { blob::write_atomically(dir_ / name, as_bytes("new")); }), "written");
    EXPECT_FALSE(fs::is_symlink(dir_ / name)) << name;
    EXPECT_EQ(fileio::read_file(dir_ / name), std::vector<std::uint8_t>({'n', 'e', 'w'}));
  }
  struct stat st;
  ASSERT_EQ(::stat((dir_ / "to_file").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // the bits of the file the link led to
  EXPECT_EQ(fileio::read_file(dir_ / "file"), std::vector<std::uint8_t>({'k', 'e', 'e', 'p'}));
  EXPECT_FALSE(fs::exists(dir_ / "nothing"));
}
