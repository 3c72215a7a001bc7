// `Pages<T>`: an owned, fixed-length table of plain items.
//
// Tables of 2 MiB or more start on a 2 MiB boundary so the kernel can back them with huge pages;
// smaller ones come from the ordinary allocator. Items are never initialised by allocation: every
// user writes each item before reading it. Both kinds of allocation are released by `free`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "error.hpp"

namespace quenlith::pages {

inline constexpr std::uint64_t kHugePage = 2097152;  // 2 MiB

// Allocates `bytes` bytes by the table rule (alignment `align` below 2 MiB). Never returns null
// for a non-zero size: out of memory ends the process, as the allocator's own report would.
void* allocate_bytes(std::uint64_t bytes, std::size_t align);

template <class T>
class Pages {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "a table holds plain items");

 public:
  Pages() noexcept = default;

  // A table of `n` uninitialised items. Panics when the byte size cannot be an address.
  static Pages allocate(std::uint64_t n) {
    Pages p;
    if (n > static_cast<std::uint64_t>(INT64_MAX) / sizeof(T))
      panic("a table's bytes fit an address");
    if (n == 0) return p;
    p.data_ = static_cast<T*>(allocate_bytes(n * sizeof(T), alignof(T)));
    p.len_ = n;
    return p;
  }

  Pages(Pages&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), len_(std::exchange(other.len_, 0)) {}
  Pages& operator=(Pages&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      len_ = std::exchange(other.len_, 0);
    }
    return *this;
  }
  Pages(const Pages&) = delete;
  Pages& operator=(const Pages&) = delete;
  ~Pages() { release(); }

  // A non-null, aligned pointer even for an empty table (never dereferenced then).
  T* data() noexcept { return data_ ? data_ : placeholder(); }
  const T* data() const noexcept { return data_ ? data_ : placeholder(); }
  std::uint64_t size() const noexcept { return len_; }
  bool empty() const noexcept { return len_ == 0; }
  T& operator[](std::uint64_t i) noexcept { return data_[i]; }
  const T& operator[](std::uint64_t i) const noexcept { return data_[i]; }
  std::span<T> span() noexcept { return {data(), static_cast<std::size_t>(len_)}; }
  std::span<const T> span() const noexcept { return {data(), static_cast<std::size_t>(len_)}; }
  T* begin() noexcept { return data(); }
  T* end() noexcept { return data() + len_; }
  const T* begin() const noexcept { return data(); }
  const T* end() const noexcept { return data() + len_; }

 private:
  static T* placeholder() noexcept {
    alignas(T) static unsigned char slot[sizeof(T)];
    return reinterpret_cast<T*>(slot);
  }
  void release() noexcept {
    if (data_) std::free(data_);
    data_ = nullptr;
    len_ = 0;
  }

  T* data_ = nullptr;
  std::uint64_t len_ = 0;
};

}  // namespace quenlith::pages
