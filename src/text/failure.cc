#include "text/failure.h"

#include <iterator>

namespace pvr {
namespace {

struct KindFacts {
  const char* name;
  int exit_status;
};

// In the order of FailureKind. The statuses are documented in the README
// and schedulers may branch on them: they never change meaning. 0 is a run
// that did its job or had nothing to do.
constexpr KindFacts kKinds[] = {
    {"invalid argument", 2},  {"overflow", 3},      {"file not found", 4},
    {"path not found", 5},    {"access denied", 6}, {"bad file name", 7},
    {"program not found", 8}, {"not a program", 9}, {"input/output error", 10},
    {"out of memory", 11},
};
static_assert(std::size(kKinds) ==
              static_cast<std::size_t>(FailureKind::kOutOfMemory) + 1);

}  // namespace

const char* FailureKindName(FailureKind kind) {
  return kKinds[static_cast<std::size_t>(kind)].name;
}

Text FailureReport(const Failure& failure) {
  Text report = TextOf(FailureKindName(failure.kind));
  if (!failure.object.empty()) report += TextOf(": ") + failure.object;
  if (!failure.reason.empty()) {
    report += TextOf(" (") + failure.reason + TextOf(")");
  }
  return report;
}

int ExitStatusOf(FailureKind kind) {
  return kKinds[static_cast<std::size_t>(kind)].exit_status;
}

}  // namespace pvr
