// The launcher's table runner on Windows: starts, waits and the steps only
// Windows knows; and the exe's messages, as the Event Viewer reads them.
#include <gtest/gtest.h>
#include <windows.h>
// After <windows.h>, which it needs.
#include <aclapi.h>
#include <sddl.h>

#include <cwchar>
#include <regex>
#include <thread>

#include "launcher.h"

namespace pvr_test {

// Bytes of the ANSI code page, as the table and the launcher's files hold.
fs::path NativePath(const std::string& bytes) {
  std::wstring wide(bytes.size(), L'\0');
  wide.resize(static_cast<std::size_t>(MultiByteToWideChar(
      CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(),
      static_cast<int>(wide.size()))));
  return wide;
}

std::intptr_t StartLauncher(
    PlatformState& state, const fs::path& launcher,
    const std::string& arguments, const fs::path& dir,
    const std::map<std::string, std::string>& environment) {
  // Set for the launcher, and as they were again once it started.
  std::map<std::wstring, std::wstring> before;
  for (const auto& [name, value] : environment) {
    const std::wstring variable = NativePath(name).wstring();
    std::wstring old(32768, L'\0');
    old.resize(GetEnvironmentVariableW(variable.c_str(), old.data(), 32768));
    before.emplace(variable, old);
    SetEnvironmentVariableW(
        variable.c_str(), value.empty() ? nullptr : NativePath(value).c_str());
  }
  std::wstring line =
      L"\"" + launcher.wstring() + L"\" " + NativePath(arguments).wstring();
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const auto stream = [&](const wchar_t* name) {
    return CreateFileW((dir / name).c_str(), GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = stream(L"stdout");
  startup.hStdError = stream(L"stderr");
  wchar_t hidden_desktop[] = L"pvr-hidden\\Default";
  startup.lpDesktop =
      std::exchange(state.on_hidden_station, false) ? hidden_desktop : nullptr;
  PROCESS_INFORMATION started{};
  CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                 state.job ? CREATE_SUSPENDED : 0, nullptr, dir.c_str(),
                 &startup, &started);
  if (state.job) {  // in a kill-on-close job, as a service may run
    AssignProcessToJobObject(std::exchange(state.job, nullptr),
                             started.hProcess);
    ResumeThread(started.hThread);
  }
  for (const auto& [variable, old] : before) {
    SetEnvironmentVariableW(variable.c_str(),
                            old.empty() ? nullptr : old.c_str());
  }
  CloseHandle(startup.hStdOutput);
  CloseHandle(startup.hStdError);
  CloseHandle(started.hThread);
  return reinterpret_cast<std::intptr_t>(started.hProcess);
}

int FinishLauncher(PlatformState& state, std::intptr_t started,
                   double seconds) {
  const auto process = reinterpret_cast<HANDLE>(started);
  DWORD status = 0;
  if (WaitForSingleObject(process, static_cast<DWORD>(seconds * 1000)) != 0)
    TerminateProcess(process, 1000);
  WaitForSingleObject(process, INFINITE);
  GetExitCodeProcess(process, &status);
  CloseHandle(process);
  if (state.job_to_close) CloseHandle(std::exchange(state.job_to_close, {}));
  return static_cast<int>(status);
}

int SecondsOfTheDay() {
  SYSTEMTIME local;
  GetLocalTime(&local);
  return local.wHour * 3600 + local.wMinute * 60 + local.wSecond;
}

// No entry of the file's access list lets in Everyone, Users or any
// authenticated user: "D:(A;;FA;;;SY)(A;;FA;;;S-1-5-21-...)".
bool IsPrivate(const fs::path& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  wchar_t* text = nullptr;
  GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                        nullptr, nullptr, nullptr, nullptr, &descriptor);
  ConvertSecurityDescriptorToStringSecurityDescriptorW(
      descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr);
  const std::wstring sddl = text ? text : L"";
  LocalFree(text);
  LocalFree(descriptor);
  return std::regex_search(sddl, std::wregex(L"^D:")) &&
         !std::regex_search(sddl, std::wregex(L";(WD|BU|AU)\\)"));
}

bool ApplyPlatformStep(PlatformState& state, const std::string& verb,
                       const fs::path& path, const std::string& argument) {
  // A window station without WSF_VISIBLE, as a service has, with a desktop.
  if (verb == "station") {
    const HWINSTA own = GetProcessWindowStation();
    SetProcessWindowStation(
        CreateWindowStationW(L"pvr-hidden", 0, WINSTA_ALL_ACCESS, nullptr));
    state.on_hidden_station = CreateDesktopW(L"Default", nullptr, nullptr, 0,
                                             GENERIC_ALL, nullptr) != nullptr;
    return SetProcessWindowStation(own) && state.on_hidden_station;
  }
  if (verb == "killjob") {  // closed when the launcher ends, if breakaway
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    const bool breakaway = path.filename() == "breakaway";
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE |
        (breakaway ? JOB_OBJECT_LIMIT_BREAKAWAY_OK : 0);
    state.job = CreateJobObjectW(nullptr, nullptr);
    if (breakaway) state.job_to_close = state.job;
    return SetInformationJobObject(state.job, JobObjectExtendedLimitInformation,
                                   &limits, sizeof limits);
  }
  if (verb == "hidden" || verb == "system") {
    return SetFileAttributesW(path.c_str(), verb == "hidden"
                                                ? FILE_ATTRIBUTE_HIDDEN
                                                : FILE_ATTRIBUTE_SYSTEM);
  }
  if (verb != "hold" && verb != "reading") return false;
  // Held without sharing, or read sharing everything, as an indexer reads;
  // let go after the given milliseconds.
  const bool hold = verb == "hold";
  const HANDLE held = CreateFileW(
      path.c_str(), hold ? GENERIC_WRITE : GENERIC_READ,
      hold ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, hold ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
      nullptr);
  std::thread([held, argument] {
    Sleep(std::stoul(argument));
    CloseHandle(held);
  }).detach();
  return held != INVALID_HANDLE_VALUE;
}

// The Event Viewer shows a failure with the exe's message for its status.
TEST(EventLog, AMessageForEachExitStatus) {
  const HMODULE exe = LoadLibraryExW(fs::path(PVR_LAUNCH).c_str(), nullptr,
                                     LOAD_LIBRARY_AS_DATAFILE);
  wchar_t report[] = L"the report", *inserts[] = {report}, text[256];
  for (DWORD status = 1; status <= 12; ++status) {
    const bool found = FormatMessageW(
        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, exe,
        0xC0000000 | status, 0, text, 256, reinterpret_cast<va_list*>(inserts));
    EXPECT_EQ(found && std::wcsstr(text, report), status >= 2 && status <= 11);
  }
}

}  // namespace pvr_test
