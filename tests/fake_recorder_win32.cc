// Stands in for a recorder in the Windows end-to-end tests. Usage:
//   fake_recorder REPORT [ARGUMENT...]
// Writes REPORT.started at once, then waits up to 5 s for REPORT.go, which
// the test makes once the launcher has ended, then writes REPORT: one "arg="
// line per argument and how it was asked to show its window.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

std::string Narrow(const std::wstring& wide) {
  return std::string(wide.begin(), wide.end());  // test paths are ASCII
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const std::wstring report = argv[1];
  std::ofstream(std::filesystem::path(report + L".started"))
      << GetCurrentProcessId() << '\n';
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  GetStartupInfoW(&startup);
  bool outlived = false;
  for (int i = 0; i < 500 && !outlived; ++i) {
    Sleep(10);
    outlived = GetFileAttributesW((report + L".go").c_str()) !=
               INVALID_FILE_ATTRIBUTES;
  }
  {
    std::ofstream out(std::filesystem::path(report + L".tmp"),
                      std::ios::binary);
    for (int i = 2; i < argc; ++i) out << "arg=" << Narrow(argv[i]) << '\n';
    out << "use-show-window=" << ((startup.dwFlags & STARTF_USESHOWWINDOW) != 0)
        << '\n'
        << "minimised-not-active="
        << (startup.wShowWindow == SW_SHOWMINNOACTIVE) << '\n'
        << "outlived-launcher=" << outlived << '\n';
  }
  return MoveFileW((report + L".tmp").c_str(), report.c_str()) ? 0 : 1;
}
