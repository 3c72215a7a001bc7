#include "hashed_dict.hpp"

#include <algorithm>
#include <cstring>

#include "bytes.hpp"
#include "fileio.hpp"
#include "fp_table.hpp"
#include "threads.hpp"

namespace quenlith::hashed_dict {

namespace {

constexpr char kMagic[4] = {'B', 'H', 'D', '1'};
constexpr const char* kBadBits = "hashed-dict: fingerprint_bits must be in 0..=32";
constexpr const char* kTooMany = "hashed-dict: more than u32::MAX keys";
constexpr const char* kWalkEnded = "hashed-dict: the dictionary's walk ended before its last key";
constexpr const char* kNotPerfect = "hashed-dict: construction was not minimal/perfect";
constexpr const char* kHeaderTooMany = "hashed-dict: header claims more than u32::MAX keys";
constexpr const char* kSideLength = "side table length out of range";
constexpr const char* kMphLength = "hashed-dict: mph length out of range";
constexpr const char* kDictLength = "hashed-dict: dictionary length out of range";
constexpr const char* kRankLength = "hashed-dict: rank table length mismatch";
constexpr const char* kSideRank = "hashed-dict: a side-table rank is past the last key";
constexpr const char* kKeyCount =
    "hashed-dict: the dictionary and the header disagree on the key count";
constexpr const char* kMphCount = "mph / header length mismatch";
// Keys a worker of the per-slot pass takes at least.
constexpr std::uint64_t kKeysPerWorker = 4096;

std::uint64_t table_len(std::uint64_t entries, std::uint32_t w) {
  return static_cast<std::uint64_t>((static_cast<unsigned __int128>(entries) * w + 7) / 8);
}

}  // namespace

Header Header::parse(std::span<const std::uint8_t> bytes) {
  bytes::Cursor c(bytes);
  c.skip(4, blob::kBadMagic);
  Header h;
  h.n = c.u64(blob::kBadMagic);
  h.fingerprint_bits = c.u32(blob::kBadMagic);
  h.dict_len = c.u64(blob::kBadMagic);
  h.mph_len = c.u64(blob::kBadMagic);
  h.side_count = c.u32(blob::kBadMagic);
  h.payload = c.u64(blob::kBadMagic);
  c.skip(4, blob::kBadMagic);
  return h;
}

std::array<std::uint8_t, Header::kBytes> Header::write() const {
  std::vector<std::uint8_t> h = blob::begin_header(std::string_view(kMagic, 4), kBytes);
  bytes::put_u64(h, n);
  bytes::put_u32(h, fingerprint_bits);
  bytes::put_u64(h, dict_len);
  bytes::put_u64(h, mph_len);
  bytes::put_u32(h, side_count);
  bytes::put_u64(h, payload);
  return blob::seal_header<kBytes>(h);
}

std::uint32_t rank_bits(std::uint64_t n) {
  return paircode::bitlen(std::max<std::uint64_t>(n, 2) - 1);
}

HashedDictIndex HashedDictIndex::from_shared_dict(std::shared_ptr<const dict_index::DictIndex> dict,
                                                  std::uint32_t fingerprint_bits) {
  if (fingerprint_bits > 32) throw IndexError::format(kBadBits);
  const std::uint64_t n = dict->size();
  if (n > UINT32_MAX) throw IndexError::build(kTooMany);
  std::vector<hash::Pair> pairs;
  pairs.reserve(n);
  dict_index::KeyIter it = dict->iter_from(0);
  try {
    while (it.next()) pairs.push_back(hash::hash_pair(it.key()));
  } catch (const IndexError&) {
    throw IndexError::format(kWalkEnded);
  }
  if (pairs.size() != n) throw IndexError::format(kWalkEnded);
  return from_pairs(std::move(dict), fingerprint_bits, std::move(pairs), threads::available());
}

HashedDictIndex HashedDictIndex::from_pairs(std::shared_ptr<const dict_index::DictIndex> dict,
                                            std::uint32_t fingerprint_bits,
                                            std::vector<hash::Pair> pairs, unsigned threads) {
  if (fingerprint_bits > 32) throw IndexError::format(kBadBits);
  const std::uint64_t n = pairs.size();
  if (n > UINT32_MAX) throw IndexError::build(kTooMany);
  HashedDictIndex h;
  h.dict_ = std::move(dict);
  h.n_ = n;
  h.fingerprint_bits_ = fingerprint_bits;
  h.width_ = fingerprint_bits + rank_bits(n);
  if (n == 0) {
    h.width_ = fingerprint_bits + 1;
    h.ranks_ = blob::SharedBytes::from_owned(std::vector<std::uint8_t>{});
    return h;
  }
  std::vector<std::uint64_t> distinct(n);
  for (std::uint64_t i = 0; i < n; ++i) distinct[i] = pairs[i].h1;
  std::sort(distinct.begin(), distinct.end());
  std::vector<std::uint64_t> colliding;
  for (std::uint64_t i = 0; i + 1 < n; ++i)
    if (distinct[i] == distinct[i + 1]) colliding.push_back(distinct[i]);
  colliding.erase(std::unique(colliding.begin(), colliding.end()), colliding.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  const std::uint64_t d = distinct.size();
  threads = std::max(threads, 1u);
  h.mph_.emplace(mphf::Mphf::build_with_threads(distinct, threads));
  distinct = {};
  if (!colliding.empty()) {
    std::vector<std::uint8_t> seen(colliding.size(), 0);
    for (std::uint64_t i = 0; i < n; ++i) {
      const auto it = std::lower_bound(colliding.begin(), colliding.end(), pairs[i].h1);
      if (it == colliding.end() || *it != pairs[i].h1) continue;
      std::uint8_t& flag = seen[static_cast<std::size_t>(it - colliding.begin())];
      if (flag) h.side_.push_back({pairs[i].h1, pairs[i].h2, i});
      flag = 1;
    }
  }
  const mphf::Mphf& mph = *h.mph_;
  auto slots = [&](std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t i = lo; i < hi; ++i) pairs[i].h1 = mph.index(pairs[i].h1);
  };
  if (threads >= 2 && n >= std::uint64_t{threads} * kKeysPerWorker) {
    const std::uint64_t chunk = (n + threads - 1) / threads;
    const auto workers = static_cast<unsigned>((n + chunk - 1) / chunk);
    threads::run_workers(workers,
                         [&](unsigned w) { slots(w * chunk, std::min(n, (w + 1) * chunk)); });
  } else {
    slots(0, n);
  }
  for (const SideEntry& e : h.side_) pairs[e.rank].h1 = ~std::uint64_t{0};
  std::sort(h.side_.begin(), h.side_.end());
  std::vector<std::uint8_t> table(table_len(d, h.width_), 0);
  std::vector<std::uint64_t> placed((d + 63) / 64, 0);
  const std::uint64_t mask = fingerprint_bits ? (std::uint64_t{1} << fingerprint_bits) - 1 : 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint64_t slot = pairs[i].h1;
    if (slot == ~std::uint64_t{0}) continue;
    if (slot >= d || ((placed[slot / 64] >> (slot % 64)) & 1))
      throw IndexError::format(kNotPerfect);
    placed[slot / 64] |= std::uint64_t{1} << (slot % 64);
    fp_table::write(table, slot, h.width_, (pairs[i].h2 & mask) | (i << fingerprint_bits));
  }
  h.ranks_ = blob::SharedBytes::from_owned(std::move(table));
  return h;
}

