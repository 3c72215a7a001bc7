// Files behind RAII descriptors, and buffered readers and writers over them.
//
// Descriptors are opened close-on-exec and closed by the destructor; interrupted system calls are
// retried; every failure is an `IndexError::Io` carrying the OS error number.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.hpp"

namespace quenlith::fileio {

class File {
 public:
  File() noexcept = default;
  explicit File(int fd) noexcept : fd_(fd) {}
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // Read-only.
  static File open_read(const std::filesystem::path& path);
  // Create-new (fails with AlreadyExists if the name is taken), read-write, permission bits `mode`
  // before the umask.
  static File create_new(const std::filesystem::path& path, unsigned mode = 0666);
  // Create or truncate, write-only.
  static File create(const std::filesystem::path& path, unsigned mode = 0666);

  bool is_open() const noexcept { return fd_ >= 0; }
  int fd() const noexcept { return fd_; }
  void close() noexcept;

  // Reads up to buf.size() bytes; 0 at end of file.
  std::size_t read_some(std::span<std::uint8_t> buf);
  // Reads exactly buf.size() bytes; a short file is the UnexpectedEof error.
  void read_exact(std::span<std::uint8_t> buf);
  // Positioned read of exactly buf.size() bytes at `offset`.
  void pread_exact(std::span<std::uint8_t> buf, std::uint64_t offset);
  void write_all(std::span<const std::uint8_t> buf);
  void pwrite_all(std::span<const std::uint8_t> buf, std::uint64_t offset);
  void seek(std::uint64_t offset);
  std::uint64_t size() const;
  void set_len(std::uint64_t len);
  // Flushes the file's data and metadata to stable storage.
  void sync();

 private:
  int fd_ = -1;
};

// Throws the `Io` error "file name contains a NUL byte" (kind InvalidInput) when `path` holds a
// NUL byte: the system would read the name only up to it and reach another file. Every open here
// applies it; code that hands a path to the system itself calls it first.
void refuse_nul(const std::filesystem::path& path);

// Throws the `Io` error kNotReplaced (kind InvalidInput) when a blob may not take the place of
// `target`: when it is a device node, a named pipe or a socket, or a symbolic link that leads to
// one (a rename would replace the node, or the link to it, instead of writing into it: a device,
// when run as root), or a link that passes through a process's descriptor table, as /dev/stdout
// does (it names an open stream, not a file). A link to a regular file is replaced as a regular
// file is, and the file it leads to is left alone; a directory, or a link to one, is left to
// `rename_over`, which refuses it; a target that cannot be examined, or a link that leads nowhere,
// is left to the steps that follow.
void refuse_special_target(const std::filesystem::path& target);
inline constexpr const char* kNotReplaced =
    "the target exists and is not a regular file, so it is not replaced";

// Renames `from` onto `to` as rename(2) does, except that a symbolic link at `to` that leads to a
// directory fails with EISDIR, as the directory itself does, instead of being replaced. Returns 0,
// or the error number of the failure.
int rename_over(const std::filesystem::path& from, const std::filesystem::path& to) noexcept;

// The permission bits of the regular file at `target` (links followed), which a file put in its
// place keeps; none when there is no regular file there or it cannot be examined.
std::optional<unsigned> replaced_mode(const std::filesystem::path& target) noexcept;

// The whole content of a file.
std::vector<std::uint8_t> read_file(const std::filesystem::path& path);

// A writer with a fixed buffer in front of a borrowed file.
class BufWriter {
 public:
  explicit BufWriter(File& file, std::size_t capacity = 8192);
  BufWriter(const BufWriter&) = delete;
  BufWriter& operator=(const BufWriter&) = delete;

  void write_all(std::span<const std::uint8_t> bytes);
  void flush();
  // Flushes, then moves the file position.
  void seek(std::uint64_t offset);
  // Bytes accepted so far since construction (buffered or written).
  std::uint64_t written() const noexcept { return written_; }
  File& file() noexcept { return file_; }

 private:
  File& file_;
  std::vector<std::uint8_t> buf_;
  std::size_t capacity_;
  std::uint64_t written_ = 0;
};

// A reader with a fixed buffer in front of an owned file.
class BufReader {
 public:
  explicit BufReader(File file, std::size_t capacity = 8192);

  // Fills `out` completely; false when the file ended before any byte was read; a file that ends
  // part-way is the UnexpectedEof error.
  bool read_exact_or_eof(std::span<std::uint8_t> out);
  void read_exact(std::span<std::uint8_t> out);

 private:
  bool fill();

  File file_;
  std::vector<std::uint8_t> buf_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
};

// The error of a read that hit the end of the file too early.
IndexError unexpected_eof();

}  // namespace quenlith::fileio
