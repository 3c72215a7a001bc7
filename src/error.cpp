#include "error.hpp"

#include <cerrno>
#include <cstring>

namespace quenlith {

namespace {

const char* prefix_of(IndexError::Kind kind) {
  switch (kind) {
    case IndexError::Kind::Fst:
      return "fst error: ";
    case IndexError::Kind::Io:
      return "io error: ";
    case IndexError::Kind::Format:
      return "format error: ";
    case IndexError::Kind::Automaton:
      return "automaton error: ";
    case IndexError::Kind::Build:
      return "build error: ";
  }
  return "error: ";
}

const char* name_of(IndexError::Kind kind) {
  switch (kind) {
    case IndexError::Kind::Fst:
      return "Fst";
    case IndexError::Kind::Io:
      return "Io";
    case IndexError::Kind::Format:
      return "Format";
    case IndexError::Kind::Automaton:
      return "Automaton";
    case IndexError::Kind::Build:
      return "Build";
  }
  return "Unknown";
}

const char* io_kind_name(IndexError::IoKind kind) {
  switch (kind) {
    case IndexError::IoKind::NotFound:
      return "NotFound";
    case IndexError::IoKind::PermissionDenied:
      return "PermissionDenied";
    case IndexError::IoKind::AlreadyExists:
      return "AlreadyExists";
    case IndexError::IoKind::Interrupted:
      return "Interrupted";
    case IndexError::IoKind::UnexpectedEof:
      return "UnexpectedEof";
    case IndexError::IoKind::InvalidData:
      return "InvalidData";
    case IndexError::IoKind::InvalidInput:
      return "InvalidInput";
    case IndexError::IoKind::Other:
      break;
  }
  return "Other";
}

IndexError::IoKind io_kind_of_errno(int e) {
  switch (e) {
    case ENOENT:
      return IndexError::IoKind::NotFound;
    case EACCES:
    case EPERM:
      return IndexError::IoKind::PermissionDenied;
    case EEXIST:
      return IndexError::IoKind::AlreadyExists;
    case EINTR:
      return IndexError::IoKind::Interrupted;
    default:
      return IndexError::IoKind::Other;
  }
}

// A string literal with quotes, backslashes and control characters escaped.
std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          static const char* hex = "0123456789abcdef";
          out += "\\u{";
          if (c >= 0x10) out += hex[c >> 4];
          out += hex[c & 15];
          out += "}";
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

}  // namespace

IndexError::IndexError(Kind kind, std::string message, IoKind io_kind, int os_error)
    : kind_(kind), io_kind_(io_kind), os_error_(os_error), message_(std::move(message)) {
  display_ = prefix_of(kind_);
  display_ += message_;
}

IndexError IndexError::format(const char* message) { return IndexError(Kind::Format, message); }
IndexError IndexError::build(const char* message) { return IndexError(Kind::Build, message); }
IndexError IndexError::automaton(std::string message) {
  return IndexError(Kind::Automaton, std::move(message));
}
IndexError IndexError::fst(std::string display) {
  return IndexError(Kind::Fst, std::move(display));
}

IndexError IndexError::io_errno(int os_error) {
  std::string text = std::strerror(os_error);
  text += " (os error " + std::to_string(os_error) + ")";
  return IndexError(Kind::Io, std::move(text), io_kind_of_errno(os_error), os_error);
}

IndexError IndexError::io_message(IoKind kind, std::string message) {
  return IndexError(Kind::Io, std::move(message), kind, 0);
}

IndexError IndexError::last_os_error() { return io_errno(errno); }

std::string IndexError::debug(bool alternate) const {
  std::string payload;
  if (kind_ == Kind::Io) {
    if (os_error_ != 0) {
      payload = "Os { code: " + std::to_string(os_error_) + ", kind: " + io_kind_name(io_kind_) +
                ", message: " + quoted(std::strerror(os_error_)) + " }";
    } else {
      payload = "Custom { kind: " + std::string(io_kind_name(io_kind_)) +
                ", error: " + quoted(message_) + " }";
    }
  } else {
    payload = quoted(message_);
  }
  std::string out = name_of(kind_);
  if (alternate) {
    out += "(\n    " + payload + ",\n)";
  } else {
    out += "(" + payload + ")";
  }
  return out;
}

void panic(std::string_view invariant) { throw Panic(std::string(invariant)); }

}  // namespace quenlith