HashedDictIndex::Frame HashedDictIndex::parse_frame(const blob::SharedBytes& view, bool verify) {
  const auto b = view.bytes();
  blob::check_frame(b, kMagic, kHeaderBytes);
  const std::uint8_t* p = b.data();
  const Header h = Header::parse(b);
  const std::uint64_t n = h.n;
  const std::uint32_t f = h.fingerprint_bits;
  const std::uint64_t dlen = h.dict_len;
  const std::uint64_t mlen = h.mph_len;
  const std::uint64_t s = h.side_count;
  if (n > UINT32_MAX) throw IndexError::format(kHeaderTooMany);
  if (f > 32) throw IndexError::format(kBadBits);
  if (s >= std::max<std::uint64_t>(n, 1)) throw IndexError::format(kSideLength);
  if ((mlen == 0) != (n == 0)) throw IndexError::format(kMphLength);
  const auto dict_end = bytes::checked_add(kHeaderBytes, dlen);
  if (!dict_end || *dict_end > b.size()) throw IndexError::format(kDictLength);
  const auto mph_end = bytes::checked_add(*dict_end, mlen);
  if (!mph_end || *mph_end > b.size()) throw IndexError::format(kMphLength);
  const std::uint32_t w = f + rank_bits(n);
  const auto rank_end = bytes::checked_add(*mph_end, table_len(n - s, w));
  if (!rank_end || *rank_end > b.size()) throw IndexError::format(kRankLength);
  if (b.size() - *rank_end != 24 * s) throw IndexError::format(kSideLength);
  if (verify) blob::check_payload(b.subspan(*dict_end), h.payload);
  std::vector<SideEntry> side;
  side.reserve(s);
  for (std::uint64_t k = 0; k < s; ++k) {
    const std::uint8_t* e = p + *rank_end + 24 * k;
    const SideEntry entry{bytes::load_u64(e), bytes::load_u64(e + 8), bytes::load_u64(e + 16)};
    if (entry.rank >= n) throw IndexError::format(kSideRank);
    side.push_back(entry);
  }
  std::sort(side.begin(), side.end());
  return Frame{
      *view.slice(*mph_end, *rank_end - *mph_end), std::move(side), n, dlen, *dict_end, mlen, f, w};
}

