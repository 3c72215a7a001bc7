#include "bytes.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quenlith::bytes {
namespace {

TEST(CommonPrefix, EveryMismatchPositionAndLengthAgainstAByteLoop) {
  // Lengths around the 8-byte word steps; the first difference at every position, or none.
  for (std::size_t la = 0; la <= 20; ++la) {
    for (std::size_t lb = 0; lb <= 20; ++lb) {
      const std::size_t n = std::min(la, lb);
      for (std::size_t at = 0; at <= n; ++at) {
        std::string a(la, 'x'), b(lb, 'x');
        for (std::size_t i = 0; i < la; ++i) a[i] = static_cast<char>('a' + i % 7);
        for (std::size_t i = 0; i < lb; ++i) b[i] = static_cast<char>('a' + i % 7);
        if (at < n) b[at] = static_cast<char>(b[at] ^ 0x80);
        std::size_t want = 0;
        while (want < n && a[want] == b[want]) ++want;
        ASSERT_EQ(common_prefix(a, b), want) << la << " " << lb << " " << at;
        ASSERT_EQ(common_prefix(as_bytes(b), as_bytes(a)), want) << la << " " << lb << " " << at;
      }
    }
  }
}

}  // namespace
}  // namespace quenlith::bytes
