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
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using std::chrono::steady_clock;

std::string Replace(std::string text, const std::string& from,
                    const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void Spill(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

bool Present(const fs::path& path) {
  return fs::exists(fs::symlink_status(path));
}

struct Outcome {
  int status;
  std::string report;  // what the launcher wrote on stderr
  double seconds;
};

class LauncherTest : public ::testing::Test {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/pvr launch XXXXXX";  // a space, as in real paths
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    fs::create_directory(dir_ / "temp");
  }
  void TearDown() override {
    // A recorder may still be writing its files here.
    std::error_code ignored;
    for (int i = 0; i < 50 && fs::exists(dir_); ++i) {
      fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add,
                      ignored);
      fs::remove_all(dir_, ignored);
    }
  }

  // "@" stands for the scratch directory in every text given to these.
  fs::path At(const std::string& relative) {
    return Replace("@/" + relative, "@", dir_.string());
  }
  void Write(const std::string& relative, const std::string& text) {
    Spill(At(relative), Replace(text, "@", dir_.string()));
  }

  // A job whose recorder writes "recorder report" and its arguments a, b c.
  static constexpr const char* kRecorder =
      "\\\"" FAKE_RECORDER "\\\" \\\"@/recorder report\\\" a \\\"b c\\\"";
  static std::string StandardJob() {
    return std::string("<?xml version=\"1.0\"?>\r\n<pvr-data>\r\n") +
           "  <pvr-work-dir> @/ </pvr-work-dir>\n"
           "  <PVR-SHOW-FILE-NAME>Evening News</PVR-SHOW-FILE-NAME>\r"
           "  <pvr-show-file-ext>.ts</pvr-show-file-ext>\r\n"
           "  <pvr-show-cmd><code>" +
           kRecorder + "</code></pvr-show-cmd>\r\n</pvr-data>\r\n";
  }

  // Starts the launcher in the scratch directory with stdout to /dev/null
  // and stderr to a file, so a recorder inheriting them holds no pipe open.
  pid_t Start(const std::vector<std::string>& arguments, const fs::path& errors,
              const std::string& launcher = PVR_LAUNCH) {
    std::vector<std::string> words{launcher};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::string temp = "TEMP=" + (dir_ / "temp").string();
    std::string path = "PATH=/usr/bin:/bin";
    char* envp[] = {temp.data(), path.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir_.c_str());
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null",
                                     O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t child = 0;
    EXPECT_EQ(
        posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp), 0);
    posix_spawn_file_actions_destroy(&actions);
    return child;
  }

  // Bounded: a launcher that hangs is killed and fails the test.
  static int Finish(pid_t child, steady_clock::time_point deadline) {
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
      if (steady_clock::now() > deadline) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  }

  Outcome Run(const std::vector<std::string>& arguments,
              const std::string& launcher = PVR_LAUNCH) {
    const auto start = steady_clock::now();
    const fs::path errors = dir_.string() + ".stderr";
    const int status = Finish(Start(arguments, errors, launcher),
                              start + std::chrono::seconds(20));
    const std::chrono::duration<double> took = steady_clock::now() - start;
    const std::string report = Slurp(errors);
    fs::remove(errors);
    return {status, report, took.count()};
  }
  Outcome Run() { return Run({At(job_).string()}); }

  bool RecorderStarted(std::chrono::milliseconds wait) {
    const auto until = steady_clock::now() + wait;
    while (!fs::exists(At("recorder report.started")) &&
           steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return fs::exists(At("recorder report.started"));
  }

  fs::path dir_;
  std::string job_ = "job.xml";
};

