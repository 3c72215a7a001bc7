// Construction of the Levenshtein automaton.
//
// A "row" is the last row of the edit-distance table between the query q (n scalars) and the
// input read so far: row[j] = min(distance(input, q[0..j)), d + 1) for j = 1..n (anything above d
// is equally hopeless), and row[0] is the input length, not capped. Rows are the states of a
// character-level automaton; the byte-level automaton is made by giving each row's state UTF-8
// edges:
//
//   * for each query character c (at a position whose row entry is still <= d), the bytes of c
//     lead to step(row, c);
//   * every other scalar leads to step(row, other), the same for all of them, via the nine
//     byte-range sequences that cover U+0000..U+10FFFF, each with its own chain of
//     intermediate states.
//
// Query characters are added after the mismatch edges and take precedence over them. A
// multi-byte character must not disturb the other scalars that share its leading bytes, so its
// path is made of copies of the intermediate states it passes through, each copy keeping the
// edges of the original and changing only the one byte on the character's path. Each query
// character thereby adds (UTF-8 length - 1) states and each mismatch step 18, whatever the
// characters; for an ASCII query no state is left unreachable.
//
// Rows are explored depth first from the start row [0, 1, ..., n]; each new row gets the next
// state number when it is first reached, and the intermediate states are numbered as they are
// made. Construction stops with an error as soon as the count passes the limit.
//
// Band: since distance(input, q[0..j)) >= |len - j|, only the entries j in [len - d, len + d]
// can be <= d; the rest are d + 1. A row is therefore kept as its length and that band, which
// makes a step cost O(d) rather than O(n). Neighbouring entries of an edit-distance row differ by
// at most 1, so the band is stored as its first value and 2-bit differences.
#include "fst/levenshtein.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "fst/error.hpp"
#include "fst/utf8.hpp"

namespace fst::automaton {

LevenshteinError LevenshteinError::too_many_states(std::size_t limit)
{
    return LevenshteinError("Levenshtein automaton exceeds size limit of " + std::to_string(limit) + " states",
                            limit);
}

namespace {

[[noreturn]] void throw_too_many_states(std::size_t limit) { throw LevenshteinError::too_many_states(limit); }

// A row: the input length and the entries lo..hi (lo = max(1, len - d), hi = min(n, len + d));
// entries 1..n outside the band are d + 1.
struct Row {
    std::uint64_t len = 0;
    std::vector<std::uint64_t> band;
};

class Builder {
public:
    Builder(const std::vector<char32_t>& q, std::uint32_t distance, std::vector<std::uint32_t>& next,
            std::vector<std::uint8_t>& match)
        : q_(q), n_(q.size()), d_(distance), next_(next), match_(match)
    {
        utf8::Utf8Sequences all(0, utf8::kMaxScalar);
        while (auto seq = all.next()) any_scalar_.push_back(*seq);
    }

