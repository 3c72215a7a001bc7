#include "hash_blob.hpp"

#include <gtest/gtest.h>

#include "blob.hpp"
#include "bytes.hpp"
#include "error.hpp"

using namespace quenlith;
using hash_blob::FingerprintHeader;
using hash_blob::Header;

TEST(HashBlobHeader, WrittenFieldsReadBackAndTheCheckSealsThem) {
  const Header h{0x0102030405060708ull, 0x1112131415161718ull, 0x21222324u, 0x3132333435363738ull};
  const auto bytes = h.write("BMP8");
  EXPECT_NO_THROW(blob::check_frame(bytes, "BMP8", Header::kBytes));
  const Header back = Header::parse(bytes);
  EXPECT_EQ(back.n, h.n);
  EXPECT_EQ(back.mph_len, h.mph_len);
  EXPECT_EQ(back.side_count, h.side_count);
  EXPECT_EQ(back.payload, h.payload);

  const FingerprintHeader f{7, 13, 99, 2, 0xABCDEFull};
  const auto fb = f.write("BCH8");
  EXPECT_NO_THROW(blob::check_frame(fb, "BCH8", FingerprintHeader::kBytes));
  const FingerprintHeader fback = FingerprintHeader::parse(fb);
  EXPECT_EQ(fback.n, 7u);
  EXPECT_EQ(fback.bits, 13u);
  EXPECT_EQ(fback.mph_len, 99u);
  EXPECT_EQ(fback.side_count, 2u);
  EXPECT_EQ(fback.payload, 0xABCDEFull);
}

TEST(HashBlobHeader, ShortBytesAreRefusedNotReadPast) {
  const auto bytes = Header{1, 2, 3, 4}.write("BCL2");
  for (std::size_t cut = 0; cut < Header::kBytes; ++cut) {
    try {
      Header::parse(std::span(bytes).first(cut));
      FAIL() << cut;
    } catch (const IndexError& e) {
      EXPECT_EQ(e.message(), blob::kBadMagic);
    }
  }
  const auto fb = FingerprintHeader{1, 8, 2, 3, 4}.write("BCH8");
  EXPECT_THROW(FingerprintHeader::parse(std::span(fb).first(39)), IndexError);
}

TEST(HashBlobSections, FitOrNothingWhateverTheClaimedLengths) {
  // 36-byte header, 10 bytes of mph, 5 middle bytes, 2 entries of 12.
  const auto s = hash_blob::sections(36 + 10 + 5 + 24, 36, 10, 2, 12);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->mph_start, 36u);
  EXPECT_EQ(s->mph_len(), 10u);
  EXPECT_EQ(s->middle_start, 46u);
  EXPECT_EQ(s->middle_len(), 5u);
  EXPECT_EQ(s->side_start, 51u);
  EXPECT_TRUE(hash_blob::sections(36 + 10 + 24, 36, 10, 2, 12));  // no middle
  EXPECT_FALSE(hash_blob::sections(36 + 10 + 23, 36, 10, 2, 12));
  EXPECT_FALSE(hash_blob::sections(35, 36, 0, 0, 12));
  EXPECT_FALSE(hash_blob::sections(100, 36, ~0ull, 0, 12));
  EXPECT_FALSE(hash_blob::sections(100, 36, ~0ull - 30, 1, 12));
  EXPECT_FALSE(hash_blob::sections(100, 36, 0, ~0ull / 4, 20));
  EXPECT_FALSE(hash_blob::sections(~0ull, 36, 0, ~0ull, 20));
}

TEST(HashBlobSections, LoaderChecksNameTheSideCountBeforeTheSections) {
  auto message = [](auto&& f) {
    try {
      f();
    } catch (const IndexError& e) {
      return e.message();
    }
    return std::string("ok");
  };
  EXPECT_EQ(message([] { hash_blob::check_sections(100, 36, 3, 0, 3, 12); }),
            "side table length out of range");
  EXPECT_EQ(message([] { hash_blob::check_sections(100, 36, 0, 70, 0, 12); }),
            hash_blob::kMphLengthOutOfRange);
  EXPECT_EQ(message([] { hash_blob::check_sections(100, 36, 0, 64, 0, 12); }), "ok");
}

TEST(MagicVersion, MatchesTheFamilyAndTheDigitRangeOnly) {
  auto b = [](const char* s) { return bytes::as_bytes(s); };
  EXPECT_TRUE(blob::has_magic_version(b("BMP2"), "BMP", '2', '7'));
  EXPECT_TRUE(blob::has_magic_version(b("BMP7xx"), "BMP", '2', '7'));
  EXPECT_FALSE(blob::has_magic_version(b("BMP8"), "BMP", '2', '7'));
  EXPECT_FALSE(blob::has_magic_version(b("BMP1"), "BMP", '2', '7'));
  EXPECT_FALSE(blob::has_magic_version(b("BCP3"), "BMP", '2', '7'));
  EXPECT_FALSE(blob::has_magic_version(b("BMP"), "BMP", '2', '7'));
}
