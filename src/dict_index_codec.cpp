// Codec records and suffix decoding; shard collection, codec choice and the run writer.
#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>

#include "dict_index_internal.hpp"

namespace quenlith::dict_index {

using paircode::Code;
using paircode::Pair;

Codec Codec::of_table(fsst::Table table) {
  Codec c;
  c.kind_ = Kind::Table;
  c.table_ = std::move(table);
  return c;
}

Codec Codec::of_alphabet(const packed::Alphabet& alphabet) {
  Codec c;
  c.kind_ = Kind::Packed;
  c.alphabet_ = alphabet;
  return c;
}

Codec Codec::of_phrased(fsst::Table table, unsigned slots, unsigned leads) {
  Codec c;
  c.kind_ = Kind::Phrased;
  c.table_ = std::move(table);
  c.slots_ = slots;
  c.leads_ = leads;
  return c;
}

std::optional<Codec> Codec::read(std::span<const std::uint8_t> r) {
  if (r.empty()) return std::nullopt;
  switch (r[0]) {
    case 0: {
      auto t = fsst::Table::from_bytes(r.subspan(1));
      if (!t) return std::nullopt;
      return of_table(std::move(*t));
    }
    case 1: {
      if (r.size() < 4) return std::nullopt;
      const unsigned b = r[1];
      if (b < 1 || b > 8) return std::nullopt;
      const std::size_t p = std::size_t{r[2]} + 1, s = r[3];
      if (r.size() != 4 + p + s) return std::nullopt;
      if (p - 1 >= (std::size_t{1} << b)) return std::nullopt;
      if (s > (std::size_t{1} << b) - 1) return std::nullopt;
      if (s > 0 && p != (std::size_t{1} << b) - 1) return std::nullopt;
      packed::Alphabet a;
      a.bits = b;
      a.index.fill(packed::kNone);
      for (std::size_t i = 0; i < p; ++i) {
        const std::uint8_t x = r[4 + i];
        if (a.index[x] != packed::kNone) return std::nullopt;
        a.index[x] = static_cast<std::uint16_t>(i);
        a.primary.push_back(x);
      }
      for (std::size_t j = 0; j < s; ++j) {
        const std::uint8_t x = r[4 + p + j];
        if (a.index[x] != packed::kNone) return std::nullopt;
        a.index[x] = static_cast<std::uint16_t>(packed::kSecondary | j);
        a.secondary.push_back(x);
      }
      return of_alphabet(a);
    }
    case 2: {
      if (r.size() < 3) return std::nullopt;
      const unsigned slots = r[1], leads = r[2];
      if (slots < 1 || slots > 254 || leads > 255 - slots) return std::nullopt;
      auto t = fsst::Table::from_bytes(r.subspan(3));
      if (!t || t->size() > slots) return std::nullopt;
      return of_phrased(std::move(*t), slots, leads);
    }
    default:
      return std::nullopt;
  }
}

void Codec::write_to(std::vector<std::uint8_t>& out) const {
  out.push_back(static_cast<std::uint8_t>(kind_));
  if (kind_ == Kind::Packed) {
    out.push_back(static_cast<std::uint8_t>(alphabet_.bits));
    out.push_back(static_cast<std::uint8_t>(alphabet_.primary.size() - 1));
    out.push_back(static_cast<std::uint8_t>(alphabet_.secondary.size()));
    out.insert(out.end(), alphabet_.primary.begin(), alphabet_.primary.end());
    out.insert(out.end(), alphabet_.secondary.begin(), alphabet_.secondary.end());
    return;
  }
  if (kind_ == Kind::Phrased) {
    out.push_back(static_cast<std::uint8_t>(slots_));
    out.push_back(static_cast<std::uint8_t>(leads_));
  }
  table_.write_to(out);
}

std::uint64_t Codec::record_len() const noexcept {
  if (kind_ == Kind::Packed) return 4 + alphabet_.primary.size() + alphabet_.secondary.size();
  return 1 + (kind_ == Kind::Phrased ? 2 : 0) + table_.serialized_len();
}

void write_codecs(std::span<const Codec> codecs, std::vector<std::uint8_t>& out) {
  std::vector<std::uint8_t> record;
  for (const Codec& c : codecs) {
    record.clear();
    c.write_to(record);
    bytes::put_u32(out, static_cast<std::uint32_t>(record.size()));
    out.insert(out.end(), record.begin(), record.end());
  }
}

namespace {
std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}
std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}

