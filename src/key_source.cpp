#include "key_source.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bytes.hpp"
#include "error.hpp"
#include "fileio.hpp"

namespace quenlith::key_source {

namespace {

// Keys a batch takes before it is handed out: enough to make the per-batch call negligible,
// few enough that a batch stays in cache.
constexpr std::size_t kBatchKeys = 1024;
constexpr std::size_t kBatchBytes = 65536;

class StringsStream final : public KeyStream {
 public:
  explicit StringsStream(std::span<const std::string_view> keys) : keys_(keys) {}
  bool next_batch(KeyBatch& batch) override {
    batch.clear();
    while (next_ < keys_.size() && batch.size() < kBatchKeys) batch.push(keys_[next_++]);
    return !batch.empty();
  }

 private:
  std::span<const std::string_view> keys_;
  std::size_t next_ = 0;
};

constexpr std::size_t kFileBuffer = 8192;

class FileStream final : public KeyStream {
 public:
  FileStream(fileio::File file, std::string shown,
             std::shared_ptr<std::optional<std::string>> failure,
             std::shared_ptr<std::uint64_t> skipped)
      : file_(std::move(file)),
        reader_(file_.fd(), FinalCr::Kept),
        shown_(std::move(shown)),
        failure_(std::move(failure)),
        skipped_(std::move(skipped)) {}

  bool next_batch(KeyBatch& batch) override {
    batch.clear();
    while (!done_ && batch.size() < kBatchKeys && batch.byte_len() < kBatchBytes) {
      const std::optional<std::string_view> line = read_line();
      if (!line) {
        done_ = true;
        break;
      }
      if (line->empty()) {
        ++*skipped_;
        continue;
      }
      batch.push(*line);
    }
    return !batch.empty();
  }

 private:
  // The next line without its ending; nullopt at the end of the file or on a failure, which is
  // recorded.
  std::optional<std::string_view> read_line() {
    std::optional<std::string_view> line;
    try {
      line = reader_.next();
    } catch (const IndexError& e) {
      // The line being read when the read failed.
      fail(reader_.lines() + 1, e.message());
      return std::nullopt;
    }
    if (line && !bytes::is_utf8(bytes::as_bytes(*line))) {
      fail(reader_.lines(), kNotUtf8);
      return std::nullopt;
    }
    return line;
  }

  void fail(std::uint64_t line, const std::string& text) {
    *failure_ = shown_ + ":" + std::to_string(line) + ": " + text;
  }

  fileio::File file_;
  LineReader reader_;  // reads file_
  std::string shown_;
  std::shared_ptr<std::optional<std::string>> failure_;
  std::shared_ptr<std::uint64_t> skipped_;
  bool done_ = false;
};

class EmptyStream final : public KeyStream {
 public:
  bool next_batch(KeyBatch& batch) override {
    batch.clear();
    return false;
  }
};

}  // namespace

LineReader::LineReader(int fd, FinalCr final_cr)
    : fd_(fd), final_cr_(final_cr), buf_(kFileBuffer), data_(buf_.data()) {}

LineReader::LineReader(std::span<const char> bytes, FinalCr final_cr)
    : final_cr_(final_cr), data_(bytes.data()), end_(bytes.size()) {}

bool LineReader::fill() {
  if (fd_ < 0) return false;
  while (true) {
    const ssize_t n = ::read(fd_, buf_.data(), buf_.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EBADF) return false;
      throw IndexError::io_errno(errno);
    }
    pos_ = 0;
    end_ = static_cast<std::size_t>(n);
    return n > 0;
  }
}

std::optional<std::string_view> LineReader::next() {
  line_.clear();
  std::string_view line;
  bool any = false;
  bool ended = false;
  while (!ended) {
    if (pos_ == end_ && !fill()) break;
    any = true;
    const char* start = data_ + pos_;
    const void* nl = std::memchr(start, '\n', end_ - pos_);
    const std::size_t n = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - start)
                             : end_ - pos_;
    pos_ += n;
    if (nl) {
      ++pos_;
      ended = true;
    }
    // A line that lies whole in the buffer (every line of bytes in memory) is handed out in
    // place; one that a refill cut is gathered in `line_`.
    if (line_.empty() && (ended || fd_ < 0)) {
      line = std::string_view(start, n);
      break;
    }
    line_.append(start, n);
    line = line_;
  }
  if (!any) return std::nullopt;
  ++lines_;
  if ((ended || final_cr_ == FinalCr::Dropped) && !line.empty() && line.back() == '\r')
    line.remove_suffix(1);
  return line;
}

std::unique_ptr<KeyStream> Strings::open_pass() { return std::make_unique<StringsStream>(keys_); }

KeysFile::KeysFile(std::filesystem::path path) : KeysFile(path, path.string()) {}

KeysFile::KeysFile(std::filesystem::path path, std::string shown)
    : path_(std::move(path)),
      shown_(std::move(shown)),
      failure_(std::make_shared<std::optional<std::string>>()),
      skipped_(std::make_shared<std::uint64_t>(0)) {}

std::unique_ptr<KeyStream> KeysFile::open_pass() {
  *skipped_ = 0;
  try {
    return std::make_unique<FileStream>(fileio::File::open_read(path_), shown_, failure_,
                                        skipped_);
  } catch (const IndexError& e) {
    *failure_ = shown_ + ": " + e.message();
    return std::make_unique<EmptyStream>();
  }
}

}  // namespace quenlith::key_source
