// The external build of a compact-hash index: the "BCH8" blob of a corpus larger than memory,
// in one pass over the keys, byte for byte the blob of the in-memory build.
//
// The keys' pairs are sorted externally (compact_hash_runs.hpp); the minimal perfect hash is
// built from the distinct h1 values streamed from the sorted pairs; then the representatives'
// fingerprints are placed, 1,024 slots asked of the table at a time, either into a table held in
// memory or, when the table is larger than `table_bytes`, into one scratch file per range of
// `range_slots` slots, which the writer turns into the table one range at a time.
//
// Fingerprint range file "r<index>" in the scratch directory: records of 4 + k bytes, k =
// ceil(bits / 8), in no particular order: the absolute slot (u32 LE), then the fingerprint's k low
// bytes (LE). Placing threads stage 64 KiB per range and append whole blocks under the range's
// lock, so records from different threads interleave only at block boundaries.
#include <algorithm>
#include <mutex>

#include "bytes.hpp"
#include "compact_hash.hpp"
#include "compact_hash_runs.hpp"
#include "fp_table.hpp"
#include "threads.hpp"

namespace quenlith::compact_hash {

namespace {

constexpr const char* kRaised = "compact-hash: the input iterable raised before it ended";

// Representatives whose slots are asked of the minimal perfect hash at once.
constexpr std::size_t kPlaceBatch = 1024;
// A placing thread's staging block per range.
constexpr std::size_t kStageBytes = 65536;

// The fingerprint range files, shared by the placing threads, each behind its own lock.
struct RangeFiles {
  std::vector<fileio::File> files;
  std::vector<std::mutex> locks;
  std::uint64_t range_slots = 0;
  unsigned k = 0;  // bytes of a stored fingerprint
  explicit RangeFiles(std::size_t count) : locks(count) {}
};

// One placing thread's output: the table, or its own staging blocks over the shared range files.
class Out {
 public:
  explicit Out(std::span<std::uint8_t> table) : table_(table) {}
  explicit Out(RangeFiles& ranges)
      : ranges_(&ranges), stage_(ranges.files.size() * kStageBytes), fill_(ranges.files.size()) {}

  void place(std::uint64_t slot, std::uint32_t bits, std::uint64_t fp) {
    if (!ranges_) {
      fp_table::write(table_, slot, bits, fp);
      return;
    }
    const std::size_t r = static_cast<std::size_t>(slot / ranges_->range_slots);
    check_invariant(r < fill_.size(), "a slot lies in a fingerprint range");
    const std::size_t record = 4 + ranges_->k;
    if (fill_[r] + record > kStageBytes) flush_range(r);
    std::uint8_t* at = stage_.data() + r * kStageBytes + fill_[r];
    bytes::store_u32(at, static_cast<std::uint32_t>(slot));
    bytes::store_uint(at + 4, fp, ranges_->k);
    fill_[r] += record;
  }

  // Appends range r's staged records to its file under the file's lock.
  void flush_range(std::size_t r) {
    if (fill_[r] == 0) return;
    std::lock_guard<std::mutex> lock(ranges_->locks[r]);
    ranges_->files[r].write_all(
        std::span<const std::uint8_t>(stage_.data() + r * kStageBytes, fill_[r]));
    fill_[r] = 0;
  }
  void flush_all() {
    if (ranges_)
      for (std::size_t r = 0; r < fill_.size(); ++r) flush_range(r);
  }

