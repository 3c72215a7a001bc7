// `inspect` and `dump`: what a blob on disk is, and the keys it holds.
#include <cstdio>

#include "blob.hpp"
#include "bytes.hpp"
#include "cli.hpp"
#include "dict_index.hpp"
#include "fileio.hpp"
#include "fst/stream.hpp"
#include "hashed_dict.hpp"
#include "overlay.hpp"
#include "pages.hpp"
#include "perfect_hash.hpp"
#include "string_index.hpp"

namespace quenlith::cli {

namespace {

template <class T>
void put_field(Output& out, const std::string& prefix, const char* name,
               const std::optional<T>& v) {
  if (v) put(out, prefix + name + ": " + std::to_string(*v) + "\n");
}

// The whole blob, read straight into fresh page-aligned storage (one copy of it in memory, not
// two). A read failure is the `Io` error's display text.
blob::SharedBytes read_blob(const std::string& path) {
  fileio::File file = fileio::File::open_read(path);
  auto table = pages::Pages<std::uint8_t>::allocate(file.size());
  file.read_exact(table.span());
  return blob::SharedBytes::from_pages(std::move(table));
}

inspect::BlobInfo inspect_path(const std::string& path) {
  try {
    return inspect::inspect_file(path);
  } catch (const IndexError& e) {
    throw Fail::work(path + ": " + e.display());
  }
}

// Keys go out through an 8,192-byte buffer in front of standard output. When the command fails
// after keys were written, the keys before the failure are still delivered.
class KeyWriter {
 public:
  explicit KeyWriter(Output& out) : out_(out) { buf_.reserve(kCapacity); }
  KeyWriter(const KeyWriter&) = delete;
  KeyWriter& operator=(const KeyWriter&) = delete;
  ~KeyWriter() {
    try {
      out_.write(buf_);
    } catch (...) {
      // The command's own failure is the one reported.
    }
  }

  // One key and a line feed. A key that is not UTF-8, holds a line break or is empty cannot be
  // carried by a keys file: the dump fails naming the key's id, and nothing of the key is written.
  // Written with replacement characters, a key that is not UTF-8 would come back from `build` as a
  // key the index does not hold; an empty line is skipped by the keys-file reader, so the empty
  // key would vanish and, in an ordered index, shift every id after it.
  void write_key(std::string_view key, std::uint64_t id) {
    if (!bytes::is_utf8(bytes::as_bytes(key)))
      throw Fail::work("id " + std::to_string(id) +
                       " is not UTF-8, which a keys file cannot carry");
    if (key.find_first_of("\n\r") != std::string_view::npos)
      throw Fail::work("id " + std::to_string(id) +
                       " holds a line break, which one key per line cannot carry");
    if (key.empty())
      throw Fail::work("id " + std::to_string(id) +
                       " is the empty key, which a keys file cannot carry");
    if (key.size() + 1 > kCapacity - buf_.size()) drain();
    if (key.size() + 1 > kCapacity) {
      put(out_, key);
      put(out_, "\n");
      return;
    }
    buf_.append(key);
    buf_.push_back('\n');
  }

  void finish() {
    drain();
    try {
      out_.flush();
    } catch (const IndexError& e) {
      throw Fail::io(e);
    }
  }

 private:
  static constexpr std::size_t kCapacity = 8192;

  void drain() {
    std::string out;
    out.swap(buf_);
    buf_.reserve(kCapacity);
    put(out_, out);
  }

