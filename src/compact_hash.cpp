#include "compact_hash.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

#include "bytes.hpp"
#include "fileio.hpp"
#include "fp_table.hpp"
#include "pages.hpp"
#include "pair_sort.hpp"
#include "threads.hpp"

namespace quenlith::compact_hash {

namespace {

constexpr char kMagic[4] = {'B', 'C', 'H', '8'};

constexpr const char* kOldVersion =
    "compact-hash: blob written by quenlith < 4.0, keyed on a hash this version no longer "
    "computes; "
    "the keys are not stored, so it cannot be converted - rebuild the index from its keys";
constexpr const char* kTooManyInHeader = "compact-hash: header claims more than u32::MAX keys";
constexpr const char* kBadWidth = "compact-hash: bad fingerprint width";
constexpr const char* kSideIds = "compact-hash: side-table ids are not the tail id range";
constexpr const char* kFpLength = "compact-hash: fingerprint length mismatch";

// Pairs below this many per thread are sorted on the calling thread.
constexpr std::uint64_t kMinPairsPerThread = 4096;
}  // namespace

void check_width(std::uint32_t bits) {
  if (bits - 1 >= 64) throw IndexError::format("compact-hash: fingerprint_bits must be in 1..=64");
}

// The pairs are distributed in place (the permutation cycles of an American flag sort) into
// t parts, contiguous ranges of h1 cut by the top 32 bits scaled to [0, t), and each part is
// sorted on its own thread. Nothing as large as the run is allocated: the streamed builds
// budget their run buffer alone.
void sort_run(std::span<Pair> pairs, unsigned threads) {
  const std::uint64_t t = threads == 0 ? 1 : std::min(threads, 256u);
  const std::uint64_t n = pairs.size();
  if (t < 2 || n < t * kMinPairsPerThread) {
    pair_sort::sort_serial(pairs);
    return;
  }
  auto part_of = [t](const Pair& p) { return static_cast<std::size_t>(((p.h1 >> 32) * t) >> 32); };
  std::vector<std::uint64_t> bounds(t + 1, 0);
  for (const Pair& p : pairs) ++bounds[part_of(p) + 1];
  for (std::uint64_t p = 1; p <= t; ++p) bounds[p] += bounds[p - 1];
  // next[p] is the first position of part p not yet holding a pair of part p.
  std::vector<std::uint64_t> next(bounds.begin(), bounds.end() - 1);
  for (std::uint64_t p = 0; p < t; ++p) {
    while (next[p] < bounds[p + 1]) {
      const std::size_t q = part_of(pairs[next[p]]);
      if (q == p)
        ++next[p];
      else
        std::swap(pairs[next[p]], pairs[next[q]++]);
    }
  }
  threads::run_workers(static_cast<unsigned>(t), [&](unsigned w) {
    pair_sort::sort_serial(pairs.subspan(bounds[w], bounds[w + 1] - bounds[w]));
  });
}

void slots_in_place(std::span<Pair> pairs, const mphf::Mphf& mph, unsigned threads) {
  const std::uint64_t n = pairs.size();
  std::uint64_t t = threads;
  if (t < 2 || n < t * kMinPairsPerThread) t = 1;
  const std::uint64_t chunk = std::max<std::uint64_t>((n + t - 1) / t, 1);
  const std::uint64_t chunks = n == 0 ? 0 : (n + chunk - 1) / chunk;
  // Whether a chunk's first pair continues the previous chunk's last group, noted before any
  // worker overwrites an h1.
  std::vector<std::uint8_t> continues(chunks, 0);
  for (std::uint64_t c = 1; c < chunks; ++c)
    continues[c] = pairs[c * chunk].h1 == pairs[c * chunk - 1].h1 ? 1 : 0;
  auto process = [&](std::uint64_t c) {
    const std::uint64_t lo = c * chunk;
    const std::uint64_t hi = std::min(n, lo + chunk);
    std::uint64_t prev = 0;
    for (std::uint64_t i = lo; i < hi; ++i) {
      const std::uint64_t h1 = pairs[i].h1;
      const bool repeated = i == lo ? continues[c] != 0 : h1 == prev;
      pairs[i].h1 = repeated ? kRepeated : mph.index(h1);
      prev = h1;
    }
  };
  if (t == 1) {
    for (std::uint64_t c = 0; c < chunks; ++c) process(c);
    return;
  }
  threads::run_workers(static_cast<unsigned>(chunks), [&](unsigned c) { process(c); });
}

std::array<std::uint8_t, kHeaderBytes> header_bytes(std::uint64_t n, std::uint32_t bits,
                                                    std::uint64_t mph_len, std::uint32_t side_count,
                                                    std::uint64_t payload) {
  return Header{n, bits, mph_len, side_count, payload}.write(kMagic);
}

namespace {

// One worker's run of the sorted pairs once its repeats are dropped: the kept pairs are
// [lo, lo + kept); `distinct` of them start a stretch of equal h1, `side` repeat an h1.
struct Run {
  std::uint64_t lo = 0, kept = 0, distinct = 0, side = 0;
};

// Sorts the pairs and drops the repeated ones, each worker over its own run of whole buckets
// while they are in cache: the kept pairs of a run move down to follow its earlier kept ones.
std::vector<Run> sort_and_count(std::vector<Pair>& pairs, unsigned workers) {
  std::vector<Run> runs(workers);
  auto drop_repeats = [&](unsigned w, std::uint64_t run_lo, std::uint64_t lo, std::uint64_t hi) {
    Run& r = runs[w];
    if (lo == run_lo) r = Run{run_lo, 0, 0, 0};
    std::uint64_t o = r.lo + r.kept;
    for (std::uint64_t i = lo; i < hi; ++i) {
      const Pair p = pairs[i];
      if (o > r.lo && pairs[o - 1] == p) continue;
      if (o > r.lo && pairs[o - 1].h1 == p.h1)
        ++r.side;
      else
        ++r.distinct;
      pairs[o++] = p;
    }
    r.kept = o - r.lo;
  };
  auto count = [&](unsigned, std::uint64_t lo, std::uint64_t hi, pair_sort::BucketCounter c) {
    for (std::uint64_t i = lo; i < hi; ++i) c(pairs[i].h1);
  };
  pair_sort::sort(pairs, workers, count, drop_repeats);
  return runs;
}

// Whether kept pair i of a run repeats the h1 of the pair before it.
bool repeats_h1(std::span<const Pair> pairs, const Run& r, std::uint64_t i) {
  return i > r.lo && pairs[i - 1].h1 == pairs[i].h1;
}

// A fingerprint table of `m` slots of `bits` bits (none for 0), zeroed where workers will OR
// into shared bytes; whole-byte widths are written byte by byte, every byte once.
pages::Pages<std::uint8_t> fingerprint_table(std::uint64_t m, std::uint32_t bits,
                                             unsigned threads) {
  if (bits == 0) return {};
  const std::uint64_t table_len = (m * bits + 7) / 8;
  auto table = pages::Pages<std::uint8_t>::allocate(table_len);
  if (bits % 8 != 0) {
    threads::for_ranges(table_len, threads, [&](std::uint64_t lo, std::uint64_t hi, unsigned) {
      std::memset(table.data() + lo, 0, hi - lo);
    });
  }
  return table;
}

}  // namespace

// The pairs are sorted in runs of whole buckets, one a worker; each worker drops the repeated
// pairs of its run in place and counts its distinct h1 values and collisions. Prefix sums of
// those counts give every run its first key of the minimal perfect hash and its first side entry,
// so the keys, the side table (ids in sorted pair order after the slots) and the fingerprints are
// written by the workers, each over its own run, at positions that do not depend on the number of
// workers.
PairBuild build_pairs(std::vector<Pair> pairs, unsigned threads, const PairBuildMessages& messages,
                      std::uint32_t fp_bits) {
  PairBuild out;
  const unsigned workers = pair_sort::workers_for(pairs.size(), threads);
  const std::vector<Run> runs = sort_and_count(pairs, workers);
  std::uint64_t m = 0, s = 0;
  std::vector<std::uint64_t> distinct_at(workers), side_at(workers);
  for (unsigned w = 0; w < workers; ++w) {
    distinct_at[w] = m;
    side_at[w] = s;
    m += runs[w].distinct;
    s += runs[w].side;
  }
  out.n = m + s;
  if (out.n > 0xFFFFFFFFull) throw IndexError::format(messages.too_many);
  if (out.n == 0) return out;
  out.m = m;

  // The first pair of every stretch of equal h1 (the smallest h2) represents it: its h1 is a key
  // of the minimal perfect hash. The others are collisions, whose ids follow the slots in sorted
  // pair order.
  auto distinct = pages::Pages<std::uint64_t>::allocate(m);
  out.side.resize(s);
  threads::run_workers(workers, [&](unsigned w) {
    const Run& r = runs[w];
    std::uint64_t d = distinct_at[w], o = side_at[w];
    for (std::uint64_t i = r.lo; i < r.lo + r.kept; ++i) {
      const Pair p = pairs[i];
      if (repeats_h1(pairs, r, i)) {
        out.side[o] = PairEntry{p.h1, p.h2, static_cast<std::uint32_t>(m + o)};
        ++o;
      } else {
        distinct[d++] = p.h1;
      }
    }
  });
  out.mph = mphf::Mphf(mphf::V2::build_from(m, mphf::HashInput::ordered(distinct.span()), threads));
  distinct = {};

  // A representative claims its slot in `seen` before writing its fingerprint, so no two workers
  // ever write the same bytes, even for a table that is not minimal and perfect (refused below).
  const std::uint32_t bits = fp_bits;
  out.fingerprints = fingerprint_table(m, bits, threads);
  const std::span<std::uint8_t> table = out.fingerprints.span();
  const std::uint64_t mask = bits != 0 ? fp_table::mask(bits) : 0;
  std::vector<std::uint64_t> seen((m + 63) / 64, 0);
  std::vector<std::uint8_t> broken(workers, 0);
  const mphf::Mphf& mph = *out.mph;
  threads::run_workers(workers, [&](unsigned w) {
    const Run& r = runs[w];
    for (std::uint64_t i = r.lo; i < r.lo + r.kept; ++i) {
      if (repeats_h1(pairs, r, i)) continue;
      const Pair p = pairs[i];
      const std::uint64_t slot = mph.index(p.h1);
      const std::uint64_t bit = std::uint64_t{1} << (slot % 64);
      if (slot >= m ||
          std::atomic_ref<std::uint64_t>(seen[slot / 64]).fetch_or(bit, std::memory_order_relaxed) &
              bit) {
        broken[w] = 1;
        continue;
      }
      if (bits == 0) continue;
      if (bits % 8 == 0)
        fp_table::write(table, slot, bits, p.h2 & mask);
      else
        fp_table::or_shared(table, slot, bits, p.h2 & mask);
    }
  });
  if (std::ranges::any_of(broken, [](std::uint8_t b) { return b != 0; }))
    throw IndexError::format(messages.not_minimal);
  return out;
}

CompactHashIndex::CompactHashIndex()
    : CompactHashIndex(std::nullopt, blob::SharedBytes(), 8, {}, 0) {}

CompactHashIndex::CompactHashIndex(std::optional<mphf::Mphf> mph, blob::SharedBytes fingerprints,
                                   std::uint32_t bits, std::vector<PairEntry> side, std::uint64_t n)
    : mph_(std::move(mph)),
      fingerprints_(std::move(fingerprints)),
      bits_(bits),
      side_(std::move(side)),
      n_(n) {}

CompactHashIndex CompactHashIndex::build_from_pairs(std::vector<Pair> pairs, std::uint32_t bits) {
  return build_from_pairs_with_threads(std::move(pairs), bits, threads::available());
}

CompactHashIndex CompactHashIndex::build_from_pairs_with_threads(std::vector<Pair> pairs,
                                                                 std::uint32_t bits,
                                                                 unsigned threads) {
  check_width(bits);
  PairBuild b = build_pairs(std::move(pairs), threads, {kTooMany, kNotMinimal}, bits);
  if (b.n == 0) return CompactHashIndex(std::nullopt, blob::SharedBytes(), bits, {}, 0);
  return CompactHashIndex(std::move(b.mph),
                          blob::SharedBytes::from_pages(std::move(b.fingerprints)), bits,
                          std::move(b.side), b.n);
}

CompactHashIndex CompactHashIndex::build(std::span<const std::string_view> keys) {
  return build_from_pairs(pair_sort::hash_keys(keys, threads::available()), 8);
}

bool CompactHashIndex::fp_matches(std::uint64_t slot, std::uint64_t h2) const noexcept {
  if (bits_ == 8) {
    // The width of one byte a slot: a single compare. The bound holds for every built or loaded
    // index (slots are below m, the table is m bytes); it is kept as a cheap guard.
    return slot < fingerprints_.size() &&
           fingerprints_.data()[slot] == static_cast<std::uint8_t>(h2);
  }
  return fp_table::matches(fingerprints_.bytes(), bits_, slot, h2);
}

Match CompactHashIndex::id_with_side_hashed(Pair hp) const {
  if (!side_.empty())
    if (auto id = side_table::find_pair(side_, hp.h1, hp.h2)) return Match{*id, true};
  if (!mph_) return Match{0, false};
  const std::uint64_t slot = mph_->index(hp.h1);
  return Match{slot, fp_matches(slot, hp.h2)};
}

bool CompactHashIndex::contains_hashed(Pair hp) const {
  if (!side_.empty()) return id_with_side_hashed(hp).matched;
  if (!mph_) return false;
  return fp_matches(mph_->index(hp.h1), hp.h2);
}

std::uint32_t CompactHashIndex::id_unchecked_hashed(Pair hp) const {
  if (auto id = side_table::find_pair(side_, hp.h1, hp.h2)) return *id;
  if (!mph_) return 0;
  return static_cast<std::uint32_t>(mph_->index(hp.h1));
}

std::vector<std::optional<std::uint32_t>> CompactHashIndex::ids_of_hashed(
    std::span<const Pair> pairs) const {
  std::vector<std::optional<std::uint32_t>> out(pairs.size());
  if (!mph_) return out;
  if (!side_.empty()) {
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      const Match m = id_with_side_hashed(pairs[i]);
      if (m.matched) out[i] = static_cast<std::uint32_t>(m.id);
    }
    return out;
  }
  std::vector<std::uint64_t> h1(pairs.size());
  for (std::size_t i = 0; i < pairs.size(); ++i) h1[i] = pairs[i].h1;
  const std::vector<std::uint64_t> slots = mph_->index_all(h1);
  for (std::size_t i = 0; i < pairs.size(); ++i)
    if (fp_matches(slots[i], pairs[i].h2)) out[i] = static_cast<std::uint32_t>(slots[i]);
  return out;
}

