// The Python class `DictIndex` over the core `dict_index::DictIndex` (the ordered dictionary of
// front-coded blocks, every key stored), and its lazy iterator `DictIndexIterator`.
#include "dict_index.hpp"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "bindings.hpp"
#include "bytes.hpp"
#include "error.hpp"
#include "family.hpp"
#include "guarded.hpp"
#include "ordered.hpp"

namespace quenlith::python {

namespace {

using Core = dict_index::DictIndex;
using Pair = std::pair<std::string, std::uint64_t>;

PyObject* type_cache = nullptr;
PyObject* iter_type_cache = nullptr;

struct Traits : IndexTraits<Core, std::uint64_t, true, type_cache> {
  // The dictionary searches its block samples; a hash of the key would be wasted.
  static constexpr bool kHashedLookups = false;

  // `ids_of_with` interleaves the sample searches of 32 keys at a time.
  template <class KeyAt>
  static void lookup(const Core& core, std::size_t count, KeyAt&& key_at, Id* out) {
    const auto found = core.ids_of_with(
        count, [&](std::uint64_t i) { return bytes::as_bytes(std::string_view(key_at(i))); });
    copy_found(found, count, out);
  }
};

using F = Family<Traits>;

const Core& core(PyObject* self) { return F::core(self); }

// ---- The `block` argument ----

// The characters that extend a grapheme without being a nonspacing or enclosing mark (Unicode's
// Other_Grapheme_Extend: spacing vowel signs and length marks, ZWNJ, the halfwidth kana voicing
// marks, the combining stem and flags of musical notation, the tag characters).
bool other_grapheme_extend(Py_UCS4 c) {
  static constexpr Py_UCS4 kSingles[] = {
      0x09be, 0x09d7,  0x0b3e,  0x0b57,  0x0bbe,  0x0bd7,  0x0cc2,  0x0cd5,  0x0cd6,
      0x0d3e, 0x0d57,  0x0dcf,  0x0ddf,  0x1b35,  0x200c,  0x302e,  0x302f,  0xff9e,
      0xff9f, 0x1133e, 0x11357, 0x114b0, 0x114bd, 0x115af, 0x11930, 0x1d165,
  };
  if ((c >= 0x1d16e && c <= 0x1d172) || (c >= 0xe0020 && c <= 0xe007f)) return true;
  return std::find(std::begin(kSingles), std::end(kSingles), c) != std::end(kSingles);
}

// Whether a character is shown escaped in the unknown-name message: not printable, or one that
// extends a grapheme (a nonspacing or enclosing mark, or one of `other_grapheme_extend`).
bool escaped_char(Py_UCS4 c) {
  if (c < 0x80) return c < 0x20 || c == 0x7f;
  if (other_grapheme_extend(c)) return true;
  Ref ch = Ref::check(PyUnicode_FromOrdinal(static_cast<int>(c)));
  Ref printable = Ref::check(PyObject_CallMethod(ch.get(), "isprintable", nullptr));
  if (printable.get() != Py_True) return true;
  static PyObject* unicodedata = nullptr;
  if (unicodedata == nullptr) {
    unicodedata = PyImport_ImportModule("unicodedata");  // kept for the process
    if (unicodedata == nullptr) throw ErrorAlreadySet{};
  }
  Ref category = Ref::check(PyObject_CallMethod(unicodedata, "category", "O", ch.get()));
  return PyUnicode_CompareWithASCIIString(category.get(), "Mn") == 0 ||
         PyUnicode_CompareWithASCIIString(category.get(), "Me") == 0;
}

[[noreturn]] void unknown_block_name(PyObject* name) {
  std::string text =
      "dict: block must be an int in 1..=1024 or one of 'fast', 'balanced', 'compact', not \"";
  const Py_ssize_t len = PyUnicode_GetLength(name);
  if (len < 0) throw ErrorAlreadySet{};
  for (Py_ssize_t i = 0; i < len; ++i) {
    const Py_UCS4 c = PyUnicode_ReadChar(name, i);
    if (c == static_cast<Py_UCS4>(-1) && PyErr_Occurred() != nullptr) throw ErrorAlreadySet{};
    switch (c) {
      case '"':
        text += "\\\"";
        continue;
      case '\\':
        text += "\\\\";
        continue;
      case '\t':
        text += "\\t";
        continue;
      case '\r':
        text += "\\r";
        continue;
      case '\n':
        text += "\\n";
        continue;
      case 0:
        text += "\\0";
        continue;
      default:
        break;
    }
    if (escaped_char(c)) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(c));
      text += hex;
      continue;
    }
    // `block_arg` admits only a str with a UTF-8 form, so every character has one.
    Ref one = Ref::check(PyUnicode_FromOrdinal(static_cast<int>(c)));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(one.get(), &size);
    if (utf8 == nullptr) throw ErrorAlreadySet{};
    text.append(utf8, static_cast<std::size_t>(size));
  }
  text += '"';
  Ref message = Ref::check(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  PyErr_SetObject(PyExc_ValueError, message.get());
  throw ErrorAlreadySet{};
}

// Converts and resolves `block` (omitted: 256). A number passes unchecked (the builder checks its
// range after the keys are read); a name must be one of the three. The object is tried as an
// unsigned integer, then as a str; whatever made the first attempt fail is dropped, and an object
// that is neither (a str without a UTF-8 form included) is a TypeError naming `block`.
std::uint64_t block_arg(PyObject* obj) {
  if (obj == nullptr) return dict_index::kDefaultBlock;
  if (Ref index = Ref::steal(PyNumber_Index(obj))) {
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (!(v == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr)) return v;
  }
  PyErr_Clear();
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_Check(obj) ? PyUnicode_AsUTF8AndSize(obj, &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    Ref name = Ref::check(PyType_GetName(Py_TYPE(obj)));
    PyErr_Format(PyExc_TypeError, "block must be an unsigned integer or a str, not %U", name.get());
    throw ErrorAlreadySet{};
  }
  if (const auto named =
          dict_index::named_block(std::string_view(utf8, static_cast<std::size_t>(size))))
    return *named;
  unknown_block_name(obj);
}

// ---- Constructor ----

PyObject* new_index(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return boundary([&] {
    static const Params<2> params{"DictIndex", {"items", "block"}, 2, 1};
    const auto [items, block_obj] = parse_new(params, args, kwargs);
    const std::uint64_t block = block_arg(block_obj);
    const BorrowedKeys keys = collect_strs(items, "items");
    return F::wrap(without_gil([&] {
             dict_index::check_block(block);
             return Core::build_with_block(keys.span(), block);
           }))
        .release();
  });
}

PyObject* build_to_file(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return boundary([&] {
    static const Params<3> params{"build_to_file", {"items", "path", "block"}, 3, 2};
    const auto [items, path_obj, block_obj] = params.parse(args, nargs, kwnames);
    const std::filesystem::path path = path_arg(path_obj, "path");
    const std::uint64_t block = block_arg(block_obj);
    // Every key comes from the interpreter, so the lock stays held for the whole build.
    ParkedError parked;
    IterSource source(items, parked, "items");
    dict_index::check_block(block);
    const std::uint64_t written =
        settle_parked(parked, [&] { return Core::build_to_file_runs(source, path, block); });
    return to_int(written).release();
  });
}

// ---- Single-key members (lock held) ----

dict_index::Found locate_arg(PyObject* self, PyObject* key_obj, const char* param) {
  return core(self).locate(key_arg(key_obj, param));
}

std::optional<std::uint64_t> lookup_one(PyObject* self, PyObject* key_obj) {
  const dict_index::Found f = locate_arg(self, key_obj, "key");
  return f.found ? std::optional<std::uint64_t>(f.id) : std::nullopt;
}

using K = KeyLookups<&lookup_one>;

PyObject* lower_bound(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return boundary([&] {
    static const Params<1> params{"lower_bound", {"key"}, 1, 1};
    const auto [key] = params.parse(args, nargs, kwnames);
    return to_int(locate_arg(self, key, "key").id).release();
  });
}

PyObject* block(PyObject* self, void*) noexcept {
  return boundary([&] { return to_int(core(self).block()).release(); });
}

// ---- Walks ----

// The keys of ids [first, end) in id order, at most `limit`; a block that cannot be decoded is a
// ValueError, never a short result. Lock released.
std::vector<Pair> walk(const Core& c, std::uint64_t first, std::uint64_t end,
                       std::optional<std::uint64_t> limit) {
  std::vector<Pair> out;
  if (first >= end || (limit && *limit == 0)) return out;
  dict_index::KeyIter it = c.iter_from(first);
  for (std::uint64_t id = first; id < end; ++id) {
    if (!it.next()) throw IndexError::format(dict_index::kWalkFailed);
    out.emplace_back(std::string(it.key()), it.id());
    if (limit && out.size() >= *limit) break;
  }
  return out;
}

// The dictionary's side of the ordered queries it shares with StringIndex.
struct Ordered {
  using Core = python::Core;
  using Result = Pair;
  static const Core& core(PyObject* self) { return F::core(self); }
  static std::pair<std::string_view, std::uint64_t> split(const Pair& p) {
    return {std::string_view(p.first), p.second};
  }
  static std::vector<Pair> prefix(const Core& c, std::string_view p,
                                  std::optional<std::uint64_t> limit) {
    if (limit && *limit == 0) return {};
    const auto [start, end] = c.prefix_id_range(bytes::as_bytes(p));
    return walk(c, start, end, limit);
  }
  static std::vector<Pair> range(const Core& c, std::string_view lo, std::string_view hi,
                                 std::optional<std::uint64_t> limit) {
    if (lo >= hi || (limit && *limit == 0)) return {};
    return walk(c, c.locate(lo).id, c.locate(hi).id, limit);
  }
  static std::uint64_t rank(const Core& c, std::string_view key) { return c.locate(key).id; }
  static std::pair<std::uint64_t, std::uint64_t> prefix_id_range(const Core& c,
                                                                 std::string_view p) {
    return c.prefix_id_range(bytes::as_bytes(p));
  }
  static std::optional<Pair> successor(const Core& c, std::string_view q) {
    return c.successor(bytes::as_bytes(q));
  }
  static std::optional<Pair> predecessor(const Core& c, std::string_view q) {
    return c.predecessor(bytes::as_bytes(q));
  }
};

using Q = OrderedQueries<Ordered>;

PyObject* key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return boundary([&] {
    static const Params<1> params{"key", {"id"}, 1, 1};
    const auto [id_obj] = params.parse(args, nargs, kwnames);
    const std::uint64_t i = uint_arg(id_obj, "id");
    const Core& c = core(self);
    if (i >= c.size()) return none().release();
    room::Bytes buf;
    if (!c.key_bytes_into(i, buf)) throw IndexError::format(dict_index::kWalkFailed);
    return to_key_str(buf.view()).release();
  });
}

