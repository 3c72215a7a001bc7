// Internals of the dictionary, shared by its source files and its tests: the codec of a shard's
// suffixes, the collection and writing of shards, the training-piece sampler, the blob's list of
// sections and the one writer of both builds, the walk over one run, and the two passes of the
// streamed build.
//
// Nothing here is part of the library's interface: the dictionary is `DictIndex`
// (dict_index.hpp).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "dict_index.hpp"
#include "extsort.hpp"
#include "packed.hpp"

namespace quenlith::dict_index {

inline constexpr std::uint64_t kNoLimit = UINT64_MAX;

// Where a writer hands its bytes; it throws on failure.
using Sink = std::function<void(std::span<const std::uint8_t>)>;

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
  // `decode_into` by kind: packed units, or the code bytes of kind 0 or kind 2.
  bool decode_packed(std::span<const std::uint8_t> stream, std::uint64_t start_bit,
                     std::uint64_t units, room::Bytes& out, std::uint64_t want) const;
  template <bool kPhrased>
  bool decode_coded(const phrase::Dict& phrases, std::span<const std::uint8_t> coded,
                    room::Bytes& out, std::uint64_t want) const;

  Kind kind_ = Kind::Table;
  fsst::Table table_;
  unsigned slots_ = 0;
  unsigned leads_ = 0;
  packed::Alphabet alphabet_;
};

// Appends the tables section: each codec's record behind its u32 length.
void write_codecs(std::span<const Codec> codecs, std::vector<std::uint8_t>& out);

// The rule that admits the phrase codec: it must save more than 3 % against the best other.
inline bool saves_enough(std::uint64_t price, std::uint64_t best) {
  return static_cast<unsigned __int128>(price) * 100 < static_cast<unsigned __int128>(best) * 97;
}

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
  // Codes every entry's suffix with phrase tokens: symbols of `encoder` below `s`, phrases of
  // `trie` behind the lead bytes (`t` of them for three-byte tokens), into `phrase_coded`.
  void code_phrases(const fsst::Encoder& encoder, const phrase::Trie& trie, unsigned s,
                    unsigned t, phrase::Scratch& scratch);
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

// What a run of shards wrote: its codecs and pair codes, one pair a shard, and the offsets of
// its blocks and runs from its first byte of block data.
struct Written {
  std::uint64_t data_len = 0;
  std::vector<std::uint64_t> block_offsets;
  std::vector<std::uint64_t> micro_offsets;  // every run but the restart run
  std::vector<Codec> codecs;
  std::vector<std::pair<paircode::Code, paircode::Code>> header_codes;
};

// Settles one shard's collected blocks and writes them out: codec and pair codes chosen once,
// then every block's runs, the block bytes going to `emit`.
class ShardWriter {
 public:
  Collected collected;
  Written written;

  // Settles `collected` with `table` and writes its blocks; clears `collected`.
  void write(const fsst::Table& table, const Phrases& phrases, const Sink& emit);

 private:
  std::vector<paircode::Pair> pair_list_;
  std::vector<std::uint16_t> inv_entry_, inv_restart_;
  std::vector<std::uint8_t> block_buf_;
};

// The encoded result of one range of whole shards; offsets are measured inside the range.
struct Part {
  std::vector<std::uint8_t> heads;
  std::vector<std::uint64_t> head_ends;
  std::vector<std::uint8_t> block_data;
  Written written;
};

Part encode_range(std::span<const std::string_view> keys, std::uint64_t block, std::uint64_t micro,
                  std::span<const fsst::Table> tables, const Phrases& phrases,
                  std::uint64_t blocks_per_shard, std::uint64_t first_block);

// Training and mining use at most this many threads, in the in-memory and the streamed build.
inline constexpr unsigned kMaxTrainThreads = 21;

// The training pieces of keys given in order, one at a time: a sampled key's suffix cut the way
// its block codes it (against the previous restart for a microblock's first key, else against
// its predecessor), in the list of its shard. `all` takes every group of 256 keys of a shard,
// else every stride-th with stride max(keys of the shard / 10,000, 1). `Key` holds the previous
// key and restart: `std::string_view` when the keys outlive the walk, else `std::string`.
template <class Key>
class PieceSampler {
 public:
  PieceSampler(std::uint64_t n, std::uint64_t block, std::uint64_t micro, bool all);
  std::uint64_t shards() const noexcept { return shards_; }
  // The piece of the next key and its shard, when sampled.
  std::optional<std::pair<std::uint64_t, std::string_view>> next(std::string_view key);

 private:
  std::uint64_t n_, block_, micro_, shard_keys_, shards_;
  bool all_;
  std::uint64_t i_ = 0, stride_ = 1;
  Key prev_, restart_;
};

// ---- the blob's sections ----

