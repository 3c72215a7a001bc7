// Loading the reference vectors (JSON Lines, hex byte strings) for the fst tests. The reader is
// compiled once, into the tests' own small library (vectors.cpp).
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace fst_test {

using Bytes = std::vector<std::uint8_t>;
using nlohmann::json;

inline std::span<const std::uint8_t> span_of(const Bytes& b) { return {b.data(), b.size()}; }

// The path of vector file `name` in the vectors directory.
std::string vector_path(const std::string& name);

// Byte-wise order for std::map / std::set keys (the standard operator< on byte vectors sets
// off a false -Wstringop-overread in GCC 12 at -O3).
struct BytesLess {
  bool operator()(const Bytes& a, const Bytes& b) const {
    const std::size_t n = std::min(a.size(), b.size());
    const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
    return c != 0 ? c < 0 : a.size() < b.size();
  }
};

// Lower-case hex to bytes and back. `hex` throws std::runtime_error on an odd length or a bad
// digit.
Bytes hex(const std::string& s);
std::string to_hex(const Bytes& b);

// Every JSON value of a JSON Lines file (plain, or gzip-compressed) in the vectors directory.
// Throws std::runtime_error when the file cannot be read.
std::vector<json> load_jsonl(const std::string& name);
std::vector<json> load_jsonl_gz(const std::string& name);

// A hand-made version-3 file: header, the node bytes, a key count of 1, `root`, and a matching
// checksum, so that only the structure decides.
Bytes crafted(const Bytes& nodes, std::uint64_t root);

// A build case: its keys (hex-decoded) and expected file.
struct BuildCase {
  std::string name;
  std::vector<std::string> tags;
  std::vector<std::pair<Bytes, std::uint64_t>> keys;
  Bytes fst;
  std::uint64_t len = 0, size = 0, root_addr = 0;
  std::uint32_t checksum = 0;

  bool has_tag(const std::string& t) const {
    for (auto& x : tags)
      if (x == t) return true;
    return false;
  }
};

// The small and medium build cases (build.jsonl), loaded once per test program.
const std::vector<BuildCase>& build_cases();
const BuildCase& build_case_named(const std::string& name);
// The one large case (build_large.jsonl.gz), loaded once per test program.
const BuildCase& large_case();

// The edit distance between two UTF-8 strings counted in Unicode scalar values; nullopt when
// either is not valid UTF-8. Past `cap` only the length difference is returned, which is already
// more than any distance a test asks about.
std::optional<std::size_t> true_distance(std::string_view a, std::string_view b,
                                         std::size_t cap = SIZE_MAX);

}  // namespace fst_test
