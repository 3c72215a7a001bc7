// `plan`: what every index that answers the needs would weigh on a keys file, cheapest first.
#include "cli.hpp"

namespace quenlith::cli {

namespace {

// Written in one piece when exact was implied and it shut the probabilistic indexes out.
constexpr std::string_view kImpliedExact =
    "excluded: needs exact — CompactHashIndex (a bounded false-positive rate) and ClosedHashIndex "
    "(a stranger gets some member's id). Pass --closed-vocabulary if every key you will ask about "
    "is in this file, and they are ranked with the rest.\n";

}  // namespace

void note_implied_exact(bool exact_implied, const Needs& needs, Output& err) {
  if (exact_implied && !needs.reverse && !needs.ordered && !needs.prefix && !needs.fuzzy)
    put(err, kImpliedExact);
}

void cmd_plan(const Cmd&, Streams&) { throw Fail::work("this build has no planner"); }

}  // namespace quenlith::cli
