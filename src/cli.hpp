// The `quenlith` command line: `plan`, `build`, `inspect` and `dump` over a keys file or a blob.
//
// It has no process entry point of its own: the Python module's `_cli(args)` hands it the command
// line without the program name, and it runs one command over the process's standard streams and
// returns the exit status: 0 success (help and version included), 1 the work failed, 2 the command
// line was wrong. Standard output carries only what was asked for (usage text, version line, plan
// text, inspect lines, dumped keys); every diagnostic goes to standard error.
//
// Layout: cli.cpp is the front end (streams, dispatch table, parser, reports); cli_keys.cpp reads
// keys files; cli_build.cpp is `build` with its in-memory and streamed routes; cli_blob.cpp is
// `inspect` and `dump`; cli_plan.cpp is `plan`. Parsing is done once, into a `Cmd`, before any
// command runs; a command only does.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dict_index.hpp"
#include "error.hpp"
#include "estimate.hpp"
#include "inspect.hpp"

namespace quenlith::cli {

// ---- Failures ----

// The command line's error: a wrong command line (reported with the usage text, status 2) or
// failed work (reported alone, status 1). Commands throw it; an `IndexError` reaching the front
// end is the `Work` failure carrying its display text.
struct Fail {
  enum class Kind : std::uint8_t { Usage, Work };
  Kind kind;
  std::string message;

  static Fail usage(std::string message) { return {Kind::Usage, std::move(message)}; }
  static Fail work(std::string message) { return {Kind::Work, std::move(message)}; }
  static Fail from(const IndexError& e) { return work(e.display()); }
  // The `Work` failure of an operating-system error: its text alone, "<strerror> (os error N)"
  // for an error number.
  static Fail io(const IndexError& e) { return work(e.message()); }
};

// "<strerror> (os error N)".
std::string os_error_text(int error);

// ---- Standard streams ----

// A standard output or error stream over a descriptor. A write the system refuses with EBADF (the
// descriptor is closed) counts as done: the bytes are dropped. Other failures throw
// `IndexError::Io`. A line-buffered stream keeps bytes after the last line feed until more arrive
// or `flush`; an unbuffered one writes through at once.
class Output {
 public:
  Output(int fd, bool line_buffered) : fd_(fd), line_buffered_(line_buffered) {}
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  void write(std::string_view text);
  void flush();

 private:
  void write_fd(std::string_view bytes);

  int fd_;
  bool line_buffered_;
  std::string pending_;
};

// Writes `text` to a stream inside a command: a failure is `Fail::Work` with the OS error's text.
void put(Output& stream, std::string_view text);

// Standard input over a descriptor. A read refused with EBADF reads as the end of the input.
class Input {
 public:
  explicit Input(int fd) : fd_(fd) {}
  int fd() const noexcept { return fd_; }

 private:
  int fd_;
};

// ---- The parsed command line ----

enum class CmdKind : std::uint8_t { Dump = 0, Inspect = 1, Plan = 2, Build = 3 };

// When `build` streams the keys file straight to the blob instead of holding the corpus.
struct StreamMode {
  enum class Kind : std::uint8_t { Auto, Always, Never, Size };
  Kind kind = Kind::Auto;
  std::uint64_t size = 0;  // bytes, for `Size`
  bool operator==(const StreamMode&) const = default;
};

// What the index must answer, what the ranking weighs, and the index kinds: the planner's own.
using Needs = estimate::Needs;
using Objective = estimate::Objective;
using IndexKind = estimate::Kind;

// The dictionary's block sizes.
using dict_index::kDefaultBlock;
using dict_index::kMaxBlock;

// One parsed command line.
struct Cmd {
  std::vector<std::string> positionals;  // exactly as many as the subcommand takes
  std::optional<std::uint64_t> block;    // within 1..=1024 when present
  StreamMode stream;
  Objective objective;
  Needs needs;
  bool sections = false;
  bool exact_implied = false;      // the parser turned exact on itself
  std::optional<IndexKind> index;  // absent: auto
};

// Parses the arguments after the subcommand. Throws `Fail::Usage` with the first failure met,
// left to right; the positional count is checked after the last argument.
Cmd parse(std::span<const std::string> args, CmdKind kind, std::size_t positional_count,
          std::string_view synopsis);

// The value of a value-taking option: `inline_value` when the argument carried one, else the
// argument at `cursor`, which is consumed. `Fail::Usage` "<name> needs a value" when none is
// left.
std::string value(std::span<const std::string> args, std::size_t& cursor, std::string_view name,
                  const std::optional<std::string>& inline_value);

// ---- Front end ----

// The usage text and the version line, printed as they are.
extern const std::string_view kUsage;
extern const std::string_view kVersionLine;

// The streams a run works on.
struct Streams {
  Input& in;
  Output& out;
  Output& err;
};

// Runs one command line over `streams`: dispatch, the command, the failure report. Returns the
// exit status. Does not flush standard output. `unusable`, when given, is the index of an argument
// that the caller could not turn into bytes; `args` holds a readable rendering of it, and unless
// help or the version is asked for, the run is the usage failure "argument `<rendering>` is not
// valid in the filesystem encoding".
int run(std::span<const std::string> args, Streams& streams,
        std::optional<std::size_t> unusable = std::nullopt);

// Flushes a standard output when it goes out of scope, however the scope is left (a panic or an
// allocation failure included), so that nothing one run buffered comes out during the next.
// A failure to flush is dropped: the run's outcome is already decided.
class FlushOnExit {
 public:
  explicit FlushOnExit(Output& out) : out_(out) {}
  FlushOnExit(const FlushOnExit&) = delete;
  FlushOnExit& operator=(const FlushOnExit&) = delete;
  ~FlushOnExit();

