// The streamed two-pass build: an external sort, a first pass for heads and training pieces,
// and a second pass that encodes shard by shard straight into the output file.
#include <algorithm>

#include "dict_index_internal.hpp"
#include "fileio.hpp"
#include "threads.hpp"

namespace quenlith::dict_index {

namespace {


// The block data of the sorted keys, shard by shard through `emit`. Throws kStreamChanged when
// the keys are not those the first pass counted.
Written encode_sorted(extsort::Replay& replay, const FirstPass& f, const Sink& emit) {
  const Lead& lead = f.lead;
  const std::uint64_t shard_keys = lead.blocks_per_shard * lead.block;
  ShardWriter w;
  w.written.block_offsets.reserve((lead.keys + lead.block - 1) / lead.block);
  std::vector<char> block_keys;
  block_keys.reserve(lead.block * 32);
  std::vector<std::uint64_t> key_ends{0};
  std::vector<std::string_view> views;
  std::vector<std::uint8_t> scratch;
  std::uint64_t shard = 0;
  fsst::Encoder encoder = f.tables.at(0).encoder();
  const auto flush_block = [&] {
    views.clear();
    for (std::size_t k = 1; k < key_ends.size(); ++k)
      views.emplace_back(block_keys.data() + key_ends[k - 1], key_ends[k] - key_ends[k - 1]);
    collect_block(w.collected, views, lead.micro, encoder, scratch);
    block_keys.clear();
    key_ends.resize(1);
  };
  std::uint64_t i = 0;
  replay.for_each([&](std::string_view key) {
    if (i > 0 && i % lead.block == 0) flush_block();
    if (i > 0 && i % shard_keys == 0) {
      w.write(f.tables[shard], f.phrases, emit);
      shard = i / shard_keys;
      // A stream longer than the first pass would reach a shard that has no table.
      if (shard >= f.tables.size()) throw IndexError::format(kStreamChanged);
      encoder = f.tables[shard].encoder();
    }
    block_keys.insert(block_keys.end(), key.begin(), key.end());
    key_ends.push_back(block_keys.size());
    ++i;
  });
  if (key_ends.size() > 1) flush_block();
  w.write(f.tables[shard], f.phrases, emit);
  if (i != lead.keys) throw IndexError::format(kStreamChanged);
  return std::move(w.written);
}

}  // namespace

FirstPass first_pass(extsort::Replay& replay, std::uint64_t block) {
  check_invariant(block >= 1 && block <= kMaxBlock, "a streamed block size is in 1..=1024");
  const std::uint64_t micro = micro_for(block);
  // Heads and the key count.
  std::vector<std::uint8_t> heads;
  std::vector<std::uint64_t> ends;
  std::uint64_t n = 0;
  replay.for_each([&](std::string_view key) {
    if (n % block == 0) {
      heads.insert(heads.end(), key.begin(), key.end());
      ends.push_back(heads.size());
    }
    ++n;
  });
  FirstPass f;
  f.lead = Lead::of(n, block, micro, std::move(heads), ends);
  // Training pieces, exactly those the in-memory build samples from the same keys.
  PieceSampler<std::string> sampler(n, block, micro, false);
  f.shards = sampler.shards();
  std::vector<std::uint8_t> piece_bytes;
  std::vector<std::vector<std::pair<std::uint64_t, std::uint64_t>>> ranges(f.shards);
  std::uint64_t i = 0;
  replay.for_each([&](std::string_view key) {
    ++i;
    const auto piece = sampler.next(key);
    if (!piece) return;
    const auto& [s, text] = *piece;
    // A replay longer than the first would reach a shard that has no piece list.
    if (s >= ranges.size()) throw IndexError::format(kStreamChanged);
    ranges[s].emplace_back(piece_bytes.size(), piece_bytes.size() + text.size());
    piece_bytes.insert(piece_bytes.end(), text.begin(), text.end());
  });
  if (i != n) throw IndexError::format(kStreamChanged);
  std::vector<std::vector<std::string_view>> pieces(f.shards);
  const auto* base = reinterpret_cast<const char*>(piece_bytes.data());
  for (std::size_t s = 0; s < f.shards; ++s)
    for (auto [a, z] : ranges[s]) pieces[s].emplace_back(base + a, z - a);
  const auto t = static_cast<unsigned>(std::clamp<std::uint64_t>(
      std::min<std::uint64_t>(f.shards, threads::available()), 1, kMaxTrainThreads));
  f.tables = train_shards(pieces, t);
  f.phrases = mine_phrases(pieces, f.tables, n, t);
  return f;
}

void write_sorted(extsort::Replay& replay, const FirstPass& f,
                  const std::function<bool()>& source_failed, const std::filesystem::path& path) {
  blob::write_atomically_with(path, [&](fileio::File& file) {
    fileio::BufWriter out(file);
    const std::uint8_t zeros[kHeaderBytes] = {};
    out.write_all(zeros);
    const Header h = write_blob([&](std::span<const std::uint8_t> b) { out.write_all(b); }, f.lead,
                                f.phrases.dict, [&](const Sink& emit) {
                                  return encode_sorted(replay, f, emit);
                                });
    out.flush();
    file.pwrite_all(h.write(), 0);
    if (source_failed && source_failed()) throw IndexError::format(kSourceFailed);
  });
}

std::uint64_t detail::build_to_file_runs_limits(key_source::KeySource& keys,
                                                const std::filesystem::path& path,
                                                std::uint64_t block, RunLimits limits) {
  check_block(block);
  extsort::Run run(limits.budget, limits.offset_limit);
  extsort::Runs runs(path);
  {
    auto pass = keys.open_pass();
    key_source::for_each_key(
        *pass, [&](std::string_view key) { extsort::push_or_spill(run, runs, key, kKeyTooLong); });
  }
  if (keys.failed()) throw IndexError::format(kSourceFailed);
  std::optional<extsort::RunReplay> in_memory;
  std::optional<extsort::RunsReplay> spilled;
  extsort::Replay* replay;
  if (runs.empty()) {
    for (std::string_view key : run.sorted())
      check_invariant(bytes::is_utf8(bytes::as_bytes(key)), "appended from a str");
    replay = &in_memory.emplace(run);
  } else {
    if (!run.empty()) runs.spill(run);
    run.release();
    replay = &spilled.emplace(runs);
  }
  const FirstPass first = first_pass(*replay, block);
  write_sorted(*replay, first, [&] { return keys.failed(); }, path);
  return first.lead.keys;
}

std::uint64_t DictIndex::build_to_file_runs(key_source::KeySource& keys,
                                            const std::filesystem::path& path,
                                            std::uint64_t block) {
  return detail::build_to_file_runs_limits(keys, path, block, detail::RunLimits{});
}

std::uint64_t DictIndex::build_to_file_with_block(key_source::KeySource& keys,
                                                  const std::filesystem::path& path,
                                                  std::uint64_t block) {
  return build_to_file_runs(keys, path, block);
}

}  // namespace quenlith::dict_index
