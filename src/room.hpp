// Growable byte buffers that own slack past their logical end.
//
// The suffix decoders of the dictionary index write whole 8-byte symbol words and 32-byte phrase
// copies and then advance by the true length. `Bytes` makes that safe: `reserve_extra(n)` grows
// the storage itself (not just its capacity) to hold n more bytes past the logical length, so
// every such store lands in memory the buffer owns and has initialised. The bytes past `size()`
// are scratch and belong to no key.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quenlith::room {

class Bytes {
 public:
  std::size_t size() const noexcept { return len_; }
  bool empty() const noexcept { return len_ == 0; }
  const std::uint8_t* data() const noexcept { return store_.data(); }
  std::uint8_t* data() noexcept { return store_.data(); }
  std::span<const std::uint8_t> span() const noexcept { return {store_.data(), len_}; }
  std::string_view view() const noexcept {
    return {reinterpret_cast<const char*>(store_.data()), len_};
  }
  std::string str() const { return std::string(view()); }

  // Owned room past the logical end.
  std::size_t slack() const noexcept { return store_.size() - len_; }
  // Makes at least n bytes past the logical end writable.
  void reserve_extra(std::size_t n) {
    if (store_.size() - len_ < n) store_.resize(len_ + n + (len_ + n) / 2 + 64);
  }
  // A pointer to the logical end, for decoders that then `grow` by what they produced.
  std::uint8_t* end() noexcept { return store_.data() + len_; }
  // Extends the logical length over bytes already written into the slack.
  void grow(std::size_t n) noexcept { len_ += n; }
  void truncate(std::size_t n) noexcept {
    if (n < len_) len_ = n;
  }
  void clear() noexcept { len_ = 0; }
  void append(std::span<const std::uint8_t> b) {
    reserve_extra(b.size());
    if (!b.empty()) std::memcpy(store_.data() + len_, b.data(), b.size());
    len_ += b.size();
  }
  void push_back(std::uint8_t b) {
    reserve_extra(1);
    store_[len_++] = b;
  }
  void assign(std::span<const std::uint8_t> b) {
    len_ = 0;
    append(b);
  }

 private:
  std::vector<std::uint8_t> store_;
  std::size_t len_ = 0;
};

}  // namespace quenlith::room
