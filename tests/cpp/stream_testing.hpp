// Helpers shared by the streamed-build tests: scripted key sources and the checks every failing
// build must pass (target unchanged, nothing left beside it).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "error.hpp"
#include "fileio.hpp"
#include "hash_index_testing.hpp"
#include "key_source.hpp"

namespace quenlith::test_support {

// A source whose passes are scripted: pass i yields passes[i] (the last script again for later
// passes), and `failed()` answers true once pass `fail_from` (counted from 0) has been opened.
// `on_open(i)` runs as pass i opens.
class ScriptedSource final : public key_source::KeySource {
 public:
  explicit ScriptedSource(std::vector<std::vector<std::string>> passes)
      : passes_(std::move(passes)) {}

  std::unique_ptr<key_source::KeyStream> open_pass() override {
    const std::size_t i = opened_++;
    if (on_open) on_open(i);
    const auto& keys = passes_[std::min(i, passes_.size() - 1)];
    return std::make_unique<Stream>(keys);
  }
  bool failed() const override { return fail_from >= 0 && opened_ > std::size_t(fail_from); }

  std::size_t opened() const { return opened_; }
  int fail_from = -1;
  std::function<void(std::size_t)> on_open;

 private:
  class Stream final : public key_source::KeyStream {
   public:
    explicit Stream(const std::vector<std::string>& keys) : keys_(keys) {}
    bool next_batch(key_source::KeyBatch& batch) override {
      batch.clear();
      // Small, uneven batches, so that batch boundaries fall everywhere.
      const std::size_t take = 1 + next_ % 7;
      for (std::size_t i = 0; i < take && next_ < keys_.size(); ++i) batch.push(keys_[next_++]);
      return !batch.empty();
    }

   private:
    const std::vector<std::string>& keys_;
    std::size_t next_ = 0;
  };

  std::vector<std::vector<std::string>> passes_;
  std::size_t opened_ = 0;
};

// The names in `dir`, sorted.
inline std::set<std::string> listing(const std::filesystem::path& dir) {
  std::set<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    out.insert(e.path().filename().string());
  return out;
}

inline std::vector<std::uint8_t> file_bytes(const std::filesystem::path& p) {
  return fileio::read_file(p);
}

// Runs `build`, which must throw an `IndexError` of `kind` with `message`; then the target at
// `path` holds `before` (or is absent when `before` is empty) and `dir` holds exactly what it
// held before the build.
inline void expect_clean_failure(const std::function<void()>& build, IndexError::Kind kind,
                                 const std::string& message, const std::filesystem::path& path,
                                 const std::vector<std::uint8_t>& before) {
  const std::set<std::string> names = listing(path.parent_path());
  try {
    build();
    ADD_FAILURE() << "the build succeeded; expected: " << message;
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), kind) << e.what();
    EXPECT_EQ(e.message(), message);
  }
  EXPECT_EQ(listing(path.parent_path()), names);
  if (before.empty())
    EXPECT_FALSE(std::filesystem::exists(path));
  else
    EXPECT_EQ(file_bytes(path), before);
}

}  // namespace quenlith::test_support