 private:
  Output& out_;
};

// Runs one command line over the process's standard streams (descriptors 0, 1 and 2), which it
// holds locked for the whole run (standard output, input, then error), and flushes standard output
// before returning the exit status or letting a panic or an allocation failure through. Any thread
// may call it; a second call waits for the first. `unusable` is as for `run`. While it runs,
// SIGINT, SIGTERM and SIGHUP remove the run's scratch files and end the process of the signal
// (`scratch::RemoveOnSignal`): an output not yet renamed into place is left as it was.
int run_process(std::span<const std::string> args,
                std::optional<std::size_t> unusable = std::nullopt);

// ---- Keys files ----

// The keys of a keys file in file order (duplicates kept) and the number of empty lines skipped.
// The keys lie back to back in one buffer, so reading a corpus costs no allocation per key.
class Keys {
 public:
  Keys() = default;
  Keys(Keys&&) noexcept = default;
  Keys& operator=(Keys&&) noexcept = default;
  Keys(const Keys&) = delete;
  Keys& operator=(const Keys&) = delete;

  void push(std::string_view key) {
    bytes_.insert(bytes_.end(), key.begin(), key.end());
    ends_.push_back(bytes_.size());
  }
  // Called once, after the last `push`: the keys as views into the buffer.
  void seal();

  std::span<const std::string_view> keys() const noexcept { return views_; }
  std::uint64_t skipped = 0;

 private:
  // A vector, not a string: moving it keeps its storage (a short string's would move), so the
  // views stay valid when the keys are handed on.
  std::vector<char> bytes_;
  std::vector<std::size_t> ends_;  // until sealed
  std::vector<std::string_view> views_;
};

// Reads a whole keys file, or standard input for "-". Throws `Fail::Work` naming the path (and the
// line, for a read error or invalid UTF-8).
Keys read_keys(const std::string& path, Input& in);

// The keys of a keys file already in memory, as views into its bytes, in file order, and the
// number of empty lines skipped.
struct KeyViews {
  std::vector<std::string_view> keys;
  std::uint64_t skipped = 0;
};

// Reads the keys of `bytes` as `read_keys` reads a keys file shown as `path`, failing as it does.
KeyViews key_views(std::span<const char> bytes, const std::string& path);

// "<path>: <n> empty lines skipped\n" on standard error when `skipped` is not 0.
void note_skipped(const std::string& path, std::uint64_t skipped, Output& err);

// ---- Commands ----
//
// Each runs on the calling thread with the streams it is handed and throws `Fail` (or an
// `IndexError`, which the front end reports as `Fail::Work`) in place of success.

// `plan <keys-file>`: the plan text on standard output; the implied-exact notice after it on
// standard error.
void cmd_plan(const Cmd& cmd, Streams& streams);
// `build <keys-file> <out-blob>`: one blob, in memory or streamed; every line on standard error.
// On failure an existing output is left as it was and no partial or scratch file remains.
void cmd_build(const Cmd& cmd, Streams& streams);
// `inspect <blob>`: one line per property of the header; with `--sections`, a DictIndex's byte
// split after them.
void cmd_inspect(const Cmd& cmd, Output& out);
// `dump <blob>`: the keys of a blob that stores them, one per line, in id order.
void cmd_dump(std::span<const std::string> positionals, Output& out);

// The lines of one blob's info, each name preceded by `prefix`.
void print_info(const std::string& prefix, const inspect::BlobInfo& info, Output& out);

// Plans the keys of `cmd`'s keys file: by the planner's own pass over a file on disk, or over the
// keys of standard input, which are read into `read` (their skipped-lines note written first).
estimate::Plan plan_keys(const Cmd& cmd, Streams& streams, std::optional<Keys>& read);

// The implied-exact notice, on standard error when exact was implied and none of reverse, ordered,
// prefix and fuzzy is needed.
void note_implied_exact(bool exact_implied, const Needs& needs, Output& err);

// ---- build ----

// The stream threshold of `--stream auto`: a quarter of the "MemAvailable:" figure of the given
// meminfo text, or 1 GiB when it cannot be read from it.
std::uint64_t threshold_from_meminfo(std::optional<std::string_view> meminfo);

// The partial output of a streamed build of `output` by process `pid`: the final component
// followed by ".part.<pid>", in the output's own directory.
std::filesystem::path partial_path(const std::filesystem::path& output, long pid);

// Where a keys file that can be read only once (a pipe, a device) is copied when it is too large
// to hold: the output's final component followed by ".keys.<pid>", in the output's directory.
std::filesystem::path spill_path(const std::filesystem::path& output, long pid);

// What a build wrote: the number of distinct keys in the index and the blob's length in bytes.
// The length is that of the blob this process wrote, never read back from the output's name,
// which another process may have replaced or removed since.
struct Written {
  std::uint64_t keys = 0;
  std::uint64_t bytes = 0;
};

// Builds `kind` from keys held in memory and saves it atomically at `output`. Throws `IndexError`
// (the front end makes it a `Fail::Work`).
Written build_and_save(IndexKind kind, std::span<const std::string_view> keys,
                       const std::filesystem::path& output, std::optional<std::uint64_t> block);

}  // namespace quenlith::cli
