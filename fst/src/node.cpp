// Node decoding. Read and written for format versions 1..3 (the input index is read from 2 on).
//
// A node's address is the offset of its LAST byte, the state byte; decoding works towards
// lower offsets. `first` is the node's lowest offset. Targets are stored as deltas from
// `first`: target = first - delta, delta 0 meaning the empty final node (address 0).
// size(n) = bytes to hold n, with size(0) = 1. "pack" = (tsize << 4) | osize.
//
// state bits 7..6:
//   11 OneTransNext  [input]? state                   state = 0xC0 | common(input)
//        one transition, output 0, target = first - 1 (the node written just before)
//   10 OneTrans      [output: osize]? [delta: tsize] pack [input]? state
//                                                     state = 0x80 | common(input)
//   0F AnyTrans      (F = final bit 6), n transitions sorted by input, stored in REVERSE order:
//        offset (ascending)           width        present when
//        final output                 osize        final and osize > 0
//        outputs n-1 .. 0             n * osize    osize > 0
//        deltas  n-1 .. 0             n * tsize
//        inputs  n-1 .. 0             n
//        input index                  256          n > 32 (read only from version 2): entry b
//                                                  is the position of input b, >= n = absent
//        pack                         1
//        count                        1            n == 0 or n >= 64; 256 is stored as 1
//        state                        1            = (final ? 0x40 : 0) | (1 <= n <= 63 ? n : 0)
//
// common(b) is an index 1..63 into a fixed table of frequent bytes (0 = not in the table,
// the input byte is then stored before the state byte).
#include "fst/node.hpp"

#include <array>
#include <cstring>
#include <stdexcept>

#include "bytes.hpp"
#include "common_inputs.hpp"
#include "fst/error.hpp"

