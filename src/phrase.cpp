#include "phrase.hpp"

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <unordered_map>

#include "bytes.hpp"
#include "packed.hpp"
#include "threads.hpp"

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
  t.cells_.assign(1, Cell{0, 0xFFFFFFFF, terminal[0]});
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

std::uint32_t parse(std::span<const std::uint8_t> text, const fsst::Encoder& encoder,
                    const Trie& trie, const Params& params, Scratch& scratch) {
  const std::size_t n = text.size();
  if (scratch.cost.size() < n + 1) scratch.cost.resize(n + 1);
  if (scratch.choice.size() < n) scratch.choice.resize(n);
  if (scratch.padded.size() < n + 8) scratch.padded.resize(n + 8);
  // A zero-padded copy reads the next eight bytes of any position as one word.
  std::uint8_t* padded = scratch.padded.data();
  if (n > 0) std::memcpy(padded, text.data(), n);
  std::memset(padded + n, 0, 8);
  std::uint32_t* cost = scratch.cost.data();
  std::uint32_t* choice = scratch.choice.data();
  const Cell* cells = trie.cells().data();
  const bool phrases = params.phrases;
  const std::uint64_t usable = params.usable, two_byte = params.two_byte;
  cost[n] = 0;
  for (std::size_t i = n; i-- > 0;) {
    const auto m = encoder.find_word(bytes::load_u64(padded + i), n - i);
    std::uint32_t best, pick;
    if (m.code == fsst::kEscape) {
      best = cost[i + 1] + 16;
      pick = 5;
    } else {
      best = cost[i + m.length] + 8;
      pick = std::uint32_t{m.code} << 8 | std::uint32_t{m.length} << 2;
    }
    if (phrases) {
      std::uint32_t cur = 0;
      const std::size_t lim = std::min(n - i, kMaxPhrase);
      for (std::size_t k = 1; k <= lim; ++k) {
        const std::uint32_t t = cells[cur].base + padded[i + k - 1];
        if (cells[t].check != cur) break;
        cur = t;
        const std::uint32_t v = cells[t].value;
        if (v == 0 || v > usable) continue;
        const std::uint64_t id = v - 1;
        const std::uint32_t c = cost[i + k] + (id < two_byte ? 16 : 24);
        if (c < best) {
          best = c;
          pick = static_cast<std::uint32_t>(id << 8 | k << 2 | kPhrase);
        }
      }
    }
    cost[i] = best;
    choice[i] = pick;
  }
  return cost[0];
}

void tokens(std::uint64_t length, Scratch& scratch) {
  scratch.tokens.clear();
  for (std::uint64_t p = 0; p < length;) {
    const std::uint32_t c = scratch.choice[p];
    const std::uint64_t len = (c >> 2) & 63;
    scratch.tokens.push_back({p, len, static_cast<std::uint8_t>(c & 3), c >> 8});
    p += len;
  }
}

void Memo::fill(std::span<const std::uint8_t> text, std::span<const fsst::Encoder* const> encoders,
                const Trie& trie) {
  const std::size_t n = text.size();
  length_ = n;
  pairs_.resize(encoders.size() * n);
  padded_.resize(n + 8);
  if (n > 0) std::memcpy(padded_.data(), text.data(), n);
  std::memset(padded_.data() + n, 0, 8);
  for (std::size_t r = 0; r < encoders.size(); ++r)
    for (std::size_t i = 0; i < n; ++i) {
      const auto m = encoders[r]->find_word(bytes::load_u64(padded_.data() + i), n - i);
      pairs_[r * n + i] = {m.code, m.length};
    }
  matches_.clear();
  starts_.resize(n + 1);
  for (std::size_t i = 0; i < n; ++i) {
    starts_[i] = static_cast<std::uint32_t>(matches_.size());
    trie.walk(text.data() + i, n - i, [&](std::size_t len, std::uint32_t v) {
      matches_.emplace_back(static_cast<std::uint8_t>(len), v);
    });
  }
  starts_[n] = static_cast<std::uint32_t>(matches_.size());
}

