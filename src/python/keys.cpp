// Keys from Python sequences and iterables.
#include "keys.hpp"

namespace quenlith::python {

namespace {

// `len(obj)` as a capacity hint: 0 when it fails (the failure is cleared) or is absurd.
std::size_t length_hint(PyObject* obj) {
  const Py_ssize_t n = PyObject_Size(obj);
  if (n < 0) {
    PyErr_Clear();
    return 0;
  }
  // A hint only: a lying __len__ must not make us reserve the whole address space.
  constexpr Py_ssize_t kMaxHint = Py_ssize_t{1} << 28;
  return static_cast<std::size_t>(n < kMaxHint ? n : kMaxHint);
}

// The sequence check of the batched arguments: not a str, and a sequence.
void require_sequence(PyObject* obj, const char* param, const char* items) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    Ref name = Ref::check(PyType_GetName(Py_TYPE(obj)));
    PyErr_Format(PyExc_TypeError, "%s must be a sequence of %s (a list or tuple), not %U", param,
                 items, name.get());
    throw ErrorAlreadySet{};
  }
}

// Pulls the next item; null at the end, `ErrorAlreadySet` when the iterator raised.
Ref next_item(PyObject* iterator) {
  Ref item = Ref::steal(PyIter_Next(iterator));
  if (!item && PyErr_Occurred() != nullptr) throw ErrorAlreadySet{};
  return item;
}

// How many items ahead the list and tuple walk asks for a `str` object's memory: the strings
// of a large list are scattered over the heap, and reading each one's header is otherwise a
// cache miss in series with the next.
constexpr Py_ssize_t kPrefetchAhead = 16;

// Every item of an exact list or tuple as a borrowed key, walked by index with the objects ahead
// prefetched. The size is read again at every step: nothing here runs Python code, but the walk
// must stay correct even if something did.
template <Py_ssize_t (*Size)(PyObject*), PyObject* (*Item)(PyObject*, Py_ssize_t)>
void borrow_indexed(PyObject* items, const char* param, BorrowedKeys& keys) {
  for (Py_ssize_t i = 0; i < Size(items); ++i) {
    if (i + kPrefetchAhead < Size(items)) __builtin_prefetch(Item(items, i + kPrefetchAhead));
    PyObject* item = Item(items, i);  // borrowed
    if (item == nullptr) throw ErrorAlreadySet{};
    const std::string_view key = item_key(item, param);
    keys.owners.push_back(Ref::borrow(item));
    keys.views.push_back(key);
  }
}

// Every item of `items` as a borrowed key.
BorrowedKeys borrow_all(PyObject* items, const char* param) {
  BorrowedKeys keys;
  const std::size_t hint = length_hint(items);
  keys.owners.reserve(hint);
  keys.views.reserve(hint);
  if (PyList_CheckExact(items)) {
    borrow_indexed<PyList_Size, PyList_GetItem>(items, param, keys);
    return keys;
  }
  if (PyTuple_CheckExact(items)) {
    borrow_indexed<PyTuple_Size, PyTuple_GetItem>(items, param, keys);
    return keys;
  }
  Ref iterator = Ref::check(PyObject_GetIter(items));
  while (Ref item = next_item(iterator.get())) {
    const std::string_view key = item_key(item.get(), param);
    keys.owners.push_back(std::move(item));
    keys.views.push_back(key);
  }
  return keys;
}

}  // namespace

std::string_view item_key(PyObject* item, const char* param) {
  if (!PyUnicode_Check(item)) {
    Ref name = Ref::check(PyType_GetName(Py_TYPE(item)));
    PyErr_Format(PyExc_TypeError, "%s must hold only str items, not %U", param, name.get());
    throw ErrorAlreadySet{};
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);  // cached in the str object
  if (utf8 == nullptr) throw ErrorAlreadySet{};
  return {utf8, static_cast<std::size_t>(size)};
}

BorrowedKeys keys_arg(PyObject* obj, const char* param) {
  require_sequence(obj, param, "str");
  return borrow_all(obj, param);
}

