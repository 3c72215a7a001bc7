// What the two ordered classes (`StringIndex`, `DictIndex`) and their iterators share: the
// `limit` argument, (key, id) results, and the class objects and wrappers other classes reach
// them through.
#pragma once

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

}  // namespace quenlith::python
