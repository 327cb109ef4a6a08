#include "run/run_plan.h"

#include <utility>

#include "actions/clear_target.h"
#include "actions/launch.h"
#include "actions/recording_output.h"
#include "actions/run_log.h"
#include "job/job_file.h"
#include "text/command_line.h"

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

// A stale file that a recording of this target still writes to is never
// deleted; where no file is there yet, the run starts without the output
// file rather than take it from the recording that holds it.
void PlanRecordingOutput(RunPlan& plan) {
  const RunLogPlace place = RecordingOutputPlace(*plan.log, *plan.target_path);
  const std::optional<Text> running = RecordingInProgress(place);
  if (running && *plan.stale) {
    throw Failure{FailureKind::kAccessDenied, *plan.target_path,
                  TextOf("a recording of this target, started at ") + *running +
                      TextOf(", is still running")};
  }
  if (running) {
    plan.output_failure =
        Failure{FailureKind::kAccessDenied, place.path,
                TextOf("kept by a recording of this target still running")};
    return;
  }
  try {
    plan.output_file =
        CheckRunLog(place, RecordingOutputHeading(RunRecordLines(
                               plan.executable_name, ClockTime{},
                               *plan.target_path, *plan.launch_command)));
    plan.output = place;
  } catch (const Failure& failure) {
    plan.output_failure = failure;
  }
}

}  // namespace

void PlanRun(const Text& argument_text, const Text& launcher_name,
             RunPlan& plan) {
  plan.job_path = JobPathOf(argument_text);
  plan.nothing_to_do = NothingToDo(plan.job_path);
  if (plan.nothing_to_do != nullptr) return;
  const Text& job_data = plan.job_data =
      LoadJobData(plan.job_path, plan.data_joins ? &*plan.data_joins : nullptr);
  const Text& target = plan.target_path.emplace(TargetPathOf(job_data));
  // An empty path names no file.
  plan.stale = !target.empty() && FileExists(target);
  // Read before anything is deleted: a broken command section must not
  // cost the stale file when nothing can record in its place.
  const Text& command = plan.launch_command.emplace(LaunchCommandOf(job_data));
  plan.executable_name = launcher_name;
  plan.log = PlanRunLog(plan.executable_name, target, command, plan.log_file);
  if (KeepsRecordingOutput()) PlanRecordingOutput(plan);
  if (*plan.stale) {
    CheckDeletable(target);
    plan.target_folder = HoldFolderOf(target);
  }
  try {
    plan.words = ProgramAndArguments(command);
    plan.program = FindProgram(command, plan.words);
  } catch (const Failure& failure) {
    plan.start_failure = failure;
  }
}

void CarryOut(RunPlan& plan) {
  std::vector<Text> record;
  {
    // Held from before the target is cleared, so that nothing put at its
    // name during the pause is written to; closed, and its lock let go,
    // before the start, so that the recorder holds none of it.
    HeldFile log = OpenRunLog(*plan.log, std::move(plan.log_file));
    if (!plan.start_failure) ClearTarget(*plan.target_path, plan.target_folder);
    record = AppendRunRecord(log, plan.executable_name, *plan.target_path,
                             *plan.launch_command);
  }
  if (plan.start_failure) throw *plan.start_failure;
  // Opened only once the target is cleared, so that a run that fails
  // before leaves the last recording's output as it was.
  std::optional<HeldFile> output =
      plan.output
          ? OpenRecordingOutput(*plan.output, std::move(plan.output_file),
                                RecordingOutputHeading(record))
          : std::nullopt;
  LaunchMinimized(plan.program, output ? &*output : nullptr, *plan.target_path);
}

}  // namespace pvr
