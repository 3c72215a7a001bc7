// `build`: one index from a keys file, held in memory or streamed straight to the blob.
//
// The route is decided before anything is read: a regular keys file at least as large as the
// stream threshold streams, anything else (standard input, a pipe, a device, a smaller file) is
// read whole and built in memory. Either way the output path changes only by one rename of a
// fully written file, so a build that fails leaves an existing output as it was.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "bytes.hpp"
#include "cli.hpp"
#include "closed_hash.hpp"
#include "compact_hash.hpp"
#include "dict_index.hpp"
#include "fileio.hpp"
#include "key_source.hpp"
#include "perfect_hash.hpp"
#include "string_index.hpp"
#include "threads.hpp"

namespace quenlith::cli {

namespace {

constexpr std::uint64_t kFallbackThreshold = std::uint64_t{1} << 30;  // 1 GiB
// The fingerprint width of a CompactHashIndex built here.
constexpr std::uint32_t kFingerprintBits = 8;

std::optional<std::string> read_meminfo() {
  try {
    const std::vector<std::uint8_t> bytes = fileio::read_file("/proc/meminfo");
    if (!bytes::is_utf8(bytes)) return std::nullopt;
    return std::string(bytes.begin(), bytes.end());
  } catch (const IndexError&) {
    return std::nullopt;
  }
}

std::uint64_t stream_threshold(const StreamMode& mode) {
  switch (mode.kind) {
    case StreamMode::Kind::Always:
      return 0;
    case StreamMode::Kind::Size:
      return mode.size;
    case StreamMode::Kind::Auto:
    case StreamMode::Kind::Never:
      break;
  }
  return threshold_from_meminfo(read_meminfo());
}

// Whether the keys file streams: a regular file (symbolic links followed) of at least the
// threshold. A path that cannot be examined does not stream.
bool streams(const Cmd& cmd, const std::string& keys_path) {
  if (cmd.stream.kind == StreamMode::Kind::Never) return false;
  const std::uint64_t threshold = stream_threshold(cmd.stream);
  struct stat st;
  if (keys_path == "-" || keys_path.find('\0') != std::string::npos ||
      ::stat(keys_path.c_str(), &st) != 0)
    return false;
  return S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) >= threshold;
}

// "wrote <path>: <kind> over <n> keys, <bytes> bytes (<bytes/key> B/key)".
void note_written(IndexKind kind, std::uint64_t keys, const std::string& path, Output& err) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw Fail::work(path + ": " + os_error_text(errno));
  const auto size = static_cast<std::uint64_t>(st.st_size);
  char per_key[64];
  std::snprintf(per_key, sizeof per_key, "%.2f",
                static_cast<double>(size) / static_cast<double>(keys == 0 ? 1 : keys));
  put(err, "wrote " + path + ": " + estimate::kind_name(kind) + " over " + std::to_string(keys) +
               " keys, " + std::to_string(size) + " bytes (" + per_key + " B/key)\n");
}

// One pass of the keys file as the transducer build pulls it, key by key out of the batches. A
// failed pass reads as a failed source, so the builder stops without writing; the route reports
// the keys file's own failure.
class StringKeys final : public string_index::KeySource {
 public:
  explicit StringKeys(key_source::KeysFile& source) : source_(source), pass_(source.open_pass()) {}
  std::optional<std::string_view> next() override {
    while (at_ == batch_.size()) {
      if (!pass_->next_batch(batch_)) return std::nullopt;
      at_ = 0;
    }
    return batch_[at_++];
  }
  bool failed() const noexcept override { return source_.failed(); }

 private:
  key_source::KeysFile& source_;
  std::unique_ptr<key_source::KeyStream> pass_;
  key_source::KeyBatch batch_;
  std::size_t at_ = 0;
};

// Runs the streamed builder of `kind` over the keys file, writing its blob at `partial`.
std::uint64_t build_streamed(IndexKind kind, key_source::KeysFile& source,
                             const std::filesystem::path& partial,
                             std::optional<std::uint64_t> block) {
  switch (kind) {
    case IndexKind::StringIndex: {
      StringKeys keys(source);
      return string_index::StringIndex::build_to_file(keys, partial);
    }
    case IndexKind::PerfectHashIndex:
      return perfect_hash::PerfectHashIndex::build_to_file(source, partial);
    case IndexKind::CompactHashIndex:
      return compact_hash::CompactHashIndex::build_bits_to_file(source, partial);
    case IndexKind::ClosedHashIndex:
      return closed_hash::ClosedHashIndex::build_to_file(source, partial);
    case IndexKind::DictIndex:
      return dict_index::DictIndex::build_to_file_with_block(source, partial,
                                                             block.value_or(kDefaultBlock));
  }
  panic("an index kind is one of the five kind codes");
}

// The partial output of a streamed build, removed on every way out but the final rename.
class PartialOutput {
 public:
  explicit PartialOutput(std::filesystem::path path) : path_(std::move(path)) {}
  PartialOutput(const PartialOutput&) = delete;
  PartialOutput& operator=(const PartialOutput&) = delete;
  ~PartialOutput() {
    if (!renamed_) ::unlink(path_.c_str());  // absent already when the builder failed early
  }
  const std::filesystem::path& path() const noexcept { return path_; }

  // Gives the partial output the permission bits of an existing output, as the atomic writer
  // does for its temporary file, so that replacing a 0600 blob never widens who may read it;
  // then renames it onto the output. The partial output is removed when this throws.
  void rename_onto(const std::string& output) {
    // A device, pipe or socket at the output is refused as the atomic writer refuses it.
    try {
      fileio::refuse_special_target(output);
    } catch (const IndexError& e) {
      throw Fail::work(output + ": " + e.message());
    }
    struct stat st;
    if (::stat(output.c_str(), &st) == 0) {
      while (::chmod(path_.c_str(), st.st_mode & 07777) != 0 && errno == EINTR) {}
    }
    if (::rename(path_.c_str(), output.c_str()) != 0)
      throw Fail::work(output + ": " + os_error_text(errno));
    renamed_ = true;
  }

