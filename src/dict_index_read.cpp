// Reading a dictionary: run walks, key decoding, lookups, ordered queries and iteration.
#include <algorithm>
#include <cstring>
#include <memory>

#include "dict_index_internal.hpp"

namespace quenlith::dict_index {

using paircode::Pair;

// ---- Runs ----------------------------------------------------------------------------------

RunWalk::RunWalk(const RunView& v) {
  const paircode::Code& code = *v.code;
  const std::uint64_t entries = v.covered > 0 ? v.covered - 1 : 0;
  run_ = v.bytes.data();
  run_len_ = v.bytes.size();
  std::uint64_t area_bits;
  if (code.tag == 0) {
    const unsigned hbits = code.header_bits();
    if (run_len_ * 8 < hbits) return;
    const std::uint64_t word = paircode::tail_word(run_, run_len_, 0);
    std::uint64_t x = word;
    const std::uint64_t da = x & paircode::mask(code.w1);
    x = code.w1 >= 64 ? 0 : x >> code.w1;
    const std::uint64_t db = x & paircode::mask(code.w2);
    x = code.w2 >= 64 ? 0 : x >> code.w2;
    const std::uint64_t dp = x & paircode::mask(code.w3);
    x >>= code.w3;
    const std::uint64_t dq = x & paircode::mask(code.w4);
    const std::uint64_t p = code.min_shared + dp, q = code.min_length + dq;
    if (p >= 16 || q >= 16) return;
    sb_ = code.base_shared + da;
    lb_ = code.base_length + db;
    q_ = static_cast<unsigned>(q);
    word_width_ = static_cast<unsigned>(p + q);
    word_bit_ = hbits;
    area_bits = hbits + entries * word_width_;
  } else {
    tag0_ = false;
    word_width_ = code.width;
    table_ = code.table.data();
    count_ = code.table.size();
    area_bits = entries * word_width_;
  }
  packed_len_ = (area_bits + 7) / 8;
  if (packed_len_ > run_len_) {
    packed_len_ = 0;
    run_len_ = 0;
    return;
  }
  word_mask_ = paircode::mask(word_width_);
  stream_ = run_ + packed_len_;
  stream_len_ = run_len_ - packed_len_;
  stream_bits_ = std::uint64_t{stream_len_} * 8;
  unit_bits_ = v.codec->unit_bits();
  max_units_ = stream_bits_ / unit_bits_;
  entries_ = entries;
  valid_ = true;
}

bool RunWalk::next_pair(Pair& pair, std::uint64_t& start) {
  if (entry_ >= entries_) return false;
  const std::uint64_t word =
      (paircode::tail_word(run_, run_len_, word_bit_ / 8) >> (word_bit_ % 8)) & word_mask_;
  word_bit_ += word_width_;
  ++entry_;
  bool escaped;
  if (tag0_) {
    escaped = word == word_mask_;
    if (!escaped) pair = {(word >> q_) + sb_, (word & paircode::mask(q_)) + lb_};
  } else {
    escaped = word >= count_;
    if (!escaped) pair = {std::uint64_t{table_[word]} >> 8, std::uint64_t{table_[word]} & 255};
  }
  if (escaped) {
    const std::uint64_t at = (std::min(bit_, stream_bits_) + 7) / 8;
    auto rest = std::span(stream_, stream_len_).subspan(at);
    const auto s = paircode::get_varint(rest);
    if (!s) return false;
    const auto l = paircode::get_varint(rest.subspan(s->second));
    if (!l) return false;
    pair = {s->first, l->first};
    wide_ += s->second + l->second;
    ++escapes_;
    bit_ = (at + s->second + l->second) * 8;
  }
  if (pair.length > max_units_) return false;
  start = bit_;
  const std::uint64_t bits = pair.length * unit_bits_;
  if (start > stream_bits_ || stream_bits_ - start < bits) return false;
  bit_ = start + bits;
  return true;
}

std::uint64_t DictIndex::keys_in_block(std::uint64_t b) const {
  return std::min(block_, keys_ - b * block_);
}

std::uint64_t DictIndex::micros_in_block(std::uint64_t b) const {
  if (b + 1 >= blocks()) return (keys_in_block(b) + micro_ - 1) / micro_;
  return micro_per_block_;
}

std::uint64_t DictIndex::micro_offset(std::uint64_t k) const {
  const std::uint64_t bit = k * micro_width_;
  check_invariant(micro_width_ == 0 || bit / 8 + 8 <= micro_offsets_.size(),
                  "a microblock offset read stays inside its bits");
  return offsets::packed_get(micro_offsets_.data(), k, micro_width_);
}

const Codec& DictIndex::codec_of(std::uint64_t b) const {
  const std::uint64_t s = b / blocks_per_shard_;
  return tables_[s < tables_.size() ? s : 0];
}

const std::pair<paircode::Code, paircode::Code>& DictIndex::codes_of(std::uint64_t b) const {
  const std::uint64_t s = b / blocks_per_shard_;
  return header_codes_[s < header_codes_.size() ? s : 0];
}

std::span<const std::uint8_t> DictIndex::head(std::uint64_t b) const {
  const std::uint64_t start = b ? head_ends_.get(b - 1) : 0, end = head_ends_.get(b);
  if (start > end || end > heads_.size()) return {};
  return heads_.bytes().subspan(start, end - start);
}

std::uint64_t DictIndex::block_end(std::uint64_t b) const {
  return b + 1 < blocks() ? block_offsets_.get(b + 1) : block_data_.size();
}

namespace {
std::span<const std::uint8_t> range_of(std::span<const std::uint8_t> data, std::uint64_t a,
                                       std::uint64_t z) {
  if (a > z || z > data.size()) return {};
  return data.subspan(a, z - a);
}
}  // namespace

RunView DictIndex::restart_run(std::uint64_t b) const {
  const std::uint64_t start = block_start(b);
  std::span<const std::uint8_t> bytes;
  if (micro_per_block_ != 1) {
    const std::uint64_t end = start + micro_offset(b * micro_per_block_);
    bytes = range_of(block_data_.bytes(), start, end < start ? start : end);
  }
  return {&codec_of(b), &codes_of(b).second, bytes, micros_in_block(b)};
}

RunView DictIndex::micro_run(std::uint64_t b, std::uint64_t j) const {
  const std::uint64_t start = block_start(b);
  const std::uint64_t mb = micros_in_block(b);
  std::uint64_t a, z;
  if (micro_per_block_ == 1) {
    a = start;
    z = block_end(b);
  } else {
    a = start + micro_offset(b * micro_per_block_ + j);
    z = j + 1 < mb ? start + micro_offset(b * micro_per_block_ + j + 1) : block_end(b);
  }
  const std::uint64_t kb = keys_in_block(b);
  const std::uint64_t kj = kb > j * micro_ ? std::min(micro_, kb - j * micro_) : 0;
  return {&codec_of(b), &codes_of(b).first, range_of(block_data_.bytes(), a, z), kj};
}

// Decodes the walk's next entry into `key` (holding the previous key of the chain).
bool DictIndex::advance(const Codec& codec, RunWalk& walk, room::Bytes& key) const {
  Pair p;
  std::uint64_t start;
  if (!walk.next_pair(p, start)) return false;
  if (p.shared > key.size()) return false;
  key.truncate(static_cast<std::size_t>(p.shared));
  return codec.decode_into(phrases_, walk.stream(), start, p.length, key, kNoLimit);
}

// Moves `out` (holding the run's base key) `steps` entries along the run, decoding only the
// suffix bytes that survive.
bool DictIndex::climb(const RunView& run, std::uint64_t steps, room::Bytes& out) const {
  RunWalk walk(run);
  if (!walk.valid()) return steps == 0;
  if (steps > walk.entries()) return false;
  if (steps == 0) return true;
  struct Pending {
    std::uint64_t shared, start, length;
  };
  Pending stack[32];
  std::size_t top = 0;
  bool overflow = false;
  for (std::uint64_t i = 0; i < steps; ++i) {
    Pair p;
    std::uint64_t start;
    if (!walk.next_pair(p, start)) return false;
    while (top > 0 && stack[top - 1].shared >= p.shared) --top;
    if (top == 32) {
      overflow = true;
      break;
    }
    stack[top++] = {p.shared, start, p.length};
  }
  if (overflow) {
    RunWalk again(run);
    for (std::uint64_t i = 0; i < steps; ++i)
      if (!advance(*run.codec, again, out)) return false;
    return true;
  }
  const auto stream = walk.stream();
  for (std::size_t i = 0; i < top; ++i) {
    const Pending& e = stack[i];
    if (e.shared > out.size()) return false;
    out.truncate(static_cast<std::size_t>(e.shared));
    const std::uint64_t want = i + 1 < top ? stack[i + 1].shared - e.shared : kNoLimit;
    if (!run.codec->decode_into(phrases_, stream, e.start, e.length, out, want)) return false;
  }
  return true;
}

bool DictIndex::key_bytes_into(std::uint64_t id, room::Bytes& out) const {
  out.clear();
  if (id >= keys_) return false;
  const std::uint64_t b = id / block_, r = id - b * block_;
  const std::uint64_t j = r / micro_, k = r - j * micro_;
  out.append(head(b));
  if (j >= 1 && !climb(restart_run(b), j, out)) return false;
  return climb(micro_run(b, j), k, out);
}

std::optional<std::string> DictIndex::key(std::uint64_t id) const {
  room::Bytes buf;
  if (!key_bytes_into(id, buf) || !bytes::is_utf8(buf.span())) return std::nullopt;
  return buf.str();
}

std::vector<std::optional<std::string>> DictIndex::keys_of(
    std::span<const std::uint64_t> ids) const {
  std::vector<std::optional<std::string>> out;
  out.reserve(ids.size());
  room::Bytes buf;
  for (std::uint64_t id : ids) {
    if (key_bytes_into(id, buf) && bytes::is_utf8(buf.span()))
      out.emplace_back(buf.str());
    else
      out.emplace_back(std::nullopt);
  }
  return out;
}

// ---- Lookup --------------------------------------------------------------------------------

namespace {

int compare(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  const std::size_t n = std::min(a.size(), b.size());
  if (n > 0) {
    const int c = std::memcmp(a.data(), b.data(), n);
    if (c != 0) return c;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

struct Scan {
  std::uint64_t position;
  std::uint64_t m;
  bool found;
};

// Walks a run's entries comparing with `key`; position 0 is the run's base key, known to be
// below the key and to share `m` bytes with it.
Scan scan_run(const Codec& codec, const phrase::Dict& phrases, RunWalk& walk, std::uint64_t c,
              std::span<const std::uint8_t> key, std::uint64_t m) {
  if (walk.entries() + 1 != c || !walk.valid()) return {0, m, false};
  if (c < 2) return {c == 0 ? 0 : c - 1, m, false};
  for (std::uint64_t i = 1; i < c; ++i) {
    Pair p;
    std::uint64_t start;
    if (!walk.next_pair(p, start) || p.shared < m) return {i - 1, m, false};
    // An entry sharing more with its predecessor than the key does agrees with the predecessor
    // where the predecessor falls below the key: it is below the key too.
    if (p.shared > m) continue;
    Codec::Order o;
    if (!codec.compare(phrases, walk.stream(), start, p.length, key.subspan(m), o))
      return {i - 1, m, false};
    if (o.order > 0) return {i - 1, m, false};
    if (o.order == 0) return {i, key.size(), true};
    m += o.common;
  }
  return {c - 1, m, false};
}

}  // namespace

std::uint64_t DictIndex::head_boundary(std::span<const std::uint8_t> key, std::uint64_t lo,
                                       std::uint64_t hi) const {
  while (lo < hi) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    if (compare(head(mid), key) > 0)
      hi = mid;
    else
      lo = mid + 1;
  }
  return lo;
}

Found DictIndex::locate_in(std::uint64_t u, std::span<const std::uint8_t> key) const {
  if (u == 0) return {false, 0};
  const std::uint64_t b = u - 1;
  const auto h = head(b);
  if (compare(h, key) == 0) return {true, b * block_};
  const std::uint64_t m0 = bytes::common_prefix(h, key);
  const std::uint64_t mb = micros_in_block(b);
  const Codec& codec = codec_of(b);
  std::uint64_t j = 0, m = m0;
  if (mb >= 2) {
    RunWalk walk(restart_run(b));
    const Scan s = scan_run(codec, phrases_, walk, mb, key, m0);
    if (s.found) return {true, b * block_ + s.position * micro_};
    j = s.position;
    m = s.m;
  }
  const RunView run = micro_run(b, j);
  RunWalk walk(run);
  const Scan s = scan_run(codec, phrases_, walk, run.covered, key, m);
  const std::uint64_t base = b * block_ + j * micro_ + s.position;
  return s.found ? Found{true, base} : Found{false, base + 1};
}

Found DictIndex::locate(std::span<const std::uint8_t> key) const {
  if (keys_ == 0) return {false, 0};
  const std::uint64_t nb = blocks();
  if (head_prefix_ > 0) {
    const auto h0 = head(0);
    const auto prefix = h0.subspan(0, std::min<std::size_t>(head_prefix_, h0.size()));
    const std::size_t n = std::min(prefix.size(), key.size());
    const int c = n ? std::memcmp(key.data(), prefix.data(), n) : 0;
    if (c < 0 || (c == 0 && key.size() < prefix.size())) return {false, 0};
    if (c > 0) return locate_in(nb, key);
  }
  const std::uint64_t x = sample_of(key, head_prefix_);
  const auto lo_it = std::lower_bound(samples_.begin(), samples_.end(), x);
  const auto hi_it = std::upper_bound(lo_it, samples_.end(), x);
  const std::uint64_t lo = static_cast<std::uint64_t>(lo_it - samples_.begin());
  const std::uint64_t hi = static_cast<std::uint64_t>(hi_it - samples_.begin());
  return locate_in(head_boundary(key, lo > 0 ? lo - 1 : 0, hi), key);
}

std::optional<std::uint64_t> DictIndex::id(std::string_view key) const {
  const Found f = locate(key);
  return f.found ? std::optional<std::uint64_t>(f.id) : std::nullopt;
}

std::vector<std::optional<std::uint64_t>> DictIndex::ids_of(
    std::span<const std::string_view> keys) const {
  return ids_of_with(keys.size(), [&](std::uint64_t i) { return bytes::as_bytes(keys[i]); });
}

void DictIndex::ids_of_group(std::span<const std::span<const std::uint8_t>> keys,
                             std::optional<std::uint64_t>* out) const {
  const auto cnt = static_cast<unsigned>(keys.size());
  if (cnt == 0 || keys_ == 0) return;
  check_invariant(cnt <= kLockstep, "a lockstep group holds at most 32 keys");
  const std::uint64_t nb = blocks();
  std::span<const std::uint8_t> prefix;
  if (head_prefix_ > 0) {
    const auto h0 = head(0);
    prefix = h0.subspan(0, std::min<std::size_t>(head_prefix_, h0.size()));
  }
  constexpr std::uint64_t kSearch = UINT64_MAX;
  struct Work {
    std::span<const std::uint8_t> key;
    std::uint64_t sample, boundary, lo_base, lo_len, hi_base, hi_len;
  };
  Work work[kLockstep];
  unsigned passes = 1;
  for (std::uint64_t x = nb; x; x >>= 1) ++passes;
  const std::uint64_t* samples = samples_.data();
  for (unsigned i = 0; i < cnt; ++i) {
    Work& w = work[i];
    w.key = keys[i];
    w.boundary = kSearch;
    if (!prefix.empty()) {
      const std::size_t m = std::min(prefix.size(), w.key.size());
      const int c = m ? std::memcmp(w.key.data(), prefix.data(), m) : 0;
      if (c < 0 || (c == 0 && w.key.size() < prefix.size()))
        w.boundary = 0;
      else if (c > 0)
        w.boundary = nb;
    }
    w.sample = sample_of(w.key, head_prefix_);
    w.lo_base = w.hi_base = 0;
    w.lo_len = w.hi_len = w.boundary == kSearch ? nb : 0;
  }
  for (unsigned pass = 0; pass < passes; ++pass) {
    for (unsigned i = 0; i < cnt; ++i) {
      Work& w = work[i];
      if (w.lo_len > 0) {
        const std::uint64_t half = w.lo_len / 2, probe = w.lo_base + half;
        if (samples[probe] < w.sample)
          w.lo_base = probe + 1, w.lo_len -= half + 1;
        else
          w.lo_len = half;
      }
      if (w.hi_len > 0) {
        const std::uint64_t half = w.hi_len / 2, probe = w.hi_base + half;
        if (samples[probe] <= w.sample)
          w.hi_base = probe + 1, w.hi_len -= half + 1;
        else
          w.hi_len = half;
      }
    }
  }
  for (unsigned i = 0; i < cnt; ++i) {
    Work& w = work[i];
    if (w.boundary == kSearch)
      w.boundary = head_boundary(w.key, w.lo_base > 0 ? w.lo_base - 1 : 0, w.hi_base);
  }
  for (unsigned i = 0; i < cnt; ++i) {
    const Found f = locate_in(work[i].boundary, work[i].key);
    if (f.found) out[i] = f.id;
  }
}

// ---- Ordered queries -----------------------------------------------------------------------

std::pair<std::uint64_t, std::uint64_t> DictIndex::prefix_id_range(
    std::span<const std::uint8_t> prefix) const {
  const std::uint64_t start = locate(prefix).id;
  std::vector<std::uint8_t> next(prefix.begin(), prefix.end());
  while (!next.empty() && next.back() == 0xFF) next.pop_back();
  if (next.empty()) return {start, std::max(keys_, start)};
  next.back() += 1;
  return {start, std::max(start, locate(std::span<const std::uint8_t>(next)).id)};
}

std::optional<std::pair<std::string, std::uint64_t>> DictIndex::successor(
    std::span<const std::uint8_t> query) const {
  const std::uint64_t id = locate(query).id;
  auto k = key(id);
  if (!k) return std::nullopt;
  return std::pair{std::move(*k), id};
}

std::optional<std::pair<std::string, std::uint64_t>> DictIndex::predecessor(
    std::span<const std::uint8_t> query) const {
  const Found f = locate(query);
  std::uint64_t target;
  if (f.found)
    target = f.id;
  else if (f.id > 0)
    target = f.id - 1;
  else
    return std::nullopt;
  auto k = key(target);
  if (!k) return std::nullopt;
  return std::pair{std::move(*k), target};
}

namespace {
bool char_start(unsigned char c) { return (c & 0xC0) != 0x80; }
}  // namespace

std::vector<std::pair<std::string, std::uint64_t>> DictIndex::common_prefix(
    std::string_view query) const {
  std::vector<std::pair<std::string, std::uint64_t>> out;
  for (std::size_t c = 0; c <= query.size(); ++c) {
    if (c > 0 && c < query.size() && !char_start(static_cast<unsigned char>(query[c]))) continue;
    const Found f = locate(query.substr(0, c));
    if (f.found) out.emplace_back(std::string(query.substr(0, c)), f.id);
  }
  return out;
}

std::optional<std::pair<std::string, std::uint64_t>> DictIndex::longest_prefix(
    std::string_view query) const {
  for (std::size_t c = query.size(); c >= 1; --c) {
    if (c < query.size() && !char_start(static_cast<unsigned char>(query[c]))) continue;
    const Found f = locate(query.substr(0, c));
    if (f.found) return std::pair{std::string(query.substr(0, c)), f.id};
  }
  const Found f = locate(std::string_view());
  if (f.found) return std::pair{std::string(), f.id};
  return std::nullopt;
}

// ---- Iteration -----------------------------------------------------------------------------

struct KeyIter::Walks {
  room::Bytes restart;
  RunWalk restart_walk;
  RunWalk micro_walk;
};

KeyIter::KeyIter(const DictIndex& index, std::uint64_t first)
    : index_(&index), next_(first), walks_(std::make_unique<Walks>()) {}
KeyIter::KeyIter(KeyIter&&) noexcept = default;
KeyIter& KeyIter::operator=(KeyIter&&) noexcept = default;
KeyIter::~KeyIter() = default;

bool KeyIter::next() {
  if (failed_) throw IndexError::format(kWalkFailed);
  if (next_ >= index_->keys_) return false;
  if (!step()) {
    failed_ = true;
    next_ = index_->keys_;
    throw IndexError::format(kWalkFailed);
  }
  return true;
}

bool KeyIter::step() {
  const DictIndex& d = *index_;
  const std::uint64_t i = next_;
  const std::uint64_t b = i / d.block_, r = i - b * d.block_;
  const std::uint64_t j = r / d.micro_, k = r - j * d.micro_;
  const Codec& codec = d.codec_of(b);
  room::Bytes& restart = walks_->restart;
  RunWalk& restart_walk = walks_->restart_walk;
  RunWalk& micro_walk = walks_->micro_walk;
  if (primed_ && r != 0) {
    if (k == 0) {
      if (!d.advance(codec, restart_walk, restart)) return false;
      current_.assign(restart.span());
      micro_walk = RunWalk(d.micro_run(b, j));
    } else if (!d.advance(codec, micro_walk, current_)) {
      return false;
    }
  } else {
    restart.assign(d.head(b));
    restart_walk = RunWalk(d.restart_run(b));
    for (std::uint64_t s = 0; s < j; ++s)
      if (!d.advance(codec, restart_walk, restart)) return false;
    current_.assign(restart.span());
    micro_walk = RunWalk(d.micro_run(b, j));
    primed_ = true;
    for (std::uint64_t s = 0; s < k; ++s)
      if (!d.advance(codec, micro_walk, current_)) return false;
  }
  id_ = i;
  next_ = i + 1;
  return true;
}

}  // namespace quenlith::dict_index
