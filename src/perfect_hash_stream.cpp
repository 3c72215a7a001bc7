// The streamed build of a perfect-hash index: two passes over a source that can be replayed,
// straight into the output file, without ever holding the keys.
//
// Pass 1 keeps per key its length, its `h1`, optionally its fingerprint byte, and one running
// digest of the key order; from these it builds the minimal perfect hash, gives every position
// its id and computes every section but the key bytes. Pass 2 reads the keys again, checks each
// against pass 1, and copies it into the output, which is mapped read-write.
//
// Output file, the "BMP8" blob of perfect_hash.hpp (offsets from its start):
//
//   0        36             header, written last
//   36       mph_len        minimal-perfect-hash image
//   A        prefix_len     arena prefix: count, tag, offset table (fingerprints inside)
//   K        D              key bytes; the key of id i at K + span_at(i)
//   K + D    tail_len       arena tail: overflow table and its length, or nothing
//   S        12 * (n - u)   side entries (h1 u64, id u32)
//   T                       end of file
//
// When D exceeds the window W, pass 2 spills the keys first, grouped by the window of the key
// bytes in which each starts (a key starting at D, an empty last key, belongs to the last
// window), and then fills the output one window at a time, flushing each window's range before
// reading the next. Spill file, "<output base>.<pid>.<seq>.spill" beside the output: w =
// ceil(D / W) segments back to back, segment k holding the records of window k's keys in the
// order pass 2 met them, each record a u32 LE id followed by the key's bytes; 4n + D bytes in all.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>

#include "perfect_hash.hpp"
#include "threads.hpp"

namespace quenlith::perfect_hash {

namespace {

using mphf::kMaxKeys;
constexpr const char* kSourceRaised = "perfect-hash: the source raised before it ended";
constexpr const char* kNoReplay =
    "perfect-hash: the source did not replay the same keys in the same order";
constexpr const char* kRepeated =
    "perfect-hash: build_to_file needs distinct keys and the source repeated one";

// Spill writes go out per window in chunks of at least this many bytes; segments are read back
// through a buffer of the same size.
constexpr std::size_t kSpillChunk = 65536;
// Slots are asked of the minimal perfect hash this many at a time.
constexpr std::size_t kSlotBatch = 65536;

std::atomic<std::uint64_t> g_spill_seq{0};

// One step of the order digest over a key's `h2`.
inline std::uint64_t digest_step(std::uint64_t d, std::uint64_t h2) noexcept {
  return (h2 ^ std::rotr(d, 59)) * hash::G;
}

// A read-write shared mapping of a whole file, unmapped when it goes.
class Mapping {
 public:
  Mapping(fileio::File& file, std::uint64_t len) : len_(len) {
    void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, file.fd(), 0);
    if (p == MAP_FAILED) throw IndexError::last_os_error();
    base_ = static_cast<std::uint8_t*>(p);
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() { ::munmap(base_, len_); }

  std::uint8_t* data() noexcept { return base_; }
  std::uint64_t size() const noexcept { return len_; }

  // Writes back the pages that hold [lo, hi) and waits for the write.
  void flush(std::uint64_t lo, std::uint64_t hi) {
    if (hi <= lo) return;
    const std::uint64_t start = lo - lo % page_size();
    if (::msync(base_ + start, hi - start, MS_SYNC) != 0) throw IndexError::last_os_error();
  }

  // Lets go of the pages that lie wholly inside [lo, hi): they stay in the file (a shared
  // mapping loses nothing), but no longer count towards this process's resident memory, so the
  // windowed fill holds about one window of the output at a time.
  void release(std::uint64_t lo, std::uint64_t hi) noexcept {
    const std::uint64_t page = page_size();
    const std::uint64_t start = (lo + page - 1) / page * page;
    const std::uint64_t end = hi / page * page;
    if (end > start) (void)::madvise(base_ + start, end - start, MADV_DONTNEED);
  }

 private:
  static std::uint64_t page_size() noexcept {
    const long page = ::sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<std::uint64_t>(page) : 4096;
  }

