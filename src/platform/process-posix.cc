// The program of a launch command on POSIX: found as the start finds it,
// checked to be a file the kernel starts, and started detached.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/internal-posix.h"
#include "platform/platform.h"
#include "text/command_line.h"

extern char** environ;

namespace pvr {
namespace {

// The program as the PATH search finds it. That it is missing or not
// executable is known before anything changes, not only once the start
// fails, by then after the target's deletion.
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

// The start of a file, as much as the kernel looks at to tell its format
// and more, so that an ELF image's program headers are mostly in it; empty
// where it cannot be read (a program the user may run but not read), and
// then read false.
std::string Header(const std::string& path, bool* read_it = nullptr) {
  std::string header(4096, '\0');
  const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  const ssize_t got = file < 0 ? -1 : read(file, header.data(), header.size());
  if (file >= 0) close(file);
  header.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
  if (read_it != nullptr) *read_it = got >= 0;
  return header;
}

// Whether the file starts as an ELF image, whatever its machine.
bool HasElfMagic(const std::string& header) {
  return header.compare(0, 4, "\177ELF") == 0;
}

// A whole number of size bytes at the offset, in the image's byte order;
// 0 past the end.
std::uint64_t Field(const std::string& bytes, std::uint64_t at,
                    std::size_t size, bool big_endian) {
  if (at + size > bytes.size()) return 0;
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) {
    const auto byte = static_cast<unsigned char>(
        bytes[static_cast<std::size_t>(at) + (big_endian ? i : size - 1 - i)]);
    value = value << 8 | byte;
  }
  return value;
}

// The machines this build's kernel runs natively: its own and, on 64-bit
// ones, their 32-bit kind.
bool IsNativeMachine(std::uint64_t machine) {
#if defined(__x86_64__) || defined(__i386__)
  return machine == 62 || machine == 3;
#elif defined(__aarch64__) || defined(__arm__)
  return machine == 183 || machine == 40;
#else
  return machine != 0;
#endif
}

}  // namespace

// Where the registrations cannot be read (not mounted here, as in most
// containers), the kernel may still have some: no file is refused for its
// format alone then, but plain text without an extension, which only a
// registration by its first bytes could take and none takes.
bool IsRegisteredFormat(const std::string& path, std::string header,
                        const std::string& folder) {
  const std::string state = Header(folder + "status");
  DIR* entries = opendir(folder.c_str());
  if (state.empty() || entries == nullptr) {
    if (entries != nullptr) closedir(entries);
    const auto name = path.rfind('/') + 1;
    return path.find('.', name) != std::string::npos || !IsPlainText(header);
  }
  header.resize(256, '\0');  // what the kernel compares, zeros past the end
  bool taken = false;
  while (const dirent* entry =
             state.rfind("enabled", 0) == 0 ? readdir(entries) : nullptr) {
    taken = taken || TakesFormat(Header(folder + entry->d_name), path, header);
  }
  closedir(entries);
  return taken;
}

