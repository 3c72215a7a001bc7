// Keys files: UTF-8 text, one key per line, "-" for standard input.
//
// A line ends at a line feed, which is not part of the key; a carriage return just before that
// line feed is removed too (only that one). The last line needs no line feed. A line left empty is
// skipped and counted, so the empty key cannot come from a keys file. Lines are numbered from 1,
// empty ones included. A line that is not UTF-8 is an error naming the file and the line: nothing
// is replaced, since an index built from lossy bytes would hold keys the file does not.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bytes.hpp"
#include "cli.hpp"
#include "fileio.hpp"

namespace quenlith::cli {

namespace {

constexpr std::size_t kReadBuffer = 8192;
constexpr const char* kNotUtf8 = "stream did not contain valid UTF-8";

// Why a line could not be read: an OS error's text, or `kNotUtf8`.
struct LineError {
  std::string text;
};

// Reads lines through a fixed buffer from a descriptor, owned (a file) or borrowed (standard
// input). A read refused with EBADF is the end of the input: a closed standard input is empty.
class LineReader {
 public:
  explicit LineReader(fileio::File file) : file_(std::move(file)), fd_(file_.fd()) {}
  explicit LineReader(int borrowed_fd) : fd_(borrowed_fd) {}

  // The next line with its ending removed, into `line`; false at the end of the input. Throws
  // `LineError`.
  bool next(std::string& line) {
    line.clear();
    bool any = false;
    while (true) {
      if (pos_ == end_ && !fill()) break;
      any = true;
      const auto* start = buf_ + pos_;
      const void* nl = std::memchr(start, '\n', end_ - pos_);
      if (nl != nullptr) {
        const std::size_t n = static_cast<const char*>(nl) - start;
        line.append(start, n + 1);
        pos_ += n + 1;
        break;
      }
      line.append(start, end_ - pos_);
      pos_ = end_;
    }
    if (!any) return false;
    if (!bytes::is_utf8({reinterpret_cast<const std::uint8_t*>(line.data()), line.size()}))
      throw LineError{kNotUtf8};
    if (!line.empty() && line.back() == '\n') {
      line.pop_back();
      if (!line.empty() && line.back() == '\r') line.pop_back();
    }
    return true;
  }

 private:
  bool fill() {
    while (true) {
      const ssize_t n = ::read(fd_, buf_, sizeof buf_);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EBADF) return false;
        throw LineError{os_error_text(errno)};
      }
      pos_ = 0;
      end_ = static_cast<std::size_t>(n);
      return n > 0;
    }
  }

  fileio::File file_;
  int fd_;
  char buf_[kReadBuffer];
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
};

// Opens a keys file; the failure is the text "<path>: <OS error>".
fileio::File open_keys(const std::string& path) {
  try {
    return fileio::File::open_read(path);
  } catch (const IndexError& e) {
    throw Fail::work(path + ": " + e.message());
  }
}

std::string line_failure(const std::string& path, std::uint64_t line, const std::string& text) {
  return path + ":" + std::to_string(line) + ": " + text;
}

}  // namespace

void Keys::seal() {
  views_.reserve(ends_.size());
  std::size_t start = 0;
  for (const std::size_t end : ends_) {
    views_.emplace_back(bytes_.data() + start, end - start);
    start = end;
  }
  ends_ = {};
}

Keys read_keys(const std::string& path, Input& in) {
  std::unique_ptr<LineReader> reader = path == "-" ? std::make_unique<LineReader>(in.fd())
                                                   : std::make_unique<LineReader>(open_keys(path));
  Keys out;
  std::string line;
  std::uint64_t number = 0;
  while (true) {
    ++number;
    try {
      if (!reader->next(line)) break;
    } catch (const LineError& e) {
      throw Fail::work(line_failure(path, number, e.text));
    }
    if (line.empty()) {
      ++out.skipped;
    } else {
      out.push(line);
    }
  }
  out.seal();
  return out;
}

void note_skipped(const std::string& path, std::uint64_t skipped, Output& err) {
  if (skipped != 0) put(err, path + ": " + std::to_string(skipped) + " empty lines skipped\n");
}

}  // namespace quenlith::cli
