// Runs the real pvr-launch.exe with exact raw command lines, in a scratch
// directory with its own TEMP.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "win32_test_support.h"

namespace {

using pvr_test::Slurp;
using pvr_test::WindowsPath;

struct Outcome {
  DWORD status;
  std::string report;  // what the launcher wrote to its standard error
};

// Text in the ANSI code page, as the launcher reads and writes files.
std::string Ansi(const std::wstring& wide) {
  const int size =
      WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                          nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                      bytes.data(), size, nullptr, nullptr);
  return bytes;
}

void Spill(const std::wstring& path, const std::string& bytes) {
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
            nullptr);
  CloseHandle(file);
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class LauncherWin32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    static int serial = 0;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    dir_ = std::wstring(temp) + L"pvr launch " +
           std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++serial);
    CreateDirectoryW(dir_.c_str(), nullptr);
    temp_ = dir_ + L"\\temp";
    CreateDirectoryW(temp_.c_str(), nullptr);
    log_ = temp_ + L"\\~QZ-PVR-Log.txt";
    target_ = dir_ + L"\\Evening News.ts";
    report_ = dir_ + L"\\recorder report";
    job_ = dir_ + L"\\job.xml";
  }

  std::wstring RecorderCommand() {
    return L"\\\"" + WindowsPath(FAKE_RECORDER) + L"\\\" \\\"" + report_ +
           L"\\\" a \\\"b c\\\"";
  }
  void WriteJob(const std::wstring& name, const std::wstring& command,
                const std::wstring& tail) {
    Spill(job_, Ansi(L"<pvr-data>\r\n  <pvr-work-dir> " + dir_ +
                     L"\\ </pvr-work-dir>\r\n  <pvr-show-file-name>" + name +
                     L"</pvr-show-file-name>\r\n  <PVR-SHOW-FILE-EXT>.ts"
                     L"</PVR-SHOW-FILE-EXT>\r\n  <pvr-show-cmd><code>" +
                     command + tail + L"\r\n</pvr-data>\r\n"));
  }
  void WriteJob() {
    WriteJob(L"Evening News", RecorderCommand(), L"</code></pvr-show-cmd>");
  }

  // Starts the launcher with exactly this text after its quoted path.
  Outcome Run(const std::wstring& arguments) {
    std::wstring line = L"\"" + WindowsPath(PVR_LAUNCH) + L"\"";
    if (!arguments.empty()) line += L" " + arguments;
    SetEnvironmentVariableW(L"TEMP", temp_.c_str());
    const std::wstring errors = dir_ + L"\\stderr";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE error_file =
        CreateFileW(errors.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdError = error_file;
    PROCESS_INFORMATION started{};
    Outcome outcome{0xFFFFFFFF, ""};
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       nullptr, &startup, &started)) {
      // Bounded: a launcher that hangs fails the test instead of stalling.
      if (WaitForSingleObject(started.hProcess, 10000) != WAIT_OBJECT_0) {
        TerminateProcess(started.hProcess, 0xFFFFFFFF);
      }
      GetExitCodeProcess(started.hProcess, &outcome.status);
      CloseHandle(started.hThread);
      CloseHandle(started.hProcess);
    }
    CloseHandle(error_file);
    outcome.report = Slurp(errors);
    return outcome;
  }
  Outcome Run() { return Run(L"\"" + job_ + L"\""); }

  // The recorder's report, written once it is told the launcher has ended.
  std::string RecorderReport() {
    Spill(report_ + L".go", "");
    for (int i = 0; i < 500 && !Exists(report_); ++i) Sleep(10);
    return Slurp(report_);
  }
  // Whether the recorder started: waited for up to 5 s where it should
  // have, given 300 ms to show up where it should not.
  bool RecorderStarted(bool expected = false) {
    const std::wstring started = report_ + L".started";
    for (int i = 0; i < (expected ? 500 : 30) && !Exists(started); ++i) {
      Sleep(10);
    }
    return Exists(started);
  }

  std::wstring dir_, temp_, log_, target_, report_, job_;
};

TEST_F(LauncherWin32Test, TakesTheWholeRawArgumentAsTheJobPath) {
  WriteJob();
  const struct {
    std::wstring arguments;
    DWORD status;
    bool launched;
  } cases[] = {
      {L"", 0, false},
      {L"   ", 0, false},
      {L"\"\"", 0, false},
      {L"\"", 2, false},
      {L"\"" + job_ + L"\" tail", 0, false},
      {L"\"" + job_, 0, false},
      {job_, 0, true},  // unquoted, spaces and all
      {L"\"  " + job_ + L"  \"", 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.arguments.begin(), c.arguments.end()));
    DeleteFileW((report_ + L".started").c_str());
    const Outcome outcome = Run(c.arguments);
    EXPECT_EQ(outcome.status, c.status) << outcome.report;
    EXPECT_EQ(RecorderStarted(c.launched), c.launched);
  }
}