 private:
  std::span<std::uint8_t> table_;
  RangeFiles* ranges_ = nullptr;
  std::vector<std::uint8_t> stage_;
  std::vector<std::size_t> fill_;
};

// Places the fingerprint of every pair of `source` whose h1 is new and returns the others (the
// side pairs) in order. The last h1 carries over the source's blocks, so a group of equal h1
// split between two blocks is still one group.
std::vector<Pair> place_fingerprints(Source& source, const mphf::Mphf* mph, std::uint32_t bits,
                                     Out& out) {
  const std::uint64_t mask = fp_table::mask(bits);
  std::vector<Pair> side;
  std::vector<Pair> batch;
  std::vector<std::uint64_t> h1s;
  batch.reserve(kPlaceBatch);
  h1s.reserve(kPlaceBatch);
  std::optional<std::uint64_t> last;
  auto place_batch = [&] {
    check_invariant(mph != nullptr, "a representative exists only when m > 0");
    h1s.clear();
    for (const Pair& p : batch) h1s.push_back(p.h1);
    const std::vector<std::uint64_t> slots = mph->index_all(h1s);
    for (std::size_t i = 0; i < batch.size(); ++i) out.place(slots[i], bits, batch[i].h2 & mask);
    batch.clear();
  };
  for (std::span<const Pair> block = source.next(); !block.empty(); block = source.next()) {
    for (const Pair& p : block) {
      if (last && *last == p.h1) {
        side.push_back(p);
        continue;
      }
      last = p.h1;
      batch.push_back(p);
      if (batch.size() == kPlaceBatch) place_batch();
    }
  }
  if (!batch.empty()) place_batch();
  out.flush_all();
  return side;
}

// Where the fingerprints go: the table in memory, or one scratch file per range of slots.
struct Placement {
  bool ranged = false;
  std::uint64_t ranges = 0;
  pages::Pages<std::uint8_t> table;
  std::optional<RangeFiles> files;
  std::vector<std::filesystem::path> paths;

