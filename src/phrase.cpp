#include "phrase.hpp"

#include <algorithm>
#include <deque>
#include <unordered_map>

#include "bytes.hpp"
#include "packed.hpp"

namespace quenlith::phrase {

Dict Dict::of(std::span<const std::string> phrases) {
  Dict d;
  d.bytes_.clear();
  for (std::size_t i = 0; i < phrases.size(); ++i) {
    if (i % 256 == 0) {
      d.bases_.push_back(static_cast<std::uint32_t>(d.bytes_.size()));
      d.offsets_.push_back(0);
    }
    check_invariant(!d.bases_.empty(), "a group is open");
    d.bytes_.insert(d.bytes_.end(), phrases[i].begin(), phrases[i].end());
    d.offsets_.push_back(static_cast<std::uint16_t>(d.bytes_.size() - d.bases_.back()));
    if (i % 256 == 255 || i + 1 == phrases.size())
      while (d.offsets_.size() % 257 != 0) d.offsets_.push_back(0);
  }
  d.data_len_ = d.bytes_.size();
  d.count_ = phrases.size();
  d.bytes_.insert(d.bytes_.end(), kPad, 0);
  return d;
}

std::optional<Dict> Dict::read(std::span<const std::uint8_t> s) {
  if (s.size() < 4) return std::nullopt;
  const std::uint64_t n = bytes::load_u32(s.data());
  const std::uint64_t g = (n + 255) >> 8;
  const std::uint64_t rest = s.size() - 4;
  if (rest < 4 * g || rest - 4 * g < 514 * g) return std::nullopt;
  Dict d;
  d.data_len_ = rest - 518 * g;
  d.count_ = n;
  const std::uint8_t* p = s.data() + 4;
  d.bases_.resize(g);
  for (std::uint64_t i = 0; i < g; ++i) d.bases_[i] = bytes::load_u32(p + 4 * i);
  p += 4 * g;
  d.offsets_.resize(257 * g);
  for (std::uint64_t i = 0; i < 257 * g; ++i) d.offsets_[i] = bytes::load_u16(p + 2 * i);
  p += 514 * g;
  for (std::uint64_t id = 0; id < n; ++id) {
    const std::uint64_t grp = id >> 8, k = id + grp;
    const std::uint16_t a = d.offsets_[k], e = d.offsets_[k + 1];
    if (e <= a || static_cast<std::size_t>(e - a) > kMaxPhrase) return std::nullopt;
    if (std::uint64_t{d.bases_[grp]} + e > d.data_len_) return std::nullopt;
  }
  d.bytes_.assign(p, p + d.data_len_);
  d.bytes_.insert(d.bytes_.end(), kPad, 0);
  return d;
}

void Dict::write_to(std::vector<std::uint8_t>& out) const {
  check_invariant(data_len_ <= bytes_.size(), "the phrase data fits its bytes");
  bytes::put_u32(out, static_cast<std::uint32_t>(count_));
  for (std::uint32_t b : bases_) bytes::put_u32(out, b);
  for (std::uint16_t o : offsets_) bytes::put_u16(out, o);
  out.insert(out.end(), bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(data_len_));
}

Trie Trie::empty() {
  Trie t;
  t.cells_.assign(256, Cell{});
  return t;
}

Trie Trie::of(std::span<const std::string> phrases) {
  // A pointer trie first: nodes in creation order, edges (parent, byte, child).
  struct Edge {
    std::uint32_t parent;
    std::uint8_t byte;
    std::uint32_t child;
  };
  std::unordered_map<std::uint64_t, std::uint32_t, Mix> children;
  std::vector<std::uint32_t> terminal{0};
  std::vector<Edge> edges;
  for (std::size_t i = 0; i < phrases.size(); ++i) {
    std::uint32_t node = 0;
    for (unsigned char b : phrases[i]) {
      const std::uint64_t key = (std::uint64_t{node} << 8) | b;
      auto it = children.find(key);
      if (it == children.end()) {
        const auto child = static_cast<std::uint32_t>(terminal.size());
        terminal.push_back(0);
        children.emplace(key, child);
        edges.push_back({node, b, child});
        node = child;
      } else {
        node = it->second;
      }
    }
    terminal[node] = static_cast<std::uint32_t>(i + 1);
  }
  std::sort(edges.begin(), edges.end(), [](const Edge& x, const Edge& y) {
    if (x.parent != y.parent) return x.parent < y.parent;
    if (x.byte != y.byte) return x.byte < y.byte;
    return x.child < y.child;
  });
  std::vector<std::size_t> first(terminal.size() + 1, 0);
  for (const Edge& e : edges) ++first[e.parent + 1];
  for (std::size_t i = 1; i < first.size(); ++i) first[i] += first[i - 1];

  Trie t;
  t.cells_.push_back(Cell{0, 0xFFFFFFFF, terminal[0]});
  std::vector<std::uint64_t> used{1};
  auto is_used = [&](std::uint64_t i) {
    return (i >> 6) < used.size() && ((used[i >> 6] >> (i & 63)) & 1);
  };
  auto next_clear = [&](std::uint64_t i) {
    for (;;) {
      const std::uint64_t w = i >> 6;
      if (w >= used.size()) return i;
      const std::uint64_t free = ~used[w] >> (i & 63);
      if (free != 0) return i + static_cast<std::uint64_t>(std::countr_zero(free));
      i = (w + 1) << 6;
    }
  };
  std::deque<std::pair<std::uint32_t, std::uint32_t>> queue{{0, 0}};
  std::uint64_t hint = 256;
  while (!queue.empty()) {
    const auto [node, cell] = queue.front();
    queue.pop_front();
    const std::size_t lo = first[node], hi = first[node + 1];
    if (lo == hi) continue;
    std::uint64_t pos = next_clear(hint);
    std::uint64_t base;
    for (;;) {
      base = pos - edges[lo].byte;
      bool clear = true;
      for (std::size_t e = lo; e < hi && clear; ++e) clear = !is_used(base + edges[e].byte);
      if (clear) break;
      pos = next_clear(pos + 1);
    }
    check_invariant(base + 255 < 0xFFFFFFFFull, "a trie cell index fits 32 bits");
    t.cells_[cell].base = static_cast<std::uint32_t>(base);
    for (std::size_t e = lo; e < hi; ++e) {
      const std::uint64_t c = base + edges[e].byte;
      if (c >= t.cells_.size()) t.cells_.resize(c + 1, Cell{});
      if ((c >> 6) >= used.size()) used.resize((c >> 6) + 1, 0);
      used[c >> 6] |= std::uint64_t{1} << (c & 63);
      t.cells_[c].check = cell;
      t.cells_[c].value = terminal[edges[e].child];
      queue.emplace_back(edges[e].child, static_cast<std::uint32_t>(c));
    }
    hint = next_clear(hint);
  }
  std::uint64_t max_base = 0;
  for (const Cell& c : t.cells_) max_base = std::max<std::uint64_t>(max_base, c.base);
  if (t.cells_.size() < max_base + 256) t.cells_.resize(max_base + 256, Cell{});
  return t;
}

std::uint64_t parse_plain(std::span<const std::uint8_t> text, const fsst::Encoder& encoder,
                          std::vector<std::uint32_t>& cost) {
  const std::size_t len = text.size();
  if (cost.size() < len + 1) cost.resize(len + 1, 0);
  cost[len] = 0;
  for (std::size_t i = len; i-- > 0;) {
    const auto m = encoder.find(text.data(), len, i);
    cost[i] = m.code == fsst::kEscape ? cost[i + 1] + 16 : cost[i + m.length] + 8;
  }
  return cost[0];
}

bool packed_only(std::span<const std::vector<std::string_view>> pieces,
                 std::span<const fsst::Table> tables) {
  const std::size_t shards = pieces.size();
  if (shards == 0) return false;
  const std::size_t step = (shards + 2) / 3;
  bool examined = false;
  std::vector<std::uint32_t> scratch;
  for (std::size_t s = 0; s < shards; s += step) {
    const auto& list = pieces[s];
    if (list.empty()) continue;
    const std::size_t every = std::max<std::size_t>((list.size() + 2047) / 2048, 1);
    std::array<std::uint64_t, 256> counts{};
    for (std::size_t i = 0; i < list.size(); i += every)
      for (unsigned char c : list[i]) ++counts[c];
    const auto alphabet = packed::Alphabet::of(counts);
    if (!alphabet) return false;
    const fsst::Encoder enc = tables[std::min(s, tables.size() - 1)].encoder();
    std::uint64_t table_bytes = 0;
    for (std::size_t i = 0; i < list.size(); i += every)
      table_bytes += parse_plain(bytes::as_bytes(list[i]), enc, scratch) / 8;
    if (alphabet->cost / 8 >= table_bytes) return false;
    examined = true;
  }
  return examined;
}

}  // namespace quenlith::phrase
