// Exact error texts, key display and UTF-8 validation.
#include <gtest/gtest.h>

#include "fst/error.hpp"
#include "vectors.hpp"

namespace {

using namespace fst_test;
using fst::Error;
using fst::ErrorKind;

TEST(Error, ConstructedTextsMatchTheVectors) {
  std::size_t n = 0;
  for (auto& j : load_jsonl("errors.jsonl")) {
    const std::string op = j.at("op").get<std::string>();
    const std::string name = j.at("name").get<std::string>();
    SCOPED_TRACE(name);
    std::optional<Error> e;
    if (op == "construct") {
      if (name == "wrong_type_display") {
        e = Error::wrong_type(j.at("expected").get<std::uint64_t>(),
                              j.at("got").get<std::uint64_t>());
      } else if (name == "checksum_missing_display") {
        e = Error::checksum_missing();
      } else if (name == "format_display") {
        e = Error::format(j.at("size").get<std::uint64_t>());
      } else if (name == "version_display") {
        e = Error::version(j.at("expected").get<std::uint64_t>(), j.at("got").get<std::uint64_t>());
      } else if (name == "checksum_mismatch_display") {
        e = Error::checksum_mismatch(j.at("expected").get<std::uint32_t>(),
                                     j.at("got").get<std::uint32_t>());
      } else {
        ADD_FAILURE() << "unknown construct case";
        continue;
      }
    } else if (op == "from_utf8") {
      const Bytes b = hex(j.at("bytes").get<std::string>());
      e = fst::utf8_error(span_of(b));
      ASSERT_TRUE(e.has_value());
      EXPECT_EQ(e->kind(), ErrorKind::FromUtf8);
    } else if (op == "io" && name != "io_error_dev_full") {
      e = Error::io(j.at("display").get<std::string>());
    } else if (op == "io") {
      e = Error::io_errno(28);
    } else {
      continue;
    }
    EXPECT_EQ(std::string(e->what()), j.at("display").get<std::string>());
    EXPECT_EQ(std::string(e->outer_display()), j.at("outer_display").get<std::string>());
    ++n;
  }
  EXPECT_EQ(n, 11u);
  // The version text has a line feed and no space before "FST.".
  const std::string v = Error::version(3, 4).what();
  EXPECT_NE(v.find("re-generate the\nFST."), std::string::npos);
}

TEST(Error, KeysShowAsTextOrAsByteLists) {
  auto text = [](const Bytes& b) { return fst::key_text(span_of(b)); };
  EXPECT_EQ(text({}), "");
  EXPECT_EQ(text({'i', 't', '\'', 's'}), "it's");
  EXPECT_EQ(text({0xC3, 0xA9}), "\xC3\xA9");
  EXPECT_EQ(text({0xF0, 0x9F, 0x98, 0x80}), "\xF0\x9F\x98\x80");
  EXPECT_EQ(text({0xFF, 0x01}), "[255, 1]");
  EXPECT_EQ(text({0x61, 0xC3}), "[97, 195]");
  EXPECT_EQ(text({0xED, 0xA0, 0x80}), "[237, 160, 128]");             // a surrogate
  EXPECT_EQ(text({0xC0, 0x80}), "[192, 128]");                        // overlong NUL
  EXPECT_EQ(text({0xF4, 0x90, 0x80, 0x80}), "[244, 144, 128, 128]");  // above U+10FFFF
  EXPECT_EQ(text({0x00}), std::string(1, '\0'));
}

// Where validation stops and how long the bad sequence is, as text conversion reports it.
TEST(Error, Utf8ErrorPositions) {
  struct Case {
    Bytes bytes;
    std::string text;  // "" = valid
  };
  const std::vector<Case> cases = {
      {{}, ""},
      {{'a', 0xE6, 0x97}, "incomplete utf-8 byte sequence from index 1"},
      {{'a', 'b', 0xC3, '('}, "invalid utf-8 sequence of 1 bytes from index 2"},
      {{0xFF}, "invalid utf-8 sequence of 1 bytes from index 0"},
      {{0xE6, 0x97, 'x'}, "invalid utf-8 sequence of 2 bytes from index 0"},
      {{0xF0, 0x9F, 0x98, 'x'}, "invalid utf-8 sequence of 3 bytes from index 0"},
      {{0xF0, 0x9F, 0x98}, "incomplete utf-8 byte sequence from index 0"},
      {{0xE0, 0x80, 0x80}, "invalid utf-8 sequence of 1 bytes from index 0"},
      {{0xED, 0xBF, 0xBF}, "invalid utf-8 sequence of 1 bytes from index 0"},
      {{0x80}, "invalid utf-8 sequence of 1 bytes from index 0"},
      {{'z', 0xEF, 0xBF, 0xBF, 0xF4, 0x8F, 0xBF, 0xBF}, ""},
  };
  for (auto& c : cases) {
    const auto e = fst::utf8_error(span_of(c.bytes));
    if (c.text.empty()) {
      EXPECT_FALSE(e.has_value()) << to_hex(c.bytes);
    } else {
      ASSERT_TRUE(e.has_value()) << to_hex(c.bytes);
      EXPECT_EQ(std::string(e->what()), c.text) << to_hex(c.bytes);
    }
  }
}

}  // namespace
