// Construction of the Levenshtein automaton.
//
// A "row" is the last row of the edit-distance table between the query q (n scalars) and the
// input read so far: row[j] = min(distance(input, q[0..j)), d + 1) for j = 1..n (anything above d
// is equally hopeless), and row[0] is the input length, not capped. Rows are the states of a
// character-level automaton; the byte-level automaton is made by giving each row's state UTF-8
// edges:
//
//   * for each query character c (at a position whose row entry is still <= d), the bytes of c
//     lead to step(row, c);
//   * every other scalar leads to step(row, other), the same for all of them, via the nine
//     byte-range sequences that cover U+0000..U+10FFFF, each with its own chain of
//     intermediate states.
//
// Query characters are added after the mismatch edges and take precedence over them. A
// multi-byte character must not disturb the other scalars that share its leading bytes, so its
// path is made of copies of the intermediate states it passes through, each copy keeping the
// edges of the original and changing only the one byte on the character's path. Each query
// character thereby adds (UTF-8 length - 1) states and each mismatch step 18, whatever the
// characters; for an ASCII query no state is left unreachable.
//
// Rows are explored depth first from the start row [0, 1, ..., n]; each new row gets the next
// state number when it is first reached, and the intermediate states are numbered as they are
// made. Construction stops with an error as soon as the count passes the limit.
//
// Band: since distance(input, q[0..j)) >= |len - j|, only the entries j in [len - d, len + d]
// can be <= d; the rest are d + 1. A row is therefore kept as its length and that band, which
// makes a step cost O(d) rather than O(n). Neighbouring entries of an edit-distance row differ by
// at most 1, so the band is stored as its first value and 2-bit differences.
//
// Byte classes: every edge above covers either one byte of a query character or one of the byte
// ranges of the nine sequences, so two bytes that lie in the same set of those ranges and are not
// bytes of the query are treated alike by every state. The automaton keeps a byte -> class map
// and a table of states x classes 16-bit entries:
//
//   class_of_[b]                      byte -> class (0 .. classes_ - 1)
//   next_[state * classes_ + class]   next state, 0xFFFF for none
//
// For an ASCII query that is about 13 + (distinct letters) classes instead of 256 columns.
#include "fst/levenshtein.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <stdexcept>
#include <string>

#include "fst/error.hpp"
#include "fst/utf8.hpp"

namespace fst::automaton {

LevenshteinError LevenshteinError::too_many_states(std::size_t limit) {
  return LevenshteinError(
      "Levenshtein automaton exceeds size limit of " + std::to_string(limit) + " states", limit);
}

namespace {

[[noreturn]] void throw_too_many_states(std::size_t limit) {
  throw LevenshteinError::too_many_states(limit);
}

using Entry = std::uint16_t;
constexpr Entry kNone = 0xFFFF;

// A row: the input length and the entries lo..hi (lo = max(1, len - d), hi = min(n, len + d));
// entries 1..n outside the band are d + 1.
struct Row {
  std::uint64_t len = 0;
  std::vector<std::uint64_t> band;
};

// Groups the bytes into classes: each byte of `query` alone, every other byte by the set of
// sequence ranges it lies in. Returns the number of classes.
std::uint32_t byte_classes(std::string_view query, const std::vector<utf8::Utf8Sequence>& seqs,
                           std::array<std::uint8_t, 256>& class_of) {
  std::array<std::uint64_t, 256> sig{};
  unsigned bit = 0;
  for (const auto& seq : seqs) {
    for (const auto& r : seq.ranges()) {
      if (bit >= 63) throw std::logic_error("too many UTF-8 ranges for a byte-class signature");
      for (unsigned b = r.start; b <= r.end; ++b) sig[b] |= std::uint64_t{1} << bit;
      ++bit;
    }
  }
  for (const unsigned char c : query) sig[c] = (std::uint64_t{1} << 63) | c;
  std::vector<std::uint64_t> seen;
  for (unsigned b = 0; b < 256; ++b) {
    auto it = std::find(seen.begin(), seen.end(), sig[b]);
    if (it == seen.end()) it = seen.insert(seen.end(), sig[b]);
    class_of[b] = static_cast<std::uint8_t>(it - seen.begin());
  }
  return static_cast<std::uint32_t>(seen.size());
}

class Builder {
 public:
  Builder(const std::vector<char32_t>& q, std::uint32_t distance,
          const std::vector<utf8::Utf8Sequence>& any_scalar,
          const std::array<std::uint8_t, 256>& class_of, std::uint32_t classes,
          std::vector<Entry>& next, std::vector<std::uint8_t>& match)
      : q_(q),
        n_(q.size()),
        d_(distance),
        class_of_(class_of),
        classes_(classes),
        next_(next),
        match_(match) {
    // The mismatch edges of a state, as (row, class, target) with row 0 the state itself and
    // row k >= 1 its k-th intermediate state, target 0 the mismatch row's state. Each range
    // covers whole classes, so one entry a class sets every byte of the range.
    std::uint32_t mids = 0;
    for (const auto& seq : any_scalar) {
      std::uint32_t from = 0;
      for (std::size_t k = 0; k < seq.size(); ++k) {
        const std::uint32_t to = k + 1 < seq.size() ? ++mids : 0;
        std::array<bool, 256> done{};
        for (unsigned b = seq[k].start; b <= seq[k].end; ++b) {
          const std::uint8_t c = class_of_[b];
          if (!done[c]) mismatch_.push_back({from, c, to});
          done[c] = true;
        }
        from = to;
      }
    }
    mismatch_mids_ = mids;
    // The encoding of each query character, as classes.
    for (const char32_t c : q_) {
      std::array<std::uint8_t, 4> bytes{};
      Encoded e;
      e.len = static_cast<std::uint8_t>(utf8::encode(c, bytes));
      for (std::size_t k = 0; k < e.len; ++k) e.cls[k] = class_of_[bytes[k]];
      encoded_.push_back(e);
    }
  }