std::uint32_t Memo::price(std::size_t row, const Params& params,
                          std::vector<std::uint32_t>& cost) const {
  const std::size_t n = length_;
  if (cost.size() < n + 1) cost.resize(n + 1, 0);
  cost[n] = 0;
  if (n == 0) return 0;
  check_invariant((row + 1) * n <= pairs_.size(), "a memo row covers its text");
  for (std::size_t i = n; i-- > 0;) {
    const auto [code, length] = pairs_[row * n + i];
    std::uint32_t c = code < fsst::kEscape ? cost[i + length] + 8 : cost[i + 1] + 16;
    if (params.phrases)
      for (std::uint32_t k = starts_[i]; k < starts_[i + 1]; ++k) {
        const auto [m, q] = matches_[k];
        if (q > params.usable) continue;
        c = std::min(c, cost[i + m] + (q - 1 < params.two_byte ? 16u : 24u));
      }
    cost[i] = c;
  }
  return cost[0];
}

std::vector<std::pair<unsigned, unsigned>> split_candidates(std::uint64_t phrase_count) {
  std::vector<std::pair<unsigned, unsigned>> candidates;
  for (unsigned s : {127u, 191u, 223u, 239u, 254u}) {
    unsigned ts = 255 - s;
    for (unsigned t = 0; t <= 255 - s; ++t)
      if (std::uint64_t{255 - s - t} * 256 + std::uint64_t{t} * 65536 >= phrase_count) {
        ts = t;
        break;
      }
    for (unsigned t : {0u, ts})
      if (std::find(candidates.begin(), candidates.end(), std::pair{s, t}) == candidates.end())
        candidates.emplace_back(s, t);
  }
  return candidates;
}

std::optional<Settled> settle(std::span<const std::string_view> texts, const fsst::Table& table,
                              const Trie& trie, std::uint64_t phrase_count, Scratch& scratch) {
  if (phrase_count == 0) return std::nullopt;
  const auto candidates = split_candidates(phrase_count);
  std::vector<unsigned> heads_s;
  for (auto [s, t] : candidates)
    if (std::find(heads_s.begin(), heads_s.end(), s) == heads_s.end()) heads_s.push_back(s);
  std::vector<fsst::Encoder> encoders;
  encoders.push_back(table.encoder());
  for (unsigned s : heads_s) encoders.push_back(table.head(s).encoder());
  std::vector<const fsst::Encoder*> rows;
  for (const auto& e : encoders) rows.push_back(&e);
  auto row_of = [&](unsigned s) {
    return 1 +
           static_cast<std::size_t>(std::find(heads_s.begin(), heads_s.end(), s) - heads_s.begin());
  };
  std::uint64_t baseline = 0;
  std::vector<std::uint64_t> costs(candidates.size(), 0);
  Memo memo;
  for (std::string_view text : texts) {
    memo.fill(bytes::as_bytes(text), rows, trie);
    baseline += memo.price(0, Params::off(), scratch.cost) / 8;
    for (std::size_t c = 0; c < candidates.size(); ++c) {
      const auto [s, t] = candidates[c];
      costs[c] += memo.price(row_of(s), Params::split(s, t), scratch.cost) / 8;
    }
  }
  std::uint64_t best = baseline;
  std::optional<std::size_t> chosen;
  for (std::size_t c = 0; c < candidates.size(); ++c)
    if (costs[c] < best) best = costs[c], chosen = c;
  if (!chosen) return std::nullopt;
  const auto [s, t] = candidates[*chosen];
  const Params params = Params::split(s, t);
  fsst::Table head = table.head(s);
  const fsst::Encoder& head_enc = encoders[row_of(s)];
  std::vector<std::string_view> residual;
  for (std::string_view text : texts) {
    const auto b = bytes::as_bytes(text);
    parse(b, head_enc, trie, params, scratch);
    tokens(b.size(), scratch);
    std::uint64_t from = 0;
    for (const Token& tk : scratch.tokens) {
      if (tk.kind != kPhrase) continue;
      if (tk.position > from) residual.push_back(text.substr(from, tk.position - from));
      from = tk.position + tk.length;
    }
    if (from < text.size()) residual.push_back(text.substr(from));
  }
  fsst::Table retrained = fsst::Table::train_to(residual, s);
  const fsst::Encoder re = retrained.encoder();
  std::uint64_t again = 0;
  for (std::string_view text : texts)
    again += parse(bytes::as_bytes(text), re, trie, params, scratch) / 8;
  if (again < best) return Settled{s, t, std::move(retrained)};
  return Settled{s, t, std::move(head)};
}

