// The transducer index: loading, building, and the queries that are not streams.
// The blob layout is drawn in string_index.hpp; the validating loader is in
// string_index_validate.cpp.
#include "string_index.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "bytes.hpp"
#include "fileio.hpp"
#include "fst/builder.hpp"
#include "utf8_automaton.hpp"

namespace quenlith::string_index {

namespace {

std::span<const std::uint8_t> as_bytes(std::string_view s) { return bytes::as_bytes(s); }

// The library's error as the index reports it: a failed read or write stays an I/O error.
IndexError from_fst(const fst::Error& e) {
  if (e.kind() == fst::ErrorKind::Io)
    return IndexError::io_message(IndexError::IoKind::Other, e.what());
  return IndexError::fst(e.what());
}

// Inserts the keys that `next` yields (nullopt at their end), in non-decreasing byte order, each
// with its rank as value, skipping a key equal to the previous one; returns the number inserted.
// A builder error, such as a key below the previous one, is thrown at once.
template <class Next>
std::uint64_t insert_sorted(fst::MapBuilder& builder, Next&& next) {
  std::string previous;
  std::uint64_t count = 0;
  while (const std::optional<std::string_view> key = next()) {
    if (count > 0 && *key == previous) continue;
    try {
      builder.insert(*key, count);
    } catch (const fst::Error& e) {
      throw from_fst(e);
    }
    previous.assign(*key);
    ++count;
  }
  return count;
}

void finish(fst::MapBuilder& builder) {
  try {
    builder.finish();
  } catch (const fst::Error& e) {
    throw from_fst(e);
  }
}

// A "BIX4" blob in memory: the magic, then the map that `feed` builds by inserting keys into the
// builder it is given. The builder writes behind the magic, so the blob is whole when the
// builder finishes.
template <class Feed>
std::vector<std::uint8_t> build_blob(Feed&& feed) {
  std::vector<std::uint8_t> blob(kMagic, kMagic + kMagicBytes);
  fst::MapBuilder builder =
      fst::MapBuilder::to_writer([&blob](std::span<const std::uint8_t> chunk) {
        blob.insert(blob.end(), chunk.begin(), chunk.end());
      });
  feed(builder);
  finish(builder);
  return blob;
}

// Writes a "BIX4" file at `path` atomically: the magic, then the map that `feed` builds by
// inserting keys into the builder it is given. Returns what `feed` returns. On any failure the
// temporary file is removed and `path` is left as it was.
template <class Feed>
std::uint64_t write_blob(const std::filesystem::path& path, Feed&& feed) {
  return blob::write_atomically_with(path, [&](fileio::File& file) {
    fileio::BufWriter out(file, 8192);
    out.write_all(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(kMagic), 4));
    // The writer's own I/O errors (IndexError::Io) leave through insert() and finish() as they
    // are: whichever flush fails, the caller sees an I/O error.
    fst::MapBuilder builder = fst::MapBuilder::to_writer(
        [&out](std::span<const std::uint8_t> chunk) { out.write_all(chunk); });
    const std::uint64_t count = feed(builder);
    finish(builder);
    out.flush();
    return count;
  });
}

// The 8 key bytes from `depth` as a big-endian integer, zero bytes past the key's end. Integer
// order of chunks agrees with byte order of the keys: where two chunks differ, either both keys
// hold the differing byte, or the one that ends there is a prefix of the other.
std::uint64_t chunk_at(std::string_view key, std::size_t depth) noexcept {
  std::uint8_t b[8] = {};
  if (depth < key.size())
    std::memcpy(b, key.data() + depth, std::min<std::size_t>(8, key.size() - depth));
  std::uint64_t v = 0;
  for (const std::uint8_t c : b) v = v << 8 | c;
  return v;
}

// The distinct keys in unsigned byte order, as references. A multikey sort: references are
// sorted by the cached chunk at a depth, then each run of equal chunks by the next chunk, so a
// comparison reads an integer beside the reference instead of two keys far apart in memory.
std::vector<std::string_view> sorted_distinct(std::span<const std::string_view> keys) {
  struct Ref {
    std::uint64_t chunk;
    std::string_view key;
  };
  std::vector<Ref> refs(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) refs[i] = Ref{chunk_at(keys[i], 0), keys[i]};
  struct Task {
    std::size_t begin, end, depth;  // refs[begin, end) share their first `depth` bytes
  };
  std::vector<Task> todo;
  if (refs.size() > 1) todo.push_back(Task{0, refs.size(), 0});
  while (!todo.empty()) {
    const Task t = todo.back();
    todo.pop_back();
    const auto first = refs.begin() + static_cast<std::ptrdiff_t>(t.begin);
    const auto last = refs.begin() + static_cast<std::ptrdiff_t>(t.end);
    if (t.depth > 0) {
      for (auto it = first; it != last; ++it) it->chunk = chunk_at(it->key, t.depth);
    }
    std::sort(first, last, [](const Ref& a, const Ref& b) { return a.chunk < b.chunk; });
    for (auto run = first; run != last;) {
      auto end = run + 1;
      while (end != last && end->chunk == run->chunk) ++end;
      if (end - run > 1) {
        // Equal chunks: keys ending within them differ only in length (shorter first) and
        // precede the longer keys, which go on to the next chunk.
        const std::size_t stop = t.depth + 8;
        const auto longer =
            std::partition(run, end, [&](const Ref& r) { return r.key.size() <= stop; });
        std::sort(run, longer,
                  [](const Ref& a, const Ref& b) { return a.key.size() < b.key.size(); });
        if (end - longer > 1)
          todo.push_back(Task{static_cast<std::size_t>(longer - refs.begin()),
                              static_cast<std::size_t>(end - refs.begin()), stop});
      }
      run = end;
    }
  }
  std::vector<std::string_view> out;
  out.reserve(refs.size());
  for (const Ref& r : refs) {
    if (out.empty() || out.back() != r.key) out.push_back(r.key);
  }
  return out;
}

}  // namespace

