// Stands in for a recorder in the end-to-end tests. Usage:
//   fake_recorder [ARGUMENT...]
// In the working directory, writes REPORT.started at once, waits up to 5 s
// for REPORT.go, which the test makes once the launcher has ended, then
// writes REPORT: one "arg=" line per argument, whether it was started
// detached, and whether it outlived the launcher. REPORT is "recorder
// report" followed by PVR_RUN, which tells runs apart.
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

// Windows: shown minimised and not activated, holding no file of the
// caller's as its standard output or error. POSIX: a session of its own,
// every signal handled by default, none blocked, all three streams on
// /dev/null, and not descriptor 3, the first after them, which the test's
// caller left open.
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
  struct stat stream, null_device;
  bool detached = stat("/dev/null", &null_device) == 0 &&
                  getsid(0) == getpid() && fcntl(3, F_GETFD) < 0;
  for (int descriptor : {0, 1, 2}) {
    detached = detached && fstat(descriptor, &stream) == 0 &&
               stream.st_rdev == null_device.st_rdev;
  }
  sigset_t blocked;
  struct sigaction hang_up;
  sigprocmask(SIG_BLOCK, nullptr, &blocked);
  sigaction(SIGHUP, nullptr, &hang_up);
  return detached && sigisemptyset(&blocked) && hang_up.sa_handler == SIG_DFL;
#endif
}

int main(int argc, char** argv) {
  const bool detached = StartedDetached();  // before it opens files itself
  const char* run = std::getenv("PVR_RUN");
  const std::string report = "recorder report" + std::string(run ? run : "");
  std::ofstream(report + ".started") << "started\n";
  bool outlived = false;
  for (int i = 0; i < 500 && !outlived; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    outlived = fs::exists(report + ".go");
  }
  std::ofstream out(report + ".tmp", std::ios::binary);
  for (int i = 1; i < argc; ++i) out << "arg=" << argv[i] << '\n';
  out << "detached=" << detached << "\noutlived=" << outlived << '\n';
  out.close();
  fs::rename(report + ".tmp", report);
}
