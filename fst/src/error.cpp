#include "fst/error.hpp"

#include <cstring>
#include <utility>

namespace fst {

namespace {

// Result of a UTF-8 scan: where the valid prefix ends and how long the faulty sequence is
// (nullopt when the input ends inside a sequence). `valid_up_to == size` means all valid.
struct Utf8Scan {
  std::size_t valid_up_to;
  std::optional<std::size_t> error_len;
};

bool is_continuation(std::uint8_t b) { return (b & 0xC0) == 0x80; }

Utf8Scan scan_utf8(std::span<const std::uint8_t> s) {
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    const std::uint8_t lead = s[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t width = 0;
    // The accepted range of the second byte depends on the lead byte: it rules out
    // overlong forms (E0, F0), surrogates (ED) and scalars above U+10FFFF (F4).
    std::uint8_t lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      width = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      width = 3;
      if (lead == 0xE0) lo = 0xA0;
      if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      width = 4;
      if (lead == 0xF0) lo = 0x90;
      if (lead == 0xF4) hi = 0x8F;
    } else {
      return {i, 1};
    }
    for (std::size_t k = 1; k < width; ++k) {
      if (i + k >= n) return {i, std::nullopt};
      const std::uint8_t b = s[i + k];
      const bool ok = (k == 1) ? (b >= lo && b <= hi) : is_continuation(b);
      if (!ok) return {i, k};
    }
    i += width;
  }
  return {n, std::nullopt};
}

}  // namespace

Error::Error(ErrorKind kind, const std::string& text, std::uint64_t a, std::uint64_t b)
    : std::runtime_error(text), kind_(kind), a_(a), b_(b) {}

Error Error::version(std::uint64_t expected, std::uint64_t got) {
  return Error(
      ErrorKind::Version,
      "Error opening FST: expected API version " + std::to_string(expected) + ", got API version " +
          std::to_string(got) +
          ". It looks like the FST you're trying to open is either not an FST file or it "
          "was generated with a different version of the 'fst' crate. You'll either need "
          "to change the version of the 'fst' crate you're using, or re-generate the\nFST.",
      expected, got);
}

Error Error::format(std::uint64_t size) {
  return Error(ErrorKind::Format,
               "Error opening FST with size " + std::to_string(size) +
                   " bytes: An unknown error occurred. This usually means you're trying to read "
                   "data that isn't actually an encoded FST.",
               size);
}

Error Error::checksum_mismatch(std::uint32_t expected, std::uint32_t got) {
  return Error(ErrorKind::ChecksumMismatch,
               "FST verification failed: expected checksum of " + std::to_string(expected) +
                   " but got " + std::to_string(got),
               expected, got);
}

Error Error::checksum_missing() {
  return Error(ErrorKind::ChecksumMissing,
               "FST verification failed: FST does not contain a checksum");
}

Error Error::duplicate_key(std::span<const std::uint8_t> key) {
  Error e(ErrorKind::DuplicateKey, "Error inserting duplicate key: '" + key_text(key) + "'.");
  e.key_.assign(key.begin(), key.end());
  return e;
}

Error Error::out_of_order(std::span<const std::uint8_t> previous,
                          std::span<const std::uint8_t> got) {
  Error e(ErrorKind::OutOfOrder, "Error inserting out-of-order key: '" + key_text(got) +
                                     "'. (Previous key was '" + key_text(previous) +
                                     "'.) Keys must be inserted in lexicographic order.");
  e.key_.assign(got.begin(), got.end());
  e.previous_.assign(previous.begin(), previous.end());
  return e;
}

Error Error::wrong_type(std::uint64_t expected, std::uint64_t got) {
  return Error(ErrorKind::WrongType,
               "Error opening FST: expected type '" + std::to_string(expected) + "', got type '" +
                   std::to_string(got) + "'.",
               expected, got);
}

Error Error::from_utf8(std::size_t valid_up_to, std::optional<std::size_t> error_len) {
  if (error_len) {
    return Error(ErrorKind::FromUtf8,
                 "invalid utf-8 sequence of " + std::to_string(*error_len) + " bytes from index " +
                     std::to_string(valid_up_to),
                 valid_up_to, *error_len);
  }
  return Error(ErrorKind::FromUtf8,
               "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to),
               valid_up_to);
}

Error Error::io(std::string message) { return Error(ErrorKind::Io, message); }

Error Error::io_errno(int err) {
  // strerror is not required to be thread-safe; strerror_r's GNU form returns the text.
  char buf[256];
  buf[0] = '\0';
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  const char* text = strerror_r(err, buf, sizeof buf);
#else
  const char* text = (strerror_r(err, buf, sizeof buf) == 0) ? buf : "Unknown error";
#endif
  return Error(ErrorKind::Io, std::string(text) + " (os error " + std::to_string(err) + ")",
               static_cast<std::uint64_t>(err));
}

const char* Error::outer_display() const noexcept {
  return kind_ == ErrorKind::Io ? "I/O error" : "FST error";
}

std::optional<Error> utf8_error(std::span<const std::uint8_t> bytes) {
  const Utf8Scan scan = scan_utf8(bytes);
  if (scan.valid_up_to == bytes.size()) return std::nullopt;
  return Error::from_utf8(scan.valid_up_to, scan.error_len);
}

std::string key_text(std::span<const std::uint8_t> key) {
  if (scan_utf8(key).valid_up_to == key.size()) {
    return std::string(reinterpret_cast<const char*>(key.data()), key.size());
  }
  std::string out = "[";
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (i != 0) out += ", ";
    out += std::to_string(key[i]);
  }
  out += "]";
  return out;
}

}  // namespace fst
