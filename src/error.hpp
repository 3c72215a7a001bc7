// The library's one error type, and the fatal error for broken invariants.
//
// Every fallible operation throws `IndexError`: bad input, corrupt blobs and operating-system
// failures. Its variant tells the boundary how to report it (the Python bindings raise OSError for
// `Io` and ValueError for the rest; the command line exits with status 1), and `what()` is the
// display text shown there, prefix included.
//
// A broken invariant of the library's own making, or a hard limit a caller must respect, throws
// `Panic` instead. It deliberately does not derive from `IndexError`: callers that handle failures
// must never swallow a panic by accident.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace quenlith {

class IndexError : public std::exception {
 public:
  // The variants, in their defined order.
  enum class Kind : std::uint8_t { Fst, Io, Format, Automaton, Build };

  // What kind of I/O failure an `Io` error is, as far as callers need to tell them apart.
  enum class IoKind : std::uint8_t {
    Other,
    NotFound,
    PermissionDenied,
    AlreadyExists,
    Interrupted,
    UnexpectedEof,
    InvalidData,
    InvalidInput,
  };

  // `Format`: a fixed message describing malformed input or a corrupt blob.
  static IndexError format(const char* message);
  // `Build`: a fixed message refusing a build after it started.
  static IndexError build(const char* message);
  // `Automaton`: a query automaton that cannot be built from the caller's arguments.
  static IndexError automaton(std::string message);
  // `Fst`: an error of the transducer library, given by its own display text.
  static IndexError fst(std::string display);
  // `Io` from an OS error number: displays as "<strerror> (os error N)".
  static IndexError io_errno(int os_error);
  // `Io` carrying a message of its own (no error number), e.g. "extsort: a run file is corrupt".
  static IndexError io_message(IoKind kind, std::string message);
  // `Io` from the current `errno`.
  static IndexError last_os_error();

  Kind kind() const noexcept { return kind_; }
  IoKind io_kind() const noexcept { return io_kind_; }
  // The OS error number of an `Io` error made from one, else 0.
  int os_error() const noexcept { return os_error_; }
  // The payload's own text, without the variant's prefix.
  const std::string& message() const noexcept { return message_; }
  // The display text: "format error: ...", "io error: ...", and so on.
  const char* what() const noexcept override { return display_.c_str(); }
  const std::string& display() const noexcept { return display_; }
  // The structural form: `Format("...")`, `Io(...)`; `alternate` puts the payload on its own
  // indented line followed by a comma.
  std::string debug(bool alternate = false) const;

 private:
  IndexError(Kind kind, std::string message, IoKind io_kind = IoKind::Other, int os_error = 0);

  Kind kind_;
  IoKind io_kind_;
  int os_error_;
  std::string message_;
  std::string display_;
};

// A broken internal invariant or a hard limit. The message names the invariant.
class Panic : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Throws `Panic` with the given invariant.
[[noreturn]] void panic(std::string_view invariant);

// Panics with `invariant` unless `condition` holds.
inline void check_invariant(bool condition, const char* invariant) {
  if (!condition) panic(invariant);
}

}  // namespace quenlith