 private:
  std::filesystem::path path_;
  bool renamed_ = false;
};

// The streamed route: the builder writes the partial output beside the output, which replaces
// the output only when both the builder and every pass over the keys file succeeded. A failure
// of the keys file wins over the builder's own (which may only be a consequence of it).
std::uint64_t stream_to(IndexKind kind, const std::string& keys_path, const std::string& output,
                        std::optional<std::uint64_t> block, std::uint64_t& skipped) {
  key_source::KeysFile source(keys_path);
  PartialOutput partial(partial_path(output, ::getpid()));
  std::uint64_t n = 0;
  std::optional<Fail> builder;
  try {
    n = build_streamed(kind, source, partial.path(), block);
  } catch (const IndexError& e) {
    builder = Fail::from(e);
  } catch (Fail& f) {
    builder = std::move(f);
  }
  if (source.failure()) throw Fail::work(*source.failure());
  if (builder) throw std::move(*builder);
  partial.rename_onto(output);
  skipped = source.skipped();
  return n;
}

}  // namespace

std::uint64_t threshold_from_meminfo(std::optional<std::string_view> meminfo) {
  if (!meminfo) return kFallbackThreshold;
  std::string_view rest = *meminfo;
  while (!rest.empty()) {
    const std::size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() < 13 || !line.starts_with("MemAvailable:")) continue;
    // The second whitespace-separated word is the figure in kilobytes.
    std::istringstream words{std::string(line)};
    std::string first, second;
    if (!(words >> first >> second)) return kFallbackThreshold;
    std::string_view digits = second;
    if (digits.starts_with('+')) digits.remove_prefix(1);
    if (digits.empty()) return kFallbackThreshold;
    std::uint64_t kib = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return kFallbackThreshold;
      const std::optional<std::uint64_t> tens = bytes::checked_mul(kib, 10);
      if (!tens) return kFallbackThreshold;
      const std::optional<std::uint64_t> next =
          bytes::checked_add(*tens, static_cast<std::uint64_t>(c - '0'));
      if (!next) return kFallbackThreshold;
      kib = *next;
    }
    const std::optional<std::uint64_t> total = bytes::checked_mul(kib, 1024);
    if (!total) return kFallbackThreshold;
    return *total / 4;
  }
  return kFallbackThreshold;
}

std::filesystem::path partial_path(const std::filesystem::path& output, long pid) {
  const std::string suffix = ".part." + std::to_string(pid);
  const std::filesystem::path name = output.filename();
  if (name.empty() || name == "." || name == "..") return output / suffix;
  std::filesystem::path partial = output;
  partial.replace_filename(name.native() + suffix);
  return partial;
}

std::uint64_t build_and_save(IndexKind kind, std::span<const std::string_view> keys,
                             const std::filesystem::path& output,
                             std::optional<std::uint64_t> block) {
  const unsigned threads = threads::available();
  switch (kind) {
    case IndexKind::CompactHashIndex: {
      auto index = compact_hash::CompactHashIndex::build_from_pairs(
          compact_hash::hash_keys(keys, threads), kFingerprintBits);
      index.save(output);
      return index.len();
    }
    case IndexKind::ClosedHashIndex: {
      auto index =
          closed_hash::ClosedHashIndex::build_from_pairs(compact_hash::hash_keys(keys, threads));
      index.save(output);
      return index.len();
    }
    case IndexKind::PerfectHashIndex: {
      auto index = perfect_hash::PerfectHashIndex::build_with(keys, false);
      index.save(output);
      return index.len();
    }
    case IndexKind::StringIndex: {
      auto index = string_index::StringIndex::build(keys);
      index.save(output);
      return index.len();
    }
    case IndexKind::DictIndex: {
      auto index = dict_index::DictIndex::build_with_block(keys, block.value_or(kDefaultBlock));
      index.save(output);
      return index.size();
    }
  }
  panic("an index kind is one of the five kind codes");
}

void cmd_build(const Cmd& cmd, Streams& s) {
  if (cmd.block && cmd.index != IndexKind::DictIndex)
    throw Fail::usage("--block is the DictIndex block size and needs `--index dict`");
  const std::string& keys_path = cmd.positionals[0];
  const std::string& output = cmd.positionals[1];
  const bool streamed = streams(cmd, keys_path);
  IndexKind kind = IndexKind::DictIndex;
  std::optional<std::uint64_t> block = cmd.block;
  std::optional<Keys> keys;
  if (cmd.index) {
    kind = *cmd.index;
  } else {
    // The planner's winner, with its block; keys from standard input are read once, here.
    const estimate::Plan plan = plan_keys(cmd, s, keys);
    put(s.err, plan.text());
    note_implied_exact(cmd.exact_implied, plan.needs, s.err);
    kind = plan.estimates.front().kind;
    block = plan.estimates.front().block;
  }
  if (streamed && !keys) {
    std::uint64_t skipped = 0;
    const std::uint64_t n = stream_to(kind, keys_path, output, block, skipped);
    note_skipped(keys_path, skipped, s.err);
    note_written(kind, n, output, s.err);
    return;
  }
  if (!keys) {
    keys = read_keys(keys_path, s.in);
    note_skipped(keys_path, keys->skipped, s.err);
  }
  const std::uint64_t n = build_and_save(kind, keys->keys(), output, block);
  note_written(kind, n, output, s.err);
}

}  // namespace quenlith::cli
