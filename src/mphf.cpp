// Temporary bodies so dependants can compile against the interface; replaced by the real
// implementation.
#include "mphf.hpp"

namespace quenlith::mphf {

void refuse_too_many_keys(std::uint64_t count) {
  if (count > kMaxKeys) throw IndexError::build("minimal perfect hash: more than u32::MAX keys");
}

std::uint32_t Level::shift_for(std::uint64_t part, std::uint32_t mode) noexcept {
  if (mode == 2) return static_cast<std::uint32_t>(63 - __builtin_clzll(part | 1)) - 6;
  return part < 512 ? 0 : 1;
}

std::uint64_t Remap::get(std::uint64_t) const noexcept { return 0; }
std::uint64_t Remap::beyond(const std::uint64_t*, std::uint64_t, std::uint64_t, std::uint64_t) noexcept {
  return 0;
}
Remap Remap::encode(std::span<const std::uint64_t>, std::uint64_t) { panic("not yet built"); }
bool Remap::validate(std::uint64_t) const { return false; }
Remap Remap::from_v2(std::span<const std::uint64_t>, std::span<const std::uint64_t>,
                     std::span<const std::uint64_t>, std::uint64_t, std::uint32_t, std::uint64_t,
                     std::uint64_t) {
  panic("not yet built");
}
V2 V2::build_from(std::uint64_t, HashInput, unsigned) { panic("not yet built"); }
std::uint64_t V2::index_bumped(std::uint64_t) const noexcept { return 0; }
std::uint64_t V2::bumped_entry(std::uint64_t) const noexcept { return kNoEntry; }
std::uint64_t V1::index(std::uint64_t) const noexcept { return 0; }
std::vector<std::uint8_t> V1::to_bytes() const { return {}; }
Mphf Mphf::build_with_threads(std::span<const std::uint64_t> hashes, unsigned threads) {
  refuse_too_many_keys(hashes.size());
  return Mphf(V2::build_from(hashes.size(), HashInput::unordered(hashes), threads));
}
Mphf Mphf::from_bytes(std::span<const std::uint8_t>) { panic("not yet built"); }
std::vector<std::uint64_t> Mphf::index_all(std::span<const std::uint64_t> hashes) const {
  std::vector<std::uint64_t> out(hashes.size());
  for (std::size_t i = 0; i < hashes.size(); ++i) out[i] = index(hashes[i]);
  return out;
}
std::vector<std::uint8_t> Mphf::to_bytes() const { return {}; }
std::uint64_t Mphf::byte_len() const noexcept { return 0; }
void Mphf::write_chunks(const std::function<void(std::span<const std::uint8_t>)>&) const {}

}  // namespace quenlith::mphf