std::uint64_t CompactHashIndex::serialized_len() const noexcept {
  const std::uint64_t mph_len = mph_ ? mph_->byte_len() : 0;
  return kHeaderBytes + mph_len + fingerprints_.size() + side_table::kPairEntryBytes * side_.size();
}

CompactHashIndex::Parts CompactHashIndex::serialised_parts() const {
  Parts parts;
  if (mph_) parts.mph = mph_->to_bytes();
  parts.middle = fingerprints_.bytes();
  parts.side = side_table::pair_entry_bytes(side_);
  const auto h = header_bytes(n_, bits_, parts.mph.size(), static_cast<std::uint32_t>(side_.size()),
                              parts.payload_hash());
  parts.header.assign(h.begin(), h.end());
  return parts;
}

std::vector<std::uint8_t> CompactHashIndex::to_bytes() const { return serialised_parts().concat(); }

void CompactHashIndex::save(const std::filesystem::path& path) const {
  serialised_parts().save(path);
}

// The frame parse, each check only after the previous ones passed:
//   1. fewer than 4 bytes                                  bad magic or truncated header
//   2. magic "BCH1".."BCH7"                                the older-version message
//   3. fewer than 40 bytes or another magic; 4. header check   framing messages
//   5. payload hash (verify only)
//   6. n > u32::MAX; 7. width outside 1..=64
//   8-9. side count not below n (unless both 0), or 20*s > L
//   10. 40 + mph_len overflows or runs into the side entries
//   11. side ids not exactly the tail range
//   12. fingerprint section not ceil((n - s) * b / 8) bytes
CompactHashIndex::Frame CompactHashIndex::parse_frame(const blob::SharedBytes& view, bool verify) {
  const std::span<const std::uint8_t> b = view.bytes();
  if (b.size() < 4) throw IndexError::format(blob::kBadMagic);
  if (blob::has_magic_version(b, "BCH", '1', '7')) throw IndexError::format(kOldVersion);
  blob::check_frame(b, kMagic, kHeaderBytes);
  const Header h = Header::parse(b);
  if (verify) blob::check_payload(b.subspan(kHeaderBytes), h.payload);
  if (h.n > 0xFFFFFFFFull) throw IndexError::format(kTooManyInHeader);
  if (h.bits == 0 || h.bits > 64) throw IndexError::format(kBadWidth);
  const hash_blob::Sections at = hash_blob::check_sections(
      b.size(), kHeaderBytes, h.n, h.mph_len, h.side_count, side_table::kPairEntryBytes);
  Frame f{h.n, h.bits, b.subspan(at.mph_start, at.mph_len()), blob::SharedBytes(),
          side_table::parse_pair_entries(b.subspan(at.side_start))};
  if (!side_table::ids_are_tail_range<PairEntry>(f.side, h.n)) throw IndexError::format(kSideIds);
  const auto fp_bits = bytes::checked_mul(h.n - h.side_count, h.bits);
  if (!fp_bits || (*fp_bits + 7) / 8 != at.middle_len()) throw IndexError::format(kFpLength);
  f.fingerprints = *view.slice(at.middle_start, at.middle_len());
  return f;
}