bool rank(const Candidate& a, const Candidate& b) {
  if (a.gain != b.gain) return a.gain > b.gain;
  if (a.prefix != b.prefix) return a.prefix < b.prefix;
  return a.bytes < b.bytes;
}

namespace {

// The running hashes of `candidate_key` over bytes fed in order.
struct KeyHash {
  std::uint64_t h = 0x9E3779B97F4A7C15ULL;
  std::uint64_t f = 0xcbf29ce484222325ULL;
  void feed(const std::uint8_t* p, std::uint64_t n) {
    for (std::uint64_t i = 0; i < n; ++i) {
      h = (p[i] ^ std::rotl(h, 5)) * 0x517CC1B727220A95ULL;
      f = (f ^ p[i]) * 0x100000001b3ULL;
    }
  }
  std::uint64_t key(std::uint64_t length) const {
    return (length ^ std::rotr(h, 32) ^ f) * 0x9E3779B97F4A7C15ULL;
  }
};

}  // namespace

std::uint64_t candidate_key(std::span<const std::uint8_t> x) {
  KeyHash hash;
  hash.feed(x.data(), x.size());
  return hash.key(x.size());
}

void CountMap::reserve(std::size_t n) {
  const std::size_t cap = n + n / 3 + 16;
  if (cap <= slots_.size()) return;
  std::vector<Entry> old(cap);
  old.swap(slots_);
  grow_at_ = cap / 4 * 3;
  for (const Entry& e : old)
    if (e.gain != 0) place(e);
}

void CountMap::drop_at_most(std::uint64_t floor) {
  const std::size_t cap = slots_.size();
  if (size_ == 0) return;
  for (Entry& e : slots_)
    if (e.gain != 0 && e.gain <= floor) {
      e.gain = 0;
      --size_;
    }
  // Settle the survivors in place: from just after a free slot, every entry in turn leaves its
  // slot and goes to the first free one from its home, which is never later than where it was.
  std::size_t start = 0;
  while (slots_[start].gain != 0) ++start;
  for (std::size_t step = 1; step <= cap; ++step) {
    std::size_t i = start + step;
    if (i >= cap) i -= cap;
    if (slots_[i].gain == 0) continue;
    const Entry e = slots_[i];
    slots_[i].gain = 0;
    place(e);
  }
}

namespace {

std::uint64_t prefix_of(std::string_view b) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < 8; ++i)
    v = v << 8 | (i < b.size() ? static_cast<std::uint8_t>(b[i]) : 0);
  return v;
}

std::size_t map_of(std::uint64_t key, std::size_t m) {
  return static_cast<std::size_t>(((key >> 32) * m) >> 32);
}

}  // namespace

namespace {

// A candidate occurrence of a piece, counted once the whole piece is read.
struct Occurrence {
  std::uint64_t key;
  std::uint64_t gain;
  std::uint64_t position;
  std::uint64_t length;
};

}  // namespace

