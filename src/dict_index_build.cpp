// The in-memory build: sorting, training pieces, symbol tables per shard, range encoding on
// worker threads and the assembly of the index.
#include <algorithm>

#include "dict_index_internal.hpp"
#include "threads.hpp"

namespace quenlith::dict_index {

namespace {

constexpr const char* kBadBlock = "dict: block must be in 1..=1024";
// Blocks a worker takes at least: fewer are not worth a thread.
constexpr std::uint64_t kBlocksPerWorker = 64;
// Training and mining use at most this many threads.
constexpr unsigned kMaxTrainThreads = 21;

std::size_t lcp(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  std::size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// Runs `f` on `threads` workers and turns a worker's panic into `message`.
void run_or_panic(unsigned threads, const char* message, const std::function<void(unsigned)>& f) {
  try {
    threads::run_workers(threads, f);
  } catch (const Panic&) {
    panic(message);
  }
}

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

std::vector<std::vector<std::string_view>> build_pieces(std::span<const std::string_view> keys,
                                                        std::uint64_t block, std::uint64_t micro,
                                                        bool all) {
  const std::uint64_t n = keys.size();
  const std::uint64_t spb = blocks_per_shard_for(block);
  const std::uint64_t shard_keys = spb * block;
  const std::uint64_t blocks = (n + block - 1) / block;
  const std::uint64_t shards = (blocks + spb - 1) / spb;
  std::vector<std::vector<std::string_view>> lists(std::max<std::uint64_t>(shards, 1));
  if (n == 0) return lists;
  auto stride_at = [&](std::uint64_t f) {
    if (all) return std::uint64_t{1};
    return std::max<std::uint64_t>(std::min(shard_keys, n - f) / 10000, 1);
  };
  std::uint64_t stride = stride_at(0);
  std::string_view prev = keys[0], restart = keys[0];
  for (std::uint64_t i = 1; i < n; ++i) {
    const std::uint64_t p = i % block;
    const std::uint64_t s = i / shard_keys;
    const std::uint64_t g = (i - s * shard_keys) / 256;
    if (p == 0) {
      if (i % shard_keys == 0) stride = stride_at(i);
      prev = restart = keys[i];
      continue;
    }
    if (g % stride == 0) {
      const std::string_view base = p % micro == 0 ? restart : prev;
      lists[s].push_back(keys[i].substr(lcp(keys[i], base)));
    }
    if (p % micro == 0) restart = keys[i];
    prev = keys[i];
  }
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
  run_or_panic(workers, "training a symbol table cannot panic", [&](unsigned w) {
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

std::vector<std::uint64_t> samples_of(std::span<const std::uint8_t> heads,
                                      std::span<const std::uint64_t> head_ends,
                                      std::uint64_t head_prefix) {
  std::vector<std::uint64_t> out(head_ends.size());
  std::uint64_t start = 0;
  for (std::size_t b = 0; b < head_ends.size(); ++b) {
    const std::uint64_t end = head_ends[b];
    check_invariant(start <= end && end <= heads.size(), "head offsets are ordered");
    std::uint64_t v = 0;
    for (unsigned k = 0; k < 8; ++k) {
      const std::uint64_t at = start + head_prefix + k;
      v = v << 8 | (at < end ? heads[at] : 0);
    }
    out[b] = v;
    start = end;
  }
  return out;
}

DictIndex DictIndex::from_vocabulary(std::span<const std::string_view> keys, std::uint64_t block,
                                     std::uint64_t micro, unsigned threads,
                                     std::span<const fsst::Table> tables, const Phrases& phrases) {
  check_invariant(block >= 1 && micro >= 1 && micro <= block, "block and micro sizes are valid");
  check_invariant(!tables.empty(), "a build has at least one symbol table");
  check_invariant(threads >= 1, "a build has at least one thread");
  const std::uint64_t n = keys.size();
  const std::uint64_t nblocks = (n + block - 1) / block;
  const std::uint64_t spb = blocks_per_shard_for(block);
  const std::uint64_t mpb = (block + micro - 1) / micro;
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
    run_or_panic(static_cast<unsigned>(ranges), "encoding a range of blocks cannot panic", encode);
  }

  std::uint64_t heads_len = 0, data_len = 0, micro_count = 0;
  for (const Part& p : parts) {
    heads_len += p.heads.size();
    data_len += p.block_data.size();
    micro_count += p.micro_offsets.size();
  }
  std::vector<std::uint8_t> heads, data;
  std::vector<std::uint64_t> head_ends, block_offsets, micro_offsets;
  heads.reserve(heads_len);
  data.reserve(data_len);
  head_ends.reserve(nblocks);
  block_offsets.reserve(nblocks);
  micro_offsets.reserve(micro_count);
  DictIndex index;
  for (Part& p : parts) {
    const std::uint64_t h = heads.size(), d = data.size();
    heads.insert(heads.end(), p.heads.begin(), p.heads.end());
    for (std::uint64_t e : p.head_ends) head_ends.push_back(e + h);
    data.insert(data.end(), p.block_data.begin(), p.block_data.end());
    for (std::uint64_t o : p.block_offsets) block_offsets.push_back(o + d);
    for (std::uint64_t o : p.micro_offsets) micro_offsets.push_back(o + d);
    for (auto& c : p.header_codes) index.header_codes_.push_back(std::move(c));
    for (auto& c : p.tables) index.tables_.push_back(std::move(c));
    p = Part{};
  }
  for (std::uint64_t i = 0; i < micro_offsets.size(); ++i)
    micro_offsets[i] -= block_offsets[i / mpb];
  if (index.tables_.empty()) {
    index.header_codes_.emplace_back(paircode::Code::zero(), paircode::Code::zero());
    index.tables_.push_back(Codec::of_table(tables[0]));
  }
  bool phrased = false;
  for (const Codec& c : index.tables_) phrased = phrased || c.kind() == Codec::Kind::Phrased;
  if (phrased) index.phrases_ = phrases.dict;

  std::uint64_t hp = 0;
  if (nblocks > 0) {
    const std::string_view first(reinterpret_cast<const char*>(heads.data()), head_ends[0]);
    const std::uint64_t last_start = nblocks > 1 ? head_ends[nblocks - 2] : 0;
    const std::string_view last(reinterpret_cast<const char*>(heads.data()) + last_start,
                                head_ends[nblocks - 1] - last_start);
    hp = std::min<std::uint64_t>(lcp(first, last), 65535);
  }
  index.samples_ = samples_of(heads, head_ends, hp);
  index.heads_ = blob::SharedBytes::from_owned(std::move(heads));
  index.head_ends_ = offsets::packed_offsets(head_ends);
  index.block_offsets_ = offsets::packed_offsets(block_offsets);
  if (mpb > 1) {
    std::uint64_t largest = 0;
    for (std::uint64_t v : micro_offsets) largest = std::max(largest, v);
    index.micro_width_ = paircode::bitlen(largest);
    index.micro_offsets_ =
        blob::SharedBytes::from_owned(offsets::packed_pack(micro_offsets, index.micro_width_));
  }
  index.block_data_ = blob::SharedBytes::from_owned(std::move(data));
  index.block_ = block;
  index.micro_ = micro;
  index.micro_per_block_ = mpb;
  index.keys_ = n;
  index.blocks_per_shard_ = spb;
  index.head_prefix_ = hp;
  return index;
}

DictIndex DictIndex::build_with_threads(std::span<const std::string_view> keys, std::uint64_t block,
                                        unsigned threads) {
  if (block - 1 >= kMaxBlock) throw IndexError::format(kBadBlock);
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
