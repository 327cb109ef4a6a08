#include "run/run_sequence.h"

#include <new>

#include "actions/clear_target.h"
#include "actions/launch.h"
#include "actions/run_log.h"
#include "job/job_file.h"
#include "platform/platform.h"
#include "run/failure.h"

namespace pvr {

Text JobPathOf(const Text& argument_text) {
  const Text trimmed = TrimSpaces(argument_text);
  const Text quote = TextOf("\"");
  if (trimmed.empty() || LeftText(trimmed, 1) != quote ||
      RightText(trimmed, 1) != quote) {
    return trimmed;
  }
  const Text inner = TextFrom(trimmed, 2);
  // A lone double quote is both the opening and the closing one.
  if (inner.empty()) {
    throw Failure{FailureKind::kInvalidArgument, argument_text,
                  TextOf("a lone double quote is no job path")};
  }
  return TrimSpaces(LeftText(inner, LengthOf(inner) - 1));
}

const char* NothingToDo(const Text& job_path) {
  if (job_path.empty()) return "no job path";
  if (FindText(LowerCase(job_path), TextOf(".xml")) == 0) {
    return "no \".xml\" in the job path";
  }
  if (!FileExists(job_path)) {
    return "no file there (or a directory, or a hidden or system file)";
  }
  return nullptr;
}

namespace {

// The order is fixed: the run log is made ready before the target is
// touched, so that nothing is deleted for a run that cannot record; the
// command is read only after the target has been cleared; and the record is
// logged before the launch, so that a command that cannot start is still on
// record.
void RunJob(int argc, char** argv) {
  const Text job_path = JobPathOf(ArgumentText(argc, argv));
  if (NothingToDo(job_path) != nullptr) return;
  const Text job_data = LoadJobData(job_path);
  const Text target_path = TargetPathOf(job_data);
  const Text log_path = PrepareRunLog();
  ClearTarget(target_path);
  const Text launch_command = LaunchCommandOf(job_data);
  AppendRunRecord(log_path, target_path, launch_command);
  LaunchMinimized(launch_command);
}

}  // namespace

int RunLauncher(int argc, char** argv) {
  try {
    RunJob(argc, argv);
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
