// Corpora shared by the dictionary-index tests.
#pragma once

#include <random>
#include <string>
#include <vector>

namespace quenlith::dict_testing {

// File paths of an imagined package tree: long shared directories and recurring names, the kind
// of corpus on which phrase codes pay.
inline std::vector<std::string> path_keys(std::size_t n, std::uint32_t seed) {
  static const char* roots[] = {"/usr/share/doc/", "/usr/lib/python3/dist-packages/",
                                "/usr/share/locale/", "/usr/include/", "/usr/share/man/man3/"};
  static const char* parts[] = {"changelog",   "copyright", "README", "__init__", "utils",
                                "LC_MESSAGES", "internal",  "config", "examples", "Makefile"};
  static const char* exts[] = {".gz", ".py", ".mo", ".h", ".3perl.gz", ".html", ""};
  std::mt19937 rng(seed);
  std::vector<std::string> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::string k = roots[rng() % 5];
    k += "lib" + std::to_string(rng() % 900) + "-package";
    for (std::size_t d = rng() % 3; d > 0; --d) k += std::string("/") + parts[rng() % 10];
    k += std::string("/") + parts[rng() % 10] + std::to_string(rng() % 50) + exts[rng() % 7];
    out.push_back(std::move(k));
  }
  return out;
}

}  // namespace quenlith::dict_testing
