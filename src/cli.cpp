// The command line's front end: the standard streams, the dispatch table, the option parser and
// the reports of failures.
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>

#include "bytes.hpp"
#include "cli.hpp"
#include "scratch.hpp"

namespace quenlith::cli {

// The usage text, printed for help and after every usage failure.
const std::string_view kUsage = R"USAGE(quenlith 4.1.1 — price, build and inspect string↔id indexes

usage:
  quenlith plan    <keys-file> [--objective NAME] [needs]
  quenlith build   <keys-file> <out-blob> [--index NAME] [--block SPEC] [--stream MODE]
                   [--objective NAME] [needs]
  quenlith inspect <blob> [--sections]
  quenlith dump    <blob>

  plan     what every index that answers the needs would weigh, cheapest first
  build    build one index and save it; `--index auto` asks plan and builds the winner
  inspect  what a blob already on disk is, from its header alone; `--sections` reads a
           DictIndex whole and prints where its bytes went
  dump     the keys a blob holds, one per line, in id order — `dump | build` is the
           migration path off a format a later version stops reading

needs — what the index must be able to do. They narrow what `plan` ranks and what
`--index auto` may pick; with none of them the only question asked is `id(key)`:
  --reverse    key(id) as well as id(key)
  --ordered    ids in lexicographic order, and in-order iteration
  --prefix     prefix and range queries (an ordered index)
  --fuzzy      Levenshtein and subsequence queries
  --exact      a non-member must be answered as one, barring the probabilistic indexes

`plan` and `--index auto` assume an **open** vocabulary and so imply `--exact`: left to itself
the ranking is won by the index that answers a stranger with some member's id, and nothing in
the blob would later say so. Pass `--closed-vocabulary` when every key you will ask about is in
the file, and the two probabilistic indexes are ranked with the rest — `ClosedHashIndex` at
0.24 bytes a key, `CompactHashIndex` at 1.24. Naming an index with `--index` builds it whatever
the needs say.

options (`--name value` or `--name=value`):
  --objective N  what the ladder ranks by: memory (default, the smallest blob), latency
                 (the fastest id(key), modelled), balanced (nearest to both), or a
                 workload of op=weight pairs between commas, as in hits=9,misses=1 —
                 ops hits, misses, reverse, prefix, common_prefix, longest_prefix, and
                 batch=N for the keys an ids_of call holds. An op adds the need it asks
                 for. The nanoseconds are a model of this library's own machine, never a
                 measurement of yours
  --index NAME   auto (default), dict, string, compact, closed, perfect
  --block SPEC   keys per DictIndex block, with `--index dict`: 1..=1024, or one of
                 fast / balanced / compact (32 / 256 / 1024)
  --stream MODE  when to build straight to the blob instead of holding the corpus:
                 auto (default), always, never, or the keys-file size past which to do
                 it (1000, 512M, 4G). `auto` is a quarter of the memory the machine
                 says is available. Needs a named `--index`: `auto` prices the corpus,
                 which means reading it
  --sections     with `inspect`, on a DictIndex: the blob's byte split
  -h, --help     this text
  -V, --version  the version

A keys file is one key per line, UTF-8, in any order; `-` reads standard input. Duplicates
are removed by the builders. An empty line is skipped and the count is reported on stderr,
since a file that ends in a newline is the common case and an empty key is not. Invalid UTF-8
is an error naming the line rather than a replacement character, since an index built from
lossy bytes would hold keys the file does not.
)USAGE";

const std::string_view kVersionLine = "quenlith 4.1.1\n";

std::string os_error_text(int error) { return IndexError::io_errno(error).message(); }

// ---- Streams ----

