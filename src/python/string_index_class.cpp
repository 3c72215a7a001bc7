// The Python class `StringIndex` over the core `string_index::StringIndex` (an ordered index
// stored as a transducer whose value for each key is its rank), and its lazy iterator
// `StringIndexIterator`.
#include "string_index.hpp"

#include "bindings.hpp"
#include "error.hpp"
#include "family.hpp"
#include "guarded.hpp"
#include "ordered.hpp"

namespace quenlith::python {

namespace {

using Core = string_index::StringIndex;
using string_index::Entry;

PyObject* type_cache = nullptr;
PyObject* iter_type_cache = nullptr;

struct Traits : IndexTraits<Core, std::uint64_t, true, type_cache> {
  // A transducer lookup walks the key's bytes; hashing them first would be wasted.
  static constexpr bool kHashedLookups = false;

  template <class KeyAt>
  static void lookup(const Core& core, std::size_t count, KeyAt&& key_at, Id* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = core.id(key_at(i)).value_or(kMissingId<Id>);
  }
};

using F = Family<Traits>;

const Core& core(PyObject* self) { return F::core(self); }

// ---- Constructors and builders ----

PyObject* new_index(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return boundary([&] {
    static const Params<1> params{"StringIndex", {"items"}, 1, 1};
    const auto [items] = parse_new(params, args, kwargs);
    const BorrowedKeys keys = collect_strs(items, "items");
    return F::wrap(without_gil([&] { return Core::build(keys.span()); })).release();
  });
}

PyObject* from_sorted(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return boundary([&] {
    static const Params<1> params{"from_sorted", {"items"}, 1, 1};
    const auto [items] = params.parse(args, nargs, kwnames);
    // One key a batch: the builder stops pulling at the key it refuses.
    ParkedError parked;
    IterSource keys(items, parked, "items", 1);
    Core built = settle_parked(parked, [&] { return Core::from_sorted(keys); });
    return F::wrap(std::move(built)).release();
  });
}

template <std::uint64_t (*Build)(key_source::KeySource&, const std::filesystem::path&)>
PyObject* build_with(const char* name, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return boundary([&] {
    const Params<2> params{name, {"items", "path"}, 2, 2};
    const auto [items, path_obj] = params.parse(args, nargs, kwnames);
    const std::filesystem::path path = path_arg(path_obj, "path");
    // Every key comes from the interpreter, so the lock stays held for the whole build. One key
    // a batch: the builder stops pulling at the key it refuses.
    ParkedError parked;
    IterSource keys(items, parked, "items", 1);
    const std::uint64_t written = settle_parked(parked, [&] { return Build(keys, path); });
    return to_int(written).release();
  });
}

PyObject* build_to_file(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return build_with<&Core::build_to_file>("build_to_file", args, nargs, kwnames);
}

PyObject* build_sorted_to_file(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
  return build_with<&Core::build_sorted_to_file>("build_sorted_to_file", args, nargs, kwnames);
}

// ---- Single-key members (lock held) ----

using K = KeyLookups<&core_id<F>>;

PyObject* key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return boundary([&] {
    static const Params<1> params{"key", {"id"}, 1, 1};
    const auto [id_obj] = params.parse(args, nargs, kwnames);
    const auto stored = core(self).key(uint_arg(id_obj, "id"));
    return (stored ? to_key_str(*stored) : none()).release();
  });
}

PyObject* keys_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
  return boundary([&] {
    static const Params<1> params{"keys_of", {"ids"}, 1, 1};
    const auto [ids_obj] = params.parse(args, nargs, kwnames);
    const std::vector<std::uint64_t> ids = ids_arg(ids_obj, "ids", UINT64_MAX);
    const Core& c = core(self);
    return key_list(without_gil([&] { return c.keys_of(ids); })).release();
  });
}

// ---- Ordered queries ----

