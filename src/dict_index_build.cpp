// The in-memory build: sorting, training pieces, symbol tables per shard, range encoding on
// worker threads and the assembly of the index.
#include <algorithm>

#include "bytes.hpp"
#include "dict_index_internal.hpp"
#include "offsets.hpp"
#include "threads.hpp"

namespace quenlith::dict_index {

namespace {

// Blocks a worker takes at least: fewer are not worth a thread.
constexpr std::uint64_t kBlocksPerWorker = 64;

// Keys a sorting worker takes at least.
constexpr std::size_t kSortPerWorker = 65536;

// Sorts key views by bytes: contiguous chunks on workers, then pairwise merges, a round of them
// on workers at a time. Equal keys are indistinguishable, so the result does not depend on the
// thread count.
void sort_keys(std::vector<std::string_view>& keys, unsigned threads) {
  const std::size_t n = keys.size();
  const std::size_t parts = std::clamp<std::size_t>(n / kSortPerWorker, 1, threads);
  if (parts <= 1) {
    std::sort(keys.begin(), keys.end());
    return;
  }
  std::vector<std::size_t> bounds(parts + 1);
  for (std::size_t p = 0; p <= parts; ++p) bounds[p] = n * p / parts;
  threads::run_workers(static_cast<unsigned>(parts), [&](unsigned p) {
    std::sort(keys.begin() + static_cast<std::ptrdiff_t>(bounds[p]),
              keys.begin() + static_cast<std::ptrdiff_t>(bounds[p + 1]));
  });
  std::vector<std::string_view> other(n);
  while (bounds.size() > 2) {
    const std::size_t runs = bounds.size() - 1;
    std::vector<std::size_t> next;
    for (std::size_t r = 0; r < runs; r += 2) next.push_back(bounds[r]);
    next.push_back(n);
    threads::run_workers(static_cast<unsigned>((runs + 1) / 2), [&](unsigned m) {
      const std::size_t r = 2 * m;
      const auto at = [&](std::size_t i) { return keys.begin() + static_cast<std::ptrdiff_t>(i); };
      const auto out = other.begin() + static_cast<std::ptrdiff_t>(bounds[r]);
      if (r + 1 < runs)
        std::merge(at(bounds[r]), at(bounds[r + 1]), at(bounds[r + 1]), at(bounds[r + 2]), out);
      else
        std::copy(at(bounds[r]), at(bounds[r + 1]), out);
    });
    keys.swap(other);
    bounds = std::move(next);
  }
}

}  // namespace

template <class Key>
PieceSampler<Key>::PieceSampler(std::uint64_t n, std::uint64_t block, std::uint64_t micro,
                                bool all)
    : n_(n),
      block_(block),
      micro_(micro),
      shard_keys_(blocks_per_shard_for(block) * block),
      shards_(std::max<std::uint64_t>(
          ((n + block - 1) / block + blocks_per_shard_for(block) - 1) / blocks_per_shard_for(block),
          1)),
      all_(all) {}

template <class Key>
std::optional<std::pair<std::uint64_t, std::string_view>> PieceSampler<Key>::next(
    std::string_view key) {
  const std::uint64_t i = i_++;
  const std::uint64_t r = i % block_;
  if (r == 0) {
    // A head: no piece. A shard's first head sets the shard's stride.
    if (i % shard_keys_ == 0)
      stride_ = all_ ? 1 : std::max<std::uint64_t>(std::min(shard_keys_, n_ - i) / 10000, 1);
    prev_ = key;
    restart_ = key;
    return std::nullopt;
  }
  std::optional<std::pair<std::uint64_t, std::string_view>> piece;
  if (((i % shard_keys_) / 256) % stride_ == 0) {
    const std::string_view base = r % micro_ == 0 ? restart_ : prev_;
    piece.emplace(i / shard_keys_, key.substr(bytes::common_prefix(key, base)));
  }
  if (r % micro_ == 0) restart_ = key;
  prev_ = key;
  return piece;
}

template class PieceSampler<std::string_view>;
template class PieceSampler<std::string>;

std::vector<std::vector<std::string_view>> build_pieces(std::span<const std::string_view> keys,
                                                        std::uint64_t block, std::uint64_t micro,
                                                        bool all) {
  PieceSampler<std::string_view> sampler(keys.size(), block, micro, all);
  std::vector<std::vector<std::string_view>> lists(sampler.shards());
  for (std::string_view key : keys)
    if (const auto piece = sampler.next(key)) lists[piece->first].push_back(piece->second);
  return lists;
}

std::vector<fsst::Table> train_shards(std::span<const std::vector<std::string_view>> pieces,
                                      unsigned threads) {
  std::vector<fsst::Table> tables(pieces.size());
  if (pieces.size() <= 1 || threads <= 1) {
    for (std::size_t s = 0; s < pieces.size(); ++s)
      tables[s] = fsst::Table::train_to(pieces[s], 255);
    return tables;
  }
  const std::size_t chunk = (pieces.size() + threads - 1) / threads;
  const auto workers = static_cast<unsigned>((pieces.size() + chunk - 1) / chunk);
  threads::run_workers_or_panic(workers, "training a symbol table cannot panic", [&](unsigned w) {
    const std::size_t end = std::min(pieces.size(), (w + 1) * chunk);
    for (std::size_t s = w * chunk; s < end; ++s) tables[s] = fsst::Table::train_to(pieces[s], 255);
  });
  return tables;
}

Phrases mine_phrases(std::span<const std::vector<std::string_view>> pieces,
                     std::span<const fsst::Table> tables, std::uint64_t n, unsigned threads) {
  if (n < 16384 || phrase::packed_only(pieces, tables)) return Phrases::none();
  const std::uint64_t budget = std::clamp<std::uint64_t>(n >> 3, 4096, 524288);
  const std::vector<std::string> list = phrase::mine(pieces, tables, n, budget, threads);
  return {phrase::Dict::of(list), phrase::Trie::of(list)};
}

namespace {

// Encodes the keys in ranges of whole shards, one range a worker.
std::vector<Part> encode_ranges(std::span<const std::string_view> keys, std::uint64_t block,
                                std::uint64_t micro, unsigned threads,
                                std::span<const fsst::Table> tables, const Phrases& phrases) {
  const std::uint64_t n = keys.size();
  const std::uint64_t nblocks = (n + block - 1) / block;
  const std::uint64_t spb = blocks_per_shard_for(block);
  const std::uint64_t per_thread = (nblocks + threads - 1) / threads;
  std::uint64_t range_keys = spb * block * ((per_thread + spb - 1) / spb);
  if (range_keys == 0) range_keys = 1;
  const std::uint64_t ranges = (n + range_keys - 1) / range_keys;
  std::vector<Part> parts(ranges);
  auto encode = [&](unsigned r) {
    const std::uint64_t lo = r * range_keys, hi = std::min(n, lo + range_keys);
    parts[r] =
        encode_range(keys.subspan(lo, hi - lo), block, micro, tables, phrases, spb, lo / block);
  };
  if (threads == 1) {
    for (std::uint64_t r = 0; r < ranges; ++r) encode(static_cast<unsigned>(r));
  } else {
    threads::run_workers_or_panic(static_cast<unsigned>(ranges),
                                  "encoding a range of blocks cannot panic", encode);
  }
  return parts;
}

// The bytes the blob of `parts` can take at most: its offsets at the width of the block data's
// length, which bounds every offset and spread.
std::uint64_t blob_bound(const Lead& lead, std::span<const Part> parts, const Phrases& phrases) {
  std::uint64_t data = 0, blocks = 0, runs = 0, small = 64 + phrases.dict.serialized_len();
  for (const Part& p : parts) {
    data += p.block_data.size();
    blocks += p.written.block_offsets.size();
    runs += p.written.micro_offsets.size();
    for (const Codec& c : p.written.codecs) small += 4 + c.record_len();
    for (const auto& [entry, restart] : p.written.header_codes)
      small += entry.serialized_len() + restart.serialized_len();
  }
  const unsigned w = paircode::bitlen(data);
  return kHeaderBytes + lead.heads.size() + 2 * lead.head_ends.packed.samples.size() +
         lead.head_ends.packed.deltas.size() + data + small + offsets::packed_len(blocks, w) +
         offsets::packed_len(runs, w);
}

}  // namespace

DictIndex DictIndex::from_vocabulary(std::span<const std::string_view> keys, std::uint64_t block,
                                     std::uint64_t micro, unsigned threads,
                                     std::span<const fsst::Table> tables, const Phrases& phrases) {
  check_invariant(block >= 1 && block <= kMaxBlock && micro >= 1 && micro <= block,
                  "block and micro sizes are valid");
  check_invariant(!tables.empty(), "a build has at least one symbol table");
  check_invariant(threads >= 1, "a build has at least one thread");
  std::vector<Part> parts = encode_ranges(keys, block, micro, threads, tables, phrases);
  std::vector<std::uint8_t> heads;
  std::vector<std::uint64_t> head_ends;
  head_ends.reserve((keys.size() + block - 1) / block);
  for (Part& p : parts) {
    const std::uint64_t h = heads.size();
    heads.insert(heads.end(), p.heads.begin(), p.heads.end());
    for (std::uint64_t e : p.head_ends) head_ends.push_back(e + h);
    p.heads = {};
    p.head_ends = {};
  }
  const Lead lead = Lead::of(keys.size(), block, micro, std::move(heads), head_ends);
  // The writer of the streamed build, over a buffer that becomes the index's bytes.
  std::vector<std::uint8_t> blob;
  blob.reserve(blob_bound(lead, parts, phrases));
  blob.resize(kHeaderBytes);
  const Sink append = [&](std::span<const std::uint8_t> b) {
    blob.insert(blob.end(), b.begin(), b.end());
  };
  const Header h = write_blob(append, lead, phrases.dict, [&](const Sink& emit) {
    Written all;
    for (Part& p : parts) {
      const std::uint64_t d = all.data_len;
      emit(p.block_data);
      all.data_len += p.block_data.size();
      for (std::uint64_t o : p.written.block_offsets) all.block_offsets.push_back(o + d);
      for (std::uint64_t o : p.written.micro_offsets) all.micro_offsets.push_back(o + d);
      for (auto& c : p.written.header_codes) all.header_codes.push_back(std::move(c));
      for (auto& c : p.written.codecs) all.codecs.push_back(std::move(c));
      p = Part{};
    }
    if (all.codecs.empty()) {
      all.header_codes.emplace_back(paircode::Code::zero(), paircode::Code::zero());
      all.codecs.push_back(Codec::of_table(tables[0]));
    }
    return all;
  });
  const auto header = h.write();
  std::copy(header.begin(), header.end(), blob.begin());
  return from_shared(blob::SharedBytes::from_owned(std::move(blob)), false);
}

std::optional<std::uint64_t> named_block(std::string_view name) {
  if (name == "fast") return 32;
  if (name == "balanced") return 256;
  if (name == "compact") return 1024;
  return std::nullopt;
}

void check_block(std::uint64_t block) {
  if (block - 1 >= kMaxBlock) throw IndexError::format("dict: block must be in 1..=1024");
}

DictIndex DictIndex::build_with_threads(std::span<const std::string_view> keys, std::uint64_t block,
                                        unsigned threads) {
  check_block(block);
  std::vector<std::string_view> sorted(keys.begin(), keys.end());
  sort_keys(sorted, threads);
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  const std::uint64_t micro = micro_for(block);
  const std::uint64_t nblocks = (sorted.size() + block - 1) / block;
  const auto t = static_cast<unsigned>(
      std::max<std::uint64_t>(std::min<std::uint64_t>(threads, nblocks / kBlocksPerWorker), 1));
  const unsigned t_train = std::min(t, kMaxTrainThreads);
  std::vector<fsst::Table> tables;
  Phrases phrases;
  {
    const auto pieces = build_pieces(sorted, block, micro, false);
    tables = train_shards(pieces, t_train);
    phrases = mine_phrases(pieces, tables, sorted.size(), t_train);
  }
  return from_vocabulary(sorted, block, micro, t, tables, phrases);
}

DictIndex DictIndex::build_with_block(std::span<const std::string_view> keys, std::uint64_t block) {
  return build_with_threads(keys, block, threads::available());
}

std::vector<DictIndex> DictIndex::plan_builds(std::span<const std::string_view> keys,
                                              std::span<const std::uint64_t> blocks,
                                              const Phrases& phrases) {
  std::vector<DictIndex> out;
  for (std::uint64_t block : blocks) {
    check_invariant(block >= 1, "a trial block size is at least 1");
    const std::uint64_t micro = micro_for(block);
    const std::uint64_t nblocks = (keys.size() + block - 1) / block;
    const auto t = static_cast<unsigned>(
        std::max<std::uint64_t>(std::min<std::uint64_t>(threads::available(), nblocks >> 6), 1));
    const auto pieces = build_pieces(keys, block, micro, false);
    const auto tables = train_shards(pieces, std::min(t, kMaxTrainThreads));
    out.push_back(from_vocabulary(keys, block, micro, t, tables, phrases));
  }
  return out;
}

}  // namespace quenlith::dict_index
