// `DictIndex`: the ordered, compressed string <-> rank dictionary of front-coded blocks.
//
// Keys are sorted by bytes (unsigned, a proper prefix first); key i has id i. Blocks hold
// `block` keys (1 to 1024). A block's first key, its head, is stored whole in the heads section;
// every `micro`-th key of the block is a restart, front-coded against the previous restart (the
// first against the head) in the block's restart run; every other key is front-coded against its
// predecessor in its microblock's run. An entry is a (shared, length) pair packed under the
// shard's pair code (src/paircode) and a suffix coded by the shard's codec: an FSST symbol table
// (kind 0), a packed byte alphabet (kind 1) or a symbol table whose spare codes lead tokens into
// the phrase dictionary (kind 2). A shard is `blocks_per_shard` consecutive blocks.
//
// The "BDX3" blob is drawn in dict_index.cpp; the dictionary's internals are in
// dict_index_internal.hpp.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "blob.hpp"
#include "fsst.hpp"
#include "key_source.hpp"
#include "offsets.hpp"
#include "paircode.hpp"
#include "phrase.hpp"
#include "room.hpp"

namespace quenlith::dict_index {

// The 72-byte "BDX3" header with its one reader and one writer, used by the loader, the writers
// and header inspection.
struct Header {
  static constexpr std::size_t kBytes = 72;
  static constexpr std::size_t kCheckAt = 68;

  std::uint64_t n = 0;
  std::uint32_t block = 0;
  std::uint64_t heads_len = 0, data_len = 0;
  std::uint32_t tables_len = 0;
  std::uint64_t payload = 0;
  // w_he, w_bo, s and w_mo
  std::uint8_t head_ends_width = 0, block_offsets_width = 0, shift = 0, micro_width = 0;
  std::uint16_t micro = 0, blocks_per_shard = 0;
  std::uint32_t codes_len = 0;
  std::uint16_t head_prefix = 0;
  std::uint32_t phrases_len = 0;