TEST_F(LauncherTest, LogsTheRecordAndStartsTheRecorderDetached) {
  Write("job.xml", StandardJob());
  // The base name comes from the executable's own file, extension dropped.
  const fs::path launcher = At("launcher.bin");
  fs::copy_file(PVR_LAUNCH, launcher);
  Write("temp/~QZ-PVR-Log.txt", "earlier\n");
  // Quoted and padded, and handed over as words: still one job path.
  const Outcome outcome =
      Run({"\"", At("job.xml").string(), "\""}, launcher.string());
  ASSERT_EQ(outcome.status, 0) << outcome.report;
  EXPECT_LT(outcome.seconds, 1.0);
  const std::regex record(Replace(
      "earlier\n\n--- launcher\\.exe at [0-2][0-9]:[0-5][0-9]:[0-5][0-9] ---\n"
      "  Video File: @/Evening News\\.ts\n"
      "     Command: \"" FAKE_RECORDER "\" \"@/recorder report\" a \"b c\"\n",
      "@", dir_.string()));
  EXPECT_TRUE(std::regex_match(Slurp(At("temp/~QZ-PVR-Log.txt")), record))
      << Slurp(At("temp/~QZ-PVR-Log.txt"));
  // The recorder writes its report only once told the launcher has ended.
  Write("recorder report.go", "");
  for (int i = 0; i < 500 && !fs::exists(At("recorder report")); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(Slurp(At("recorder report")),
            "arg=a\narg=b c\nown-session=1\nstdin-null=1\n"
            "outlived-launcher=1\n");
}

TEST_F(LauncherTest, DeletesAStaleTargetAndPausesOnlyThen) {
  Write("job.xml", StandardJob());
  const Outcome fresh = Run();
  ASSERT_EQ(fresh.status, 0) << fresh.report;
  EXPECT_LT(fresh.seconds, 1.0);
  Write("Evening News.ts", "stale");
  const Outcome stale = Run();
  ASSERT_EQ(stale.status, 0) << stale.report;
  EXPECT_FALSE(Present(At("Evening News.ts")));
  EXPECT_GE(stale.seconds, 1.5);
  EXPECT_LT(stale.seconds, 2.5 + 0.5);  // the pause, and a start to spare
  // Made again during the pause, it is deleted again, with another pause.
  Write("Evening News.ts", "stale");
  const auto start = steady_clock::now();
  const pid_t run = Start({At("job.xml")}, At("stderr"));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(Present(At("Evening News.ts")));
  Write("Evening News.ts", "again");
  EXPECT_EQ(Finish(run, start + std::chrono::seconds(20)), 0);
  const std::chrono::duration<double> took = steady_clock::now() - start;
  EXPECT_FALSE(Present(At("Evening News.ts")));
  EXPECT_GE(took.count(), 3.0);
}

TEST_F(LauncherTest, SixtyFourRunsAtOnceAllLaunchAndLogWholeRecords) {
  constexpr int kRuns = 64;
  for (int i = 0; i < kRuns; ++i) {
    const std::string n = std::to_string(i);
    Write("job" + n + ".xml",
          "<pvr-data><pvr-work-dir>@/</pvr-work-dir><pvr-show-file-name>show" +
              n +
              "</pvr-show-file-name><pvr-show-file-ext>.ts</pvr-show-file-ext>"
              "<pvr-show-cmd><code>touch \\\"@/ran" +
              n + "\\\"</code></pvr-show-cmd></pvr-data>");
  }
  std::vector<pid_t> runs;
  for (int i = 0; i < kRuns; ++i) {
    const std::string n = std::to_string(i);
    runs.push_back(Start({At("job" + n + ".xml")}, At("stderr" + n)));
  }
  const auto deadline = steady_clock::now() + std::chrono::seconds(30);
  for (int i = 0; i < kRuns; ++i) {
    EXPECT_EQ(Finish(runs[i], deadline), 0)
        << Slurp(At("stderr" + std::to_string(i)));
  }
  std::string log = Slurp(At("temp/~QZ-PVR-Log.txt"));
  std::vector<bool> seen(kRuns);
  const std::regex record(
      "\n--- pvr-launch\\.exe at ..:..:.. ---\n  Video File: "
      "[^\n]*/show([0-9]+)"
      "\\.ts\n     Command: touch \"[^\n]*/ran([0-9]+)\"\n");
  std::smatch match;
  while (std::regex_search(log, match, record,
                           std::regex_constants::match_continuous)) {
    EXPECT_EQ(match[1], match[2]);
    seen.at(std::stoul(match[1])) = true;
    log = match.suffix();
  }
  EXPECT_EQ(log, "") << "torn or stray text in the log";
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), kRuns);
  for (int i = 0; i < kRuns; ++i) {
    const fs::path ran = At("ran" + std::to_string(i));
    for (int wait = 0; wait < 500 && !fs::exists(ran); ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(fs::exists(ran)) << ran;
  }
}

