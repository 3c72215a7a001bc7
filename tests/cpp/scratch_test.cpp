// The scratch list and the signal clean-up. Every case runs in a forked child, which makes its
// scratch files through the modules that make them in a build, takes the signals over, tells the
// parent it is ready and waits to be signalled; the parent then looks at the status and the
// directory.
#include "scratch.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "blob.hpp"
#include "compact_hash_runs.hpp"
#include "extsort.hpp"
#include "fileio.hpp"
#include "perfect_hash.hpp"
#include "test_dir.hpp"

namespace fs = std::filesystem;
using namespace quenlith;

namespace {

class ScratchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fresh_test_dir("quenlith-scratch.");
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::set<std::string> listing() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.insert(e.path().filename().string());
    return names;
  }

  // Runs `make` in a child that then holds what it made, takes the signals over and waits;
  // sends `signal` once the child is ready. Returns the child's wait status.
  int interrupt(const std::function<void()>& make, int signal) {
    int ready[2];
    if (::pipe(ready) != 0) ADD_FAILURE() << "pipe";
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(ready[0]);
      try {
        make();
        scratch::RemoveOnSignal on_signal;
        const char byte = 1;
        if (::write(ready[1], &byte, 1) != 1) ::_exit(3);
        for (;;) ::pause();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "the child failed: %s\n", e.what());
        ::_exit(4);
      }
    }
    ::close(ready[1]);
    char byte = 0;
    const bool made = ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    if (made) {
      at_signal_ = listing();
      ::kill(child, signal);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return status;
  }

  fs::path dir_;
  std::set<std::string> at_signal_;  // the directory when the signal was sent
};

// What a streamed build has beside its output midway: the atomic writer's temporary, a run
// directory of the external sort and one of the compact build (beside another output: the two
// number their directories apart) with run files in them, the
// perfect-hash spill and the partial output a rename brings into being. They are kept for the
// child's lifetime, so that only the clean-up can remove them.
void make_scratch_of_a_build(const fs::path& dir) {
  static std::vector<std::shared_ptr<void>> keep;
  const fs::path out = dir / "out.blob";
  auto temp = std::make_shared<blob::detail::AtomicTemp>(out);
  temp->file().write_all(std::vector<std::uint8_t>(4096, 7));
  keep.push_back(temp);
  auto runs = std::make_shared<extsort::Runs>(out);
  extsort::Run run(1 << 16);
  for (int i = 0; i < 1000; ++i) run.push("key-" + std::to_string(i));
  runs->spill(run);
  runs->spill(run);
  keep.push_back(runs);
  auto pairs = std::make_shared<compact_hash::Scratch>(dir / "compact.blob", 1);
  std::vector<hash::Pair> batch = {{1, 2}, {3, 4}};
  pairs->spill(batch);
  keep.push_back(pairs);
  keep.push_back(std::make_shared<perfect_hash::Spill>(perfect_hash::Spill::create(out)));
  keep.push_back(std::make_shared<scratch::Entry>(
      scratch::track(dir / "out.blob.part.1", scratch::Kind::File)));
  fileio::File::create_new(dir / "out.blob.part.1");
}

}  // namespace

TEST_F(ScratchTest, EachSignalRemovesEveryScratchFileAndEndsTheProcessOfIt) {
  fileio::File::create_new(dir_ / "keys.txt");
  fileio::File::create_new(dir_ / "out.blob");
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    const int status = interrupt([&] { make_scratch_of_a_build(dir_); }, signal);
    ASSERT_TRUE(WIFSIGNALED(status)) << "signal " << signal << ", status " << status;
    // keys, output, temporary, two run directories, spill, partial output
    EXPECT_EQ(at_signal_.size(), 7u);
    EXPECT_EQ(WTERMSIG(status), signal);
    EXPECT_EQ(listing(), (std::set<std::string>{"keys.txt", "out.blob"})) << signal;
  }
}

TEST_F(ScratchTest, OnlyWhatIsStillScratchIsRemoved) {
  // A name whose owner removed its file and dropped its entry may be taken again by a file that
  // is no scratch: the clean-up leaves it alone. So does it a file renamed into place by the
  // atomic writer, and a directory whose owner removed it.
  const int status = interrupt(
      [&] {
        {
          scratch::Entry gone = scratch::create(dir_ / "reused", scratch::Kind::File,
                                                [&] { fileio::File::create_new(dir_ / "reused"); });
          fs::remove(dir_ / "reused");
        }
        fileio::File::create_new(dir_ / "reused");
        blob::write_atomically(dir_ / "out.blob", std::vector<std::uint8_t>{1, 2, 3});
        { scratch::Dir runs = scratch::Dir::make(dir_ / "runs"); }
        fs::create_directory(dir_ / "runs");
      },
      SIGTERM);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(listing(), (std::set<std::string>{"out.blob", "reused", "runs"}));
  EXPECT_EQ(fileio::read_file(dir_ / "out.blob"), (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST_F(ScratchTest, AFailedCreationEntersNothing) {
  // A creation that fails because the name is taken (as when a scratch name is tried and found
  // in use) must not hand the other file to the clean-up.
  fileio::File::create_new(dir_ / "taken");
  fs::create_directory(dir_ / "taken-dir");
  const int status = interrupt(
      [&] {
        EXPECT_THROW(scratch::create(dir_ / "taken", scratch::Kind::File,
                                     [&] { fileio::File::create_new(dir_ / "taken"); }),
                     IndexError);
        EXPECT_THROW(scratch::Dir::make(dir_ / "taken-dir"), IndexError);
      },
      SIGINT);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(listing(), (std::set<std::string>{"taken", "taken-dir"}));
}

TEST_F(ScratchTest, ARenameFromOneScratchNameOntoAnotherLeavesNothingWhereverItLands) {
  // The streamed route enters its partial output before the builder's atomic writer makes the
  // temporary that its commit renames onto it; a run directory lies between the two. The rename
  // runs on another thread, so it may land before the clean-up's first removal, after any of
  // them, or after the last: each place is tried through the clean-up's seam.
  const fs::path partial = dir_ / "out.blob.part.1";
  for (int lands_after = 0; lands_after <= 3; ++lands_after) {
    SCOPED_TRACE(lands_after);
    scratch::Entry partial_entry = scratch::track(partial, scratch::Kind::File);
    scratch::Dir runs = scratch::Dir::make_runs(partial, 1);
    fileio::File::create_new(runs.path() / "r0");
    blob::detail::AtomicTemp temp(partial);
    temp.file().write_all(std::vector<std::uint8_t>(4096, 7));
    const auto rename = [&] { ASSERT_EQ(::rename(temp.path().c_str(), partial.c_str()), 0); };
    int removed = 0;
    if (lands_after == 0) rename();
    scratch::remove_listed([&] {
      // The rename of a source already removed fails as the builder's commit would, and changes
      // nothing.
      if (++removed == lands_after) (void)::rename(temp.path().c_str(), partial.c_str());
    });
    EXPECT_EQ(removed, 3);
    EXPECT_EQ(listing(), std::set<std::string>{});
  }
}