std::vector<std::uint64_t> ids_arg(PyObject* obj, const char* param, std::uint64_t max) {
  require_sequence(obj, param, "ints");
  std::vector<std::uint64_t> ids;
  ids.reserve(length_hint(obj));
  Ref iterator = Ref::check(PyObject_GetIter(obj));
  while (Ref item = next_item(iterator.get())) ids.push_back(uint_arg(item.get(), param, max));
  return ids;
}

BorrowedKeys collect_strs(PyObject* items, const char* param) { return borrow_all(items, param); }

std::vector<hash::Pair> collect_pairs(PyObject* items, const char* param) {
  std::vector<hash::Pair> pairs;
  pairs.reserve(length_hint(items));
  Ref iterator = Ref::check(PyObject_GetIter(items));
  BorrowedKeys chunk;
  chunk.owners.reserve(kPairChunk);
  chunk.views.reserve(kPairChunk);
  for (;;) {
    chunk.owners.clear();  // drops the previous chunk's references, lock held
    chunk.views.clear();
    while (chunk.size() < kPairChunk) {
      Ref item = next_item(iterator.get());
      if (!item) break;
      const std::string_view key = item_key(item.get(), param);
      chunk.owners.push_back(std::move(item));
      chunk.views.push_back(key);
    }
    if (chunk.size() == 0) return pairs;
    const std::size_t done = pairs.size();
    pairs.resize(done + chunk.size());
    without_gil([&] {
      for (std::size_t i = 0; i < chunk.size(); ++i)
        pairs[done + i] = hash::hash_pair(chunk.views[i]);
    });
  }
}

void ParkedError::park() noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  // Normalised, so that the object raised later is the very object that was raised.
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  type_ = Ref::steal(type);
  value_ = Ref::steal(value);
  traceback_ = Ref::steal(traceback);
}

bool ParkedError::restore() noexcept {
  if (!type_) return false;
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
  return true;
}

StrStream::StrStream(PyObject* iterator, ParkedError& parked, const char* param,
                     std::size_t batch_keys)
    : iterator_(Ref::borrow(iterator)),
      parked_(&parked),
      param_(param),
      batch_keys_(batch_keys == 0 ? 1 : batch_keys) {}

std::optional<std::string_view> StrStream::next_view() {
  item_ = Ref();
  if (!iterator_ || parked_->full()) return std::nullopt;
  item_ = Ref::steal(PyIter_Next(iterator_.get()));
  if (!item_) {
    if (PyErr_Occurred() != nullptr) parked_->park();
    iterator_ = Ref();  // exhausted or failed: never called again
    return std::nullopt;
  }
  try {
    return item_key(item_.get(), param_);
  } catch (const ErrorAlreadySet&) {
    parked_->park();
    iterator_ = Ref();
    item_ = Ref();
    return std::nullopt;
  }
}

bool StrStream::next_batch(key_source::KeyBatch& batch) {
  batch.clear();
  while (batch.size() < batch_keys_ && batch.byte_len() < kBatchBytes) {
    const std::optional<std::string_view> key = next_view();
    if (!key) break;
    batch.push(*key);
  }
  item_ = Ref();
  return !batch.empty();
}

IterSource::IterSource(PyObject* items, ParkedError& parked, const char* param,
                       std::size_t batch_keys)
    : iterator_(Ref::check(PyObject_GetIter(items))),
      parked_(&parked),
      param_(param),
      batch_keys_(batch_keys) {}

std::unique_ptr<key_source::KeyStream> IterSource::open_pass() {
  Ref iterator = std::move(iterator_);  // one pass only
  return std::make_unique<StrStream>(iterator.get(), *parked_, param_, batch_keys_);
}

CallableSource::CallableSource(PyObject* source, ParkedError& parked, const char* param)
    : source_(Ref::borrow(source)), parked_(&parked), param_(param) {}

std::unique_ptr<key_source::KeyStream> CallableSource::open_pass() {
  if (parked_->full()) return std::make_unique<StrStream>(nullptr, *parked_, param_);
  Ref iterator;
  if (Ref iterable = Ref::steal(PyObject_CallNoArgs(source_.get()))) {
    iterator = Ref::steal(PyObject_GetIter(iterable.get()));
  }
  if (!iterator) parked_->park();
  return std::make_unique<StrStream>(iterator.get(), *parked_, param_);
}

}  // namespace quenlith::python