  void run() {
    // Every prefix of the query is a distinct live row, so the automaton has at least n + 1
    // states; refusing here spares the work of finding that out.
    if (n_ + 1 > Levenshtein::kStateLimit) throw_too_many_states(Levenshtein::kStateLimit);
    slots_.assign(64, 0);
    next_.reserve(std::size_t{512} * classes_);
    match_.reserve(512);

    Row s;
    Row t;
    s.len = 0;
    for (std::uint64_t j = lo(0); j <= hi(0); ++j) s.band.push_back(j);
    bool fresh = false;
    intern(s, fresh);                     // state 0
    std::vector<std::uint32_t> stack{0};  // rows still to expand
    std::vector<std::pair<char32_t, std::optional<std::uint32_t>>> memo;
    while (!stack.empty()) {
      const std::uint32_t ri = stack.back();
      stack.pop_back();
      unpack(ri, s);
      const std::uint32_t si = rows_[ri].state;

      step(s, std::nullopt, t);
      if (const auto mi = cached(t, fresh)) {
        add_mismatch(si, *mi);
        if (fresh) stack.push_back(last_row());
      }

      // Positions i with row[i] <= d: 0 when len <= d, then those in the band.
      memo.clear();
      auto visit = [&](std::size_t i) {
        const char32_t c = q_[i];
        // A character repeated in the query gives the same row each time.
        auto it =
            std::find_if(memo.begin(), memo.end(), [c](const auto& e) { return e.first == c; });
        std::optional<std::uint32_t> ni;
        if (it != memo.end()) {
          ni = it->second;
        } else {
          step(s, c, t);
          ni = cached(t, fresh);
          memo.emplace_back(c, ni);
          if (ni && fresh) stack.push_back(last_row());
        }
        if (ni) add_char(si, encoded_[i], *ni);
      };
      if (n_ > 0 && s.len <= d_) visit(0);
      const std::uint64_t last = std::min<std::uint64_t>(hi(s.len), n_ - (n_ > 0 ? 1 : 0));
      for (std::uint64_t i = lo(s.len); n_ > 0 && i <= last; ++i) {
        if (s.band[i - lo(s.len)] <= d_) visit(static_cast<std::size_t>(i));
      }
    }
  }

 private:
  struct Encoded {
    std::array<std::uint8_t, 4> cls{};
    std::uint8_t len = 0;
  };
  struct Edge {
    std::uint32_t row;
    std::uint8_t cls;
    std::uint32_t target;
  };
  // An interned row: its key at key_[off ..), its hash and its state.
  struct Interned {
    std::size_t off;
    std::uint64_t hash;
    std::uint32_t state;
  };

  // Band bounds for an input of `len` scalars; lo > hi when the band is empty.
  std::uint64_t lo(std::uint64_t len) const { return len > d_ + 1 ? len - d_ : 1; }
  std::uint64_t hi(std::uint64_t len) const { return std::min<std::uint64_t>(n_, len + d_); }

  // Entry j (0..n) of a row.
  std::uint64_t at(const Row& r, std::uint64_t j) const {
    if (j == 0) return r.len;
    const std::uint64_t l = lo(r.len);
    if (j < l || j > hi(r.len)) return d_ + 1;
    return r.band[j - l];
  }