// The string index's side of the ordered queries it shares with DictIndex.
struct Ordered {
  using Core = python::Core;
  using Result = Entry;
  static const Core& core(PyObject* self) { return F::core(self); }
  static std::pair<std::string_view, std::uint64_t> split(const Entry& e) {
    return {std::string_view(e.key), e.id};
  }
  static std::vector<Entry> prefix(const Core& c, std::string_view p,
                                   std::optional<std::uint64_t> limit) {
    return c.prefix(p, limit);
  }
  static std::vector<Entry> range(const Core& c, std::string_view lo, std::string_view hi,
                                  std::optional<std::uint64_t> limit) {
    return c.range(lo, hi, limit);
  }
  static std::uint64_t rank(const Core& c, std::string_view key) { return c.rank_of_first_ge(key); }
  static std::pair<std::uint64_t, std::uint64_t> prefix_id_range(const Core& c,
                                                                 std::string_view p) {
    return c.prefix_id_range(p);
  }
  static std::optional<Entry> successor(const Core& c, std::string_view q) {
    return c.successor(q);
  }
  static std::optional<Entry> predecessor(const Core& c, std::string_view q) {
    return c.predecessor(q);
  }
};

using Q = OrderedQueries<Ordered>;

PyObject* lower_bound(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return boundary([&] {
    static const Params<1> params{"lower_bound", {"query"}, 1, 1};
    const auto [q_obj] = params.parse(args, nargs, kwnames);
    return to_int(core(self).rank_of_first_ge(key_arg(q_obj, "query"))).release();
  });
}

PyObject* fuzzy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
  return boundary([&] {
    static const Params<3> params{"fuzzy", {"query", "max_distance", "limit"}, 3, 2};
    const auto [q_obj, d_obj, limit_obj] = params.parse(args, nargs, kwnames);
    const std::string_view q = key_arg(q_obj, "query");
    const auto distance = static_cast<std::uint32_t>(uint_arg(d_obj, "max_distance", UINT32_MAX));
    const std::optional<std::uint64_t> limit = limit_arg(limit_obj);
    const Core& c = core(self);
    return result_list<Ordered>(without_gil([&] { return c.fuzzy(q, distance, limit); })).release();
  });
}

PyObject* subsequence(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return boundary([&] {
    static const Params<2> params{"subsequence", {"query", "limit"}, 2, 1};
    const auto [q_obj, limit_obj] = params.parse(args, nargs, kwnames);
    const std::string_view q = key_arg(q_obj, "query");
    const std::optional<std::uint64_t> limit = limit_arg(limit_obj);
    const Core& c = core(self);
    return result_list<Ordered>(without_gil([&] { return c.subsequence(q, limit); })).release();
  });
}

// ---- Untrusted loaders ----

PyObject* from_untrusted_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
  return F::from_bytes_with<&Core::from_untrusted_bytes>("from_untrusted_bytes", args, nargs,
                                                         kwnames);
}

PyObject* load_untrusted(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return F::load_with<&Core::load_untrusted>("load_untrusted", args, nargs, kwnames);
}

PyObject* load_mmap_untrusted(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return F::load_with<&Core::load_mmap_untrusted>("load_mmap_untrusted", args, nargs, kwnames);
}

// ---- StringIndexIterator ----

struct IterState {
  explicit IterState(std::uint64_t n) : remaining(n) {}
  bool started = false;  // whether `last` holds a key
  std::string last;      // the raw bytes of the last key batched
  Batch batch;
  std::uint64_t remaining;
};

PyObject* iter(PyObject* self) noexcept {
  return boundary([&] {
    Ref type_ref = string_index_iterator_type();  // made here should no module have made it yet
    return new_iterator<IterState>(type_ref, self, core(self).len()).release();
  });
}

// One refill: at most min(remaining, kIterBatch) pairs strictly after the last key, decoded in
// one stream from a seek past it.
void refill(const Core& c, IterState& s) {
  const std::size_t want =
      static_cast<std::size_t>(std::min<std::uint64_t>(s.remaining, kIterBatch));
  s.batch.pairs.clear();
  s.batch.next = 0;
  auto stream = s.started ? c.stream_after(std::string_view(s.last)) : c.stream_after();
  while (s.batch.pairs.size() < want) {
    const auto item = stream.next_raw();
    if (!item) break;
    s.batch.pairs.emplace_back(
        std::string(reinterpret_cast<const char*>(item->key.data()), item->key.size()),
        item->value);
  }
  // A map whose walk ends before its key count (a blob loaded without verification) is refused
  // rather than taken for the end of the keys.
  if (s.batch.pairs.size() < want)
    throw IndexError::format("string-index: the transducer's walk ended before its last key");
  s.remaining -= s.batch.pairs.size();
  if (!s.batch.pairs.empty()) {
    s.last = s.batch.pairs.back().first;
    s.started = true;
  }
}

