// Nodes of a map file, decoded in place, and the output values carried along their paths.
//
// A `Node` is a small value (a few words) that points into the map's bytes: it copies nothing,
// so a walker can keep a stack of them. It stays valid while the bytes the `Fst` was opened
// over stay alive. Every read a Node makes is checked against the bytes present: a node whose
// encoding does not fit below its address, or a transition whose target does not lie below
// its node, raises fst::Error (kind Format) instead of reading out of bounds. (Integers are
// read with one 8-byte load that may extend past the node, never past the file's footer.)
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace fst {

// The address of a node: the file offset of its last byte (its state byte).
using CompiledAddr = std::uint64_t;

// The empty final node (final, no transitions, final output 0). It is never written.
inline constexpr CompiledAddr EMPTY_ADDRESS = 0;
// "No address"; never stored in a file.
inline constexpr CompiledAddr NONE_ADDRESS = 1;

// An output value. A key's value is the sum of the outputs on its path plus the final output
// of the node where it ends.
class Output {
 public:
  constexpr Output() noexcept = default;
  constexpr explicit Output(std::uint64_t v) noexcept : v_(v) {}
  static constexpr Output zero() noexcept { return Output(); }

  constexpr std::uint64_t value() const noexcept { return v_; }
  constexpr bool is_zero() const noexcept { return v_ == 0; }
  // The common prefix of two outputs: their minimum.
  constexpr Output prefix(Output o) const noexcept { return Output(v_ < o.v_ ? v_ : o.v_); }
  // Concatenation: the sum (wrapping, which only a malformed file can cause).
  constexpr Output cat(Output o) const noexcept { return Output(v_ + o.v_); }
  // Removes a prefix: the difference. Requires o <= *this.
  constexpr Output sub(Output o) const noexcept { return Output(v_ - o.v_); }

  friend constexpr bool operator==(Output, Output) noexcept = default;

 private:
  std::uint64_t v_ = 0;
};

// One transition: input byte, output, and the address of the node it leads to.
struct Transition {
  std::uint8_t inp = 0;
  Output out;
  CompiledAddr addr = EMPTY_ADDRESS;

  friend constexpr bool operator==(const Transition&, const Transition&) noexcept = default;
};

// How a node is encoded.
enum class NodeKind : std::uint8_t {
  EmptyFinal,    // address 0: final, no transitions, no bytes
  OneTransNext,  // one transition, output 0, to the node written just before
  OneTrans,      // one transition, any output and target
  AnyTrans,      // any number of transitions (0..256), final or not
};

class Fst;
class NodeReader;

namespace detail {
// Nodes lie after the 16-byte header (version, type).
inline constexpr std::uint64_t kAreaStart = 16;
// Nodes with more transitions than this carry a 256-byte input index (read from version 2).
inline constexpr std::size_t kIndexThreshold = 32;
// The input byte of each common-input index 1..63 (entry 0 unused), as the state byte of a
// one-transition node refers to it.
extern const std::array<std::uint8_t, 64> kCommonInputByIndex;

// The low `nbytes` (0..8) bytes at `p`, little-endian.
inline std::uint64_t unpack_uint(const std::uint8_t* p, unsigned nbytes) noexcept {
  std::uint64_t v = 0;
  for (unsigned i = 0; i < nbytes; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  return v;
}

// kLowBytesMask[n] keeps the low n bytes of a word.
inline constexpr std::array<std::uint64_t, 9> kLowBytesMask = [] {
  std::array<std::uint64_t, 9> m{};
  for (unsigned n = 1; n < 8; ++n) m[n] = (std::uint64_t{1} << (8 * n)) - 1;
  m[8] = ~std::uint64_t{0};
  return m;
}();

// As unpack_uint (`nbytes` at most 8), but with one 8-byte load: all of p[0..8) must be
// readable. That holds for any `p` at or below the address of a node the reader decoded: the
// node area is followed by a footer of at least 16 bytes (Fst checks this when it opens the map).
inline std::uint64_t load_uint(const std::uint8_t* p, unsigned nbytes) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v & kLowBytesMask[nbytes];
}
}  // namespace detail

// A decoded node. Obtain one from Fst::root() or Fst::node(addr). Copyable, trivially
// destructible, safe to use from many threads at once (it never changes).
class Node {
 public:
  // The empty final node (address 0): final, output 0, no transitions.
  Node() = default;

  // The node's address (the offset of its last byte; 0 for the empty final node).
  CompiledAddr addr() const noexcept { return addr_; }
  // The offset of the node's first byte (0 for the empty final node).
  std::uint64_t first_byte() const noexcept { return first_; }
  NodeKind kind() const noexcept { return kind_; }

  bool is_final() const noexcept { return final_; }
  // The value added when a key ends here (0 for non-final nodes).
  Output final_output() const noexcept { return Output(final_output_); }

  // Number of transitions (0..256).
  std::size_t len() const noexcept { return ntrans_; }
  bool is_empty() const noexcept { return ntrans_ == 0; }

  // Transition `i`, in ascending input order. Throws std::out_of_range if i >= len(), and
  // fst::Error (Format) if its stored target does not lie below this node.
  Transition transition(std::size_t i) const;
  // Only the input byte of transition `i` (std::out_of_range if i >= len()).
  std::uint8_t transition_input(std::size_t i) const;
  // Only the target of transition `i`; checked as in transition().
  CompiledAddr transition_addr(std::size_t i) const;
  // The position of the transition with input `b`, or nullopt.
  std::optional<std::size_t> find_input(std::uint8_t b) const noexcept;

 private:
  friend class Fst;
  friend class NodeReader;
  // Decodes the node at `addr` of the `size`-byte file at `data`, whose nodes lie in
  // [16, area_end) with area_end + 16 <= size, into *this. Throws Error::format(size) for
  // anything that does not fit.
  void decode(const std::uint8_t* data, std::uint64_t size, std::uint64_t area_end,
              std::uint64_t version, CompiledAddr addr);
  // Throws Error::format(size). Static, so that a Node being decoded does not escape.
  [[noreturn]] static void malformed(std::uint64_t size);
  [[noreturn]] static void index_past_end();
  // Decodes the transition of the one-transition node (OneTransNext or OneTrans, state byte
  // `state` >= 0x80) at `addr`, in [16, area_end), and sets `first` to the node's first byte.
  static Transition decode_one(const std::uint8_t* data, std::uint64_t size, CompiledAddr addr,
                               std::uint8_t state, std::uint64_t& first);
  // The target `delta` bytes below `first` (the empty final node for 0). A real target lies in
  // [16, first): in the node area, written before the node.
  static CompiledAddr target_below(std::uint64_t first, std::uint64_t delta, std::uint64_t size) {
    if (delta == 0) return EMPTY_ADDRESS;
    if (delta > first - detail::kAreaStart) malformed(size);
    return first - delta;
  }
  CompiledAddr target_from_delta(std::uint64_t delta) const {
    return target_below(first_, delta, size_);
  }

  const std::uint8_t* data_ = nullptr;  // the whole file
  std::uint64_t size_ = 0;              // file size, for error texts
  CompiledAddr addr_ = EMPTY_ADDRESS;
  std::uint64_t first_ = 0;
  std::uint64_t base_ = 0;  // AnyTrans: inputs end here (input i at base_-1-i); index at base_
  std::uint64_t final_output_ = 0;
  // One-transition kinds: the decoded transition.
  std::uint64_t one_out_ = 0;
  CompiledAddr one_addr_ = EMPTY_ADDRESS;
  std::uint16_t ntrans_ = 0;
  NodeKind kind_ = NodeKind::EmptyFinal;
  std::uint8_t one_inp_ = 0;
  std::uint8_t tsize_ = 0;
  std::uint8_t osize_ = 0;
  bool final_ = true;
  bool has_index_ = false;
};

// Decoding and the accessors run once per node or transition of every walk, so they are inline.
// The encodings are drawn in node.cpp.
[[gnu::always_inline]] inline Transition Node::decode_one(const std::uint8_t* data,
                                                          std::uint64_t size, CompiledAddr addr,
                                                          std::uint8_t state,
                                                          std::uint64_t& first) {
  // The two kinds share their checks and differ only in the fields below the input:
  //   OneTransNext: [input] state                      output 0, target the node just before
  //   OneTrans:     [output] [delta] pack [input] state
  // Both need at least il + 2 bytes at or below addr (OneTransNext: its target's last byte),
  // so both bytes below the state byte may be read before the kind is looked at.
  const std::uint64_t avail = addr - detail::kAreaStart + 1;
  const unsigned common = state & 0x3F;
  const std::uint64_t il = (common == 0) ? 1 : 0;  // the input is stored below the state byte
  if (avail < il + 2) malformed(size);
  const bool next = state >= 0xC0;
  Transition t;
  const std::uint8_t stored = data[addr - 1];
  const std::uint8_t listed = detail::kCommonInputByIndex[common];
  t.inp = il ? stored : listed;
  const std::uint8_t pack = next ? 0 : data[addr - il - 1];
  const unsigned tsize = pack >> 4, osize = pack & 0x0F;
  if (tsize > 8 || osize > 8) malformed(size);
  const std::uint64_t used = il + 1 + (next ? 0 : 1 + tsize + osize);
  if (avail < used) malformed(size);
  first = addr + 1 - used;
  t.out = Output(detail::load_uint(data + first, osize));
  const std::uint64_t delta = next ? 1 : detail::load_uint(data + addr - il - 1 - tsize, tsize);
  t.addr = target_below(first, delta, size);
  return t;
}

// Every field is written on every path, so that decoding into a reused Node leaves nothing of
// the previous one.
[[gnu::always_inline]] inline void Node::decode(const std::uint8_t* data, std::uint64_t size,
                                                std::uint64_t area_end, std::uint64_t version,
                                                CompiledAddr addr) {
  data_ = data;
  size_ = size;
  addr_ = addr;
  base_ = 0;
  final_output_ = 0;
  tsize_ = 0;
  osize_ = 0;
  has_index_ = false;
  if (addr == EMPTY_ADDRESS) {  // the empty final node: no bytes
    first_ = 0;
    one_out_ = 0;
    one_addr_ = EMPTY_ADDRESS;
    ntrans_ = 0;
    kind_ = NodeKind::EmptyFinal;
    one_inp_ = 0;
    final_ = true;
    return;
  }
  // addr in [16, area_end), in one comparison (area_end >= 16).
  if (addr - detail::kAreaStart >= area_end - detail::kAreaStart) malformed(size);
  const std::uint8_t state = data[addr];
  if (state >= 0x80) {
    const Transition t = decode_one(data, size, addr, state, first_);
    kind_ = state >= 0xC0 ? NodeKind::OneTransNext : NodeKind::OneTrans;
    final_ = false;
    ntrans_ = 1;
    one_inp_ = t.inp;
    one_out_ = t.out.value();
    one_addr_ = t.addr;
    return;
  }
  const std::uint64_t avail = addr - detail::kAreaStart + 1;
  const unsigned common = state & 0x3F;
  // AnyTrans: final bit 6, the count in the state byte or in the byte below it.
  kind_ = NodeKind::AnyTrans;
  final_ = (state & 0x40) != 0;
  one_inp_ = 0;
  one_out_ = 0;
  one_addr_ = EMPTY_ADDRESS;
  std::uint64_t nl = 0;
  std::uint64_t ntrans = common;
  if (ntrans == 0) {
    if (avail < 2) malformed(size);
    ntrans = data[addr - 1];
    if (ntrans == 1) ntrans = 256;
    nl = 1;
  }
  if (avail < nl + 2) malformed(size);
  const std::uint8_t pack = data[addr - nl - 1];
  const unsigned tsize = pack >> 4, osize = pack & 0x0F;
  if (tsize > 8 || osize > 8) malformed(size);
  has_index_ = version >= 2 && ntrans > detail::kIndexThreshold;
  const std::uint64_t isz = has_index_ ? 256 : 0;
  // At most 2 + 256 + 256 * 17 + 8 + 1 bytes: no overflow possible.
  const std::uint64_t used = nl + 2 + isz + ntrans * (1 + tsize + osize) + (final_ ? osize : 0);
  if (avail < used) malformed(size);
  ntrans_ = static_cast<std::uint16_t>(ntrans);
  tsize_ = static_cast<std::uint8_t>(tsize);
  osize_ = static_cast<std::uint8_t>(osize);
  base_ = addr - nl - 1 - isz;
  first_ = addr + 1 - used;
  final_output_ = final_ ? detail::load_uint(data + first_, osize) : 0;
}

inline std::uint8_t Node::transition_input(std::size_t i) const {
  if (i >= ntrans_) index_past_end();
  if (kind_ != NodeKind::AnyTrans) return one_inp_;
  return data_[base_ - 1 - i];
}

inline CompiledAddr Node::transition_addr(std::size_t i) const {
  if (i >= ntrans_) index_past_end();
  if (kind_ != NodeKind::AnyTrans) return one_addr_;
  const std::uint64_t at = base_ - ntrans_ - (i + 1) * tsize_;
  return target_from_delta(detail::load_uint(data_ + at, tsize_));
}

[[gnu::always_inline]] inline Transition Node::transition(std::size_t i) const {
  if (i >= ntrans_) index_past_end();
  if (kind_ != NodeKind::AnyTrans) return Transition{one_inp_, Output(one_out_), one_addr_};
  // Layout below base_: inputs, then deltas, then outputs, each in reverse order. With an
  // output size of 0 the load reads bytes of the node and keeps none of them.
  const std::uint64_t deltas = base_ - ntrans_;
  const std::uint64_t outs = deltas - static_cast<std::uint64_t>(ntrans_) * tsize_;
  Transition t;
  t.inp = data_[base_ - 1 - i];
  t.addr = target_from_delta(detail::load_uint(data_ + deltas - (i + 1) * tsize_, tsize_));
  t.out = Output(detail::load_uint(data_ + outs - (i + 1) * osize_, osize_));
  return t;
}

inline std::optional<std::size_t> Node::find_input(std::uint8_t b) const noexcept {
  if (kind_ != NodeKind::AnyTrans) {
    if (ntrans_ == 1 && one_inp_ == b) return 0;
    return std::nullopt;
  }
  if (has_index_) {
    // The index is only a hint: a damaged or crafted one could name another byte's transition,
    // so the answer stands only when that transition's input is `b`.
    const std::size_t i = data_[base_ + b];
    if (i < ntrans_ && data_[base_ - 1 - i] == b) return i;
    return std::nullopt;
  }
  // Inputs are stored in reverse: the byte at base_-n+j is the input of transition n-1-j.
  const std::uint8_t* inputs = data_ + base_ - ntrans_;
  for (std::size_t j = 0; j < ntrans_; ++j) {
    if (inputs[j] == b) return ntrans_ - 1 - j;
  }
  return std::nullopt;
}

// Decodes the nodes of one map. A walker keeps one by value, so that the map's bounds stay at
// hand instead of behind a pointer to the Fst; decoding is as Fst::node() does it.
class NodeReader {
 public:
  // Reads the nodes of `fst` (defined in fst.hpp); valid while fst's bytes are.
  explicit NodeReader(const Fst& fst) noexcept;
  // As Fst::node().
  [[gnu::always_inline]] Node node(CompiledAddr addr) const {
    Node n;
    n.decode(data_, size_, area_end_, version_, addr);
    return n;
  }
  // When the node at `addr` is of a one-transition kind (OneTransNext or OneTrans: one
  // transition, never final), stores that transition in `t` and returns true. Otherwise
  // returns false and the node is to be decoded with node(). Throws as node() does.
  [[gnu::always_inline]] bool lone_transition(CompiledAddr addr, Transition& t) const {
    if (addr == EMPTY_ADDRESS) return false;
    if (addr - detail::kAreaStart >= area_end_ - detail::kAreaStart) Node::malformed(size_);
    const std::uint8_t state = data_[addr];
    if (state < 0x80) return false;
    std::uint64_t first;
    t = Node::decode_one(data_, size_, addr, state, first);
    return true;
  }

 private:
  const std::uint8_t* data_;
  std::uint64_t size_;
  std::uint64_t area_end_;
  std::uint64_t version_;
};

}  // namespace fst
