// What the two ordered classes (`StringIndex`, `DictIndex`) and their iterators share: the
// `limit` argument, (key, id) results, and the class objects and wrappers other classes reach
// them through.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "guarded.hpp"
#include "py.hpp"

namespace quenlith::python {

// Docstrings, text signature first, that the two ordered classes give word for word.
namespace docs {

inline constexpr char kId[] =
    "id($self, key)\n--\n\nThe id (rank) of `key`, or None when it is not a member.";

inline constexpr char kPrefix[] =
    "prefix($self, prefix, limit=None)\n--\n\nThe (key, id) pairs whose key starts with "
    "`prefix`, in key order, at most\n`limit` of them.";

inline constexpr char kCommonPrefix[] =
    "common_prefix($self, query)\n--\n\nThe (key, id) pairs whose key is a prefix of `query`, "
    "shortest first.";

inline constexpr char kLongestPrefix[] =
    "longest_prefix($self, query)\n--\n\nThe (key, id) pair of the longest key that is a "
    "prefix of `query`, or None.";

inline constexpr char kRange[] =
    "range($self, lo, hi, limit=None)\n--\n\nThe (key, id) pairs with lo <= key < hi, in key "
    "order, at most `limit` of them.";

inline constexpr char kPrefixCount[] =
    "prefix_count($self, prefix)\n--\n\nThe number of keys starting with `prefix`.";

inline constexpr char kRangeCount[] =
    "range_count($self, lo, hi)\n--\n\nThe number of keys with lo <= key < hi (0 when lo is "
    "above hi).";

inline constexpr char kPrefixIdRange[] =
    "prefix_id_range($self, prefix)\n--\n\nThe half-open id range (start, end) of the keys "
    "starting with `prefix`.";

inline constexpr char kSuccessor[] =
    "successor($self, query)\n--\n\nThe (key, id) pair of the smallest key >= `query`, or "
    "None.";

inline constexpr char kPredecessor[] =
    "predecessor($self, query)\n--\n\nThe (key, id) pair of the largest key <= `query`, or "
    "None.";

inline constexpr char kKey[] =
    "key($self, id)\n--\n\nThe key of rank `id`, or None when `id` >= len().";

inline constexpr char kIdsOfBytes[] =
    "ids_of_bytes($self, keys)\n--\n\nThe ids of a sequence of str packed into bytes, one "
    "native-endian uint64 a key,\nMISSING_ID where a key is absent.";

inline constexpr char kIdsOfArrow[] =
    "ids_of_arrow($self, column)\n--\n\nThe ids of an Arrow utf8/large_utf8 column packed as "
    "in ids_of_bytes;\nMISSING_ID for an absent key or a null.";

inline constexpr char kIdsIntoArrow64[] =
    "ids_into_arrow($self, column, out)\n--\n\nWrites the ids of an Arrow column into `out`, a "
    "writable C-contiguous buffer\nof uint64 items at least as long as the column; returns "
    "None.";

inline constexpr char kIdsInto[] =
    "ids_into($self, keys, out)\n--\n\nWrites the ids of a sequence of str into `out`, a "
    "writable C-contiguous buffer\nof uint64 items; MISSING_ID where a key is absent. Returns "
    "None.";

}  // namespace docs

// `limit`: omitted or None for no limit, else an unsigned 64-bit count.
inline std::optional<std::uint64_t> limit_arg(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  return uint_arg(obj, "limit");
}

// Key bytes as a str; an ill-formed sequence (never in a key built from str) becomes U+FFFD.
inline Ref to_key_str(std::string_view key) {
  return Ref::check(
      PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "replace"));
}

// The tuple (key, id).
inline Ref key_id_tuple(std::string_view key, std::uint64_t id) {
  Ref k = to_key_str(key);
  Ref i = to_int(id);
  return Ref::check(PyTuple_Pack(2, k.get(), i.get()));
}

// A list of (key, id) tuples from pairs whose `.first`/`.key` and `.second`/`.id` give them.
template <class Pairs, class Split>
Ref key_id_list(const Pairs& pairs, Split&& split) {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
  Py_ssize_t i = 0;
  for (const auto& p : pairs) {
    const auto [key, id] = split(p);
    check(PyList_SetItem(list.get(), i++, key_id_tuple(key, id).release()));
  }
  return list;
}

// A list of str, None for a missing key.
inline Ref key_list(const std::vector<std::optional<std::string>>& keys) {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(keys.size())));
  for (std::size_t i = 0; i < keys.size(); ++i) {
    Ref item = keys[i] ? to_key_str(*keys[i]) : none();
    check(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release()));
  }
  return list;
}

