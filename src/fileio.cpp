#include "fileio.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace quenlith::fileio {

IndexError unexpected_eof() {
  return IndexError::io_message(IndexError::IoKind::UnexpectedEof, "failed to fill whole buffer");
}

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

File::~File() { close(); }

void File::close() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

namespace {

int open_retrying(const std::filesystem::path& path, int flags, unsigned mode) {
  refuse_nul(path);
  for (;;) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) return fd;
    if (errno != EINTR) throw IndexError::last_os_error();
  }
}

}  // namespace

void refuse_nul(const std::filesystem::path& path) {
  if (path.native().find('\0') != std::string::npos)
    throw IndexError::io_message(IndexError::IoKind::InvalidInput, "file name contains a NUL byte");
}

namespace {

// Whether following the symbolic link `link` passes through a link of the proc file system: a
// process's descriptor, working directory or executable, which leads to an open object rather
// than to a name. Each hop's link is opened itself (O_PATH, O_NOFOLLOW) to learn its file system.
bool leads_through_proc(std::filesystem::path link) {
  constexpr int kMaxHops = 40;  // the system's own limit on links followed in one lookup
  for (int hop = 0; hop < kMaxHops; ++hop) {
    struct stat st;
    if (::lstat(link.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    const File itself(::open(link.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!itself.is_open()) return false;
    struct statfs fs;
    if (::fstatfs(itself.fd(), &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC) return true;
    std::error_code error;
    const std::filesystem::path next = std::filesystem::read_symlink(link, error);
    if (error) return false;
    link = next.is_absolute() ? next : link.parent_path() / next;
  }
  return false;
}

}  // namespace

void refuse_special_target(const std::filesystem::path& target) {
  refuse_nul(target);
  struct stat st;
  if (::lstat(target.c_str(), &st) != 0) return;
  if (S_ISLNK(st.st_mode)) {
    if (leads_through_proc(target)) {
      throw IndexError::io_message(IndexError::IoKind::InvalidInput, kNotReplaced);
    }
    if (::stat(target.c_str(), &st) != 0) return;
  }
  if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return;
  throw IndexError::io_message(IndexError::IoKind::InvalidInput, kNotReplaced);
}

int rename_over(const std::filesystem::path& from, const std::filesystem::path& to) noexcept {
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && ::stat(to.c_str(), &st) == 0 &&
      S_ISDIR(st.st_mode)) {
    return EISDIR;
  }
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

std::optional<unsigned> replaced_mode(const std::filesystem::path& target) noexcept {
  struct stat st;
  if (::stat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<unsigned>(st.st_mode & 07777);
}

File File::open_read(const std::filesystem::path& path) {
  return File(open_retrying(path, O_RDONLY, 0));
}

File File::create_new(const std::filesystem::path& path, unsigned mode) {
  return File(open_retrying(path, O_RDWR | O_CREAT | O_EXCL, mode));
}

File File::create(const std::filesystem::path& path, unsigned mode) {
  return File(open_retrying(path, O_WRONLY | O_CREAT | O_TRUNC, mode));
}

std::size_t File::read_some(std::span<std::uint8_t> buf) {
  for (;;) {
    ssize_t n = ::read(fd_, buf.data(), buf.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) throw IndexError::last_os_error();
  }
}

void File::read_exact(std::span<std::uint8_t> buf) {
  std::size_t done = 0;
  while (done < buf.size()) {
    std::size_t n = read_some(buf.subspan(done));
    if (n == 0) throw unexpected_eof();
    done += n;
  }
}

void File::pread_exact(std::span<std::uint8_t> buf, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < buf.size()) {
    ssize_t n =
        ::pread(fd_, buf.data() + done, buf.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw IndexError::last_os_error();
    }
    if (n == 0) throw unexpected_eof();
    done += static_cast<std::size_t>(n);
  }
}

namespace {

// Writes all of `buf` through `op(data, len, done)`, one system call at a time, retrying
// interrupted calls.
template <class Op>
void write_loop(std::span<const std::uint8_t> buf, Op op) {
  std::size_t done = 0;
  while (done < buf.size()) {
    ssize_t n = op(buf.data() + done, buf.size() - done, done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw IndexError::last_os_error();
    }
    if (n == 0)
      throw IndexError::io_message(IndexError::IoKind::Other, "failed to write whole buffer");
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

void File::write_all(std::span<const std::uint8_t> buf) {
  write_loop(buf, [&](const std::uint8_t* p, std::size_t len, std::size_t) {
    return ::write(fd_, p, len);
  });
}

void File::pwrite_all(std::span<const std::uint8_t> buf, std::uint64_t offset) {
  write_loop(buf, [&](const std::uint8_t* p, std::size_t len, std::size_t done) {
    return ::pwrite(fd_, p, len, static_cast<off_t>(offset + done));
  });
}

void File::seek(std::uint64_t offset) {
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) throw IndexError::last_os_error();
}

std::uint64_t File::size() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) throw IndexError::last_os_error();
  return static_cast<std::uint64_t>(st.st_size);
}

void File::set_len(std::uint64_t len) {
  for (;;) {
    if (::ftruncate(fd_, static_cast<off_t>(len)) == 0) return;
    if (errno != EINTR) throw IndexError::last_os_error();
  }
}

void File::sync() {
  for (;;) {
    if (::fsync(fd_) == 0) return;
    if (errno != EINTR) throw IndexError::last_os_error();
  }
}

std::vector<std::uint8_t> read_file(const std::filesystem::path& path) {
  File f = File::open_read(path);
  std::vector<std::uint8_t> out;
  std::uint8_t chunk[65536];
  for (;;) {
    std::size_t n = f.read_some(chunk);
    if (n == 0) break;
    out.insert(out.end(), chunk, chunk + n);
  }
  return out;
}

BufWriter::BufWriter(File& file, std::size_t capacity) : file_(file), capacity_(capacity) {
  buf_.reserve(capacity);
}

void BufWriter::write_all(std::span<const std::uint8_t> bytes) {
  written_ += bytes.size();
  if (buf_.size() + bytes.size() > capacity_) {
    flush();
    if (bytes.size() >= capacity_) {
      file_.write_all(bytes);
      return;
    }
  }
  buf_.insert(buf_.end(), bytes.begin(), bytes.end());
}

void BufWriter::flush() {
  if (buf_.empty()) return;
  file_.write_all(buf_);
  buf_.clear();
}

void BufWriter::seek(std::uint64_t offset) {
  flush();
  file_.seek(offset);
}

BufReader::BufReader(File file, std::size_t capacity) : file_(std::move(file)), buf_(capacity) {}

bool BufReader::fill() {
  pos_ = 0;
  end_ = file_.read_some(buf_);
  return end_ > 0;
}

bool BufReader::read_exact_or_eof(std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    if (pos_ == end_ && !fill()) {
      if (done == 0) return false;
      throw unexpected_eof();
    }
    std::size_t n = std::min(out.size() - done, end_ - pos_);
    std::memcpy(out.data() + done, buf_.data() + pos_, n);
    pos_ += n;
    done += n;
  }
  return true;
}

void BufReader::read_exact(std::span<std::uint8_t> out) {
  if (!out.empty() && !read_exact_or_eof(out)) throw unexpected_eof();
}

}  // namespace quenlith::fileio