// The phrase of the token that lead byte `c` opens at `coded[i]`: two bytes below the `t` lead
// bytes of three-byte tokens, three bytes from them (`two` ids come before the three-byte ones).
// Moves `i` past the token; nullopt when the token runs past the end of `coded` or its id names
// no phrase.
inline std::optional<std::pair<const std::uint8_t*, unsigned>> phrase_token(
    const phrase::Dict& phrases, std::span<const std::uint8_t> coded, std::size_t& i,
    std::uint8_t c, unsigned s, unsigned t, std::uint64_t two) {
  const std::size_t n = coded.size();
  std::uint64_t id;
  if (c < 255 - t) {
    if (i + 1 >= n) return std::nullopt;
    id = std::uint64_t{c - s} * 256 + coded[i + 1];
    i += 2;
  } else {
    if (i + 2 >= n) return std::nullopt;
    id = two + std::uint64_t{c - (255 - t)} * 65536 + std::uint64_t{coded[i + 1]} * 256 +
         coded[i + 2];
    i += 3;
  }
  return phrases.phrase(id);
}
}  // namespace

namespace {
// The code bytes of a kind-0 or kind-2 suffix: `units` bytes from bit `start_bit` (a byte
// boundary), cut at the end of the stream.
std::span<const std::uint8_t> coded_bytes(std::span<const std::uint8_t> stream,
                                          std::uint64_t start_bit, std::uint64_t units) {
  const std::uint64_t first = start_bit / 8;
  if (first >= stream.size()) return {};
  return stream.subspan(
      first, static_cast<std::size_t>(std::min<std::uint64_t>(units, stream.size() - first)));
}
}  // namespace

bool Codec::decode_into(const phrase::Dict& phrases, std::span<const std::uint8_t> stream,
                        std::uint64_t start_bit, std::uint64_t units, room::Bytes& out,
                        std::uint64_t want) const {
  switch (kind_) {
    case Kind::Packed:
      return decode_packed(stream, start_bit, units, out, want);
    case Kind::Table:
      return decode_coded<false>(phrases, coded_bytes(stream, start_bit, units), out, want);
    case Kind::Phrased:
      return decode_coded<true>(phrases, coded_bytes(stream, start_bit, units), out, want);
  }
  return false;
}

bool Codec::decode_packed(std::span<const std::uint8_t> stream, std::uint64_t start_bit,
                          std::uint64_t units, room::Bytes& out, std::uint64_t want) const {
  const unsigned b = alphabet_.bits;
  const std::uint64_t m = paircode::mask(b);
  const std::uint64_t limit = std::min(want, units);
  if (limit == 0) return true;
  out.reserve_extra(static_cast<std::size_t>(limit));
  std::uint8_t* dst = out.end();
  const std::uint64_t total_bits = sat_mul(stream.size(), 8);
  const std::size_t psize = alphabet_.primary.size(), ssize = alphabet_.secondary.size();
  std::uint64_t produced = 0, used = 0, bit = start_bit;
  auto unit = [&](std::uint64_t& v) {
    if (used >= units || bit > total_bits || total_bits - bit < b) return false;
    v = (paircode::tail_word(stream.data(), stream.size(), bit / 8) >> (bit % 8)) & m;
    bit += b;
    ++used;
    return true;
  };
  while (produced < limit && used < units) {
    std::uint64_t u;
    if (!unit(u)) return false;
    if (ssize == 0 || u != m) {
      if (u >= psize) return false;
      dst[produced++] = alphabet_.primary[u];
      continue;
    }
    std::uint64_t v;
    if (!unit(v)) return false;
    if (v != m) {
      if (v >= ssize) return false;
      dst[produced++] = alphabet_.secondary[v];
      continue;
    }
    std::uint64_t x = 0;
    const unsigned lu = packed::literal_units(b);
    for (unsigned k = 0; k < lu; ++k) {
      std::uint64_t w;
      if (!unit(w)) return false;
      x |= w << (k * b);
    }
    dst[produced++] = static_cast<std::uint8_t>(x);
  }
  out.grow(static_cast<std::size_t>(produced));
  return true;
}