// The iterator batch: pairs decoded in one walk and handed out one at a time.
struct Batch {
  std::vector<std::pair<std::string, std::uint64_t>> pairs;
  std::size_t next = 0;

  bool has_next() const noexcept { return next < pairs.size(); }
  std::pair<std::string, std::uint64_t> take() noexcept { return std::move(pairs[next++]); }
};

// Pairs a refill decodes at most.
inline constexpr std::size_t kIterBatch = 1024;

// An ordered class's iterator object: the index it walks and its batch state, locked so that
// threads may share the iterator.
template <class State>
struct IterObject {
  PyObject_HEAD PyObject* index;  // strong: keeps the index (and a mapping under it) alive
  Guarded<State> state;
};

// A new iterator of class `type_ref` over the index `self`, its state made from `state_args`.
template <class State, class... Args>
Ref new_iterator(const Ref& type_ref, PyObject* self, Args&&... state_args) {
  auto* type = reinterpret_cast<PyTypeObject*>(type_ref.get());
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref it = Ref::check(alloc(type, 0));
  auto* obj = reinterpret_cast<IterObject<State>*>(it.get());
  obj->index = Ref::borrow(self).release();
  new (&obj->state) Guarded<State>("iterator state poisoned by an earlier panic",
                                   std::forward<Args>(state_args)...);
  return it;
}

// The next (key, id) tuple of an iterator: `take(index, state)`, called under the state's lock,
// gives the next pair, or nothing once the keys are exhausted (then the iterator stops with no
// value and no exception).
template <class State, class Take>
PyObject* next_pair(PyObject* self, Take&& take) noexcept {
  return boundary([&]() -> PyObject* {
    auto* obj = reinterpret_cast<IterObject<State>*>(self);
    auto taken = obj->state.with([&](State& s) { return take(obj->index, s); });
    if (!taken) return nullptr;
    return key_id_tuple(taken->first, taken->second).release();
  });
}

template <class State>
void iter_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto* obj = reinterpret_cast<IterObject<State>*>(self);
  obj->state.~Guarded<State>();
  Py_XDECREF(obj->index);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

inline PyObject* iter_self(PyObject* self) noexcept { return Ref::borrow(self).release(); }

// The slot table of an iterator class over `State`, closed by its terminator: `doc`, the
// dealloc, `iter()` giving the iterator itself, and `next`.
template <class State>
std::array<PyType_Slot, 5> iterator_slots(const char* doc, iternextfunc next) {
  return {{
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&iter_dealloc<State>)},
      {Py_tp_iter, reinterpret_cast<void*>(&iter_self)},
      {Py_tp_iternext, reinterpret_cast<void*>(next)},
      {0, nullptr},
  }};
}

