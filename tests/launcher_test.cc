// Runs the real launcher in a scratch directory with its own TEMP.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status;
  std::string report;  // what the launcher wrote on stderr
  double seconds;
};

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void Spill(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

class LauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pvr launch XXXXXX";  // a space, as in real paths
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    temp_ = dir_ / "temp";
    fs::create_directory(temp_);
    log_ = temp_ / "~QZ-PVR-Log.txt";
    target_ = dir_ / "Evening News.ts";
    report_ = dir_ / "recorder report";
    job_ = dir_ / "job.xml";
  }
  void TearDown() override {
    // A recorder may still be writing its files here.
    std::error_code ignored;
    for (int i = 0; i < 50 && fs::exists(dir_); ++i) {
      fs::remove_all(dir_, ignored);
    }
  }

  // The command that starts the fake recorder, escaped as a job file has it.
  std::string RecorderCommand(const std::string& extra = "a \\\"b c\\\"") {
    return "\\\"" + std::string(FAKE_RECORDER) + "\\\" \\\"" +
           report_.string() + "\\\" " + extra;
  }

  void WriteJob(const fs::path& job, const std::string& name,
                const std::string& command, const std::string& tail = "") {
    Spill(job, "<?xml version=\"1.0\"?>\r\n<pvr-data>\r\n  <pvr-work-dir> " +
                   dir_.string() + "/ </pvr-work-dir>\r\n" +
                   "  <PVR-SHOW-FILE-NAME>" + name +
                   "</PVR-SHOW-FILE-NAME>\n  <pvr-show-file-ext>.ts"
                   "</pvr-show-file-ext>\r  <pvr-show-cmd>\r\n    <code>" +
                   command + tail + "</pvr-data>\r\n");
  }
  void WriteJob() {
    WriteJob(job_, "Evening News", RecorderCommand(),
             "</code>\r\n  </pvr-show-cmd>\r\n");
  }

  // Runs the launcher with stdout to /dev/null and stderr to a file, so that
  // a recorder inheriting them holds no pipe of the test's open.
  Outcome Run(const std::vector<std::string>& arguments,
              const std::string& launcher = PVR_LAUNCH) {
    std::vector<std::string> words{launcher};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::string temp = "TEMP=" + temp_.string();
    std::string path = "PATH=/usr/bin:/bin";
    char* envp[] = {temp.data(), path.data(), nullptr};
    const fs::path errors = dir_ / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null",
                                     O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const auto start = std::chrono::steady_clock::now();
    pid_t child = 0;
    EXPECT_EQ(
        posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp), 0);
    posix_spawn_file_actions_destroy(&actions);
    // Bounded: a launcher that hangs fails the test instead of stalling it.
    int status = 0;
    for (int i = 0; i < 2000 && waitpid(child, &status, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (waitpid(child, &status, WNOHANG) == 0) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count();
    const std::string report = Slurp(errors);
    fs::remove(errors);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128, report, seconds};
  }
  Outcome Run() { return Run({job_.string()}); }

  // The recorder's report once it has written it, or "" after 5 s. The
  // recorder writes it only after being told that the launcher has ended.
  std::string RecorderReport() {
    Spill(report_.string() + ".go", "");
    for (int i = 0; i < 500 && !fs::exists(report_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return Slurp(report_);
  }
  bool RecorderStarted() {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return fs::exists(report_.string() + ".started");
  }

  fs::path dir_, temp_, log_, target_, report_, job_;
};

TEST_F(LauncherTest, EndsSilentlyWhenThereIsNothingToDo) {
  WriteJob();
  Spill(target_, "stale");
  fs::copy_file(job_, dir_ / ".hidden.xml");
  fs::copy_file(job_, dir_ / "job.txt");
  fs::create_directory(dir_ / "folder.xml");
  mkfifo((dir_ / "fifo.xml").c_str(), 0644);
  const std::vector<std::vector<std::string>> arguments = {
      {},
      {"   "},
      {"\"\""},
      {(dir_ / "job.txt").string()},
      {(dir_ / "missing.xml").string()},
      {(dir_ / ".hidden.xml").string()},
      {(dir_ / "folder.xml").string()},
      {(dir_ / "fifo.xml").string()},
  };
  for (const auto& argument : arguments) {
    const Outcome outcome = Run(argument);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.report, "");
  }
  EXPECT_EQ(Slurp(target_), "stale");
  EXPECT_FALSE(fs::exists(log_));
  EXPECT_FALSE(RecorderStarted());
}

TEST_F(LauncherTest, LogsTheRecordAndStartsTheRecorderDetached) {
  WriteJob();
  // The base name comes from the executable's own file, extension dropped.
  const fs::path launcher = dir_ / "launcher.bin";
  fs::copy_file(PVR_LAUNCH, launcher);
  Spill(log_, "earlier\n");
  // Quoted, padded and split into words: still one job path.
  const Outcome outcome = Run({"\"", job_.string(), "\""}, launcher.string());
  ASSERT_EQ(outcome.status, 0) << outcome.report;
  EXPECT_LT(outcome.seconds, 1.0);
  const std::regex record(
      "earlier\n\n--- launcher\\.exe at [0-2][0-9]:[0-5][0-9]:[0-5][0-9] ---\n"
      "  Video File: " +
      std::regex_replace(target_.string(), std::regex("[.]"), "[.]") +
      "\n     Command: \"" FAKE_RECORDER "\" \"[^\"]+\" a \"b c\"\n");
  EXPECT_TRUE(std::regex_match(Slurp(log_), record)) << Slurp(log_);
  EXPECT_EQ(RecorderReport(),
            "arg=a\narg=b c\nown-session=1\nstdin-null=1\n"
            "outlived-launcher=1\n");
}

