// Every effect of a run on the outside world passes through these
// operations. One implementation per platform sits beside this header and
// the build picks one; nothing above this folder includes a system header.
//
// Operations that cannot do their work throw a Failure with the platform's
// kind. A path or command holding a NUL character is a bad file name, since
// the system would see a shorter one than the run derived.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "run/failure.h"
#include "text/lines.h"
#include "text/text.h"

namespace pvr {

// The argument portion of the process's command line, as one text. POSIX
// joins the words after the program's name with single spaces; Windows
// takes its raw command line from the system and needs no words.
Text ArgumentText(int argc, char** argv);

// True for an existing file that is not hidden or a system file; a symbolic
// link counts as the entry it is, unless it leads to a directory. Never a
// pattern: wildcard characters in the name match nothing. Only a missing
// entry is false: any other error in reaching it is a failure.
bool FileExists(const Text& path);

// Removes the file, a link as the link; a read-only file is refused. A file
// already gone counts as removed.
void DeleteFile(const Text& path);

// Hands the file's text to take a piece at a time, decoded by the platform's
// 8-bit code page (never a character split between pieces), until take
// answers false or the file ends; the file is closed on return.
void ReadTextPieces(const Text& path,
                    const std::function<bool(const Text&)>& take);

// Where the lines of the platform's text files end.
LineEnds JobFileLineEnds();

// Fails as DeleteFile would for an existing file, and changes nothing.
void CheckDeletable(const Text& path);

// The characters that no file name here may hold.
Text ForbiddenInFileNames();

Text PathSeparator();

// Where the run log lies, found without changing anything: the file, and
// the directories a run makes for it first, outermost first, each readable
// by the user alone (POSIX keeps a log per user where TEMP is unset;
// Windows makes none).
struct RunLogPlace {
  Text path;
  std::vector<Text> directories_to_make;
};
RunLogPlace FindRunLogPlace(const Text& file_name);

// Fails as OpenRunLog and AppendLines would for these lines, as far as can
// be known beforehand (rights, another user's plant, the file-size limit),
// and changes nothing: no directory made, no file opened for writing.
void CheckRunLog(const RunLogPlace& place, const std::vector<Text>& lines);

// A run log held open from before the target is cleared until its record
// is written, so that nothing put at its name meanwhile is written to.
// Closed when it goes.
struct HeldFile {
  explicit HeldFile(std::intptr_t opened, const Text& opened_path)
      : handle(opened), path(opened_path) {}
  HeldFile(HeldFile&& other) noexcept;
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  ~HeldFile();
  std::intptr_t handle;
  Text path;
};

// Makes the missing directories and opens the log to append to, made
// readable by the user alone when new; refuses a file or link that another
// user could have planted in a directory shared with them.
HeldFile OpenRunLog(const RunLogPlace& place);

// Appends each line with the platform's line end in one write, holding the
// file's lock so that runs at the same moment take turns (waiting about
// two seconds at most). A write that fails or falls short is cut back: the
// file holds all of the lines or none of them.
void AppendLines(HeldFile& file, const std::vector<Text>& lines);

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

// Handles the process's window events as they come until the monotonic
// clock reaches the given second, or returns earlier; where there are no
// window events it sleeps to that second in one.
void DispatchEventsUntil(double monotonic_seconds);

// The file a launch command starts and the command line it gets. POSIX:
// the command as it stands, divided into words at the start. Windows: from
// the program on, an unquoted program path of several words put in quotes,
// so that the program's arguments are the command's.
struct ProgramToStart {
  Text path;
  Text command_line;
};

// The program of a launch command, found as the start finds it and checked
// to be one the system can start, by the effective ids (POSIX: an
// executable regular file in a format the kernel runs, its interpreter
// there; Windows: a PE image, or a batch or .com file), with all the start
// needs (POSIX: /dev/null); fails as the start would.
ProgramToStart FindProgram(const Text& command_line);

// Whether the command shell reads the program's command line (Windows: a
// batch file, run by cmd.exe), giving its own characters their meaning.
bool IsReadByCommandShell(const Text& program);

// Starts the program FindProgram found, by its path, with its command line,
// as a detached process, minimised and not activated where the platform
// has windows, holding none of the caller's streams, with default signal
// handling; does not wait.
void StartProcess(const ProgramToStart& program);

// Shows the user what failed. The caller ends the process afterwards.
void ReportFailure(const Failure& failure);

// Writes one line to standard output, or to standard error.
void PrintLine(const Text& line, bool to_error);

}  // namespace pvr