TEST_F(LauncherTest, EndsSilentlyWithoutAJobInTheArgument) {
  Write("job.txt", StandardJob());
  Write("Evening News.ts", "stale");
  const std::vector<std::vector<std::string>> arguments = {
      {}, {"   "}, {"\"\""}, {At("job.txt")}, {At("missing.xml")}};
  for (const auto& argument : arguments) {
    const Outcome outcome = Run(argument);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.report, "");
  }
  const Outcome lone_quote = Run({"\""});
  EXPECT_EQ(lone_quote.status, 2);
  EXPECT_EQ(lone_quote.report.rfind("pvr-launch: invalid argument: \"", 0), 0u);
  EXPECT_TRUE(Present(At("Evening News.ts")));
  EXPECT_FALSE(Present(At("temp/~QZ-PVR-Log.txt")));
  EXPECT_FALSE(RecorderStarted(std::chrono::milliseconds(100)));
}

// Each row: the situation, then what the run must end with and leave.
struct Row {
  const char* situation;
  std::function<void(LauncherTest&)> arrange;
  int status;
  const char* report;   // after "pvr-launch: "; "" for none at all
  const char* kept;     // must still be there afterwards, or ""
  const char* deleted;  // must be gone afterwards, or ""
  bool logged, launched;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.situation; }

class FaultTest : public LauncherTest,
                  public ::testing::WithParamInterface<Row> {
 public:
  void Job(const std::string& text) { Write("job.xml", text); }
  void Job(const std::string& from, const std::string& to) {
    Job(Replace(StandardJob(), from, to));
  }
  void Stale() { Write("Evening News.ts", "stale"); }
  // A job on one line whose "<pvr-data>" value is this long.
  void JobDataOfLength(std::size_t length) {
    std::string data = Replace(
        std::string("<pvr-work-dir>@/</pvr-work-dir><pvr-show-file-name>"
                    "Evening News</pvr-show-file-name><pvr-show-file-ext>.ts"
                    "</pvr-show-file-ext><pvr-show-cmd><code>") +
            kRecorder + "</code></pvr-show-cmd>",
        "@", dir_.string());
    data.resize(length, 'x');
    Spill(At("job.xml"), "<pvr-data>" + data + "</pvr-data>");
  }
};

TEST_P(FaultTest, EndsAsExpectedAndLeavesTheRestAlone) {
  const Row& row = GetParam();
  Job(StandardJob());
  row.arrange(*this);
  const Outcome outcome = Run();
  EXPECT_EQ(outcome.status, row.status);
  const std::string report =
      *row.report ? Replace("pvr-launch: " + std::string(row.report), "@",
                            dir_.string())
                  : "";
  EXPECT_EQ(outcome.report.substr(0, report.size()), report);
  EXPECT_EQ(outcome.report.empty(), report.empty()) << outcome.report;
  if (*row.kept) {
    EXPECT_TRUE(Present(At(row.kept)));
  }
  if (*row.deleted) {
    EXPECT_FALSE(Present(At(row.deleted)));
  }
  EXPECT_EQ(fs::is_regular_file(At("temp/~QZ-PVR-Log.txt")), row.logged);
  EXPECT_EQ(
      RecorderStarted(std::chrono::milliseconds(row.launched ? 5000 : 100)),
      row.launched);
}

const char* const kTarget = "Evening News.ts";

using Arrange = std::function<void(FaultTest&)>;
std::function<void(LauncherTest&)> As(Arrange arrange) {
  return
      [arrange](LauncherTest& test) { arrange(static_cast<FaultTest&>(test)); };
}

// Nothing to do: a stale target stays, nothing is logged or started.
Row Silent(const char* situation, Arrange arrange) {
  return {situation,
          As([arrange](FaultTest& t) {
            t.Stale();
            arrange(t);
          }),
          0,
          "",
          kTarget,
          "",
          false,
          false};
}

// A run that goes through: logged and launched.
Row Launches(const char* situation, Arrange arrange, const char* kept = "",
             const char* deleted = "") {
  return {situation, As(arrange), 0, "", kept, deleted, true, true};
}

// Where a failure stops the run decides what it leaves: a stale target is
// put in place to show whether clearing ran.
enum class Stop { kBeforeClearing, kAfterClearing, kBeforeLogging, kAtLaunch };
Row Fails(const char* situation, Arrange arrange, int status,
          const char* report, Stop stop = Stop::kBeforeClearing) {
  const bool stale =
      stop == Stop::kBeforeClearing || stop == Stop::kAfterClearing;
  return {situation,
          As([arrange, stale](FaultTest& t) {
            if (stale) t.Stale();
            arrange(t);
          }),
          status,
          report,
          stop == Stop::kBeforeClearing ? kTarget : "",
          stop == Stop::kAfterClearing ? kTarget : "",
          stop == Stop::kAtLaunch,
          false};
}

