// The map builder. Writes format version 3 (file layout in fst.cpp, node encodings in node.cpp).
//
// Keys arrive sorted, so the keys sharing a prefix with the next key are final once that key
// is seen: the builder keeps the path of the previous key as a stack of unfinished nodes and,
// for each new key, compiles ("freezes") the part of that path the new key does not share.
// Outputs are pushed as close to the root as they go (the common prefix of two outputs is
// their minimum); what a transition gives up is added in front of everything below it.
//
// Nodes are written children first, so every transition target is already known. Equal nodes
// are shared through a lossy cache (see Registry), which decides the exact bytes: its size,
// hash and replacement order are part of what makes the output byte-identical to the
// reference writer, and must not change.
#include "fst/builder.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>

#include "bytes.hpp"
#include "common_inputs.hpp"
#include "fst/crc32.hpp"
#include "fst/fst.hpp"
#include "fst/node.hpp"

namespace fst {

namespace {

constexpr std::size_t kIndexThreshold = 32;  // nodes with more transitions carry a 256-byte index
constexpr std::size_t kFlushAt = 64 * 1024;  // file builders write in chunks of about this size

// An owned file descriptor.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(int fd) : fd_(fd) {}
  FileHandle(FileHandle&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  FileHandle& operator=(FileHandle&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  ~FileHandle() { reset(); }
  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // Closes and reports a failed close (which can carry a delayed write error).
  void close() {
    const int fd = std::exchange(fd_, -1);
    if (fd >= 0 && ::close(fd) != 0) throw Error::io_errno(errno);
  }

 private:
  void reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd_ = -1;
};

// Where the file's bytes go: an in-memory vector, or a buffer flushed to a file or handed to the
// caller's writer. Keeps the running checksum of every byte it has been given.
class Sink {
 public:
  void open(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw Error::io_errno(errno);
    file_ = FileHandle(fd);
    buf_.reserve(kFlushAt + 4096);
  }
  void open(MapBuilder::Writer writer) {
    writer_ = std::move(writer);
    buf_.reserve(kFlushAt + 4096);
  }
  bool is_file() const noexcept { return static_cast<bool>(file_) || static_cast<bool>(writer_); }

  std::uint64_t count() const noexcept { return flushed_ + buf_.size(); }
  void push(std::uint8_t b) { buf_.push_back(b); }
  // The low `nbytes` bytes of `v`, little-endian.
  void pack(std::uint64_t v, unsigned nbytes) {
    for (unsigned i = 0; i < nbytes; ++i) buf_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void append(const std::uint8_t* p, std::size_t n) { buf_.insert(buf_.end(), p, p + n); }

  void maybe_flush() {
    if (is_file() && buf_.size() >= kFlushAt) flush();
  }
  // The masked checksum of every byte given so far.
  std::uint32_t masked_checksum() {
    sum_pending();
    return summer_.masked();
  }
  // File: writes what is buffered and closes the file.
  void close() {
    if (!is_file()) return;
    flush();
    if (file_) file_.close();
  }
  std::vector<std::uint8_t> take() { return std::move(buf_); }

 private:
  void sum_pending() {
    summer_.update(std::span<const std::uint8_t>(buf_.data() + summed_, buf_.size() - summed_));
    summed_ = buf_.size();
  }
  void flush() {
    sum_pending();
    if (writer_) {
      // The caller's writer reports its own failures; they leave through insert() or finish().
      if (!buf_.empty()) writer_(std::span<const std::uint8_t>(buf_.data(), buf_.size()));
      flushed_ += buf_.size();
      buf_.clear();
      summed_ = 0;
      return;
    }
    const std::uint8_t* p = buf_.data();
    std::size_t n = buf_.size();
    while (n > 0) {
      const ssize_t w = ::write(file_.get(), p, n);
      if (w < 0) {
        if (errno == EINTR) continue;
        throw Error::io_errno(errno);
      }
      p += w;
      n -= static_cast<std::size_t>(w);
    }
    flushed_ += buf_.size();
    buf_.clear();
    summed_ = 0;
  }

  std::vector<std::uint8_t> buf_;
  std::size_t summed_ = 0;     // buf_[0, summed_) is already in the checksum
  std::uint64_t flushed_ = 0;  // bytes already written to the file
  CheckSummer summer_;
  FileHandle file_;
  MapBuilder::Writer writer_;
};

// A node being built: finality, final output and its finished transitions (ascending input).
struct BuilderNode {
  bool is_final = false;
  std::uint64_t final_output = 0;
  std::vector<Transition> trans;

  void reset() {
    is_final = false;
    final_output = 0;
    trans.clear();
  }
};

bool same_node(const BuilderNode& a, bool is_final, std::uint64_t final_output,
               const std::vector<Transition>& trans) {
  return a.is_final == is_final && a.final_output == final_output && a.trans == trans;
}

// An entry of the unfinished path: the node reached by a prefix of the previous key, and the
// transition it will take along that key, whose target is not known yet.
struct Unfinished {
  BuilderNode node;
  bool has_last = false;
  std::uint8_t last_inp = 0;
  std::uint64_t last_out = 0;
};

// The node cache: 10,000 rows of 2 cells, the row picked by an FNV-1a-style hash over whole
// 64-bit fields (finality, final output, then input, output and target of each transition).
// Cell 0 is the most recently used. A hit in cell 1 swaps the cells; a miss drops cell 1,
// moves cell 0 to 1 and puts the new node in cell 0. Lossy on purpose: memory stays fixed.
class Registry {
 public:
  static constexpr std::size_t kRows = 10000;

  struct Cell {
    CompiledAddr addr = NONE_ADDRESS;  // NONE_ADDRESS: empty
    BuilderNode node;
  };
  struct Entry {
    std::optional<CompiledAddr> found;
    Cell* cell = nullptr;  // on a miss: fill in its address once the node is written
  };

  Registry() : cells_(2 * kRows) {}

  Entry entry(const BuilderNode& n) {
    Cell* row = &cells_[2 * (hash(n) % kRows)];
    if (row[0].addr != NONE_ADDRESS &&
        same_node(row[0].node, n.is_final, n.final_output, n.trans)) {
      return {row[0].addr, nullptr};
    }
    if (row[1].addr != NONE_ADDRESS &&
        same_node(row[1].node, n.is_final, n.final_output, n.trans)) {
      std::swap(row[0], row[1]);
      return {row[0].addr, nullptr};
    }
    std::swap(row[0], row[1]);
    // Reuse the dropped cell's storage for the new node.
    row[0].addr = NONE_ADDRESS;
    row[0].node.is_final = n.is_final;
    row[0].node.final_output = n.final_output;
    row[0].node.trans.assign(n.trans.begin(), n.trans.end());
    return {std::nullopt, &row[0]};
  }

 private:
  static std::uint64_t hash(const BuilderNode& n) {
    constexpr std::uint64_t kPrime = 1099511628211ull;
    std::uint64_t h = 14695981039346656037ull;
    h = (h ^ static_cast<std::uint64_t>(n.is_final)) * kPrime;
    h = (h ^ n.final_output) * kPrime;
    for (const Transition& t : n.trans) {
      h = (h ^ t.inp) * kPrime;
      h = (h ^ t.out.value()) * kPrime;
      h = (h ^ t.addr) * kPrime;
    }
    return h;
  }

  std::vector<Cell> cells_;
};

// Bytes needed for the delta from a node starting at `first` to `target` (0 for the empty
// final node, which still takes one byte).
std::uint64_t delta_to(std::uint64_t first, CompiledAddr target) {
  return target == EMPTY_ADDRESS ? 0 : first - target;
}

}  // namespace

struct MapBuilder::Impl {
  Sink sink;
  std::vector<Unfinished> stack;  // entries [0, depth) are live; the rest keep their storage
  std::size_t depth = 0;
  Registry registry;
  CompiledAddr last_addr = NONE_ADDRESS;  // address of the last node actually written
  std::uint64_t len = 0;
  std::vector<std::uint8_t> last_key;
  bool has_last_key = false;
  bool finished = false;
  bool spent = false;
  std::optional<Error> failed;

  Impl() {
    sink.pack(VERSION, 8);
    sink.pack(0, 8);  // type: maps are 0
    push_entry();     // the root
  }

  Unfinished& push_entry() {
    if (depth == stack.size()) stack.emplace_back();
    Unfinished& e = stack[depth++];
    e.node.reset();
    e.has_last = false;
    return e;
  }

  void check_usable() const {
    if (failed) throw *failed;
    if (finished) throw std::logic_error("fst::MapBuilder: used after finish");
  }

  void insert(std::span<const std::uint8_t> key, std::uint64_t value) {
    check_usable();
    if (has_last_key) {
      const auto cmp = std::lexicographical_compare_three_way(key.begin(), key.end(),
                                                              last_key.begin(), last_key.end());
      if (cmp == 0) throw Error::duplicate_key(key);
      if (cmp < 0) throw Error::out_of_order(last_key, key);
    }
    last_key.assign(key.begin(), key.end());
    has_last_key = true;
    if (key.empty()) {  // only ever the first key
      stack[0].node.is_final = true;
      stack[0].node.final_output = value;
      len = 1;
      return;
    }
    // Walk the shared prefix, keeping on each shared transition the part of its output
    // this key also has; the excess moves one level down.
    std::size_t i = 0;
    std::uint64_t out = value;
    while (i < key.size() && i < depth) {
      Unfinished& e = stack[i];
      if (!e.has_last || e.last_inp != key[i]) break;
      ++i;
      const std::uint64_t common = std::min(e.last_out, out);
      const std::uint64_t excess = e.last_out - common;
      out -= common;
      e.last_out = common;
      if (excess != 0) add_output_prefix(stack[i], excess);
    }
    if (i == key.size())
      throw std::logic_error("fst::MapBuilder: key is a prefix of the previous key");
    ++len;
    compile_from(i);
    add_suffix(key.subspan(i), out);
  }

  static void add_output_prefix(Unfinished& e, std::uint64_t prefix) {
    if (e.node.is_final) e.node.final_output = prefix + e.node.final_output;
    for (Transition& t : e.node.trans) t.out = Output(prefix).cat(t.out);
    if (e.has_last) e.last_out = prefix + e.last_out;
  }

  void add_suffix(std::span<const std::uint8_t> suffix, std::uint64_t out) {
    Unfinished& top = stack[depth - 1];
    top.has_last = true;
    top.last_inp = suffix[0];
    top.last_out = out;
    for (std::size_t k = 1; k < suffix.size(); ++k) {
      Unfinished& e = push_entry();
      e.has_last = true;
      e.last_inp = suffix[k];
      e.last_out = 0;
    }
    push_entry().node.is_final = true;
  }

  static void freeze_last(Unfinished& e, CompiledAddr addr) {
    if (!e.has_last) return;
    e.node.trans.push_back(Transition{e.last_inp, Output(e.last_out), addr});
    e.has_last = false;
  }

  // Compiles the entries above `keep`, deepest first, and points entry `keep`'s pending
  // transition at the result.
  void compile_from(std::size_t keep) {
    CompiledAddr addr = NONE_ADDRESS;
    while (keep + 1 < depth) {
      Unfinished& e = stack[depth - 1];
      if (addr != NONE_ADDRESS) freeze_last(e, addr);
      addr = compile(e.node);
      --depth;
    }
    freeze_last(stack[depth - 1], addr);
  }

  CompiledAddr compile(const BuilderNode& node) {
    if (node.is_final && node.trans.empty() && node.final_output == 0) return EMPTY_ADDRESS;
    const Registry::Entry entry = registry.entry(node);
    if (entry.found) return *entry.found;
    write_node(node, sink.count());
    last_addr = sink.count() - 1;
    entry.cell->addr = last_addr;
    sink.maybe_flush();
    return last_addr;
  }

  void write_node(const BuilderNode& node, std::uint64_t first) {
    if (node.trans.size() != 1 || node.is_final) {
      write_any_trans(node, first);
      return;
    }
    const Transition& t = node.trans[0];
    const std::uint8_t common = detail::common_input_index(t.inp);
    if (t.addr == last_addr && t.out.is_zero()) {  // OneTransNext
      if (common == 0) sink.push(t.inp);
      sink.push(static_cast<std::uint8_t>(0xC0 | common));
      return;
    }
    // OneTrans
    const unsigned osize = t.out.is_zero() ? 0 : detail::pack_size(t.out.value());
    if (osize != 0) sink.pack(t.out.value(), osize);
    const std::uint64_t delta = delta_to(first, t.addr);
    const unsigned tsize = detail::pack_size(delta);
    sink.pack(delta, tsize);
    sink.push(static_cast<std::uint8_t>(tsize << 4 | osize));
    if (common == 0) sink.push(t.inp);
    sink.push(static_cast<std::uint8_t>(0x80 | common));
  }

  void write_any_trans(const BuilderNode& node, std::uint64_t first) {
    const std::size_t n = node.trans.size();
    unsigned tsize = 0;
    unsigned osize = detail::pack_size(node.final_output);
    bool any_outs = node.final_output != 0;
    for (const Transition& t : node.trans) {
      tsize = std::max(tsize, detail::pack_size(delta_to(first, t.addr)));
      osize = std::max(osize, detail::pack_size(t.out.value()));
      any_outs = any_outs || !t.out.is_zero();
    }
    if (!any_outs) osize = 0;
    if (osize != 0) {
      if (node.is_final) sink.pack(node.final_output, osize);
      for (std::size_t i = n; i-- > 0;) sink.pack(node.trans[i].out.value(), osize);
    }
    for (std::size_t i = n; i-- > 0;) sink.pack(delta_to(first, node.trans[i].addr), tsize);
    for (std::size_t i = n; i-- > 0;) sink.push(node.trans[i].inp);
    if (n > kIndexThreshold) {
      std::array<std::uint8_t, 256> index;
      index.fill(255);
      for (std::size_t i = 0; i < n; ++i) index[node.trans[i].inp] = static_cast<std::uint8_t>(i);
      sink.append(index.data(), index.size());
    }
    sink.push(static_cast<std::uint8_t>(tsize << 4 | osize));
    // Counts 1..63 fit in the state byte; 0 and 64..256 take a count byte (256 as 1).
    std::uint8_t state = node.is_final ? 0x40 : 0x00;
    if (n >= 1 && n <= 63) {
      state |= static_cast<std::uint8_t>(n);
    } else {
      sink.push(n == 256 ? 1 : static_cast<std::uint8_t>(n));
    }
    sink.push(state);
  }

  void finish() {
    check_usable();
    compile_from(0);
    if (depth != 1 || stack[0].has_last)
      throw std::logic_error("fst::MapBuilder: unfinished path left over");
    const CompiledAddr root_addr = compile(stack[0].node);
    depth = 0;
    sink.pack(len, 8);
    sink.pack(root_addr, 8);
    sink.pack(sink.masked_checksum(), 4);
    sink.close();
    finished = true;
  }
};

MapBuilder::MapBuilder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MapBuilder::MapBuilder(MapBuilder&&) noexcept = default;
MapBuilder& MapBuilder::operator=(MapBuilder&&) noexcept = default;
MapBuilder::~MapBuilder() = default;

MapBuilder MapBuilder::memory() { return MapBuilder(std::make_unique<Impl>()); }

MapBuilder MapBuilder::to_writer(Writer writer) {
  if (!writer) throw std::logic_error("fst::MapBuilder: to_writer without a writer");
  auto impl = std::make_unique<Impl>();
  impl->sink.open(std::move(writer));
  return MapBuilder(std::move(impl));
}

MapBuilder MapBuilder::create(const std::filesystem::path& path) {
  auto impl = std::make_unique<Impl>();
  impl->sink.open(path);
  return MapBuilder(std::move(impl));
}

namespace {
template <class Impl>
Impl& live(const std::unique_ptr<Impl>& p) {
  if (!p) throw std::logic_error("fst::MapBuilder: used after being moved from");
  return *p;
}
}  // namespace

void MapBuilder::insert(std::span<const std::uint8_t> key, std::uint64_t value) {
  Impl& b = live(impl_);
  try {
    b.insert(key, value);
  } catch (const Error& e) {
    if (e.kind() == ErrorKind::Io) b.failed = e;
    throw;
  }
}

void MapBuilder::insert(std::string_view key, std::uint64_t value) {
  insert(
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(key.data()), key.size()),
      value);
}

void MapBuilder::finish() {
  Impl& b = live(impl_);
  try {
    b.finish();
  } catch (const Error& e) {
    if (e.kind() == ErrorKind::Io) b.failed = e;
    throw;
  }
}

std::vector<std::uint8_t> MapBuilder::into_inner() {
  Impl& b = live(impl_);
  if (b.sink.is_file()) throw std::logic_error("fst::MapBuilder: into_inner on a file builder");
  if (b.spent) throw std::logic_error("fst::MapBuilder: into_inner called twice");
  if (!b.finished) finish();
  b.spent = true;
  return b.sink.take();
}

std::uint64_t MapBuilder::len() const noexcept { return impl_ ? impl_->len : 0; }

std::uint64_t MapBuilder::bytes_written() const noexcept { return impl_ ? impl_->sink.count() : 0; }

}  // namespace fst
