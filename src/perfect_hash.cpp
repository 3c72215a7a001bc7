#include "perfect_hash.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

#include "fileio.hpp"
#include "pair_sort.hpp"
#include "threads.hpp"

namespace quenlith::perfect_hash {

namespace {

constexpr char kMagic[4] = {'B', 'M', 'P', '8'};
using mphf::kMaxKeys;
constexpr std::uint64_t kUnset = ~std::uint64_t{0};

constexpr const char* kOldVersion =
    "perfect-hash: blob written by quenlith < 4.0, keyed on a hash this version no longer "
    "computes; "
    "rebuild the index from its keys";
constexpr const char* kTooManyInHeader = "perfect-hash: header claims more than u32::MAX keys";
constexpr const char* kSideIds = "perfect-hash: side-table ids are not the tail id range";
constexpr const char* kAssembleRefused =
    "totals came from the iterator itself, one fingerprint per string, no key past u32::MAX bytes";

// The build sorts (h1, key position) pairs through the pair pipeline, which sorts hash pairs: the
// position travels in the second half.
std::uint64_t position(const Pair& p) noexcept { return p.h2; }

// The keys' (h1, key position) pairs sorted by the pair pipeline, with the workers' runs of whole
// buckets and, for each run, its first distinct h1's rank among all distinct values.
struct SortedKeys {
  pages::Pages<Pair> pairs;
  pair_sort::Runs runs;
  std::vector<std::uint64_t> first_distinct;  // workers + 1 prefix sums
  std::vector<std::uint8_t> fp;               // the fingerprint byte of key i, when asked for
  bool too_long = false;                      // some key is longer than an arena stores
};

// Hash pass (the pair of key i is (h1, i), with its fingerprint byte and length check on the
// side), radix partition and bucket sort; the distinct h1 values of each bucket are counted while
// the bucket is in cache.
template <class Hash>
SortedKeys sort_keys(std::span<const std::string_view> keys, bool fingerprints, unsigned workers,
                     Hash& hash) {
  const std::uint64_t n = keys.size();
  SortedKeys out;
  out.pairs = pages::Pages<Pair>::allocate(n);
  out.fp.resize(fingerprints ? n : 0);
  out.first_distinct.assign(workers + 1, 0);
  std::vector<std::uint8_t> too_long_in(workers, 0);
  auto fill = [&](unsigned w, std::uint64_t lo, std::uint64_t hi, pair_sort::BucketCounter count) {
    bool too_long = false;
    for (std::uint64_t i = lo; i < hi; ++i) {
      const Pair hp = hash(keys[i]);
      out.pairs[i] = Pair{hp.h1, i};
      if (fingerprints) out.fp[i] = static_cast<std::uint8_t>(hp.h2);
      count(hp.h1);
      too_long |= keys[i].size() > arena::kMaxStringLen;
    }
    too_long_in[w] = too_long ? 1 : 0;
  };
  // A stretch of equal h1 never spans two buckets, so a bucket's first pair starts one.
  auto count_distinct = [&](unsigned w, std::uint64_t, std::uint64_t lo, std::uint64_t hi) {
    std::uint64_t distinct = 0;
    for (std::uint64_t i = lo; i < hi; ++i)
      distinct += i == lo || out.pairs[i].h1 != out.pairs[i - 1].h1 ? 1 : 0;
    out.first_distinct[w + 1] += distinct;
  };
  out.runs = pair_sort::sort(out.pairs.span(), workers, fill, count_distinct);
  for (unsigned w = 0; w < workers; ++w) out.first_distinct[w + 1] += out.first_distinct[w];
  out.too_long = std::ranges::any_of(too_long_in, [](std::uint8_t t) { return t != 0; });
  return out;
}

// The positions `group` of keys sharing one h1, sorted byte-wise and freed of equal keys: the
// first then represents the h1 and the others are its collisions.
void order_group(std::span<const std::string_view> keys, std::vector<std::uint64_t>& group) {
  std::sort(group.begin(), group.end(),
            [&](std::uint64_t x, std::uint64_t y) { return keys[x] < keys[y]; });
  const auto last = std::unique(group.begin(), group.end(), [&](std::uint64_t x, std::uint64_t y) {
    return keys[x] == keys[y];
  });
  group.erase(last, group.end());
}

}  // namespace

std::array<std::uint8_t, kHeaderBytes> header_bytes(std::uint64_t n, std::uint64_t mph_len,
                                                    std::uint32_t side_count,
                                                    std::uint64_t payload) {
  return Header{n, mph_len, side_count, payload}.write(kMagic);
}

PerfectHashIndex::PerfectHashIndex()
    : PerfectHashIndex(arena::StringArena(), std::nullopt, {}, 0) {}

PerfectHashIndex PerfectHashIndex::build_with(std::span<const std::string_view> keys,
                                              bool fingerprints) {
  return build_with_threads(keys, fingerprints, threads::available());
}

PerfectHashIndex PerfectHashIndex::build(std::span<const std::string_view> keys) {
  return build_with(keys, false);
}

// The ids do not depend on the order in which keys are examined: a representative's id is the
// slot of its `h1`, and the collisions take the tail in key order. So instead of sorting the keys
// by their bytes, the build sorts (h1, position) pairs (a parallel radix partition on the top bits
// of h1, then each bucket on its own), which brings equal keys and keys of equal `h1` together;
// only the members of a run of equal `h1` (almost always one key) and the few collisions are
// ever compared byte-wise. The result is the index a byte-wise sort of the keys would give.
// Every step after hashing works on whole buckets or on ranges of ids whose outputs land at
// offsets fixed by prefix sums, so no step depends on the number of workers.
PerfectHashIndex PerfectHashIndex::build_with_threads(std::span<const std::string_view> keys,
                                                      bool fingerprints, unsigned threads) {
  return build_keyed(keys, fingerprints, threads,
                     [](std::string_view k) { return hash::hash_pair(k); });
}

PerfectHashIndex detail::build_with_hash(std::span<const std::string_view> keys, bool fingerprints,
                                         unsigned threads, hash::Pair (*hash)(std::string_view)) {
  return PerfectHashIndex::build_keyed(keys, fingerprints, threads, hash);
}

template <class Hash>
PerfectHashIndex PerfectHashIndex::build_keyed(std::span<const std::string_view> keys,
                                               bool fingerprints, unsigned threads, Hash&& hash) {
  const unsigned workers = pair_sort::workers_for(keys.size(), threads);
  SortedKeys sorted = sort_keys(keys, fingerprints, workers, hash);

  // Split pass: each worker writes the distinct values and representatives of its buckets from
  // its own offset, and gathers its collisions apart.
  const std::uint64_t u = sorted.first_distinct[workers];
  Split split;
  split.distinct = pages::Pages<std::uint64_t>::allocate(u);
  split.reps = pages::Pages<Pair>::allocate(u);
  std::vector<std::vector<Pair>> collisions_in(workers);
  threads::run_workers(workers, [&](unsigned w) {
    const std::uint64_t hi = sorted.runs.hi(w);
    std::uint64_t o = sorted.first_distinct[w];
    std::vector<std::uint64_t> group;
    for (std::uint64_t a = sorted.runs.lo(w); a < hi; ++o) {
      const std::uint64_t h1 = sorted.pairs[a].h1;
      std::uint64_t b = a + 1;
      while (b < hi && sorted.pairs[b].h1 == h1) ++b;
      split.distinct[o] = h1;
      if (b - a == 1) {
        split.reps[o] = Pair{h1, position(sorted.pairs[a])};
      } else {
        // Equal keys, or distinct keys whose h1 collides: the byte-wise smallest represents them.
        group.clear();
        for (std::uint64_t j = a; j < b; ++j) group.push_back(position(sorted.pairs[j]));
        order_group(keys, group);
        split.reps[o] = Pair{h1, group[0]};
        for (std::size_t j = 1; j < group.size(); ++j)
          collisions_in[w].push_back(Pair{h1, group[j]});
      }
      a = b;
    }
  });
  sorted.pairs = {};
  for (const auto& c : collisions_in)
    split.collisions.insert(split.collisions.end(), c.begin(), c.end());
  const std::uint64_t n = u + split.collisions.size();
  if (n > kMaxKeys) throw IndexError::format(kTooMany);
  if (sorted.too_long) throw IndexError::format(kKeyTooLong);
  if (n == 0)
    return PerfectHashIndex(arena::StringArena::build_exact({}, fingerprints), std::nullopt, {}, 0);
  // The tail ids follow the byte-wise order of the colliding keys, whatever their h1.
  std::sort(split.collisions.begin(), split.collisions.end(),
            [&](const Pair& x, const Pair& y) { return keys[position(x)] < keys[position(y)]; });
  std::optional<std::span<const std::uint8_t>> fp_view;
  if (fingerprints) fp_view = std::span<const std::uint8_t>(sorted.fp);
  return finish(keys, std::move(split), fp_view, threads);
}

PerfectHashIndex PerfectHashIndex::build_with_collisions(
    std::span<const std::string_view> keys, std::span<const std::uint64_t> hashes,
    std::optional<std::span<const std::uint8_t>> fingerprints, std::uint64_t /*total*/,
    unsigned threads) {
  const std::uint64_t n = keys.size();
  check_invariant(hashes.size() == n && (!fingerprints || fingerprints->size() == n),
                  "one hash and one fingerprint per key");
  if (n > kMaxKeys) throw IndexError::format(kTooMany);
  if (n == 0) {
    return PerfectHashIndex(arena::StringArena::build_exact({}, fingerprints.has_value()),
                            std::nullopt, {}, 0);
  }
  hash::Collisions c = hash::split_collisions(hashes);
  Split split;
  split.distinct = pages::Pages<std::uint64_t>::allocate(c.distinct.size());
  std::copy(c.distinct.begin(), c.distinct.end(), split.distinct.begin());
  std::vector<std::uint8_t> is_collision(n, 0);
  for (const auto& [h, i] : c.repeated) {
    is_collision[i] = 1;
    split.collisions.push_back(Pair{h, i});
  }
  split.reps = pages::Pages<Pair>::allocate(n - c.repeated.size());
  for (std::uint64_t i = 0, o = 0; i < n; ++i)
    if (!is_collision[i]) split.reps[o++] = Pair{hashes[i], i};
  return finish(keys, std::move(split), fingerprints, threads);
}

PerfectHashIndex PerfectHashIndex::finish(std::span<const std::string_view> keys, Split split,
                                          std::optional<std::span<const std::uint8_t>> fingerprints,
                                          unsigned threads) {
  const std::uint64_t u = split.distinct.size();
  const std::uint64_t n = u + split.collisions.size();
  check_invariant(split.reps.size() == u, "one representative per distinct hash");
  mphf::Mphf mph = mphf::Mphf::build_with_threads(split.distinct.span(), threads);
  split.distinct = {};

  // order[s]: the position of the key whose id is slot s. Each worker asks the table for the
  // slots of a run of representatives and scatters their positions. With every slot below u,
  // no slot left unset after u stores means no two representatives share one.
  const unsigned workers = threads::workers_for(u, threads, pair_sort::kMinPairsPerWorker);
  pages::Pages<std::uint64_t> order = pages::Pages<std::uint64_t>::allocate(u);
  std::vector<std::uint8_t> broken(workers, 0);
  threads::run_workers(workers, [&](unsigned w) {
    const auto [lo, hi] = threads::part(u, workers, w);
    std::fill(order.data() + lo, order.data() + hi, kUnset);
  });
  threads::run_workers(workers, [&](unsigned w) {
    const auto [lo, hi] = threads::part(u, workers, w);
    constexpr std::uint64_t kChunk = 65536;
    std::vector<std::uint64_t> h1;
    for (std::uint64_t c = lo; c < hi; c += kChunk) {
      const std::uint64_t e = std::min(hi, c + kChunk);
      h1.clear();
      for (std::uint64_t i = c; i < e; ++i) h1.push_back(split.reps[i].h1);
      const std::vector<std::uint64_t> slots = mph.index_all(h1);
      for (std::uint64_t i = c; i < e; ++i) {
        const std::uint64_t s = slots[i - c];
        if (s >= u) {
          broken[w] = 1;
          continue;
        }
        // Atomic only so that a broken table's double stores are no data race.
        std::atomic_ref<std::uint64_t>(order[s]).store(position(split.reps[i]),
                                                       std::memory_order_relaxed);
      }
    }
  });
  threads::run_workers(workers, [&](unsigned w) {
    const auto [lo, hi] = threads::part(u, workers, w);
    if (std::find(order.data() + lo, order.data() + hi, kUnset) != order.data() + hi) broken[w] = 1;
  });
  if (std::ranges::any_of(broken, [](std::uint8_t b) { return b != 0; }))
    throw IndexError::format(kNotMinimal);
  split.reps = {};

  // Ids: the u slot keys, then the collisions in their given order, taking u, u + 1, ...
  pages::Pages<std::uint8_t> fp_by_id;
  std::optional<std::span<const std::uint8_t>> fp_view;
  if (fingerprints) {
    fp_by_id = pages::Pages<std::uint8_t>::allocate(n);
    threads::run_workers(workers, [&](unsigned w) {
      const auto [lo, hi] = threads::part(u, workers, w);
      for (std::uint64_t s = lo; s < hi; ++s) fp_by_id[s] = (*fingerprints)[order[s]];
    });
    for (std::uint64_t j = 0; j < split.collisions.size(); ++j)
      fp_by_id[u + j] = (*fingerprints)[position(split.collisions[j])];
    fp_view = fp_by_id.span();
  }
  // Id s names the key at order[s] for a slot, the collision's key past the slots: the arena
  // copies them in id order, a random walk over the caller's keys, on the build's threads.
  struct KeyById {
    std::span<const std::string_view> keys;
    std::span<const std::uint64_t> order;
    std::span<const Pair> collisions;
    std::string_view operator()(std::uint64_t s) const noexcept {
      return s < order.size() ? keys[order[s]] : keys[position(collisions[s - order.size()])];
    }
    void prefetch(std::uint64_t s) const noexcept {
      if (s < order.size()) __builtin_prefetch(&keys[order[s]]);
    }
  };
  const KeyById key_at{keys, order.span(), split.collisions};
  std::optional<arena::StringArena> built =
      arena::StringArena::assemble_indexed(n, key_at, fp_view, threads);
  if (!built) panic(kAssembleRefused);
  arena::StringArena a = std::move(*built);

  std::vector<KeyEntry> side;
  side.reserve(split.collisions.size());
  for (std::size_t j = 0; j < split.collisions.size(); ++j)
    side.push_back(KeyEntry{split.collisions[j].h1, static_cast<std::uint32_t>(u + j)});
  std::sort(side.begin(), side.end());
  return PerfectHashIndex(std::move(a), std::move(mph), std::move(side), n);
}

std::optional<std::uint32_t> PerfectHashIndex::id_hashed(std::string_view key,
                                                         Pair hp) const {
  if (!side_.empty()) return id_with_side_hashed(key, hp);
  if (!mph_) return std::nullopt;
  const std::uint64_t s = mph_->index(hp.h1);
  if (slot_matches(s, key, hp.h2)) return static_cast<std::uint32_t>(s);
  return std::nullopt;
}

std::optional<std::uint32_t> PerfectHashIndex::id_with_side_hashed(std::string_view key,
                                                                   Pair hp) const {
  if (!mph_) return side_lookup(hp.h1, key);
  const std::uint64_t s = mph_->index(hp.h1);
  if (slot_matches(s, key, hp.h2)) return static_cast<std::uint32_t>(s);
  return side_lookup(hp.h1, key);
}

std::optional<std::uint32_t> PerfectHashIndex::side_lookup(std::uint64_t h1,
                                                           std::string_view key) const noexcept {
  return side_table::find_key(side_, h1,
                              [&](std::uint32_t id) { return id < n_ && stored_equals(id, key); });
}

std::uint32_t PerfectHashIndex::id_unchecked_hashed(std::string_view key, Pair hp) const {
  if (!side_.empty())
    if (auto id = side_lookup(hp.h1, key)) return *id;
  if (!mph_) return 0;
  return static_cast<std::uint32_t>(mph_->index(hp.h1));
}

std::optional<std::string_view> PerfectHashIndex::key(std::uint32_t id) const noexcept {
  if (id >= n_) return std::nullopt;
  const auto e = arena_.entry(id);
  if (!e || !bytes::is_utf8(*e)) return std::nullopt;
  return bytes::as_chars(*e);
}

std::uint64_t PerfectHashIndex::serialized_len() const noexcept {
  return kHeaderBytes + (mph_ ? mph_->byte_len() : 0) + arena_.image().size() +
         side_table::kKeyEntryBytes * side_.size();
}

PerfectHashIndex::Parts PerfectHashIndex::serialised_parts() const {
  Parts parts;
  if (mph_) parts.mph = mph_->to_bytes();
  parts.middle = arena_.image();
  parts.side = side_table::key_entry_bytes(side_);
  const auto h = header_bytes(n_, parts.mph.size(), static_cast<std::uint32_t>(side_.size()),
                              parts.payload_hash());
  parts.header.assign(h.begin(), h.end());
  return parts;
}

std::vector<std::uint8_t> PerfectHashIndex::to_bytes() const { return serialised_parts().concat(); }

void PerfectHashIndex::save(const std::filesystem::path& path) const {
  serialised_parts().save(path);
}

// The checks, each only after the previous ones passed:
//   1. fewer than 4 bytes                                  bad magic or truncated header
//   2. magic "BMP2".."BMP7" (before the length test)       the older-version message
//   3. fewer than 36 bytes or another magic; 4. header check   framing messages
//   5. payload hash (verify only)
//   6. n > u32::MAX
//   7-8. side count not below n (unless both 0), or 12*s > L
//   9. 36 + mph length overflows or runs into the side entries
//   10-11. side entries parsed and sorted; ids not exactly the tail range
//   12. the arena between the two sections (its own "arena: " messages)
//   13. arena key count != n
//   14. n > 0: the minimal perfect hash (its own "mphf: " messages), key count != n - s
PerfectHashIndex PerfectHashIndex::from_shared(blob::SharedBytes view, bool verify) {
  const std::span<const std::uint8_t> b = view.bytes();
  if (b.size() < 4) throw IndexError::format(blob::kBadMagic);
  if (blob::has_magic_version(b, "BMP", '2', '7')) throw IndexError::format(kOldVersion);
  blob::check_frame(b, kMagic, kHeaderBytes);
  const Header h = Header::parse(b);
  if (verify) blob::check_payload(b.subspan(kHeaderBytes), h.payload);
  if (h.n > kMaxKeys) throw IndexError::format(kTooManyInHeader);
  const hash_blob::Sections at = hash_blob::check_sections(
      b.size(), kHeaderBytes, h.n, h.mph_len, h.side_count, side_table::kKeyEntryBytes);
  std::vector<KeyEntry> side = side_table::parse_key_entries(b.subspan(at.side_start));
  if (!side_table::ids_are_tail_range<KeyEntry>(side, h.n)) throw IndexError::format(kSideIds);
  arena::StringArena a =
      arena::StringArena::from_shared(*view.slice(at.middle_start, at.middle_len()));
  if (a.len() != h.n) throw IndexError::format(hash_blob::kMphArenaMismatch);
  std::optional<mphf::Mphf> mph;
  if (h.n > 0) {
    mph = mphf::Mphf::from_bytes(b.subspan(at.mph_start, at.mph_len()));
    if (mph->n() != h.n - h.side_count) throw IndexError::format(hash_blob::kMphHeaderMismatch);
  }
  return PerfectHashIndex(std::move(a), std::move(mph), std::move(side), h.n);
}

PerfectHashIndex PerfectHashIndex::from_bytes(std::span<const std::uint8_t> bytes) {
  return from_shared(blob::SharedBytes::from_owned(bytes), true);
}

PerfectHashIndex PerfectHashIndex::load(const std::filesystem::path& path) {
  return from_shared(blob::SharedBytes::from_owned(fileio::read_file(path)), true);
}

PerfectHashIndex PerfectHashIndex::load_mmap(const std::filesystem::path& path) {
  return from_shared(blob::SharedBytes::map_file(path), false);
}

PerfectHashIndex PerfectHashIndex::load_mmap_verified(const std::filesystem::path& path) {
  return from_shared(blob::SharedBytes::map_file(path), true);
}

}  // namespace quenlith::perfect_hash