HashedDictIndex HashedDictIndex::from_shared(blob::SharedBytes view, bool verify) {
  Frame frame = parse_frame(view, verify);
  auto dict = std::make_shared<const dict_index::DictIndex>(
      dict_index::DictIndex::from_shared(*view.slice(kHeaderBytes, frame.dict_len), verify));
  if (dict->size() != frame.n) throw IndexError::format(kKeyCount);
  HashedDictIndex h;
  if (frame.n > 0) {
    h.mph_.emplace(mphf::Mphf::from_bytes(view.bytes().subspan(frame.mph_at, frame.mph_len)));
    if (h.mph_->n() != frame.n - frame.side.size()) throw IndexError::format(kMphCount);
  }
  h.dict_ = std::move(dict);
  h.ranks_ = std::move(frame.ranks);
  h.side_ = std::move(frame.side);
  h.n_ = frame.n;
  h.fingerprint_bits_ = frame.fingerprint_bits;
  h.width_ = frame.width;
  return h;
}

HashedDictIndex HashedDictIndex::from_bytes(std::span<const std::uint8_t> bytes) {
  return from_shared(blob::SharedBytes::from_owned(bytes), true);
}
HashedDictIndex HashedDictIndex::load(const std::filesystem::path& path) {
  return from_shared(blob::SharedBytes::from_owned(fileio::read_file(path)), true);
}
HashedDictIndex HashedDictIndex::load_mmap(const std::filesystem::path& path) {
  return from_shared(blob::SharedBytes::map_file(path), false);
}
HashedDictIndex HashedDictIndex::load_mmap_verified(const std::filesystem::path& path) {
  return from_shared(blob::SharedBytes::map_file(path), true);
}

std::uint64_t HashedDictIndex::serialized_len() const {
  return kHeaderBytes + dict_->serialized_len() + (mph_ ? mph_->byte_len() : 0) + ranks_.size() +
         24 * side_.size();
}

void HashedDictIndex::write_to(
    const std::function<void(std::span<const std::uint8_t>)>& sink) const {
  const std::vector<std::uint8_t> image = mph_ ? mph_->to_bytes() : std::vector<std::uint8_t>{};
  std::vector<std::uint8_t> side;
  side.reserve(24 * side_.size());
  for (const SideEntry& e : side_) {
    bytes::put_u64(side, e.h1);
    bytes::put_u64(side, e.h2);
    bytes::put_u64(side, e.rank);
  }
  blob::BlockHasher hasher;
  hasher.update(image);
  hasher.update(ranks_.bytes());
  hasher.update(side);
  Header h;
  h.n = n_;
  h.fingerprint_bits = fingerprint_bits_;
  h.dict_len = dict_->serialized_len();
  h.mph_len = image.size();
  h.side_count = static_cast<std::uint32_t>(side_.size());
  h.payload = hasher.finish();
  sink(h.write());
  dict_->write_to(sink);
  sink(image);
  sink(ranks_.bytes());
  sink(side);
}

std::vector<std::uint8_t> HashedDictIndex::to_bytes() const {
  return blob::collect(serialized_len(), [&](const auto& sink) { write_to(sink); });
}

void HashedDictIndex::save(const std::filesystem::path& path) const {
  blob::save_written(path, [&](const auto& sink) { write_to(sink); });
}

std::uint64_t HashedDictIndex::value_at_the_end(std::uint64_t slot) const {
  const unsigned __int128 bit = static_cast<unsigned __int128>(slot) * width_;
  const unsigned __int128 last = bit + width_ - 1;
  if (last / 8 >= ranks_.size()) return 0;
  const auto* t = ranks_.data();
  const std::uint64_t first = static_cast<std::uint64_t>(bit / 8);
  const std::uint64_t end = static_cast<std::uint64_t>(last / 8);
  unsigned __int128 v = 0;
  for (std::uint64_t k = end + 1; k-- > first;) v = (v << 8) | t[k];
  v >>= static_cast<unsigned>(bit % 8);
  return static_cast<std::uint64_t>(v) & paircode::mask(width_);
}

