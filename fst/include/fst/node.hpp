// Nodes of a map file, decoded in place, and the output values carried along their paths.
//
// A `Node` is a small value (a few words) that points into the map's bytes: it copies nothing,
// so a walker can keep a stack of them. It stays valid while the bytes the `Fst` was opened
// over stay alive. Every read a Node makes is checked against the bytes present: a node whose
// encoding does not fit below its address, or a transition whose target does not lie below
// its node, raises fst::Error (kind Format) instead of reading out of bounds.
#pragma once

#include <cstddef>
#include <cstdint>
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

namespace detail {
// The low `nbytes` (0..8) bytes at `p`, little-endian.
inline std::uint64_t unpack_uint(const std::uint8_t* p, unsigned nbytes) noexcept {
    std::uint64_t v = 0;
    for (unsigned i = 0; i < nbytes; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return v;
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
    // Decodes the node at `addr` of the `size`-byte file at `data`, whose nodes lie in
    // [16, area_end), into *this. Throws Error::format(size) for anything that does not fit.
    void decode(const std::uint8_t* data, std::uint64_t size, std::uint64_t area_end, std::uint64_t version,
                CompiledAddr addr);
    [[noreturn]] void malformed() const;
    [[noreturn]] static void index_past_end();
    CompiledAddr target_from_delta(std::uint64_t delta) const {
        if (delta == 0) return EMPTY_ADDRESS;
        // A real target lies in [16, first): in the node area, written before this node.
        if (delta > first_ - 16) malformed();
        return first_ - delta;
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

// The accessors below run once per transition of every walk, so they are inline.

inline std::uint8_t Node::transition_input(std::size_t i) const {
    if (i >= ntrans_) index_past_end();
    if (kind_ != NodeKind::AnyTrans) return one_inp_;
    return data_[base_ - 1 - i];
}

inline CompiledAddr Node::transition_addr(std::size_t i) const {
    if (i >= ntrans_) index_past_end();
    if (kind_ != NodeKind::AnyTrans) return one_addr_;
    const std::uint64_t at = base_ - ntrans_ - (i + 1) * tsize_;
    return target_from_delta(detail::unpack_uint(data_ + at, tsize_));
}

inline Transition Node::transition(std::size_t i) const {
    if (i >= ntrans_) index_past_end();
    if (kind_ != NodeKind::AnyTrans) return Transition{one_inp_, Output(one_out_), one_addr_};
    // Layout below base_: inputs, then deltas, then outputs, each in reverse order.
    Transition t;
    t.inp = data_[base_ - 1 - i];
    const std::uint64_t deltas = base_ - ntrans_;
    t.addr = target_from_delta(detail::unpack_uint(data_ + deltas - (i + 1) * tsize_, tsize_));
    if (osize_ != 0) {
        const std::uint64_t outs = deltas - static_cast<std::uint64_t>(ntrans_) * tsize_;
        t.out = Output(detail::unpack_uint(data_ + outs - (i + 1) * osize_, osize_));
    }
    return t;
}

inline std::optional<std::size_t> Node::find_input(std::uint8_t b) const noexcept {
    if (kind_ != NodeKind::AnyTrans) {
        if (ntrans_ == 1 && one_inp_ == b) return 0;
        return std::nullopt;
    }
    if (has_index_) {
        const std::size_t i = data_[base_ + b];
        if (i < ntrans_) return i;
        return std::nullopt;
    }
    // Inputs are stored in reverse: the byte at base_-n+j is the input of transition n-1-j.
    const std::uint8_t* inputs = data_ + base_ - ntrans_;
    for (std::size_t j = 0; j < ntrans_; ++j) {
        if (inputs[j] == b) return ntrans_ - 1 - j;
    }
    return std::nullopt;
}

}  // namespace fst
