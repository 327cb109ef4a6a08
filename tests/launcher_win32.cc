// The end-to-end runner's Windows side, run under Wine.
#include <windows.h>

#include <thread>
#include <utility>

#include "launcher_test.h"

namespace pvr_test {

const char* const kPlatform = "win32";

namespace {

bool on_hidden_station = false;

std::wstring Wide(const std::string& bytes) {
  std::wstring wide(bytes.size(), L'\0');
  wide.resize(static_cast<std::size_t>(MultiByteToWideChar(
      CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(),
      static_cast<int>(wide.size()))));
  return wide;
}

}  // namespace

fs::path NativePath(const std::string& bytes) { return Wide(bytes); }

std::string BuildPath(const char* path) {
  std::string windows = path;
  for (char& c : windows) {
    if (c == '/') c = '\\';
  }
  return windows.size() > 1 && windows[1] == ':' ? windows : "Z:" + windows;
}

// The argument text follows the quoted program path exactly as given.
std::intptr_t StartLauncher(
    const fs::path& launcher, const std::string& arguments, const fs::path& dir,
    const std::map<std::string, std::string>& environment,
    const fs::path& errors) {
  for (const auto& [name, value] : environment) {
    SetEnvironmentVariableW(Wide(name).c_str(),
                            value.empty() ? nullptr : Wide(value).c_str());
  }
  std::wstring line = L"\"" + launcher.wstring() + L"\"";
  if (!arguments.empty()) line += L" " + Wide(arguments);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE error_file = CreateFileW(
      errors.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
      &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  wchar_t hidden_desktop[] = L"pvr-hidden\\Default";
  if (std::exchange(on_hidden_station, false)) {
    startup.lpDesktop = hidden_desktop;
  }
  startup.hStdError = error_file;
  PROCESS_INFORMATION started{};
  const BOOL created =
      CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                     dir.c_str(), &startup, &started);
  CloseHandle(error_file);
  if (!created) return 0;
  CloseHandle(started.hThread);
  return reinterpret_cast<std::intptr_t>(started.hProcess);
}

int FinishLauncher(std::intptr_t started, double seconds) {
  const auto process = reinterpret_cast<HANDLE>(started);
  DWORD status = 0;
  if (WaitForSingleObject(process, static_cast<DWORD>(seconds * 1000)) !=
      WAIT_OBJECT_0) {
    TerminateProcess(process, 1);
    status = static_cast<DWORD>(-1);
  } else {
    GetExitCodeProcess(process, &status);
  }
  CloseHandle(process);
  return static_cast<int>(status);
}

bool ApplyPlatformStep(const std::string& verb, const fs::path& path,
                       const std::string& argument) {
  // A window station without WSF_VISIBLE, as a service has, with a desktop.
  if (verb == "station") {
    const HWINSTA own = GetProcessWindowStation();
    const HWINSTA hidden =
        CreateWindowStationW(L"pvr-hidden", 0, WINSTA_ALL_ACCESS, nullptr);
    SetProcessWindowStation(hidden);
    on_hidden_station = CreateDesktopW(L"Default", nullptr, nullptr, 0,
                                       GENERIC_ALL, nullptr) != nullptr;
    SetProcessWindowStation(own);
    return on_hidden_station;
  }
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (verb == "hidden" || verb == "system") {
    return SetFileAttributesW(
        path.c_str(), attributes | (verb == "hidden" ? FILE_ATTRIBUTE_HIDDEN
                                                     : FILE_ATTRIBUTE_SYSTEM));
  }
  if (verb != "hold") return false;
  // Held without sharing, let go after the given milliseconds.
  const HANDLE held = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::thread([held, argument] {
    Sleep(std::stoul(argument));
    CloseHandle(held);
  }).detach();
  return held != INVALID_HANDLE_VALUE;
}

bool IsAdministrator() { return true; }

}  // namespace pvr_test
