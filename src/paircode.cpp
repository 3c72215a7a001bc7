#include "paircode.hpp"

#include <algorithm>

namespace quenlith::paircode {

std::optional<std::pair<Code, std::size_t>> Code::read(std::span<const std::uint8_t> b) {
  if (b.empty()) return std::nullopt;
  Code c;
  c.tag = b[0];
  if (c.tag == 1) {
    if (b.size() < 4) return std::nullopt;
    c.width = b[1];
    if (c.width < 1 || c.width > 10) return std::nullopt;
    const std::size_t count = bytes::load_u16(b.data() + 2);
    if (count >= (std::size_t{1} << c.width)) return std::nullopt;
    if (b.size() - 4 < 2 * count) return std::nullopt;
    c.table.resize(count);
    for (std::size_t i = 0; i < count; ++i) c.table[i] = bytes::load_u16(b.data() + 4 + 2 * i);
    return std::pair{std::move(c), 4 + 2 * count};
  }
  if (c.tag != 0) return std::nullopt;
  std::size_t pos = 1;
  const auto a = get_varint(b.subspan(pos));
  if (!a) return std::nullopt;
  pos += a->second;
  const auto bb = get_varint(b.subspan(pos));
  if (!bb) return std::nullopt;
  pos += bb->second;
  if (b.size() - pos < 4) return std::nullopt;
  c.base_shared = a->first;
  c.base_length = bb->first;
  c.min_shared = b[pos] >> 4;
  c.min_length = b[pos] & 15;
  c.w1 = b[pos + 1];
  c.w2 = b[pos + 2];
  c.w3 = b[pos + 3] >> 4;
  c.w4 = b[pos + 3] & 15;
  if (c.w1 > 32 || c.w2 > 32 || c.header_bits() > 56) return std::nullopt;
  return std::pair{std::move(c), pos + 4};
}

void Code::write_to(std::vector<std::uint8_t>& out) const {
  out.push_back(tag);
  if (tag == 1) {
    out.push_back(static_cast<std::uint8_t>(width));
    bytes::put_u16(out, static_cast<std::uint16_t>(table.size()));
    for (std::uint16_t e : table) bytes::put_u16(out, e);
    return;
  }
  put_varint(out, base_shared);
  put_varint(out, base_length);
  out.push_back(static_cast<std::uint8_t>(min_shared << 4 | min_length));
  out.push_back(static_cast<std::uint8_t>(w1));
  out.push_back(static_cast<std::uint8_t>(w2));
  out.push_back(static_cast<std::uint8_t>(w3 << 4 | w4));
}

std::uint64_t Code::serialized_len() const noexcept {
  if (tag == 1) return 4 + 2 * table.size();
  return 5 + leb_len(base_shared) + leb_len(base_length);
}

namespace {
unsigned bits16(std::uint64_t x) { return std::min(bitlen(x), 16u); }
bool all_ones_below_32768(std::uint64_t x) { return x < 32768 && (x & (x + 1)) == 0; }
}  // namespace

RunFit fit_run(std::span<const Pair> pairs, FitScratch& s) {
  RunFit f;
  f.count = pairs.size();
  f.min_shared = UINT64_MAX;
  f.min_length = UINT64_MAX;
  for (const Pair& p : pairs) {
    f.min_shared = std::min(f.min_shared, p.shared);
    f.min_length = std::min(f.min_length, p.length);
  }
  unsigned max_s = 0, max_l = 0;
  for (const Pair& p : pairs) {
    max_s = std::max(max_s, bits16(p.shared - f.min_shared));
    max_l = std::max(max_l, bits16(p.length - f.min_length));
  }
  const unsigned cs = std::min(max_s, 14u), cl = std::min(max_l, 14u);
  // Clear the rows and columns this run touches (every tally index is at most max_s / max_l).
  for (unsigned i = 0; i <= max_s; ++i)
    for (unsigned j = 0; j <= max_l; ++j) s.a[i * 17 + j] = s.b[i * 17 + j] = 0;
  std::uint64_t total = 0;
  for (const Pair& p : pairs) {
    const std::uint64_t ds = p.shared - f.min_shared, dl = p.length - f.min_length;
    const std::uint64_t e = leb_len(p.shared) + leb_len(p.length);
    total += e;
    const unsigned i = bits16(ds), j = bits16(dl);
    s.a[i * 17 + j] += e;
    if (all_ones_below_32768(ds) && all_ones_below_32768(dl)) s.b[i * 17 + j] += e;
  }
  // 2-D prefix sums: sum[i][j] = the escape bytes of entries that fit widths (i, j).
  for (unsigned i = 0; i <= max_s; ++i) {
    std::uint64_t row = 0;
    for (unsigned j = 0; j <= max_l; ++j) {
      row += s.a[i * 17 + j];
      s.sum[i * 17 + j] = row + (i > 0 ? s.sum[(i - 1) * 17 + j] : 0);
    }
  }
  std::uint64_t best = UINT64_MAX;
  for (unsigned ws = 0; ws <= cs; ++ws) {
    for (unsigned wl = 0; wl <= cl; ++wl) {
      const std::uint64_t esc = total - s.sum[ws * 17 + wl] + s.b[ws * 17 + wl];
      const std::uint64_t cost = ((ws + wl) * f.count + 7) / 8 + esc;
      if (cost < best) best = cost, f.ws = ws, f.wl = wl, f.escape_bytes = esc;
    }
  }
  return f;
}

namespace {

std::optional<Choice> tag0_candidate(std::span<const std::span<const Pair>> runs) {
  FitScratch scratch;
  std::vector<RunFit> fits;
  for (auto run : runs)
    if (!run.empty()) fits.push_back(fit_run(run, scratch));
  std::uint64_t a = UINT64_MAX, b = UINT64_MAX, amax = 0, bmax = 0;
  unsigned p = 15, q = 15, pmax = 0, qmax = 0;
  for (const RunFit& f : fits) {
    a = std::min(a, f.min_shared), amax = std::max(amax, f.min_shared);
    b = std::min(b, f.min_length), bmax = std::max(bmax, f.min_length);
    p = std::min(p, f.ws), pmax = std::max(pmax, f.ws);
    q = std::min(q, f.wl), qmax = std::max(qmax, f.wl);
  }
  if (amax - a >= (std::uint64_t{1} << 32) || bmax - b >= (std::uint64_t{1} << 32))
    return std::nullopt;
  Code c;
  c.tag = 0;
  c.base_shared = a;
  c.base_length = b;
  c.min_shared = p;
  c.min_length = q;
  c.w1 = bitlen(amax - a);
  c.w2 = bitlen(bmax - b);
  c.w3 = bitlen(pmax - p);
  c.w4 = bitlen(qmax - q);
  if (c.header_bits() > 56) return std::nullopt;
  std::uint64_t price = 4 + leb_len(a) + leb_len(b);
  for (const RunFit& f : fits)
    price += f.escape_bytes + (c.header_bits() + f.count * (f.ws + f.wl) + 7) / 8;
  return Choice{std::move(c), price};
}

Choice tag1_candidate(std::span<const std::span<const Pair>> runs) {
  std::vector<std::uint32_t> counts(65536, 0);
  std::uint64_t n = 0, big = 0;
  for (auto run : runs) {
    for (const Pair& p : run) {
      ++n;
      if (p.shared <= 255 && p.length <= 255)
        ++counts[p.shared << 8 | p.length];
      else
        big += leb_len(p.shared) + leb_len(p.length);
    }
  }
  struct Saving {
    std::uint64_t saving;
    std::uint16_t pair;
  };
  std::vector<Saving> distinct;
  std::uint64_t total = 0;
  for (std::uint32_t v = 0; v < 65536; ++v) {
    if (counts[v] == 0) continue;
    const std::uint64_t sv = std::uint64_t{counts[v]} * (leb_len(v >> 8) + leb_len(v & 255));
    distinct.push_back({sv, static_cast<std::uint16_t>(v)});
    total += sv;
  }
  // Ascending pair value breaks ties: shared ascending, then length ascending.
  std::stable_sort(distinct.begin(), distinct.end(),
                   [](const Saving& x, const Saving& y) { return x.saving > y.saving; });
  std::uint64_t best_price = UINT64_MAX;
  unsigned best_w = 1;
  std::size_t best_k = 0;
  for (unsigned w = 1; w <= 10; ++w) {
    const std::size_t k = std::min<std::size_t>((std::size_t{1} << w) - 1, distinct.size());
    std::uint64_t kept = 0;
    for (std::size_t i = 0; i < k; ++i) kept += distinct[i].saving;
    const std::uint64_t price = 4 + 2 * k + (n * w + 7) / 8 + big + total - kept;
    if (price < best_price) best_price = price, best_w = w, best_k = k;
  }
  Code c;
  c.tag = 1;
  c.width = best_w;
  for (std::size_t i = 0; i < best_k; ++i) c.table.push_back(distinct[i].pair);
  return Choice{std::move(c), best_price};
}

}  // namespace

Choice choose_cost(std::span<const std::span<const Pair>> runs) {
  bool any = false;
  for (auto run : runs) any = any || !run.empty();
  if (!any) return Choice{Code::zero(), 0};
  auto t0 = tag0_candidate(runs);
  Choice t1 = tag1_candidate(runs);
  if (!t0 || t1.price < t0->price) return t1;
  return std::move(*t0);
}

}  // namespace quenlith::paircode