template <bool kPhrased>
bool Codec::decode_coded(const phrase::Dict& phrases, std::span<const std::uint8_t> coded,
                         room::Bytes& out, std::uint64_t want) const {
  // Escapes, symbols below `slots` (every other byte without phrases) and, with phrases, two- or
  // three-byte phrase tokens. A symbol is stored as a whole 8-byte word, a phrase as 32 bytes.
  const std::size_t n = coded.size();
  if (kPhrased && n >= (std::uint64_t{1} << 60)) return false;
  const std::size_t count = table_.size();
  const std::uint64_t* symbols = table_.symbols().data();
  const std::uint8_t* lengths = table_.lengths().data();
  std::uint64_t produced = 0;
  out.reserve_extra(static_cast<std::size_t>(kPhrased ? std::min(sat_add(want, 32), sat_mul(n, 16))
                                                      : std::min(sat_add(want, 7), sat_mul(n, 8))));
  if (want == 0 || n == 0) return true;
  std::uint8_t* dst = out.end();
  const unsigned s = kPhrased ? slots_ : fsst::kEscape, t = leads_;
  const std::uint64_t two = std::uint64_t{255 - s - t} * 256;
  for (std::size_t i = 0; i < n && produced < want;) {
    const std::uint8_t c = coded[i];
    if (c == fsst::kEscape) {
      if (i + 1 >= n) return false;
      dst[produced++] = coded[i + 1];
      i += 2;
      continue;
    }
    if (!kPhrased || c < s) {
      if (c >= count) return false;
      bytes::store_u64(dst + produced, symbols[c]);
      produced += lengths[c];
      i += 1;
      continue;
    }
    const auto ph = phrase_token(phrases, coded, i, c, s, t, two);
    if (!ph) return false;
    std::memcpy(dst + produced, ph->first, phrase::kPad);
    produced += ph->second;
  }
  out.grow(static_cast<std::size_t>(produced));
  return true;
}

namespace {
// Compares `piece` (the next decoded bytes) with `rest` from `pos`: true when the comparison is
// decided (result filled), false when they agree so far.
bool compare_piece(const std::uint8_t* piece, std::size_t len, std::span<const std::uint8_t> rest,
                   std::uint64_t& pos, Codec::Order& result) {
  for (std::size_t i = 0; i < len; ++i, ++pos) {
    if (pos == rest.size()) {
      result = {1, pos};
      return true;
    }
    if (piece[i] != rest[pos]) {
      result = {piece[i] < rest[pos] ? -1 : 1, pos};
      return true;
    }
  }
  return false;
}
}  // namespace