void MakeFifo(FaultTest& t, const char* name) {
  mkfifo(t.At(name).c_str(), 0644);
}
void ReplaceJob(FaultTest& t, const char* name) {
  fs::remove(t.At("job.xml"));
  if (name == nullptr)
    fs::create_directory(t.At("job.xml"));
  else
    MakeFifo(t, "job.xml");
}

INSTANTIATE_TEST_SUITE_P(
    Launcher, FaultTest,
    ::testing::Values(
        Silent("job path is a directory",
               [](FaultTest& t) { ReplaceJob(t, nullptr); }),
        Silent("job path is a FIFO",
               [](FaultTest& t) { ReplaceJob(t, "fifo"); }),
        Silent("job path is a dot-file",
               [](FaultTest& t) {
                 fs::rename(t.At("job.xml"), t.At(".job.xml"));
                 t.job_ = ".job.xml";
               }),
        Launches(
            "target is a directory",
            [](FaultTest& t) { fs::create_directory(t.At(kTarget)); }, kTarget),
        Launches(
            "target is a FIFO", [](FaultTest& t) { MakeFifo(t, kTarget); },
            kTarget),
        Launches(
            "target is a dangling symbolic link",
            [](FaultTest& t) {
              fs::create_symlink(t.At("nowhere"), t.At(kTarget));
            },
            kTarget),
        Launches(
            "target is a dot-file",
            [](FaultTest& t) {
              t.Write(".ts", "kept");
              t.Job("Evening News<", "<");
            },
            ".ts"),
        Launches(
            "target named in invalid UTF-8, deleted byte for byte",
            [](FaultTest& t) {
              t.Write("\xff\xfe.ts", "stale");
              t.Job("Evening News", "\xff\xfe");
            },
            "", "\xff\xfe.ts"),
        Launches(
            "all path pieces empty: nothing deleted",
            [](FaultTest& t) {
              t.Stale();
              t.Job(Replace(Replace(Replace(t.StandardJob(), " @/ ", ""),
                                    "Evening News", ""),
                            ".ts<", "<"));
            },
            kTarget),
        Launches(
            "relative target, in the launcher's directory",
            [](FaultTest& t) {
              t.Stale();
              t.Job(" @/ ", "");
            },
            "", kTarget),
        Launches("NUL bytes outside the values",
                 [](FaultTest& t) {
                   t.Job("<?xml", std::string("\0\0<?xml", 7));
                 }),
        Launches("tags in mixed case",
                 [](FaultTest& t) {
                   t.Job(
                       Replace(Replace(t.StandardJob(), "pvr-data", "PvR-DaTa"),
                               "pvr-show-cmd", "PVR-show-CMD"));
                 }),
        Launches("job data of 32767 characters",
                 [](FaultTest& t) { t.JobDataOfLength(32767); }),
        Fails(
            "job data of 32768 characters",
            [](FaultTest& t) { t.JobDataOfLength(32768); }, 3,
            "overflow: </pvr-data>"),
        Fails(
            "read-only target",
            [](FaultTest& t) {
              fs::permissions(t.At(kTarget), fs::perms::owner_read);
            },
            6, "access denied: @/Evening News.ts (the file is read-only)"),
        Fails(
            "random bytes",
            [](FaultTest& t) {
              std::mt19937 random(7);
              std::string bytes(4096, '\0');
              for (char& c : bytes) c = static_cast<char>(random());
              t.Job(bytes);
            },
            2, "invalid argument: <pvr-data> (opening tag missing)"),
        Fails(
            "100 MB job",
            [](FaultTest& t) {
              t.Job("</pvr-data>", std::string(100 << 20, 'x') + "</pvr-data>");
            },
            3, "overflow: </pvr-data>"),
        Fails(
            "NUL in the target",
            [](FaultTest& t) {
              t.Job("Evening News<", std::string("Evening News\0<", 14));
            },
            7, "bad file name: @/Evening News"),
        Fails(
            "no <pvr-data>", [](FaultTest& t) { t.Job("<pvr-data>", ""); }, 2,
            "invalid argument: <pvr-data> (opening tag missing)"),
        Fails(
            "no </pvr-data>", [](FaultTest& t) { t.Job("</pvr-data>", ""); }, 2,
            "invalid argument: </pvr-data> (closing tag missing)"),
        Fails(
            "no <pvr-work-dir>",
            [](FaultTest& t) { t.Job("<pvr-work-dir>", ""); }, 2,
            "invalid argument: <pvr-work-dir> (opening"),
        Fails(
            "no </pvr-work-dir>",
            [](FaultTest& t) { t.Job("</pvr-work-dir>", ""); }, 2,
            "invalid argument: </pvr-work-dir> (closing"),
        Fails(
            "no <pvr-show-file-name>",
            [](FaultTest& t) { t.Job("<PVR-SHOW-FILE-NAME>", ""); }, 2,
            "invalid argument: <pvr-show-file-name> (opening"),
        Fails(
            "no </pvr-show-file-name>",
            [](FaultTest& t) { t.Job("</PVR-SHOW-FILE-NAME>", ""); }, 2,
            "invalid argument: </pvr-show-file-name> (closing"),
        Fails(
            "no <pvr-show-file-ext>",
            [](FaultTest& t) { t.Job("<pvr-show-file-ext>", ""); }, 2,
            "invalid argument: <pvr-show-file-ext> (opening"),
        Fails(
            "no </pvr-show-file-ext>",
            [](FaultTest& t) { t.Job("</pvr-show-file-ext>", ""); }, 2,
            "invalid argument: </pvr-show-file-ext> (closing"),
        Fails(
            "no <pvr-show-cmd>",
            [](FaultTest& t) { t.Job("<pvr-show-cmd>", ""); }, 2,
            "invalid argument: <pvr-show-cmd> (opening", Stop::kAfterClearing),
        Fails(
            "no </pvr-show-cmd>",
            [](FaultTest& t) { t.Job("</pvr-show-cmd>", ""); }, 2,
            "invalid argument: </pvr-show-cmd> (closing", Stop::kAfterClearing),
        Fails(
            "no <code>", [](FaultTest& t) { t.Job("<code>", ""); }, 2,
            "invalid argument: <code> (opening", Stop::kAfterClearing),
        Fails(
            "no </code>", [](FaultTest& t) { t.Job("</code>", ""); }, 2,
            "invalid argument: </code> (closing", Stop::kAfterClearing),
        Fails(
            "TEMP names a missing directory",
            [](FaultTest& t) { fs::remove(t.At("temp")); }, 5,
            "path not found: @/temp/~QZ-PVR-Log.txt", Stop::kAfterClearing),
        Fails(
            "the log is a directory",
            [](FaultTest& t) {
              fs::create_directory(t.At("temp/~QZ-PVR-Log.txt"));
            },
            6, "access denied: @/temp/~QZ-PVR-Log.txt", Stop::kBeforeLogging),
        Fails(
            "program missing",
            [](FaultTest& t) { t.Job(FAKE_RECORDER, t.At("rec").string()); }, 8,
            "program not found: @/rec", Stop::kAtLaunch),
        Fails(
            "program not executable",
            [](FaultTest& t) {
              t.Write("rec", "");
              t.Job(FAKE_RECORDER, t.At("rec").string());
            },
            6, "access denied: @/rec", Stop::kAtLaunch),
        Fails(
            "program is a directory",
            [](FaultTest& t) {
              fs::create_directory(t.At("rec"));
              t.Job(FAKE_RECORDER, t.At("rec").string());
            },
            6, "access denied: @/rec", Stop::kAtLaunch),
        Fails(
            "program of no known format",
            [](FaultTest& t) {
              t.Write("rec",
                      "\x7f"
                      "ELF junk");
              fs::permissions(t.At("rec"), fs::perms::owner_all);
              t.Job(FAKE_RECORDER, t.At("rec").string());
            },
            9, "not a program: @/rec", Stop::kAtLaunch),
        Fails(
            "empty command",
            [](FaultTest& t) { t.Job(FaultTest::kRecorder, "  "); }, 8,
            "program not found", Stop::kAtLaunch)),
    [](const auto& info) {
      std::string name = std::to_string(info.index) + "_";
      for (char c : std::string(info.param.situation)) {
        if (std::isalnum(static_cast<unsigned char>(c))) name += c;
      }
      return name;
    });

TEST_F(LauncherTest, UnwritableFilesNeedAnOrdinaryUser) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "running as root, who may read and delete anything";
  }
  fs::create_directory(At("locked"));
  Write("locked/Evening News.ts", "stale");
  Write("job.xml", Replace(StandardJob(), " @/ ", "@/locked/"));
  fs::permissions(At("locked"), fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_EQ(Run().status, 6);
  EXPECT_TRUE(Present(At("locked/Evening News.ts")));
  fs::permissions(At("job.xml"), fs::perms::none);
  EXPECT_EQ(Run().status, 6);
}

}  // namespace