void round(std::span<const Unit> units, const Trie& trie, std::uint64_t phrase_count,
           std::uint64_t limit, std::span<CountMap> maps) {
  const std::size_t m = maps.size();
  Scratch scratch, plain;
  std::vector<std::uint32_t> symbol_cost;
  std::vector<std::uint64_t> gains;
  std::vector<Occurrence> found;
  for (const Unit& unit : units) {
    const fsst::Encoder enc = unit.table->encoder();
    symbol_cost.assign(phrase_count, 0);  // 0: not yet known
    for (std::string_view piece : unit.pieces) {
      const auto text = bytes::as_bytes(piece);
      parse(text, enc, trie, Params::mining(), scratch);
      tokens(text.size(), scratch);
      const Token* tk = scratch.tokens.data();
      const std::size_t count = scratch.tokens.size();
      found.clear();
      for (std::size_t i = 0; i < count; ++i) {
        std::uint64_t len = 0, cost = 0;
        KeyHash hash;
        const std::size_t last = std::min(count, i + 3);
        for (std::size_t j = i; j < last; ++j) {
          len += tk[j].length;
          if (len > kMaxPhrase) break;
          cost += tk[j].kind == kSymbol ? 1 : 2;
          hash.feed(text.data() + tk[j].position, tk[j].length);
          std::uint64_t gain = 0;
          if (j == i) {
            if (tk[i].kind != kPhrase) continue;
            std::uint32_t& c = symbol_cost[tk[i].value];
            if (c == 0)
              c = parse(text.subspan(tk[i].position, tk[i].length), enc, trie, Params::off(),
                        plain) /
                  8;
            gain = c > 2 ? c - 2 : 0;
          } else {
            if (len < 3) continue;
            gain = cost - 2;
          }
          if (gain == 0) continue;
          const std::uint64_t key = hash.key(len);
          maps[m == 1 ? 0 : map_of(key, m)].prefetch(key);
          found.push_back({key, gain, tk[i].position, len});
        }
      }
      // Counted in the order found, their slots already on their way into the cache.
      for (const Occurrence& o : found)
        maps[m == 1 ? 0 : map_of(o.key, m)].add(o.key, o.gain, piece.substr(o.position, o.length));
      std::uint64_t total = 0;
      for (const CountMap& map : maps) total += map.size();
      if (total > limit) {
        gains.clear();
        for (const CountMap& map : maps) map.gains_into(gains);
        const auto mid = gains.begin() + static_cast<std::ptrdiff_t>(gains.size() / 2);
        std::nth_element(gains.begin(), mid, gains.end());
        const std::uint64_t median = *mid;
        for (CountMap& map : maps) map.drop_at_most(median);
      }
    }
  }
}

void cut(std::vector<Candidate>& records, std::uint64_t k) {
  if (records.size() <= k) return;
  std::nth_element(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(k), records.end(),
                   rank);
  records.resize(k);
}

std::vector<Candidate> merge(std::vector<CountMap> maps, std::uint64_t k) {
  std::vector<Candidate> out;
  if (maps.empty()) return out;
  std::size_t acc = 0, total = 0;
  for (std::size_t i = 0; i < maps.size(); ++i) {
    if (maps[i].size() >= maps[acc].size()) acc = i;
    total += maps[i].size();
  }
  // The largest map's entries go in first, so they keep their bytes; the others add in order.
  CountMap into(total);
  // Each entry's slot is fetched a few entries ahead of its add.
  constexpr std::size_t kAhead = 8;
  std::array<CountMap::Entry, kAhead> ring;
  auto absorb = [&](CountMap& from) {
    std::size_t seen = 0;
    from.each([&](const CountMap::Entry& e) {
      into.prefetch(e.key);
      if (seen >= kAhead) {
        const CountMap::Entry& old = ring[seen % kAhead];
        into.add(old.key, old.gain, old.bytes);
      }
      ring[seen++ % kAhead] = e;
    });
    for (std::size_t i = seen > kAhead ? seen - kAhead : 0; i < seen; ++i)
      into.add(ring[i % kAhead].key, ring[i % kAhead].gain, ring[i % kAhead].bytes);
    from = CountMap{};
  };
  absorb(maps[acc]);
  for (std::size_t i = 0; i < maps.size(); ++i)
    if (i != acc) absorb(maps[i]);
  out.reserve(into.size());
  into.each(
      [&](const CountMap::Entry& e) { out.push_back({e.gain, prefix_of(e.bytes), e.bytes}); });
  cut(out, k);
  return out;
}

