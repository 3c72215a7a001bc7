// CRC-32C, its mask, the running summer, and verify() on damaged maps.
#include <gtest/gtest.h>

#include "fst/crc32.hpp"
#include "fst/fst.hpp"
#include "vectors.hpp"

namespace {

using namespace fst_test;

TEST(Checksum, Vectors) {
  std::size_t n = 0;
  for (auto& j : load_jsonl("crc32c.jsonl")) {
    SCOPED_TRACE(j.at("name").get<std::string>());
    const Bytes data = hex(j.at("data").get<std::string>());
    const auto crc = j.at("crc32c").get<std::uint32_t>();
    EXPECT_EQ(fst::crc32c(0, span_of(data)), crc);
    EXPECT_EQ(fst::detail::crc32c_portable(0, span_of(data)), crc);
    EXPECT_EQ(fst::mask_crc(crc), j.at("masked").get<std::uint32_t>());
    // Fed in uneven pieces, through both code paths.
    fst::CheckSummer s;
    std::uint32_t portable = 0;
    std::size_t pos = 0, step = 1;
    while (pos < data.size()) {
      const std::size_t len = std::min(step, data.size() - pos);
      s.update(span_of(data).subspan(pos, len));
      portable = fst::detail::crc32c_portable(portable, span_of(data).subspan(pos, len));
      pos += len;
      step = step * 3 + 1;
    }
    EXPECT_EQ(s.crc(), crc);
    EXPECT_EQ(portable, crc);
    EXPECT_EQ(s.masked(), j.at("masked").get<std::uint32_t>());
    ++n;
  }
  EXPECT_EQ(n, 41u);
  EXPECT_EQ(fst::CheckSummer().masked(), 0xA282EAD8u);
  const std::string check = "123456789";
  EXPECT_EQ(fst::crc32c(0, std::span<const std::uint8_t>(
                               reinterpret_cast<const std::uint8_t*>(check.data()), 9)),
            0xE3069283u);
}

// Any single changed byte before the checksum is caught, with the stored and computed values.
TEST(Checksum, VerifyCatchesEveryFlippedByte) {
  const BuildCase& c = build_case_named("months");
  for (std::size_t pos = 0; pos < c.fst.size(); ++pos) {
    Bytes b = c.fst;
    b[pos] ^= 0x04;
    std::optional<fst::Fst> f;
    try {
      f.emplace(span_of(b));
    } catch (const fst::Error&) {
      continue;  // header, footer or root damage is refused at open
    }
    try {
      f->verify();
      ADD_FAILURE() << "verified with byte " << pos << " changed";
    } catch (const fst::Error& e) {
      ASSERT_EQ(e.kind(), fst::ErrorKind::ChecksumMismatch);
      fst::CheckSummer s;
      s.update(span_of(b).first(b.size() - 4));
      const std::uint32_t stored = static_cast<std::uint32_t>(b[b.size() - 4]) |
                                   static_cast<std::uint32_t>(b[b.size() - 3]) << 8 |
                                   static_cast<std::uint32_t>(b[b.size() - 2]) << 16 |
                                   static_cast<std::uint32_t>(b[b.size() - 1]) << 24;
      EXPECT_EQ(e.expected(), stored);
      EXPECT_EQ(e.got(), s.masked());
    }
  }
}

}  // namespace