std::string lossy_utf8(std::span<const std::uint8_t> bytes) {
  if (bytes::is_utf8(bytes)) return std::string(bytes::as_chars(bytes));
  // Each maximal ill-formed subpart becomes one U+FFFD: a sequence that breaks off is replaced
  // and the byte that broke it is read again as the start of the next character.
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size() + 8);
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t j = i;
    int state = utf8::kStart;
    do {
      state = utf8::step(state, bytes[j]);
      if (state == utf8::kInvalid) break;
      ++j;
    } while (state != utf8::kStart && j < bytes.size());
    if (state == utf8::kStart) {
      out.append(reinterpret_cast<const char*>(bytes.data() + i), j - i);
      i = j;
    } else {
      out.append(kReplacement);
      i = (j == i) ? i + 1 : j;
    }
  }
  return out;
}

std::optional<std::string> rank_walk(const fst::Fst& map, std::uint64_t rank) {
  // Most nodes on a path have one transition and are not final: those are read as a lone
  // transition, without decoding the node as a whole.
  const fst::NodeReader reader = map.reader();
  fst::Node node = map.root();
  std::string key;
  if (!(node.is_final() && node.final_output().value() == rank)) {
    std::uint64_t acc = 0;
    // When `decoded` is false the current node is a one-transition node, read as `lone` alone,
    // and `node` still holds an earlier node.
    bool decoded = true;
    fst::Transition lone;
    for (;;) {
      fst::Transition t;
      if (decoded) {
        const std::size_t n = node.len();
        if (n == 0) return std::nullopt;
        // The transitions' outputs grow with their inputs: find the last one not above `rank`.
        std::size_t lo = 0, hi = n;
        while (lo < hi) {
          const std::size_t mid = (lo + hi) / 2;
          const std::optional<std::uint64_t> sum =
              bytes::checked_add(acc, node.transition(mid).out.value());
          if (!sum || *sum > rank) {
            hi = mid;
          } else {
            lo = mid + 1;
          }
        }
        if (lo == 0) return std::nullopt;
        t = node.transition(lo - 1);
      } else {
        t = lone;
      }
      const std::optional<std::uint64_t> next = bytes::checked_add(acc, t.out.value());
      if (!next || *next > rank) return std::nullopt;
      acc = *next;
      key.push_back(static_cast<char>(t.inp));
      decoded = !reader.lone_transition(t.addr, lone);
      if (!decoded) continue;
      node = reader.node(t.addr);
      // A final node whose own key ranks lower is passed through: the rank lies below it.
      if (node.is_final() && bytes::checked_add(acc, node.final_output().value()) == rank) break;
    }
  }
  if (!bytes::is_utf8(as_bytes(key))) return std::nullopt;
  return key;
}

