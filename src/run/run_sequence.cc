#include "run/run_sequence.h"

#include <new>

#include "platform/platform.h"
#include "run/run_plan.h"
#include "text/failure.h"

namespace pvr {

bool AnswerOption(const Text& argument_text, const char* program) {
  const bool version = argument_text == TextOf("--version");
  if (!version && argument_text != TextOf("--help")) return false;
  PrintLine(TextOf(version ? "" : "Usage: ") + TextOf(program) +
                TextOf(version ? " " PVR_VERSION : " JOBFILE"),
            false);
  return true;
}

int RunLauncher(const Text& argument_text) {
  try {
    RunPlan plan;
    PlanRun(argument_text, ExecutableBaseName(), plan);
    if (plan.nothing_to_do == nullptr) CarryOut(plan);
    return 0;
  } catch (const Failure& failure) {
    ReportFailure(failure);
    return ExitStatusOf(failure.kind);
  } catch (const std::bad_alloc&) {
    const Failure failure{FailureKind::kOutOfMemory, Text(), Text()};
    ReportFailure(failure);
    return ExitStatusOf(failure.kind);
  }
}

}  // namespace pvr