// The sections after the header, in blob order (drawn in dict_index.cpp). Every reader and
// writer of the blob walks them in this order.
enum class Section : unsigned {
  Heads,
  HeadEndsSamples,
  HeadEndsDeltas,
  BlockData,
  Tables,
  HeaderCodes,
  Phrases,
  BlockOffsetsSamples,
  BlockOffsetsDeltas,
  MicroOffsets,
};
inline constexpr std::size_t kSections = 10;
// Calls `f(section)` for every section in blob order.
template <class F>
void for_each_section(F&& f) {
  for (std::size_t i = 0; i < kSections; ++i) f(static_cast<Section>(i));
}
template <class T>
using BySection = std::array<T, kSections>;  // indexed by `Section`
inline std::size_t at(Section s) { return static_cast<std::size_t>(s); }

// Every section's length as header `h` states or implies it. The counts and widths are those
// the loader admitted. Throws `IndexError::format` "dict: block count out of range" when the
// offset arrays overflow 64 bits.
BySection<std::uint64_t> section_lens(const Header& h);

// The serialized tables, header codes and phrases sections. Throws `IndexError::build` when one
// is longer than its 32-bit length field.
struct SmallSections {
  std::vector<std::uint8_t> tables, codes, phrases;
};
SmallSections small_sections(std::span<const Codec> codecs,
                             std::span<const std::pair<paircode::Code, paircode::Code>> codes,
                             const phrase::Dict& phrases);

// An array of offsets packed with the width of its largest spread from a group's sample.
struct PackedOffsets {
  offsets::Packed packed;
  unsigned width = 0;
  static PackedOffsets of(std::span<const std::uint64_t> values);
};

// What a build knows before its block data: the parameters, the heads and their packed ends.
struct Lead {
  std::uint64_t keys = 0;
  std::uint64_t block = 1;
  std::uint64_t micro = 1;
  std::uint64_t micro_per_block = 1;
  std::uint64_t blocks_per_shard = 1;
  std::vector<std::uint8_t> heads;
  PackedOffsets head_ends;
  std::uint64_t head_prefix = 0;

  // The lead of `keys` keys whose block heads are `heads`, block i's ending at `ends[i]`.
  static Lead of(std::uint64_t keys, std::uint64_t block, std::uint64_t micro,
                 std::vector<std::uint8_t> heads, std::span<const std::uint64_t> ends);
};

// The build's one writer: hands the blob after its header to `out` in blob order, hashing as it
// goes: the lead's sections, the block data that `encode(emit)` writes, then the tail made from
// what it returns (the codecs, pair codes and `phrases` when a shard uses them, the block
// offsets and the run offsets from their blocks). Returns the header. Errors: those of `out` and
// `encode`, and `small_sections`'.
Header write_blob(const Sink& out, const Lead& lead, const phrase::Dict& phrases,
                  const std::function<Written(const Sink& emit)>& encode);

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

// What the first pass of a streamed build keeps for the second: the lead, one trained table per
// shard and the phrases.
struct FirstPass {
  Lead lead;
  std::uint64_t shards = 1;
  std::vector<fsst::Table> tables;
  Phrases phrases = Phrases::none();
};

// The first pass over sorted distinct keys: two replays, then training on up to
// min(shards, processors, 21) threads. `block` must be in 1..=1024.
FirstPass first_pass(extsort::Replay& replay, std::uint64_t block);
// The second pass: replays the keys once more inside the atomic writer and writes the blob.
// `source_failed` is asked once, after the header is written.
void write_sorted(extsort::Replay& replay, const FirstPass& first,
                  const std::function<bool()>& source_failed, const std::filesystem::path& path);

namespace detail {
// The run limits of the streamed build, smaller in tests: the run budget, and the offset limit
// standing in for the 4 GiB that a run's 32-bit offsets address.
struct RunLimits {
  std::uint64_t budget = extsort::kRunBudget;
  std::uint64_t offset_limit = extsort::kMaxRunBytes;
};
// `DictIndex::build_to_file_runs` under the given run limits.
std::uint64_t build_to_file_runs_limits(key_source::KeySource& keys,
                                        const std::filesystem::path& path, std::uint64_t block,
                                        RunLimits limits);
}  // namespace detail

// The head prefix: the common prefix length of the first and last heads, capped at 65,535.
std::uint64_t common_head(std::span<const std::uint8_t> first, std::span<const std::uint8_t> last);

// The sample of a head, or of a key sought among the heads: its up to 8 bytes after
// `head_prefix`, big-endian, zero-padded. Samples keep the order of the keys they come from
// (a key below a head has a sample no greater than the head's).
inline std::uint64_t sample_of(std::span<const std::uint8_t> head, std::uint64_t head_prefix) {
  std::uint64_t v = 0;
  for (unsigned k = 0; k < 8; ++k) {
    const std::uint64_t at = head_prefix + k;
    v = v << 8 | (at < head.size() ? head[at] : 0);
  }
  return v;
}

}  // namespace quenlith::dict_index