CompactHashIndex CompactHashIndex::from_shared(blob::SharedBytes view, bool verify) {
  Frame f = parse_frame(view, verify);
  std::optional<mphf::Mphf> mph;
  if (f.n > 0) {
    mph = mphf::Mphf::from_bytes(f.mph);
    if (mph->n() != f.n - f.side.size()) throw IndexError::format(hash_blob::kMphHeaderMismatch);
  }
  return CompactHashIndex(std::move(mph), std::move(f.fingerprints), f.bits, std::move(f.side),
                          f.n);
}

CompactHashIndex CompactHashIndex::from_bytes(std::span<const std::uint8_t> bytes) {
  return from_shared(blob::SharedBytes::from_owned(bytes), true);
}

CompactHashIndex CompactHashIndex::load(const std::filesystem::path& path) {
  return from_shared(blob::SharedBytes::from_owned(fileio::read_file(path)), true);
}

CompactHashIndex CompactHashIndex::load_mmap(const std::filesystem::path& path) {
  return from_shared(blob::SharedBytes::map_file(path), false);
}

CompactHashIndex CompactHashIndex::load_mmap_verified(const std::filesystem::path& path) {
  return from_shared(blob::SharedBytes::map_file(path), true);
}

}  // namespace quenlith::compact_hash