namespace {

void RequireStartable(const Text& program, const std::string& path, int depth);

// The interpreter a script or an image names must be there, a script's
// startable itself, an image's an ELF image, which the kernel loads
// itself (else the start fails with EIO or ELIBBAD); its absence is
// reported by its own name.
void RequireInterpreter(const Text& program, const std::string& interpreter,
                        int depth) {
  const Text name = TextOfBytes(interpreter);
  const Text of = TextOf("the interpreter of ") + program;
  struct stat status;
  if (interpreter.empty()) {
    throw Failure{FailureKind::kNotAProgram, program,
                  TextOf("names no interpreter")};
  }
  // Either is opened by the kernel as a program: a file the user may run.
  const int access = faccessat(AT_FDCWD, interpreter.c_str(), X_OK, AT_EACCESS);
  if (access != 0 && (errno == ENOENT || errno == ENOTDIR)) {
    throw Failure{FailureKind::kProgramNotFound, name, of};
  }
  if (access != 0 || stat(interpreter.c_str(), &status) != 0 ||
      !S_ISREG(status.st_mode)) {
    throw Failure{FailureKind::kAccessDenied, name, of};
  }
  if (depth > 0) return RequireStartable(name, interpreter, depth);
  bool read_it = false;
  const std::string header = Header(interpreter, &read_it);
  if (read_it && !HasElfMagic(header)) {
    throw Failure{FailureKind::kInputOutput, name,
                  of + TextOf(", not an ELF image")};
  }
}

// Whether this program runs under an emulator (qemu-user) that a binfmt_misc
// registration starts: then the system's own programs are of another
// machine, and start all the same; their interpreters are the system's,
// which the emulator may show under another root, and are not judged.
bool RunsEmulated() {
  static const bool emulated =
      IsRegisteredFormat("/proc/self/exe", Header("/proc/self/exe"));
  return emulated;
}

// What the kernel starts: a "#!" script whose interpreter is there, five
// of them in a row at most, an ELF image for this machine whose interpreter,
// if it names one, is a file there, or a format registered with
// binfmt_misc.
void RequireStartable(const Text& program, const std::string& path, int depth) {
  bool read_it = false;
  const std::string header = Header(path, &read_it);
  if (!read_it) return;  // not readable, so not judged
  if (header.compare(0, 2, "#!") == 0) {
    if (depth == 5) FailWithError(ELOOP, program, path);
    return RequireInterpreter(program, ScriptInterpreter(header), depth + 1);
  }
  std::string interpreter;
  if (IsNativeImage(header, interpreter)) {
    if (!interpreter.empty()) RequireInterpreter(program, interpreter, 0);
  } else if (!(IsNativeImage(header, interpreter, true) && RunsEmulated()) &&
             !IsRegisteredFormat(path, header)) {
    throw Failure{FailureKind::kNotAProgram, program,
                  TextOf("no format the system runs")};
  }
}

}  // namespace

bool IsPlainText(const std::string& bytes) {
  return std::none_of(bytes.begin(), bytes.end(), [](char c) {
    return static_cast<unsigned char>(c) < ' ' &&
           std::string("\t\n\v\f\r").find(c) == std::string::npos;
  });
}

std::string ScriptInterpreter(std::string header) {
  // The kernel reads 256 bytes, NULs past the end of a shorter file.
  header.resize(256, '\0');
  const std::string ends(" \t\0", 3);
  auto end = header.find('\n');
  if (end == std::string::npos) {
    // The line goes on past what was read: its name must end within it.
    const auto name = header.find_first_not_of(" \t", 2);
    if (name >= 255 || header.find_first_of(ends, name) >= 255) return "";
    end = 255;
  }
  const auto start = std::min(header.find_first_not_of(" \t", 2), end);
  return header.substr(
      start, std::min(header.find_first_of(ends, start), end) - start);
}

bool TakesFormat(const std::string& registration, const std::string& path,
                 const std::string& header) {
  std::vector<std::string> words(1);
  for (const char c : registration) {
    if (c != ' ' && c != '\n' && c != '\t') {
      words.back() += c;
    } else if (!words.back().empty()) {
      words.emplace_back();
    }
  }
  if (words[0] != "enabled") return false;
  std::string magic, mask, extension, offset = "0";
  for (std::size_t i = 1; i + 1 < words.size(); ++i) {
    if (words[i] == "offset") offset = words[i + 1];
    if (words[i] == "magic") magic = words[i + 1];
    if (words[i] == "mask") mask = words[i + 1];
    if (words[i] == "extension") extension = words[i + 1];
  }
  if (!extension.empty()) {
    const auto dot = path.rfind('.');
    return dot != std::string::npos && path.substr(dot) == extension;
  }
  const auto byte = [](const std::string& hex, std::size_t at) {
    return hex.size() > 2 * at + 1
               ? std::stoul(hex.substr(2 * at, 2), nullptr, 16)
               : 0xFFul;
  };
  const std::size_t at = std::strtoul(offset.c_str(), nullptr, 10);
  bool matches = !magic.empty();
  for (std::size_t i = 0; matches && 2 * i < magic.size(); ++i) {
    matches = at + i < header.size() &&
              ((static_cast<unsigned char>(header[at + i]) ^ byte(magic, i)) &
               byte(mask, i)) == 0;
  }
  return matches;
}

