// The platform operations on Linux and other POSIX systems. The 8-bit code
// page is the identity: each byte is the character of the same value, so
// every byte of a path or command passes through unchanged.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
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

#include "platform/platform.h"
#include "text/command_line.h"

extern char** environ;

namespace pvr {
namespace {

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

Text TextOfBytes(const char* bytes, std::size_t size) {
  Text text(size, u'\0');
  for (std::size_t i = 0; i < size; ++i) {
    text[i] = static_cast<unsigned char>(bytes[i]);
  }
  return text;
}

Text TextOfBytes(const std::string& bytes) {
  return TextOfBytes(bytes.data(), bytes.size());
}

// The system would stop reading a path at a NUL and see another file.
std::string NativeName(const Text& name) {
  if (name.find(u'\0') != Text::npos) {
    throw Failure{FailureKind::kBadFileName, name,
                  TextOf("contains a NUL character")};
  }
  return BytesOf(name);
}

// The directory part of a path, "." for a bare name.
std::string DirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

bool IsDirectory(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

FailureKind KindOfError(int error, const std::string& path) {
  switch (error) {
    case ENOENT:
      return IsDirectory(DirectoryOf(path)) ? FailureKind::kFileNotFound
                                            : FailureKind::kPathNotFound;
    case ENOTDIR:
      return FailureKind::kPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case EBUSY:
    case ETXTBSY:
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

[[noreturn]] void FailWithError(int error, const Text& object,
                                const std::string& path) {
  throw Failure{KindOfError(error, path), object, TextOf(std::strerror(error))};
}

[[noreturn]] void FailNotRegular(const Text& path) {
  throw Failure{FailureKind::kAccessDenied, path, TextOf("not a regular file")};
}

// Closes on every way out, failures included.
struct OpenFile {
  explicit OpenFile(int opened) : descriptor(opened) {}
  OpenFile(OpenFile&& other) noexcept : descriptor(other.descriptor) {
    other.descriptor = -1;
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() {
    if (descriptor >= 0) close(descriptor);
  }
  int descriptor;
};

// Non-blocking, so that a FIFO put in a file's place cannot hang the run;
// anything but a regular file is refused once open. A new file is the
// user's alone: commands may carry a tuner's or a server's password.
OpenFile OpenRegularFile(const Text& path, int flags, struct stat& status) {
  const std::string native = NativeName(path);
  OpenFile file{
      open(native.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600)};
  // A FIFO without a reader, or a device without its device.
  if (file.descriptor < 0 && errno == ENXIO) FailNotRegular(path);
  if (file.descriptor < 0) FailWithError(errno, path, native);
  if (fstat(file.descriptor, &status) != 0) FailWithError(errno, path, native);
  if (!S_ISREG(status.st_mode)) FailNotRegular(path);
  return file;
}

[[noreturn]] void FailPlanted(const Text& path, const char* what) {
  throw Failure{FailureKind::kAccessDenied, path,
                TextOf(what) + TextOf(" in a shared directory")};
}

// HOME, or the user's entry in the password file: a static executable
// cannot rely on the system's name services.
std::string HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  std::ifstream passwd("/etc/passwd");
  const std::string uid = std::to_string(geteuid());
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
    if (fields.size() >= 6 && fields[2] == uid) return fields[5];
  }
  return std::string();
}

// Opens a file to append to, made when create is O_CREAT. Where group or
// others may write, another user can plant a link or a file at the name:
// only the user's or the directory owner's file is taken, judged on what
// was opened, as the kernel's protected_regular would, and a link only in a
// sticky directory, where nobody else can swap it, and only the user's or
// the owner's. A second hard link may be another user's file linked in
// where fs.protected_hardlinks is off: refused.
OpenFile OpenForAppending(const Text& path, int create) {
  const std::string native = NativeName(path);
  struct stat directory, status;
  if (stat(DirectoryOf(native).c_str(), &directory) != 0) {
    FailWithError(errno, path, native);
  }
  const bool shared = (directory.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  const auto own = [&](const struct stat& file) {
    return file.st_uid == geteuid() || file.st_uid == directory.st_uid;
  };
  bool followed = false;
  if (shared && lstat(native.c_str(), &status) == 0 &&
      S_ISLNK(status.st_mode)) {
    if ((directory.st_mode & S_ISVTX) == 0 || !own(status)) {
      FailPlanted(path, "a symbolic link");
    }
    followed = true;
  }
  OpenFile file = OpenRegularFile(
      path,
      O_WRONLY | O_APPEND | create | (shared && !followed ? O_NOFOLLOW : 0),
      status);
  if (shared && !followed && (!own(status) || status.st_nlink > 1)) {
    FailPlanted(path, own(status) ? "a file with more than one hard link"
                                  : "a file of another user");
  }
  return file;
}

bool IsOwnDirectory(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
         status.st_uid == geteuid();
}

// The per-user state directory, made where missing, or empty where the user
// has no home of their own or it cannot be made or written. The deepest
// directory that exists on the way must be the user's: a root run that kept
// another user's HOME makes nothing there.
std::string OwnStateDirectory() {
  const char* state_home = std::getenv("XDG_STATE_HOME");
  std::string state =
      state_home != nullptr && state_home[0] == '/' ? state_home : "";
  if (state.empty()) {
    std::string home = HomeDirectory();
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    if (home.empty() || home[0] != '/' || !IsOwnDirectory(home)) return "";
    state = (home == "/" ? "" : home) + "/.local/state";
  }
  const std::string directory = state + "/pvr-launch";
  auto made = directory.size();
  struct stat status;
  while (made > 0 && stat(directory.substr(0, made).c_str(), &status) != 0) {
    made = directory.rfind('/', made - 1);
  }
  if (!IsOwnDirectory(made == 0 ? "/" : directory.substr(0, made))) return "";
  while (made < directory.size()) {
    made = std::min(directory.find('/', made + 1), directory.size());
    if (mkdir(directory.substr(0, made).c_str(), 0700) != 0) return "";
  }
  return faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) == 0
             ? directory
             : "";
}

// The fallback in the system's shared temporary space, kept across
// reboots where /var/tmp is there. Others may create the name first: an
// existing one must be a real directory of the user's, open to nobody else.
std::string PrivateTemporaryDirectory() {
  const std::string directory =
      (IsDirectory("/var/tmp") ? "/var/tmp" : "/tmp") +
      std::string("/pvr-launch-") + std::to_string(geteuid());
  const Text name = TextOfBytes(directory);
  struct stat status;
  if ((mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) ||
      lstat(directory.c_str(), &status) != 0) {
    FailWithError(errno, name, directory);
  }
  if (!S_ISDIR(status.st_mode) || status.st_uid != geteuid() ||
      (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    throw Failure{FailureKind::kAccessDenied, name,
                  TextOf("not a directory of this user's alone")};
  }
  return directory;
}

// The program as the PATH search finds it, checked before the spawn: that
// it is missing or not executable must not rest on the spawn reporting a
// failed exec, which a C library's fork-based spawn or an emulator does not.
std::string ProgramPath(const Text& program) {
  const std::string name = NativeName(program);
  // A name holding a slash is a path of its own; others are searched for.
  const char* search = std::getenv("PATH");
  const std::string directories = name.find('/') != std::string::npos ? ""
                                  : search != nullptr                 ? search
                                                      : "/bin:/usr/bin";
  int error = ENOENT;
  for (std::size_t from = 0; from <= directories.size();) {
    auto colon = directories.find(':', from);
    if (colon == std::string::npos) colon = directories.size();
    const std::string directory = directories.substr(from, colon - from);
    const std::string path = directory.empty() ? name : directory + "/" + name;
    from = colon + 1;
    // As the system's exec judges: by the effective ids, and a directory
    // on the way that may not be searched makes access denied.
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
      if (errno != ENOENT && errno != ENOTDIR) error = errno;
    } else if (S_ISREG(status.st_mode) &&
               faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0) {
      return path;
    } else {
      error = EACCES;
    }
  }
  if (error == ENOENT) {
    throw Failure{FailureKind::kProgramNotFound, program,
                  TextOf(std::strerror(error))};
  }
  FailWithError(error, program, name);
}

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
bool IsDeletable(const Text& path, const std::string& native) {
  struct stat status;
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
  if (IsDeletable(path, native) && unlink(native.c_str()) != 0 &&
      errno != ENOENT) {
    FailWithError(errno, path, native);
  }
}

void CheckDeletable(const Text& path) {
  const std::string native = NativeName(path);
  if (IsDeletable(path, native) &&
      faccessat(AT_FDCWD, DirectoryOf(native).c_str(), W_OK | X_OK,
                AT_EACCESS) != 0) {
    FailWithError(errno, path, native);
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

void AppendTextLines(const Text& path, const std::vector<Text>& lines) {
  std::string record;
  for (const Text& line : lines) record += BytesOf(line) + '\n';
  const OpenFile file = OpenForAppending(path, O_CREAT);
  // One write to a file opened for appending: records of runs logging at
  // the same moment never interleave.
  std::size_t written = 0;
  while (written < record.size()) {
    const ssize_t put = write(file.descriptor, record.data() + written,
                              record.size() - written);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) FailWithError(errno, path, BytesOf(path));
    written += static_cast<std::size_t>(put);
  }
}

void CheckAppendable(const Text& path) {
  const std::string native = NativeName(path);
  struct stat status;
  if (lstat(native.c_str(), &status) == 0) {
    OpenForAppending(path, 0);
  } else if (errno != ENOENT || faccessat(AT_FDCWD, DirectoryOf(native).c_str(),
                                          W_OK | X_OK, AT_EACCESS) != 0) {
    FailWithError(errno, path, native);
  }
}

Text RunLogDirectory() {
  // TEMP is rarely set here; TMPDIR is the platform's own name for it.
  for (const char* name : {"TEMP", "TMPDIR"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return TextOf(value);
  }
  const std::string own = OwnStateDirectory();
  return TextOfBytes(own.empty() ? PrivateTemporaryDirectory() : own);
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

Text FindProgram(const Text& command_line) {
  return TextOfBytes(ProgramPath(ProgramAndArguments(command_line)[0]));
}

void StartProcess(const Text& command_line) {
  NativeName(command_line);  // refuses a NUL before anything starts
  const std::vector<Text> words = ProgramAndArguments(command_line);
  const std::string program = ProgramPath(words[0]);
  std::vector<std::string> arguments;
  for (const Text& word : words) arguments.push_back(BytesOf(word));
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  // A session of its own keeps the caller's terminal, hang-ups and Ctrl-C
  // away from the recording. It holds none of the caller's streams or other
  // descriptors, so a caller reading the launcher's output is not kept
  // waiting for the recording's end, nor a scheduler's port or lock held
  // for its length; signals the caller blocks or ignores are the
  // recording's to handle again. /dev/null is opened here, so that a
  // system without it is reported as such, not as a missing program.
  const OpenFile null_device{open("/dev/null", O_RDWR | O_CLOEXEC | O_NOCTTY)};
  if (null_device.descriptor < 0) {
    FailWithError(errno, TextOf("/dev/null"), "/dev/null");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    posix_spawn_file_actions_adddup2(&actions, null_device.descriptor, stream);
  }
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t no_signals, all_signals;
  sigemptyset(&no_signals);
  sigfillset(&all_signals);
  posix_spawnattr_setsigmask(&attributes, &no_signals);
  posix_spawnattr_setsigdefault(&attributes, &all_signals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID |
                                            POSIX_SPAWN_SETSIGMASK |
                                            POSIX_SPAWN_SETSIGDEF);
  pid_t child = 0;
  const int error = posix_spawn(&child, program.c_str(), &actions, &attributes,
                                argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error == 0) return;
  if (error == ENOENT) {
    throw Failure{FailureKind::kProgramNotFound, words[0],
                  TextOf(std::strerror(error))};
  }
  if (error == ENOEXEC) {
    throw Failure{FailureKind::kNotAProgram, words[0],
                  TextOf(std::strerror(error))};
  }
  FailWithError(error, words[0], program);
}

void ReportFailure(const Failure& failure) {
  PrintLine(ExecutableBaseName() + TextOf(": ") + FailureReport(failure), true);
}

void PrintLine(const Text& line, bool to_error) {
  const std::string bytes = BytesOf(line) + '\n';
  // Nothing more can be done if the stream is closed.
  if (write(to_error ? STDERR_FILENO : STDOUT_FILENO, bytes.data(),
            bytes.size()) < 0) {
    return;
  }
}

}  // namespace pvr