bool Codec::compare(const phrase::Dict& phrases, std::span<const std::uint8_t> stream,
                    std::uint64_t start_bit, std::uint64_t units,
                    std::span<const std::uint8_t> rest, Order& result) const {
  std::uint64_t pos = 0;
  if (kind_ == Kind::Packed) {
    // Rare enough in lookups to decode into a small buffer first.
    room::Bytes buf;
    if (!decode_into(phrases, stream, start_bit, units, buf, rest.size() + 1)) return false;
    if (!compare_piece(buf.data(), buf.size(), rest, pos, result))
      result = {pos == rest.size() ? 0 : -1, pos};
    return true;
  }
  const std::span<const std::uint8_t> coded = coded_bytes(stream, start_bit, units);
  const std::size_t n = coded.size();
  const std::size_t count = table_.size();
  const unsigned s = kind_ == Kind::Phrased ? slots_ : 255, t = leads_;
  const std::uint64_t two = kind_ == Kind::Phrased ? std::uint64_t{255 - s - t} * 256 : 0;
  std::uint8_t word[8];
  for (std::size_t i = 0; i < n;) {
    const std::uint8_t c = coded[i];
    if (c == fsst::kEscape) {
      if (i + 1 >= n) return false;
      if (compare_piece(&coded[i + 1], 1, rest, pos, result)) return true;
      i += 2;
      continue;
    }
    if (c < s) {
      if (c >= count) return false;
      const unsigned len = table_.length(c);
      if (rest.size() - pos >= 8) {
        // One word compare of the symbol against the next key bytes.
        const std::uint64_t x =
            (bytes::load_u64(rest.data() + pos) ^ table_.symbol(c)) &
            (len >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * len)) - 1);
        if (x == 0) {
          pos += len;
          i += 1;
          continue;
        }
        const unsigned d = static_cast<unsigned>(std::countr_zero(x)) / 8;
        const std::uint8_t sym = static_cast<std::uint8_t>(table_.symbol(c) >> (8 * d));
        result = {sym < rest[pos + d] ? -1 : 1, pos + d};
        return true;
      }
      bytes::store_u64(word, table_.symbol(c));
      if (compare_piece(word, len, rest, pos, result)) return true;
      i += 1;
      continue;
    }
    const auto ph = phrase_token(phrases, coded, i, c, s, t, two);
    if (!ph) return false;
    if (compare_piece(ph->first, ph->second, rest, pos, result)) return true;
  }
  result = {pos == rest.size() ? 0 : -1, pos};
  return true;
}

std::uint64_t micro_for(std::uint64_t block) {
  std::uint64_t s = 0;
  while ((s + 1) * (s + 1) <= block) ++s;
  if (s <= 31)
    for (std::uint64_t m = std::max<std::uint64_t>(s, 16); m <= 31; ++m)
      if (block % m == 0) return m;
  for (std::uint64_t m = 32; m >= 3; --m)
    if (block % m == 0) return m;
  return block % 2 == 0 ? 2 : block;
}

std::uint64_t blocks_per_shard_for(std::uint64_t block) {
  if (block > 65536) return 1;
  return std::min<std::uint64_t>(65536 / block, 65535);
}

void Collected::clear() {
  shared.clear();
  bytes.clear();
  byte_ends.clear();
  coded.clear();
  coded_ends.clear();
  phrase_coded.clear();
  phrase_ends.clear();
  runs.clear();
  blocks.clear();
  counts.fill(0);
}

void Collected::push(std::string_view prev, std::string_view key, const fsst::Encoder& encoder,
                     std::vector<std::uint8_t>& scratch) {
  check_invariant(!runs.empty(), "a run is open");
  const std::size_t sh = bytes::common_prefix(prev, key);
  const auto suffix = bytes::as_bytes(key.substr(sh));
  shared.push_back(sh);
  bytes.insert(bytes.end(), suffix.begin(), suffix.end());
  byte_ends.push_back(bytes.size());
  for (std::uint8_t x : suffix) ++counts[x];
  scratch.clear();
  encoder.encode(suffix, scratch);
  coded.insert(coded.end(), scratch.begin(), scratch.end());
  coded_ends.push_back(coded.size());
  runs.back() += 1;
}

