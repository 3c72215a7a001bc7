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

}  // namespace quenlith::python