  // The fields of the first `kBytes` of `bytes` (magic and check are the framing's to test; the
  // reserved bytes are not read). Throws `IndexError::Format` "bad magic or truncated header" for
  // fewer bytes.
  static Header parse(std::span<const std::uint8_t> bytes);
  // The stored header, magic "BDX3", zero reserved bytes and check included.
  std::array<std::uint8_t, kBytes> write() const;
};
static_assert(Header::kCheckAt == 4 + 8 + 4 + 8 + 8 + 4 + 8 + 4 * 1 + 2 + 2 + 4 + 2 + 4 + 6 &&
              Header::kBytes == Header::kCheckAt + 4);

inline constexpr std::uint64_t kHeaderBytes = Header::kBytes;
inline constexpr std::uint64_t kMaxBlock = 1024;
// The block size of a build that names none ("balanced").
inline constexpr std::uint64_t kDefaultBlock = 256;

// The block size a name stands for ("fast" 32, "balanced" 256, "compact" 1024), else nullopt.
std::optional<std::uint64_t> named_block(std::string_view name);
// Throws `IndexError::Format` "dict: block must be in 1..=1024" unless 1 <= block <= kMaxBlock.
void check_block(std::uint64_t block);

class Codec;
struct RunView;
class RunWalk;

// The phrase choice of one build: the dictionary and its trie over the same list.
struct Phrases {
  phrase::Dict dict;
  phrase::Trie trie;
  static Phrases none() { return {phrase::Dict(), phrase::Trie::empty()}; }
};

// The phrases of a build: none below 16,384 keys or when packed alphabets already win (see
// `phrase::packed_only`), else the mined list with a budget of clamp(n / 8, 4096, 524288).
Phrases mine_phrases(std::span<const std::vector<std::string_view>> pieces,
                     std::span<const fsst::Table> tables, std::uint64_t n, unsigned threads);

// The microblock size of a block size: a divisor of `block` (16 for 32 and 256, 32 for 1024).
std::uint64_t micro_for(std::uint64_t block);
// Blocks per shard: min(65536 / block, 65535), 1 above 65536.
std::uint64_t blocks_per_shard_for(std::uint64_t block);

// Training pieces per shard (max(S, 1) lists): sampled key suffixes cut the way the blocks code
// them. `all` takes every group of 256 keys, else a stride per shard.
std::vector<std::vector<std::string_view>> build_pieces(std::span<const std::string_view> keys,
                                                        std::uint64_t block, std::uint64_t micro,
                                                        bool all);

// One symbol table per piece list, trained with a limit of 255, on up to `threads` workers.
std::vector<fsst::Table> train_shards(std::span<const std::vector<std::string_view>> pieces,
                                      unsigned threads);

// The result of a lookup: the key's id when found, else its insertion rank.
struct Found {
  bool found;
  std::uint64_t id;
  friend bool operator==(const Found&, const Found&) = default;
};

// Where a dictionary's bytes went: fourteen byte rows (the blob's sections, the runs' packed
// headers, escaped pairs and code streams), then counts of restarts, entries and escaped pairs.
struct Sections {
  std::uint64_t header = 0, tables = 0, header_codes = 0, phrases = 0;
  std::uint64_t heads = 0, head_ends = 0, block_offsets = 0, micro_offsets = 0;
  std::uint64_t restart_headers = 0, restart_wide = 0, restart_codes = 0;
  std::uint64_t entry_headers = 0, entry_wide = 0, entry_codes = 0;
  std::uint64_t restarts = 0, entries = 0, wide = 0;
  std::uint64_t total_bytes() const noexcept;  // the fourteen byte rows added up
};

class DictIndex;

// A sequential walk of (key, id) from a given id to the end. A run that cannot be decoded is
// recorded and raised as an `IndexError`, never taken for the end of the keys.
class KeyIter {
 public:
  explicit KeyIter(const DictIndex& index, std::uint64_t first);
  KeyIter(KeyIter&&) noexcept;
  KeyIter& operator=(KeyIter&&) noexcept;
  ~KeyIter();
  // Moves to the next key; false at the end. Throws `IndexError::format` ("dict: a block of the
  // index cannot be decoded") when the walk fails, and keeps failing afterwards.
  bool next();
  std::string_view key() const noexcept { return current_.view(); }
  std::span<const std::uint8_t> key_bytes() const noexcept { return current_.span(); }
  std::uint64_t id() const noexcept { return id_; }
  bool failed() const noexcept { return failed_; }

 private:
  struct Walks;  // the restart key and the two run walks
  bool step();
  const DictIndex* index_;
  std::uint64_t next_, id_ = 0;
  bool primed_ = false, failed_ = false;
  room::Bytes current_;
  std::unique_ptr<Walks> walks_;
};

inline constexpr const char* kWalkFailed = "dict: a block of the index cannot be decoded";
inline constexpr const char* kKeyTooLong = "dict: a key longer than the run budget";
inline constexpr const char* kStreamChanged = "dict: the key stream changed between passes";
inline constexpr const char* kSourceFailed = "dict: the input iterable raised before it ended";

class DictIndex {
 public:
  // Builds from keys in any order (repeats allowed). Refuses a block outside 1..=1024 with
  // "dict: block must be in 1..=1024". Threads: the online processors, at most one per 64 blocks.
  static DictIndex build_with_block(std::span<const std::string_view> keys, std::uint64_t block);
  // The same with the thread count given (at least 1); the blob does not depend on it.
  static DictIndex build_with_threads(std::span<const std::string_view> keys, std::uint64_t block,
                                      unsigned threads);
  // Encodes sorted distinct keys with the given tables (shard s uses tables[min(s, count - 1)],
  // at least one) and phrases, on `threads` workers (at least 1). Fails only as `write_to` does.
  static DictIndex from_vocabulary(std::span<const std::string_view> keys, std::uint64_t block,
                                   std::uint64_t micro, unsigned threads,
                                   std::span<const fsst::Table> tables, const Phrases& phrases);
  // Streams keys in any order (repeats allowed) into a "BDX3" file at `path`, byte for byte
  // `build_with_block(keys, block).save(path)`, by an external sort spilling runs beside the
  // output, a pass for heads and training pieces and a pass writing the blob. Returns the number
  // of distinct keys. Errors: the block refusal, `kKeyTooLong` for a first key longer than the run
  // budget, `kSourceFailed` when the source failed, `kStreamChanged` when a replay differs, `Io`
  // for file failures; the target is then unchanged and no run directory or temporary file stays.
  static std::uint64_t build_to_file_runs(key_source::KeySource& keys,
                                          const std::filesystem::path& path, std::uint64_t block);
  // The command line's streamed build: `build_to_file_runs` with the block it settled on.
  static std::uint64_t build_to_file_with_block(key_source::KeySource& keys,
                                                const std::filesystem::path& path,
                                                std::uint64_t block);

