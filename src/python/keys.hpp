// Keys from Python objects: the four ways a binding turns Python `str` items into UTF-8 bytes for
// the core, and the sequence of ids that `keys_of` takes. None of them makes a Python string per
// key: the borrowing forms read each `str` object's cached UTF-8 form in place, the others copy
// or hash those bytes.
//
//   conversion      accepts                      gives                               lock
//   keys_arg        a sequence of str, not str   borrowed keys, all at once          held
//   collect_strs    any iterable of str          borrowed keys, all at once          held
//   collect_pairs   any iterable of str          one hash pair a key, 4096 at a time released
//                                                                                    per chunk
//   StrStream       an iterator over str         owned keys in batches, failures     held
//                                                parked in a `ParkedError`
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hash.hpp"
#include "key_source.hpp"
#include "py.hpp"

namespace quenlith::python {

// Keys borrowed from `str` objects: `views[i]` is the UTF-8 form cached inside the object
// `owners[i]` refers to, valid and unchanging while the reference is held (a `str` is immutable),
// so the views may be read with the interpreter lock released. Input order and repeats are kept.
// Destroy with the interpreter lock held.
struct BorrowedKeys {
  std::vector<Ref> owners;
  std::vector<std::string_view> views;

  std::size_t size() const noexcept { return views.size(); }
  std::span<const std::string_view> span() const noexcept { return views; }
};

// The `keys` of a batched lookup: a sequence of str. A `str` itself, or an object that is not a
// sequence (a generator, a set), is a TypeError naming `param`; an item that is not a str a
// TypeError; a str without a UTF-8 form the interpreter's UnicodeEncodeError.
BorrowedKeys keys_arg(PyObject* obj, const char* param);

// The `ids` of `keys_of`: a sequence (as for `keys_arg`) of integers, each at most `max`
// (negative or larger: OverflowError; not an integer: TypeError).
std::vector<std::uint64_t> ids_arg(PyObject* obj, const char* param, std::uint64_t max);

// Every item of any iterable of str, borrowed. `len()` only sizes the result (its failure is
// ignored); an exception of `iter()` or of the iterator is raised unchanged.
BorrowedKeys collect_strs(PyObject* items, const char* param);

// `[hash_pair(k) for k in items]` for any iterable of str. Items are pulled with the lock held,
// at most `kPairChunk` at a time, and each chunk is hashed with the lock released, so no more
// than a chunk of `str` objects is ever held.
inline constexpr std::size_t kPairChunk = 4096;
std::vector<hash::Pair> collect_pairs(PyObject* items, const char* param);

// A cell for at most one Python exception, set aside by a key stream so that the stream never
// raises into the builder it feeds; the binding raises it, unchanged, once the builder has
// stopped. Lives on the calling thread for one builder call; use with the interpreter lock held.
class ParkedError {
 public:
  ParkedError() = default;
  ParkedError(const ParkedError&) = delete;
  ParkedError& operator=(const ParkedError&) = delete;

  // Moves the current Python exception into the cell, replacing any exception held.
  void park() noexcept;
  bool full() const noexcept { return static_cast<bool>(type_); }
  // Makes the held exception current again and empties the cell; false when it was empty.
  bool restore() noexcept;

 private:
  Ref type_, value_, traceback_;
};

// A lazy stream of owned keys over a Python iterator, sharing a `ParkedError`: the stream the
// streamed builds read. It ends when the iterator is exhausted, when the cell already holds an
// exception, or after parking the iterator's exception, a non-str item's TypeError or a str's
// UnicodeEncodeError. It never raises into its
// caller, so to a builder a failed source looks like one that ended. Needs the interpreter lock
// on every call: builders fed this way keep it for their whole run.
class StrStream final : public key_source::KeyStream {
 public:
  // Keys a batch takes by default.
  static constexpr std::size_t kBatchKeys = 4096;

  // `iterator` is borrowed and kept alive by the stream; null gives an empty stream. A batch takes
  // at most `batch_keys` keys (at least 1).
  StrStream(PyObject* iterator, ParkedError& parked, const char* param,
            std::size_t batch_keys = kBatchKeys);

  // Up to `batch_keys` keys (fewer past `kBatchBytes` bytes) copied into `batch`.
  bool next_batch(key_source::KeyBatch& batch) override;

 private:
  static constexpr std::size_t kBatchBytes = std::size_t{1} << 20;
  // The next item's UTF-8 form, borrowed from `item_` until the following call; nullopt at the
  // end (failures parked).
  std::optional<std::string_view> next_view();

  Ref iterator_;
  Ref item_;
  ParkedError* parked_;
  const char* param_;
  std::size_t batch_keys_;
};

// One pass over a Python iterable for a single-pass streamed build: `iter(items)` is taken at
// construction (raising as `iter()` does); the first pass streams it, any later pass is empty.
// `failed()` is whether an exception is parked. A builder that must stop pulling at the key it
// refuses (so that the refusal, not a later item's exception, is what the caller sees) is given
// batches of one key.
class IterSource final : public key_source::KeySource {
 public:
  IterSource(PyObject* items, ParkedError& parked, const char* param,
             std::size_t batch_keys = StrStream::kBatchKeys);
  std::unique_ptr<key_source::KeyStream> open_pass() override;
  bool failed() const override { return parked_->full(); }

 private:
  Ref iterator_;
  ParkedError* parked_;
  const char* param_;
  std::size_t batch_keys_;
};

// The passes of a two-pass streamed build over a zero-argument callable: each pass calls
// `source()` and streams `iter()` of its result. When an exception is already parked, or
// `source()` or `iter()` raises (parked, replacing any held), the pass is empty. Opening a pass
// never raises.
class CallableSource final : public key_source::KeySource {
 public:
  CallableSource(PyObject* source, ParkedError& parked, const char* param);
  std::unique_ptr<key_source::KeyStream> open_pass() override;
  bool failed() const override { return parked_->full(); }

 private:
  Ref source_;
  ParkedError* parked_;
  const char* param_;
};

// Runs a streamed build fed by `parked`'s streams and settles its outcome: a parked exception is
// raised unchanged in place of whatever the build returned or threw; otherwise the build's
// result or exception stands.
template <class F>
auto settle_parked(ParkedError& parked, F&& build) {
  try {
    auto result = std::forward<F>(build)();
    if (parked.restore()) throw ErrorAlreadySet{};
    return result;
  } catch (const ErrorAlreadySet&) {
    throw;
  } catch (...) {
    if (parked.restore()) throw ErrorAlreadySet{};
    throw;
  }
}

// The UTF-8 form of `item`, an element of the iterable or sequence `param`: a TypeError naming
// `param` for a non-str, the interpreter's UnicodeEncodeError for a str without one.
std::string_view item_key(PyObject* item, const char* param);

}  // namespace quenlith::python