  std::uint8_t* base_ = nullptr;
  std::uint64_t len_;
};

// Allocates the blocks of the file's first `len` bytes. Stores into a mapping of a sparse file
// that the file system cannot back end the process with SIGBUS; with the blocks reserved first,
// a full disk is an I/O error here instead. File systems that cannot reserve are left sparse.
void reserve(fileio::File& file, std::uint64_t len) {
  int err;
  do {
    err = ::posix_fallocate(file.fd(), 0, static_cast<off_t>(len));
  } while (err == EINTR);
  if (err != 0 && err != EOPNOTSUPP && err != EINVAL) throw IndexError::io_errno(err);
}

// What pass 1 leaves for pass 2.
struct Plan {
  std::uint64_t n = 0;
  std::uint64_t u = 0;
  std::uint64_t digest = 0;
  std::vector<std::uint64_t> hashes;  // h1 by position
  std::vector<std::uint32_t> ids;     // id by position
  // Every later occurrence of a repeated h1, as (h1, position), by position.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> collisions;
  // For each h1 that has collisions, its representative's position; sorted by h1.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> reps;
  arena::StringArena arena;  // prefix and tail only
  std::uint64_t prefix_len = 0;
  std::uint64_t data_len = 0;
  std::vector<std::uint8_t> mph;
  std::vector<std::uint8_t> side;
};

// The per-key check of pass 2: the key has the `h1` and the length that pass 1 recorded at its
// position. Advances the digest and returns the key's byte range in the output.
std::pair<std::uint64_t, std::uint64_t> replay_span(std::string_view key, std::uint64_t expected_h1,
                                                    std::uint32_t id, const arena::StringArena& a,
                                                    std::uint64_t key_at, std::uint64_t& digest,
                                                    hash::Pair (*hash)(std::string_view)) {
  const hash::Pair hp = hash(key);
  if (hp.h1 != expected_h1) throw IndexError::build(kNoReplay);
  digest = digest_step(digest, hp.h2);
  const std::optional<arena::Span> s = a.span_at(id);
  if (!s || key.size() != s->end - s->start) throw IndexError::build(kNoReplay);
  return {key_at + s->start, key_at + s->end};
}

// Pass 2 over the keys: checks every key with `replay_span` against what pass 1 recorded at its
// position, refusing more keys than pass 1 saw, and hands `place(key, id, lo, hi)` the key, its
// id and its byte range in the output. Returns the number of keys the pass gave (the caller
// compares it with n); the pass is closed by then.
template <class Place>
std::uint64_t replay_keys(key_source::KeySource& source, const Plan& plan, std::uint64_t key_at,
                          std::uint64_t& digest, hash::Pair (*hash)(std::string_view),
                          Place&& place) {
  std::uint64_t taken = 0;
  std::unique_ptr<key_source::KeyStream> pass = source.open_pass();
  key_source::KeyBatch batch;
  while (pass->next_batch(batch)) {
    for (std::size_t i = 0; i < batch.size(); ++i) {
      const std::string_view key = batch[i];
      if (taken == plan.n) throw IndexError::build(kNoReplay);
      const std::uint32_t id = plan.ids[taken];
      const auto [lo, hi] =
          replay_span(key, plan.hashes[taken], id, plan.arena, key_at, digest, hash);
      ++taken;
      place(key, id, lo, hi);
    }
  }
  return taken;
}

// What pass 1 records of each key, by position, besides the plan's h1 and digest.
struct PassOne {
  std::vector<std::uint32_t> lengths;
  std::vector<std::uint8_t> fps;  // the low byte of h2, when fingerprints are kept
};

// Pass 1: every key's h1, length and fingerprint by position, and the digest of the h2s.
PassOne read_pass_one(key_source::KeySource& source, bool fingerprints,
                      hash::Pair (*hash)(std::string_view), Plan& plan) {
  PassOne one;
  {
    std::unique_ptr<key_source::KeyStream> pass = source.open_pass();
    key_source::KeyBatch batch;
    while (pass->next_batch(batch)) {
      for (std::size_t i = 0; i < batch.size(); ++i) {
        const std::string_view key = batch[i];
        if (key.size() > arena::kMaxStringLen) throw IndexError::format(kKeyTooLong);
        // Past u32::MAX keys the build cannot succeed; stop before the tables outgrow memory.
        if (plan.hashes.size() == kMaxKeys) throw IndexError::format(kTooMany);
        const hash::Pair hp = hash(key);
        one.lengths.push_back(static_cast<std::uint32_t>(key.size()));
        plan.hashes.push_back(hp.h1);
        if (fingerprints) one.fps.push_back(static_cast<std::uint8_t>(hp.h2));
        plan.digest = digest_step(plan.digest, hp.h2);
      }
    }
  }
  if (source.failed()) throw IndexError::format(kSourceRaised);
  plan.n = plan.hashes.size();
  // The tables grew by doubling; up to half of each is slack that would stay through the
  // minimal-perfect-hash build, the build's peak.
  plan.hashes.shrink_to_fit();
  one.lengths.shrink_to_fit();
  one.fps.shrink_to_fit();
  return one;
}

// The distinct h1 values, recording the collisions in the plan only when some h1 repeats.
std::vector<std::uint64_t> distinct_hashes(Plan& plan) {
  std::vector<std::uint64_t> distinct(plan.hashes);
  std::sort(distinct.begin(), distinct.end());
  if (std::adjacent_find(distinct.begin(), distinct.end()) != distinct.end()) {
    hash::Collisions c = hash::split_collisions(plan.hashes);
    distinct = std::move(c.distinct);
    plan.collisions = std::move(c.repeated);
  }
  plan.u = distinct.size();
  return distinct;
}

// Ids: each representative its slot, checked to be a new slot below u; then the collisions
// the tail ids in position order. Records the representatives of colliding h1 values.
void assign_ids(const mphf::Mphf& mph, Plan& plan) {
  std::vector<std::uint64_t> colliding;  // the h1 values that have collisions, sorted
  for (const auto& [h1, p] : plan.collisions) colliding.push_back(h1);
  std::sort(colliding.begin(), colliding.end());
  colliding.erase(std::unique(colliding.begin(), colliding.end()), colliding.end());
  plan.ids.resize(plan.n);
  std::vector<std::uint8_t> seen(plan.u, 0);
  std::vector<std::uint32_t> positions;
  std::vector<std::uint64_t> h1s;
  std::size_t next_collision = 0;
  std::uint64_t p = 0;
  while (p < plan.n) {
    positions.clear();
    h1s.clear();
    for (; p < plan.n && positions.size() < kSlotBatch; ++p) {
      if (next_collision < plan.collisions.size() &&
          plan.collisions[next_collision].second == p) {
        ++next_collision;
        continue;
      }
      positions.push_back(static_cast<std::uint32_t>(p));
      h1s.push_back(plan.hashes[p]);
    }
    const std::vector<std::uint64_t> slots = mph.index_all(h1s);
    for (std::size_t i = 0; i < positions.size(); ++i) {
      const std::uint64_t s = slots[i];
      if (s >= plan.u || seen[s]) throw IndexError::format(kNotMinimal);
      seen[s] = 1;
      plan.ids[positions[i]] = static_cast<std::uint32_t>(s);
      if (!colliding.empty() && std::binary_search(colliding.begin(), colliding.end(), h1s[i]))
        plan.reps.emplace_back(h1s[i], positions[i]);
    }
  }
  std::sort(plan.reps.begin(), plan.reps.end());
  for (std::size_t j = 0; j < plan.collisions.size(); ++j)
    plan.ids[plan.collisions[j].second] = static_cast<std::uint32_t>(plan.u + j);
}

// Lengths and fingerprints in id order give the arena's prefix and tail; pass 1's tables are
// released as soon as they are reordered.
void lay_out_arena(PassOne one, bool fingerprints, Plan& plan) {
  arena::ArenaPrefix prefix;
  {
    std::vector<std::uint32_t> by_id(plan.n);
    for (std::uint64_t q = 0; q < plan.n; ++q) by_id[plan.ids[q]] = one.lengths[q];
    one.lengths = {};
    std::vector<std::uint8_t> fp_by_id;
    if (fingerprints) {
      fp_by_id.resize(plan.n);
      for (std::uint64_t q = 0; q < plan.n; ++q) fp_by_id[plan.ids[q]] = one.fps[q];
      one.fps = {};
    }
    std::optional<std::span<const std::uint8_t>> fp_view;
    if (fingerprints) fp_view = std::span<const std::uint8_t>(fp_by_id);
    prefix = arena::StringArena::prefix_for_lengths(by_id, fp_view);
  }
  plan.arena = arena::StringArena::detached(prefix);
  plan.prefix_len = prefix.prefix.size();
  plan.data_len = prefix.total;
}

// The side table's bytes: each collision's h1 with its tail id, sorted.
std::vector<std::uint8_t> side_bytes(const Plan& plan) {
  std::vector<KeyEntry> side;
  side.reserve(plan.collisions.size());
  for (std::size_t j = 0; j < plan.collisions.size(); ++j)
    side.push_back(KeyEntry{plan.collisions[j].first, static_cast<std::uint32_t>(plan.u + j)});
  std::sort(side.begin(), side.end());
  return side_table::key_entry_bytes(side);
}

// Pass 1 and everything between the passes. Returns nullopt when the source had no key.
std::optional<Plan> plan_build(key_source::KeySource& source, bool fingerprints, unsigned threads,
                               hash::Pair (*hash)(std::string_view)) {
  Plan plan;
  PassOne one = read_pass_one(source, fingerprints, hash, plan);
  if (plan.n == 0) return std::nullopt;
  mphf::Mphf mph = [&] {
    const std::vector<std::uint64_t> distinct = distinct_hashes(plan);
    return mphf::Mphf::build_with_threads(distinct, threads);
  }();
  assign_ids(mph, plan);
  lay_out_arena(std::move(one), fingerprints, plan);
  plan.side = side_bytes(plan);
  plan.mph = mph.to_bytes();
  return plan;
}

// Reads the records of one spill segment sequentially through a fixed buffer.
class SegmentReader {
 public:
  SegmentReader(fileio::File& file, std::uint64_t start, std::uint64_t len,
                std::vector<std::uint8_t>& buf)
      : file_(file), next_(start), left_(len), buf_(buf) {}

