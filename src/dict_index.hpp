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
// The "BDX3" blob (all integers little-endian, no padding between sections):
//
//   offset  size  field
//   0       4     magic "BDX3"
//   4       8     n, key count
//   12      4     block, keys per block (1..=1024)
//   16      8     heads length
//   24      8     block data length
//   32      4     tables length
//   36      8     payload hash of every byte from 72 to the end
//   44      1     w_he, bit width of the head_ends deltas (<= 56)
//   45      1     w_bo, bit width of the block_offsets deltas (<= 56)
//   46      1     s, sample shift of both sampled arrays (<= 31; written 6)
//   47      1     w_mo, bit width of micro_offsets (<= 56)
//   48      2     micro, keys per microblock (1..=block)
//   50      2     blocks_per_shard (written min(65536 / block, 65535))
//   52      4     header codes length
//   56      2     head prefix, bytes every head shares
//   58      4     phrases length (>= 4)
//   62      6     reserved, 0
//   68      4     header check over bytes 0..68
//
//   sections from 72, with B = ceil(n / block), S = ceil(B / blocks_per_shard),
//   mpb = ceil(block / micro), M = 0 when B = 0 or mpb = 1, else (B - 1) * mpb +
//   ceil(last block's keys / micro), C = ceil(B / 2^s):
//
//   1   heads                 every block's head, concatenated
//   2   head_ends samples     8 * C
//   3   head_ends deltas      ceil(B * w_he / 8) + 8, 0 when B = 0
//   4   block data            the encoded blocks
//   5   tables                max(S, 1) codec records, each u32 length + record
//   6   header codes          max(S, 1) pairs of pair codes: entry code, restart code
//   7   phrases               the phrase dictionary (src/phrase)
//   8   block_offsets samples 8 * C
//   9   block_offsets deltas  ceil(B * w_bo / 8) + 8, 0 when B = 0
//   10  micro_offsets         ceil(M * w_mo / 8) + 8, 0 when M = 0: run starts from the block's
//                             start, mpb a block (the last block ceil(keys / micro))
//
// Codec records: kind 0 = u8 0 + symbol table; kind 1 = u8 1, u8 b (1..=8), u8 P - 1, u8 S,
// P primary bytes, S secondary bytes; kind 2 = u8 2, u8 slots (1..=254), u8 leads
// (<= 255 - slots) + symbol table of at most `slots` symbols.
//
// Written: "BDX3". Refused with a message asking for a rebuild: "BDX1", "BDX2".
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "blob.hpp"
#include "extsort.hpp"
#include "fsst.hpp"
#include "key_source.hpp"
#include "offsets.hpp"
#include "packed.hpp"
#include "paircode.hpp"
#include "phrase.hpp"
#include "room.hpp"

namespace quenlith::dict_index {

// The 72-byte "BDX3" header drawn above, with its one reader and one writer, used by the loader,
// the writer and header inspection.
struct Header {
  static constexpr std::size_t kBytes = 72;
  static constexpr std::size_t kCheckAt = 68;

  std::uint64_t n = 0;
  std::uint32_t block = 0;
  std::uint64_t heads_len = 0;
  std::uint64_t data_len = 0;
  std::uint32_t tables_len = 0;
  std::uint64_t payload = 0;
  std::uint8_t head_ends_width = 0;      // w_he
  std::uint8_t block_offsets_width = 0;  // w_bo
  std::uint8_t shift = 0;
  std::uint8_t micro_width = 0;  // w_mo
  std::uint16_t micro = 0;
  std::uint16_t blocks_per_shard = 0;
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
inline constexpr std::uint64_t kNoLimit = UINT64_MAX;

// The coder of one shard's suffixes.
class Codec {
 public:
  enum class Kind : std::uint8_t { Table = 0, Packed = 1, Phrased = 2 };

  static Codec of_table(fsst::Table table);
  static Codec of_alphabet(const packed::Alphabet& alphabet);
  static Codec of_phrased(fsst::Table table, unsigned slots, unsigned leads);

  // Parses exactly one record; nullopt when malformed.
  static std::optional<Codec> read(std::span<const std::uint8_t> record);
  void write_to(std::vector<std::uint8_t>& out) const;
  std::uint64_t record_len() const noexcept;

