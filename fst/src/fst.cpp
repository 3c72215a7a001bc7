// Opening a map file, lookups, checksum verification, and the root check of a file that does
// not open.
//
// File layout (N = file size; integers little-endian):
//   offset   width  content
//   0        8      format version, u64 (1..3 read; 3 written)
//   8        8      type, u64 (maps: 0; stored, never checked)
//   16       ...    node area: nodes, children first, root last (see node.cpp)
//   N-20     8      key count, u64                  (versions 1, 2: at N-16)
//   N-12     8      root address, u64               (versions 1, 2: at N-8)
//   N-4      4      masked CRC-32C of bytes 0..N-4   (version 3 only)
//
// The root is the last node written, so its address is N-21 (N-17 before version 3).
// The only exception is a map whose root is the unwritten empty final node (address 0): the
// map holding just the empty key with value 0, exactly 36 bytes.
#include "fst/fst.hpp"

#include "bytes.hpp"
#include "fst/crc32.hpp"

namespace fst {

namespace {

constexpr std::uint64_t kMinSize = 36;  // header 16 + key count 8 + root 8 + checksum 4

// Where the footer's key count and root address end: before the checksum from version 3.
std::uint64_t footer_end(std::uint64_t size, std::uint64_t version) {
  return version >= 3 ? size - 4 : size;
}

}  // namespace

static_assert(kMinSize == 16 + 8 + 8 + 4);

Fst::Fst(std::span<const std::uint8_t> bytes) : bytes_(bytes) {
  const std::uint64_t n = bytes.size();
  const std::uint8_t* p = bytes.data();
  if (n < kMinSize) throw Error::format(n);
  version_ = detail::read_u64le(p);
  if (version_ == 0 || version_ > VERSION) throw Error::version(VERSION, version_);
  type_ = detail::read_u64le(p + 8);
  const std::uint64_t end = footer_end(n, version_);
  const CompiledAddr root_addr = detail::read_u64le(p + end - 8);
  len_ = detail::read_u64le(p + end - 16);
  // The key count and root address (and the checksum) follow the node area: Node's 8-byte
  // integer loads at any node byte rely on those 16 bytes.
  area_end_ = end - 16;
  // The root is the last node before the footer, or the empty final node of the one
  // 36-byte map. A root anywhere else would send decoding to arbitrary offsets.
  if (root_addr == EMPTY_ADDRESS) {
    if (version_ < 3 || n != kMinSize) throw Error::format(n);
  } else if (root_addr != area_end_ - 1) {
    throw Error::format(n);
  }
  root_.decode(p, n, area_end_, version_, root_addr);
}

std::optional<std::uint64_t> Fst::get(std::span<const std::uint8_t> key) const {
  const NodeReader reader(*this);
  CompiledAddr addr = root_.addr();
  std::uint64_t out = 0;
  for (const std::uint8_t b : key) {
    // Most nodes on a path have one transition: compare its input and move on, without
    // decoding the node as a whole.
    Transition t;
    if (!reader.lone_transition(addr, t)) {
      const Node node = reader.node(addr);
      const std::optional<std::size_t> i = node.find_input(b);
      if (!i) return std::nullopt;
      t = node.transition(*i);
    } else if (t.inp != b) {
      return std::nullopt;
    }
    out += t.out.value();
    addr = t.addr;
  }
  const Node node = reader.node(addr);
  if (!node.is_final()) return std::nullopt;
  return out + node.final_output().value();
}

std::optional<std::uint64_t> Fst::get(std::string_view key) const {
  return get(
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(key.data()), key.size()));
}

void Fst::verify() const {
  if (version_ < 3) throw Error::checksum_missing();
  const std::uint64_t n = bytes_.size();
  const std::uint32_t stored = detail::read_u32le(bytes_.data() + n - 4);
  CheckSummer summer;
  summer.update(bytes_.first(n - 4));
  const std::uint32_t computed = summer.masked();
  if (stored != computed) throw Error::checksum_mismatch(stored, computed);
}

NodeCheck check_stored_root(std::span<const std::uint8_t> file) noexcept {
  const std::uint64_t n = file.size();
  if (n < kMinSize) return NodeCheck::Sound;
  const std::uint64_t version = detail::read_u64le(file.data());
  if (version == 0 || version > VERSION) return NodeCheck::Sound;
  return check_node(file, version, detail::read_u64le(file.data() + footer_end(n, version) - 8));
}

}  // namespace fst
