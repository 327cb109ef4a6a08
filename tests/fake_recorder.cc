// Stands in for a recorder in the end-to-end tests. Usage:
//   fake_recorder REPORT [ARGUMENT...]
// Writes REPORT.started at once, then waits up to 5 s for REPORT.go, which
// the test makes once the launcher has ended, then writes REPORT: one "arg="
// line per argument and what it saw of its own start.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string report = argv[1];
  std::ofstream(report + ".started") << getpid() << '\n';
  const bool own_session = getsid(0) == getpid();
  struct stat input, null_device;
  const bool input_is_null = fstat(STDIN_FILENO, &input) == 0 &&
                             stat("/dev/null", &null_device) == 0 &&
                             input.st_rdev == null_device.st_rdev;
  bool outlived = false;
  for (int i = 0; i < 500 && !outlived; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    outlived = access((report + ".go").c_str(), F_OK) == 0;
  }
  {
    std::ofstream out(report + ".tmp");
    for (int i = 2; i < argc; ++i) out << "arg=" << argv[i] << '\n';
    out << "own-session=" << own_session << '\n'
        << "stdin-null=" << input_is_null << '\n'
        << "outlived-launcher=" << outlived << '\n';
  }
  return std::rename((report + ".tmp").c_str(), report.c_str()) == 0 ? 0 : 1;
}
