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
#include <stdexcept>

#include "common_inputs.hpp"
#include "fst/error.hpp"

namespace fst {

namespace detail {

// Constant-initialized, so that maps opened during static initialization decode too.
constinit const std::array<std::uint8_t, 64> kCommonInputByIndex = [] {
  std::array<std::uint8_t, 64> t{};
  for (unsigned i = 0; i < 63; ++i) t[i + 1] = static_cast<std::uint8_t>(kCommonInputs[i]);
  return t;
}();

}  // namespace detail

void Node::malformed(std::uint64_t size) { throw Error::format(size); }

void Node::index_past_end() { throw std::out_of_range("fst::Node: transition index past the end"); }

}  // namespace fst
