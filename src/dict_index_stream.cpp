// The streamed two-pass build: an external sort, a first pass for heads and training pieces,
// and a second pass that encodes shard by shard straight into the output file.
#include <algorithm>

#include "dict_index_internal.hpp"
#include "fileio.hpp"
#include "threads.hpp"

namespace quenlith::dict_index {

namespace {

constexpr const char* kBadBlock = "dict: block must be in 1..=1024";
constexpr unsigned kMaxTrainThreads = 21;
constexpr std::size_t kHashChunk = 1 << 20;

std::size_t lcp(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  std::size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

}  // namespace

FirstPass first_pass(extsort::Replay& replay, std::uint64_t block) {
  check_invariant(block >= 1 && block <= kMaxBlock, "a streamed block size is in 1..=1024");
  FirstPass f;
  f.block = block;
  f.micro = micro_for(block);
  f.micro_per_block = (block + f.micro - 1) / f.micro;
  f.blocks_per_shard = blocks_per_shard_for(block);
  // Heads and the key count.
  std::vector<std::uint64_t> ends;
  std::uint64_t n = 0;
  replay.for_each([&](std::string_view key) {
    if (n % block == 0) {
      f.heads.insert(f.heads.end(), key.begin(), key.end());
      ends.push_back(f.heads.size());
    }
    ++n;
  });
  f.keys = n;
  const std::uint64_t nblocks = ends.size();
  f.shards = std::max<std::uint64_t>((nblocks + f.blocks_per_shard - 1) / f.blocks_per_shard, 1);
  if (nblocks > 0) {
    const auto* h = reinterpret_cast<const char*>(f.heads.data());
    const std::uint64_t last_start = nblocks > 1 ? ends[nblocks - 2] : 0;
    f.head_prefix =
        std::min<std::uint64_t>(lcp(std::string_view(h, ends[0]),
                                    std::string_view(h + last_start, ends.back() - last_start)),
                                65535);
  }
  // Training pieces, exactly those the in-memory build samples from the same keys.
  const std::uint64_t shard_keys = f.blocks_per_shard * block;
  std::vector<std::uint8_t> piece_bytes;
  std::vector<std::vector<std::pair<std::uint64_t, std::uint64_t>>> ranges(f.shards);
  {
    std::string prev, restart;
    std::uint64_t i = 0;
    std::uint64_t stride = std::max<std::uint64_t>(std::min(n, shard_keys) / 10000, 1);
    replay.for_each([&](std::string_view key) {
      const std::uint64_t r = i % block;
      if (r == 0 && i % shard_keys == 0)
        stride = std::max<std::uint64_t>(std::min(shard_keys, n - i) / 10000, 1);
      if (r == 0) {
        prev.assign(key);
        restart.assign(key);
      } else {
        const bool sampled = ((i % shard_keys) / 256) % stride == 0;
        const bool is_restart = r % f.micro == 0;
        if (sampled) {
          const std::string_view base = is_restart ? restart : prev;
          const std::string_view piece = key.substr(lcp(key, base));
          const std::uint64_t s = i / shard_keys;
          // A replay longer than the first would reach a shard that has no piece list.
          if (s >= ranges.size()) throw IndexError::format(kStreamChanged);
          ranges[s].emplace_back(piece_bytes.size(), piece_bytes.size() + piece.size());
          piece_bytes.insert(piece_bytes.end(), piece.begin(), piece.end());
        }
        if (is_restart) restart.assign(key);
        prev.assign(key);
      }
      ++i;
    });
    if (i != n) throw IndexError::format(kStreamChanged);
  }
  std::vector<std::vector<std::string_view>> pieces(f.shards);
  const auto* base = reinterpret_cast<const char*>(piece_bytes.data());
  for (std::size_t s = 0; s < f.shards; ++s)
    for (auto [a, z] : ranges[s]) pieces[s].emplace_back(base + a, z - a);
  const auto t = static_cast<unsigned>(std::clamp<std::uint64_t>(
      std::min<std::uint64_t>(f.shards, threads::available()), 1, kMaxTrainThreads));
  f.tables = train_shards(pieces, t);
  f.phrases = mine_phrases(pieces, f.tables, n, t);
  std::uint64_t spread = 0;
  for (std::uint64_t i = 0; i < ends.size(); ++i)
    spread = std::max(spread, ends[i] - ends[(i >> offsets::kShift) << offsets::kShift]);
  f.head_ends_width = paircode::bitlen(spread);
  f.head_ends = offsets::pack(ends, f.head_ends_width);
  return f;
}

void write_sorted(extsort::Replay& replay, const FirstPass& f,
                             const std::function<bool()>& source_failed,
                             const std::filesystem::path& path) {
  blob::write_atomically_with(path, [&](fileio::File& file) {
    fileio::BufWriter out(file);
    const std::vector<std::uint8_t> zeros(kHeaderBytes, 0);
    out.write_all(zeros);
    out.write_all(f.heads);
    out.write_all(f.head_ends.samples);
    out.write_all(f.head_ends.deltas);

    const std::uint64_t shard_keys = f.blocks_per_shard * f.block;
    ShardWriter w;
    w.block_offsets.reserve((f.keys + f.block - 1) / f.block);
    std::vector<char> block_keys;
    block_keys.reserve(f.block * 32);
    std::vector<std::uint64_t> key_ends{0};
    std::vector<std::string_view> views;
    std::vector<std::uint8_t> scratch;
    std::uint64_t shard = 0;
    fsst::Encoder encoder = f.tables.at(0).encoder();
    const auto emit = [&](std::span<const std::uint8_t> b) { out.write_all(b); };
    const auto flush_block = [&] {
      views.clear();
      for (std::size_t k = 1; k < key_ends.size(); ++k)
        views.emplace_back(block_keys.data() + key_ends[k - 1], key_ends[k] - key_ends[k - 1]);
      collect_block(w.collected, views, f.micro, encoder, scratch);
      block_keys.clear();
      key_ends.resize(1);
    };
    std::uint64_t i = 0;
    replay.for_each([&](std::string_view key) {
      if (i > 0 && i % f.block == 0) flush_block();
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

    std::vector<std::uint8_t> tables;
    write_codecs(w.codecs, tables);
    std::vector<std::uint8_t> codes;
    for (const auto& [entry, restart] : w.header_codes) {
      entry.write_to(codes);
      restart.write_to(codes);
    }
    std::vector<std::uint8_t> phrases;
    bool phrased = false;
    for (const Codec& c : w.codecs) phrased = phrased || c.kind() == Codec::Kind::Phrased;
    (phrased ? f.phrases.dict : phrase::Dict()).write_to(phrases);
    for (std::uint64_t len : {tables.size(), codes.size(), phrases.size()})
      if (len > UINT32_MAX)
        throw IndexError::build(
            "dict: a section of the index is longer than its 32-bit length field");
    out.write_all(tables);
    out.write_all(codes);
    out.write_all(phrases);
    if (i != f.keys) throw IndexError::format(kStreamChanged);

    const auto& bo = w.block_offsets;
    std::uint64_t spread = 0;
    for (std::uint64_t k = 0; k < bo.size(); ++k)
      spread = std::max(spread, bo[k] - bo[(k >> offsets::kShift) << offsets::kShift]);
    const unsigned bo_width = paircode::bitlen(spread);
    const offsets::Packed bo_packed = offsets::pack(bo, bo_width);
    out.write_all(bo_packed.samples);
    out.write_all(bo_packed.deltas);
    unsigned mo_width = 0;
    if (f.micro_per_block > 1) {
      auto& mo = w.micro_offsets;
      std::uint64_t largest = 0;
      for (std::uint64_t k = 0; k < mo.size(); ++k) {
        mo[k] -= bo[k / f.micro_per_block];
        largest = std::max(largest, mo[k]);
      }
      mo_width = paircode::bitlen(largest);
      out.write_all(offsets::packed_pack(mo, mo_width));
    }
    out.flush();

    blob::BlockHasher hasher;
    {
      file.seek(kHeaderBytes);
      std::vector<std::uint8_t> chunk(kHashChunk);
      for (;;) {
        const std::size_t got = file.read_some(chunk);
        if (got == 0) break;
        hasher.update(std::span(chunk.data(), got));
      }
    }
    Header header;
    header.n = i;
    header.block = static_cast<std::uint32_t>(f.block);
    header.heads_len = f.heads.size();
    header.data_len = w.data_len;
    header.tables_len = static_cast<std::uint32_t>(tables.size());
    header.payload = hasher.finish();
    header.head_ends_width = static_cast<std::uint8_t>(f.head_ends_width);
    header.block_offsets_width = static_cast<std::uint8_t>(bo_width);
    header.shift = static_cast<std::uint8_t>(offsets::kShift);
    header.micro_width = static_cast<std::uint8_t>(mo_width);
    header.micro = static_cast<std::uint16_t>(f.micro);
    header.blocks_per_shard = static_cast<std::uint16_t>(f.blocks_per_shard);
    header.codes_len = static_cast<std::uint32_t>(codes.size());
    header.head_prefix = static_cast<std::uint16_t>(f.head_prefix);
    header.phrases_len = static_cast<std::uint32_t>(phrases.size());
    const auto h = header.write();
    file.pwrite_all(h, 0);
    if (source_failed && source_failed()) throw IndexError::format(kSourceFailed);
  });
}

std::uint64_t detail::build_to_file_runs_limits(key_source::KeySource& keys,
                                                const std::filesystem::path& path,
                                                std::uint64_t block, RunLimits limits) {
  if (block - 1 >= kMaxBlock) throw IndexError::format(kBadBlock);
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
  return first.keys;
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
