// Helpers that the POSIX files of this folder share; nothing outside it
// includes this header.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>
#include <string>

#include "platform/platform.h"

namespace pvr {

// Each byte is the character of the same value and back: the code page is
// the identity, so every byte of a path or command passes unchanged.
std::string BytesOf(const Text& text);
Text TextOfBytes(const std::string& bytes);

// The name as the system takes it; one holding a NUL character, which the
// system would read as a shorter name, is a bad file name.
std::string NativeName(const Text& name);

// The directory part of a path, "." for a bare name.
std::string DirectoryOf(const std::string& path);

FailureKind KindOfError(int error, const std::string& path);
[[noreturn]] void FailWithError(int error, const Text& object,
                                const std::string& path);

// Closes on every way out, failures included.
struct OpenFile {
  explicit OpenFile(int opened) : descriptor(opened) {}
  OpenFile(OpenFile&& other) noexcept : descriptor(other.descriptor) {
    other.descriptor = -1;
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile();
  int descriptor;
};

// Opened without blocking on a FIFO or a device, and refused unless it is a
// regular file; status is what was opened.
OpenFile OpenRegularFile(const Text& path, int flags, struct stat& status);

// The rules over what the system says of an entry, its folder and the
// user's id: each throws access denied, with why, where the entry is not
// the user's to take. The plan calls them with what it looked up, the act
// with what it opened.
// A link in a folder others may write is taken only in a sticky one, and
// only the user's or the folder owner's.
void RequireOwnLink(const Text& path, const struct stat& folder,
                    const struct stat& link, uid_t user);
// A regular file; in a folder others may write, only the user's or the
// folder owner's, with one link.
void RequireOwnFile(const Text& path, const struct stat& folder,
                    const struct stat& file, uid_t user);
// A directory of the user's that nobody else may open.
void RequirePrivateDirectory(const Text& path, const struct stat& status,
                             uid_t user);
// In a sticky folder, only the file's owner, the folder's or root removes
// a file.
void RequireRemovable(const Text& path, const struct stat& folder,
                      const struct stat& file, uid_t user);

// The field of a user's entry in the user database: 0 the name, 5 the home.
std::string UserEntry(unsigned uid, int field);

// Whether the bytes begin an ELF image this machine runs (any machine's
// where asked); the interpreter it names, where the bytes hold the name,
// goes to interpreter.
bool IsNativeImage(const std::string& header, std::string& interpreter,
                   bool any_machine = false);

// Whether the bytes hold no control character but white space: no binary
// format's first bytes.
bool IsPlainText(const std::string& bytes);

// The interpreter a "#!" line names, as the kernel reads it: the first
// word after "#!" in its first 256 bytes, ended by a space, a tab, a NUL
// or the line's end; "" where there is none or the kernel would cut it.
std::string ScriptInterpreter(std::string header);

// Whether a format registered with binfmt_misc (qemu, Wine, Java), in the
// folder of its registrations, takes a file of this path beginning with
// header.
bool IsRegisteredFormat(
    const std::string& path, std::string header,
    const std::string& folder = "/proc/sys/fs/binfmt_misc/");
// Whether a binfmt_misc registration, as its file under /proc reads, takes
// a file of this path beginning with header: a magic at an offset under a
// mask, or an extension.
bool TakesFormat(const std::string& registration, const std::string& path,
                 const std::string& header);

// Puts these on 0 to 3 (3 closed at an exec) and closes every other
// descriptor; each is moved clear of 0 to 3 first, lest one be overwritten
// before it is taken (a caller may have left 0 to 2 closed). System calls
// only, for a child between vfork and exec. False, with errno set, where
// no descriptor was left to move one to.
bool KeepOnlyDescriptors(const int (&kept)[4]);

// Starts the program in a session of its own, every signal at its default
// and none blocked, standard input on null_device, output and error on
// output, no other descriptor; the error number of a failed start, else 0.
int SpawnRecorder(const std::string& path, char* const argv[], int null_device,
                  int output, pid_t& child);

// In a process forked for it: starts the recorder with its output on
// output, reports the start's error number on report, then lets go of all
// that is the caller's (its session, streams and descriptors), waits for
// the recorder's end, keeping the output file under its bound, and appends
// how the recording ended. The first replaced bytes, the last recording's
// output, are dropped once the launcher has its word. Never returns.
[[noreturn]] void KeepRecording(const std::string& path, char* const argv[],
                                int null_device, int output, off_t replaced,
                                int report, const std::string& output_path,
                                const std::string& target);

// Cuts the output file back to its start and its end once it is past its
// bound, with a line where it was cut; what is appended meanwhile is kept.
void TrimOutput(int output);

// The line that ends a recording's output: when it ended, after how long,
// its exit status or the signal that ended it (as waitpid gives them), and
// what the target then is ("a file of 1234 bytes", size; "no file", -1).
std::string EndLine(const std::tm& when, long seconds, int status,
                    long long target_size);

}  // namespace pvr
