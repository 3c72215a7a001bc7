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

estimate::Plan plan_keys(const Cmd& cmd, Streams& s, std::optional<Keys>& read) {
  const std::string& path = cmd.positionals[0];
  if (path != "-") return estimate::plan_file(path, cmd.needs, cmd.objective);
  read = read_keys(path, s.in);
  note_skipped(path, read->skipped, s.err);
  return estimate::plan_for_views(read->keys(), cmd.needs, cmd.objective);
}

void cmd_plan(const Cmd& cmd, Streams& s) {
  std::optional<Keys> keys;
  const estimate::Plan plan = plan_keys(cmd, s, keys);
  put(s.out, plan.text());
  note_implied_exact(cmd.exact_implied, plan.needs, s.err);
}

}  // namespace quenlith::cli
