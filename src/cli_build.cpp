// `build`: one index from a keys file, held in memory or streamed straight to the blob.
//
// Before anything is read, the output is checked: the keys file itself (however named), a
// device, pipe or socket, and a link to one or to a process's descriptor are refused. The route is
// then decided: a regular keys file at least as large as the stream threshold streams; a smaller
// one, and standard input, is read whole and built in memory. A keys path that is neither (a pipe,
// a device, a socket) is read exactly once, since a second open would find other bytes or none:
// held in memory while it stays below the threshold, else copied beside the output and streamed
// from the copy, so that it builds what a regular file of the same bytes builds. Either way the
// output path changes only by one rename of a fully written file, so a build that fails leaves an
// existing output as it was.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// The stream threshold; none under `--stream never`.
std::optional<std::uint64_t> stream_threshold(const StreamMode& mode) {
  switch (mode.kind) {
    case StreamMode::Kind::Always:
      return 0;
    case StreamMode::Kind::Size:
      return mode.size;
    case StreamMode::Kind::Never:
      return std::nullopt;
    case StreamMode::Kind::Auto:
      break;
  }
  return threshold_from_meminfo(read_meminfo());
}

// The status of a path, symbolic links followed; none when it cannot be examined.
std::optional<struct stat> status_of(const std::string& path) {
  struct stat st;
  if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  return st;
}

// Whether the keys file streams: a regular file of at least the threshold.
bool streams(const std::string& keys_path, std::optional<std::uint64_t> threshold) {
  if (!threshold || keys_path == "-") return false;
  const std::optional<struct stat> st = status_of(keys_path);
  return st && S_ISREG(st->st_mode) && static_cast<std::uint64_t>(st->st_size) >= *threshold;
}

// Whether the keys path can be read only once: a pipe, a device or a socket. A regular file, a
// directory and a path that cannot be examined are left to the reads, which report them.
bool read_once(const std::string& keys_path) {
  if (keys_path == "-") return false;
  const std::optional<struct stat> st = status_of(keys_path);
  return st && !S_ISREG(st->st_mode) && !S_ISDIR(st->st_mode);
}

// Refuses an output that is the keys file itself, whatever names the two paths give it (a hard
// link, another spelling, standard input redirected from the output): building would replace the
// keys with the blob.
void refuse_keys_as_output(const std::string& keys_path, const std::string& output, Input& in) {
  struct stat keys;
  if (keys_path == "-") {
    if (::fstat(in.fd(), &keys) != 0) return;
  } else {
    const std::optional<struct stat> st = status_of(keys_path);
    if (!st) return;
    keys = *st;
  }
  const std::optional<struct stat> out = status_of(output);
  if (out && out->st_dev == keys.st_dev && out->st_ino == keys.st_ino)
    throw Fail::work("the output `" + output + "` is the keys file `" + keys_path +
                     "`: the blob would replace the keys it is built from");
}

// "wrote <path>: <kind> over <n> keys, <bytes> bytes (<bytes/key> B/key)".
void note_written(IndexKind kind, Written written, const std::string& path, Output& err) {
  const auto [keys, size] = written;
  char per_key[64];
  std::snprintf(per_key, sizeof per_key, "%.2f",
                static_cast<double>(size) / static_cast<double>(keys == 0 ? 1 : keys));
  put(err, "wrote " + path + ": " + estimate::kind_name(kind) + " over " + std::to_string(keys) +
               " keys, " + std::to_string(size) + " bytes (" + per_key + " B/key)\n");
}

