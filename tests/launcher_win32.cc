// The end-to-end runner's Windows side, run under Wine.
#include <windows.h>

#include <algorithm>
#include <thread>
#include <utility>

#include "launcher_test.h"

namespace pvr_test {

bool on_hidden_station = false;

// Bytes of the ANSI code page, as the table and the launcher's files hold.
fs::path NativePath(const std::string& bytes) {
  std::wstring wide(bytes.size(), L'\0');
  wide.resize(static_cast<std::size_t>(MultiByteToWideChar(
      CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(),
      static_cast<int>(wide.size()))));
  return wide;
}

std::string BuildPath(const char* path) {
  std::string windows = path;
  std::replace(windows.begin(), windows.end(), '/', '\\');
  return windows[1] == ':' ? windows : "Z:" + windows;
}

// The argument text follows the quoted program path exactly as given.
std::intptr_t StartLauncher(
    const fs::path& launcher, const std::string& arguments, const fs::path& dir,
    const std::map<std::string, std::string>& environment,
    const fs::path& errors) {
  for (const auto& [name, value] : environment) {
    SetEnvironmentVariableW(
        NativePath(name).c_str(),
        value.empty() ? nullptr : NativePath(value).c_str());
  }
  std::wstring line = L"\"" + launcher.wstring() + L"\" ";
  line += NativePath(arguments).wstring();
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdError = CreateFileW(
      errors.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
      &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  wchar_t hidden_desktop[] = L"pvr-hidden\\Default";
  startup.lpDesktop =
      std::exchange(on_hidden_station, false) ? hidden_desktop : nullptr;
  PROCESS_INFORMATION started{};
  CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                 dir.c_str(), &startup, &started);
  CloseHandle(startup.hStdError);
  CloseHandle(started.hThread);
  return reinterpret_cast<std::intptr_t>(started.hProcess);
}

int FinishLauncher(std::intptr_t started, double seconds) {
  const auto process = reinterpret_cast<HANDLE>(started);
  DWORD status = static_cast<DWORD>(-1);
  if (WaitForSingleObject(process, static_cast<DWORD>(seconds * 1000)) ==
      WAIT_OBJECT_0) {
    GetExitCodeProcess(process, &status);
  }
  TerminateProcess(process, 1);
  CloseHandle(process);
  return static_cast<int>(status);
}

bool ApplyPlatformStep(const std::string& verb, const fs::path& path,
                       const std::string& argument) {
  // A window station without WSF_VISIBLE, as a service has, with a desktop.
  if (verb == "station") {
    const HWINSTA own = GetProcessWindowStation();
    SetProcessWindowStation(
        CreateWindowStationW(L"pvr-hidden", 0, WINSTA_ALL_ACCESS, nullptr));
    on_hidden_station = CreateDesktopW(L"Default", nullptr, nullptr, 0,
                                       GENERIC_ALL, nullptr) != nullptr;
    return SetProcessWindowStation(own) && on_hidden_station;
  }
  if (verb == "hidden" || verb == "system") {
    return SetFileAttributesW(path.c_str(), verb == "hidden"
                                                ? FILE_ATTRIBUTE_HIDDEN
                                                : FILE_ATTRIBUTE_SYSTEM);
  }
  // Held without sharing, let go after the given milliseconds.
  const HANDLE held = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::thread([held, argument] {
    Sleep(std::stoul(argument));
    CloseHandle(held);
  }).detach();
  return verb == "hold" && held != INVALID_HANDLE_VALUE;
}

bool IsAdministrator() { return true; }

}  // namespace pvr_test
