// The platform operations on Linux and other POSIX systems that are not
// the run log's or the launch's: text and errors, the job and target files,
// the executable's name, the clock and the failure report. The 8-bit code
// page is the identity: each byte is the character of the same value, so
// every byte of a path or command passes through unchanged.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include "platform/internal-posix.h"
#include "platform/platform.h"

namespace pvr {

// 32-bit builds need 64-bit time and offsets: the time of day stays right
// after 2038, and a large job file is never misread as an error.
static_assert(sizeof(time_t) == 8 && sizeof(off_t) == 8);

std::string BytesOf(const Text& text) {
  std::string bytes(text.size(), '\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    // Every text here was read from bytes or written in the code as ASCII.
    bytes[i] = static_cast<char>(text[i] <= 0xFF ? text[i] : u'?');
  }
  return bytes;
}

Text TextOfBytes(const std::string& bytes) {
  Text text(bytes.size(), u'\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    text[i] = static_cast<unsigned char>(bytes[i]);
  }
  return text;
}

std::string NativeName(const Text& name) {
  if (name.find(u'\0') != Text::npos) {
    throw Failure{FailureKind::kBadFileName, name,
                  TextOf("contains a NUL character")};
  }
  return BytesOf(name);
}

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

FailureKind KindOfError(int error, const std::string& path) {
  struct stat status;
  switch (error) {
    case ENOENT:
      return stat(DirectoryOf(path).c_str(), &status) == 0 &&
                     S_ISDIR(status.st_mode)
                 ? FailureKind::kFileNotFound
                 : FailureKind::kPathNotFound;
    case ENOTDIR:
      return FailureKind::kPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case EBUSY:
    case ETXTBSY:
    case EWOULDBLOCK:
      return FailureKind::kAccessDenied;
    case ENAMETOOLONG:
    case ELOOP:
    case EILSEQ:
      return FailureKind::kBadFileName;
    case ENOMEM:
      return FailureKind::kOutOfMemory;
    default:
      return FailureKind::kInputOutput;
  }
}

void FailWithError(int error, const Text& object, const std::string& path) {
  throw Failure{KindOfError(error, path), object, TextOf(std::strerror(error))};
}

OpenFile::~OpenFile() {
  if (descriptor >= 0) close(descriptor);
}

// Non-blocking, so that a FIFO put in a file's place cannot hang the run;
// anything but a regular file is refused once open. A new file is the
// user's alone: commands may carry a tuner's or a server's password.
OpenFile OpenRegularFile(const Text& path, int flags, struct stat& status) {
  const std::string native = NativeName(path);
  OpenFile file{
      open(native.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600)};
  // A FIFO without a reader, or a device without its device.
  if (file.descriptor < 0 && errno != ENXIO) FailWithError(errno, path, native);
  if (file.descriptor >= 0 && fstat(file.descriptor, &status) != 0) {
    FailWithError(errno, path, native);
  }
  if (file.descriptor < 0 || !S_ISREG(status.st_mode)) {
    throw Failure{FailureKind::kAccessDenied, path,
                  TextOf("not a regular file")};
  }
  return file;
}

// The password file, read as it stands: a static executable cannot rely on
// the system's name services.
std::string UserEntry(unsigned uid, int field) {
  std::ifstream passwd("/etc/passwd");
  for (std::string entry; std::getline(passwd, entry);) {
    // name:password:uid:gid:gecos:home:shell
    std::vector<std::string> fields(1);
    for (char c : entry) {
      if (c == ':') {
        fields.emplace_back();
      } else {
        fields.back().push_back(c);
      }
    }
    if (fields.size() >= 7 && fields[2] == std::to_string(uid)) {
      return fields[static_cast<std::size_t>(field)];
    }
  }
  return std::string();
}

namespace {

std::string ProgramName() {
#if defined(__GLIBC__) || defined(__linux__)
  return program_invocation_name;
#else
  return getprogname();
#endif
}

std::tm LocalTimeOf(time_t seconds) {
  std::tm local{};
  localtime_r(&seconds, &local);
  return local;
}

}  // namespace

Text ArgumentText(int argc, char** argv) {
  std::string arguments;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) arguments += ' ';
    arguments += argv[i];
  }
  return TextOfBytes(arguments);
}