// Runs the streamed builder of `kind` over the keys file, writing its blob at `partial`.
std::uint64_t build_streamed(IndexKind kind, key_source::KeysFile& source,
                             const std::filesystem::path& partial,
                             std::optional<std::uint64_t> block) {
  switch (kind) {
    case IndexKind::StringIndex:
      return string_index::StringIndex::build_to_file(source, partial);
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

// The partial output of a streamed build, removed on every way out but the final rename. It is
// entered in the scratch list before the builder makes the temporary that its rename turns into
// the partial output, so the clean-up on a signal, newest first, removes it after that temporary.
class PartialOutput {
 public:
  explicit PartialOutput(std::filesystem::path path)
      : path_(std::move(path)), entry_(scratch::track(path_, scratch::Kind::File)) {}
  PartialOutput(const PartialOutput&) = delete;
  PartialOutput& operator=(const PartialOutput&) = delete;
  ~PartialOutput() {
    if (!renamed_) ::unlink(path_.c_str());  // absent already when the builder failed early
  }
  const std::filesystem::path& path() const noexcept { return path_; }

  // Gives the partial output the permission bits of an existing output, as the atomic writer
  // does for its temporary file, so that replacing a 0600 blob never widens who may read it;
  // then renames it onto the output and returns its length, taken from the partial output before
  // the rename (the output's name may be another process's file by the time it is looked at). The
  // partial output is removed when this throws.
  std::uint64_t rename_onto(const std::string& output) {
    // A device, pipe or socket that appeared at the output during the build is refused as the
    // atomic writer refuses it.
    fileio::refuse_special_target(output);
    if (const std::optional<unsigned> mode = fileio::replaced_mode(output)) {
      while (::chmod(path_.c_str(), *mode) != 0 && errno == EINTR) {}
    }
    struct stat st;
    if (::stat(path_.c_str(), &st) != 0)
      throw Fail::work(path_.string() + ": " + os_error_text(errno));
    if (const int error = fileio::rename_over(path_, output))
      throw Fail::work(output + ": " + os_error_text(error));
    renamed_ = true;
    entry_.release();
    return static_cast<std::uint64_t>(st.st_size);
  }

 private:
  std::filesystem::path path_;
  scratch::Entry entry_;
  bool renamed_ = false;
};

// The streamed route: the builder writes the partial output beside the output, which replaces
// the output only when both the builder and every pass over the keys file succeeded. A failure
// of the keys file wins over the builder's own (which may only be a consequence of it).
Written stream_to(IndexKind kind, const std::string& keys_path, const std::string& shown,
                  const std::string& output, std::optional<std::uint64_t> block,
                  std::uint64_t& skipped) {
  key_source::KeysFile source(keys_path, shown);
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
  const std::uint64_t bytes = partial.rename_onto(output);
  skipped = source.skipped();
  return {n, bytes};
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

namespace {

// `output` with `suffix` appended to its final component, or as a new component when it has none.
std::filesystem::path beside(const std::filesystem::path& output, const std::string& suffix) {
  const std::filesystem::path name = output.filename();
  if (name.empty() || name == "." || name == "..") return output / suffix;
  std::filesystem::path partial = output;
  partial.replace_filename(name.native() + suffix);
  return partial;
}

}  // namespace

std::filesystem::path partial_path(const std::filesystem::path& output, long pid) {
  return beside(output, ".part." + std::to_string(pid));
}

std::filesystem::path spill_path(const std::filesystem::path& output, long pid) {
  return beside(output, ".keys." + std::to_string(pid));
}

Written build_and_save(IndexKind kind, std::span<const std::string_view> keys,
                       const std::filesystem::path& output, std::optional<std::uint64_t> block) {
  // Every index's `save` writes exactly its `serialized_len()` bytes.
  const auto save = [&](const auto& index, std::uint64_t len) {
    index.save(output);
    return Written{len, index.serialized_len()};
  };
  const unsigned threads = threads::available();
  switch (kind) {
    case IndexKind::CompactHashIndex: {
      const auto index = compact_hash::CompactHashIndex::build_from_pairs(
          compact_hash::hash_keys(keys, threads), kFingerprintBits);
      return save(index, index.len());
    }
    case IndexKind::ClosedHashIndex: {
      const auto index =
          closed_hash::ClosedHashIndex::build_from_pairs(compact_hash::hash_keys(keys, threads));
      return save(index, index.len());
    }
    case IndexKind::PerfectHashIndex: {
      const auto index = perfect_hash::PerfectHashIndex::build_with(keys, false);
      return save(index, index.len());
    }
    case IndexKind::StringIndex: {
      const auto index = string_index::StringIndex::build(keys);
      return save(index, index.len());
    }
    case IndexKind::DictIndex: {
      const auto index =
          dict_index::DictIndex::build_with_block(keys, block.value_or(kDefaultBlock));
      return save(index, index.size());
    }
  }
  panic("an index kind is one of the five kind codes");
}

namespace {

// The index to build and its block.
struct Choice {
  IndexKind kind;
  std::optional<std::uint64_t> block;
};

// The planner's winner, with its block, after the plan and the implied-exact notice are written.
Choice take_winner(const Cmd& cmd, const estimate::Plan& plan, Output& err) {
  put(err, plan.text());
  note_implied_exact(cmd.exact_implied, plan.needs, err);
  return {plan.estimates.front().kind, plan.estimates.front().block};
}

// A private copy of a keys file beside the output, removed on every way out. Its failures are
// the `IndexError`s of a builder's own files beside the output, and read the same.
class Spill {
 public:
  explicit Spill(std::filesystem::path path) : path_(std::move(path)) {
    entry_ = scratch::create(path_, scratch::Kind::File,
                             [&] { file_ = fileio::File::create_new(path_, 0600); });
  }
  Spill(const Spill&) = delete;
  Spill& operator=(const Spill&) = delete;
  ~Spill() { ::unlink(path_.c_str()); }

  const std::filesystem::path& path() const noexcept { return path_; }
  void write(std::span<const char> bytes) {
    file_.write_all({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
  }
  void close() noexcept { file_.close(); }

 private:
  std::filesystem::path path_;
  fileio::File file_;
  scratch::Entry entry_;
};

// Reads a keys path that can be read only once, in full and exactly once, and builds from it what
// a regular file of the same bytes builds, with the same lines on standard error. Below the
// threshold the bytes are held and built in memory; from the threshold on they are copied beside
// the output and the copy is streamed, its messages naming the keys path.
void build_read_once(const Cmd& cmd, Streams& s, std::optional<std::uint64_t> threshold) {
  const std::string& path = cmd.positionals[0];
  const std::string& output = cmd.positionals[1];
  // A failure to open or read is worded as the reader of a regular file words it: the planner's
  // under `--index auto`, the keys-file reader's otherwise.
  fileio::File file;
  try {
    file = fileio::File::open_read(path);
  } catch (const IndexError& e) {
    if (!cmd.index) throw IndexError::io_message(e.io_kind(), path + ": " + e.message());
    throw Fail::work(path + ": " + e.message());
  }
  std::uint64_t line_feeds = 0;
  const auto read_some = [&](std::span<char> into) {
    try {
      const std::size_t n =
          file.read_some({reinterpret_cast<std::uint8_t*>(into.data()), into.size()});
      line_feeds += static_cast<std::uint64_t>(std::count(into.begin(), into.begin() + n, '\n'));
      return n;
    } catch (const IndexError& e) {
      if (!cmd.index) throw;
      throw Fail::work(path + ":" + std::to_string(line_feeds + 1) + ": " + e.message());
    }
  };
  constexpr std::size_t kChunk = std::size_t{1} << 16;
  std::vector<char> bytes;
  bool ended = false;
  while (!ended && (!threshold || bytes.size() < *threshold)) {
    const std::size_t held = bytes.size();
    bytes.resize(held + kChunk);
    const std::size_t n = read_some(std::span<char>(bytes).subspan(held));
    bytes.resize(held + n);
    ended = n == 0;
  }
  Choice choice{cmd.index.value_or(IndexKind::DictIndex), cmd.block};
  if (ended && (!threshold || bytes.size() < *threshold)) {
    if (!cmd.index) choice = take_winner(
          cmd, estimate::plan_keys_file_bytes(bytes, path, cmd.needs, cmd.objective), s.err);
    const KeyViews keys = key_views(bytes, path);
    note_skipped(path, keys.skipped, s.err);
    note_written(choice.kind, build_and_save(choice.kind, keys.keys, output, choice.block),
                 output, s.err);
    return;
  }
  Spill spill(spill_path(output, ::getpid()));
  spill.write(bytes);
  bytes = {};
  std::vector<char> chunk(kChunk);
  while (const std::size_t n = read_some(chunk)) spill.write(std::span<char>(chunk).first(n));
  spill.close();
  if (!cmd.index)
    choice = take_winner(
        cmd, estimate::plan_file_as(spill.path(), path, cmd.needs, cmd.objective), s.err);
  std::uint64_t skipped = 0;
  const Written written =
      stream_to(choice.kind, spill.path().string(), path, output, choice.block, skipped);
  note_skipped(path, skipped, s.err);
  note_written(choice.kind, written, output, s.err);
}

}  // namespace

void cmd_build(const Cmd& cmd, Streams& s) {
  if (cmd.block && cmd.index != IndexKind::DictIndex)
    throw Fail::usage("--block is the DictIndex block size and needs `--index dict`");
  const std::string& keys_path = cmd.positionals[0];
  const std::string& output = cmd.positionals[1];
  refuse_keys_as_output(keys_path, output, s.in);
  fileio::refuse_special_target(output);
  const std::optional<std::uint64_t> threshold = stream_threshold(cmd.stream);
  if (read_once(keys_path)) return build_read_once(cmd, s, threshold);
  const bool streamed = streams(keys_path, threshold);
  Choice choice{cmd.index.value_or(IndexKind::DictIndex), cmd.block};
  std::optional<Keys> keys;
  if (!cmd.index) {
    // Keys from standard input are read once, here.
    choice = take_winner(cmd, plan_keys(cmd, s, keys), s.err);
  }
  if (streamed && !keys) {
    std::uint64_t skipped = 0;
    const Written written =
        stream_to(choice.kind, keys_path, keys_path, output, choice.block, skipped);
    note_skipped(keys_path, skipped, s.err);
    note_written(choice.kind, written, output, s.err);
    return;
  }
  if (!keys) {
    keys = read_keys(keys_path, s.in);
    note_skipped(keys_path, keys->skipped, s.err);
  }
  note_written(choice.kind, build_and_save(choice.kind, keys->keys(), output, choice.block),
               output, s.err);
}

}  // namespace quenlith::cli