TEST_F(LauncherTest, DeletesAStaleTargetAndPausesOnlyThen) {
  WriteJob();
  const Outcome fresh = Run();
  ASSERT_EQ(fresh.status, 0) << fresh.report;
  EXPECT_LT(fresh.seconds, 1.0);
  Spill(target_, "stale");
  const Outcome stale = Run();
  ASSERT_EQ(stale.status, 0) << stale.report;
  EXPECT_FALSE(fs::exists(target_));
  EXPECT_GE(stale.seconds, 1.5);
  EXPECT_LT(stale.seconds, 3.0);
}

TEST_F(LauncherTest, LeavesWhatIsNoPlainVisibleFileAlone) {
  const std::vector<std::string> names = {".Evening News", "folder", "fifo"};
  Spill(dir_ / ".Evening News.ts", "hidden");
  fs::create_directory(dir_ / "folder.ts");
  mkfifo((dir_ / "fifo.ts").c_str(), 0644);
  for (const auto& name : names) {
    WriteJob(job_, name, RecorderCommand(), "</code></pvr-show-cmd>");
    const Outcome outcome = Run();
    EXPECT_EQ(outcome.status, 0) << name << outcome.report;
    EXPECT_LT(outcome.seconds, 1.0) << name;
    EXPECT_TRUE(fs::exists(dir_ / (name + ".ts"))) << name;
  }
}

TEST_F(LauncherTest, FailuresStopTheRunWithTheirKind) {
  struct Row {
    std::string situation;
    std::function<void()> arrange;
    int status;
    std::string report;  // "@" stands for the scratch directory
    // Whether a stale target is there and whether the run deletes it; the
    // pause after a deletion is paid only where the order of steps matters.
    enum { kNoTarget, kKept, kDeleted } target;
    bool logged;
  };
  const std::string close = "</code></pvr-show-cmd>";
  const auto program_job = [&](const std::string& command) {
    WriteJob(job_, "Evening News", command, close);
  };
  const std::vector<Row> rows = {
      {"read-only target",
       [&] { fs::permissions(target_, fs::perms::owner_read); }, 6,
       "access denied: @/Evening News.ts (the file is read-only)", Row::kKept,
       false},
      {"no closing code tag",
       [&] { WriteJob(job_, "Evening News", "rec", "</pvr-show-cmd>"); }, 2,
       "invalid argument: </code> (closing tag missing)", Row::kDeleted, false},
      {"no opening data tag", [&] { Spill(job_, "<pvr-work-dir>"); }, 2,
       "invalid argument: <pvr-data> (opening tag missing)", Row::kKept, false},
      {"data tag beyond 32757",
       [&] { Spill(job_, std::string(32757, 'x') + "<pvr-data></pvr-data>"); },
       3, "overflow: <pvr-data>", Row::kKept, false},
      {"NUL in the target",
       [&] {
         WriteJob(job_, std::string("Evening News\0x", 14), "rec", close);
       },
       7, "bad file name: @/Evening News", Row::kKept, false},
      {"TEMP names a missing directory", [&] { fs::remove_all(temp_); }, 5,
       "path not found: @/temp/~QZ-PVR-Log.txt", Row::kNoTarget, false},
      {"the log is a directory", [&] { fs::create_directory(log_); }, 6,
       "access denied: @/temp/~QZ-PVR-Log.txt", Row::kNoTarget, false},
      {"program missing",
       [&] { program_job("\\\"" + dir_.string() + "/rec\\\""); }, 8,
       "program not found: @/rec", Row::kNoTarget, true},
      {"program not executable",
       [&] {
         Spill(dir_ / "rec", "");
         program_job("\\\"" + dir_.string() + "/rec\\\"");
       },
       6, "access denied: @/rec", Row::kNoTarget, true},
      {"program of no known format",
       [&] {
         Spill(dir_ / "rec",
               "\x7f"
               "ELF junk");
         fs::permissions(dir_ / "rec", fs::perms::owner_all);
         program_job("\\\"" + dir_.string() + "/rec\\\"");
       },
       9, "not a program: @/rec", Row::kNoTarget, true},
      {"empty command", [&] { program_job("  "); }, 8, "program not found",
       Row::kNoTarget, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    TearDown();
    SetUp();
    WriteJob();
    if (row.target != Row::kNoTarget) Spill(target_, "stale");
    row.arrange();
    const Outcome outcome = Run();
    const std::string expected =
        std::regex_replace(row.report, std::regex("@"), dir_.string());
    EXPECT_EQ(outcome.status, row.status);
    EXPECT_EQ(outcome.report.rfind("pvr-launch: " + expected, 0), 0u)
        << outcome.report;
    EXPECT_EQ(std::count(outcome.report.begin(), outcome.report.end(), '\n'),
              1);
    EXPECT_EQ(fs::exists(target_), row.target == Row::kKept);
    EXPECT_EQ(fs::is_regular_file(log_), row.logged);
    EXPECT_FALSE(RecorderStarted());
  }
}

TEST_F(LauncherTest, ALoneQuoteIsAnInvalidArgument) {
  const Outcome outcome = Run({"\""});
  EXPECT_EQ(outcome.status, 2);
  EXPECT_EQ(outcome.report.rfind("pvr-launch: invalid argument", 0), 0u);
}

}  // namespace