  // Trial builds over sorted distinct keys, one per block size, with tables trained on sampled
  // pieces and the caller's phrases.
  static std::vector<DictIndex> plan_builds(std::span<const std::string_view> keys,
                                            std::span<const std::uint64_t> blocks,
                                            const Phrases& phrases);

  // Loads the blob that `bytes` covers, borrowing heads, block data and offset arrays from it.
  // `verify` adds the payload hash and the layout walk. Throws `IndexError::format`.
  static DictIndex from_shared(blob::SharedBytes bytes, bool verify);
  static DictIndex from_bytes(std::span<const std::uint8_t> bytes);  // copies, verifies
  static DictIndex load(const std::filesystem::path& path);          // reads, verifies
  static DictIndex load_mmap(const std::filesystem::path& path);     // maps, does not verify
  static DictIndex load_mmap_verified(const std::filesystem::path& path);
  DictIndex(DictIndex&&) noexcept;
  DictIndex& operator=(DictIndex&&) noexcept;
  ~DictIndex();

  std::uint64_t serialized_len() const;
  // Writes the blob through `sink`, which throws on failure. Throws `IndexError::build` when a
  // section is too long for its 32-bit length field.
  void write_to(const std::function<void(std::span<const std::uint8_t>)>& sink) const;
  std::vector<std::uint8_t> to_bytes() const;
  void save(const std::filesystem::path& path) const;
  Sections sections() const;

  std::uint64_t size() const noexcept { return keys_; }
  std::uint64_t block() const noexcept { return block_; }
  std::uint64_t micro() const noexcept { return micro_; }
  std::uint64_t micro_per_block() const noexcept { return micro_per_block_; }
  std::uint64_t blocks() const noexcept { return samples_.size(); }
  std::uint64_t shards() const noexcept { return header_codes_.size(); }
  std::uint64_t blocks_per_shard() const noexcept { return blocks_per_shard_; }
  std::uint64_t head_prefix() const noexcept { return head_prefix_; }
  const std::vector<Codec>& codecs() const noexcept { return tables_; }
  const phrase::Dict& phrases() const noexcept { return phrases_; }

  // Lookups. Keys are bytes; any number of threads may call these at once.
  Found locate(std::span<const std::uint8_t> key) const;
  Found locate(std::string_view key) const { return locate(bytes::as_bytes(key)); }
  // Finishes a lookup in block `boundary - 1` (boundary 0: before every key).
  Found locate_in(std::uint64_t boundary, std::span<const std::uint8_t> key) const;
  // The first block in [lo, hi) whose head sorts after `key`; hi when none.
  std::uint64_t head_boundary(std::span<const std::uint8_t> key, std::uint64_t lo,
                              std::uint64_t hi) const;
  std::optional<std::uint64_t> id(std::string_view key) const;
  bool contains(std::string_view key) const { return locate(key).found; }