namespace detail {

void undecodable(const fst::Error& e) {
  panic(std::string("a StringIndex's transducer nodes decode (load blobs from others with the "
                    "validating loader): ") +
        e.what());
}

}  // namespace detail

// --- loading ---------------------------------------------------------------------------------

StringIndex::StringIndex() : StringIndex(build(std::span<const std::string_view>{})) {}

StringIndex StringIndex::open(blob::SharedBytes bytes) {
  if (!blob::has_magic(bytes.bytes(), kMagic)) throw IndexError::format(blob::kBadMagic);
  std::optional<blob::SharedBytes> map_bytes = bytes.slice(kMagicBytes, bytes.size() - kMagicBytes);
  check_invariant(map_bytes.has_value(), "a blob's bytes after its magic are a view of it");
  try {
    fst::Fst map(map_bytes->bytes());
    return StringIndex(std::move(*map_bytes), map);
  } catch (const fst::Error& e) {
    throw from_fst(e);
  }
}

StringIndex StringIndex::from_shared(blob::SharedBytes bytes, bool verify) {
  StringIndex index = open(std::move(bytes));
  if (!verify) return index;
  try {
    index.map_.verify();
  } catch (const fst::Error& e) {
    throw from_fst(e);
  }
  index.verify_ranks();
  return index;
}

StringIndex StringIndex::from_bytes(std::span<const std::uint8_t> data) {
  return from_shared(blob::SharedBytes::from_owned(data), true);
}

StringIndex StringIndex::from_untrusted_bytes(std::span<const std::uint8_t> data) {
  return from_shared_untrusted(blob::SharedBytes::from_owned(data));
}

StringIndex StringIndex::load(const std::filesystem::path& path) {
  return from_shared(blob::SharedBytes::from_owned(fileio::read_file(path)), true);
}

StringIndex StringIndex::load_mmap(const std::filesystem::path& path) {
  return from_shared(blob::SharedBytes::map_file(path), false);
}

StringIndex StringIndex::load_mmap_verified(const std::filesystem::path& path) {
  return from_shared(blob::SharedBytes::map_file(path), true);
}

StringIndex StringIndex::load_untrusted(const std::filesystem::path& path) {
  return from_shared_untrusted(blob::SharedBytes::from_owned(fileio::read_file(path)));
}

StringIndex StringIndex::load_mmap_untrusted(const std::filesystem::path& path) {
  return from_shared_untrusted(blob::SharedBytes::map_file(path));
}

void StringIndex::verify_ranks() const {
  const std::uint64_t n = len();
  if (n == 0) return;
  try {
    // The first key: in a map whose values are ranks its value is 0. It is found by following
    // each node's first transition down to a final node, one node a byte, so that crafted bytes
    // cannot make the check walk more than one path.
    fst::Node node = map_.root();
    std::uint64_t acc = 0;
    while (!node.is_final()) {
      if (node.is_empty()) throw IndexError::format(kNotRanks);
      const fst::Transition t = node.transition(0);
      acc = bytes::add_or_fail(acc, t.out.value(), kNotRanks);
      node = map_.node(t.addr);
    }
    if (acc != 0 || node.final_output().value() != 0) throw IndexError::format(kNotRanks);
    if (!rank_walk(map_, n - 1)) throw IndexError::format(kNotRanks);
  } catch (const fst::Error& e) {
    throw from_fst(e);
  }
}