bool worth(std::span<const Unit> units, std::span<const std::string> phrases) {
  if (units.empty()) return false;
  const Trie trie = Trie::of(phrases);
  const std::size_t step = (units.size() + 2) / 3;
  Scratch scratch;
  for (std::size_t u = 0; u < units.size(); u += step) {
    const Unit& unit = units[u];
    const std::size_t q = std::max<std::size_t>((unit.pieces.size() + 2047) / 2048, 1);
    std::vector<std::string_view> train, test;
    for (std::size_t i = 0, pos = 0; i < unit.pieces.size(); i += q, ++pos)
      (pos % 2 == 0 ? train : test).push_back(unit.pieces[i]);
    const auto settled = settle(train, *unit.table, trie, phrases.size(), scratch);
    if (!settled || test.empty()) continue;
    const fsst::Encoder with_enc = settled->table.encoder();
    const fsst::Encoder own_enc = unit.table->encoder();
    const Params params = Params::split(settled->s, settled->t);
    std::uint64_t with = 0, without = 0;
    for (std::string_view piece : test) {
      with += parse(bytes::as_bytes(piece), with_enc, trie, params, scratch) / 8;
      without += parse(bytes::as_bytes(piece), own_enc, trie, Params::off(), scratch) / 8;
    }
    if (with * 100 < without * 97) return true;
  }
  return false;
}

namespace {

// The entries each of `m` maps should have room for while `round` counts over `units`: at most
// three candidates start at a byte, and pruning keeps the maps near `limit` (one piece may pass
// it). `per_piece`, when above 0, is how many distinct candidates a sampled piece brought in the
// early test; it scales to the units' pieces with a margin.
std::uint64_t room_per_map(std::span<const Unit> units, double per_piece, std::uint64_t limit,
                           std::uint64_t m) {
  std::uint64_t count = 0, total = 0, longest = 0;
  for (const Unit& u : units) {
    count += u.pieces.size();
    for (std::string_view p : u.pieces) {
      total += p.size();
      longest = std::max<std::uint64_t>(longest, p.size());
    }
  }
  std::uint64_t room = std::min(3 * total, limit + 3 * longest);
  if (per_piece > 0)
    room = std::min(
        room, static_cast<std::uint64_t>(per_piece * 1.25 * static_cast<double>(count)) + 1024);
  const std::uint64_t each = room / m;
  return each + each / 8 + 64;
}

std::vector<std::string> select(std::vector<Candidate> records, std::uint64_t scale) {
  std::sort(records.begin(), records.end(), rank);
  std::vector<std::string> out;
  for (const Candidate& c : records)
    if (c.gain * scale > 18 + 6 * c.bytes.size()) out.emplace_back(c.bytes);
  return out;
}

}  // namespace