  // The key of `id` into `out` (emptied first). False when id >= size() or the block cannot be
  // decoded.
  bool key_bytes_into(std::uint64_t id, room::Bytes& out) const;
  // The key of `id` when it exists and is valid UTF-8.
  std::optional<std::string> key(std::uint64_t id) const;
  std::vector<std::optional<std::string>> keys_of(std::span<const std::uint64_t> ids) const;
  // Batched ids, equal to `locate` of each key: groups of 32 keys search the samples in lockstep.
  std::vector<std::optional<std::uint64_t>> ids_of(std::span<const std::string_view> keys) const;
  // The same for the keys key_at(0), ..., key_at(n - 1), each a span of bytes.
  template <class KeyAt>
  std::vector<std::optional<std::uint64_t>> ids_of_with(std::uint64_t n, KeyAt&& key_at) const {
    std::vector<std::optional<std::uint64_t>> out(n);
    std::array<std::span<const std::uint8_t>, kLockstep> group;
    for (std::uint64_t g = 0; g < n; g += kLockstep) {
      const std::uint64_t count = std::min<std::uint64_t>(kLockstep, n - g);
      for (std::uint64_t i = 0; i < count; ++i) group[i] = key_at(g + i);
      ids_of_group(std::span(group.data(), count), out.data() + g);
    }
    return out;
  }

  // Ordered queries.
  std::pair<std::uint64_t, std::uint64_t> prefix_id_range(
      std::span<const std::uint8_t> prefix) const;
  std::optional<std::pair<std::string, std::uint64_t>> successor(
      std::span<const std::uint8_t> query) const;
  std::optional<std::pair<std::string, std::uint64_t>> predecessor(
      std::span<const std::uint8_t> query) const;
  std::vector<std::pair<std::string, std::uint64_t>> common_prefix(std::string_view query) const;
  std::optional<std::pair<std::string, std::uint64_t>> longest_prefix(std::string_view query) const;
  // Keys from `first` to the end; the iterator borrows the index.
  KeyIter iter_from(std::uint64_t first) const { return KeyIter(*this, first); }

 private:
  friend class KeyIter;
  DictIndex() = default;
  // The keys one batched lookup searches the samples for together.
  static constexpr std::uint64_t kLockstep = 32;
  // The ids of up to `kLockstep` keys into `out`, left empty for keys not present.
  void ids_of_group(std::span<const std::span<const std::uint8_t>> keys,
                    std::optional<std::uint64_t>* out) const;
  void check_layout() const;
  Header fields() const;
  // Walking: the runs of block b and one-entry decoding.
  std::span<const std::uint8_t> head(std::uint64_t b) const;
  RunView restart_run(std::uint64_t b) const;
  RunView micro_run(std::uint64_t b, std::uint64_t j) const;
  std::uint64_t keys_in_block(std::uint64_t b) const;
  std::uint64_t micros_in_block(std::uint64_t b) const;
  bool advance(const Codec& codec, RunWalk& walk, room::Bytes& key) const;
  bool climb(const RunView& run, std::uint64_t steps, room::Bytes& out) const;
  std::uint64_t block_start(std::uint64_t b) const { return block_offsets_.get(b); }
  std::uint64_t block_end(std::uint64_t b) const;
  std::uint64_t micro_offset(std::uint64_t k) const;
  const Codec& codec_of(std::uint64_t b) const;
  const std::pair<paircode::Code, paircode::Code>& codes_of(std::uint64_t b) const;

  blob::SharedBytes heads_;
  offsets::Offsets head_ends_;
  std::vector<std::uint64_t> samples_;
  offsets::Offsets block_offsets_;
  blob::SharedBytes micro_offsets_;
  unsigned micro_width_ = 0;
  blob::SharedBytes block_data_;
  std::vector<Codec> tables_;
  std::vector<std::pair<paircode::Code, paircode::Code>> header_codes_;
  phrase::Dict phrases_;
  std::uint64_t block_ = 1, micro_ = 1, micro_per_block_ = 1;
  std::uint64_t keys_ = 0, blocks_per_shard_ = 1, head_prefix_ = 0;
};

}  // namespace quenlith::dict_index