  bool done() const noexcept { return pos_ == end_ && left_ == 0; }

  // Copies the next out.size() bytes of the segment into `out`. Throws `IndexError::Io` (a
  // segment that ends early is an unexpected end of file).
  void read(std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
      if (pos_ == end_) refill();
      const std::size_t n = std::min(out.size() - done, end_ - pos_);
      std::memcpy(out.data() + done, buf_.data() + pos_, n);
      pos_ += n;
      done += n;
    }
  }

 private:
  void refill() {
    if (left_ == 0) throw fileio::unexpected_eof();
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left_, buf_.size()));
    file_.pread_exact(std::span<std::uint8_t>(buf_.data(), n), next_);
    next_ += n;
    left_ -= n;
    pos_ = 0;
    end_ = n;
  }

  fileio::File& file_;
  std::uint64_t next_;
  std::uint64_t left_;
  std::vector<std::uint8_t>& buf_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
};

// The windowed layout of pass 2: spill the keys grouped by window, then fill the output window
// by window. Returns the number of keys the pass gave (the caller compares it with n).
std::uint64_t fill_windowed(key_source::KeySource& source, const std::filesystem::path& path,
                            const Plan& plan, Mapping& out, std::uint64_t key_at,
                            std::uint64_t window, std::uint64_t& digest,
                            hash::Pair (*hash)(std::string_view)) {
  const std::uint64_t d = plan.data_len;
  const std::uint64_t w = d / window + (d % window != 0);
  auto window_of = [&](std::uint64_t start) { return std::min(w - 1, start / window); };
  std::vector<std::uint64_t> size(w, 0);
  for (std::uint64_t id = 0; id < plan.n; ++id) {
    const std::optional<arena::Span> s = plan.arena.span_at(id);
    check_invariant(s.has_value(), "a built arena gives every span");
    size[window_of(s->start)] += 4 + (s->end - s->start);
  }
  std::vector<std::uint64_t> seg(w, 0);
  for (std::uint64_t k = 1; k < w; ++k) seg[k] = seg[k - 1] + size[k - 1];

  Spill spill = Spill::create(path);
  std::uint64_t taken = 0;
  {
    std::vector<std::vector<std::uint8_t>> pending(w);
    std::vector<std::uint64_t> written(w, 0);
    auto write_out = [&](std::uint64_t k) {
      spill.file().pwrite_all(pending[k], seg[k] + written[k]);
      written[k] += pending[k].size();
      pending[k].clear();
    };
    taken =
        replay_keys(source, plan, key_at, digest, hash,
                    [&](std::string_view key, std::uint32_t id, std::uint64_t lo, std::uint64_t) {
                      const std::uint64_t k = window_of(lo - key_at);
                      std::vector<std::uint8_t>& buf = pending[k];
                      bytes::put_u32(buf, id);
                      bytes::put_bytes(buf, bytes::as_bytes(key));
                      if (buf.size() >= kSpillChunk) write_out(k);
                    });
    if (taken != plan.n) return taken;  // the spill file goes with `spill`
    for (std::uint64_t k = 0; k < w; ++k)
      if (!pending[k].empty()) write_out(k);
  }

  std::vector<std::uint8_t> buf(kSpillChunk);
  for (std::uint64_t k = 0; k < w; ++k) {
    SegmentReader in(spill.file(), seg[k], size[k], buf);
    std::uint64_t consumed = 0;
    while (consumed < size[k]) {
      std::uint8_t id_bytes[4];
      in.read(id_bytes);
      const std::uint32_t id = bytes::load_u32(id_bytes);
      const std::optional<arena::Span> s = id < plan.n ? plan.arena.span_at(id) : std::nullopt;
      check_invariant(s && bytes::fits(key_at + s->start, s->end - s->start, out.size()),
                      "a spilled key lands inside the output");
      in.read(std::span<std::uint8_t>(out.data() + key_at + s->start, s->end - s->start));
      consumed += 4 + (s->end - s->start);
    }
    const std::uint64_t lo = key_at + k * window;
    const std::uint64_t hi = key_at + std::min((k + 1) * window, d);
    out.flush(lo, hi);
    out.release(lo, hi);
  }
  return taken;
}

