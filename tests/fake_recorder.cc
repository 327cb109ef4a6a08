// Stands in for a recorder in the end-to-end tests. Usage:
//   fake_recorder [ARGUMENT...]
// In the working directory, writes REPORT.started (its parent's pid) at
// once, waits up to 5 s for REPORT.go, which the test makes once the
// launcher has ended, then writes REPORT: one "arg=" line per argument,
// whether it was started detached, and whether it outlived the launcher.
// REPORT is "recorder report" followed by PVR_RUN, which tells runs apart.
// As a recorder would: PVR_WRITE names a file it writes to meanwhile;
// PVR_SAY is written PVR_REPEAT times (once) to its output, numbered, and
// once to its error stream; it ends with PVR_END, an exit status or, as
// -N, signal N.
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

// Windows: shown minimised and not activated, holding no file of the
// caller's as its standard output or error. POSIX: a session of its own,
// every signal handled by default, none blocked, all three streams on
// /dev/null, and not descriptors 3 and 4, the first after them, which the
// test's caller left open; output and error either there too or on one file,
// appended to.
bool StartedDetached() {
#ifdef _WIN32
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  GetStartupInfoW(&startup);
  return (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 &&
         startup.wShowWindow == SW_SHOWMINNOACTIVE &&
         GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) != FILE_TYPE_DISK &&
         GetFileType(GetStdHandle(STD_ERROR_HANDLE)) != FILE_TYPE_DISK;
#else
  struct stat input, output, error, null_device;
  bool detached =
      stat("/dev/null", &null_device) == 0 && getsid(0) == getpid() &&
      fcntl(3, F_GETFD) < 0 && fcntl(4, F_GETFD) < 0 && fstat(0, &input) == 0 &&
      fstat(1, &output) == 0 && fstat(2, &error) == 0 &&
      input.st_rdev == null_device.st_rdev && output.st_ino == error.st_ino &&
      (output.st_rdev == null_device.st_rdev ||
       (S_ISREG(output.st_mode) && fcntl(1, F_GETFL) & O_APPEND));
  sigset_t blocked;
  struct sigaction hang_up;
  sigprocmask(SIG_BLOCK, nullptr, &blocked);
  sigaction(SIGHUP, nullptr, &hang_up);
  return detached && sigisemptyset(&blocked) && hang_up.sa_handler == SIG_DFL;
#endif
}

// Its keeper, where one waits for its end (its output is a file), has let
// go of the caller's: a session of its own, none of the test's files.
bool KeeperDetached(long started_by) {
#ifndef _WIN32
  struct stat output;
  const std::string keeper = "/proc/" + std::to_string(getppid());
  if (fstat(1, &output) != 0 || !S_ISREG(output.st_mode) ||
      getppid() != started_by)  // no keeper, or one killed
    return true;
  bool detached = getsid(getppid()) == getppid();
  std::error_code gone;  // a keeper killed: the recording's new parent
  for (const auto& held : fs::directory_iterator(keeper + "/fd", gone)) {
    const std::string name = fs::read_symlink(held, gone).filename().string();
    detached = detached && name != "stdout" && name != "stderr";
  }
  return detached;
#else
  static_cast<void>(started_by);
  return true;
#endif
}

int main(int argc, char** argv) {
  const bool detached = StartedDetached();  // before it opens files itself
#ifdef _WIN32
  const long parent = 0;
#else
  const long parent = getppid();
#endif
  const auto value = [](const char* name) {
    return std::string(std::getenv(name) ? std::getenv(name) : "");
  };
  const std::string report = "recorder report" + value("PVR_RUN");
  std::ofstream(report + ".started") << parent << '\n';
  std::ofstream writing;
  if (!value("PVR_WRITE").empty()) {
    writing.open(value("PVR_WRITE"));  // text: the platform's line ends
    writing << "recording\n" << std::flush;
  }
  const std::string say = value("PVR_SAY");
  const int repeat =
      value("PVR_REPEAT").empty() ? 1 : std::stoi(value("PVR_REPEAT"));
  for (int i = 0; !say.empty() && i < repeat; ++i)
    std::printf("%s %d\n", say.c_str(), i);
  std::fflush(stdout);
  if (!say.empty()) std::fprintf(stderr, "%s on error\n", say.c_str());
  bool outlived = false;
  for (int i = 0; i < 500 && !outlived; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    outlived = fs::exists(report + ".go");
  }
  std::ofstream out(report + ".tmp", std::ios::binary);
  for (int i = 1; i < argc; ++i) out << "arg=" << argv[i] << '\n';
  out << "detached=" << (detached && KeeperDetached(parent))
      << "\noutlived=" << outlived << '\n';
  out.close();
  writing << "whole\n";
  writing.close();
  fs::rename(report + ".tmp", report);
  const int end = value("PVR_END").empty() ? 0 : std::stoi(value("PVR_END"));
  if (end < 0) std::raise(-end);
  return end;
}