void Output::write_fd(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EBADF) return;  // a closed stream takes everything
      throw IndexError::io_errno(errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void Output::write(std::string_view text) {
  if (!line_buffered_) {
    write_fd(text);
    return;
  }
  const std::size_t last_newline = text.rfind('\n');
  if (last_newline == std::string_view::npos) {
    pending_.append(text);
    return;
  }
  // Everything through the last line feed goes out now, in one write when nothing is pending.
  if (pending_.empty()) {
    write_fd(text.substr(0, last_newline + 1));
  } else {
    pending_.append(text.substr(0, last_newline + 1));
    std::string out;
    out.swap(pending_);
    write_fd(out);
  }
  pending_.assign(text.substr(last_newline + 1));
}

void Output::flush() {
  std::string out;
  out.swap(pending_);
  write_fd(out);
}

void put(Output& stream, std::string_view text) {
  try {
    stream.write(text);
  } catch (const IndexError& e) {
    throw Fail::io(e);
  }
}

// ---- Option grammars ----

namespace {

// A decimal: an optional leading "+", then one or more ASCII digits, no overflow of 64 bits.
std::optional<std::uint64_t> decimal(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  for (char c : s)
    if (c < '0' || c > '9') return std::nullopt;
  std::uint64_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
  return v;
}

std::string quoted(std::string_view what, std::string_view value, std::string_view rest) {
  std::string m(what);
  m += ": `";
  m += value;
  m += "` ";
  m += rest;
  return m;
}

Objective parse_objective(const std::string& v) {
  if (const auto named = estimate::objective_named(v)) return *named;
  if (v.find('=') == std::string::npos)
    throw Fail::usage(
        quoted("--objective", v,
               "is not one of memory / latency / balanced, or a workload such as hits=9,misses=1"));
  estimate::Workload o;
  std::string_view rest = v;
  while (true) {
    const std::size_t comma = rest.find(',');
    const std::string_view piece = rest.substr(0, comma);
    const auto bad = [&] {
      return Fail::usage(quoted("--objective", piece,
                                "is not op=weight, with op one of hits / misses / reverse / "
                                "prefix / common_prefix / longest_prefix / batch"));
    };
    const std::size_t eq = piece.find('=');
    if (eq == std::string_view::npos) throw bad();
    const std::string_view op = piece.substr(0, eq);
    const std::optional<std::uint64_t> weight = decimal(piece.substr(eq + 1));
    if (!weight) throw bad();
    if (op == "batch") {
      if (*weight > UINT32_MAX) throw bad();
      o.batch = static_cast<std::uint32_t>(*weight);
    } else if (std::uint64_t* field = estimate::workload_weight(o, op)) {
      *field = *weight;
    } else {
      throw bad();
    }
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return Objective::weighted(o);
}

std::optional<IndexKind> parse_index(const std::string& v) {
  if (v == "auto") return std::nullopt;
  if (v == "dict") return IndexKind::DictIndex;
  if (v == "string") return IndexKind::StringIndex;
  if (v == "compact") return IndexKind::CompactHashIndex;
  if (v == "closed") return IndexKind::ClosedHashIndex;
  if (v == "perfect") return IndexKind::PerfectHashIndex;
  throw Fail::usage("--index: no such index `" + v + "`");
}

std::uint64_t parse_block(const std::string& v) {
  std::optional<std::uint64_t> n = dict_index::named_block(v);
  if (!n) n = decimal(v);
  if (!n)
    throw Fail::usage(
        quoted("--block", v, "is neither a number nor one of fast / balanced / compact"));
  if (*n < 1 || *n > kMaxBlock)
    throw Fail::usage("--block: " + std::to_string(*n) +
                      " is outside 1..=" + std::to_string(kMaxBlock));
  return *n;
}

StreamMode parse_stream(const std::string& v) {
  if (v == "auto") return {StreamMode::Kind::Auto, 0};
  if (v == "always") return {StreamMode::Kind::Always, 0};
  if (v == "never") return {StreamMode::Kind::Never, 0};
  std::string_view digits = v;
  std::uint64_t unit = 1;
  if (!digits.empty()) {
    switch (digits.back()) {
      case 'K':
      case 'k':
        unit = std::uint64_t{1} << 10;
        break;
      case 'M':
      case 'm':
        unit = std::uint64_t{1} << 20;
        break;
      case 'G':
      case 'g':
        unit = std::uint64_t{1} << 30;
        break;
      default:
        break;
    }
    if (unit != 1) digits.remove_suffix(1);
  }
  const std::optional<std::uint64_t> n = decimal(digits);
  const std::optional<std::uint64_t> size = n ? bytes::checked_mul(*n, unit) : std::nullopt;
  if (!size)
    throw Fail::usage(quoted(
        "--stream", v, "is neither a size (1000, 512M, 4G) nor one of auto / always / never"));
  return {StreamMode::Kind::Size, *size};
}

// The options and who admits them.
enum class Opt : std::uint8_t {
  Reverse,
  Ordered,
  Prefix,
  Fuzzy,
  Exact,
  ClosedVocabulary,
  Objective,
  Index,
  Block,
  Stream,
  Sections,
};

struct OptionSpec {
  std::string_view name;
  Opt opt;
  bool takes_value;
  bool plan, build, inspect;  // `dump` admits none
};

constexpr std::array<OptionSpec, 11> kOptions{{
    {"--reverse", Opt::Reverse, false, true, true, false},
    {"--ordered", Opt::Ordered, false, true, true, false},
    {"--prefix", Opt::Prefix, false, true, true, false},
    {"--fuzzy", Opt::Fuzzy, false, true, true, false},
    {"--exact", Opt::Exact, false, true, true, false},
    {"--closed-vocabulary", Opt::ClosedVocabulary, false, true, true, false},
    {"--objective", Opt::Objective, true, true, true, false},
    {"--index", Opt::Index, true, false, true, false},
    {"--block", Opt::Block, true, false, true, false},
    {"--stream", Opt::Stream, true, false, true, false},
    {"--sections", Opt::Sections, false, false, false, true},
}};

const OptionSpec* find_option(std::string_view name, CmdKind kind) {
  for (const OptionSpec& o : kOptions) {
    if (o.name != name) continue;
    const bool admitted = (kind == CmdKind::Plan && o.plan) ||
                          (kind == CmdKind::Build && o.build) ||
                          (kind == CmdKind::Inspect && o.inspect);
    return admitted ? &o : nullptr;
  }
  return nullptr;
}

}  // namespace

std::string value(std::span<const std::string> args, std::size_t& cursor, std::string_view name,
                  const std::optional<std::string>& inline_value) {
  if (inline_value) return *inline_value;
  if (cursor >= args.size()) throw Fail::usage(std::string(name) + " needs a value");
  return args[cursor++];
}

Cmd parse(std::span<const std::string> args, CmdKind kind, std::size_t positional_count,
          std::string_view synopsis) {
  Cmd cmd;
  bool exact_given = false;
  bool closed_vocabulary = false;
  std::size_t cursor = 0;
  while (cursor < args.size()) {
    const std::string& arg = args[cursor++];
    std::string_view name = arg;
    std::optional<std::string> inline_value;
    if (arg.starts_with("--")) {
      const std::size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        name = std::string_view(arg).substr(0, eq);
        inline_value = arg.substr(eq + 1);
      }
    }
    const OptionSpec* option = find_option(name, kind);
    if (option == nullptr) {
      if (name.starts_with("-") && name != "-")
        throw Fail::usage("no such option `" + std::string(name) + "`");
      cmd.positionals.push_back(arg);
      continue;
    }
    std::string v;
    if (option->takes_value) v = value(args, cursor, name, inline_value);
    switch (option->opt) {
      case Opt::Reverse:
        cmd.needs.reverse = true;
        break;
      case Opt::Ordered:
        cmd.needs.ordered = true;
        break;
      case Opt::Prefix:
        cmd.needs.prefix = true;
        break;
      case Opt::Fuzzy:
        cmd.needs.fuzzy = true;
        break;
      case Opt::Exact:
        cmd.needs.exact = true;
        exact_given = true;
        break;
      case Opt::ClosedVocabulary:
        closed_vocabulary = true;
        break;
      case Opt::Objective:
        cmd.objective = parse_objective(v);
        break;
      case Opt::Index:
        cmd.index = parse_index(v);
        break;
      case Opt::Block:
        cmd.block = parse_block(v);
        break;
      case Opt::Stream:
        cmd.stream = parse_stream(v);
        break;
      case Opt::Sections:
        cmd.sections = true;
        break;
    }
  }
  if (cmd.positionals.size() != positional_count)
    throw Fail::usage("expected `quenlith " + std::string(synopsis) + "`");
  if ((kind == CmdKind::Plan || kind == CmdKind::Build) && !exact_given && !closed_vocabulary) {
    cmd.needs.exact = true;
    cmd.exact_implied = true;
  }
  return cmd;
}

// ---- Dispatch ----

namespace {

struct Subcommand {
  std::string_view name;
  CmdKind kind;
  std::size_t positionals;
  std::string_view synopsis;
  void (*run)(const Cmd&, Streams&);
};

const std::array<Subcommand, 4> kSubcommands{{
    {"plan", CmdKind::Plan, 1, "plan <keys-file> [needs]", &cmd_plan},
    {"build", CmdKind::Build, 2, "build <keys-file> <out-blob> [options]", &cmd_build},
    {"inspect", CmdKind::Inspect, 1, "inspect <blob> [--sections]",
     [](const Cmd& cmd, Streams& s) { cmd_inspect(cmd, s.out); }},
    {"dump", CmdKind::Dump, 1, "dump <blob>",
     [](const Cmd& cmd, Streams& s) { cmd_dump(cmd.positionals, s.out); }},
}};

// Help and version, then the subcommand; throws `Fail` or `IndexError`.
void dispatch(std::span<const std::string> args, Streams& streams,
              std::optional<std::size_t> unusable) {
  if (args.empty()) throw Fail::usage("no subcommand");
  bool help = args[0] == "help";
  for (const std::string& a : args) help = help || a == "-h" || a == "--help";
  if (help) return put(streams.out, kUsage);
  if (args[0] == "-V" || args[0] == "--version") return put(streams.out, kVersionLine);
  if (unusable)
    throw Fail::usage("argument `" + args[*unusable] +
                      "` is not valid in the filesystem encoding");
  for (const Subcommand& sub : kSubcommands) {
    if (args[0] != sub.name) continue;
    const Cmd cmd = parse(args.subspan(1), sub.kind, sub.positionals, sub.synopsis);
    return sub.run(cmd, streams);
  }
  throw Fail::usage("no such subcommand `" + args[0] + "`");
}

}  // namespace

int run(std::span<const std::string> args, Streams& streams,
        std::optional<std::size_t> unusable) {
  std::optional<Fail> fail;
  try {
    dispatch(args, streams, unusable);
  } catch (Fail& f) {
    fail = std::move(f);
  } catch (const IndexError& e) {
    fail = Fail::from(e);
  } catch (const std::bad_alloc&) {
    // Memory ran out somewhere under the command (on a worker thread too, carried back): the
    // command failed, as any other failure of it does. Unwinding has freed what it held.
    fail = Fail::work("out of memory");
  }
  if (!fail) return 0;
  const bool usage = fail->kind == Fail::Kind::Usage;
  // A usage failure is followed by an empty line and the usage text, and one more line feed:
  // the usage text ends in its own, so the report ends in an empty line.
  std::string report = "quenlith: " + fail->message + "\n";
  if (usage) {
    report += "\n";
    report += kUsage;
    report += "\n";
  }
  try {
    streams.err.write(report);
  } catch (const IndexError&) {
    // Nowhere left to report the failure of a report.
  }
  return usage ? 2 : 1;
}

FlushOnExit::~FlushOnExit() {
  try {
    out_.flush();
  } catch (const IndexError&) {
    // The outcome is already decided.
  }
}

int run_process(std::span<const std::string> args, std::optional<std::size_t> unusable) {
  // The process's standard streams, each behind its own lock, taken in the order output, input,
  // error and held for the whole run.
  static std::mutex out_lock, in_lock, err_lock;
  static Output out(STDOUT_FILENO, true);
  static Output err(STDERR_FILENO, false);
  static Input in(STDIN_FILENO);
  std::lock_guard out_guard(out_lock);
  // Standard output is flushed after error and input are released, on every way out.
  FlushOnExit flush(out);
  std::lock_guard in_guard(in_lock);
  std::lock_guard err_guard(err_lock);
  Streams streams{in, out, err};
  // A terminating signal ends the run at once, its scratch files removed. When the watcher cannot
  // be started (no descriptor or thread to spare) the run goes on under the dispositions it found.
  std::optional<scratch::RemoveOnSignal> on_signal;
  try {
    on_signal.emplace();
  } catch (const IndexError&) {
  } catch (const std::system_error&) {
  } catch (const std::bad_alloc&) {
  }
  return run(args, streams, unusable);
}

}  // namespace quenlith::cli
