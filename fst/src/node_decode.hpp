// Node decoding, inlined into the lookup loop (private to the library; included by node.cpp
// and fst.cpp). The node encodings are drawn in node.cpp.
#pragma once

#include "bytes.hpp"
#include "common_inputs.hpp"
#include "fst/error.hpp"
#include "fst/node.hpp"

namespace fst {

namespace detail {

// Nodes lie after the 16-byte header (version, type).
inline constexpr std::uint64_t kAreaStart = 16;
static_assert(kAreaStart == 16, "Node::target_from_delta assumes the node area starts at 16");
// Nodes with more transitions than this carry a 256-byte input index (read from version 2).
inline constexpr std::size_t kIndexThreshold = 32;

}  // namespace detail

inline void Node::decode(const std::uint8_t* data, std::uint64_t size, std::uint64_t area_end,
                         std::uint64_t version, CompiledAddr addr) {
    Node& n = *this;
    n = Node();
    n.data_ = data;
    n.size_ = size;
    if (addr == EMPTY_ADDRESS) return;  // the empty final node: no bytes
    if (addr < detail::kAreaStart || addr >= area_end) throw Error::format(size);
    n.addr_ = addr;
    // Bytes of the node area at or below addr: a node needing more is malformed.
    const std::uint64_t avail = addr - detail::kAreaStart + 1;
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
            if (n.first_ <= detail::kAreaStart) throw Error::format(size);
            n.one_addr_ = n.first_ - 1;
            return;
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
            return;
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
            n.has_index_ = version >= 2 && ntrans > detail::kIndexThreshold;
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
            return;
        }
    }
}

}  // namespace fst