    void run()
    {
        // Every prefix of the query is a distinct live row, so the automaton has at least n + 1
        // states; refusing here spares the work of finding that out.
        if (n_ + 1 > Levenshtein::kStateLimit) throw_too_many_states(Levenshtein::kStateLimit);

        Row start;
        start.len = 0;
        for (std::uint64_t j = lo(0); j <= hi(0); ++j) start.band.push_back(j);
        std::vector<std::string> stack{pack(start)};
        std::vector<bool> seen;
        std::vector<std::pair<char32_t, std::optional<std::uint32_t>>> memo;
        Row s;
        Row t;
        while (!stack.empty()) {
            const std::string key = std::move(stack.back());
            stack.pop_back();
            unpack(key, s);
            const std::uint32_t si = *cached(s);

            step(s, std::nullopt, t);
            if (const auto mi = cached(t)) {
                for (const auto& seq : any_scalar_) add_sequence(si, seq, *mi);
                if (mark_seen(seen, *mi)) stack.push_back(pack(t));
            }

            // Positions i with row[i] <= d: 0 when len <= d, then those in the band.
            memo.clear();
            auto visit = [&](std::size_t i) {
                const char32_t c = q_[i];
                // A character repeated in the query gives the same row each time.
                auto it = std::find_if(memo.begin(), memo.end(), [c](const auto& e) { return e.first == c; });
                std::optional<std::uint32_t> ni;
                if (it != memo.end()) {
                    ni = it->second;
                } else {
                    step(s, c, t);
                    ni = cached(t);
                    memo.emplace_back(c, ni);
                    if (ni && mark_seen(seen, *ni)) stack.push_back(pack(t));
                }
                if (ni) add_char(si, c, *ni);
            };
            if (n_ > 0 && s.len <= d_) visit(0);
            const std::uint64_t last = std::min<std::uint64_t>(hi(s.len), n_ - (n_ > 0 ? 1 : 0));
            for (std::uint64_t i = lo(s.len); n_ > 0 && i <= last; ++i) {
                if (s.band[i - lo(s.len)] <= d_) visit(static_cast<std::size_t>(i));
            }
        }
    }

private:
    // Band bounds for an input of `len` scalars; lo > hi when the band is empty.
    std::uint64_t lo(std::uint64_t len) const { return len > d_ + 1 ? len - d_ : 1; }
    std::uint64_t hi(std::uint64_t len) const { return std::min<std::uint64_t>(n_, len + d_); }

    // Entry j (0..n) of a row.
    std::uint64_t at(const Row& r, std::uint64_t j) const
    {
        if (j == 0) return r.len;
        const std::uint64_t l = lo(r.len);
        if (j < l || j > hi(r.len)) return d_ + 1;
        return r.band[j - l];
    }

    // The row after reading one more scalar: `c`, or a scalar that is in no query position.
    void step(const Row& s, std::optional<char32_t> c, Row& out) const
    {
        const std::uint64_t cap = d_ + 1;
        out.len = s.len + 1;
        out.band.clear();
        const std::uint64_t l = lo(out.len);
        const std::uint64_t h = hi(out.len);
        if (l > h) return;
        std::uint64_t prev = at(out, l - 1);
        for (std::uint64_t j = l; j <= h; ++j) {
            const std::uint64_t subst = at(s, j - 1) + ((c && q_[j - 1] == *c) ? 0 : 1);
            prev = std::min({prev + 1, at(s, j) + 1, subst, cap});
            out.band.push_back(prev);
        }
    }

    bool can_match(const Row& r) const
    {
        if (r.len <= d_) return true;
        return std::any_of(r.band.begin(), r.band.end(), [this](std::uint64_t v) { return v <= d_; });
    }

    bool is_match(const Row& r) const { return at(r, n_) <= d_; }

    // The row as a hash key: len, first band value, then 2-bit differences (0, 1, 2 for -1, 0, +1).
    static std::string pack(const Row& r)
    {
        std::string key(16 + (r.band.size() + 3) / 4, '\0');
        std::memcpy(key.data(), &r.len, 8);
        const std::uint64_t first = r.band.empty() ? 0 : r.band[0];
        std::memcpy(key.data() + 8, &first, 8);
        for (std::size_t k = 1; k < r.band.size(); ++k) {
            const std::uint64_t a = r.band[k - 1];
            const std::uint64_t b = r.band[k];
            if (b + 1 < a || b > a + 1) throw std::logic_error("Levenshtein row entries differ by more than 1");
            const unsigned code = b + 1 == a ? 0 : b == a ? 1 : 2;
            key[16 + k / 4] = static_cast<char>(static_cast<unsigned char>(key[16 + k / 4]) | (code << (2 * (k % 4))));
        }
        return key;
    }

