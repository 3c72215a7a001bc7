// Ordered streams over a map, with bounds and an optional automaton.
//
//   fst::Fst map(bytes);
//   auto s = fst::range(map).ge("apple").lt("banana").into_stream();
//   while (auto item = s.next()) use(item->key, item->value);
//
//   auto f = fst::search(map, fst::automaton::Levenshtein("banana", 1)).gt("b").into_stream();
//
// A stream yields exactly the keys k of the map with lower_ok(k) && upper_ok(k) && the automaton
// matches k, in ascending byte order, each with its value. At most one lower bound (`ge`
// inclusive, `gt` exclusive) and one upper bound (`le`, `lt`) apply: setting a second bound on a
// side replaces the first. Bounds need not be keys of the map; crossed bounds give nothing.
//
// Walk: depth first over the map's nodes, transitions in ascending input order. The stream
// keeps a stack of frames (decoded node, next transition, output so far, automaton state) and
// the bytes of the current path; it holds a pointer to the map, never a copy of it. Each node
// is decoded once per visit; a node with a single transition and no final state (most nodes of
// a typical map) is passed through without a frame. A step writes one byte of the path and adds
// one output, so a result costs no copy and, once the buffers have grown, no allocation. A lower
// bound is found by following its bytes from the root (feeding them to the automaton), so the
// first result costs O(bound length); each further result costs the transitions between it and
// the previous one. The stream asks `can_match` of each state it reaches and takes no
// transition from a state that says no; a transition into a state that neither matches nor can
// match is dropped without reading its target node (unless the automaton has `accept_eof`). When
// the current path passes the upper bound the stream ends, whether or not the path would match.
// `will_always_match` is not used.
//
// Threads: a stream is used by one thread at a time; any number of streams may walk one map.
// The map's bytes must outlive the stream. Node decoding errors of a malformed map propagate as
// fst::Error from next().
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "fst/automaton.hpp"
#include "fst/fst.hpp"
#include "fst/node.hpp"

namespace fst {

// One side of a range: none, a key included, or a key excluded.
class Bound {
 public:
  enum class Kind : std::uint8_t { Unbounded, Included, Excluded };

  Bound() = default;
  static Bound included(std::span<const std::uint8_t> key) { return Bound(Kind::Included, key); }
  static Bound excluded(std::span<const std::uint8_t> key) { return Bound(Kind::Excluded, key); }

  Kind kind() const noexcept { return kind_; }
  // The bound's key (empty when unbounded).
  std::span<const std::uint8_t> key() const noexcept { return key_; }
  // No bound, or a bound at the empty key.
  bool is_empty() const noexcept { return key_.empty(); }

 private:
  Bound(Kind kind, std::span<const std::uint8_t> key) : kind_(kind), key_(key.begin(), key.end()) {}

  Kind kind_ = Kind::Unbounded;
  std::vector<std::uint8_t> key_;
};

namespace detail {

// Does automaton A define accept_eof?
template <class A>
inline constexpr bool has_accept_eof = requires(const A& a, const typename A::State& s) {
  a.accept_eof(s);
};

// Index of the first transition of `node` whose input is greater than `b` (node.len() if none).
std::size_t first_transition_above(const Node& node, std::uint8_t b);

// Tracks, as bytes are pushed onto and popped off the current path, whether the path has passed
// an upper bound; O(1) a step. It keeps the length of the longest common prefix of the path and
// the bound.
class UpperBound {
 public:
  UpperBound() = default;
  explicit UpperBound(Bound b) : bound_(std::move(b)) {}

  // Is there a bound at all? Without one, push and pop need not be called.
  bool active() const noexcept { return bound_.kind() != Bound::Kind::Unbounded; }
  // Recomputes the common prefix for a path set up wholesale.
  void reset(std::span<const std::uint8_t> path) noexcept {
    const auto key = bound_.key();
    common_ = 0;
    while (common_ < path.size() && common_ < key.size() && path[common_] == key[common_])
      ++common_;
  }
  // `b` is appended to a path that had `depth` bytes.
  void push(std::size_t depth, std::uint8_t b) noexcept {
    const auto key = bound_.key();
    if (common_ == depth && depth < key.size() && key[depth] == b) common_ = depth + 1;
  }
  // The path was cut back to `depth` bytes.
  void pop(std::size_t depth) noexcept {
    if (common_ > depth) common_ = depth;
  }
  // Is `path` (the path the pushes and pops describe) beyond the bound?
  bool exceeded_by(std::span<const std::uint8_t> path) const noexcept {
    if (bound_.kind() == Bound::Kind::Unbounded) return false;
    const auto key = bound_.key();
    if (common_ == path.size()) {
      // The path is a prefix of the bound, or equal to it.
      return path.size() == key.size() && bound_.kind() == Bound::Kind::Excluded;
    }
    if (common_ == key.size()) return true;  // the bound is a proper prefix of the path
    return path[common_] > key[common_];
  }

 private:
  Bound bound_;
  std::size_t common_ = 0;
};

}  // namespace detail

// A lazy stream of (key, value) pairs. Obtain one from StreamBuilder::into_stream().
template <Automaton A>
class Stream {
 public:
  struct Item {
    // The key's bytes; valid until the next call to next() or the stream's destruction.
    std::span<const std::uint8_t> key;
    std::uint64_t value;
  };