// Refuses a key given twice: every group of keys that share an `h1` (a representative and its
// collisions) must hold distinct bytes. The bytes are read back from the output.
void refuse_repeats(const Plan& plan, Mapping& out, std::uint64_t key_at) {
  if (plan.collisions.empty()) return;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> members;  // (h1, id)
  members.reserve(plan.reps.size() + plan.collisions.size());
  for (const auto& [h1, p] : plan.reps) members.emplace_back(h1, plan.ids[p]);
  for (const auto& [h1, p] : plan.collisions) members.emplace_back(h1, plan.ids[p]);
  std::sort(members.begin(), members.end());
  auto stored = [&](std::uint32_t id) {
    const std::optional<arena::Span> s = plan.arena.span_at(id);
    check_invariant(s.has_value(), "a built arena gives every span");
    return std::string_view(reinterpret_cast<const char*>(out.data() + key_at + s->start),
                            s->end - s->start);
  };
  std::vector<std::string_view> group;
  for (std::size_t a = 0; a < members.size();) {
    std::size_t b = a + 1;
    while (b < members.size() && members[b].first == members[a].first) ++b;
    group.clear();
    for (std::size_t i = a; i < b; ++i) group.push_back(stored(members[i].second));
    std::sort(group.begin(), group.end());
    if (std::adjacent_find(group.begin(), group.end()) != group.end())
      throw IndexError::build(kRepeated);
    a = b;
  }
}