namespace fst {

namespace {

// Nodes lie after the 16-byte header (version, type).
constexpr std::uint64_t kAreaStart = 16;
constexpr std::size_t kIndexThreshold = 32;

}  // namespace

void Node::malformed() const { throw Error::format(size_); }

CompiledAddr Node::target_from_delta(std::uint64_t delta) const {
    if (delta == 0) return EMPTY_ADDRESS;
    // A real target lies in [kAreaStart, first): written before this node.
    if (delta > first_ - kAreaStart) malformed();
    return first_ - delta;
}

Node Node::decode(const std::uint8_t* data, std::uint64_t size, std::uint64_t area_end,
                  std::uint64_t version, CompiledAddr addr) {
    Node n;
    n.data_ = data;
    n.size_ = size;
    if (addr == EMPTY_ADDRESS) return n;  // the empty final node: no bytes
    if (addr < kAreaStart || addr >= area_end) throw Error::format(size);
    n.addr_ = addr;
    // Bytes of the node area at or below addr: a node needing more is malformed.
    const std::uint64_t avail = addr - kAreaStart + 1;
    const std::uint8_t state = data[addr];
    const unsigned common = state & 0x3F;
    switch (state >> 6) {
        case 3: {  // OneTransNext
            n.kind_ = NodeKind::OneTransNext;
            n.final_ = false;
            n.ntrans_ = 1;
            std::uint64_t used = 1;
            if (common == 0) {
                if (avail < 2) throw Error::format(size);
                n.one_inp_ = data[addr - 1];
                used = 2;
            } else {
                n.one_inp_ = detail::common_input_byte(common);
            }
            n.first_ = addr + 1 - used;
            // The target is the byte just before this node, which must itself be a node.
            if (n.first_ <= kAreaStart) throw Error::format(size);
            n.one_addr_ = n.first_ - 1;
            return n;
        }
        case 2: {  // OneTrans
            n.kind_ = NodeKind::OneTrans;
            n.final_ = false;
            n.ntrans_ = 1;
            const std::uint64_t il = (common == 0) ? 1 : 0;
            if (avail < il + 2) throw Error::format(size);
            n.one_inp_ = il ? data[addr - 1] : detail::common_input_byte(common);
            const std::uint8_t pack = data[addr - il - 1];
            const unsigned tsize = pack >> 4, osize = pack & 0x0F;
            if (tsize > 8 || osize > 8) throw Error::format(size);
            const std::uint64_t used = il + 2 + tsize + osize;
            if (avail < used) throw Error::format(size);
            n.first_ = addr + 1 - used;
            n.one_out_ = detail::unpack_uint(data + n.first_, osize);
            n.one_addr_ = n.target_from_delta(detail::unpack_uint(data + addr - il - 1 - tsize, tsize));
            return n;
        }
        default: {  // AnyTrans
            n.kind_ = NodeKind::AnyTrans;
            n.final_ = (state & 0x40) != 0;
            std::uint64_t nl = 0;
            std::uint64_t ntrans = common;
            if (ntrans == 0) {
                if (avail < 2) throw Error::format(size);
                ntrans = data[addr - 1];
                if (ntrans == 1) ntrans = 256;
                nl = 1;
            }
            if (avail < nl + 2) throw Error::format(size);
            const std::uint8_t pack = data[addr - nl - 1];
            const unsigned tsize = pack >> 4, osize = pack & 0x0F;
            if (tsize > 8 || osize > 8) throw Error::format(size);
            n.has_index_ = version >= 2 && ntrans > kIndexThreshold;
            const std::uint64_t isz = n.has_index_ ? 256 : 0;
            // At most 2 + 256 + 256 * 17 + 8 + 1 bytes: no overflow possible.
            const std::uint64_t used =
                nl + 2 + isz + ntrans * (1 + tsize + osize) + (n.final_ ? osize : 0);
            if (avail < used) throw Error::format(size);
            n.ntrans_ = static_cast<std::uint16_t>(ntrans);
            n.tsize_ = static_cast<std::uint8_t>(tsize);
            n.osize_ = static_cast<std::uint8_t>(osize);
            n.base_ = addr - nl - 1 - isz;
            n.first_ = addr + 1 - used;
            n.final_output_ = (n.final_ && osize > 0) ? detail::unpack_uint(data + n.first_, osize) : 0;
            return n;
        }
    }
}

std::uint8_t Node::transition_input(std::size_t i) const {
    if (i >= ntrans_) throw std::out_of_range("fst::Node: transition index past the end");
    if (kind_ != NodeKind::AnyTrans) return one_inp_;
    return data_[base_ - 1 - i];
}

CompiledAddr Node::transition_addr(std::size_t i) const {
    if (i >= ntrans_) throw std::out_of_range("fst::Node: transition index past the end");
    if (kind_ != NodeKind::AnyTrans) return one_addr_;
    const std::uint64_t at = base_ - ntrans_ - (i + 1) * tsize_;
    return target_from_delta(detail::unpack_uint(data_ + at, tsize_));
}

Transition Node::transition(std::size_t i) const {
    if (i >= ntrans_) throw std::out_of_range("fst::Node: transition index past the end");
    if (kind_ != NodeKind::AnyTrans) return Transition{one_inp_, Output(one_out_), one_addr_};
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

std::optional<std::size_t> Node::find_input(std::uint8_t b) const noexcept {
    switch (kind_) {
        case NodeKind::EmptyFinal:
            return std::nullopt;
        case NodeKind::OneTransNext:
        case NodeKind::OneTrans:
            return one_inp_ == b ? std::optional<std::size_t>(0) : std::nullopt;
        case NodeKind::AnyTrans:
            break;
    }
    if (has_index_) {
        const std::size_t i = data_[base_ + b];
        return i < ntrans_ ? std::optional<std::size_t>(i) : std::nullopt;
    }
    // Inputs are stored in reverse: the byte at offset base_-n+j is transition n-1-j.
    const std::uint8_t* inputs = data_ + base_ - ntrans_;
    const void* hit = std::memchr(inputs, b, ntrans_);
    if (hit == nullptr) return std::nullopt;
    const std::size_t j = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - inputs);
    return ntrans_ - 1 - j;
}

}  // namespace fst