  // The table of `m` slots of `bits` bits in memory, unless it is larger than the limit.
  Placement(std::uint64_t m, std::uint32_t bits, const BuildLimits& limits, Scratch& scratch) {
    const std::uint64_t table_len = (m * bits + 7) / 8;
    ranged = table_len > limits.table_bytes;
    if (!ranged) {
      table = pages::Pages<std::uint8_t>::allocate(table_len);
      std::fill(table.begin(), table.end(), std::uint8_t{0});
      return;
    }
    ranges = (m + limits.range_slots - 1) / limits.range_slots;
    files.emplace(static_cast<std::size_t>(ranges));
    files->range_slots = limits.range_slots;
    files->k = (bits + 7) / 8;
    for (std::uint64_t r = 0; r < ranges; ++r) {
      paths.push_back(scratch.dir() / numbered('r', r));
      files->files.push_back(fileio::File::create_new(paths.back(), 0666));
    }
  }
};

// Places the fingerprints of the `m` representatives, on one thread over all pairs or, into range
// files, on one thread per spilled run; closes the range files. Returns the side table's
// entries: the other pairs in order, numbered from m.
std::vector<PairEntry> place_all(Pairs& pairs, const mphf::Mphf* mph, std::uint32_t bits,
                                 std::uint64_t m, Placement& placement) {
  const auto* files = std::get_if<std::vector<std::filesystem::path>>(&pairs);
  const std::size_t placers = placement.ranged && files ? files->size() : 1;
  std::vector<std::vector<Pair>> side_of(placers);
  threads::run_workers(static_cast<unsigned>(placers), [&](unsigned t) {
    std::optional<Source> source;
    if (placers > 1)
      source.emplace(std::span<const std::filesystem::path>(&(*files)[t], 1));
    else
      source.emplace(pairs);
    Out out = placement.ranged ? Out(*placement.files) : Out(placement.table.span());
    side_of[t] = place_fingerprints(*source, mph, bits, out);
  });
  placement.files.reset();  // closes the range files
  std::vector<PairEntry> side;
  for (const auto& part : side_of)
    for (const Pair& p : part)
      side.push_back(PairEntry{p.h1, p.h2, static_cast<std::uint32_t>(m + side.size())});
  return side;
}

// The table's bytes of the `slots` slots from `first`, from the records of range file `path`.
std::vector<std::uint8_t> range_table(const std::filesystem::path& path, std::uint64_t first,
                                      std::uint64_t slots, std::uint32_t bits,
                                      std::vector<std::uint8_t>& buf) {
  const unsigned k = (bits + 7) / 8;
  const std::size_t record = 4 + k;
  std::vector<std::uint8_t> piece((slots * bits + 7) / 8, 0);
  fileio::File in = fileio::File::open_read(path);
  std::size_t held = 0;
  for (;;) {
    const std::size_t got = in.read_some(std::span<std::uint8_t>(buf).subspan(held));
    if (got == 0) break;
    held += got;
    const std::size_t whole = held / record * record;
    for (std::size_t at = 0; at < whole; at += record) {
      const std::uint64_t slot = bytes::load_u32(buf.data() + at);
      check_invariant(slot >= first && slot - first < slots, "a range file holds its own slots");
      fp_table::write(piece, slot - first, bits, bytes::load_uint(buf.data() + at + 4, k));
    }
    std::memmove(buf.data(), buf.data() + whole, held - whole);
    held -= whole;
  }
  if (held != 0) throw torn_scratch();
  return piece;
}

}  // namespace

std::uint64_t detail::build_to_file_threads(key_source::KeySource& keys,
                                            const std::filesystem::path& path,
                                            const BuildLimits& limits, unsigned threads,
                                            hash::Pair (*hash)(std::string_view)) {
  const std::uint32_t bits = limits.bits;
  check_width(bits);
  check_invariant(limits.range_slots > 0 && limits.range_slots % 8 == 0,
                  "fingerprint ranges hold a multiple of 8 slots");
  threads = std::max(threads, 1u);
  Scratch scratch(path, threads);
  const std::uint64_t run_pairs = std::max<std::uint64_t>(limits.run_bytes / 16, 1);

  // One pass over the keys: pairs into the run buffer, spilled whenever it is full.
  Collected collected = collect_pairs(keys, scratch, run_pairs, threads, hash, kRaised);
  Pairs& pairs = collected.pairs;
  const std::uint64_t total = collected.total;
  if (total > 0xFFFFFFFFull) throw IndexError::format(kTooMany);
  const std::uint64_t m = total - collected.repeats;
  const std::optional<mphf::Mphf> mph = build_rep_mphf(pairs, m, threads);

  Placement placement(m, bits, limits, scratch);
  const std::vector<PairEntry> side = place_all(pairs, mph ? &*mph : nullptr, bits, m, placement);
  pairs.emplace<0>();
  const std::uint64_t n = m + side.size();
  const std::vector<std::uint8_t> side_bytes = side_table::pair_entry_bytes(side);

  blob::write_atomically_with(path, [&](fileio::File& file) {
    fileio::BufWriter w(file, 65536);
    const std::uint8_t zeros[kHeaderBytes] = {};
    w.write_all(zeros);
    blob::Hashed<fileio::BufWriter> h(w);
    if (mph) mph->write_into(h);
    if (!placement.ranged) {
      h.write_all(placement.table.span());
    } else {
      const std::size_t record = 4 + (bits + 7) / 8;
      std::vector<std::uint8_t> buf((1048576 / record) * record);
      for (std::uint64_t r = 0; r < placement.ranges; ++r) {
        const std::uint64_t first = r * limits.range_slots;
        const std::uint64_t slots = std::min(limits.range_slots, m - first);
        h.write_all(range_table(placement.paths[r], first, slots, bits, buf));
      }
    }
    h.write_all(side_bytes);
    if (keys.failed()) throw IndexError::format(kRaised);
    const auto header = header_bytes(n, bits, mph ? mph->byte_len() : 0,
                                     static_cast<std::uint32_t>(side.size()), h.finish());
    w.seek(0);
    w.write_all(header);
    w.flush();
  });
  return n;
}

std::uint64_t CompactHashIndex::build_to_file_with(key_source::KeySource& keys,
                                                   const std::filesystem::path& path,
                                                   const BuildLimits& limits) {
  return detail::build_to_file_threads(keys, path, limits, threads::available());
}

std::uint64_t CompactHashIndex::build_bits_to_file(key_source::KeySource& keys,
                                                   const std::filesystem::path& path) {
  return build_to_file_with(keys, path, BuildLimits{});
}

}  // namespace quenlith::compact_hash