void Collected::pairs(const Codec& codec, std::vector<Pair>& out) const {
  out.clear();
  out.reserve(entries());
  switch (codec.kind()) {
    case Codec::Kind::Table:
      for (std::uint64_t i = 0; i < entries(); ++i)
        out.push_back({shared[i], coded_ends[i] - (i ? coded_ends[i - 1] : 0)});
      break;
    case Codec::Kind::Phrased:
      for (std::uint64_t i = 0; i < entries(); ++i)
        out.push_back({shared[i], phrase_ends[i] - (i ? phrase_ends[i - 1] : 0)});
      break;
    case Codec::Kind::Packed: {
      const packed::Alphabet& a = codec.alphabet();
      for (std::uint64_t i = 0; i < entries(); ++i) {
        std::uint64_t units = 0;
        for (std::uint8_t x : suffix(i)) units += a.units_of(x);
        out.push_back({shared[i], units});
      }
      break;
    }
  }
}

Collected::Priced Collected::price(const Codec& codec, std::vector<Pair>& buffer) const {
  pairs(codec, buffer);
  std::vector<std::span<const Pair>> restart_runs, entry_runs;
  std::uint64_t e = 0, r = 0;
  std::uint64_t packed_bytes = 0;
  const unsigned b = codec.unit_bits();
  for (std::uint64_t runs_in_block : blocks) {
    for (std::uint64_t k = 0; k < runs_in_block; ++k, ++r) {
      const std::span<const Pair> run(buffer.data() + e, static_cast<std::size_t>(runs[r]));
      (k == 0 ? restart_runs : entry_runs).push_back(run);
      if (codec.kind() == Codec::Kind::Packed) {
        std::uint64_t u = 0;
        for (const Pair& p : run) u += p.length;
        packed_bytes += (u * b + 7) / 8;
      }
      e += runs[r];
    }
  }
  paircode::Choice entry = paircode::choose_cost(entry_runs);
  paircode::Choice restart = paircode::choose_cost(restart_runs);
  std::uint64_t suffix_bytes = 0;
  if (codec.kind() == Codec::Kind::Table) suffix_bytes = coded.size();
  if (codec.kind() == Codec::Kind::Phrased) suffix_bytes = phrase_coded.size();
  if (codec.kind() == Codec::Kind::Packed) suffix_bytes = packed_bytes;
  return {entry.price + restart.price + suffix_bytes, std::move(entry.code),
          std::move(restart.code)};
}

void Collected::code_phrases(const fsst::Encoder& encoder, const phrase::Trie& trie, unsigned s,
                             unsigned t, phrase::Scratch& scratch) {
  const phrase::Params params = phrase::Params::split(s, t);
  const std::uint64_t two = params.two_byte;
  phrase_coded.clear();
  phrase_ends.clear();
  for (std::uint64_t i = 0; i < entries(); ++i) {
    const auto text = suffix(i);
    phrase::parse(text, encoder, trie, params, scratch);
    phrase::tokens(text.size(), scratch);
    for (const phrase::Token& tk : scratch.tokens) {
      if (tk.kind == phrase::kSymbol) {
        phrase_coded.push_back(static_cast<std::uint8_t>(tk.value));
      } else if (tk.kind == phrase::kEscape) {
        phrase_coded.push_back(fsst::kEscape);
        phrase_coded.push_back(text[tk.position]);
      } else if (tk.value < two) {
        phrase_coded.push_back(static_cast<std::uint8_t>(s + (tk.value >> 8)));
        phrase_coded.push_back(static_cast<std::uint8_t>(tk.value & 255));
      } else {
        const std::uint64_t x = tk.value - two;
        phrase_coded.push_back(static_cast<std::uint8_t>(255 - t + (x >> 16)));
        phrase_coded.push_back(static_cast<std::uint8_t>((x >> 8) & 255));
        phrase_coded.push_back(static_cast<std::uint8_t>(x & 255));
      }
    }
    phrase_ends.push_back(phrase_coded.size());
  }
}