TEST_F(LauncherWin32Test, LogsInTheAnsiCodePageAndStartsMinimised) {
  const std::wstring name = L"Nachrichten \u00E9t\u00E9";
  WriteJob(name, RecorderCommand(), L"</code></pvr-show-cmd>");
  target_ = dir_ + L"\\" + name + L".ts";
  Spill(target_, "stale");
  Spill(log_, "earlier\r\n");
  const Outcome outcome = Run();
  ASSERT_EQ(outcome.status, 0u) << outcome.report;
  EXPECT_FALSE(Exists(target_));
  const std::string log = Slurp(log_);
  const std::string head = "earlier\r\n\r\n--- pvr-launch.exe at ";
  ASSERT_EQ(log.substr(0, head.size()), head);
  const std::string time = log.substr(head.size(), 8);
  EXPECT_TRUE(isdigit(time[0]) && isdigit(time[1]) && time[2] == ':' &&
              isdigit(time[3]) && time[5] == ':' && isdigit(time[7]))
      << time;
  const std::string command = Ansi(L"\"" + WindowsPath(FAKE_RECORDER) +
                                   L"\" \"" + report_ + L"\" a \"b c\"");
  EXPECT_EQ(log.substr(head.size() + 8),
            " ---\r\n  Video File: " + Ansi(target_) +
                "\r\n     Command: " + command + "\r\n");
  EXPECT_EQ(RecorderReport(),
            "arg=a\narg=b c\nuse-show-window=1\nminimised-not-active=1\n"
            "outlived-launcher=1\n");
}

TEST_F(LauncherWin32Test, LeavesHiddenSystemAndWildcardTargetsAlone) {
  const struct {
    std::wstring name;
    DWORD attributes;
  } cases[] = {
      {L"hidden", FILE_ATTRIBUTE_HIDDEN},
      {L"system", FILE_ATTRIBUTE_SYSTEM},
      {L"*", FILE_ATTRIBUTE_NORMAL},
      {L"visibl?", FILE_ATTRIBUTE_NORMAL},
  };
  Spill(dir_ + L"\\hidden.ts", "kept");
  SetFileAttributesW((dir_ + L"\\hidden.ts").c_str(), FILE_ATTRIBUTE_HIDDEN);
  Spill(dir_ + L"\\system.ts", "kept");
  SetFileAttributesW((dir_ + L"\\system.ts").c_str(), FILE_ATTRIBUTE_SYSTEM);
  Spill(dir_ + L"\\visible.ts", "kept");
  for (const auto& c : cases) {
    WriteJob(c.name, RecorderCommand(), L"</code></pvr-show-cmd>");
    const Outcome outcome = Run();
    EXPECT_EQ(outcome.status, 0u) << outcome.report;
  }
  for (const wchar_t* name : {L"hidden", L"system", L"visible"}) {
    EXPECT_TRUE(Exists(dir_ + L"\\" + name + L".ts")) << name;
  }
}

TEST_F(LauncherWin32Test, FaultsEndWithTheirStatusAndDoNothingFurther) {
  enum Stop { kSilent, kBeforeClearing, kAfterClearing, kAtLaunch };
  const std::wstring close = L"</code></pvr-show-cmd>";
  const struct {
    const char* situation;
    std::function<void()> arrange;
    DWORD status;
    std::string report;  // the start of the report line
    Stop stop;
  } rows[] = {
      {"hidden job file",
       [&] { SetFileAttributesW(job_.c_str(), FILE_ATTRIBUTE_HIDDEN); }, 0, "",
       kSilent},
      {"read-only target",
       [&] { SetFileAttributesW(target_.c_str(), FILE_ATTRIBUTE_READONLY); }, 6,
       "pvr-launch: access denied: ", kBeforeClearing},
      {"no <pvr-data>", [&] { Spill(job_, "<pvr-work-dir>"); }, 2,
       "pvr-launch: invalid argument: <pvr-data> (opening tag missing)",
       kBeforeClearing},
      {"job data of 32768 characters",
       [&] {
         Spill(job_, "<pvr-data>" + std::string(32768, 'x') + "</pvr-data>");
       },
       3, "pvr-launch: overflow: </pvr-data>", kBeforeClearing},
      {"NUL in the target",
       [&] { WriteJob(std::wstring(L"News\0x", 6), L"rec", close); }, 7,
       "pvr-launch: bad file name: ", kBeforeClearing},
      {"no </code>",
       [&] {
         WriteJob(L"Evening News", RecorderCommand(), L"</pvr-show-cmd>");
       },
       2, "pvr-launch: invalid argument: </code> (closing tag missing)",
       kAfterClearing},
      {"TEMP names a missing directory",
       [&] { RemoveDirectoryW(temp_.c_str()); }, 5,
       "pvr-launch: path not found: ", kAfterClearing},
      {"the log is a directory",
       [&] { CreateDirectoryW(log_.c_str(), nullptr); }, 6,
       "pvr-launch: access denied: ", kAfterClearing},
      {"program missing",
       [&] {
         WriteJob(L"Evening News", L"\\\"" + dir_ + L"\\rec.exe\\\"", close);
       },
       8, "pvr-launch: program not found: ", kAtLaunch},
      {"empty command", [&] { WriteJob(L"Evening News", L"  ", close); }, 8,
       "pvr-launch: program not found", kAtLaunch},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.situation);
    SetUp();
    WriteJob();
    if (row.stop != kAtLaunch) Spill(target_, "stale");
    row.arrange();
    const Outcome outcome = Run();
    EXPECT_EQ(outcome.status, row.status) << outcome.report;
    EXPECT_EQ(outcome.report.substr(0, row.report.size()), row.report);
    EXPECT_EQ(outcome.report.empty(), row.report.empty());
    EXPECT_EQ(Exists(target_),
              row.stop == kSilent || row.stop == kBeforeClearing);
    const DWORD log = GetFileAttributesW(log_.c_str());
    EXPECT_EQ(
        log != INVALID_FILE_ATTRIBUTES && !(log & FILE_ATTRIBUTE_DIRECTORY),
        row.stop == kAtLaunch);
    EXPECT_FALSE(RecorderStarted());
  }
}

