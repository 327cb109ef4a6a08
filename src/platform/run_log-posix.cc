// The run log on POSIX: where it lives for each account, how it is kept
// the user's own in a directory others may write, and how a record is
// appended whole.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/internal-posix.h"
#include "platform/platform.h"

namespace pvr {
namespace {

bool IsShared(const struct stat& directory) {
  return (directory.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool IsOwnDirectory(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
         status.st_uid == geteuid();
}

[[noreturn]] void FailPlanted(const Text& path, const char* what) {
  throw Failure{FailureKind::kAccessDenied, path,
                TextOf(what) + TextOf(" in a shared directory")};
}

bool MayWriteIn(const std::string& directory) {
  return faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

// Runs at the same moment take turns, so that cutting back a failed write
// never takes another run's record: false where another program held the
// lock for about two seconds. A file system without locks is written to
// all the same.
bool LockInTurn(int descriptor) {
  for (int waited = 0; flock(descriptor, LOCK_EX | LOCK_NB) != 0; ++waited) {
    if (errno != EWOULDBLOCK && errno != EINTR) return true;
    if (waited == 40) return false;
    usleep(50000);
  }
  return true;
}

[[noreturn]] void FailLocked(const Text& path) {
  throw Failure{FailureKind::kAccessDenied, path,
                TextOf("locked by another program")};
}

// The folder of the file a symbolic link names.
std::string LinkedFolder(const std::string& link) {
  std::string target(PATH_MAX, '\0');
  const ssize_t length = readlink(link.c_str(), target.data(), target.size());
  target.resize(length < 0 ? 0 : static_cast<std::size_t>(length));
  return DirectoryOf(target.starts_with('/') ? target
                                             : DirectoryOf(link) + target);
}

// The per-user state directory and those of its directories still to be
// made, or false where the user has no home of their own or cannot write
// there. "/" is nobody's home, root's included (a service's DynamicUser
// runs with HOME=/). The deepest directory that exists on the way must be
// the user's: a root run that kept another user's HOME makes nothing there.
bool FindOwnStateDirectory(RunLogPlace& place) {
  const char* state_home = std::getenv("XDG_STATE_HOME");
  std::string state =
      state_home != nullptr && state_home[0] == '/' ? state_home : "";
  if (state.empty()) {
    const char* home_value = std::getenv("HOME");
    std::string home = home_value != nullptr && home_value[0] != '\0'
                           ? home_value
                           : UserEntry(geteuid(), 5);
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    if (home.size() < 2 || home[0] != '/' || !IsOwnDirectory(home)) {
      return false;
    }
    state = home + "/.local/state";
  }
  const std::string directory = state + "/pvr-launch";
  auto made = directory.size();
  struct stat status;
  while (made > 0 && stat(directory.substr(0, made).c_str(), &status) != 0) {
    made = directory.rfind('/', made - 1);
  }
  const std::string deepest = made == 0 ? "/" : directory.substr(0, made);
  if (!IsOwnDirectory(deepest) || !MayWriteIn(deepest)) return false;
  place.path = TextOfBytes(directory);
  while (made < directory.size()) {
    made = std::min(directory.find('/', made + 1), directory.size());
    place.directories_to_make.push_back(TextOfBytes(directory.substr(0, made)));
  }
  return true;
}

// The fallback in the system's shared temporary space: /var/tmp, kept
// across reboots, where it can be written; else /tmp, as on a read-only
// root with a tmpfs /tmp.
RunLogPlace PrivateTemporaryDirectory() {
  const std::string directory = (MayWriteIn("/var/tmp") ? "/var/tmp" : "/tmp") +
                                std::string("/pvr-launch-") +
                                std::to_string(geteuid());
  RunLogPlace place{TextOfBytes(directory), {}};
  struct stat status;
  if (lstat(directory.c_str(), &status) == 0) {
    RequirePrivateDirectory(place.path, status, geteuid());
  } else if (errno == ENOENT) {
    place.directories_to_make.push_back(place.path);
  } else {
    FailWithError(errno, place.path, directory);
  }
  return place;
}

// Made with the owner's rights in full whatever the umask. One already
// there counts when it is the user's own private directory: another run of
// the user's made it a moment earlier.
void MakeDirectories(const RunLogPlace& place) {
  for (const Text& directory : place.directories_to_make) {
    const std::string native = NativeName(directory);
    struct stat status;
    if (mkdir(native.c_str(), 0700) == 0) {
      if (chmod(native.c_str(), 0700) != 0) {
        FailWithError(errno, directory, native);
      }
    } else if (errno != EEXIST || lstat(native.c_str(), &status) != 0) {
      FailWithError(errno, directory, native);
    } else {
      RequirePrivateDirectory(directory, status, geteuid());
    }
  }
}

// Opened as the run appends, and judged by what was opened, so that
// nothing swapped in after the look at the name is written to. A link is
// followed only where RequireOwnLink took it.
OpenFile OpenToAppend(const Text& path, const struct stat& directory, bool link,
                      int create, struct stat& file) {
  OpenFile opened =
      OpenRegularFile(path,
                      O_WRONLY | O_APPEND | create |
                          (IsShared(directory) && !link ? O_NOFOLLOW : 0),
                      file);
  if (!link) RequireOwnFile(path, directory, file, geteuid());
  return opened;
}

}  // namespace

// Where group or others may write, another user can plant a link or a file
// at the name. A link is taken only in a sticky directory, where nobody
// else can swap it, and only the user's or the directory owner's.
void RequireOwnLink(const Text& path, const struct stat& directory,
                    const struct stat& link, uid_t user) {
  if (IsShared(directory) &&
      ((directory.st_mode & S_ISVTX) == 0 ||
       (link.st_uid != user && link.st_uid != directory.st_uid))) {
    FailPlanted(path, "a symbolic link");
  }
}

// Only the user's or the directory owner's file is taken, as the kernel's
// protected_regular would; a second hard link may be another user's file
// linked in where fs.protected_hardlinks is off.
void RequireOwnFile(const Text& path, const struct stat& directory,
                    const struct stat& file, uid_t user) {
  if (!S_ISREG(file.st_mode)) {
    throw Failure{FailureKind::kAccessDenied, path,
                  TextOf("not a regular file")};
  }
  const bool own = file.st_uid == user || file.st_uid == directory.st_uid;
  if (IsShared(directory) && (!own || file.st_nlink > 1)) {
    FailPlanted(path, own ? "a file with more than one hard link"
                          : "a file of another user");
  }
}

// Anyone may make the name first in a shared place: only a real directory
// of the user's, open to nobody else, is used.
void RequirePrivateDirectory(const Text& path, const struct stat& status,
                             uid_t user) {
  if (S_ISDIR(status.st_mode) && status.st_uid == user &&
      (status.st_mode & (S_IRWXG | S_IRWXO)) == 0) {
    return;
  }
  const std::string owner = UserEntry(status.st_uid, 0);
  throw Failure{
      FailureKind::kAccessDenied, path,
      TextOf("not a directory of this user's alone; it belongs to ") +
          TextOfBytes(owner.empty() ? "uid " + std::to_string(status.st_uid)
                                    : owner)};
}

HeldFile::HeldFile(HeldFile&& other) noexcept
    : handle(std::exchange(other.handle, -1)),
      path(other.path),
      replaced(other.replaced) {}

HeldFile::~HeldFile() {
  if (handle >= 0) close(static_cast<int>(handle));
}

RunLogPlace FindRunLogPlace(const Text& file_name) {
  // TEMP is rarely set here; TMPDIR is the platform's own name for it, and
  // a service manager names the logs directory it gives a service.
  RunLogPlace place;
  for (const std::string name : {"TEMP", "TMPDIR", "LOGS_DIRECTORY"}) {
    const char* value = std::getenv(name.c_str());
    std::string directory = value != nullptr ? value : "";
    // systemd separates a service's logs directories with colons.
    if (name == "LOGS_DIRECTORY") {
      directory.resize(std::min(directory.find(':'), directory.size()));
    }
    if (!directory.empty()) {
      place.path = TextOfBytes(directory);
      break;
    }
  }
  if (place.path.empty() && !FindOwnStateDirectory(place)) {
    place = PrivateTemporaryDirectory();
  }
  place.path += TextOf("/") + file_name;
  return place;
}

HeldFile CheckRunLog(const RunLogPlace& place, const std::vector<Text>& lines) {
  const std::string native = NativeName(place.path);
  const std::string folder =
      place.directories_to_make.empty()
          ? DirectoryOf(native)
          : DirectoryOf(BytesOf(place.directories_to_make[0]));
  struct stat directory, entry, file;
  if (stat(folder.c_str(), &directory) != 0) {
    FailWithError(errno, place.path, native);
  }
  HeldFile held;
  const bool there =
      place.directories_to_make.empty() && lstat(native.c_str(), &entry) == 0;
  const bool link = there && S_ISLNK(entry.st_mode);
  if (link) RequireOwnLink(place.path, directory, entry, geteuid());
  if (there && (!link || stat(native.c_str(), &file) == 0)) {
    // Nothing but a regular file is opened: no FIFO or device is woken.
    if (!S_ISREG((link ? file : entry).st_mode)) {
      throw Failure{FailureKind::kAccessDenied, place.path,
                    TextOf("not a regular file")};
    }
    OpenFile opened = OpenToAppend(place.path, directory, link, 0, file);
    // A lock another program holds throughout the wait is found before
    // anything changes; it is let go at once, so that runs starting
    // together do not wait out each other's pause.
    if (!LockInTurn(opened.descriptor)) FailLocked(place.path);
    flock(opened.descriptor, LOCK_UN);
    held = HeldFile{std::exchange(opened.descriptor, -1), place.path};
    held.replaced = file.st_size;
  } else if (link && errno != ENOENT) {  // a loop, a folder not searchable
    FailWithError(errno, place.path, native);
  } else if (!MayWriteIn(link ? LinkedFolder(native) : folder)) {
    // A link to no file: the open makes the file it names, in its folder.
    FailWithError(errno, place.path, native);
  }
  std::size_t record = 0;
  for (const Text& line : lines) record += line.size() + 1;
  struct rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      static_cast<rlim_t>(held.replaced) + record > limit.rlim_cur) {
    FailWithError(EFBIG, place.path, native);
  }
  return held;
}

HeldFile OpenRunLog(const RunLogPlace& place, HeldFile planned, bool replace) {
  if (planned.handle >= 0) {
    if (!replace) planned.replaced = 0;
    return planned;
  }
  MakeDirectories(place);
  const std::string native = NativeName(place.path);
  struct stat directory, entry, file;
  if (stat(DirectoryOf(native).c_str(), &directory) != 0) {
    FailWithError(errno, place.path, native);
  }
  const bool missing = lstat(native.c_str(), &entry) != 0 && errno == ENOENT;
  const bool link = !missing && S_ISLNK(entry.st_mode);
  if (link) RequireOwnLink(place.path, directory, entry, geteuid());
  // Made by this open: at the name, or where a link to no file points.
  const bool made = missing || (link && stat(native.c_str(), &file) != 0);
  OpenFile opened = OpenToAppend(place.path, directory, link, O_CREAT, file);
  // Whatever the umask, a new log is the user's to write, and nobody
  // else's to read: commands may carry a tuner's or a server's password.
  if (made && file.st_uid == geteuid() &&
      fchmod(opened.descriptor, 0600) != 0) {
    FailWithError(errno, place.path, native);
  }
  HeldFile held{std::exchange(opened.descriptor, -1), place.path};
  if (replace) held.replaced = file.st_size;
  return held;
}

std::optional<Text> LockedFileHeading(const Text& path) {
  const std::string native = NativeName(path);
  const OpenFile file{open(native.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW |
                                               O_CLOEXEC | O_NOCTTY)};
  if (file.descriptor < 0 || flock(file.descriptor, LOCK_SH | LOCK_NB) == 0 ||
      errno != EWOULDBLOCK) {
    return std::nullopt;
  }
  std::string heading(256, '\0');
  const ssize_t got = read(file.descriptor, heading.data(), heading.size());
  heading.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
  return TextOfBytes(heading.substr(0, heading.find('\n')));
}

bool KeepsRecordingOutput() { return true; }

void AppendLines(HeldFile& file, const std::vector<Text>& lines) {
  std::string record;
  for (const Text& line : lines) record += BytesOf(line) + '\n';
  const int descriptor = static_cast<int>(file.handle);
  const std::string native = BytesOf(file.path);
  // A write beyond the file-size limit fails and is reported; it must not
  // end the run unreported. The recorder gets every signal back at its
  // default.
  signal(SIGXFSZ, SIG_IGN);
  if (!LockInTurn(descriptor)) FailLocked(file.path);
  for (std::size_t written = 0; written < record.size();) {
    const ssize_t put =
        write(descriptor, record.data() + written, record.size() - written);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) {
      // Half a record would have the next one glued to it: none instead.
      // Under the lock, what this run wrote is all that came since.
      const int error = errno;
      struct stat now;
      if (fstat(descriptor, &now) != 0 ||
          ftruncate(descriptor, now.st_size - static_cast<off_t>(written)) !=
              0) {
        FailWithError(errno, file.path, native);
      }
      FailWithError(error, file.path, native);
    }
    written += static_cast<std::size_t>(put);
  }
}

}  // namespace pvr
