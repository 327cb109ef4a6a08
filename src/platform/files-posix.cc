// The job and target files on POSIX: which exist, their deletion, and
// reading a job file a piece at a time.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "platform/internal-posix.h"
#include "platform/platform.h"

namespace pvr {
namespace {

// Where a file's entry is reached: by its name inside the held folder, or
// by its whole path.
struct Entry {
  int folder;
  std::string name;
};

Entry EntryOf(const std::string& native, const HeldFolder* folder) {
  if (folder == nullptr || folder->handle < 0) return {AT_FDCWD, native};
  return {static_cast<int>(folder->handle),
          native.substr(native.rfind('/') + 1)};
}

}  // namespace

HeldFolder::~HeldFolder() {
  if (handle >= 0) close(static_cast<int>(handle));
}

HeldFolder HoldFolderOf(const Text& file_path) {
  return HeldFolder(open(DirectoryOf(NativeName(file_path)).c_str(),
                         O_PATH | O_DIRECTORY | O_CLOEXEC));
}

bool FileExists(const Text& path, const HeldFolder* folder) {
  const std::string native = NativeName(path);
  const auto slash = native.rfind('/');
  const std::string base =
      slash == std::string::npos ? native : native.substr(slash + 1);
  // Dot-files are this platform's hidden files.
  if (base.empty() || base[0] == '.') return false;
  // The entry itself: a link planted at the target is a file there, never a
  // way to have the recording written elsewhere.
  const Entry entry = EntryOf(native, folder);
  struct stat status;
  if (fstatat(entry.folder, entry.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) !=
      0) {
    // Only a missing entry is absent: a directory the user may not search
    // hides a job or a target, and the run must say so.
    if (errno == ENOENT || errno == ENOTDIR) return false;
    FailWithError(errno, path, native);
  }
  if (S_ISLNK(status.st_mode)) {
    return fstatat(entry.folder, entry.name.c_str(), &status, 0) != 0 ||
           !S_ISDIR(status.st_mode);
  }
  return S_ISREG(status.st_mode);
}

namespace {

// The processes that hold the file open for writing, as /proc shows them to
// this user: "ffmpeg (pid 4242)"; empty where none can be seen.
std::string WritersOf(const struct stat& file) {
  std::string writers;
  DIR* processes = opendir("/proc");
  while (const dirent* process = processes ? readdir(processes) : nullptr) {
    const std::string pid = process->d_name, at = "/proc/" + pid;
    DIR* descriptors = std::isdigit(static_cast<unsigned char>(pid[0]))
                           ? opendir((at + "/fd").c_str())
                           : nullptr;
    bool writes = false;
    while (const dirent* entry = descriptors ? readdir(descriptors) : nullptr) {
      struct stat open_file;
      const std::string name = entry->d_name;
      if (stat((at + "/fd/" + name).c_str(), &open_file) != 0 ||
          open_file.st_dev != file.st_dev || open_file.st_ino != file.st_ino) {
        continue;
      }
      // "flags:\t0100001": the access mode is the last octal digit.
      std::ifstream info(at + "/fdinfo/" + name);
      std::string label, flags;
      info >> label >> label >> label >> flags;
      writes = writes || (!flags.empty() && flags.back() != '0');
    }
    if (descriptors != nullptr) closedir(descriptors);
    std::string command;
    std::getline(std::ifstream(at + "/comm"), command);
    if (writes) {
      writers += (writers.empty() ? "" : ", ") + command + " (pid " + pid + ")";
    }
  }
  if (processes != nullptr) closedir(processes);
  return writers;
}

// A file some process has open for writing is a recording in progress: no
// read lease can be placed on it then. A lease is let go at once; a writer
// opening the file meanwhile would send SIGIO, whose default would end the
// run, so it is ignored (the recorder gets it back at its default).
void RequireNotBeingWritten(const Text& path, const Entry& entry,
                            const struct stat& status) {
  const OpenFile file{
      openat(entry.folder, entry.name.c_str(),
             O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY)};
  if (file.descriptor < 0) return;  // not to be judged
  signal(SIGIO, SIG_IGN);
  const bool written =
      fcntl(file.descriptor, F_SETLEASE, F_RDLCK) != 0 && errno == EAGAIN;
  fcntl(file.descriptor, F_SETLEASE, F_UNLCK);
  if (!written) return;
  const std::string writers = WritersOf(status);
  throw Failure{FailureKind::kAccessDenied, path,
                TextOf("open for writing by ") +
                    TextOfBytes(writers.empty() ? "another process" : writers) +
                    TextOf(": a recording in progress")};
}

// False for a file already gone. Without any write bit the file is
// read-only; root would unlink it all the same, so the check is ours. A
// link is removed whatever it leads to.
bool IsDeletable(const Text& path, const std::string& native,
                 const Entry& entry, struct stat& status) {
  if (fstatat(entry.folder, entry.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) !=
      0) {
    if (errno == ENOENT) return false;
    FailWithError(errno, path, native);
  }
  if (S_ISREG(status.st_mode) &&
      (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    throw Failure{FailureKind::kAccessDenied, path,
                  TextOf("the file is read-only")};
  }
  if (S_ISREG(status.st_mode)) RequireNotBeingWritten(path, entry, status);
  return true;
}

}  // namespace

void DeleteFile(const Text& path, const HeldFolder* folder) {
  // Another run of the same job may have deleted it first: it is gone,
  // which is all this step is for.
  const std::string native = NativeName(path);
  const Entry entry = EntryOf(native, folder);
  struct stat status;
  if (IsDeletable(path, native, entry, status) &&
      unlinkat(entry.folder, entry.name.c_str(), 0) != 0 && errno != ENOENT) {
    FailWithError(errno, path, native);
  }
}

void RequireRemovable(const Text& path, const struct stat& folder,
                      const struct stat& file, uid_t user) {
  // In a sticky directory (a shared /tmp or recordings share) only the
  // file's owner, the directory's or root may remove it.
  if ((folder.st_mode & S_ISVTX) != 0 && user != 0 && file.st_uid != user &&
      folder.st_uid != user) {
    throw Failure{FailureKind::kAccessDenied, path,
                  TextOf("another user's file in a sticky directory")};
  }
}

void CheckDeletable(const Text& path) {
  const std::string native = NativeName(path);
  const std::string directory = DirectoryOf(native);
  struct stat file, folder;
  if (!IsDeletable(path, native, EntryOf(native, nullptr), file)) return;
  if (stat(directory.c_str(), &folder) != 0 ||
      faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    FailWithError(errno, path, native);
  }
  RequireRemovable(path, folder, file, geteuid());
}

std::optional<Text> WhyNoFileCanBeMadeIn(const Text& directory) {
  if (faccessat(AT_FDCWD, NativeName(directory).c_str(), W_OK | X_OK,
                AT_EACCESS) == 0) {
    return std::nullopt;
  }
  return TextOf(std::strerror(errno));
}

Text ForbiddenInFileNames() { return Text(1, u'\0'); }

void ReadTextPieces(const Text& path,
                    const std::function<bool(const Text&)>& take) {
  struct stat status {};
  const OpenFile file = OpenRegularFile(path, O_RDONLY, status);
  // Outside the stack: stack-clash protection would touch every page of
  // a frame this large at each call, and a run reads one file.
  static unsigned char buffer[65536];
  static char16_t wide[sizeof buffer];
  Text piece;
  for (;;) {
    const ssize_t got = read(file.descriptor, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) FailWithError(errno, path, BytesOf(path));
    if (got == 0) return;
    if (piece.empty() && IsUtf16(reinterpret_cast<const char*>(buffer),
                                 static_cast<std::size_t>(got))) {
      throw Failure{FailureKind::kInvalidArgument, path,
                    TextOf("a UTF-16 file; a job file is read byte for byte, "
                           "as UTF-8 or another 8-bit encoding")};
    }
    // Between two arrays of its own, in blocks of a fixed size, the compiler
    // widens many bytes at a time.
    const auto size = static_cast<std::size_t>(got);
    std::size_t at = 0;
    for (; at + 256 <= size; at += 256) {
      for (std::size_t i = 0; i < 256; ++i) wide[at + i] = buffer[at + i];
    }
    for (; at < size; ++at) wide[at] = buffer[at];
    piece.assign(wide, size);
    if (!take(piece)) return;
  }
}

LineEnds JobFileLineEnds() { return LineEnds::kAny; }

}  // namespace pvr