TEST_F(LauncherWin32Test, WaitsForALogHeldWithoutSharingThenGivesUp) {
  WriteJob();
  const auto hold = [&] {
    return CreateFileW(log_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  // Let go within the wait: the record is written all the same.
  HANDLE holder = hold();
  std::thread release([holder] {
    Sleep(500);
    CloseHandle(holder);
  });
  EXPECT_EQ(Run().status, 0u);
  release.join();
  EXPECT_NE(Slurp(log_).find("  Video File: "), std::string::npos);
  EXPECT_TRUE(RecorderStarted(true));
  // Held throughout: access denied after about two seconds, not launched.
  DeleteFileW((report_ + L".started").c_str());
  holder = hold();
  const DWORD start = GetTickCount();
  const Outcome outcome = Run();
  const DWORD waited = GetTickCount() - start;
  CloseHandle(holder);
  EXPECT_EQ(outcome.status, 6u) << outcome.report;
  EXPECT_GE(waited, 1500u);
  EXPECT_FALSE(RecorderStarted());
}

TEST_F(LauncherWin32Test, SixtyFourRunsAtOnceAllLaunchAndLogWholeRecords) {
  constexpr int kRuns = 64;
  SetEnvironmentVariableW(L"TEMP", temp_.c_str());
  std::vector<PROCESS_INFORMATION> runs(kRuns);
  for (int i = 0; i < kRuns; ++i) {
    const std::wstring n = std::to_wstring(i);
    job_ = dir_ + L"\\job" + n + L".xml";
    report_ = dir_ + L"\\ran" + n;
    WriteJob(L"show" + n, RecorderCommand(), L"</code></pvr-show-cmd>");
  }
  for (int i = 0; i < kRuns; ++i) {
    std::wstring line = L"\"" + WindowsPath(PVR_LAUNCH) + L"\" " + dir_ +
                        L"\\job" + std::to_wstring(i) + L".xml";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0,
                               nullptr, nullptr, &startup, &runs[i]));
  }
  for (auto& run : runs) {
    DWORD status = 0xFFFFFFFF;
    if (WaitForSingleObject(run.hProcess, 60000) == WAIT_OBJECT_0) {
      GetExitCodeProcess(run.hProcess, &status);
    }
    EXPECT_EQ(status, 0u);
    CloseHandle(run.hThread);
    CloseHandle(run.hProcess);
  }
  const std::string log = Slurp(log_);
  std::vector<bool> seen(kRuns);
  std::size_t at = 0;
  const std::string head = "\r\n--- pvr-launch.exe at ";
  const std::string video = " ---\r\n  Video File: " + Ansi(dir_) + "\\show";
  while (at < log.size()) {
    ASSERT_EQ(log.compare(at, head.size(), head), 0) << log.substr(at);
    at += head.size() + 8;
    ASSERT_EQ(log.compare(at, video.size(), video), 0) << log.substr(at);
    at += video.size();
    const int n = std::stoi(log.substr(at, 2));
    const std::string rest =
        ".ts\r\n     Command: \"" + Ansi(WindowsPath(FAKE_RECORDER)) + "\" \"" +
        Ansi(dir_) + "\\ran" + std::to_string(n) + "\" a \"b c\"\r\n";
    at += std::to_string(n).size();
    ASSERT_EQ(log.compare(at, rest.size(), rest), 0) << log.substr(at);
    at += rest.size();
    seen.at(n) = true;
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), kRuns);
  for (int i = 0; i < kRuns; ++i) {
    const std::wstring started =
        dir_ + L"\\ran" + std::to_wstring(i) + L".started";
    for (int wait = 0; wait < 500 && !Exists(started); ++wait) Sleep(10);
    EXPECT_TRUE(Exists(started)) << i;
  }
}

}  // namespace