  // The next pair in ascending key order, or nothing once the stream is exhausted (after
  // which it stays exhausted). Throws fst::Error if it meets a malformed node.
  std::optional<Item> next();

  const A& automaton() const noexcept { return aut_; }

 private:
  template <Automaton>
  friend class StreamBuilder;

  // A node of the current path with transitions left to take. Nodes the walk passes through
  // by their only transition get no frame, so depths along the stack may skip.
  struct Frame {
    Node node;
    std::size_t trans;  // the next transition to take
    std::size_t depth;  // the node's path is key_[0, depth)
    std::uint64_t out;  // outputs summed along that path
    typename A::State state;
  };

  Stream(const Fst& fst, A aut, const Bound& lower, Bound upper);
  void seek_min(const Bound& lower);
  void finish() {
    frames_.clear();
    empty_output_.reset();
  }

  const Fst* fst_;
  NodeReader reader_;
  A aut_;
  detail::UpperBound upper_;
  std::vector<Frame> frames_;
  // The current path's bytes, key_[0, depth) for the top frame's depth; bytes past it are
  // stale, so a step down writes one byte and a step up writes nothing. Grows by doubling.
  std::vector<std::uint8_t> key_;
  // The empty key's value, while the empty key is still to be considered.
  std::optional<std::uint64_t> empty_output_;
};

// Collects bounds for a stream over `fst` driven by automaton `A`.
template <Automaton A>
class StreamBuilder {
 public:
  StreamBuilder(const Fst& fst, A aut) : fst_(&fst), aut_(std::move(aut)) {}

  // Lower bounds: keys >= key / keys > key. A later lower bound replaces an earlier one.
  StreamBuilder& ge(std::span<const std::uint8_t> key) & {
    return set(lower_, Bound::included(key));
  }
  StreamBuilder& gt(std::span<const std::uint8_t> key) & {
    return set(lower_, Bound::excluded(key));
  }
  // Upper bounds: keys <= key / keys < key. A later upper bound replaces an earlier one.
  StreamBuilder& le(std::span<const std::uint8_t> key) & {
    return set(upper_, Bound::included(key));
  }
  StreamBuilder& lt(std::span<const std::uint8_t> key) & {
    return set(upper_, Bound::excluded(key));
  }

  StreamBuilder& ge(std::string_view key) & { return ge(bytes(key)); }
  StreamBuilder& gt(std::string_view key) & { return gt(bytes(key)); }
  StreamBuilder& le(std::string_view key) & { return le(bytes(key)); }
  StreamBuilder& lt(std::string_view key) & { return lt(bytes(key)); }

  StreamBuilder&& ge(std::span<const std::uint8_t> key) && { return std::move(ge(key)); }
  StreamBuilder&& gt(std::span<const std::uint8_t> key) && { return std::move(gt(key)); }
  StreamBuilder&& le(std::span<const std::uint8_t> key) && { return std::move(le(key)); }
  StreamBuilder&& lt(std::span<const std::uint8_t> key) && { return std::move(lt(key)); }
  StreamBuilder&& ge(std::string_view key) && { return std::move(ge(bytes(key))); }
  StreamBuilder&& gt(std::string_view key) && { return std::move(gt(bytes(key))); }
  StreamBuilder&& le(std::string_view key) && { return std::move(le(bytes(key))); }
  StreamBuilder&& lt(std::string_view key) && { return std::move(lt(bytes(key))); }

  // Opens the stream, moving the automaton into it; the builder is spent. Finds the lower
  // bound's position in the map (O(bound length)). Throws fst::Error for a malformed map.
  Stream<A> into_stream() && {
    return Stream<A>(*fst_, std::move(aut_), lower_, std::move(upper_));
  }

 private:
  static std::span<const std::uint8_t> bytes(std::string_view s) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
  }
  StreamBuilder& set(Bound& side, Bound b) {
    side = std::move(b);
    return *this;
  }

  const Fst* fst_;
  A aut_;
  Bound lower_;
  Bound upper_;
};

// A stream builder over every key of `fst`.
inline StreamBuilder<automaton::AlwaysMatch> range(const Fst& fst) {
  return StreamBuilder<automaton::AlwaysMatch>(fst, automaton::AlwaysMatch{});
}

// A stream builder over the keys of `fst` that `aut` matches; the automaton moves into it.
template <Automaton A>
StreamBuilder<A> search(const Fst& fst, A aut) {
  return StreamBuilder<A>(fst, std::move(aut));
}

// ---------------------------------------------------------------------------------------------

template <Automaton A>
Stream<A>::Stream(const Fst& fst, A aut, const Bound& lower, Bound upper)
    : fst_(&fst), reader_(fst), aut_(std::move(aut)), upper_(std::move(upper)) {
  seek_min(lower);
  // A frame whose state can match nothing more is left with no transitions to take; deciding
  // it once here and on each later step down spares the walk a can_match per transition.
  for (Frame& f : frames_) {
    if (!fst::can_match(aut_, f.state)) f.trans = f.node.len();
  }
  upper_.reset({key_.data(), frames_.back().depth});
}