  Kind kind() const noexcept { return kind_; }
  const fsst::Table& table() const noexcept { return table_; }
  unsigned slots() const noexcept { return slots_; }
  unsigned leads() const noexcept { return leads_; }
  const packed::Alphabet& alphabet() const noexcept { return alphabet_; }
  // Bits of one code unit: the alphabet's width for kind 1, else 8.
  unsigned unit_bits() const noexcept { return kind_ == Kind::Packed ? alphabet_.bits : 8; }

  // Appends the decoded suffix of `units` code units starting at bit `start_bit` of `stream`,
  // stopping once `want` bytes exist. False, with `out` unchanged, when the units are malformed.
  // Symbols are stored as whole 8-byte words and phrases as 32-byte copies into `out`'s slack.
  bool decode_into(const phrase::Dict& phrases, std::span<const std::uint8_t> stream,
                   std::uint64_t start_bit, std::uint64_t units, room::Bytes& out,
                   std::uint64_t want) const;

  // Compares the suffix of `units` code units at `start_bit` with `rest`, decoding no further
  // than the first difference. `order` < 0: the suffix sorts below `rest`, with `common` bytes
  // in common (all of the suffix when it is a proper prefix of `rest`); > 0: above (or `rest` is
  // a proper prefix of it); 0: equal. False when the units are malformed.
  struct Order {
    int order;
    std::uint64_t common;
  };
  bool compare(const phrase::Dict& phrases, std::span<const std::uint8_t> stream,
               std::uint64_t start_bit, std::uint64_t units, std::span<const std::uint8_t> rest,
               Order& result) const;

  friend bool operator==(const Codec& a, const Codec& b) {
    return a.kind_ == b.kind_ && a.table_ == b.table_ && a.slots_ == b.slots_ &&
           a.leads_ == b.leads_ && a.alphabet_.bits == b.alphabet_.bits &&
           a.alphabet_.primary == b.alphabet_.primary &&
           a.alphabet_.secondary == b.alphabet_.secondary;
  }

 private:
  Kind kind_ = Kind::Table;
  fsst::Table table_;
  unsigned slots_ = 0;
  unsigned leads_ = 0;
  packed::Alphabet alphabet_;
};

// Appends the tables section: each codec's record behind its u32 length.
void write_codecs(std::span<const Codec> codecs, std::vector<std::uint8_t>& out);

// The phrase choice of one build: the dictionary and its trie over the same list.
struct Phrases {
  phrase::Dict dict;
  phrase::Trie trie;
  static Phrases none() { return {phrase::Dict(), phrase::Trie::empty()}; }
};

// The rule that admits the phrase codec: it must save more than 3 % against the best other.
inline bool saves_enough(std::uint64_t price, std::uint64_t best) {
  return static_cast<unsigned __int128>(price) * 100 < static_cast<unsigned __int128>(best) * 97;
}

// The phrases of a build: none below 16,384 keys or when packed alphabets already win (see
// `phrase::packed_only`), else the mined list with a budget of clamp(n / 8, 4096, 524288).
Phrases mine_phrases(std::span<const std::vector<std::string_view>> pieces,
                     std::span<const fsst::Table> tables, std::uint64_t n, unsigned threads);

// The microblock size of a block size: a divisor of `block` (16 for 32 and 256, 32 for 1024).
std::uint64_t micro_for(std::uint64_t block);
// Blocks per shard: min(65536 / block, 65535), 1 above 65536.
std::uint64_t blocks_per_shard_for(std::uint64_t block);

// One shard's gathered entries before encoding.
struct Collected {
  std::vector<std::uint64_t> shared;
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint64_t> byte_ends;
  std::vector<std::uint8_t> coded;
  std::vector<std::uint64_t> coded_ends;
  std::vector<std::uint8_t> phrase_coded;
  std::vector<std::uint64_t> phrase_ends;
  std::vector<std::uint64_t> runs;
  std::vector<std::uint64_t> blocks;
  std::array<std::uint64_t, 256> counts{};

  void clear();
  std::uint64_t entries() const noexcept { return shared.size(); }
  std::span<const std::uint8_t> suffix(std::uint64_t i) const noexcept {
    const std::uint64_t a = i ? byte_ends[i - 1] : 0;
    return {bytes.data() + a, static_cast<std::size_t>(byte_ends[i] - a)};
  }
  // Adds the entry of `key` against `prev` to the last open run.
  void push(std::string_view prev, std::string_view key, const fsst::Encoder& encoder,
            std::vector<std::uint8_t>& scratch);
  // The (shared, units) pairs under `codec`.
  void pairs(const Codec& codec, std::vector<paircode::Pair>& out) const;