// The keys of `ids`, in order. Ascending ids within one microblock share one walk: the walk opens
// at the first of them and steps entry by entry, so a run of ids such as `prefix_id_range` gives
// costs one walk per microblock rather than one decode per id. Lock released.
std::vector<std::optional<std::string>> keys_walked(const Core& c,
                                                    std::span<const std::uint64_t> ids) {
  const std::uint64_t n = c.size();
  const std::uint64_t block = c.block(), micro = c.micro(), mpb = c.micro_per_block();
  const auto segment = [&](std::uint64_t id) {
    const std::uint64_t b = id / block;
    return b * mpb + (id - b * block) / micro;
  };
  std::vector<std::optional<std::string>> out;
  out.reserve(ids.size());
  std::optional<dict_index::KeyIter> open;
  std::uint64_t open_segment = 0;
  room::Bytes buf;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::uint64_t id = ids[i];
    if (id >= n) {
      out.emplace_back(std::nullopt);
      continue;
    }
    const std::uint64_t seg = segment(id);
    if (!(open && open_segment == seg && open->id() <= id)) {
      open.reset();
      const bool run_ahead =
          i + 1 < ids.size() && ids[i + 1] > id && ids[i + 1] < n && segment(ids[i + 1]) == seg;
      if (!run_ahead) {
        if (!c.key_bytes_into(id, buf)) throw IndexError::format(dict_index::kWalkFailed);
        out.emplace_back(std::string(buf.view()));
        continue;
      }
      open.emplace(c.iter_from(id));
      open_segment = seg;
      if (!open->next()) throw IndexError::format(dict_index::kWalkFailed);
    }
    while (open->id() < id)
      if (!open->next()) throw IndexError::format(dict_index::kWalkFailed);
    out.emplace_back(std::string(open->key()));
  }
  return out;
}