// The type description of the iterator class `name` over `State`, made only by `iter()`.
template <class State>
PyType_Spec iterator_spec(const char* name, PyType_Slot* slots) {
  return {name, sizeof(IterObject<State>), 0,
          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
}

// A list of (key, id) tuples from a class's query results, split by `Ops::split`.
template <class Ops>
Ref result_list(const std::vector<typename Ops::Result>& results) {
  return key_id_list(results, &Ops::split);
}

// The (key, id) tuple of a result, or None.
template <class Ops>
Ref optional_result(const std::optional<typename Ops::Result>& result) {
  if (!result) return none();
  const auto [key, id] = Ops::split(*result);
  return key_id_tuple(key, id);
}

// The ordered queries the two ordered classes take with the same arguments and answer alike:
// each is a complete binding (its own `boundary`). `Ops` gives the class's side:
//
//   struct Ops {
//     using Core = ...;    // the immutable core index
//     using Result = ...;  // a (key, id) result of the core
//     static const Core& core(PyObject* self);
//     static std::pair<std::string_view, std::uint64_t> split(const Result&);
//     // With the lock released: the results in key order, at most `limit`.
//     static std::vector<Result> prefix(const Core&, std::string_view prefix,
//                                       std::optional<std::uint64_t> limit);
//     static std::vector<Result> range(const Core&, std::string_view lo, std::string_view hi,
//                                      std::optional<std::uint64_t> limit);
//     // With the lock held.
//     static std::uint64_t rank(const Core&, std::string_view key);  // keys sorting below `key`
//     static std::pair<std::uint64_t, std::uint64_t> prefix_id_range(const Core&,
//                                                                    std::string_view prefix);
//     static std::optional<Result> successor(const Core&, std::string_view query);
//     static std::optional<Result> predecessor(const Core&, std::string_view query);
//   };
//
// `common_prefix` and `longest_prefix` call the core's members of those names, lock released.
template <class Ops>
struct OrderedQueries {
  using Core = typename Ops::Core;

  static PyObject* prefix(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    return boundary([&] {
      static const Params<2> params{"prefix", {"prefix", "limit"}, 2, 1};
      const auto [p_obj, limit_obj] = params.parse(args, nargs, kwnames);
      const std::string_view p = key_arg(p_obj, "prefix");
      const std::optional<std::uint64_t> limit = limit_arg(limit_obj);
      const Core& c = Ops::core(self);
      return result_list<Ops>(without_gil([&] { return Ops::prefix(c, p, limit); })).release();
    });
  }

  static PyObject* range(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return boundary([&] {
      static const Params<3> params{"range", {"lo", "hi", "limit"}, 3, 2};
      const auto [lo_obj, hi_obj, limit_obj] = params.parse(args, nargs, kwnames);
      const std::string_view lo = key_arg(lo_obj, "lo");
      const std::string_view hi = key_arg(hi_obj, "hi");
      const std::optional<std::uint64_t> limit = limit_arg(limit_obj);
      const Core& c = Ops::core(self);
      return result_list<Ops>(without_gil([&] { return Ops::range(c, lo, hi, limit); })).release();
    });
  }

  static PyObject* common_prefix(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
    return boundary([&] {
      static const Params<1> params{"common_prefix", {"query"}, 1, 1};
      const auto [q_obj] = params.parse(args, nargs, kwnames);
      const std::string_view q = key_arg(q_obj, "query");
      const Core& c = Ops::core(self);
      return result_list<Ops>(without_gil([&] { return c.common_prefix(q); })).release();
    });
  }

  static PyObject* longest_prefix(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    return boundary([&] {
      static const Params<1> params{"longest_prefix", {"query"}, 1, 1};
      const auto [q_obj] = params.parse(args, nargs, kwnames);
      const std::string_view q = key_arg(q_obj, "query");
      const Core& c = Ops::core(self);
      return optional_result<Ops>(without_gil([&] { return c.longest_prefix(q); })).release();
    });
  }

  static PyObject* range_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    return boundary([&] {
      static const Params<2> params{"range_count", {"lo", "hi"}, 2, 2};
      const auto [lo_obj, hi_obj] = params.parse(args, nargs, kwnames);
      const std::string_view lo = key_arg(lo_obj, "lo");
      const std::string_view hi = key_arg(hi_obj, "hi");
      const Core& c = Ops::core(self);
      const std::uint64_t a = Ops::rank(c, lo), b = Ops::rank(c, hi);
      return to_int(b > a ? b - a : 0).release();
    });
  }

  static PyObject* prefix_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    return boundary([&] {
      static const Params<1> params{"prefix_count", {"prefix"}, 1, 1};
      const auto [p_obj] = params.parse(args, nargs, kwnames);
      const auto [start, end] = Ops::prefix_id_range(Ops::core(self), key_arg(p_obj, "prefix"));
      return to_int(end - start).release();
    });
  }

  static PyObject* prefix_id_range(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
    return boundary([&] {
      static const Params<1> params{"prefix_id_range", {"prefix"}, 1, 1};
      const auto [p_obj] = params.parse(args, nargs, kwnames);
      const auto [start, end] = Ops::prefix_id_range(Ops::core(self), key_arg(p_obj, "prefix"));
      Ref a = to_int(start), b = to_int(end);
      return Ref::check(PyTuple_Pack(2, a.get(), b.get())).release();
    });
  }

  static PyObject* successor(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
    return boundary([&] {
      static const Params<1> params{"successor", {"query"}, 1, 1};
      const auto [q_obj] = params.parse(args, nargs, kwnames);
      return optional_result<Ops>(Ops::successor(Ops::core(self), key_arg(q_obj, "query")))
          .release();
    });
  }

  static PyObject* predecessor(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    return boundary([&] {
      static const Params<1> params{"predecessor", {"query"}, 1, 1};
      const auto [q_obj] = params.parse(args, nargs, kwnames);
      return optional_result<Ops>(Ops::predecessor(Ops::core(self), key_arg(q_obj, "query")))
          .release();
    });
  }
};

}  // namespace quenlith::python