Collected::Settled Collected::settle(const fsst::Table& table, const Phrases& phrases,
                                     std::vector<Pair>& buffer) {
  Codec best = Codec::of_table(table);
  Priced best_price = price(best, buffer);
  if (auto alphabet = packed::Alphabet::of(counts)) {
    Codec packed_codec = Codec::of_alphabet(*alphabet);
    Priced p = price(packed_codec, buffer);
    if (p.price < best_price.price) best = std::move(packed_codec), best_price = std::move(p);
  }
  if (phrases.dict.count() > 0 && entries() > 0) {
    const std::uint64_t n = entries();
    const std::uint64_t step = std::max<std::uint64_t>(n / 8192, 1);
    std::vector<std::string_view> samples;
    for (std::uint64_t i = 0; i < n; i += step) samples.push_back(bytes::as_chars(suffix(i)));
    phrase::Scratch scratch;
    if (auto settled =
            phrase::settle(samples, table, phrases.trie, phrases.dict.count(), scratch)) {
      const unsigned s = settled->s, t = settled->t;
      code_phrases(settled->table.encoder(), phrases.trie, s, t, scratch);
      Codec phrased = Codec::of_phrased(std::move(settled->table), s, t);
      Priced p = price(phrased, buffer);
      if (saves_enough(p.price, best_price.price))
        best = std::move(phrased), best_price = std::move(p);
    }
  }
  pairs(best, buffer);
  return {std::move(best), std::move(best_price.entry), std::move(best_price.restart)};
}

void collect_block(Collected& collected, std::span<const std::string_view> keys,
                   std::uint64_t micro, const fsst::Encoder& encoder,
                   std::vector<std::uint8_t>& scratch) {
  if (micro == 0) panic("chunk size must be non-zero");
  check_invariant(!keys.empty(), "a block holds at least one key");
  const std::uint64_t k = keys.size();
  collected.runs.push_back(0);
  for (std::uint64_t i = micro; i < k; i += micro)
    collected.push(keys[i - micro], keys[i], encoder, scratch);
  for (std::uint64_t j = 0; j * micro < k; ++j) {
    collected.runs.push_back(0);
    const std::uint64_t end = std::min((j + 1) * micro, k);
    for (std::uint64_t i = j * micro + 1; i < end; ++i)
      collected.push(keys[i - 1], keys[i], encoder, scratch);
  }
  collected.blocks.push_back(1 + (k + micro - 1) / micro);
}

namespace {

// Bits packed least significant first, flushed a byte at a time.
class BitWriter {
 public:
  explicit BitWriter(std::vector<std::uint8_t>& out) : out_(out) {}
  void put(std::uint64_t value, unsigned width) {
    if (width == 0) return;
    acc_ |= (value & paircode::mask(width)) << n_;
    n_ += width;
    while (n_ >= 8) {
      out_.push_back(static_cast<std::uint8_t>(acc_));
      acc_ >>= 8;
      n_ -= 8;
    }
  }
  void align() {
    if (n_ > 0) out_.push_back(static_cast<std::uint8_t>(acc_));
    acc_ = 0;
    n_ = 0;
  }
  std::vector<std::uint8_t>& bytes() { return out_; }

 private:
  std::vector<std::uint8_t>& out_;
  std::uint64_t acc_ = 0;
  unsigned n_ = 0;
};

std::uint64_t clamp_sub(std::uint64_t v, std::uint64_t base, std::uint64_t hi) {
  return v < base ? 0 : std::min(v - base, hi);
}

}  // namespace