PyObject* iter_next(PyObject* self) noexcept {
  return next_pair<IterState>(
      self,
      [](PyObject* index, IterState& s) -> std::optional<std::pair<std::string, std::uint64_t>> {
        while (!s.batch.has_next()) {
          if (s.remaining == 0) return std::nullopt;
          refill(core(index), s);
          if (s.batch.pairs.empty()) {
            s.remaining = 0;
            return std::nullopt;
          }
        }
        return s.batch.take();
      });
}

auto iter_slots = iterator_slots<IterState>(
    "A lazy iterator over a StringIndex's (key, id) pairs in id order, "
    "decoded in batches; safe to share between threads.",
    &iter_next);

PyType_Spec iter_spec =
    iterator_spec<IterState>("quenlith._core.StringIndexIterator", iter_slots.data());

// ---- The class ----

PyMethodDef methods[] = {
    {"from_sorted", method_ptr(&from_sorted), kStatic,
     "from_sorted(items)\n--\n\nBuilds an index from an iterable of str already in ascending "
     "byte order,\nstraight into the transducer without holding the keys; a repeat of the "
     "previous\nkey is skipped, a key sorting before it is a ValueError."},
    {"build_to_file", method_ptr(&build_to_file), kStatic,
     "build_to_file(items, path)\n--\n\nBuilds the index of an iterable of str in any order "
     "straight into the file\n`path` through sorted runs spilled beside it; returns the number "
     "of distinct\nkeys written. An exception of the iterable is raised unchanged and `path` "
     "is\nleft as it was."},
    {"build_sorted_to_file", method_ptr(&build_sorted_to_file), kStatic,
     "build_sorted_to_file(items, path)\n--\n\nAs build_to_file for keys already in ascending "
     "byte order, holding none of\nthem; returns the number of keys written."},
    {"is_empty", &F::is_empty, METH_NOARGS, docs::kIsEmpty},
    {"id", method_ptr(&K::id), kFast, docs::kId},
    {"contains", method_ptr(&K::contains), kFast, docs::kContains},
    {"get", method_ptr(&K::get), kFast, docs::kGet},
    {"key", method_ptr(&key), kFast, docs::kKey},
    {"ids_of", method_ptr(&F::ids_of), kFast, docs::kIdsOf},
    {"ids_of_bytes", method_ptr(&F::ids_of_bytes), kFast, docs::kIdsOfBytes},
    {"ids_of_arrow", method_ptr(&F::ids_of_arrow), kFast, docs::kIdsOfArrow},
    {"ids_into_arrow", method_ptr(&F::ids_into_arrow), kFast, docs::kIdsIntoArrow64},
    {"ids_into", method_ptr(&F::ids_into), kFast, docs::kIdsInto},
    {"keys_of", method_ptr(&keys_of), kFast,
     "keys_of($self, ids)\n--\n\nThe keys of a sequence of ids, as a list; None where an id >= "
     "len()."},
    {"prefix", method_ptr(&Q::prefix), kFast, docs::kPrefix},
    {"common_prefix", method_ptr(&Q::common_prefix), kFast, docs::kCommonPrefix},
    {"longest_prefix", method_ptr(&Q::longest_prefix), kFast, docs::kLongestPrefix},
    {"range", method_ptr(&Q::range), kFast, docs::kRange},
    {"lower_bound", method_ptr(&lower_bound), kFast,
     "lower_bound($self, query)\n--\n\nThe number of keys sorting below `query`: the id of the "
     "first key >= it."},
    {"range_count", method_ptr(&Q::range_count), kFast, docs::kRangeCount},
    {"prefix_count", method_ptr(&Q::prefix_count), kFast, docs::kPrefixCount},
    {"prefix_id_range", method_ptr(&Q::prefix_id_range), kFast, docs::kPrefixIdRange},
    {"successor", method_ptr(&Q::successor), kFast, docs::kSuccessor},
    {"predecessor", method_ptr(&Q::predecessor), kFast, docs::kPredecessor},
    {"fuzzy", method_ptr(&fuzzy), kFast,
     "fuzzy($self, query, max_distance, limit=None)\n--\n\nThe (key, id) pairs whose key lies "
     "within `max_distance` character edits\n(Levenshtein distance) of `query`, in key order, "
     "at most `limit` of them."},
    {"subsequence", method_ptr(&subsequence), kFast,
     "subsequence($self, query, limit=None)\n--\n\nThe (key, id) pairs whose key contains "
     "`query` as a subsequence, in key\norder, at most `limit` of them."},
    {"to_bytes", &F::to_bytes, METH_NOARGS,
     "to_bytes($self)\n--\n\nThe index's \"BIX4\" blob as bytes."},
    {"serialized_len", &F::serialized_len, METH_NOARGS, docs::kSerializedLen},
    {"__reduce__", &F::reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles the index as its blob: (StringIndex.from_bytes, "
     "(blob,))."},
    {"from_bytes", method_ptr(&F::from_bytes), kStatic,
     "from_bytes(data)\n--\n\nLoads an index from a bytes blob, copying it and verifying its "
     "checksum and ranks."},
    {"from_untrusted_bytes", method_ptr(&from_untrusted_bytes), kStatic,
     "from_untrusted_bytes(data)\n--\n\nLoads a blob someone else wrote, validating the whole "
     "transducer; slower than\nfrom_bytes. A crafted blob raises ValueError like any other bad "
     "input (a\ndecoder's panic message may still be printed on standard error first)."},
    {"save", method_ptr(&F::save), kFast, docs::kSave},
    {"load", method_ptr(&F::load), kStatic,
     "load(path)\n--\n\nReads a blob file into memory and loads it, verifying its checksum and "
     "ranks."},
    {"load_untrusted", method_ptr(&load_untrusted), kStatic,
     "load_untrusted(path)\n--\n\nReads a blob file someone else wrote and loads it "
     "validating the whole transducer,\nas from_untrusted_bytes; slower than load. A crafted "
     "blob raises ValueError like any\nother bad input (a decoder's panic message may still be "
     "printed on standard error\nfirst)."},
    {"load_mmap", method_ptr(&F::load_mmap), kStatic,
     "load_mmap(path)\n--\n\nMaps a blob file read-only and reads the index from the mapping; "
     "only the header\nand lengths are checked. The file must not change while the index "
     "lives."},
    {"load_mmap_verified", method_ptr(&F::load_mmap_verified), kStatic,
     "load_mmap_verified(path)\n--\n\nAs load_mmap, verifying the checksum and ranks once at "
     "load."},
    {"load_mmap_untrusted", method_ptr(&load_mmap_untrusted), kStatic,
     "load_mmap_untrusted(path)\n--\n\nMaps a blob file someone else wrote and validates the "
     "whole transducer over the\nmapping; slower than load_mmap. A crafted blob raises "
     "ValueError like any other bad\ninput (a decoder's panic message may still be printed on "
     "standard error first).\nThe file must not change while the index lives."},
    {nullptr, nullptr, 0, nullptr},
};

auto slots = index_slots<F, K>(
    "StringIndex(items)\n--\n\nOrdered string-to-id index (ids are the keys' "
    "ranks in byte order) with prefix,\nrange, fuzzy and subsequence "
    "queries.",
    methods,
    {{Py_tp_new, reinterpret_cast<void*>(&new_index)},
     {Py_tp_iter, reinterpret_cast<void*>(&iter)}});

PyType_Spec spec = {
    "quenlith._core.StringIndex", sizeof(CoreObject<Core>), 0, Py_TPFLAGS_DEFAULT, slots.data(),
};

}  // namespace

Ref string_index_type() { return index_type(type_cache, spec, "uint64", UINT64_MAX); }

Ref string_index_iterator_type() { return type_from_spec(iter_type_cache, iter_spec); }

Ref string_index_object(std::shared_ptr<const string_index::StringIndex> index) {
  return wrap_core<Core>(Traits::type(), std::move(index));
}

}  // namespace quenlith::python
