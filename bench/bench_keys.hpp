// The generated keys of the hash-index benchmarks: realistic in shape, distinct by construction.
//
// Half are word-like (8 to 20 bytes), half URL-like (about 30 to 60 bytes). Key i ends in the
// fixed-width 8-byte syllable code of its low 24 bits; from 2^24 on, a '~' (which nothing else
// uses) and the syllables of the higher bits follow, so no two keys are equal.
#pragma once

#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "hash.hpp"
#include "threads.hpp"

namespace bench {

inline const char* const kConsonants = "bcdfghklmnprstvz";
inline const char* const kVowels = "aeio";

inline void syllable(std::string& out, std::uint64_t v) {
  out.push_back(kConsonants[v & 15]);
  out.push_back(kVowels[(v >> 4) & 3]);
}

inline std::string word(std::mt19937_64& rng, int min_syl, int max_syl) {
  std::string w;
  const int n =
      min_syl + static_cast<int>(rng() % static_cast<std::uint64_t>(max_syl - min_syl + 1));
  for (int i = 0; i < n; ++i) syllable(w, rng());
  return w;
}

// Key i: a random-looking prefix from a generator seeded by i, then the code of i.
inline std::string make_key(std::uint64_t i) {
  std::mt19937_64 rng(quenlith::hash::mix(i + 0x1234));
  std::string k;
  if (rng() & 1) {
    k = word(rng, 0, 6);
  } else {
    static const char* const tlds[] = {".com/", ".org/", ".net/", ".io/", ".de/"};
    k = "https://";
    if (rng() & 1) k += "www.";
    k += word(rng, 2, 5);
    k += tlds[rng() % 5];
    k += word(rng, 1, 4);
    k.push_back('/');
    if (rng() % 3 == 0) {
      k += word(rng, 1, 3);
      k.push_back('-');
    }
  }
  for (int d = 0; d < 4; ++d) syllable(k, i >> (6 * d));
  if (i >> 24) {
    k.push_back('~');
    for (std::uint64_t high = i >> 24; high != 0; high >>= 6) syllable(k, high);
  }
  return k;
}

// Keys from .. from + count - 1, generated on every processor.
inline std::vector<std::string> make_keys(std::uint64_t from, std::uint64_t count) {
  std::vector<std::string> out(count);
  const unsigned nt = quenlith::threads::available();
  quenlith::threads::run_workers(nt, [&](unsigned t) {
    for (std::uint64_t j = t; j < count; j += nt) out[j] = make_key(from + j);
  });
  return out;
}

// The non-empty lines of the file at `path`, in file order.
inline std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) out.push_back(line);
  return out;
}

// URL-like keys: scheme, host, a few path segments and a number, from a fixed seed.
inline std::vector<std::string> url_keys(std::size_t n) {
  static const char* words[] = {"news",   "shop",  "blog",     "docs", "api",     "static",
                                "images", "video", "article",  "user", "search",  "product",
                                "en",     "de",    "category", "tag",  "archive", "2024"};
  static const char* tlds[] = {"com", "org", "net", "de", "io", "co.uk"};
  std::mt19937_64 rng(42);
  std::vector<std::string> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::string k = (rng() % 4 == 0) ? "http://" : "https://www.";
    k += "site";
    k += std::to_string(rng() % (n / 20 + 1));
    k += '.';
    k += tlds[rng() % 6];
    for (std::size_t s = 1 + rng() % 3; s > 0; --s) {
      k += '/';
      k += words[rng() % 18];
    }
    k += '/';
    k += std::to_string(rng() % 1000000);
    out.push_back(std::move(k));
  }
  return out;
}

}  // namespace bench