    void unpack(const std::string& key, Row& r) const
    {
        std::memcpy(&r.len, key.data(), 8);
        std::uint64_t v;
        std::memcpy(&v, key.data() + 8, 8);
        r.band.clear();
        const std::uint64_t l = lo(r.len);
        const std::uint64_t h = hi(r.len);
        if (l > h) return;
        r.band.push_back(v);
        for (std::uint64_t k = 1; k <= h - l; ++k) {
            const unsigned code = (static_cast<unsigned char>(key[16 + k / 4]) >> (2 * (k % 4))) & 3;
            v = v + code - 1;
            r.band.push_back(v);
        }
    }

    // The state of row `r`, made on first sight; nothing when no extension can come within d.
    std::optional<std::uint32_t> cached(const Row& r)
    {
        if (!can_match(r)) return std::nullopt;
        auto [it, fresh] = rows_.try_emplace(pack(r), 0);
        if (fresh) it->second = new_state(is_match(r));
        return it->second;
    }

    static bool mark_seen(std::vector<bool>& seen, std::uint32_t id)
    {
        if (seen.size() <= id) seen.resize(id + 1, false);
        if (seen[id]) return false;
        seen[id] = true;
        return true;
    }

    std::uint32_t new_state(bool is_match)
    {
        if (match_.size() >= Levenshtein::kStateLimit) throw_too_many_states(Levenshtein::kStateLimit);
        const auto id = static_cast<std::uint32_t>(match_.size());
        match_.push_back(is_match ? 1 : 0);
        next_.resize(next_.size() + 256, Levenshtein::kDead);
        return id;
    }

    std::uint32_t* row_of(std::uint32_t state) { return next_.data() + static_cast<std::size_t>(state) * 256; }

    // Mismatch edges: from --seq--> to through fresh intermediate states, filling only empty
    // slots (the query characters come later and override).
    void add_sequence(std::uint32_t from, const utf8::Utf8Sequence& seq, std::uint32_t to)
    {
        for (std::size_t k = 0; k + 1 < seq.size(); ++k) {
            const std::uint32_t mid = new_state(false);
            fill(from, seq[k], mid);
            from = mid;
        }
        fill(from, seq[seq.size() - 1], to);
    }

    void fill(std::uint32_t from, utf8::Utf8Range r, std::uint32_t to)
    {
        std::uint32_t* row = row_of(from);
        for (unsigned b = r.start; b <= r.end; ++b) {
            if (row[b] == Levenshtein::kDead) row[b] = to;
        }
    }

    // Query-character edge: the bytes of `c` lead from `from` to `to`. Each intermediate state on
    // the way is replaced by a copy of itself, so the other scalars through it keep their paths.
    void add_char(std::uint32_t from, char32_t c, std::uint32_t to)
    {
        std::array<std::uint8_t, 4> bytes{};
        const std::size_t len = utf8::encode(c, bytes);
        for (std::size_t k = 0; k + 1 < len; ++k) {
            const std::uint32_t mid = new_state(false);  // may move next_: index afresh below
            const std::uint32_t old = row_of(from)[bytes[k]];
            if (old != Levenshtein::kDead) std::copy_n(row_of(old), 256, row_of(mid));
            row_of(from)[bytes[k]] = mid;
            from = mid;
        }
        row_of(from)[bytes[len - 1]] = to;
    }

    const std::vector<char32_t>& q_;
    const std::uint64_t n_;
    const std::uint64_t d_;
    std::vector<std::uint32_t>& next_;
    std::vector<std::uint8_t>& match_;
    std::vector<utf8::Utf8Sequence> any_scalar_;
    std::unordered_map<std::string, std::uint32_t> rows_;
};

}  // namespace

Levenshtein::Levenshtein(std::string_view query, std::uint32_t distance)
{
    std::vector<char32_t> q;
    if (!utf8::decode(query, q)) {
        // The same error a stream gives for a key that is not text.
        if (auto e = utf8_error({reinterpret_cast<const std::uint8_t*>(query.data()), query.size()})) throw *e;
        throw std::logic_error("UTF-8 decoders disagree on a Levenshtein query");
    }
    Builder(q, distance, next_, match_).run();
}

}  // namespace fst::automaton