  struct Priced {
    std::uint64_t price;
    paircode::Code entry;
    paircode::Code restart;
  };
  Priced price(const Codec& codec, std::vector<paircode::Pair>& buffer) const;

  struct Settled {
    Codec codec;
    paircode::Code entry;
    paircode::Code restart;
  };
  // Chooses the shard's codec: kind 0, else kind 1 when strictly cheaper, else kind 2 when it
  // saves more than 3 %. `buffer` is left holding the chosen codec's pairs.
  Settled settle(const fsst::Table& table, const Phrases& phrases,
                 std::vector<paircode::Pair>& buffer);
};

// Appends one block's runs (restart run, then one run per microblock) to the collection.
void collect_block(Collected& collected, std::span<const std::string_view> keys,
                   std::uint64_t micro, const fsst::Encoder& encoder,
                   std::vector<std::uint8_t>& scratch);

// Appends one run: its packed area (run header word under tag 0, then entry words) and its code
// stream. `inverse` is the 65,536-slot inverse of a tag-1 code's table (empty for tag 0).
void write_run(const paircode::Code& code, std::span<const std::uint16_t> inverse,
               const Codec& codec, const Collected& collected,
               std::span<const paircode::Pair> pairs, std::uint64_t first,
               std::vector<std::uint8_t>& out);

// Settles one shard's collected blocks and writes them out: codec and pair codes chosen once,
// then every block's runs, the block bytes going to `emit`. Offsets count from the first byte
// this writer emitted.
class ShardWriter {
 public:
  Collected collected;
  std::uint64_t data_len = 0;
  std::vector<std::uint64_t> block_offsets;
  std::vector<std::uint64_t> micro_offsets;  // run starts from the writer's first byte
  std::vector<Codec> codecs;
  std::vector<std::pair<paircode::Code, paircode::Code>> header_codes;

  // Settles `collected` with `table` and writes its blocks; clears `collected`.
  void write(const fsst::Table& table, const Phrases& phrases,
             const std::function<void(std::span<const std::uint8_t>)>& emit);

 private:
  std::vector<paircode::Pair> pair_list_;
  std::vector<std::uint16_t> inv_entry_, inv_restart_;
  std::vector<std::uint8_t> block_buf_;
};

// The encoded result of one range of whole shards; offsets are measured inside the range.
struct Part {
  std::vector<std::uint8_t> heads;
  std::vector<std::uint64_t> head_ends;
  std::vector<std::uint64_t> block_offsets;
  std::vector<std::uint64_t> micro_offsets;
  std::vector<std::uint8_t> block_data;
  std::vector<std::pair<paircode::Code, paircode::Code>> header_codes;
  std::vector<Codec> tables;
};

Part encode_range(std::span<const std::string_view> keys, std::uint64_t block, std::uint64_t micro,
                  std::span<const fsst::Table> tables, const Phrases& phrases,
                  std::uint64_t blocks_per_shard, std::uint64_t first_block);

// Training pieces per shard (max(S, 1) lists): sampled key suffixes cut the way the blocks code
// them. `all` takes every group of 256 keys, else a stride per shard.
std::vector<std::vector<std::string_view>> build_pieces(std::span<const std::string_view> keys,
                                                        std::uint64_t block, std::uint64_t micro,
                                                        bool all);

// One symbol table per piece list, trained with a limit of 255, on up to `threads` workers.
std::vector<fsst::Table> train_shards(std::span<const std::vector<std::string_view>> pieces,
                                      unsigned threads);

// The per-block samples: the up to 8 head bytes after `head_prefix`, big-endian, zero-padded.
std::vector<std::uint64_t> samples_of(std::span<const std::uint8_t> heads,
                                      std::span<const std::uint64_t> head_ends,
                                      std::uint64_t head_prefix);

// The result of a lookup: the key's id when found, else its insertion rank.
struct Found {
  bool found;
  std::uint64_t id;
  friend bool operator==(const Found&, const Found&) = default;
};

// Where a dictionary's bytes went.
struct Sections {
  std::uint64_t header = 0;
  std::uint64_t tables = 0;
  std::uint64_t header_codes = 0;
  std::uint64_t phrases = 0;
  std::uint64_t heads = 0;
  std::uint64_t head_ends = 0;
  std::uint64_t block_offsets = 0;
  std::uint64_t micro_offsets = 0;
  std::uint64_t restart_headers = 0;
  std::uint64_t restart_wide = 0;
  std::uint64_t restart_codes = 0;
  std::uint64_t entry_headers = 0;
  std::uint64_t entry_wide = 0;
  std::uint64_t entry_codes = 0;
  std::uint64_t restarts = 0;
  std::uint64_t entries = 0;
  std::uint64_t wide = 0;
  // The fourteen byte rows added up.
  std::uint64_t total_bytes() const noexcept;
};

// One run of a block as a walk sees it.
struct RunView {
  const Codec* codec;
  const paircode::Code* code;
  std::span<const std::uint8_t> bytes;
  std::uint64_t covered;  // keys the run covers with its base key; covered - 1 entries
};

// The walk state over one run: `DictIndex::advance` steps it one entry at a time. A run whose
// header area does not fit its bytes opens as an empty walk whose first step fails.
class RunWalk {
 public:
  RunWalk() = default;
  explicit RunWalk(const RunView& view);