std::uint64_t build_streamed(key_source::KeySource& source, const std::filesystem::path& path,
                             bool fingerprints, std::uint64_t window, unsigned threads,
                             hash::Pair (*hash)(std::string_view)) {
  window = std::max<std::uint64_t>(window, 1);
  std::optional<Plan> planned = plan_build(source, fingerprints, threads, hash);
  if (!planned) {
    PerfectHashIndex::build_with({}, fingerprints).save(path);
    return 0;
  }
  const Plan& plan = *planned;
  const std::uint64_t a = kHeaderBytes + plan.mph.size();
  const std::uint64_t k = a + plan.prefix_len;
  const std::uint64_t tail_len = plan.arena.image().size() - plan.prefix_len;
  const std::uint64_t s = k + plan.data_len + tail_len;
  const std::uint64_t t = s + plan.side.size();

  blob::write_atomically_with(path, [&](fileio::File& file) {
    file.set_len(t);
    reserve(file, t);
    Mapping out(file, t);
    std::uint8_t* m = out.data();
    const std::span<const std::uint8_t> image = plan.arena.image();
    std::copy(plan.mph.begin(), plan.mph.end(), m + kHeaderBytes);
    std::copy(image.begin(), image.begin() + plan.prefix_len, m + a);
    std::copy(image.begin() + plan.prefix_len, image.end(), m + k + plan.data_len);
    std::copy(plan.side.begin(), plan.side.end(), m + s);

    std::uint64_t digest = 0;
    std::uint64_t taken = 0;
    if (plan.data_len <= window) {
      taken =
          replay_keys(source, plan, k, digest, hash,
                      [&](std::string_view key, std::uint32_t, std::uint64_t lo, std::uint64_t hi) {
                        if (hi > lo) std::memcpy(m + lo, key.data(), hi - lo);
                      });
    } else {
      taken = fill_windowed(source, path, plan, out, k, window, digest, hash);
    }
    if (taken != plan.n || digest != plan.digest) throw IndexError::build(kNoReplay);
    refuse_repeats(plan, out, k);
    if (source.failed()) throw IndexError::format(kSourceRaised);

    // The payload hash, one window at a time, each window let go of once hashed.
    blob::BlockHasher hasher;
    for (std::uint64_t at = kHeaderBytes; at < t;) {
      const std::uint64_t next = std::min(t, at + window);
      hasher.update(std::span<const std::uint8_t>(m + at, next - at));
      if (plan.data_len > window) out.release(at, next);
      at = next;
    }
    const std::uint64_t payload = hasher.finish();
    const auto header =
        header_bytes(plan.n, plan.mph.size(), static_cast<std::uint32_t>(plan.n - plan.u), payload);
    std::copy(header.begin(), header.end(), m);
    out.flush(0, t);
  });
  return plan.n;
}

}  // namespace

Spill Spill::create(const std::filesystem::path& output) {
  blob::NewSibling spill = blob::create_sibling(output, ".spill", g_spill_seq);
  return Spill(std::move(spill.path), std::move(spill.file), std::move(spill.entry));
}

Spill::~Spill() {
  if (!path_.empty()) {
    file_.close();
    ::unlink(path_.c_str());
  }
}

std::uint64_t PerfectHashIndex::build_to_file_windowed(key_source::KeySource& source,
                                                       const std::filesystem::path& path,
                                                       bool fingerprints, std::uint64_t window) {
  return build_streamed(source, path, fingerprints, window, threads::available(),
                        [](std::string_view key) { return hash::hash_pair(key); });
}

std::uint64_t PerfectHashIndex::build_to_file(key_source::KeySource& source,
                                              const std::filesystem::path& path) {
  return build_to_file_windowed(source, path, false, kWindowBytes);
}

std::uint64_t detail::build_to_file_hashed(key_source::KeySource& source,
                                           const std::filesystem::path& path, bool fingerprints,
                                           std::uint64_t window, unsigned threads,
                                           hash::Pair (*hash)(std::string_view)) {
  return build_streamed(source, path, fingerprints, window, threads, hash);
}

}  // namespace quenlith::perfect_hash
