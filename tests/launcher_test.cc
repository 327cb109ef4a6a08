// Runs every row of launcher_cases.txt: the real launcher in a scratch
// directory of its own, checked for its status, its report and what it left.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "launcher_test.h"

namespace pvr_test {
namespace {

using Seconds = std::chrono::duration<double>;
const std::string kPlatformSteps =
    "fifo|owner|unprivileged|noproc|hidden|system|hold|station";
const std::string kSetupSteps =
    "stale|job|edit|pad|grow|lead|file|dir|rm|mode|link|arg|env|as|runs|"
    "after|native|" +
    kPlatformSteps;

struct Row {
  std::string situation, setup, outcome, effects;
};

void PrintTo(const Row& row, std::ostream* out) {
  *out << "launcher_cases.txt: " << row.situation;
}

std::string Replace(std::string text, const std::string& from,
                    const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::map<std::string, std::string> names;  // "{job}" and the like

// Unescaped, with the table's names put in.
std::string TextOf(std::string text) {
  for (auto at = text.find('\\'); at != std::string::npos;
       at = text.find('\\', at + 1)) {
    const auto named = std::string("rnt0").find(text[at + 1]);
    if (text[at + 1] == 'x') {
      text.replace(
          at, 4, 1,
          static_cast<char>(std::stoi(text.substr(at + 2, 2), nullptr, 16)));
    } else if (named != std::string::npos) {
      text.replace(at, 2, 1, "\r\n\t"[named]);  // "\0": the array's own end
    }
  }
  for (const auto& [name, value] : names) text = Replace(text, name, value);
  return text;
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void Spill(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::vector<Row> Rows() {
  // A line that starts with two spaces continues the one above.
  std::stringstream in(std::regex_replace(
      Slurp(NativePath(BuildPath(PVR_CASES))), std::regex("\n  "), ""));
  const std::regex name(R"((\{\w+\}) = (.*))"),
      row(R"((?:(posix|win32): )?(.*?) *\| *(.*?) *\| *(.*?) *\| *(.*))");
  std::vector<Row> rows;
  for (std::string text; std::getline(in, text);) {
    std::smatch m;
    if (text.empty() || text[0] == '#') continue;
    if (std::regex_match(text, m, name)) {
      names[m[1]] = TextOf(m[2]);
    } else if (!std::regex_match(text, m, row)) {
      throw std::runtime_error("launcher_cases.txt: no row: " + text);
    } else if (!m[1].matched || m[1] == PVR_PLATFORM) {
      rows.push_back({m[2], m[3], m[4], m[5]});
    }
  }
  return rows;
}

struct Step {
  std::string raw, verb, name, text;
  bool has_text;
};

// The steps of a field, "VERB [NAME] [=>|->|= TEXT]" apart by ";".
std::vector<Step> Steps(const std::string& field, const std::string& verbs) {
  const std::regex step("[^; ]([^;]*[^; ])?"),
      shape("(" + verbs + ")(?: (.*?))?(?: (=>|->|=)(?: (.*))?)?");
  std::vector<Step> steps;
  for (std::sregex_iterator it(field.begin(), field.end(), step), end;
       it != end; ++it) {
    const std::string raw = it->str();
    std::smatch m;
    EXPECT_TRUE(std::regex_match(raw, m, shape)) << "no such step: " << raw;
    steps.push_back({raw, m[1], TextOf(m[2]), TextOf(m[4]), m[3].matched});
  }
  return steps;
}

bool Appears(const fs::path& path, double seconds) {
  const auto until = std::chrono::steady_clock::now() + Seconds(seconds);
  while (!fs::exists(path) && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return fs::exists(path);
}

// Why a step cannot be taken here, or nothing.
const char* Unrunnable(const std::string& step) {
  return step.rfind("owner ", 0) == 0 && !IsAdministrator()
             ? "only an administrator may give a file to another user"
         : step == "native" && PVR_EMULATED
             ? "an emulator runs the spawn as a plain fork: an exec failing "
               "on the file's format goes unreported"
         : step == "noproc" && !ApplyPlatformStep(step, "", "")
             ? "no /proc to hide here: no mount namespace may be made, or "
               "the sanitizers' runtime needs it"
             : nullptr;
}

class Launcher : public ::testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("pvr launch " + std::to_string(std::random_device()() % 999999));
    fs::create_directories(dir_ / "temp");
    environment_["TEMP"] = Expand("@/temp");
    SetJob(names["{job}"]);
  }
  void TearDown() override {
    // Rights a row took away come back; recorders still running, which hold
    // files here, are told to end.
    std::error_code ignored;
    for (const fs::path& path : modes_) {
      fs::permissions(path, fs::perms::owner_all, fs::perm_options::add,
                      ignored);
    }
    for (int i = 0; i < runs_; ++i) {
      Spill(At("recorder report{n}.go", N(i)), "");
      const bool started = fs::exists(At("recorder report{n}.started", N(i)));
      Appears(At("recorder report{n}", N(i)), started ? 10 : 0);
    }
    for (int i = 0;
         i < 50 && fs::remove_all(dir_, ignored) == std::uintmax_t(-1); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  // The number of a run among several at once; nothing for a single one.
  std::string N(int i) { return runs_ == 1 ? "" : std::to_string(i); }
  std::string Expand(const std::string& text, const std::string& n = "") {
    const std::string named =
        Replace(Replace(text, "{rec}", BuildPath(FAKE_RECORDER)), "{n}", n);
    return Replace(Replace(named, "{exe}", launcher_.stem().string()), "@",
                   dir_.string());
  }
  fs::path At(const std::string& name, const std::string& n = "") {
    return NativePath(Expand("@/" + name, n));
  }
  void SetJob(const std::string& text) {
    job_ = text;
    Spill(At("job.xml"), Expand(job_));
  }

  void Apply(const Step& step) {
    const auto& [raw, verb, name, text, has_text] = step;
    const fs::path path = At(name);
    std::string job = Expand(job_);
    if (verb == "stale") Spill(At("Evening News.ts"), "stale");
    if (verb == "job") SetJob(name);
    if (verb == "edit") {
      ASSERT_NE(job_.find(name), std::string::npos) << raw;
      SetJob(Replace(job_, name, text));
    }
    if (verb == "pad") {  // the data value to this many characters
      const auto start = job.find("<pvr-data>") + 10;
      const auto end = job.find("</pvr-data>");
      SetJob(job.insert(end, std::stoul(name) - (end - start), 'x'));
    }
    if (verb == "grow" || verb == "lead") {  // this many characters
      const std::string more(std::stoul(name), 'x');
      SetJob(verb == "grow" ? job_ + more : more + job_);
    }
    if (verb == "file") Spill(path, has_text ? Expand(text) : "stale");
    if (verb == "dir") fs::create_directory(path);
    if (verb == "rm") fs::remove(path);
    if (verb == "mode") {
      fs::permissions(path, fs::perms(std::stoi(text, nullptr, 8)));
      modes_.push_back(path);
    }
    if (verb == "link") fs::create_symlink(NativePath(Expand(text)), path);
    if (verb == "arg") arguments_ = name;
    if (verb == "env") environment_[name] = Expand(text);
    if (verb == "as") {
      fs::copy_file(launcher_, path);
      launcher_ = path;
    }
    if (verb == "runs") runs_ = std::stoi(name);
    if (std::regex_match(verb, std::regex(kPlatformSteps))) {
      ASSERT_TRUE(ApplyPlatformStep(verb, path, text)) << raw;
    }
  }

  // The file holds the text once for each run, in any order, and nothing
  // else; each time logged is the local time of the run.
  void Holds(const fs::path& path, const std::string& text) {
    std::string written = Slurp(path);
    const std::regex time("at ([0-2][0-9]):([0-5][0-9]):([0-5][0-9]) ---");
    for (std::smatch t; std::regex_search(written, t, time);) {
      const int second = std::stoi(t[1]) * 3600 + std::stoi(t[2]) * 60 +
                         std::stoi(t[3]) - started_at_;
      EXPECT_LE((second + 86400) % 86400, took_ + 1) << t[0];
      written.replace(t.position(), t.length(), "at hh:mm:ss ---");
    }
    std::size_t length = 0;
    for (int i = 0; i < runs_; ++i) {
      std::string record = Expand(text, N(i));
      if (PVR_PLATFORM == std::string("win32")) {
        record = Replace(record, "\n", "\r\n");
      }
      length += record.size();
      EXPECT_NE(written.find(record), std::string::npos) << written;
    }
    EXPECT_EQ(written.size(), length) << written;
  }

  fs::path dir_, launcher_ = NativePath(BuildPath(PVR_LAUNCH));
  std::vector<fs::path> modes_;
  std::string job_, arguments_ = "@/job{n}.xml";
  std::map<std::string, std::string> environment_;
  int runs_ = 1, started_at_ = 0;
  double took_ = 0;
};

TEST_P(Launcher, EndsAsTheTableSays) {
  const Row& row = GetParam();
  std::string later;
  for (const Step& step : Steps(row.setup, kSetupSteps)) {
    if (const char* reason = Unrunnable(step.raw)) GTEST_SKIP() << reason;
    if (step.verb == "after") later = step.name;
    ASSERT_NO_FATAL_FAILURE(Apply(step));
  }
  std::vector<std::intptr_t> started;
  const auto start = std::chrono::steady_clock::now();
  const std::time_t now = std::time(nullptr);
  const std::tm local = *std::localtime(&now);
  started_at_ = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  for (int i = 0; i < runs_; ++i) {
    if (runs_ > 1) Spill(At("job{n}.xml", N(i)), Expand(job_, N(i)));
    started.push_back(StartLauncher(launcher_, Expand(arguments_, N(i)), dir_,
                                    environment_, At("stderr{n}", N(i))));
  }
  if (!later.empty()) {
    std::this_thread::sleep_for(Seconds(std::stod(later)));
    Apply(Steps(later.substr(later.find(' ') + 1), kSetupSteps).at(0));
  }
  const int status = std::stoi(row.outcome);
  for (int i = 0; i < runs_; ++i) {
    EXPECT_EQ(FinishLauncher(started[i], 30), status) << "run " << i;
  }
  took_ = Seconds(std::chrono::steady_clock::now() - start).count();
  const std::string errors = Slurp(At("stderr{n}", N(0)));
  const std::string report = row.outcome.substr(row.outcome.find(' ') + 1);
  const std::string expected =
      status == 0 ? "" : Expand("pvr-launch: " + TextOf(report));
  EXPECT_EQ(errors.substr(0, expected.size()), expected);
  EXPECT_EQ(errors.empty(), expected.empty()) << errors;

  bool logged = false, launched = false;
  const fs::path log = At("temp/~QZ-PVR-Log.txt");
  for (const auto& [effect, verb, name, text, has_text] :
       Steps(row.effects,
             "kept|gone|logged|log|holds|mode|launched|recorder|took")) {
    logged = logged || verb == "logged" || verb == "log";
    launched = launched || verb == "launched" || verb == "recorder";
    if (verb == "kept" || verb == "gone") {
      const fs::path path = At(name.empty() ? "Evening News.ts" : name);
      EXPECT_EQ(fs::exists(fs::symlink_status(path)), verb == "kept") << effect;
    }
    if (verb == "log") Holds(log, name);
    if (verb == "holds") Holds(At(name), text);
    if (verb == "mode") {
      EXPECT_EQ(fs::status(At(name)).permissions(),
                fs::perms(std::stoi(text, nullptr, 8)))
          << effect;
    }
    if (verb == "took") {
      EXPECT_GE(took_, std::stod(name));
      EXPECT_LT(took_, std::stod(name.substr(name.find('-') + 1)));
    }
    if (verb == "recorder") {
      Spill(At("recorder report.go"), "");
      ASSERT_TRUE(Appears(At("recorder report"), 10));
      EXPECT_EQ(Slurp(At("recorder report")), name);
    }
  }
  EXPECT_EQ(fs::is_regular_file(log), logged);
  for (int i = 0; i < runs_; ++i) {
    EXPECT_EQ(
        Appears(At("recorder report{n}.started", N(i)), launched ? 10 : 0.1),
        launched)
        << "run " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, Launcher, ::testing::ValuesIn(Rows()));

}  // namespace
}  // namespace pvr_test
