#include "fsst.hpp"

#include <algorithm>
#include <bit>
#include <unordered_map>

namespace quenlith::fsst {

namespace {
constexpr std::uint16_t kEscapeEntry = 0x01FF;  // code 255, length 1
std::uint64_t mask_for(unsigned len) {
  return len >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * len)) - 1;
}
}  // namespace

std::optional<Table> Table::from_bytes(std::span<const std::uint8_t> b) {
  if (b.empty()) return std::nullopt;
  const std::size_t n = b[0];
  if (n > b.size() - 1) return std::nullopt;
  std::size_t rest = b.size() - 1 - n;
  Table t;
  t.symbols_.reserve(n);
  t.lengths_.reserve(n);
  std::size_t cur = 1 + n;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned len = b[1 + i];
    if (len == 0 || len > 8 || rest < len) return std::nullopt;
    std::uint64_t v = 0;
    for (unsigned k = 0; k < len; ++k) v |= std::uint64_t{b[cur + k]} << (8 * k);
    t.push(v, len);
    rest -= len;
    cur += len;
  }
  if (rest != 0) return std::nullopt;
  return t;
}

void Table::write_to(std::vector<std::uint8_t>& out) const {
  out.push_back(static_cast<std::uint8_t>(size()));
  out.insert(out.end(), lengths_.begin(), lengths_.end());
  for (std::size_t i = 0; i < size(); ++i)
    for (unsigned k = 0; k < lengths_[i]; ++k)
      out.push_back(static_cast<std::uint8_t>(symbols_[i] >> (8 * k)));
}

std::uint64_t Table::serialized_len() const noexcept {
  std::uint64_t total = 1 + size();
  for (auto l : lengths_) total += l;
  return total;
}

Encoder Table::encoder() const {
  Encoder e;
  e.two_byte_.assign(65536, kEscapeEntry);
  e.one_byte_.assign(256, kEscapeEntry);
  e.slots_.assign(kSlots, Encoder::Slot{});
  for (std::size_t i = 0; i < size(); ++i) {
    const std::uint64_t s = symbols_[i];
    const unsigned len = lengths_[i];
    const auto entry = static_cast<std::uint16_t>(i | (len << 8));
    if (len == 1) {
      e.one_byte_[s & 0xFF] = entry;
      for (unsigned second = 0; second < 256; ++second) {
        std::uint16_t& slot = e.two_byte_[(s & 0xFF) | (second << 8)];
        if (slot == kEscapeEntry) slot = entry;
      }
    } else if (len == 2) {
      e.two_byte_[s & 0xFFFF] = entry;
    } else {
      Encoder::Slot& slot = e.slots_[slot_of(s)];
      if (slot.len < len)
        slot = {s, mask_for(len), static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(len)};
    }
  }
  return e;
}

void Encoder::encode(std::span<const std::uint8_t> text, std::vector<std::uint8_t>& out) const {
  std::size_t p = 0;
  while (p < text.size()) {
    const Match m = find(text.data(), text.size(), p);
    if (m.code == kEscape) {
      out.push_back(kEscape);
      out.push_back(text[p]);
      p += 1;
    } else {
      out.push_back(m.code);
      p += m.length;
    }
  }
}

Table Table::head(std::uint64_t k) const {
  Table t;
  const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>(k, size()));
  t.symbols_.assign(symbols_.begin(), symbols_.begin() + m);
  t.lengths_.assign(lengths_.begin(), lengths_.begin() + m);
  return t;
}

namespace {

struct Candidate {
  std::uint64_t value;
  unsigned length;
  std::uint64_t gain;
};

struct KeyHash {
  std::size_t operator()(std::uint64_t k) const noexcept {
    return static_cast<std::size_t>(std::rotr(k * 0x9E3779B97F4A7C15ULL, 29));
  }
};

// Candidates keyed by (value, length). A value of 8 bytes uses every bit, so the length is kept
// in a second map level only when needed: values of fewer bytes than 8 never set the top byte,
// and two candidates of one value with different lengths differ only by trailing zero bytes.
class Gains {
 public:
  void add(std::uint64_t value, unsigned length, std::uint64_t gain) {
    by_len_[length - 1][value] += gain;
  }
  std::vector<Candidate> sorted() const {
    std::vector<Candidate> out;
    for (unsigned l = 0; l < 8; ++l)
      for (const auto& [v, g] : by_len_[l]) out.push_back({v, l + 1, g});
    std::sort(out.begin(), out.end(), [](const Candidate& a, const Candidate& b) {
      if (a.gain != b.gain) return a.gain > b.gain;
      const std::uint64_t ka = __builtin_bswap64(a.value), kb = __builtin_bswap64(b.value);
      if (ka != kb) return ka < kb;
      return a.length < b.length;
    });
    return out;
  }

 private:
  std::unordered_map<std::uint64_t, std::uint64_t, KeyHash> by_len_[8];
};

}  // namespace

Table Table::train_to(std::span<const std::string_view> pieces, std::uint64_t limit) {
  check_invariant(limit <= 255, "a symbol table holds at most 255 symbols");
  Table t;
  std::vector<std::uint64_t> count1;
  std::vector<std::uint64_t> count2;  // wider than 32 bits: no pass can overflow a counter
  for (int pass = 1;; ++pass) {
    const Encoder enc = t.encoder();
    const std::size_t n = t.size();
    const std::size_t m = n + 256;
    std::vector<std::uint64_t> values(m);
    std::vector<unsigned> lens(m);
    for (std::size_t i = 0; i < n; ++i) values[i] = t.symbols_[i], lens[i] = t.lengths_[i];
    for (std::size_t b = 0; b < 256; ++b) values[n + b] = b, lens[n + b] = 1;
    count1.assign(m, 0);
    count2.assign(m * m, 0);
    for (std::string_view piece : pieces) {
      const auto* text = reinterpret_cast<const std::uint8_t*>(piece.data());
      const std::size_t len = piece.size();
      std::size_t p = 0;
      std::size_t prev = SIZE_MAX;
      while (p < len) {
        const Encoder::Match mt = enc.find(text, len, p);
        std::size_t x;
        unsigned l = mt.length;
        if (mt.code == kEscape) {
          x = n + text[p];
          l = 1;
        } else {
          x = mt.code;
        }
        count1[x] += 1;
        if (l >= 2)
          for (unsigned k = 0; k < l; ++k) count1[n + text[p + k]] += 1;
        if (prev != SIZE_MAX) count2[prev * m + x] += 1;
        prev = x;
        p += l;
      }
    }
    Gains gains;
    for (std::size_t i = 0; i < m; ++i)
      if (count1[i] > 0) gains.add(values[i], lens[i], lens[i] * count1[i]);
    for (std::size_t i = 0; i < m; ++i) {
      if (lens[i] >= 8) continue;
      const std::uint64_t* row = count2.data() + i * m;
      for (std::size_t j = 0; j < m; ++j) {
        if (row[j] == 0) continue;
        const unsigned l = lens[i] + lens[j];
        if (l > 8) continue;
        gains.add(values[i] | (values[j] << (8 * lens[i])), l, l * row[j]);
      }
    }
    Table next;
    std::vector<bool> flagged(kSlots, false);
    for (const Candidate& c : gains.sorted()) {
      if (next.size() >= limit) break;
      if (c.length >= 3) {
        const unsigned s = slot_of(c.value);
        if (flagged[s]) continue;
        flagged[s] = true;
      }
      next.push(c.value, c.length);
    }
    if (next == t) return t;
    t = std::move(next);
    if (pass == 4) return t;
  }
}

}  // namespace quenlith::fsst
