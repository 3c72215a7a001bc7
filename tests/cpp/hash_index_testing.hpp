// Helpers shared by the hash-index tests: deterministic keys, blob re-framing and the
// corruption sweeps every loader must survive.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "blob.hpp"
#include "bytes.hpp"
#include "error.hpp"

namespace quenlith::test_support {

// `n` distinct keys of 0 to 23 bytes (the empty string among them) from a fixed seed.
inline std::vector<std::string> distinct_keys(std::size_t n, std::uint64_t seed,
                                              std::string_view prefix = "") {
  std::mt19937_64 rng(seed);
  std::set<std::string> seen;
  std::vector<std::string> out;
  if (prefix.empty() && n > 0) {
    seen.insert("");
    out.push_back("");
  }
  while (out.size() < n) {
    std::string k(prefix);
    const std::size_t len = rng() % 24;
    for (std::size_t i = 0; i < len; ++i) k.push_back(static_cast<char>('a' + rng() % 26));
    if (seen.insert(k).second) out.push_back(k);
  }
  return out;
}

inline std::vector<std::string_view> views(const std::vector<std::string>& keys) {
  return std::vector<std::string_view>(keys.begin(), keys.end());
}

// Rewrites the header check (the 4 bytes before `header_size`) and, when `payload_at` is given,
// the payload hash at that offset, after a test changed header fields or the payload.
inline void reframe(std::vector<std::uint8_t>& blob, std::size_t header_size,
                    std::size_t payload_at) {
  bytes::store_u64(blob.data() + payload_at,
                   blob::hash_block(std::span(blob).subspan(header_size)));
  bytes::store_u32(blob.data() + header_size - 4,
                   blob::header_check(std::span(blob).first(header_size - 4)));
}

// The message of the `IndexError::Format` that `f` throws, or "" when it throws none.
template <class F>
std::string format_error(F&& f) {
  try {
    f();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Format) << e.what();
    return e.message();
  }
  return "";
}

// A fresh scratch directory under the system's temporary directory, removed at the end.
class ScratchDir {
 public:
  ScratchDir() {
    static std::atomic<int> seq{0};
    path_ = std::filesystem::temp_directory_path() /
            ("quenlith-hashidx-" + std::to_string(::getpid()) + "-" + std::to_string(seq++));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Every truncation of `blob` must be refused with an `IndexError`; `load` runs a loader over the
// given bytes (anything it throws other than an `IndexError` fails the test).
inline void expect_truncations_refused(
    const std::vector<std::uint8_t>& blob,
    const std::function<void(std::span<const std::uint8_t>)>& load) {
  for (std::size_t len = 0; len < blob.size(); ++len) {
    const std::vector<std::uint8_t> cut(blob.begin(), blob.begin() + len);
    bool refused = false;
    try {
      load(cut);
    } catch (const IndexError&) {
      refused = true;
    }
    EXPECT_TRUE(refused) << "truncated to " << len << " of " << blob.size() << " bytes";
  }
}

// Flips bytes of `blob` one position at a time (several patterns), then lets `fix` repair what
// it wants (e.g. re-frame, so the structural checks behind the hashes are reached). `load_and_use`
// must either throw an `IndexError` or return normally after exercising the loaded index.
// Returns how many variants loaded.
inline std::size_t flip_every_byte(
    const std::vector<std::uint8_t>& blob,
    const std::function<void(std::vector<std::uint8_t>&)>& fix,
    const std::function<void(std::span<const std::uint8_t>)>& load_and_use) {
  std::size_t loaded = 0;
  for (std::size_t i = 0; i < blob.size(); ++i) {
    for (std::uint8_t mask : {std::uint8_t{0x01}, std::uint8_t{0x80}, std::uint8_t{0xFF}}) {
      std::vector<std::uint8_t> bad = blob;
      bad[i] ^= mask;
      if (fix) fix(bad);
      try {
        load_and_use(bad);
        ++loaded;
      } catch (const IndexError&) {}
    }
  }
  return loaded;
}

// Random multi-byte damage (a few bytes overwritten, header fields included), repaired by `fix`.
inline std::size_t scramble(
    const std::vector<std::uint8_t>& blob, std::uint64_t seed, int rounds,
    const std::function<void(std::vector<std::uint8_t>&)>& fix,
    const std::function<void(std::span<const std::uint8_t>)>& load_and_use) {
  std::mt19937_64 rng(seed);
  std::size_t loaded = 0;
  for (int r = 0; r < rounds; ++r) {
    std::vector<std::uint8_t> bad = blob;
    const int hits = 1 + static_cast<int>(rng() % 4);
    for (int h = 0; h < hits; ++h) bad[rng() % bad.size()] = static_cast<std::uint8_t>(rng());
    if (fix) fix(bad);
    try {
      load_and_use(bad);
      ++loaded;
    } catch (const IndexError&) {}
  }
  return loaded;
}

}  // namespace quenlith::test_support