bool IsNativeImage(const std::string& header, std::string& interpreter,
                   bool any_machine) {
  const bool elf = HasElfMagic(header) && (header[4] == 1 || header[4] == 2) &&
                   (header[5] == 1 || header[5] == 2);
  const bool wide = elf && header[4] == 2, big = elf && header[5] == 2;
  const std::uint64_t type = Field(header, 16, 2, big);
  if (!elf || (type != 2 && type != 3) ||
      !(any_machine || IsNativeMachine(Field(header, 18, 2, big)))) {
    return false;
  }
  const std::uint64_t table = Field(header, wide ? 32 : 28, wide ? 8 : 4, big),
                      entry_size = Field(header, wide ? 54 : 42, 2, big),
                      entries = Field(header, wide ? 56 : 44, 2, big);
  for (std::uint64_t i = 0; i < entries; ++i) {
    const std::uint64_t at = table + i * entry_size;
    if (Field(header, at, 4, big) != 3) continue;  // PT_INTERP
    const std::uint64_t offset = Field(header, at + (wide ? 8 : 4),
                                       wide ? 8 : 4, big),
                        size = Field(header, at + (wide ? 32 : 16),
                                     wide ? 8 : 4, big);
    // Past what was read, the name is left for the kernel to judge.
    if (size > 0 && offset + size <= header.size()) {
      interpreter = header.substr(offset, size);
      interpreter = interpreter.substr(0, interpreter.find('\0'));
    }
  }
  return true;
}

ProgramToStart FindProgram(const Text& command_line,
                           const std::vector<Text>& words) {
  NativeName(command_line);  // a NUL would cut the command short
  const Text& program = words[0];
  const std::string path = ProgramPath(program);
  RequireStartable(program, path, 0);
  // The recorder's standard streams go there: a system without it is
  // reported as such, not as a missing program.
  if (access("/dev/null", R_OK | W_OK) != 0) {
    FailWithError(errno, TextOf("/dev/null"), "/dev/null");
  }
  return ProgramToStart{TextOfBytes(path), command_line, words};
}

bool IsReadByCommandShell(const Text&) { return false; }

bool KeepOnlyDescriptors(const int (&kept)[4]) {
  int moved[4];
  for (int i = 0; i < 4; ++i) {
    moved[i] = fcntl(kept[i], F_DUPFD_CLOEXEC, 10);
    if (moved[i] < 0) return false;
  }
  for (int i = 0; i < 4; ++i) dup3(moved[i], i, i == 3 ? O_CLOEXEC : 0);
  closefrom(4);
  return true;
}