  bool valid() const noexcept { return valid_; }
  std::uint64_t entries() const noexcept { return entries_; }
  std::uint64_t entry() const noexcept { return entry_; }
  // The next entry's pair and the first bit of its units; advances past both. False when the
  // run is exhausted or its bytes are inconsistent.
  bool next_pair(paircode::Pair& pair, std::uint64_t& start);
  std::span<const std::uint8_t> stream() const noexcept { return {stream_, stream_len_}; }
  std::uint64_t packed_len() const noexcept { return packed_len_; }
  std::uint64_t wide_bytes() const noexcept { return wide_; }
  std::uint64_t escapes() const noexcept { return escapes_; }

 private:
  const std::uint8_t* run_ = nullptr;
  std::size_t run_len_ = 0;
  std::uint64_t packed_len_ = 0;
  const std::uint8_t* stream_ = nullptr;
  std::size_t stream_len_ = 0;
  std::uint64_t stream_bits_ = 0;
  std::uint64_t bit_ = 0;
  std::uint64_t max_units_ = 0;
  unsigned unit_bits_ = 8;
  std::uint64_t word_bit_ = 0;
  unsigned word_width_ = 0;
  std::uint64_t word_mask_ = 0;
  bool tag0_ = true;
  std::uint64_t sb_ = 0, lb_ = 0;
  unsigned q_ = 0;
  const std::uint16_t* table_ = nullptr;
  std::size_t count_ = 0;
  std::uint64_t entry_ = 0, entries_ = 0;
  std::uint64_t wide_ = 0, escapes_ = 0;
  bool valid_ = false;
};

class DictIndex;

// A sequential walk of (key, id) from a given id to the end. A run that cannot be decoded is
// recorded and raised as an `IndexError`, never taken for the end of the keys.
class KeyIter {
 public:
  explicit KeyIter(const DictIndex& index, std::uint64_t first);
  // Moves to the next key; false at the end. Throws `IndexError::format` ("dict: a block of the
  // index cannot be decoded") when the walk fails, and keeps failing afterwards.
  bool next();
  std::string_view key() const noexcept { return current_.view(); }
  std::span<const std::uint8_t> key_bytes() const noexcept { return current_.span(); }
  std::uint64_t id() const noexcept { return id_; }
  bool failed() const noexcept { return failed_; }

