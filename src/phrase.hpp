// The phrase dictionary of a dictionary index and its build-time byte trie.
//
// Serialised dictionary (the blob's "phrases" section), little-endian, g = ceil(n / 256):
//
//   offset      size     field
//   0           4        n, number of phrases, u32
//   4           4 * g    bases: the data offset of each group of 256 phrases, u32
//   4 + 4g      514 * g  offsets: 257 u16 a group, phrase j of a group spanning
//                        [base + off[j], base + off[j + 1])
//   4 + 518g    rest     phrase data
//
// In memory the data is followed by 32 zero bytes, so a decoder copies any phrase as one fixed
// 32-byte move (a phrase is 1 to 32 bytes) and advances by its true length.
//
// The trie is a double array of (base, check, value) cells: the child of cell c by byte b is
// cell base(c) + b when that cell's check is c; value is the phrase id + 1 ending there, or 0.
// It always holds at least (largest base) + 256 cells, so walkers index it without bounds tests.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fsst.hpp"

namespace quenlith::phrase {

inline constexpr std::size_t kPad = 32;
inline constexpr std::size_t kMaxPhrase = 32;

// The hasher of every u64-keyed map of the phrase machinery.
struct Mix {
  std::size_t operator()(std::uint64_t k) const noexcept {
    return static_cast<std::size_t>(std::rotr(k * 0x517cc1b727220a95ULL, 38));
  }
};

class Dict {
 public:
  // The empty dictionary: no phrases, 32 padding bytes.
  Dict() : bytes_(kPad, 0) {}

  // A dictionary of `phrases` (each 1 to 32 bytes) in groups of 256, ids in list order.
  static Dict of(std::span<const std::string> phrases);
  // Validates and copies a whole "phrases" section; nullopt on any fault.
  static std::optional<Dict> read(std::span<const std::uint8_t> section);
  void write_to(std::vector<std::uint8_t>& out) const;
  std::uint64_t serialized_len() const noexcept {
    return 4 + 4 * bases_.size() + 2 * offsets_.size() + data_len_;
  }

  std::uint64_t count() const noexcept { return count_; }
  std::uint64_t data_len() const noexcept { return data_len_; }
  // The phrase data followed by 32 zero bytes.
  const std::vector<std::uint8_t>& bytes() const noexcept { return bytes_; }
  const std::vector<std::uint32_t>& bases() const noexcept { return bases_; }
  const std::vector<std::uint16_t>& offsets() const noexcept { return offsets_; }

  // The start and length of phrase `id` with at least 32 readable bytes from its start, or
  // nullopt when the id or its offsets are out of range.
  std::optional<std::pair<const std::uint8_t*, unsigned>> phrase(std::uint64_t id) const noexcept {
    if (id >= count_) return std::nullopt;
    const std::uint64_t g = id >> 8, k = g + id;
    if (g >= bases_.size() || k + 1 >= offsets_.size()) return std::nullopt;
    const std::uint16_t a = offsets_[k], e = offsets_[k + 1];
    if (e < a) return std::nullopt;
    const std::uint64_t start = std::uint64_t{bases_[g]} + a;
    if (start > bytes_.size() || bytes_.size() - start < kPad) return std::nullopt;
    return std::pair{bytes_.data() + start, static_cast<unsigned>(e - a)};
  }

  friend bool operator==(const Dict&, const Dict&) = default;

 private:
  std::vector<std::uint8_t> bytes_;
  std::uint64_t data_len_ = 0;
  std::uint64_t count_ = 0;
  std::vector<std::uint32_t> bases_;
  std::vector<std::uint16_t> offsets_;
};

struct Cell {
  std::uint32_t base = 0;
  std::uint32_t check = 0xFFFFFFFF;
  std::uint32_t value = 0;
  friend bool operator==(const Cell&, const Cell&) = default;
};

class Trie {
 public:
  // 256 unused cells: no phrase matches.
  Trie() : cells_(256) {}
  static Trie empty() { return Trie(); }
  // The trie of `phrases`, phrase i with value i + 1 (a repeated phrase keeps the later id).
  static Trie of(std::span<const std::string> phrases);

  const std::vector<Cell>& cells() const noexcept { return cells_; }

  // Calls f(length, value) for every phrase that starts the text, shortest first, walking at
  // most 32 bytes.
  template <class F>
  void walk(const std::uint8_t* text, std::size_t len, F&& f) const {
    std::uint32_t cur = 0;
    const std::size_t lim = len < kMaxPhrase ? len : kMaxPhrase;
    for (std::size_t i = 0; i < lim; ++i) {
      const std::uint32_t t = cells_[cur].base + text[i];
      if (cells_[t].check != cur) return;
      cur = t;
      if (cells_[t].value != 0) f(i + 1, cells_[t].value);
    }
  }