PyObject* keys_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
  return boundary([&] {
    static const Params<1> params{"keys_of", {"ids"}, 1, 1};
    const auto [ids_obj] = params.parse(args, nargs, kwnames);
    const std::vector<std::uint64_t> ids = ids_arg(ids_obj, "ids", UINT64_MAX);
    const Core& c = core(self);
    return key_list(without_gil([&] { return keys_walked(c, ids); })).release();
  });
}

// ---- DictIndexIterator ----

constexpr std::uint64_t kExhausted = UINT64_MAX;

struct IterState {
  std::uint64_t next_id = 0;
  Batch batch;
};

PyObject* iter(PyObject* self) noexcept {
  return boundary([&] {
    Ref type_ref = dict_index_iterator_type();  // made here should no module have made it yet
    return new_iterator<IterState>(type_ref, self).release();
  });
}

// One refill: at most kIterBatch pairs from `next_id` in one sequential walk.
void refill(const Core& c, IterState& s) {
  s.batch.pairs.clear();
  s.batch.next = 0;
  if (s.next_id < c.size()) {
    const std::uint64_t end = s.next_id + std::min<std::uint64_t>(kIterBatch, c.size() - s.next_id);
    s.batch.pairs = walk(c, s.next_id, end, std::nullopt);
  }
  if (s.batch.pairs.empty()) {
    s.next_id = kExhausted;
    return;
  }
  const std::uint64_t last = s.batch.pairs.back().second;
  s.next_id = last == kExhausted ? kExhausted : last + 1;
}