std::uint64_t HashedDictIndex::entry(std::uint64_t slot) const noexcept {
  const std::uint64_t bit = slot * width_;
  if (width_ < 58 && bit / 8 + 8 <= ranks_.size())
    return (bytes::load_u64(ranks_.data() + bit / 8) >> (bit % 8)) & paircode::mask(width_);
  return value_at_the_end(slot);
}

std::optional<std::uint64_t> HashedDictIndex::side_lookup(std::uint64_t h1,
                                                          std::uint64_t h2) const {
  const auto hits = side_matches(h1, h2);
  if (hits.empty()) return std::nullopt;
  return hits.front().rank;
}

std::span<const SideEntry> HashedDictIndex::side_matches(std::uint64_t h1,
                                                         std::uint64_t h2) const {
  const auto [lo, hi] = std::equal_range(
      side_.begin(), side_.end(), SideEntry{h1, h2, 0}, [](const SideEntry& a, const SideEntry& b) {
        return a.h1 != b.h1 ? a.h1 < b.h1 : a.h2 < b.h2;
      });
  return {lo, hi};
}

std::optional<std::uint64_t> HashedDictIndex::side_rank(std::string_view key,
                                                        std::span<const SideEntry> hits) const {
  // The whole hash is shared when several side entries hold it, or when the group's
  // representative (the key at h1's slot) has the same h2: at zero fingerprint bits that cannot
  // be told, and with fingerprints a differing one proves it is not shared. A shared hash is
  // decided by the dictionary's own search, which alone tells such keys apart.
  bool shared = hits.size() > 1 || fingerprint_bits_ == 0;
  if (!shared && mph_) {
    const std::uint64_t fmask = paircode::mask(fingerprint_bits_);
    shared = (entry(mph_->index(hits.front().h1)) & fmask) == (hits.front().h2 & fmask);
  }
  if (!shared) return hits.front().rank;
  return dict_->id(key);
}

std::optional<std::uint64_t> HashedDictIndex::checked_entry(std::uint64_t h1,
                                                            std::uint64_t h2) const {
  if (!mph_) return std::nullopt;
  const std::uint64_t e = entry(mph_->index(h1));
  const std::uint64_t rank = e >> fingerprint_bits_;
  const std::uint64_t fmask = paircode::mask(fingerprint_bits_);
  if ((e & fmask) == (h2 & fmask) && rank < n_) return rank;
  return std::nullopt;
}

std::optional<std::uint64_t> HashedDictIndex::id_with_side(std::string_view key) const {
  const hash::Pair p = hash::hash_pair(key);
  if (!side_.empty()) {
    const auto hits = side_matches(p.h1, p.h2);
    if (!hits.empty()) return side_rank(key, hits);
  }
  return checked_entry(p.h1, p.h2);
}

std::uint64_t HashedDictIndex::unchecked_with_side(std::string_view key) const {
  const hash::Pair p = hash::hash_pair(key);
  if (!side_.empty()) {
    const auto hits = side_matches(p.h1, p.h2);
    if (!hits.empty()) return side_rank(key, hits).value_or(hits.front().rank);
  }
  if (!mph_) return 0;
  return std::min(n_ - 1, entry(mph_->index(p.h1)) >> fingerprint_bits_);
}

std::optional<std::uint64_t> HashedDictIndex::exact_id(std::string_view key) const {
  return dict_->id(key);
}

std::optional<std::uint64_t> HashedDictIndex::id(std::string_view key) const {
  return fingerprint_bits_ == 0 ? exact_id(key) : id_with_side(key);
}

std::vector<std::optional<std::uint64_t>> HashedDictIndex::ids_of(
    std::span<const std::string_view> keys) const {
  return ids_of_with(keys.size(), [&](std::uint64_t i) { return keys[i]; });
}

void HashedDictIndex::match_hashed(const std::vector<std::uint64_t>& h1,
                                   const std::vector<std::uint64_t>& h2,
                                   std::vector<std::optional<std::uint64_t>>& out) const {
  const std::vector<std::uint64_t> slots = mph_->index_all(h1);
  const std::uint64_t fmask = paircode::mask(fingerprint_bits_);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::uint64_t e = entry(slots[i]);
    const std::uint64_t rank = e >> fingerprint_bits_;
    if ((e & fmask) == (h2[i] & fmask) && rank < n_) out[i] = rank;
  }
}

}  // namespace quenlith::hashed_dict
