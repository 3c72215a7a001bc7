#include "packed.hpp"

#include <algorithm>

namespace quenlith::packed {

std::optional<Alphabet> Alphabet::of(const std::array<std::uint64_t, 256>& counts) {
  struct Ranked {
    std::uint64_t count;
    unsigned byte;
  };
  std::vector<Ranked> ranked;
  for (unsigned b = 0; b < 256; ++b)
    if (counts[b] != 0) ranked.push_back({counts[b], b});
  if (ranked.empty()) return std::nullopt;
  std::sort(ranked.begin(), ranked.end(), [](const Ranked& a, const Ranked& b) {
    return a.count != b.count ? a.count > b.count : a.byte < b.byte;
  });
  const std::size_t k = ranked.size();
  std::vector<std::uint64_t> prefix(k + 1, 0);
  for (std::size_t i = 0; i < k; ++i) prefix[i + 1] = prefix[i] + ranked[i].count;
  auto cost_of = [&](unsigned w) -> std::uint64_t {
    const std::size_t m = std::size_t{1} << w;
    if (k <= m) return w * prefix[k];
    const std::size_t p = m - 1;
    const std::size_t s = std::min(k - p, m - 1);
    const std::uint64_t a = prefix[p], b = prefix[p + s] - prefix[p], c = prefix[k] - prefix[p + s];
    return w * (a + 2 * b + (2 + literal_units(w)) * c);
  };
  unsigned best = 1;
  std::uint64_t best_cost = cost_of(1);
  for (unsigned w = 2; w <= 8; ++w) {
    const std::uint64_t c = cost_of(w);
    if (c < best_cost) best = w, best_cost = c;
  }
  Alphabet a;
  a.bits = best;
  a.cost = best_cost;
  const std::size_t m = std::size_t{1} << best;
  if (k <= m) {
    for (const Ranked& r : ranked) a.primary.push_back(static_cast<std::uint8_t>(r.byte));
  } else {
    const std::size_t p = m - 1;
    const std::size_t s = std::min(k - p, m - 1);
    for (std::size_t i = 0; i < p; ++i)
      a.primary.push_back(static_cast<std::uint8_t>(ranked[i].byte));
    for (std::size_t i = p; i < p + s; ++i)
      a.secondary.push_back(static_cast<std::uint8_t>(ranked[i].byte));
  }
  a.index.fill(kNone);
  for (std::size_t i = 0; i < a.primary.size(); ++i)
    a.index[a.primary[i]] = static_cast<std::uint16_t>(i);
  for (std::size_t j = 0; j < a.secondary.size(); ++j)
    a.index[a.secondary[j]] = static_cast<std::uint16_t>(kSecondary | j);
  return a;
}

}  // namespace quenlith::packed
