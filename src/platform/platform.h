// Every effect of a run on the outside world passes through these
// operations. Each platform implements them in files named by concern,
// side by side: platform-*.cc (text, the argument, clock, report), files-*
// (the job and target files), run_log-* and process-* (the program and its
// start); the build picks one platform's. Nothing above this folder
// includes a system header.
//
// Operations that cannot do their work throw a Failure with the platform's
// kind. A path or command holding a NUL character is a bad file name, since
// the system would see a shorter one than the run derived.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "text/failure.h"
#include "text/lines.h"
#include "text/text.h"

namespace pvr {

// ---- The command line, the executable, the clock, the report ----

// The argument portion of the process's command line, as one text.
// POSIX: the words after the program's name joined with single spaces.
// Windows: the raw command line after the program's own path; no words.
Text ArgumentText(int argc, char** argv);

// The running executable's file name without directory and extension.
// POSIX: /proc/self/exe, less " (deleted)"; without /proc the name it was
// started by. Windows: the module's file name.
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
// clock reaches the given second, or returns earlier. POSIX: no window
// events, one sleep to that second. Windows: waits for messages or the
// second, and dispatches them, never past it however many come.
void DispatchEventsUntil(double monotonic_seconds);

// Shows the user what failed; the caller ends the process afterwards.
// POSIX: one line on standard error. Windows: the same line where the
// caller gave a standard error handle, and a message box on a window
// station someone sees, else the Application event log.
void ReportFailure(const Failure& failure);

// Writes one line to standard output, or to standard error. Windows: to a
// console as written, elsewhere in the ANSI code page with escapes for
// what it lacks.
void PrintLine(const Text& line, bool to_error);

// ---- The job and target files ----

// True for an existing file that is not hidden or a system file; never a
// pattern. Only a missing entry is false: any other error in reaching it
// is a failure. POSIX: a regular file or a symbolic link, judged as the
// entry itself, unless it leads to a directory; a name starting with "."
// is hidden. Windows: what a directory search finds, less directories and
// hidden or system files; a last component holding * ? < > or " matches
// nothing; a device name (NUL, COM1, \\.\COM1) is a bad file name.
// The folder of the target, held from the plan through the last round of
// its deletion: POSIX reaches the file inside it by its descriptor, so that
// a folder swapped for a link during the pause leads nowhere else; Windows
// holds it without sharing deletion, so that it cannot be renamed or
// replaced. Closed when it goes; none where it cannot be opened (the file
// is then reached by its path).
struct HeldFolder {
  HeldFolder() = default;
  explicit HeldFolder(std::intptr_t opened) : handle(opened) {}
  HeldFolder(HeldFolder&& other) noexcept
      : handle(std::exchange(other.handle, -1)) {}
  HeldFolder& operator=(HeldFolder&& other) noexcept {
    std::swap(handle, other.handle);
    return *this;
  }
  HeldFolder(const HeldFolder&) = delete;
  ~HeldFolder();
  std::intptr_t handle = -1;
};
HeldFolder HoldFolderOf(const Text& file_path);

// With a folder, the file is reached inside it by its name.
bool FileExists(const Text& path, const HeldFolder* folder = nullptr);

// Removes the file, a link as the link; a read-only file is refused
// (POSIX: no write permission bit at all; Windows: the read-only
// attribute). A file already gone counts as removed.
void DeleteFile(const Text& path, const HeldFolder* folder = nullptr);

// Fails as DeleteFile would for an existing file, and changes nothing.
// POSIX: also another user's file in a sticky directory.
void CheckDeletable(const Text& path);

// Both refuse a file that a process has open for writing, a recording in
// progress, with access denied, naming the writer where they can tell; a
// file only being read (a player showing last week's show) is deleted.
// POSIX: no read lease can be placed on it; where none can be taken at all
// (another user's file without CAP_LEASE, a network file system, leases
// turned off) nothing is judged. Windows: opening it for deletion while
// denying others the right to write is a sharing violation.

// Hands the file's text to take a piece at a time, decoded by the platform's
// 8-bit code page (never a character split between pieces), until take
// answers false or the file ends; the file is closed on return. A UTF-16
// file is refused. POSIX: each byte is the character of its value.
// Windows: the ANSI code page, double-byte and UTF-8 ones included.
void ReadTextPieces(const Text& path,
                    const std::function<bool(const Text&)>& take);

// Why this user could not make a new file in the directory (it is
// missing, or may not be written), or nothing where a file can be made
// there. POSIX: by the effective ids. Windows: the folder's access list.
std::optional<Text> WhyNoFileCanBeMadeIn(const Text& directory);

// Where the lines of a job file end. POSIX: LF, CR or CRLF. Windows: CR or
// CRLF, a line feed alone staying in the line.
LineEnds JobFileLineEnds();

// The characters that no file name here may hold, and what joins a name
// to its directory. POSIX: NUL; "/". Windows: < > : " | ? * and control
// characters; "\".
Text ForbiddenInFileNames();
Text PathSeparator();

// ---- The run log ----

// Where the run log lies, found without changing anything: the file, and
// the directories a run makes for it first, outermost first.
// POSIX: TEMP, TMPDIR, the first of LOGS_DIRECTORY, the user's own
// $XDG_STATE_HOME/pvr-launch or ~/.local/state/pvr-launch (a home of "/"
// or another user's is none), else /var/tmp/pvr-launch-UID (/tmp where
// /var/tmp cannot be written); directories made 0700. Windows: TEMP, or
// the current drive's root; none made.
struct RunLogPlace {
  Text path;
  std::vector<Text> directories_to_make;
};
RunLogPlace FindRunLogPlace(const Text& file_name);

// A run log held open to append to, from the plan, or from before the
// target is cleared, until its record is written, so that nothing put at
// its name meanwhile is written to. Closed when it goes; none where no
// file was there to open.
struct HeldFile {
  HeldFile() = default;
  explicit HeldFile(std::intptr_t opened, const Text& opened_path)
      : handle(opened), path(opened_path) {}
  HeldFile(HeldFile&& other) noexcept;
  HeldFile& operator=(HeldFile&& other) noexcept {
    std::swap(handle, other.handle);
    std::swap(path, other.path);
    std::swap(replaced, other.replaced);
    return *this;
  }
  HeldFile(const HeldFile&) = delete;
  ~HeldFile();
  std::intptr_t handle = -1;
  Text path;
  // What the file held before this run: with replace, to be dropped
  // (POSIX: by the keeper).
  std::int64_t replaced = 0;
};

// Fails as OpenRunLog and AppendLines would for these lines, as far as can
// be known beforehand, and changes nothing: no directory made, no file
// made, nothing written. A log already there is opened to append to as the
// run will, judged by what was opened, and its lock tried and let go; the
// run appends through it. POSIX: rights by the effective ids, another
// user's plant, the file-size limit. Windows: the access list (the
// folder's right to add a file for a new log), the owner, the read-only
// attribute, a holder that shares no writing.
HeldFile CheckRunLog(const RunLogPlace& place, const std::vector<Text>& lines);

// The log CheckRunLog opened, or where it found none, the missing
// directories made and the log made to append to, readable by the user
// alone, refusing what another user could have planted. POSIX: mode 0600;
// in a directory group or others may write, only the user's or the
// directory owner's file with one link, a link only in a sticky directory
// and only theirs; FIFOs and devices refused at once. Windows: an access
// list for the user, SYSTEM and the Administrators alone; an existing log
// owned by anyone else refused; a holder without sharing waited for about
// two seconds.
// With replace, what a file already there holds is dropped once it is
// judged: Windows: at once; POSIX: it stays before what is appended, its
// length in replaced, until the keeper drops it (emptying the file at once
// would cost the launcher a journaled file system's block freeing).
HeldFile OpenRunLog(const RunLogPlace& place, HeldFile planned,
                    bool replace = false);

// The first line of the file at the path where a process holds it locked
// (a recording and its keeper hold their output file so for as long as
// either runs), else nothing. POSIX: flock. Windows: nothing is kept so.
std::optional<Text> LockedFileHeading(const Text& path);

// Whether the recorder's output and its end are kept in a file of their own
// for StartProcess. POSIX: yes. Windows: no; the recorder's own minimised
// console shows its output while it runs.
bool KeepsRecordingOutput();

// Appends each line with the platform's line end (POSIX: LF; Windows: CRLF)
// in one write, holding the file's lock so that runs at the same moment
// take turns (waiting about two seconds at most; POSIX: flock, Windows:
// LockFileEx on a byte past any log's end). A write that fails or falls
// short is cut back: the file holds all of the lines or none of them.
void AppendLines(HeldFile& file, const std::vector<Text>& lines);

// ---- The program and its start ----

// The file a launch command starts and the command line it gets. POSIX:
// the command as it stands, divided into words at the start by the Windows
// rules. Windows: from the program on, an unquoted program path of several
// words put in quotes, so that the program's arguments are the command's.
struct ProgramToStart {
  Text path;
  Text command_line;
  std::vector<Text> words;  // the program and its arguments, as POSIX starts
};

// The program of a launch command, found as the start finds it and checked
// to be one the system can start, with all the start needs; fails as the
// start would. POSIX: PATH searched for a name without "/"; an executable
// regular file by the effective ids, in a format the kernel runs (an ELF
// image whose interpreter is an ELF image there, a "#!" script whose
// interpreter is startable, a format registered with binfmt_misc);
// /dev/null there. Windows: the system's rules for a command line (a
// quoted first word as written, an unquoted one with each run of the words
// after it, ".exe" added), in CreateProcess's folder order; more than one
// match is refused; a PE image, or a batch or .com file. The words are the
// command's, split once (ProgramAndArguments).
ProgramToStart FindProgram(const Text& command_line,
                           const std::vector<Text>& words);

// Whether the command shell reads the program's command line (Windows: a
// batch file, run by cmd.exe), giving its own characters their meaning.
bool IsReadByCommandShell(const Text& program);

// Starts the program FindProgram found, by its path, with its command line,
// holding none of the caller's streams or handles; does not wait. POSIX:
// no shell, a session of its own, standard input on /dev/null, every other
// descriptor closed, every signal at its default and none blocked. Its
// output and error go to the output file where one is given (opened by
// OpenRunLog), appended to: then a keeper, detached the same way, waits for
// its end, keeps the file under its bound (the start and the end) and
// appends how the recording ended and what is at the target; else to
// /dev/null. Windows: a console of its own, minimised and not activated,
// out of the caller's job where the job allows it; a batch file through
// the system's cmd.exe, so that it runs the very file found.
void StartProcess(const ProgramToStart& program, HeldFile* output,
                  const Text& target_path);

}  // namespace pvr