 private:
  bool step();
  const DictIndex* index_;
  std::uint64_t next_;
  std::uint64_t id_ = 0;
  bool primed_ = false;
  bool failed_ = false;
  room::Bytes restart_;
  room::Bytes current_;
  RunWalk restart_walk_;
  RunWalk micro_walk_;
};

inline constexpr const char* kWalkFailed = "dict: a block of the index cannot be decoded";
inline constexpr const char* kKeyTooLong = "dict: a key longer than the run budget";
inline constexpr const char* kStreamChanged = "dict: the key stream changed between passes";
inline constexpr const char* kSourceFailed = "dict: the input iterable raised before it ended";
// The external-sort run of the streamed build: 256 MiB of key bytes (at most 32 Mi keys).
inline constexpr std::uint64_t kRunBudget = 268435456;

// What the first pass of a streamed build keeps for the second: the heads and their packed ends,
// the build parameters, one trained table per shard and the phrases.
struct FirstPass {
  std::vector<std::uint8_t> heads;
  offsets::Packed head_ends;
  unsigned head_ends_width = 0;
  std::uint64_t keys = 0;
  std::uint64_t block = 1;
  std::uint64_t micro = 1;
  std::uint64_t micro_per_block = 1;
  std::uint64_t blocks_per_shard = 1;
  std::uint64_t shards = 1;
  std::uint64_t head_prefix = 0;
  std::vector<fsst::Table> tables;
  Phrases phrases = Phrases::none();
};

class DictIndex {
 public:
  // Builds from keys in any order (repeats allowed). Refuses a block outside 1..=1024 with
  // "dict: block must be in 1..=1024". Threads: the online processors, at most one per 64 blocks.
  static DictIndex build_with_block(std::span<const std::string_view> keys, std::uint64_t block);
  // The same with the thread count given (at least 1); the blob does not depend on it.
  static DictIndex build_with_threads(std::span<const std::string_view> keys, std::uint64_t block,
                                      unsigned threads);
  // Encodes sorted distinct keys with the given tables (shard s uses tables[min(s, count - 1)],
  // at least one) and phrases, on `threads` workers (at least 1). Never fails.
  static DictIndex from_vocabulary(std::span<const std::string_view> keys, std::uint64_t block,
                                   std::uint64_t micro, unsigned threads,
                                   std::span<const fsst::Table> tables, const Phrases& phrases);
  // Streams keys in any order (repeats allowed) into a "BDX3" file at `path` by an external sort
  // whose runs spill beside the output, a first pass over the sorted keys (heads, training
  // pieces, tables) and a second pass that writes the blob. Returns the number of distinct keys.
  // The file is byte for byte `build_with_block(keys, block).save(path)`. Errors: the block
  // refusal, `kKeyTooLong` for a first key longer than the run budget, `kSourceFailed` when the
  // source failed, `kStreamChanged` when a replay differs, `Io` for file failures; the target is
  // then unchanged and no run directory or temporary file stays.
  static std::uint64_t build_to_file_runs(key_source::KeySource& keys,
                                          const std::filesystem::path& path, std::uint64_t block);
  // The command line's streamed build: `build_to_file_runs` with the block it settled on.
  static std::uint64_t build_to_file_with_block(key_source::KeySource& keys,
                                                const std::filesystem::path& path,
                                                std::uint64_t block);
  // The first pass over sorted distinct keys: two replays, then training on up to
  // min(shards, processors, 21) threads. `block` must be in 1..=1024.
  static FirstPass first_pass(extsort::Replay& replay, std::uint64_t block);
  // The second pass: replays the keys once more inside the atomic writer and writes the blob.
  // `source_failed` is asked once, after the header is written.
  static void write_sorted(extsort::Replay& replay, const FirstPass& first,
                           const std::function<bool()>& source_failed,
                           const std::filesystem::path& path);

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
  // The layout walk of a verified load.
  void check_layout() const;

  std::uint64_t serialized_len() const;
  // The 72 header bytes. Throws `IndexError::build` when a section is too long for its 32-bit
  // length field.
  std::array<std::uint8_t, kHeaderBytes> header() const;
  // Writes the blob through `sink`, which throws on failure.
  void write_to(const std::function<void(std::span<const std::uint8_t>)>& sink) const;
  std::vector<std::uint8_t> to_bytes() const;
  void save(const std::filesystem::path& path) const;
  Sections sections() const;

  std::uint64_t size() const noexcept { return keys_; }
  std::uint64_t block() const noexcept { return block_; }
  std::uint64_t micro() const noexcept { return micro_; }
  std::uint64_t micro_per_block() const noexcept { return micro_per_block_; }
  std::uint64_t blocks() const noexcept { return samples_.size(); }
  std::uint64_t shards() const noexcept { return tables_.size(); }
  std::uint64_t blocks_per_shard() const noexcept { return blocks_per_shard_; }
  std::uint64_t head_prefix() const noexcept { return head_prefix_; }
  const std::vector<Codec>& codecs() const noexcept { return tables_; }
  const std::vector<std::pair<paircode::Code, paircode::Code>>& header_codes() const noexcept {
    return header_codes_;
  }
  const phrase::Dict& phrases() const noexcept { return phrases_; }
  const std::vector<std::uint64_t>& samples() const noexcept { return samples_; }