template <Automaton A>
void Stream<A>::seek_min(const Bound& lower) {
  const Node root = fst_->root();
  if (lower.is_empty()) {
    // No lower bound or one at "": start at the root. The empty key is considered first,
    // unless an exclusive bound at "" rules it out.
    if (lower.kind() != Bound::Kind::Excluded && root.is_final())
      empty_output_ = root.final_output().value();
    frames_.push_back(Frame{root, 0, 0, 0, aut_.start()});
    return;
  }
  // Follow the bound's bytes down the map, leaving behind each node a frame that resumes after
  // the transition taken. The automaton sees every byte; can_match is not consulted here.
  frames_.reserve(lower.key().size() + 1);
  Node node = root;
  std::uint64_t out = 0;
  typename A::State state = aut_.start();
  for (const std::uint8_t b : lower.key()) {
    const auto i = node.find_input(b);
    if (!i) {
      // The bound leaves the map here: resume at the first transition above its byte.
      frames_.push_back(
          Frame{node, detail::first_transition_above(node, b), key_.size(), out, state});
      return;
    }
    const Transition t = node.transition(*i);
    typename A::State next = aut_.accept(state, b);
    frames_.push_back(Frame{node, *i + 1, key_.size(), out, std::move(state)});
    key_.push_back(b);
    state = std::move(next);
    out += t.out.value();
    node = fst_->node(t.addr);
  }
  // The whole bound is a path of the map.
  if (lower.kind() == Bound::Kind::Included) {
    // Re-enter the last transition so that the bound itself can come out.
    frames_.back().trans -= 1;
    key_.pop_back();
  } else {
    // Start inside the bound's node: only longer keys come out.
    frames_.push_back(Frame{node, 0, key_.size(), out, std::move(state)});
  }
}

template <Automaton A>
std::optional<typename Stream<A>::Item> Stream<A>::next() {
  if (empty_output_) {
    const std::uint64_t out = *empty_output_;
    empty_output_.reset();
    if (upper_.exceeded_by({})) {
      finish();
      return std::nullopt;
    }
    if (aut_.is_match(aut_.start())) return Item{{}, out};
  }
  // Locals, so that the stores of key bytes do not make the compiler reload them.
  const NodeReader reader = reader_;
  const bool bounded = upper_.active();
  std::uint8_t* key = key_.data();
  std::size_t cap = key_.size();
  while (!frames_.empty()) {
    Frame& f = frames_.back();
    if (f.trans >= f.node.len()) {
      frames_.pop_back();
      continue;
    }
    // The input first: the rest of the transition is read only if the state lives.
    typename A::State state = aut_.accept(f.state, f.node.transition_input(f.trans));
    // A state that neither matches nor can match: nothing below the transition can come
    // out, so its node need not even be read. (Skipping it may delay noticing the upper
    // bound, but every later path lies above this one, so nothing in between comes out.)
    if constexpr (!detail::has_accept_eof<A>) {
      if (!fst::can_match(aut_, state) && !aut_.is_match(state)) {
        f.trans += 1;
        continue;
      }
    }
    Transition t = f.node.transition(f.trans);
    f.trans += 1;
    std::size_t depth = f.depth;
    std::uint64_t out = f.out + t.out.value();
    // Appends t's byte to the path key[0, depth); true when the path passes the upper bound.
    const auto step = [&]() __attribute__((always_inline)) {
      if (depth == cap) {
        key_.resize(cap < 32 ? 64 : 2 * cap);
        key = key_.data();
        cap = key_.size();
      }
      key[depth] = t.inp;
      if (bounded) {
        upper_.pop(depth);
        upper_.push(depth, t.inp);
      }
      depth += 1;
      return bounded && upper_.exceeded_by({key, depth});
    };
    // Go down by t, and on through every node with one transition that is not final: such
    // a node has nothing to come back to, so it gets no frame.
    for (;;) {
      Transition lone;
      if (reader.lone_transition(t.addr, lone)) {
        if (step()) {
          finish();
          return std::nullopt;
        }
        if (!fst::can_match(aut_, state)) break;
        t = lone;
        out += t.out.value();
        state = aut_.accept(state, t.inp);
        continue;
      }
      const Node target = reader.node(t.addr);
      if (step()) {
        finish();
        return std::nullopt;
      }
      bool is_match = false;
      if (target.is_final()) {
        is_match = aut_.is_match(state);
        if (auto eof = fst::accept_eof(aut_, state)) is_match = aut_.is_match(*eof);
      }
      if (!target.is_empty() && fst::can_match(aut_, state)) {
        if (!target.is_final() && target.len() == 1) {
          t = target.transition(0);
          out += t.out.value();
          state = aut_.accept(state, t.inp);
          continue;
        }
        frames_.push_back(Frame{target, 0, depth, out, std::move(state)});  // invalidates f
      }
      if (is_match) return Item{{key, depth}, out + target.final_output().value()};
      break;
    }
  }
  return std::nullopt;
}

}  // namespace fst