namespace {

// The child's side of the start, between vfork and exec: system calls only,
// which allocate nothing and change nothing of the launcher's. A failed
// exec is told through the pipe, which the exec closes when it succeeds:
// the C library's spawn tells it through memory the child shares, which an
// emulator (qemu-user) does not share, and the failure was lost.
[[noreturn]] void BecomeRecorder(const char* path, char* const argv[],
                                 int null_device, int output, int report) {
  if (KeepOnlyDescriptors({null_device, output, output, report})) {
    report = 3;
    setsid();
    struct sigaction by_default {};
    by_default.sa_handler = SIG_DFL;
    for (int number = 1; number < NSIG; ++number) {
      sigaction(number, &by_default, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(path, argv, environ);
  }
  const int error = errno;
  if (write(report, &error, sizeof error) != sizeof error) _exit(126);
  _exit(127);
}

}  // namespace

int SpawnRecorder(const std::string& path, char* const argv[], int null_device,
                  int output, pid_t& child) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return errno;
  // No handler of the launcher's may run in the child before its exec.
  sigset_t all, before;
  sigfillset(&all);
  sigprocmask(SIG_SETMASK, &all, &before);
  child = vfork();
  if (child == 0) {
    BecomeRecorder(path.c_str(), argv, null_device, output, report[1]);
  }
  const int forked = child < 0 ? errno : 0;
  sigprocmask(SIG_SETMASK, &before, nullptr);
  close(report[1]);
  int error = 0;
  ssize_t got = 0;
  while (forked == 0 && (got = read(report[0], &error, sizeof error)) < 0 &&
         errno == EINTR) {
  }
  close(report[0]);
  if (got != sizeof error) return forked;
  waitpid(child, nullptr, 0);  // ended without starting: not left a zombie
  return error;
}

namespace {

// The keeper is a copy of this process that starts the recorder and waits
// for its end; it reports the start through a pipe, so that a program that
// cannot start is still the run's failure. -1: it ended without a word.
int StartKept(const std::string& path, char* const argv[], int null_device,
              const HeldFile& output, const std::string& target) {
  const int descriptor = static_cast<int>(output.handle);
  pid_t child = 0;
  int report[2];
  // Without a keeper (no pipe or process to be had) the recording starts
  // all the same, its output in the file, only its end unrecorded.
  if (pipe2(report, O_CLOEXEC) != 0) {
    return SpawnRecorder(path, argv, null_device, descriptor, child);
  }
  const pid_t keeper = fork();
  if (keeper == 0) {
    close(report[0]);
    KeepRecording(path, argv, null_device, descriptor,
                  static_cast<off_t>(output.replaced), report[1],
                  BytesOf(output.path), target);
  }
  close(report[1]);
  int started = 0;
  ssize_t got = 0;
  while (keeper > 0 && (got = read(report[0], &started, sizeof started)) < 0 &&
         errno == EINTR) {
  }
  close(report[0]);
  if (keeper < 0) {
    return SpawnRecorder(path, argv, null_device, descriptor, child);
  }
  return got != sizeof started ? -1 : started;
}

}  // namespace

void StartProcess(const ProgramToStart& program, HeldFile* output,
                  const Text& target_path) {
  const std::string path = NativeName(program.path);
  std::vector<std::string> arguments;
  for (const Text& word : program.words) arguments.push_back(BytesOf(word));
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  // A session of its own keeps the caller's terminal, hang-ups and Ctrl-C
  // away from the recording. It holds none of the caller's streams or other
  // descriptors, so a caller reading the launcher's output is not kept
  // waiting for the recording's end, nor a scheduler's port or lock held
  // for its length; signals the caller blocks or ignores are the
  // recording's to handle again.
  const OpenFile null_device{open("/dev/null", O_RDWR | O_CLOEXEC | O_NOCTTY)};
  if (null_device.descriptor < 0) {
    FailWithError(errno, TextOf("/dev/null"), "/dev/null");
  }
  pid_t child = 0;
  const int error =
      output == nullptr
          ? SpawnRecorder(path, argv.data(), null_device.descriptor,
                          null_device.descriptor, child)
          : StartKept(path, argv.data(), null_device.descriptor, *output,
                      BytesOf(target_path));
  if (error == 0) return;
  if (error < 0) {
    throw Failure{FailureKind::kInputOutput, program.words[0],
                  TextOf("the recording's keeper ended before the start")};
  }
  if (error == ENOENT) {
    throw Failure{FailureKind::kProgramNotFound, program.words[0],
                  TextOf(std::strerror(error))};
  }
  if (error == ENOEXEC) {
    throw Failure{FailureKind::kNotAProgram, program.words[0],
                  TextOf(std::strerror(error))};
  }
  FailWithError(error, program.words[0], path);
}

}  // namespace pvr