// --- serialising -----------------------------------------------------------------------------

std::vector<std::uint8_t> StringIndex::to_bytes() const {
  std::vector<std::uint8_t> out;
  out.reserve(serialized_len());
  out.insert(out.end(), kMagic, kMagic + kMagicBytes);
  const auto map = transducer_bytes();
  out.insert(out.end(), map.begin(), map.end());
  return out;
}

void StringIndex::save(const std::filesystem::path& path) const {
  blob::write_atomically_with(path, [&](fileio::File& file) {
    file.write_all(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(kMagic), 4));
    file.write_all(transducer_bytes());
  });
}

// --- building --------------------------------------------------------------------------------

StringIndex StringIndex::build(std::span<const std::string_view> keys) {
  const std::vector<std::string_view> sorted = sorted_distinct(keys);
  return open(blob::SharedBytes::from_owned(build_blob([&](fst::MapBuilder& builder) {
    try {
      for (std::size_t i = 0; i < sorted.size(); ++i) builder.insert(sorted[i], i);
    } catch (const fst::Error& e) {
      throw from_fst(e);
    }
  })));
}

StringIndex StringIndex::build(std::span<const std::string> keys) {
  std::vector<std::string_view> views(keys.begin(), keys.end());
  return build(std::span<const std::string_view>(views));
}

std::uint64_t StringIndex::build_to_file(key_source::KeySource& keys,
                                         const std::filesystem::path& path) {
  return detail::build_to_file_with(keys, path, detail::RunLimits{});
}

std::uint64_t detail::build_to_file_with(key_source::KeySource& keys,
                                         const std::filesystem::path& path, RunLimits limits) {
  extsort::Run run(limits.budget, limits.offset_limit);
  extsort::Runs runs(path);
  key_source::for_each_key(*keys.open_pass(), [&](std::string_view key) {
    extsort::push_or_spill(run, runs, key, kKeyTooLong);
  });
  if (keys.failed()) throw IndexError::format(kSourceFailed);

  if (runs.empty()) {
    const extsort::SortedKeys sorted = run.sorted();
    return write_blob(path, [&](fst::MapBuilder& builder) {
      auto at = sorted.begin();
      return insert_sorted(builder, [&]() -> std::optional<std::string_view> {
        if (at == sorted.end()) return std::nullopt;
        const std::string_view key = *at;
        ++at;
        check_invariant(bytes::is_utf8(as_bytes(key)), "appended from a str");
        return key;
      });
    });
  }
  if (!run.empty()) runs.spill(run);
  run.release();
  extsort::ErrorCell cell;
  extsort::Merge merge = runs.merge(cell);
  return write_blob(path, [&](fst::MapBuilder& builder) {
    const std::uint64_t count = insert_sorted(builder, [&] { return merge.next(); });
    if (cell) throw *cell;
    return count;
  });
}

StringIndex StringIndex::from_sorted(key_source::KeySource& keys) {
  const std::unique_ptr<key_source::KeyStream> pass = keys.open_pass();
  key_source::KeyCursor cursor(*pass);
  return open(blob::SharedBytes::from_owned(build_blob([&](fst::MapBuilder& builder) {
    insert_sorted(builder, [&] { return cursor.next(); });
    if (keys.failed()) throw IndexError::format(kSourceFailed);
  })));
}

std::uint64_t StringIndex::build_sorted_to_file(key_source::KeySource& keys,
                                                const std::filesystem::path& path) {
  const std::unique_ptr<key_source::KeyStream> pass = keys.open_pass();
  key_source::KeyCursor cursor(*pass);
  return write_blob(path, [&](fst::MapBuilder& builder) {
    const std::uint64_t count = insert_sorted(builder, [&] { return cursor.next(); });
    if (keys.failed()) throw IndexError::format(kSourceFailed);
    return count;
  });
}

