// The streamed build of a closed-hash index: the "BCL2" blob of a corpus larger than memory,
// holding only the keys' hash pairs in sorted runs (compact_hash_runs.hpp), never the index.
//
// The sorted distinct pairs are read twice: once through `Reps` for the minimal perfect hash,
// once to collect the side entries and to check that every representative has a slot of its
// own. The blob is written with a zeroed header first and the real header, which holds the
// payload hash, last.
#include <algorithm>

#include "closed_hash.hpp"
#include "compact_hash_runs.hpp"
#include "threads.hpp"

namespace quenlith::closed_hash {

namespace {

constexpr const char* kFailed = "closed-hash: the key source failed before it ended";

constexpr std::uint64_t kRunPairs = 16777216;  // 256 MiB of pairs
// Representatives whose slots are asked of the minimal perfect hash at once.
constexpr std::size_t kSlotBatch = 1024;

}  // namespace

std::uint64_t detail::build_to_file_limits(key_source::KeySource& keys,
                                           const std::filesystem::path& path,
                                           std::uint64_t run_pairs, unsigned threads,
                                           hash::Pair (*hash)(std::string_view)) {
  using compact_hash::Pairs;
  threads = std::max(threads, 1u);
  run_pairs = std::max<std::uint64_t>(run_pairs, 1);
  compact_hash::Scratch scratch(path, threads);

  compact_hash::Collected collected =
      compact_hash::collect_pairs(keys, scratch, run_pairs, threads, hash, kFailed);
  Pairs& pairs = collected.pairs;
  const std::uint64_t n = collected.total;
  if (n > 0xFFFFFFFFull) throw IndexError::format(kTooMany);
  const std::uint64_t m = n - collected.repeats;
  const std::optional<mphf::Mphf> mph = compact_hash::build_rep_mphf(pairs, m, threads);

  // Second pass: side entries for the pairs that repeat an h1, and one new slot below m for
  // every representative.
  std::vector<PairEntry> side;
  if (m > 0) {
    std::vector<std::uint64_t> seen((m + 63) / 64, 0);
    std::vector<std::uint64_t> reps;
    reps.reserve(kSlotBatch);
    auto check_slots = [&] {
      const std::vector<std::uint64_t> slots = mph->index_all(reps);
      for (const std::uint64_t slot : slots) {
        const std::uint64_t bit = std::uint64_t{1} << (slot % 64);
        if (slot >= m || (seen[slot / 64] & bit) != 0) throw IndexError::format(kNotMinimal);
        seen[slot / 64] |= bit;
      }
      reps.clear();
    };
    compact_hash::Source source(pairs);
    std::optional<std::uint64_t> last;
    for (std::span<const Pair> block = source.next(); !block.empty(); block = source.next()) {
      for (const Pair& p : block) {
        if (last && *last == p.h1) {
          side.push_back(PairEntry{p.h1, p.h2, static_cast<std::uint32_t>(m + side.size())});
          continue;
        }
        last = p.h1;
        reps.push_back(p.h1);
        if (reps.size() == kSlotBatch) check_slots();
      }
    }
    if (!reps.empty()) check_slots();
  }
  pairs.emplace<0>();
  const std::vector<std::uint8_t> side_bytes = side_table::pair_entry_bytes(side);

  blob::write_atomically_with(path, [&](fileio::File& file) {
    fileio::BufWriter w(file);
    const std::uint8_t zeros[kHeaderBytes] = {};
    w.write_all(zeros);
    blob::Hashed<fileio::BufWriter> h(w);
    if (mph) mph->write_into(h);
    h.write_all(side_bytes);
    const auto header = header_bytes(n, mph ? mph->byte_len() : 0,
                                     static_cast<std::uint32_t>(side.size()), h.finish());
    w.seek(0);
    w.write_all(header);
    w.flush();
  });
  return n;
}

std::uint64_t ClosedHashIndex::build_to_file(key_source::KeySource& keys,
                                             const std::filesystem::path& path) {
  return detail::build_to_file_limits(keys, path, kRunPairs, threads::available());
}

}  // namespace quenlith::closed_hash
