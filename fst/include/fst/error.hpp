// The one exception type of the transducer library.
//
// Every failure a caller or a file can cause is thrown as `fst::Error`. Its `what()` is the
// exact display text of the failure (for example "Error inserting duplicate key: 'a'."); the
// two-word summary the error shows when wrapped ("FST error" / "I/O error") is `outer_display()`.
// Broken internal invariants and caller bugs (an index past the end, inserting after finishing)
// are std::logic_error, never an fst::Error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace fst {

enum class ErrorKind {
  Version,           // the file's format version is 0 or newer than this library reads
  Format,            // the bytes are not a map ("An unknown error occurred ...")
  ChecksumMismatch,  // verify(): stored and computed checksums differ
  ChecksumMissing,   // verify(): the file's version has no checksum
  DuplicateKey,      // insert(): the key equals the previous key
  OutOfOrder,        // insert(): the key sorts before the previous key
  WrongType,         // a map of another type (text only; opening never checks the type)
  FromUtf8,          // a key is not valid UTF-8 where text was asked for
  Io,                // reading or writing a file failed
};

class Error : public std::runtime_error {
 public:
  // Constructors of each kind. The resulting what() is the exact display text.
  static Error version(std::uint64_t expected, std::uint64_t got);
  static Error format(std::uint64_t size);
  // `expected` is the stored checksum, `got` the computed one.
  static Error checksum_mismatch(std::uint32_t expected, std::uint32_t got);
  static Error checksum_missing();
  static Error duplicate_key(std::span<const std::uint8_t> key);
  static Error out_of_order(std::span<const std::uint8_t> previous,
                            std::span<const std::uint8_t> got);
  static Error wrong_type(std::uint64_t expected, std::uint64_t got);
  // `valid_up_to`: length of the valid prefix. `error_len`: length of the invalid sequence
  // (1..3), or nullopt when the bytes end in the middle of a sequence.
  static Error from_utf8(std::size_t valid_up_to, std::optional<std::size_t> error_len);
  // An I/O failure with the given text.
  static Error io(std::string message);
  // An I/O failure from an errno value: "<system text> (os error <n>)".
  static Error io_errno(int err);

  ErrorKind kind() const noexcept { return kind_; }
  // "I/O error" for Io, "FST error" for every other kind.
  const char* outer_display() const noexcept;

  // Numbers carried by the error: Format: size() is the byte count; Version, WrongType and
  // ChecksumMismatch: expected()/got(). Zero for kinds that carry none.
  std::uint64_t size() const noexcept { return a_; }
  std::uint64_t expected() const noexcept { return a_; }
  std::uint64_t got() const noexcept { return b_; }
  // DuplicateKey: key() is the refused key. OutOfOrder: key() is the refused key and
  // previous_key() the last accepted one. Empty for other kinds.
  const std::vector<std::uint8_t>& key() const noexcept { return key_; }
  const std::vector<std::uint8_t>& previous_key() const noexcept { return previous_; }

 private:
  Error(ErrorKind kind, const std::string& text, std::uint64_t a = 0, std::uint64_t b = 0);

  ErrorKind kind_;
  std::uint64_t a_ = 0;
  std::uint64_t b_ = 0;
  std::vector<std::uint8_t> key_;
  std::vector<std::uint8_t> previous_;
};

// Validates `bytes` as UTF-8 (no surrogates, no overlong forms, nothing above U+10FFFF).
// Returns nullopt when all of it is valid, else the FromUtf8 error describing the first fault.
std::optional<Error> utf8_error(std::span<const std::uint8_t> bytes);

// How error texts show a key: its bytes as they are when they are valid UTF-8, otherwise the
// decimal byte values as a list, e.g. "[255, 1]".
std::string key_text(std::span<const std::uint8_t> key);

}  // namespace fst
