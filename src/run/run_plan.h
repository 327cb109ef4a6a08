// A run decides everything that can fail before it changes anything: that
// is its plan. The launcher carries the plan out; the checker prints it.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "platform/platform.h"
#include "text/failure.h"
#include "text/text.h"

namespace pvr {

// Filled in the order it is decided, so that what came before a failure
// shows; a part not reached is empty.
struct RunPlan {
  Text job_path;
  const char* nothing_to_do = nullptr;  // why, where there is nothing to do
  Text job_data;
  // Where lines met in the job data, kept where asked for (the checker's
  // warnings): finding them costs a run on a long job.
  std::optional<std::vector<std::size_t>> data_joins;
  std::optional<Text> target_path;
  std::optional<bool> stale;  // a file at the target, to be deleted
  HeldFolder target_folder;   // held where there is one to delete
  std::optional<Text> launch_command;
  Text executable_name;
  std::optional<RunLogPlace> log;
  HeldFile log_file;  // the log already there, opened to append to
  // Where the recorder's output and end are kept, or why they are not: the
  // recording starts either way.
  std::optional<RunLogPlace> output;
  HeldFile output_file;
  std::optional<Failure> output_failure;
  std::vector<Text> words;  // the command split once, the program first
  ProgramToStart program;   // found once
  // Why the program cannot start: the run still logs its record, then
  // reports this, and keeps the stale file.
  std::optional<Failure> start_failure;
};

// The argument trimmed, with one pair of enclosing double quotes stripped
// and trimmed again. Empty when there is no argument.
Text JobPathOf(const Text& argument_text);

// Why there is nothing to do for the job path, or nullptr when there is:
// it must hold ".xml", in any letter case, and name an existing file.
const char* NothingToDo(const Text& job_path);

// Decides the run for the command line's argument text, changing nothing:
// job, target and whether it can be deleted, command, where the record
// goes and that it fits, and the program that starts. The record is
// measured as the launcher of this name writes it.
void PlanRun(const Text& argument_text, const Text& launcher_name,
             RunPlan& plan);

// Opens the run log (or takes the one the plan opened), clears the target,
// appends the record, closes the log, then opens the output file and
// starts the program, or reports why it cannot start.
void CarryOut(RunPlan& plan);

}  // namespace pvr