// --- exact lookups ---------------------------------------------------------------------------

std::optional<std::uint64_t> StringIndex::id(std::string_view key) const {
  try {
    return map_.get(key);
  } catch (const fst::Error& e) {
    detail::undecodable(e);
  }
}

std::optional<std::string> StringIndex::key(std::uint64_t id) const {
  try {
    return rank_walk(map_, id);
  } catch (const fst::Error& e) {
    detail::undecodable(e);
  }
}

std::vector<std::optional<std::string>> StringIndex::keys_of(
    std::span<const std::uint64_t> ids) const {
  std::vector<std::optional<std::string>> out;
  out.reserve(ids.size());
  for (const std::uint64_t i : ids) out.push_back(key(i));
  return out;
}

// --- ordered queries -------------------------------------------------------------------------

std::uint64_t StringIndex::rank_of_first_ge(std::string_view query) const {
  MatchIter<fst::automaton::AlwaysMatch> it = search(fst::automaton::AlwaysMatch{}, query);
  if (auto item = it.next_raw()) return item->value;
  return len();
}

std::uint64_t StringIndex::range_count(std::string_view lo, std::string_view hi) const {
  const std::uint64_t a = rank_of_first_ge(lo);
  const std::uint64_t b = rank_of_first_ge(hi);
  return b > a ? b - a : 0;
}

std::vector<Entry> StringIndex::range(std::string_view lo, std::string_view hi,
                                      std::optional<std::uint64_t> limit) const {
  if (limit && *limit == 0) return {};
  MatchIter<fst::automaton::AlwaysMatch> it = search(fst::automaton::AlwaysMatch{}, lo, hi);
  return drain(it, limit);
}

std::pair<std::uint64_t, std::uint64_t> StringIndex::prefix_id_range(
    std::string_view prefix) const {
  const std::uint64_t start = rank_of_first_ge(prefix);
  // The smallest string above every string that starts with the prefix: drop trailing 0xFF
  // bytes and add one to the last byte left. Nothing left means no such string exists.
  std::string above(prefix);
  while (!above.empty() && static_cast<std::uint8_t>(above.back()) == 0xFF) above.pop_back();
  if (above.empty()) return {start, std::max(start, len())};
  above.back() = static_cast<char>(static_cast<std::uint8_t>(above.back()) + 1);
  return {start, std::max(start, rank_of_first_ge(above))};
}

std::uint64_t StringIndex::prefix_count(std::string_view prefix) const {
  const auto [start, end] = prefix_id_range(prefix);
  return end - start;
}

MatchIter<PrefixAutomaton> StringIndex::prefix_iter(std::string_view prefix) const {
  return search(fst::automaton::starts_with(fst::automaton::Str(prefix)));
}

std::vector<Entry> StringIndex::prefix(std::string_view prefix,
                                       std::optional<std::uint64_t> limit) const {
  if (limit && *limit == 0) return {};
  MatchIter<PrefixAutomaton> it = prefix_iter(prefix);
  return drain(it, limit);
}

MatchIter<fst::automaton::AlwaysMatch> StringIndex::stream_after(
    std::optional<std::string_view> after) const {
  try {
    auto b = fst::range(map_);
    if (after) b.gt(*after);
    return MatchIter<fst::automaton::AlwaysMatch>(std::move(b).into_stream());
  } catch (const fst::Error& e) {
    detail::undecodable(e);
  }
}

std::optional<Entry> StringIndex::successor(std::string_view query) const {
  MatchIter<fst::automaton::AlwaysMatch> it = search(fst::automaton::AlwaysMatch{}, query);
  return it.next();
}