std::vector<std::string> mine(std::span<const std::vector<std::string_view>> pieces,
                              std::span<const fsst::Table> tables, std::uint64_t n,
                              std::uint64_t budget, unsigned threads) {
  threads = std::max(threads, 1u);
  std::uint64_t total = 0;
  for (const auto& p : pieces) total += p.size();
  const std::uint64_t stride = std::max<std::uint64_t>((total + 399999) / 400000, 1);
  std::vector<std::vector<std::string_view>> samples;
  std::vector<const fsst::Table*> unit_tables;
  for (std::size_t s = 0; s < pieces.size() && s < tables.size(); ++s) {
    std::vector<std::string_view> sample;
    for (std::size_t i = 0; i < pieces[s].size(); i += stride) sample.push_back(pieces[s][i]);
    if (sample.empty()) continue;
    samples.push_back(std::move(sample));
    unit_tables.push_back(&tables[s]);
  }
  if (samples.empty()) return {};
  std::vector<Unit> units;
  std::uint64_t sampled = 0;
  for (std::size_t u = 0; u < samples.size(); ++u) {
    units.push_back({samples[u], unit_tables[u]});
    sampled += samples[u].size();
  }
  const std::uint64_t count = units.size();
  const std::uint64_t a = (count + 15) / 16;
  const std::uint64_t b = (count + a - 1) / a;
  const std::uint64_t m = std::max<std::uint64_t>(std::min<std::uint64_t>(threads, b), 1);
  const std::uint64_t g = std::max<std::uint64_t>((b + threads - 1) / threads, 1);
  const std::uint64_t k0 = std::max<std::uint64_t>(sampled / 4, 1);
  const std::uint64_t scale = std::max<std::uint64_t>(n / sampled, 1);
  constexpr std::uint64_t kLimit = 262144;
  double per_piece = 0;  // distinct candidates a piece brings, once the early test measured it

  if (sampled > 6250) {
    const std::uint64_t stride2 = (sampled + 6249) / 6250;
    std::vector<std::vector<std::string_view>> subs(units.size());
    std::vector<Unit> sub_units;
    std::uint64_t s2 = 0;
    for (std::size_t u = 0; u < units.size(); ++u) {
      for (std::size_t i = 0; i < units[u].pieces.size(); i += stride2)
        subs[u].push_back(units[u].pieces[i]);
      s2 += subs[u].size();
      sub_units.push_back({subs[u], units[u].table});
    }
    const std::uint64_t scale2 = std::max<std::uint64_t>(n / s2, 1);
    std::vector<CountMap> one;
    // Before anything is measured, room for 8 distinct candidates a piece; the one map of this
    // single small round grows if the sample brings more.
    one.emplace_back(room_per_map(sub_units, 8, kLimit, 1));
    round(sub_units, Trie::empty(), 0, kLimit, one);
    if (one[0].size() < kLimit / 2)
      per_piece = static_cast<double>(one[0].size()) / static_cast<double>(s2);
    const auto chosen = select(merge(std::move(one), std::min<std::uint64_t>(k0, 32768)), scale2);
    if (chosen.empty() || !worth(units, chosen)) return {};
  }

  std::vector<std::string> list;
  for (int pass = 1; pass <= 3; ++pass) {
    const Trie trie = Trie::of(list);
    const std::uint64_t partitions = b;
    std::vector<std::vector<CountMap>> maps(partitions);
    const std::uint64_t chunk = g * a;
    const auto counters = static_cast<unsigned>((count + chunk - 1) / chunk);
    threads::run_workers_or_panic(counters, "mining a pool cannot panic", [&](unsigned w) {
      const std::uint64_t lo = w * chunk, hi = std::min(count, lo + chunk);
      for (std::uint64_t p0 = lo; p0 < hi; p0 += a) {
        const std::uint64_t p1 = std::min(hi, p0 + a);
        const auto partition = std::span(units).subspan(p0, p1 - p0);
        const std::uint64_t room = room_per_map(partition, per_piece, kLimit, m);
        std::vector<CountMap> part;
        for (std::uint64_t j = 0; j < m; ++j) part.emplace_back(room);
        round(partition, trie, list.size(), kLimit, part);
        maps[p0 / a] = std::move(part);
      }
    });
    const std::uint64_t k = pass < 3 ? std::min<std::uint64_t>(32768, k0) : std::min(budget, k0);
    std::vector<std::vector<Candidate>> merged(m);
    threads::run_workers_or_panic(
        static_cast<unsigned>(m), "merging a partition cannot panic", [&](unsigned j) {
          std::vector<CountMap> column;
          for (auto& part : maps) column.push_back(std::move(part[j]));
          merged[j] = merge(std::move(column), k);
        });
    std::vector<Candidate> all;
    for (auto& part : merged) all.insert(all.end(), part.begin(), part.end());
    cut(all, k);
    std::vector<std::string> next = select(std::move(all), scale);
    if (next.empty()) return {};
    if (pass == 1 && !worth(units, next)) return {};
    list = std::move(next);
  }
  return list;
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