bool FileExists(const Text& path) {
  const std::string native = NativeName(path);
  const auto slash = native.rfind('/');
  const std::string base =
      slash == std::string::npos ? native : native.substr(slash + 1);
  // Dot-files are this platform's hidden files.
  if (base.empty() || base[0] == '.') return false;
  // The entry itself: a link planted at the target is a file there, never a
  // way to have the recording written elsewhere.
  struct stat status;
  if (lstat(native.c_str(), &status) != 0) {
    // Only a missing entry is absent: a directory the user may not search
    // hides a job or a target, and the run must say so.
    if (errno == ENOENT || errno == ENOTDIR) return false;
    FailWithError(errno, path, native);
  }
  if (S_ISLNK(status.st_mode)) {
    return stat(native.c_str(), &status) != 0 || !S_ISDIR(status.st_mode);
  }
  return S_ISREG(status.st_mode);
}

namespace {

// False for a file already gone. Without any write bit the file is
// read-only; root would unlink it all the same, so the check is ours. A
// link is removed whatever it leads to.
bool IsDeletable(const Text& path, const std::string& native,
                 struct stat& status) {
  if (lstat(native.c_str(), &status) != 0) {
    if (errno == ENOENT) return false;
    FailWithError(errno, path, native);
  }
  if (S_ISREG(status.st_mode) &&
      (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    throw Failure{FailureKind::kAccessDenied, path,
                  TextOf("the file is read-only")};
  }
  return true;
}

}  // namespace

void DeleteFile(const Text& path) {
  // Another run of the same job may have deleted it first: it is gone,
  // which is all this step is for.
  const std::string native = NativeName(path);
  struct stat status;
  if (IsDeletable(path, native, status) && unlink(native.c_str()) != 0 &&
      errno != ENOENT) {
    FailWithError(errno, path, native);
  }
}

void CheckDeletable(const Text& path) {
  const std::string native = NativeName(path);
  const std::string directory = DirectoryOf(native);
  struct stat file, folder;
  if (!IsDeletable(path, native, file)) return;
  if (stat(directory.c_str(), &folder) != 0 ||
      faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    FailWithError(errno, path, native);
  }
  // In a sticky directory (a shared /tmp or recordings share) only the
  // file's owner, the directory's or root may remove it.
  const auto user = geteuid();
  if ((folder.st_mode & S_ISVTX) != 0 && user != 0 && file.st_uid != user &&
      folder.st_uid != user) {
    throw Failure{FailureKind::kAccessDenied, path,
                  TextOf("another user's file in a sticky directory")};
  }
}

Text ForbiddenInFileNames() { return Text(1, u'\0'); }

void ReadTextPieces(const Text& path,
                    const std::function<bool(const Text&)>& take) {
  struct stat status;
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

Text PathSeparator() { return TextOf("/"); }

Text ExecutableBaseName() {
  char buffer[4096];
  const ssize_t size = readlink("/proc/self/exe", buffer, sizeof buffer);
  std::string name;
  if (size > 0 && static_cast<std::size_t>(size) < sizeof buffer) {
    name.assign(buffer, static_cast<std::size_t>(size));
    // What the kernel adds when the file was replaced during the run.
    const std::string deleted = " (deleted)";
    if (name.size() > deleted.size() &&
        name.compare(name.size() - deleted.size(), deleted.size(), deleted) ==
            0) {
      name.erase(name.size() - deleted.size());
    }
  } else {
    // Without /proc: the name the program was started by.
    name = ProgramName();
  }
  const auto slash = name.rfind('/');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  const auto dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return TextOfBytes(name.empty() ? "pvr-launch" : name);
}

double SecondsSinceMidnight() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const std::tm local = LocalTimeOf(now.tv_sec);
  return local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec +
         now.tv_nsec / 1e9;
}

double MonotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

ClockTime TimeOfDay() {
  const std::tm local = LocalTimeOf(time(nullptr));
  return ClockTime{local.tm_hour, local.tm_min, local.tm_sec};
}

// No window events here: one sleep to the deadline, resumed after a signal.
void DispatchEventsUntil(double monotonic_seconds) {
  const double whole = std::floor(monotonic_seconds);
  const timespec deadline{static_cast<time_t>(whole),
                          static_cast<long>((monotonic_seconds - whole) * 1e9)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) ==
         EINTR) {
  }
}

void ReportFailure(const Failure& failure) {
  PrintLine(ExecutableBaseName() + TextOf(": ") + FailureReport(failure), true);
}

void PrintLine(const Text& line, bool to_error) {
  const std::string bytes = BytesOf(line) + '\n';
  // A stream at the file-size limit must not end the run unreported.
  signal(SIGXFSZ, SIG_IGN);
  // Nothing more can be done if the stream is closed.
  if (write(to_error ? STDERR_FILENO : STDOUT_FILENO, bytes.data(),
            bytes.size()) < 0) {
    return;
  }
}

}  // namespace pvr