 private:
  std::vector<Cell> cells_;
};

// ---- Parsing ------------------------------------------------------------------------------

// What a parse may use of the phrases: a phrase whose id is below `two_byte` costs 16 bits, any
// other 24; a phrase whose id + 1 exceeds `usable` is ignored.
struct Params {
  bool phrases = false;
  std::uint64_t two_byte = 0;
  std::uint64_t usable = 0;
  static Params off() { return {}; }
  static Params mining() { return {true, UINT64_MAX, UINT64_MAX}; }
  // The limits of a kind-2 split: s symbol codes, t three-byte leads.
  static Params split(unsigned s, unsigned t) {
    const std::uint64_t two = std::uint64_t{255 - s - t} * 256;
    return {true, two, two + std::uint64_t{t} * 65536};
  }
};

enum TokenKind : std::uint8_t { kSymbol = 0, kEscape = 1, kPhrase = 2 };

struct Token {
  std::uint64_t position;
  std::uint64_t length;
  std::uint8_t kind;
  std::uint32_t value;  // the symbol's code, 0 for an escape, the phrase id
};

// Reusable buffers of one parsing thread.
struct Scratch {
  std::vector<std::uint32_t> cost;
  std::vector<std::uint32_t> choice;
  std::vector<Token> tokens;
  std::vector<std::uint8_t> padded;  // the text followed by 8 zero bytes
};

// The cost in bits of the cheapest cover of `text` by symbols (8 bits), escapes (16) and usable
// phrases (16 or 24), computed backwards from the end; a phrase replaces the symbol or escape
// only when strictly cheaper, a longer phrase a shorter one likewise. The choices stay in
// `scratch`; `tokens` turns them into the cover.
std::uint32_t parse(std::span<const std::uint8_t> text, const fsst::Encoder& encoder,
                    const Trie& trie, const Params& params, Scratch& scratch);
// The cover of the last parse of a text of `length` bytes, into `scratch.tokens`.
void tokens(std::uint64_t length, Scratch& scratch);

// Per text: the symbol match of every position under each of several encoders, and every
// phrase match of every position, so that several candidate codings price from one walk.
class Memo {
 public:
  void fill(std::span<const std::uint8_t> text, std::span<const fsst::Encoder* const> encoders,
            const Trie& trie);
  // Exactly what `parse` gives for the text under encoder `row` and `params`.
  std::uint32_t price(std::size_t row, const Params& params,
                      std::vector<std::uint32_t>& cost) const;

 private:
  std::size_t length_ = 0;
  std::vector<std::pair<std::uint8_t, std::uint8_t>> pairs_;  // (code, length), rows back to back
  std::vector<std::pair<std::uint8_t, std::uint32_t>> matches_;  // (length, id + 1)
  std::vector<std::uint32_t> starts_;
  std::vector<std::uint8_t> padded_;  // the text followed by 8 zero bytes
};

// A shard's choice of phrase codes: s one-byte symbol slots, t three-byte leads, and the table
// to code symbols with (at most s symbols).
struct Settled {
  unsigned s;
  unsigned t;
  fsst::Table table;
};

// The splits `settle` tries for `phrase_count` phrases, in order: for s = 127, 191, 223, 239,
// 254, (s, 0) and then (s, the fewest three-byte leads that give every phrase a code), repeats
// left out.
std::vector<std::pair<unsigned, unsigned>> split_candidates(std::uint64_t phrase_count);

// Whether phrases pay on `texts` (a shard's sampled suffixes) against the table alone, and with
// which split; nullopt when the table alone is at least as cheap or there are no phrases.
std::optional<Settled> settle(std::span<const std::string_view> texts, const fsst::Table& table,
                              const Trie& trie, std::uint64_t phrase_count, Scratch& scratch);

// ---- Mining -------------------------------------------------------------------------------

// One shard's sampled pieces with its table.
struct Unit {
  std::span<const std::string_view> pieces;
  const fsst::Table* table;
};

struct Candidate {
  std::uint64_t gain;
  std::uint64_t prefix;  // the first up to 8 bytes, big-endian, zero-filled
  std::string_view bytes;
};

// The order of candidates: larger gain first, then smaller prefix, then smaller bytes.
bool rank(const Candidate& a, const Candidate& b);
// The 64-bit key of a candidate byte string.
std::uint64_t candidate_key(std::span<const std::uint8_t> bytes);

// A counting map: candidate key -> (gain, the bytes of the occurrence counted first). Open
// addressing with linear probing over a table sized up front (it grows only past three quarters
// full), the home slot of a key its `Mix` hash scaled to the table; a slot of gain 0 is free, as
// no candidate is counted with gain 0.
class CountMap {
 public:
  struct Entry {
    std::uint64_t key = 0;
    std::uint64_t gain = 0;
    std::string_view bytes;
  };

