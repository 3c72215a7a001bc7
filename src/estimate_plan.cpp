// Planning a corpus held in memory or read from a keys file.
//
// Both roads reduce the sorted distinct keys to the same things in one pass (the shape, and either
// every key when there are at most 100,000 of them or the two draws), so the same keys give the
// same plan whichever road they take.
#include <algorithm>

#include "bytes.hpp"
#include "error.hpp"
#include "estimate.hpp"
#include "extsort.hpp"
#include "fileio.hpp"
#include "key_source.hpp"
#include "threads.hpp"

namespace quenlith::estimate {

namespace {

// Key bytes one in-memory run of the keys-file sort holds before it spills: the external sort's
// own budget.
using extsort::kRunBudget;

constexpr const char* kKeyTooLong = "plan: a key longer than the run budget";

// Prices and ranks what a pass over the corpus left: every key (`kept`, at most the measuring
// limit) or the two draws.
Plan finish(const Needs& needs, const Objective& objective, const Shape& shape,
            const std::vector<std::string_view>* kept, std::span<const std::string_view> hash_draw,
            std::span<const std::string_view> run_draw) {
  const std::vector<Candidate> priced = candidates(needs);
  std::vector<Estimate> estimates;
  if (kept != nullptr) {
    estimates = weigh(*kept, priced);
  } else {
    const Sample sample = Sample::of(hash_draw, run_draw, shape.count, priced);
    estimates = model(shape, sample, priced);
  }
  const double mean_length = shape.mean_length();
  rank(estimates, objective, shape.count, mean_length);
  return Plan{objective, std::move(estimates), shape.count, mean_length, shape.mean_lcp(), needs};
}

// Byte order with repeats dropped, a stretch of at least 65,536 keys a worker.
void sort_keys(std::vector<std::string_view>& keys) {
  detail::sort_distinct(keys, threads::workers_for(keys.size(), threads::available(), 1 << 16));
}

// What the replay of a keys file's sorted keys accumulates, key by key.
struct FilePass {
  ShapeWalk walk;
  HashSample<std::string> by_hash;
  RunSample<std::string> by_run;
  std::optional<std::vector<std::string>> kept = std::vector<std::string>();
};

// The per-key callback of the replay: every distinct key in byte order, once. Never fails.
void plan_file_with(FilePass& pass, std::string_view key) {
  pass.walk.push(key);
  pass.by_hash.offer(key);
  pass.by_run.offer(key);
  if (pass.kept) {
    pass.kept->emplace_back(key);
    // Past the measuring limit the corpus is modelled: the copies are no longer needed.
    if (pass.kept->size() > kMeasuringLimit) pass.kept.reset();
  }
}

std::vector<std::string_view> views_of(const std::vector<std::string>& keys) {
  return {keys.begin(), keys.end()};
}

// Hands every key of a keys file's lines to `f` as the planner reads them: a final carriage
// return without a line feed ends the last line like one before a line feed, and empty lines are
// skipped. Throws Io "<shown>:<line>: not UTF-8" (InvalidData) for a line that is not UTF-8.
template <class F>
void for_each_planned_key(key_source::LineReader& reader, const std::string& shown, F&& f) {
  while (const std::optional<std::string_view> key = reader.next()) {
    if (!bytes::is_utf8(bytes::as_bytes(*key)))
      throw IndexError::io_message(IndexError::IoKind::InvalidData,
                                   shown + ":" + std::to_string(reader.lines()) + ": not UTF-8");
    if (!key->empty()) f(*key);
  }
}

// Reads the keys file line by line into the sorter.
class KeysReader {
 public:
  KeysReader(const std::filesystem::path& path, const std::string& shown) : shown_(shown) {
    try {
      file_ = fileio::File::open_read(path);
    } catch (const IndexError& e) {
      throw IndexError::io_message(e.io_kind(), shown + ": " + e.message());
    }
  }

  // Feeds every key to `sorter`.
  void read_into(extsort::Sorter& sorter) {
    key_source::LineReader reader(file_.fd(), key_source::FinalCr::Dropped);
    for_each_planned_key(reader, shown_, [&](std::string_view key) { sorter.push(key); });
    file_.close();
  }

