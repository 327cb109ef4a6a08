// The failure stop: every step that cannot do its work throws a Failure,
// and only the entry point catches it, reports it and ends the run.
#pragma once

#include "text/text.h"

namespace pvr {

enum class FailureKind {
  kInvalidArgument,
  kOverflow,
  kFileNotFound,
  kPathNotFound,
  kAccessDenied,
  kBadFileName,
  kProgramNotFound,
  kNotAProgram,
  kInputOutput,
  kOutOfMemory,
};

struct Failure {
  FailureKind kind;
  Text object;  // the path, command or tag concerned; may be empty
  Text reason;  // the system's or the step's own words; may be empty
};

// "access denied", "file not found", ... as the report names them.
const char* FailureKindName(FailureKind kind);

// "kind: object (reason)", the object and reason left out when empty.
Text FailureReport(const Failure& failure);

// The process's exit status for a run ended by a failure of this kind.
int ExitStatusOf(FailureKind kind);

}  // namespace pvr
