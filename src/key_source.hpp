// Key sources of the streamed builds: a corpus read one pass at a time, as often as a build needs.
//
// A streamed build never holds the corpus. It asks its `KeySource` for a pass (`open_pass`) and
// reads that pass's keys in batches (`KeyStream::next_batch`), so a source costs one virtual call a
// batch, not one a key. The two-pass perfect-hash build opens two passes; the compact and closed
// builds open one. A source that fails part-way (a file that cannot be read, a line that is not
// UTF-8, a Python iterator that raised) ends its pass early and says so afterwards through
// `failed`: the builds look at it once the keys have ended and refuse to write an index from a
// truncated corpus.
//
// Implementations here: `Strings`, keys held by the caller (tests, benchmarks, small corpora),
// and `KeysFile`, a keys file of one key per line, read by the `LineReader` that every reader of
// keys files shares. The Python bindings implement their own over a Python iterator.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quenlith::key_source {

// Keys stored back to back, each a view into the batch until it is cleared.
class KeyBatch {
 public:
  void clear() noexcept {
    bytes_.clear();
    ends_.clear();
  }
  void push(std::string_view key) {
    bytes_.append(key);
    ends_.push_back(bytes_.size());
  }
  std::size_t size() const noexcept { return ends_.size(); }
  bool empty() const noexcept { return ends_.empty(); }
  // Bytes held, for a producer that stops filling a batch at some size.
  std::size_t byte_len() const noexcept { return bytes_.size(); }
  std::string_view operator[](std::size_t i) const noexcept {
    const std::size_t start = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(bytes_).substr(start, ends_[i] - start);
  }

 private:
  std::string bytes_;
  std::vector<std::size_t> ends_;
};

// Why a line of a keys file is refused, after its path and line number.
inline constexpr const char* kNotUtf8 = "stream did not contain valid UTF-8";

// What a carriage return ends the input with, after the last line feed, is: part of the last
// key (`Kept`, as the builds read a keys file) or a line ending like one before a line feed
// (`Dropped`, as the planner reads one). Every other carriage return reads the same either way.
enum class FinalCr : std::uint8_t { Kept, Dropped };

// The lines of a keys file, read from a descriptor through an 8,192-byte buffer or from bytes in
// memory. A line runs to a line feed or to the end of the input; the line feed is removed, and
// with it one carriage return just before it. The reader neither skips empty lines nor checks
// UTF-8: the callers count the one and word the failure of the other themselves.
class LineReader {
 public:
  // Reads `fd`, which stays the caller's. A read refused with EBADF (a closed descriptor) is the
  // end of the input, so a closed standard input reads as an empty one.
  LineReader(int fd, FinalCr final_cr);
  // Reads `bytes`, which the caller keeps alive and unchanged while lines are read.
  LineReader(std::span<const char> bytes, FinalCr final_cr);
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // The next line without its ending; nullopt once the input has ended. The line read from a
  // descriptor is valid until the next call; one read from bytes in memory is a view into them.
  // Throws `IndexError` (Io) when a read fails.
  std::optional<std::string_view> next();
  // The lines returned so far: a read that fails is reading line `lines() + 1`.
  std::uint64_t lines() const noexcept { return lines_; }

 private:
  bool fill();

  int fd_ = -1;  // -1 for bytes in memory
  FinalCr final_cr_;
  std::vector<char> buf_;
  const char* data_ = nullptr;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  std::string line_;  // a line that crossed a refill
  std::uint64_t lines_ = 0;
};

// One pass over the keys, in the source's order.
class KeyStream {
 public:
  virtual ~KeyStream() = default;
  // Clears `batch` and fills it with the next keys; false (and an empty batch) when the pass has
  // ended, normally or by a failure the source records. Never throws for the source's own
  // failures; may throw `Panic`.
  virtual bool next_batch(KeyBatch& batch) = 0;
};

// A corpus that can be read again from the start.
class KeySource {
 public:
  virtual ~KeySource() = default;
  // A fresh pass from the first key. Called once per pass of a build, on the build's calling
  // thread.
  virtual std::unique_ptr<KeyStream> open_pass() = 0;
  // True when some pass ended early because the source failed; what failed is the source's to
  // report.
  virtual bool failed() const = 0;
};

// Calls f(key) for every key left in `stream`.
template <class F>
void for_each_key(KeyStream& stream, F&& f) {
  KeyBatch batch;
  while (stream.next_batch(batch))
    for (std::size_t i = 0; i < batch.size(); ++i) f(batch[i]);
}

// The keys of a pass one at a time, for a consumer that takes them singly: each key is valid
// until the next call.
class KeyCursor {
 public:
  explicit KeyCursor(KeyStream& stream) : stream_(stream) {}
  std::optional<std::string_view> next() {
    while (at_ == batch_.size()) {
      if (!stream_.next_batch(batch_)) return std::nullopt;
      at_ = 0;
    }
    return batch_[at_++];
  }

 private:
  KeyStream& stream_;
  KeyBatch batch_;
  std::size_t at_ = 0;
};

// Keys the caller holds; every pass yields them all, in order. Never fails. The caller keeps
// the keys alive and unchanged while passes are open.
class Strings final : public KeySource {
 public:
  explicit Strings(std::span<const std::string_view> keys) : keys_(keys) {}
  std::unique_ptr<KeyStream> open_pass() override;
  bool failed() const override { return false; }

 private:
  std::span<const std::string_view> keys_;
};

// A keys file: UTF-8 text, one key per line. A line ends at a line feed, which is removed with a
// carriage return just before it; a line empty after that is skipped and counted, never a key.
// Lines are numbered from 1, empty ones included. Each pass opens the file anew and reads it
// through an 8,192-byte buffer.
//
// Failures end the pass and are recorded (a later one replaces an earlier one): a file that
// cannot be opened as "{path}: {error}", a read error or invalid UTF-8 on line n as
// "{path}:{n}: {error}", the error being the operating system's text or "stream did not contain
// valid UTF-8". `path` is shown as the caller gave it.
class KeysFile final : public KeySource {
 public:
  explicit KeysFile(std::filesystem::path path);
  // A keys file at `path` that messages name `shown`: a copy standing in for a file that could be
  // read only once.
  KeysFile(std::filesystem::path path, std::string shown);
  std::unique_ptr<KeyStream> open_pass() override;
  bool failed() const override { return failure_->has_value(); }

  // The recorded failure, if any pass failed.
  const std::optional<std::string>& failure() const noexcept { return *failure_; }
  // Empty lines skipped by the latest pass.
  std::uint64_t skipped() const noexcept { return *skipped_; }

 private:
  std::filesystem::path path_;
  std::string shown_;
  // Shared with the passes, which may outlive a call that consumed them.
  std::shared_ptr<std::optional<std::string>> failure_;
  std::shared_ptr<std::uint64_t> skipped_;
};

}  // namespace quenlith::key_source