std::optional<Entry> StringIndex::predecessor(std::string_view query) const {
  if (const std::optional<std::uint64_t> i = id(query)) return Entry{std::string(query), *i};
  std::uint64_t r = len();
  MatchIter<fst::automaton::AlwaysMatch> above = stream_after(query);
  if (auto item = above.next_raw()) r = item->value;
  if (r == 0) return std::nullopt;
  std::optional<std::string> k = key(r - 1);
  if (!k) return std::nullopt;
  return Entry{std::move(*k), r - 1};
}

// --- prefix matching -------------------------------------------------------------------------

namespace {

// Walks `query`'s bytes from the root and calls `record(m, id)` for every stored key that is
// the query's first m bytes and ends on one of its character boundaries, shortest first.
template <class Record>
void prefix_walk(const fst::Fst& map, std::string_view query, Record&& record) {
  fst::Node node = map.root();
  if (node.is_final()) record(0, node.final_output().value());
  std::uint64_t acc = 0;
  for (std::size_t m = 1; m <= query.size(); ++m) {
    const auto b = static_cast<std::uint8_t>(query[m - 1]);
    const std::optional<std::size_t> i = node.find_input(b);
    if (!i) return;
    const fst::Transition t = node.transition(*i);
    const std::optional<std::uint64_t> next = bytes::checked_add(acc, t.out.value());
    if (!next) return;
    acc = *next;
    node = map.node(t.addr);
    if (!node.is_final()) continue;
    const bool boundary = m == query.size() || (static_cast<std::uint8_t>(query[m]) & 0xC0) != 0x80;
    if (!boundary) continue;
    if (const std::optional<std::uint64_t> id =
            bytes::checked_add(acc, node.final_output().value()))
      record(m, *id);
  }
}

}  // namespace

std::vector<Entry> StringIndex::common_prefix(std::string_view query) const {
  std::vector<Entry> out;
  try {
    prefix_walk(map_, query, [&](std::size_t m, std::uint64_t id) {
      out.push_back(Entry{std::string(query.substr(0, m)), id});
    });
  } catch (const fst::Error& e) {
    detail::undecodable(e);
  }
  return out;
}

std::optional<Entry> StringIndex::longest_prefix(std::string_view query) const {
  std::optional<std::pair<std::size_t, std::uint64_t>> found;
  try {
    prefix_walk(map_, query, [&](std::size_t m, std::uint64_t id) { found.emplace(m, id); });
  } catch (const fst::Error& e) {
    detail::undecodable(e);
  }
  if (!found) return std::nullopt;
  return Entry{std::string(query.substr(0, found->first)), found->second};
}

// --- approximate queries ---------------------------------------------------------------------

MatchIter<fst::automaton::Levenshtein> StringIndex::fuzzy_iter(std::string_view query,
                                                               std::uint32_t max_distance) const {
  std::optional<fst::automaton::Levenshtein> aut;
  try {
    aut.emplace(query, max_distance);
  } catch (const fst::automaton::LevenshteinError& e) {
    throw IndexError::automaton(e.what());
  } catch (const fst::Error& e) {
    throw IndexError::automaton(e.what());
  }
  return search(std::move(*aut));
}

std::vector<Entry> StringIndex::fuzzy(std::string_view query, std::uint32_t max_distance,
                                      std::optional<std::uint64_t> limit) const {
  // The automaton first: a query it refuses is refused whatever the limit.
  MatchIter<fst::automaton::Levenshtein> it = fuzzy_iter(query, max_distance);
  return drain(it, limit);
}

MatchIter<subsequence::Subsequence> StringIndex::subsequence_iter(std::string_view query) const {
  return search(subsequence::Subsequence(query));
}

std::vector<Entry> StringIndex::subsequence(std::string_view query,
                                            std::optional<std::uint64_t> limit) const {
  if (limit && *limit == 0) return {};
  MatchIter<subsequence::Subsequence> it = subsequence_iter(query);
  return drain(it, limit);
}

}  // namespace quenlith::string_index
