// The platform operations on Linux and other POSIX systems that are not
// the files', the run log's or the launch's: text and errors, the argument,
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
  // A stream at the file-size limit, or a pipe nobody reads any more (a
  // scheduler that stopped reading), must not end the run before its status.
  signal(SIGXFSZ, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  // Nothing more can be done if the stream is closed.
  if (write(to_error ? STDERR_FILENO : STDOUT_FILENO, bytes.data(),
            bytes.size()) < 0) {
    return;
  }
}

}  // namespace pvr