  // Lookups. Keys are bytes; any number of threads may call these at once.
  Found locate(std::span<const std::uint8_t> key) const;
  Found locate(std::string_view key) const { return locate(bytes::as_bytes(key)); }
  // Finishes a lookup in block `boundary - 1` (boundary 0: before every key).
  Found locate_in(std::uint64_t boundary, std::span<const std::uint8_t> key) const;
  // The first block in [lo, hi) whose head sorts after `key`; hi when none.
  std::uint64_t head_boundary(std::span<const std::uint8_t> key, std::uint64_t lo,
                              std::uint64_t hi) const;
  std::optional<std::uint64_t> id(std::string_view key) const {
    const Found f = locate(key);
    return f.found ? std::optional<std::uint64_t>(f.id) : std::nullopt;
  }
  bool contains(std::string_view key) const { return locate(key).found; }

  // The key of `id` into `out` (emptied first). False when id >= size() or the block cannot be
  // decoded.
  bool key_bytes_into(std::uint64_t id, room::Bytes& out) const;
  // The key of `id` when it exists and is valid UTF-8.
  std::optional<std::string> key(std::uint64_t id) const;
  std::vector<std::optional<std::string>> keys_of(std::span<const std::uint64_t> ids) const;
  // Batched ids, equal to `locate` of each key: groups of 32 keys search the samples in lockstep.
  std::vector<std::optional<std::uint64_t>> ids_of(std::span<const std::string_view> keys) const;
  std::vector<std::optional<std::uint64_t>> ids_of_with(
      std::uint64_t n,
      const std::function<std::span<const std::uint8_t>(std::uint64_t)>& key_at) const;

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

  // Walking: the runs of block b and one-entry decoding.
  std::span<const std::uint8_t> head(std::uint64_t b) const;
  RunView restart_run(std::uint64_t b) const;
  RunView micro_run(std::uint64_t b, std::uint64_t j) const;
  std::uint64_t keys_in_block(std::uint64_t b) const;
  std::uint64_t micros_in_block(std::uint64_t b) const;
  // Decodes the walk's next entry into `key` (holding the previous key of the chain).
  bool advance(const Codec& codec, RunWalk& walk, room::Bytes& key) const;
  // Moves `out` (holding the run's base key) `steps` entries along the run, decoding only the
  // suffix bytes that survive.
  bool climb(const RunView& run, std::uint64_t steps, room::Bytes& out) const;

 private:
  friend class KeyIter;
  DictIndex() = default;
  std::uint64_t span_end(std::uint64_t b) const;
  std::uint64_t block_start(std::uint64_t b) const { return block_offsets_.get(b); }
  std::uint64_t block_end(std::uint64_t b) const;
  std::uint64_t micro_offset(std::uint64_t k) const;
  const Codec& codec_of(std::uint64_t b) const;
  const std::pair<paircode::Code, paircode::Code>& codes_of(std::uint64_t b) const;
  std::vector<std::uint8_t> small_sections(std::uint64_t& tables_len, std::uint64_t& codes_len,
                                           std::uint64_t& phrases_len) const;

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
  std::uint64_t block_ = 1;
  std::uint64_t micro_ = 1;
  std::uint64_t micro_per_block_ = 1;
  std::uint64_t keys_ = 0;
  std::uint64_t blocks_per_shard_ = 1;
  std::uint64_t head_prefix_ = 0;
};

namespace detail {
// The run limits of the streamed build, smaller in tests: the run budget, and the offset limit
// standing in for the 4 GiB that a run's 32-bit offsets address.
struct RunLimits {
  std::uint64_t budget = kRunBudget;
  std::uint64_t offset_limit = extsort::kMaxRunBytes;
};
// `DictIndex::build_to_file_runs` under the given run limits.
std::uint64_t build_to_file_runs_limits(key_source::KeySource& keys,
                                        const std::filesystem::path& path, std::uint64_t block,
                                        RunLimits limits);
}  // namespace detail

// The common prefix length of the first and last heads, capped at 65,535 (0 with no blocks).
std::uint64_t common_head(std::span<const std::uint8_t> heads, const offsets::Offsets& head_ends,
                          std::uint64_t blocks);

}  // namespace quenlith::dict_index