 private:
  const std::string& shown_;
  fileio::File file_;
};

}  // namespace

Plan plan_for_views(std::span<const std::string_view> keys, const Needs& needs,
                    const Objective& objective) {
  const Needs widened = widen(needs, objective);
  std::vector<std::string_view> sorted(keys.begin(), keys.end());
  sort_keys(sorted);
  const Shape shape = Shape::of(sorted);
  if (sorted.size() <= kMeasuringLimit) return finish(widened, objective, shape, &sorted, {}, {});
  const auto [hash_draw, run_draw] = draws(sorted);
  return finish(widened, objective, shape, nullptr, hash_draw, run_draw);
}

Plan plan_for(std::span<const std::string> keys, const Needs& needs, const Objective& objective) {
  const std::vector<std::string_view> views(keys.begin(), keys.end());
  return plan_for_views(views, needs, objective);
}

Plan plan_keys_file_bytes(std::span<const char> bytes, const std::string& shown,
                          const Needs& needs, const Objective& objective) {
  key_source::LineReader reader(bytes, key_source::FinalCr::Dropped);
  std::vector<std::string_view> keys;
  for_each_planned_key(reader, shown, [&](std::string_view key) { keys.push_back(key); });
  return plan_for_views(keys, needs, objective);
}

Plan plan_file(const std::filesystem::path& path, const Needs& needs, const Objective& objective) {
  return detail::plan_file_with_budget(path, path.string(), needs, objective, kRunBudget);
}

Plan plan_file_as(const std::filesystem::path& path, const std::string& shown, const Needs& needs,
                  const Objective& objective) {
  return detail::plan_file_with_budget(path, shown, needs, objective, kRunBudget);
}

namespace detail {

// An insertion sort for a handful of keys. More are sorted in `parts` ranges on worker threads,
// which are then merged pairwise, each round of merges running in parallel too: equal keys are
// equal bytes, so the result is the same for any number of parts.
void sort_distinct(std::vector<std::string_view>& keys, unsigned parts) {
  if (keys.size() <= 20) {
    for (std::size_t i = 1; i < keys.size(); ++i)
      for (std::size_t j = i; j > 0 && keys[j] < keys[j - 1]; --j) std::swap(keys[j], keys[j - 1]);
  } else {
    parts = static_cast<unsigned>(std::clamp<std::uint64_t>(parts, 1, keys.size()));
    std::vector<std::size_t> bounds(parts + 1);
    for (unsigned r = 0; r < parts; ++r)
      bounds[r + 1] = threads::part(keys.size(), parts, r).second;
    threads::run_workers(parts, [&](unsigned r) {
      std::sort(keys.begin() + static_cast<std::ptrdiff_t>(bounds[r]),
                keys.begin() + static_cast<std::ptrdiff_t>(bounds[r + 1]));
    });
    std::vector<std::string_view> other(parts > 1 ? keys.size() : 0);
    std::vector<std::string_view>* from = &keys;
    std::vector<std::string_view>* to = &other;
    // Each round merges neighbouring sorted ranges; an odd one out is copied across.
    while (bounds.size() > 2) {
      const std::size_t merges = (bounds.size() - 1) / 2;
      const bool odd = (bounds.size() - 1) % 2 != 0;
      auto at = [](std::vector<std::string_view>* v, std::size_t i) {
        return v->begin() + static_cast<std::ptrdiff_t>(i);
      };
      threads::run_workers(static_cast<unsigned>(merges + (odd ? 1 : 0)), [&](unsigned m) {
        const std::size_t lo = bounds[2 * m];
        if (m == merges) {
          std::copy(at(from, lo), at(from, bounds[2 * m + 1]), at(to, lo));
          return;
        }
        std::merge(at(from, lo), at(from, bounds[2 * m + 1]), at(from, bounds[2 * m + 1]),
                   at(from, bounds[2 * m + 2]), at(to, lo));
      });
      std::vector<std::size_t> next;
      for (std::size_t i = 0; i < bounds.size(); i += 2) next.push_back(bounds[i]);
      if (next.back() != bounds.back()) next.push_back(bounds.back());
      bounds = std::move(next);
      std::swap(from, to);
    }
    if (from != &keys) keys.swap(*from);
  }
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
}

FileCorpus read_corpus(const std::filesystem::path& path, std::uint64_t budget) {
  return read_corpus(path, path.string(), budget);
}

FileCorpus read_corpus(const std::filesystem::path& path, const std::string& shown,
                       std::uint64_t budget) {
  FilePass pass;
  {
    // The sorter's run directory lies beside the keys file and goes with the sorter, on every
    // way out of this block.
    extsort::Sorter sorter(path, budget, kKeyTooLong);
    KeysReader(path, shown).read_into(sorter);
    sorter.finish().for_each([&](std::string_view key) { plan_file_with(pass, key); });
  }
  FileCorpus corpus{pass.walk.shape(), std::move(pass.kept), {}, {}};
  if (!corpus.kept) {
    corpus.hash_draw = std::move(pass.by_hash).finish();
    corpus.run_draw = std::move(pass.by_run).finish();
  }
  return corpus;
}

Plan plan_file_with_budget(const std::filesystem::path& path, const Needs& needs,
                           const Objective& objective, std::uint64_t budget) {
  return plan_file_with_budget(path, path.string(), needs, objective, budget);
}

Plan plan_file_with_budget(const std::filesystem::path& path, const std::string& shown,
                           const Needs& needs, const Objective& objective, std::uint64_t budget) {
  const Needs widened = widen(needs, objective);
  const FileCorpus corpus = read_corpus(path, shown, budget);
  if (corpus.kept) {
    const std::vector<std::string_view> kept = views_of(*corpus.kept);
    return finish(widened, objective, corpus.shape, &kept, {}, {});
  }
  return finish(widened, objective, corpus.shape, nullptr, views_of(corpus.hash_draw),
                views_of(corpus.run_draw));
}

}  // namespace detail

}  // namespace quenlith::estimate