  // The row after reading one more scalar: `c`, or a scalar that is in no query position.
  void step(const Row& s, std::optional<char32_t> c, Row& out) const {
    const std::uint64_t cap = d_ + 1;
    out.len = s.len + 1;
    const std::uint64_t l = lo(out.len);
    const std::uint64_t h = hi(out.len);
    if (l > h) {
      out.band.clear();
      return;
    }
    out.band.resize(h - l + 1);
    const std::uint64_t sl = lo(s.len);
    const std::uint64_t sh = hi(s.len);
    const auto src = [&](std::uint64_t j) {
      return j == 0 ? s.len : (j < sl || j > sh) ? cap : s.band[j - sl];
    };
    std::uint64_t prev = l == 1 ? out.len : cap;  // entry l - 1 of the new row
    std::uint64_t diag = src(l - 1);
    for (std::uint64_t j = l; j <= h; ++j) {
      const std::uint64_t up = src(j);
      const std::uint64_t subst = diag + ((c && q_[j - 1] == *c) ? 0 : 1);
      prev = std::min(std::min(prev + 1, up + 1), std::min(subst, cap));
      out.band[j - l] = prev;
      diag = up;
    }
  }

  bool can_match(const Row& r) const {
    if (r.len <= d_) return true;
    return std::any_of(r.band.begin(), r.band.end(), [this](std::uint64_t v) { return v <= d_; });
  }

  bool is_match(const Row& r) const { return at(r, n_) <= d_; }

  // Words of the key of a row whose band has `band` entries.
  static std::size_t key_words(std::size_t band) { return 2 + (band + 31) / 32; }

  // The row as a key in scratch_: len, first band value, then 2-bit differences (0, 1, 2 for
  // -1, 0, +1), 32 to a word. Rows of equal length have keys of equal size.
  void pack(const Row& r) {
    const std::size_t m = r.band.size();
    scratch_.resize(key_words(m));
    scratch_[0] = r.len;
    scratch_[1] = m == 0 ? 0 : r.band[0];
    std::uint64_t word = 0;  // built in a register, stored when full and at the end
    for (std::size_t k = 1; k < m; ++k) {
      const std::uint64_t a = r.band[k - 1];
      const std::uint64_t b = r.band[k];
      if (b + 1 < a || b > a + 1)
        throw std::logic_error("Levenshtein row entries differ by more than 1");
      word |= (b + 1 - a) << (2 * (k % 32));
      if (k % 32 == 31) {
        scratch_[2 + k / 32] = word;
        word = 0;
      }
    }
    if (m > 0 && (m - 1) % 32 != 31) scratch_[2 + (m - 1) / 32] = word;
  }

  void unpack(std::uint32_t ri, Row& r) const {
    const std::uint64_t* key = keys_.data() + rows_[ri].off;
    r.len = key[0];
    std::uint64_t v = key[1];
    r.band.clear();
    const std::uint64_t l = lo(r.len);
    const std::uint64_t h = hi(r.len);
    if (l > h) return;
    r.band.push_back(v);
    for (std::uint64_t k = 1; k <= h - l; ++k) {
      const unsigned code = (key[2 + k / 32] >> (2 * (k % 32))) & 3;
      v = v + code - 1;
      r.band.push_back(v);
    }
  }

  static std::uint64_t hash_of(const std::vector<std::uint64_t>& key) {
    std::uint64_t h = 0x9E3779B97F4A7C15ULL;
    for (const std::uint64_t w : key) {
      h = (h ^ w) * 0xBF58476D1CE4E5B9ULL;
      h ^= h >> 29;
    }
    return h;
  }

  // The state of row `r`, made on first sight (then `fresh` is set); nothing when no extension
  // can come within d. A new row is the last one interned.
  std::optional<std::uint32_t> cached(const Row& r, bool& fresh) {
    if (!can_match(r)) return std::nullopt;
    return intern(r, fresh);
  }

  std::uint32_t intern(const Row& r, bool& fresh) {
    pack(r);
    const std::uint64_t h = hash_of(scratch_);
    std::size_t mask = slots_.size() - 1;
    std::size_t i = h & mask;
    for (; slots_[i] != 0; i = (i + 1) & mask) {
      const Interned& e = rows_[slots_[i] - 1];
      if (e.hash == h && keys_[e.off] == scratch_[0] &&
          std::equal(scratch_.begin(), scratch_.end(),
                     keys_.begin() + static_cast<std::ptrdiff_t>(e.off))) {
        fresh = false;
        return e.state;
      }
    }
    const std::uint32_t id = new_states(1);
    match_[id] = is_match(r) ? 1 : 0;
    rows_.push_back({keys_.size(), h, id});
    keys_.insert(keys_.end(), scratch_.begin(), scratch_.end());
    slots_[i] = static_cast<std::uint32_t>(rows_.size());
    if (rows_.size() * 2 > slots_.size()) grow();
    fresh = true;
    return id;
  }