  Output& out_;
  std::string buf_;
};

[[noreturn]] void no_keys(const std::string& path, std::string_view what) {
  throw Fail::work(path + ": a " + std::string(what) +
                   " stores no keys, so there is nothing to dump — the key list it was built from "
                   "is the only way back");
}

void dump_perfect(const std::string& path, KeyWriter& w) {
  const auto index = perfect_hash::PerfectHashIndex::from_shared(read_blob(path), true);
  for (std::uint64_t id = 0; id < index.len(); ++id) {
    const std::optional<std::string_view> key = index.key(static_cast<std::uint32_t>(id));
    if (!key) throw Fail::work(path + ": id " + std::to_string(id) + " has no key");
    w.write_key(*key, id);
  }
}

// The transducer's entries from the first key to the last; each entry's value is its id. Its key
// bytes are not checked for UTF-8 by the loader; `write_key` refuses a key that is not.
void dump_string(const std::string& path, KeyWriter& w) {
  const auto index = string_index::StringIndex::from_shared(read_blob(path), true);
  try {
    auto stream = fst::range(index.map()).into_stream();
    while (const auto item = stream.next()) {
      w.write_key({reinterpret_cast<const char*>(item->key.data()), item->key.size()}, item->value);
    }
  } catch (const fst::Error& e) {
    throw Fail::from(IndexError::fst(e.what()));
  }
}

// The dictionary's keys from id 0 upward.
void dump_dict(const dict_index::DictIndex& index, KeyWriter& w) {
  dict_index::KeyIter keys(index, 0);
  while (keys.next()) w.write_key(keys.key(), keys.id());
}

// "sections.<name>: <bytes> (<bytes/key> B/key, <share> %)" for each byte row and the total,
// then the three counts.
void print_sections(const dict_index::DictIndex& index, Output& out) {
  const dict_index::Sections s = index.sections();
  const std::pair<const char*, std::uint64_t> rows[] = {
      {"header", s.header},
      {"tables", s.tables},
      {"header_codes", s.header_codes},
      {"phrases", s.phrases},
      {"heads", s.heads},
      {"head_ends", s.head_ends},
      {"block_offsets", s.block_offsets},
      {"micro_offsets", s.micro_offsets},
      {"restart_headers", s.restart_headers},
      {"restart_wide", s.restart_wide},
      {"restart_codes", s.restart_codes},
      {"entry_headers", s.entry_headers},
      {"entry_wide", s.entry_wide},
      {"entry_codes", s.entry_codes},
  };
  std::uint64_t total = 0;
  for (const auto& row : rows) total += row.second;
  const double keys = static_cast<double>(index.size() == 0 ? 1 : index.size());
  const auto line = [&](const char* name, std::uint64_t bytes) {
    const double share = total == 0 ? 0.0 : static_cast<double>(bytes) * 100.0 / total;
    char figures[96];
    std::snprintf(figures, sizeof figures, " (%.4f B/key, %.2f %%)\n",
                  static_cast<double>(bytes) / keys, share);
    put(out, std::string("sections.") + name + ": " + std::to_string(bytes) + figures);
  };
  for (const auto& row : rows) line(row.first, row.second);
  line("total", total);
  for (const auto& [name, count] : {std::pair<const char*, std::uint64_t>{"restarts", s.restarts},
                                    {"entries", s.entries},
                                    {"wide", s.wide}})
    put(out, std::string("sections.") + name + ": " + std::to_string(count) + "\n");
}

// The live keys of an overlay over a base that stores its keys, gathered in id order (base ids
// first, then the additions, retired ids skipped) before any is written. A StringIndex base is
// read as `dump_string` reads a bare one, in one stream over its transducer whose positions are
// the ids, and a node that does not decode fails the dump with the library's error as there.
template <class Base>
void dump_overlay(const std::string& path, KeyWriter& w) {
  const blob::SharedBytes bytes = read_blob(path);
  const auto ov = overlay::load_blob<Base>(bytes.bytes(), false);
  std::vector<std::pair<std::string, std::uint64_t>> live;
  live.reserve(ov.len());
  const auto no_key = [&](std::uint64_t id) {
    return Fail::work(path + ": id " + std::to_string(id) + " has no key");
  };
  std::uint64_t id = 0;
  if constexpr (std::is_same_v<Base, string_index::StringIndex>) {
    try {
      auto stream = fst::range(ov.base()->map()).into_stream();
      for (; id < ov.base_len(); ++id) {
        const auto item = stream.next();
        if (!item) break;
        if (ov.retired(id)) continue;
        if (!bytes::is_utf8(item->key)) throw no_key(id);
        live.emplace_back(bytes::as_chars(item->key), id);
      }
    } catch (const fst::Error& e) {
      throw Fail::from(IndexError::fst(e.what()));
    }
  }
  for (; id < ov.id_space(); ++id) {
    if (ov.retired(id)) continue;
    std::optional<std::string> key = ov.key(id);
    if (!key) throw no_key(id);
    live.emplace_back(std::move(*key), id);
  }
  for (const auto& [key, id] : live) w.write_key(key, id);
}

}  // namespace

void print_info(const std::string& prefix, const inspect::BlobInfo& info, Output& out) {
  put(out, prefix + "kind: " + std::string(inspect::kind_name(info.kind)) + "\n");
  put(out, prefix + "format: " + info.format + "\n");
  put(out, prefix + "bytes: " + std::to_string(info.bytes) + "\n");
  put_field(out, prefix, "keys", info.keys);
  put_field(out, prefix, "fingerprint_bits", info.fingerprint_bits);
  put_field(out, prefix, "mph_bytes", info.mph_bytes);
  put_field(out, prefix, "arena_bytes", info.arena_bytes);
  put_field(out, prefix, "side_entries", info.side_entries);
  if (info.overlay) {
    const inspect::OverlayInfo& o = *info.overlay;
    put(out, prefix + "overlay.base_tag: " + std::to_string(o.base_tag) + "\n");
    put(out, prefix + "overlay.additions: " + std::to_string(o.additions) + "\n");
    put(out, prefix + "overlay.retired: " + std::to_string(o.retired) + "\n");
    if (o.base) print_info(prefix + "base.", *o.base, out);
  }
}

void cmd_inspect(const Cmd& cmd, Output& out) {
  const std::string& path = cmd.positionals[0];
  const inspect::BlobInfo info = inspect_path(path);
  print_info("", info, out);
  if (!cmd.sections) return;
  if (info.kind != inspect::BlobKind::DictIndex)
    throw Fail::work(path + ": --sections is a DictIndex's byte split, and this is a " +
                     std::string(inspect::kind_name(info.kind)));
  print_sections(dict_index::DictIndex::from_shared(read_blob(path), true), out);
}

void cmd_dump(std::span<const std::string> positionals, Output& out) {
  const std::string& path = positionals[0];
  const inspect::BlobInfo info = inspect_path(path);
  KeyWriter w(out);
  switch (info.kind) {
    case inspect::BlobKind::CompactHashIndex:
      no_keys(path, "CompactHashIndex");
    case inspect::BlobKind::ClosedHashIndex:
      no_keys(path, "ClosedHashIndex");
    case inspect::BlobKind::Mphf:
      no_keys(path, "minimal perfect hash");
    case inspect::BlobKind::PerfectHashIndex:
      dump_perfect(path, w);
      break;
    case inspect::BlobKind::Overlay:
      if (!info.overlay) throw Fail::work(path + ": an overlay without a base tag");
      if (info.overlay->base_tag == 1) {
        dump_overlay<string_index::StringIndex>(path, w);
      } else if (info.overlay->base_tag == 2) {
        dump_overlay<perfect_hash::PerfectHashIndex>(path, w);
      } else {
        throw Fail::work(path + ": an overlay over a base tagged " +
                         std::to_string(info.overlay->base_tag) +
                         " stores no keys of its own to dump");
      }
      break;
    case inspect::BlobKind::StringIndex:
      dump_string(path, w);
      break;
    case inspect::BlobKind::DictIndex:
      dump_dict(dict_index::DictIndex::from_shared(read_blob(path), true), w);
      break;
    case inspect::BlobKind::HashedDictIndex:
      dump_dict(hashed_dict::HashedDictIndex::from_shared(read_blob(path), true).dict(), w);
      break;
  }
  w.finish();
}

}  // namespace quenlith::cli