PyObject* iter_next(PyObject* self) noexcept {
  return next_pair<IterState>(self, [](PyObject* index, IterState& s) -> std::optional<Pair> {
    if (!s.batch.has_next()) {
      refill(core(index), s);
      if (!s.batch.has_next()) return std::nullopt;
    }
    return s.batch.take();
  });
}

auto iter_slots = iterator_slots<IterState>(
    "A lazy iterator over a DictIndex's (key, id) pairs in id order, decoded "
    "in batches; safe to share between threads.",
    &iter_next);

PyType_Spec iter_spec =
    iterator_spec<IterState>("quenlith._core.DictIndexIterator", iter_slots.data());

// ---- The class ----

PyMethodDef methods[] = {
    {"build_to_file", method_ptr(&build_to_file), kStatic,
     "build_to_file(items, path, block=256)\n--\n\nBuilds the index of an iterable of str in "
     "any order straight into the file\n`path`, through sorted runs spilled beside it, never "
     "holding the keys; returns\nthe number of distinct keys. The file is byte for byte what "
     "DictIndex(items,\nblock).save(path) writes. An exception of the iterable is raised "
     "unchanged and\n`path` is left as it was. Holds the interpreter lock throughout."},
    {"is_empty", &F::is_empty, METH_NOARGS, docs::kIsEmpty},
    {"id", method_ptr(&K::id), kFast, docs::kId},
    {"contains", method_ptr(&K::contains), kFast, docs::kContains},
    {"get", method_ptr(&K::get), kFast, docs::kGet},
    {"lower_bound", method_ptr(&lower_bound), kFast,
     "lower_bound($self, key)\n--\n\nThe rank of `key`, or the rank it would have: the number "
     "of keys below it."},
    {"prefix", method_ptr(&Q::prefix), kFast, docs::kPrefix},
    {"common_prefix", method_ptr(&Q::common_prefix), kFast, docs::kCommonPrefix},
    {"longest_prefix", method_ptr(&Q::longest_prefix), kFast, docs::kLongestPrefix},
    {"range", method_ptr(&Q::range), kFast, docs::kRange},
    {"prefix_count", method_ptr(&Q::prefix_count), kFast, docs::kPrefixCount},
    {"range_count", method_ptr(&Q::range_count), kFast, docs::kRangeCount},
    {"prefix_id_range", method_ptr(&Q::prefix_id_range), kFast, docs::kPrefixIdRange},
    {"successor", method_ptr(&Q::successor), kFast, docs::kSuccessor},
    {"predecessor", method_ptr(&Q::predecessor), kFast, docs::kPredecessor},
    {"key", method_ptr(&key), kFast, docs::kKey},
    {"keys_of", method_ptr(&keys_of), kFast,
     "keys_of($self, ids)\n--\n\nThe keys of a sequence of ids, as a list; None where an id >= "
     "len(). Ascending\nids within a microblock share one walk."},
    {"ids_of", method_ptr(&F::ids_of), kFast, docs::kIdsOf},
    {"ids_of_bytes", method_ptr(&F::ids_of_bytes), kFast, docs::kIdsOfBytes},
    {"ids_of_arrow", method_ptr(&F::ids_of_arrow), kFast, docs::kIdsOfArrow},
    {"ids_into_arrow", method_ptr(&F::ids_into_arrow), kFast, docs::kIdsIntoArrow64},
    {"ids_into", method_ptr(&F::ids_into), kFast, docs::kIdsInto},
    {"to_bytes", &F::to_bytes, METH_NOARGS,
     "to_bytes($self)\n--\n\nThe index's \"BDX3\" blob as bytes."},
    {"serialized_len", &F::serialized_len, METH_NOARGS, docs::kSerializedLen},
    {"__reduce__", &F::reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles the index as its blob: (DictIndex.from_bytes, "
     "(blob,))."},
    {"from_bytes", method_ptr(&F::from_bytes), kStatic,
     "from_bytes(data)\n--\n\nLoads an index from a bytes blob, copying it and verifying its "
     "payload hash and\nlayout."},
    {"save", method_ptr(&F::save), kFast, docs::kSave},
    {"load", method_ptr(&F::load), kStatic,
     "load(path)\n--\n\nReads a blob file into memory and loads it, verifying its payload hash "
     "and layout."},
    {"load_mmap", method_ptr(&F::load_mmap), kStatic,
     "load_mmap(path)\n--\n\nMaps a blob file read-only and borrows the blocks from the "
     "mapping; only the header\nand lengths are checked. The file must not change while the "
     "index lives."},
    {"load_mmap_verified", method_ptr(&F::load_mmap_verified), kStatic,
     "load_mmap_verified(path)\n--\n\nAs load_mmap, verifying the payload hash and layout once "
     "at load."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"block", &block, nullptr, "Keys per block, as given at build time.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

auto slots = index_slots<F, K>(
    "DictIndex(items, block=256)\n--\n\nOrdered, compressed dictionary of "
    "front-coded blocks with the key stored for\nevery id: ids are the keys' "
    "ranks in byte order.",
    methods,
    {{Py_tp_new, reinterpret_cast<void*>(&new_index)},
     {Py_tp_getset, getset},
     {Py_tp_iter, reinterpret_cast<void*>(&iter)}});

PyType_Spec spec = {
    "quenlith._core.DictIndex", sizeof(CoreObject<Core>), 0, Py_TPFLAGS_DEFAULT, slots.data(),
};

}  // namespace

Ref dict_index_type() { return index_type(type_cache, spec, "uint64", UINT64_MAX); }

Ref dict_index_iterator_type() { return type_from_spec(iter_type_cache, iter_spec); }

Ref dict_index_object(std::shared_ptr<const dict_index::DictIndex> index) {
  return wrap_core<Core>(Traits::type(), std::move(index));
}

}  // namespace quenlith::python