namespace {

// The bases and widths of a tag-0 run's entry words.
struct RunBases {
  std::uint64_t shared = 0, length = 0;
  unsigned p = 0, q = 0;
};

// Writes a tag-0 run's header word: the run's bases and widths as deltas from the code's.
RunBases put_run_header(const Code& code, std::span<const Pair> pairs, BitWriter& head) {
  paircode::FitScratch scratch;
  const paircode::RunFit fit = paircode::fit_run(pairs, scratch);
  const std::uint64_t da = clamp_sub(fit.min_shared, code.base_shared, paircode::mask(code.w1));
  const std::uint64_t db = clamp_sub(fit.min_length, code.base_length, paircode::mask(code.w2));
  const std::uint64_t dp = clamp_sub(fit.ws, code.min_shared, paircode::mask(code.w3));
  const std::uint64_t dq = clamp_sub(fit.wl, code.min_length, paircode::mask(code.w4));
  head.put(da, code.w1);
  head.put(db, code.w2);
  head.put(dp, code.w3);
  head.put(dq, code.w4);
  RunBases r{code.base_shared + da, code.base_length + db,
             static_cast<unsigned>(code.min_shared + dp),
             static_cast<unsigned>(code.min_length + dq)};
  check_invariant(r.p <= 15 && r.q <= 15, "a run's widths are at most 15");
  return r;
}

// Writes one entry's word: its pair under the code, or the escape word. True when escaped.
bool put_entry_word(const Code& code, std::span<const std::uint16_t> inverse, const RunBases& r,
                    const Pair& pr, BitWriter& head) {
  if (code.tag == 0) {
    const std::uint64_t ds = pr.shared - r.shared, dl = pr.length - r.length;
    const bool escaped = ds > paircode::mask(r.p) || dl > paircode::mask(r.q) ||
                         (ds == paircode::mask(r.p) && dl == paircode::mask(r.q));
    head.put(escaped ? paircode::mask(r.p + r.q) : (ds << r.q | dl), r.p + r.q);
    return escaped;
  }
  std::uint16_t idx = 0xFFFF;
  if (pr.shared <= 255 && pr.length <= 255) idx = inverse[pr.shared << 8 | pr.length];
  const bool escaped = idx == 0xFFFF;
  head.put(escaped ? paircode::mask(code.width) : idx, code.width);
  return escaped;
}

// Writes the code units of entry `e`'s suffix under `codec`.
void put_suffix(const Codec& codec, const Collected& collected, std::uint64_t e,
                BitWriter& stream) {
  switch (codec.kind()) {
    case Codec::Kind::Table: {
      const std::uint64_t a = e ? collected.coded_ends[e - 1] : 0;
      for (std::uint64_t k = a; k < collected.coded_ends[e]; ++k)
        stream.put(collected.coded[k], 8);
      break;
    }
    case Codec::Kind::Phrased: {
      const std::uint64_t a = e ? collected.phrase_ends[e - 1] : 0;
      for (std::uint64_t k = a; k < collected.phrase_ends[e]; ++k)
        stream.put(collected.phrase_coded[k], 8);
      break;
    }
    case Codec::Kind::Packed: {
      const packed::Alphabet& al = codec.alphabet();
      const unsigned ub = codec.unit_bits();
      const std::uint64_t ones = paircode::mask(ub);
      for (std::uint8_t x : collected.suffix(e)) {
        const std::uint16_t u = al.index[x];
        if (u == packed::kNone) {
          stream.put(ones, ub);
          stream.put(ones, ub);
          for (unsigned k = 0; k < packed::literal_units(ub); ++k)
            stream.put((x >> (k * ub)) & ones, ub);
        } else if (u & packed::kSecondary) {
          stream.put(ones, ub);
          stream.put(u & 0x7FFF, ub);
        } else {
          stream.put(u, ub);
        }
      }
      break;
    }
  }
}

}  // namespace

void write_run(const Code& code, std::span<const std::uint16_t> inverse, const Codec& codec,
               const Collected& collected, std::span<const Pair> pairs, std::uint64_t first,
               std::vector<std::uint8_t>& out) {
  if (pairs.empty()) return;
  std::vector<std::uint8_t> area, stream_bytes;
  BitWriter head(area), stream(stream_bytes);
  const RunBases bases = code.tag == 0 ? put_run_header(code, pairs, head) : RunBases{};
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (put_entry_word(code, inverse, bases, pairs[i], head)) {
      stream.align();
      paircode::put_varint(stream.bytes(), pairs[i].shared);
      paircode::put_varint(stream.bytes(), pairs[i].length);
    }
    put_suffix(codec, collected, first + i, stream);
  }
  head.align();
  stream.align();
  out.insert(out.end(), area.begin(), area.end());
  out.insert(out.end(), stream_bytes.begin(), stream_bytes.end());
}

