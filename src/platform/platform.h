// Every effect of a run on the outside world passes through these
// operations. One implementation per platform sits beside this header and
// the build picks one; nothing above this folder includes a system header.
//
// Operations that cannot do their work throw a Failure with the platform's
// kind. A path or command holding a NUL character is a bad file name, since
// the system would see a shorter one than the run derived.
#pragma once

#include <vector>

#include "run/failure.h"
#include "text/text.h"

namespace pvr {

// The argument portion of the process's command line, as one text.
Text ArgumentText();

// True for an existing regular file that is not hidden or a system file.
// Never a pattern: "*" and "?" match nothing but themselves, or nothing.
bool FileExists(const Text& path);

// Removes the file; a read-only file is refused, not deleted.
void DeleteFile(const Text& path);

// The file's lines in order, decoded by the platform's 8-bit code page.
std::vector<Text> ReadTextLines(const Text& path);

// Appends each line with the platform's line end, all in one write, so
// that runs appending at the same moment never interleave. Creates the file,
// readable by the user alone; refuses a file or link that another user could
// have planted in a directory shared with them.
void AppendTextLines(const Text& path, const std::vector<Text>& lines);

// The directory of the run log, made when missing where the platform keeps
// it per user, and the separator that joins a file name.
Text RunLogDirectory();
Text PathSeparator();

// The running executable's file name without directory and extension.
Text ExecutableBaseName();

// Local time of day in seconds, with the fraction.
double SecondsSinceMidnight();

// Seconds on a clock that only moves forward, unaffected by clock changes.
double MonotonicSeconds();

struct ClockTime {
  int hours;
  int minutes;
  int seconds;
};
ClockTime TimeOfDay();

// Handles the process's pending window events, waiting briefly (about 10 ms)
// for them first, so that a poll built on it does not spin.
void DispatchPendingEvents();

// Starts the command line as a detached process, minimised and not
// activated where the platform has windows; does not wait.
void StartProcess(const Text& command_line);

// Shows the user what failed. The caller ends the process afterwards.
void ReportFailure(const Failure& failure);

}  // namespace pvr
