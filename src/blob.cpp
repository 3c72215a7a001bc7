#include "blob.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <variant>

#include "bytes.hpp"
#include "pages.hpp"

namespace quenlith::blob {

// The storage behind views: owned table bytes, or a read-only mapping (unmapped on release).
struct SharedBytes::Storage {
  pages::Pages<std::uint8_t> owned;
  void* map = nullptr;
  std::size_t map_len = 0;

  Storage() = default;
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;
  ~Storage() {
    if (map != nullptr) ::munmap(map, map_len);
  }
};

SharedBytes::SharedBytes() : SharedBytes(from_owned(std::span<const std::uint8_t>())) {}

SharedBytes SharedBytes::from_owned(std::span<const std::uint8_t> bytes) {
  auto storage = std::make_shared<Storage>();
  storage->owned = pages::Pages<std::uint8_t>::allocate(bytes.size());
  if (!bytes.empty()) std::memcpy(storage->owned.data(), bytes.data(), bytes.size());
  const std::uint8_t* start = storage->owned.data();
  return SharedBytes(std::move(storage), start, bytes.size(), Kind::Owned);
}

SharedBytes SharedBytes::from_owned(std::vector<std::uint8_t>&& bytes) {
  std::vector<std::uint8_t> taken = std::move(bytes);
  return from_owned(std::span<const std::uint8_t>(taken));
}

SharedBytes SharedBytes::from_pages(pages::Pages<std::uint8_t>&& table) {
  auto storage = std::make_shared<Storage>();
  storage->owned = std::move(table);
  const std::uint8_t* start = storage->owned.data();
  const std::size_t len = static_cast<std::size_t>(storage->owned.size());
  return SharedBytes(std::move(storage), start, len, Kind::Owned);
}

SharedBytes SharedBytes::map_file(const std::filesystem::path& path) {
  fileio::File file = fileio::File::open_read(path);
  struct stat st;
  if (::fstat(file.fd(), &st) != 0) throw IndexError::last_os_error();
  if (st.st_size < 0)
    throw IndexError::io_message(IndexError::IoKind::InvalidData,
                                 "memory map length overflows isize");
  const std::size_t len = static_cast<std::size_t>(st.st_size);
  // A zero-length mapping is refused by the system: map one byte and view none.
  const std::size_t map_len = len == 0 ? 1 : len;
  void* p = ::mmap(nullptr, map_len, PROT_READ, MAP_SHARED, file.fd(), 0);
  if (p == MAP_FAILED) throw IndexError::last_os_error();
  auto storage = std::make_shared<Storage>();
  storage->map = p;
  storage->map_len = map_len;
  return SharedBytes(std::move(storage), static_cast<const std::uint8_t*>(p), len, Kind::Mapped);
}

std::optional<SharedBytes> SharedBytes::slice(std::uint64_t offset, std::uint64_t len) const {
  if (!bytes::fits(offset, len, len_)) return std::nullopt;
  return SharedBytes(storage_, start_ + offset, static_cast<std::size_t>(len), kind_);
}

std::uint32_t header_check(std::span<const std::uint8_t> header_before_check) noexcept {
  std::uint64_t h = 0xCBF29CE484222325ULL;
  for (std::uint8_t b : header_before_check) h = (h ^ b) * 0x100000001B3ULL;
  return static_cast<std::uint32_t>(hash::mix(h));
}

std::vector<std::uint8_t> begin_header(std::string_view magic, std::size_t bytes) {
  std::vector<std::uint8_t> h;
  h.reserve(bytes);
  bytes::put_bytes(h, bytes::as_bytes(magic.substr(0, 4)));
  return h;
}

void BlockHasher::update(std::span<const std::uint8_t> bytes) noexcept {
  // An empty span may carry a null pointer, which memcpy must never see.
  if (bytes.empty()) return;
  total_ += bytes.size();
  std::size_t i = 0;
  if (tail_len_ > 0) {
    std::size_t take = std::min<std::size_t>(8 - tail_len_, bytes.size());
    std::memcpy(tail_ + tail_len_, bytes.data(), take);
    tail_len_ += take;
    i = take;
    if (tail_len_ < 8) return;
    state_ = absorb(state_, bytes::load_u64(tail_));
    tail_len_ = 0;
  }
  for (; i + 8 <= bytes.size(); i += 8) state_ = absorb(state_, bytes::load_u64(bytes.data() + i));
  tail_len_ = bytes.size() - i;
  if (tail_len_ > 0) std::memcpy(tail_, bytes.data() + i, tail_len_);
}

std::uint64_t BlockHasher::finish() const noexcept {
  std::uint64_t state = state_;
  if (tail_len_ > 0) {
    std::uint8_t padded[8] = {};
    std::memcpy(padded, tail_, tail_len_);
    state = absorb(state, bytes::load_u64(padded));
  }
  return hash::mix(total_ ^ state);
}

std::uint64_t hash_block(std::span<const std::uint8_t> bytes) noexcept {
  BlockHasher h;
  h.update(bytes);
  return h.finish();
}

bool has_magic(std::span<const std::uint8_t> blob, const char magic[4]) noexcept {
  return blob.size() >= 4 && std::memcmp(blob.data(), magic, 4) == 0;
}

void check_payload(std::span<const std::uint8_t> payload, std::uint64_t stored) {
  if (hash_block(payload) != stored) throw IndexError::format(kPayloadChecksum);
}

bool has_magic_version(std::span<const std::uint8_t> blob, const char family[3], char first,
                       char last) noexcept {
  return blob.size() >= 4 && std::memcmp(blob.data(), family, 3) == 0 && blob[3] >= first &&
         blob[3] <= last;
}

void check_frame(std::span<const std::uint8_t> blob, const char magic[4], std::size_t header_size) {
  if (blob.size() < header_size || !has_magic(blob, magic)) throw IndexError::format(kBadMagic);
  const std::uint32_t stored = bytes::load_u32(blob.data() + header_size - 4);
  if (header_check(blob.first(header_size - 4)) != stored)
    throw IndexError::format(kHeaderChecksum);
}

namespace {

std::atomic<std::uint64_t> g_temp_seq{0};

std::filesystem::path dir_of(const std::filesystem::path& target) {
  // A bare file name lives in the current directory, and an empty path has no parent: both
  // resolve to ".".
  std::filesystem::path parent = target.parent_path();
  return parent.empty() ? std::filesystem::path(".") : parent;
}

std::string base_of(const std::filesystem::path& target) {
  std::filesystem::path name = target.filename();
  if (name.empty() || name == "." || name == "..") return "index";
  return name.string();
}

}  // namespace

std::uint64_t next_temp_seq() noexcept {
  return g_temp_seq.fetch_add(1, std::memory_order_relaxed);
}

std::filesystem::path sibling_name(const std::filesystem::path& target, std::uint64_t seq,
                                   std::string_view suffix) {
  return dir_of(target) /
         (base_of(target) + "." + std::to_string(static_cast<std::uint32_t>(::getpid())) + "." +
          std::to_string(seq) + std::string(suffix));
}

std::filesystem::path temp_name(const std::filesystem::path& target, std::uint64_t seq) {
  return sibling_name(target, seq, ".tmp");
}

NewSibling create_sibling(const std::filesystem::path& target, std::string_view suffix,
                          std::atomic<std::uint64_t>& counter) {
  for (int attempt = 0; attempt < 128; ++attempt) {
    std::filesystem::path name =
        sibling_name(target, counter.fetch_add(1, std::memory_order_relaxed), suffix);
    try {
      fileio::File file;
      scratch::Entry entry = scratch::create(
          name, scratch::Kind::File, [&] { file = fileio::File::create_new(name, 0666); });
      return NewSibling{std::move(name), std::move(file), std::move(entry)};
    } catch (const IndexError& e) {
      if (e.io_kind() != IndexError::IoKind::AlreadyExists) throw;
    }
  }
  throw IndexError::io_message(IndexError::IoKind::AlreadyExists, "entity already exists");
}

namespace detail {

AtomicTemp::AtomicTemp(const std::filesystem::path& target)
    : target_(target), dir_(dir_of(target)) {
  // Before anything is created: a device, pipe or socket at the target is never replaced.
  fileio::refuse_special_target(target);
  NewSibling temp = create_sibling(target, ".tmp", g_temp_seq);
  temp_ = std::move(temp.path);
  file_ = std::move(temp.file);
  entry_ = std::move(temp.entry);
  if (const std::optional<unsigned> mode = fileio::replaced_mode(target_)) {
    while (::fchmod(file_.fd(), *mode) != 0 && errno == EINTR) {}
  }
}

AtomicTemp::~AtomicTemp() {
  if (!committed_) {
    file_.close();
    ::unlink(temp_.c_str());
  }
}

void AtomicTemp::commit() {
  file_.sync();
  if (const int error = fileio::rename_over(temp_, target_)) throw IndexError::io_errno(error);
  committed_ = true;
  entry_.release();
  int dfd = ::open(dir_.c_str(), O_RDONLY | O_CLOEXEC);
  if (dfd >= 0) {
    (void)::fsync(dfd);
    ::close(dfd);
  }
  file_.close();
}

}  // namespace detail

void write_atomically(const std::filesystem::path& target, std::span<const std::uint8_t> bytes) {
  write_atomically_with(target, [&](fileio::File& f) { f.write_all(bytes); });
}

}  // namespace quenlith::blob