void ShardWriter::write(const fsst::Table& table, const Phrases& phrases, const Sink& emit) {
  Collected::Settled settled = collected.settle(table, phrases, pair_list_);
  auto inverse_of = [](const Code& c, std::vector<std::uint16_t>& inv) {
    inv.clear();
    if (c.tag != 1) return;
    inv.assign(65536, 0xFFFF);
    for (std::size_t j = 0; j < c.table.size(); ++j)
      inv[c.table[j]] = static_cast<std::uint16_t>(j);
  };
  inverse_of(settled.entry, inv_entry_);
  inverse_of(settled.restart, inv_restart_);
  std::uint64_t e = 0, r = 0;
  for (std::uint64_t runs_in_block : collected.blocks) {
    written.block_offsets.push_back(written.data_len);
    block_buf_.clear();
    for (std::uint64_t j = 0; j < runs_in_block; ++j, ++r) {
      const std::uint64_t c = collected.runs[r];
      const std::span<const Pair> run(pair_list_.data() + e, static_cast<std::size_t>(c));
      if (j == 0) {
        write_run(settled.restart, inv_restart_, settled.codec, collected, run, e, block_buf_);
      } else {
        written.micro_offsets.push_back(written.data_len + block_buf_.size());
        write_run(settled.entry, inv_entry_, settled.codec, collected, run, e, block_buf_);
      }
      e += c;
    }
    emit(block_buf_);
    written.data_len += block_buf_.size();
  }
  written.header_codes.emplace_back(std::move(settled.entry), std::move(settled.restart));
  written.codecs.push_back(std::move(settled.codec));
  collected.clear();
}

Part encode_range(std::span<const std::string_view> keys, std::uint64_t block, std::uint64_t micro,
                  std::span<const fsst::Table> tables, const Phrases& phrases, std::uint64_t spb,
                  std::uint64_t first_block) {
  Part part;
  if (keys.empty()) return part;
  check_invariant(!tables.empty() && block >= 1 && spb >= 1, "a range has tables and sizes");
  const std::uint64_t nblocks = (keys.size() + block - 1) / block;
  const std::uint64_t mpb = (block + micro - 1) / micro;
  ShardWriter w;
  w.written.block_offsets.reserve(nblocks);
  w.written.micro_offsets.reserve(nblocks * mpb);
  part.head_ends.reserve(nblocks);
  std::vector<std::uint8_t> scratch;
  const std::uint64_t shard_keys = spb * block;
  const std::uint64_t f = first_block / spb;
  const auto emit = [&](std::span<const std::uint8_t> b) {
    part.block_data.insert(part.block_data.end(), b.begin(), b.end());
  };
  for (std::uint64_t k = 0, s0 = 0; s0 < keys.size(); ++k, s0 += shard_keys) {
    const auto shard = keys.subspan(s0, std::min<std::uint64_t>(shard_keys, keys.size() - s0));
    const fsst::Table& table = tables[std::min<std::uint64_t>(f + k, tables.size() - 1)];
    const fsst::Encoder encoder = table.encoder();
    for (std::uint64_t b0 = 0; b0 < shard.size(); b0 += block) {
      const auto bkeys = shard.subspan(b0, std::min<std::uint64_t>(block, shard.size() - b0));
      part.heads.insert(part.heads.end(), bkeys[0].begin(), bkeys[0].end());
      part.head_ends.push_back(part.heads.size());
      collect_block(w.collected, bkeys, micro, encoder, scratch);
    }
    w.write(table, phrases, emit);
  }
  part.written = std::move(w.written);
  return part;
}

}  // namespace quenlith::dict_index