  void grow() {
    std::vector<std::uint32_t> slots(slots_.size() * 2, 0);
    const std::size_t mask = slots.size() - 1;
    for (std::size_t ri = 0; ri < rows_.size(); ++ri) {
      std::size_t i = rows_[ri].hash & mask;
      while (slots[i] != 0) i = (i + 1) & mask;
      slots[i] = static_cast<std::uint32_t>(ri + 1);
    }
    slots_ = std::move(slots);
  }

  std::uint32_t last_row() const { return static_cast<std::uint32_t>(rows_.size() - 1); }

  // Makes `count` states without edges and returns the first one's number.
  std::uint32_t new_states(std::size_t count) {
    if (match_.size() + count > Levenshtein::kStateLimit)
      throw_too_many_states(Levenshtein::kStateLimit);
    const auto id = static_cast<std::uint32_t>(match_.size());
    match_.resize(match_.size() + count, 0);
    next_.resize(next_.size() + count * classes_, kNone);
    return id;
  }

  Entry* row_of(std::uint32_t state) {
    return next_.data() + static_cast<std::size_t>(state) * classes_;
  }

  // Mismatch edges from `from` to `to`, each of the nine sequences through its own fresh chain
  // of intermediate states. They fill only empty entries (query characters come later and
  // override).
  void add_mismatch(std::uint32_t from, std::uint32_t to) {
    const std::uint32_t base = mismatch_mids_ > 0 ? new_states(mismatch_mids_) - 1 : 0;
    for (const Edge& e : mismatch_) {
      Entry& slot = row_of(e.row == 0 ? from : base + e.row)[e.cls];
      if (slot == kNone) slot = static_cast<Entry>(e.target == 0 ? to : base + e.target);
    }
  }

  // Query-character edge: the bytes of a character lead from `from` to `to`. Each intermediate
  // state on the way is replaced by a copy of itself, so the other scalars through it keep their
  // paths.
  void add_char(std::uint32_t from, const Encoded& c, std::uint32_t to) {
    for (std::size_t k = 0; k + 1 < c.len; ++k) {
      const std::uint32_t mid = new_states(1);  // may move next_: index afresh below
      const Entry old = row_of(from)[c.cls[k]];
      if (old != kNone) std::copy_n(row_of(old), classes_, row_of(mid));
      row_of(from)[c.cls[k]] = static_cast<Entry>(mid);
      from = mid;
    }
    row_of(from)[c.cls[c.len - 1]] = static_cast<Entry>(to);
  }

  const std::vector<char32_t>& q_;
  const std::uint64_t n_;
  const std::uint64_t d_;
  const std::array<std::uint8_t, 256>& class_of_;
  const std::uint32_t classes_;
  std::vector<Entry>& next_;
  std::vector<std::uint8_t>& match_;
  std::vector<Edge> mismatch_;
  std::uint32_t mismatch_mids_ = 0;
  std::vector<Encoded> encoded_;
  // Interned rows: keys back to back in keys_, an open-addressing table of row numbers + 1.
  std::vector<std::uint64_t> keys_;
  std::vector<Interned> rows_;
  std::vector<std::uint32_t> slots_;
  std::vector<std::uint64_t> scratch_;
};

}  // namespace

Levenshtein::Levenshtein(std::string_view query, std::uint32_t distance) {
  std::vector<char32_t> q;
  if (!utf8::decode(query, q)) {
    // The same error a stream gives for a key that is not text.
    if (auto e = utf8_error({reinterpret_cast<const std::uint8_t*>(query.data()), query.size()}))
      throw *e;
    throw std::logic_error("UTF-8 decoders disagree on a Levenshtein query");
  }
  std::vector<utf8::Utf8Sequence> any_scalar;
  utf8::Utf8Sequences all(0, utf8::kMaxScalar);
  while (auto seq = all.next()) any_scalar.push_back(*seq);
  classes_ = byte_classes(query, any_scalar, class_of_);
  Builder(q, distance, any_scalar, class_of_, classes_, next_, match_).run();
}

}  // namespace fst::automaton