  CountMap() = default;
  // A map that holds `n` entries without growing.
  explicit CountMap(std::size_t n) { reserve(n); }
  void reserve(std::size_t n);

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // Adds `gain` (not 0) to the entry of `key`, or makes the entry (gain, bytes).
  void add(std::uint64_t key, std::uint64_t gain, std::string_view bytes) {
    if (size_ >= grow_at_) reserve(2 * size_ + 16);
    Entry* slots = slots_.data();
    const std::size_t cap = slots_.size();
    for (std::size_t i = home(key, cap);;) {
      Entry& e = slots[i];
      if (e.gain == 0) {
        e = {key, gain, bytes};
        ++size_;
        return;
      }
      if (e.key == key) {
        e.gain += gain;
        return;
      }
      if (++i == cap) i = 0;
    }
  }
  // Starts loading the home slot of `key` into the cache, ahead of an `add`.
  void prefetch(std::uint64_t key) const noexcept {
    if (!slots_.empty()) __builtin_prefetch(slots_.data() + home(key, slots_.size()), 1);
  }
  // Removes every entry whose gain is at most `floor`.
  void drop_at_most(std::uint64_t floor);

  // Calls f(entry) for every entry, in no particular order.
  template <class F>
  void each(F&& f) const {
    for (const Entry& e : slots_)
      if (e.gain != 0) f(e);
  }
  // The gains of every entry, appended to `out`.
  void gains_into(std::vector<std::uint64_t>& out) const {
    for (const Entry& e : slots_)
      if (e.gain != 0) out.push_back(e.gain);
  }

 private:
  static std::size_t home(std::uint64_t key, std::size_t cap) noexcept {
    return static_cast<std::size_t>((static_cast<unsigned __int128>(Mix{}(key)) * cap) >> 64);
  }
  // Puts an entry known to be absent into the first free slot from its home.
  void place(const Entry& entry) noexcept {
    const std::size_t cap = slots_.size();
    std::size_t i = home(entry.key, cap);
    while (slots_[i].gain != 0)
      if (++i == cap) i = 0;
    slots_[i] = entry;
  }

  std::vector<Entry> slots_;
  std::size_t size_ = 0;
  std::size_t grow_at_ = 0;
};

// Counts candidate phrases (runs of 2 or 3 tokens of 3 to 32 bytes, and single phrase tokens)
// over the units into `maps`, pruning at the median gain when they hold more than `limit`. The
// maps keep the room they were given and grow only when it runs out.
void round(std::span<const Unit> units, const Trie& trie, std::uint64_t phrase_count,
           std::uint64_t limit, std::span<CountMap> maps);
// Sums the maps of one map index and keeps the `k` best candidates. Where two maps hold the same
// key, the largest map's bytes win (the later one at equal sizes), else the earlier map's.
std::vector<Candidate> merge(std::vector<CountMap> maps, std::uint64_t k);
// Keeps the `k` candidates first under `rank` (in any order).
void cut(std::vector<Candidate>& records, std::uint64_t k);
// Whether `phrases` save more than 3 % on a held-out half of up to three units.
bool worth(std::span<const Unit> units, std::span<const std::string> phrases);
// The phrase list of a build, best first, at most `budget` phrases; empty when phrases do not
// pay. Does not depend on `threads`.
std::vector<std::string> mine(std::span<const std::vector<std::string_view>> pieces,
                              std::span<const fsst::Table> tables, std::uint64_t n,
                              std::uint64_t budget, unsigned threads);

// The cost in bits of the cheapest coding of `text` by the encoder's symbols alone: backwards
// from the end, a matched symbol 8 bits, an escaped byte 16 bits. `scratch` is caller-owned.
std::uint64_t parse_plain(std::span<const std::uint8_t> text, const fsst::Encoder& encoder,
                          std::vector<std::uint32_t>& scratch);

// True when sampled shards code smaller under a packed byte alphabet than under their symbol
// tables, so phrase mining would not pay. `pieces` and `tables` are per shard.
bool packed_only(std::span<const std::vector<std::string_view>> pieces,
                 std::span<const fsst::Table> tables);

}  // namespace quenlith::phrase
