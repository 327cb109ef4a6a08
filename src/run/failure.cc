#include "run/failure.h"

namespace pvr {

const char* FailureKindName(FailureKind kind) {
  switch (kind) {
    case FailureKind::kInvalidArgument:
      return "invalid argument";
    case FailureKind::kOverflow:
      return "overflow";
    case FailureKind::kFileNotFound:
      return "file not found";
    case FailureKind::kPathNotFound:
      return "path not found";
    case FailureKind::kAccessDenied:
      return "access denied";
    case FailureKind::kBadFileName:
      return "bad file name";
    case FailureKind::kProgramNotFound:
      return "program not found";
    case FailureKind::kNotAProgram:
      return "not a program";
    case FailureKind::kInputOutput:
      return "input/output error";
    case FailureKind::kOutOfMemory:
      return "out of memory";
  }
  return "failure";
}

// Documented in the README; schedulers may branch on them, so they never
// change meaning. 0 is a run that did its job or had nothing to do.
int ExitStatusOf(FailureKind kind) {
  switch (kind) {
    case FailureKind::kInvalidArgument:
      return 2;
    case FailureKind::kOverflow:
      return 3;
    case FailureKind::kFileNotFound:
      return 4;
    case FailureKind::kPathNotFound:
      return 5;
    case FailureKind::kAccessDenied:
      return 6;
    case FailureKind::kBadFileName:
      return 7;
    case FailureKind::kProgramNotFound:
      return 8;
    case FailureKind::kNotAProgram:
      return 9;
    case FailureKind::kInputOutput:
      return 10;
    case FailureKind::kOutOfMemory:
      return 11;
  }
  return 1;
}

}  // namespace pvr
