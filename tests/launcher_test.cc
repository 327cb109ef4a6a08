// Runs every row of launcher_cases.txt: the real launcher in a scratch
// directory of its own, checked for its status, its report and what it left.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "launcher.h"

namespace pvr_test {
namespace {

using Seconds = std::chrono::duration<double>;

// Every step a row's setup may take, by who takes it: the runner, the
// platform, or the platform where the row can be done at all (else the row
// is skipped). What each does is in Apply and ApplyPlatformStep.
const std::string kPlatformVerbs =
    "fifo|hidden|system|hold|reading|station|killjob|closedpipe";
const std::string kSkippingVerbs = "unprivileged|owner|over";
const std::string kSetupVerbs =
    "stale|job|edit|pad|grow|lead|file|dir|rm|mode|link|hardlink|arg|env|as|"
    "check|checked|runs|after|copy|earlier|killkeeper|swap|" +
    kPlatformVerbs + "|" + kSkippingVerbs;
const std::string kEffectVerbs =
    "kept|gone|absent|logged|log|holds|mode|launched|recorder|took|says|"
    "private|ended";

bool Takes(const std::string& verbs, const std::string& verb) {
  return ("|" + verbs + "|").find("|" + verb + "|") != std::string::npos;
}

struct Row {
  int line;  // where it starts in launcher_cases.txt
  std::string situation, setup, outcome, effects, job;
};

void PrintTo(const Row& row, std::ostream* out) {
  *out << "launcher_cases.txt:" << row.line << ": " << row.situation;
}

std::string Replace(std::string text, const std::string& from,
                    const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string TextOf(std::string text) {  // unescaped
  for (auto at = text.find('\\'); at != std::string::npos;
       at = text.find('\\', at + 1)) {
    const auto named = std::string("rnt0").find(text[at + 1]);
    if (text[at + 1] == 'x')
      text.replace(at, 4, 1,
                   char(std::stoi(text.substr(at + 2, 2), nullptr, 16)));
    else if (named != std::string::npos)
      text.replace(at, 2, 1, "\r\n\t"[named]);  // "\0": the array's own end
  }
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
  const std::regex name(R"((\{\w+\}) = (.*))"),
      row(R"((?:(posix|win32): )?([^#].*?) *\| *(.*?) *\| *(.*?) *\| *(.*))");
  std::map<std::string, std::string> names;  // "{job}" and the like
  std::vector<Row> rows;
  std::string text;
  int number = 0, first = 0;
  // A line that starts with two spaces continues the one above; the last
  // row ends at a line added after the table's end.
  std::stringstream in(Slurp(PVR_CASES) + "\n#");
  for (std::string line; std::getline(in, line);) {
    if (++number, line.rfind("  ", 0) == 0) {
      text += line.substr(2);
      continue;
    }
    // A name stands for steps or texts, put in whole.
    for (const auto& [name, value] : names) text = Replace(text, name, value);
    std::smatch m;
    if (std::regex_match(text, m, name)) {
      names[m[1]] = m[2];
    } else if (std::regex_match(text, m, row)) {
      if (!m[1].matched || m[1] == PVR_PLATFORM)
        rows.push_back({first, m[2], m[3], m[4], m[5], ""});
    } else if (!text.empty() && text[0] != '#') {
      throw std::runtime_error("launcher_cases.txt:" + std::to_string(first) +
                               ": no row: " + text);
    }
    text = line;
    first = number;
  }
  for (Row& each : rows) each.job = TextOf(names["{job}"]);
  return rows;
}

using Step = std::array<std::string, 4>;  // as written, verb, name, text

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
    steps.push_back({raw, m[1], TextOf(m[2]), TextOf(m[4])});
  }
  return steps;
}

bool Appears(const fs::path& path, double seconds) {
  const auto until = std::chrono::steady_clock::now() + Seconds(seconds);
  while (!fs::exists(path) && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return fs::exists(path);
}

class Launcher : public ::testing::TestWithParam<Row> {
 protected:
  void Run(const Row& row);
  void SetUp() override {
    // A new directory, never one a killed run left behind.
    do
      dir_ = fs::temp_directory_path() /
             ("pvr launch " + std::to_string(std::random_device()() % 999999));
    while (!fs::create_directory(dir_));
    fs::create_directory(dir_ / "temp");
    // Whatever the builder's umask: a directory others may write is a
    // shared one to the launcher.
    for (const fs::path& made : {dir_, dir_ / "temp"})
      fs::permissions(made, fs::perms(0755));
    environment_["TEMP"] = Expand("@/temp");
    SetJob(GetParam().job);
  }
  void TearDown() override {
    // Rights a row took away come back.
    std::error_code ignored;
    for (const fs::path& path : modes_)
      fs::permissions(path, fs::perms::owner_all, fs::perm_options::add,
                      ignored);
    // Recorders still waiting, which hold files here, are let go.
    EndRecordings();
    for (int i = 0;
         i < 50 && fs::remove_all(dir_, ignored) == std::uintmax_t(-1); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  std::string Expand(const std::string& text) {
    // The recording's output file: named by a digest (FNV-1a) of its path.
    std::uint32_t digest = 2166136261u;
    for (const char c : dir_.string() + "/Evening News.ts")
      digest = (digest ^ static_cast<unsigned char>(c)) * 16777619u;
    char output[64];
    std::snprintf(output, sizeof output,
                  "temp/~QZ-PVR-Evening News.ts-%08x.txt", digest);
    const std::string named =
        Replace(Replace(Replace(text, "{rec}", recorder_), "{exe}",
                        launcher_.stem().string()),
                "{output}", output);
    // This process, as the system names it (under an emulator, the
    // emulator's name).
    std::string holder = Slurp("/proc/self/comm");
    holder = holder.substr(0, holder.find('\n'));
    return Replace(Replace(named, "{holder}", holder), "@", dir_.string());
  }
  // The files of a run's recorder, told apart by the PVR_RUN it was given:
  // run -1 is the earlier run's, "e".
  fs::path Recorder(int run, const std::string& what = "") {
    return At("recorder report" + (run < 0 ? "e" : std::to_string(run)) + what);
  }
  fs::path At(const std::string& name) {
    return NativePath(Expand("@/" + name));
  }
  void SetJob(const std::string& text) {
    job_ = text;
    Spill(At("job.xml"), Expand(job_));
  }

  void Apply(const Step& step) {
    const auto& [raw, verb, name, text] = step;
    const fs::path path = At(name);
    // What a row may later say is gone.
    if (Takes("stale|file|dir|link|hardlink|copy|fifo|hold", verb))
      made_.insert(verb == "stale" ? "Evening News.ts" : name);
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
    if (verb == "file") Spill(path, text.empty() ? "stale" : Expand(text));
    if (verb == "dir") fs::create_directory(path);
    if (verb == "rm") fs::remove(path);
    if (verb == "mode") {
      fs::permissions(path, fs::perms(std::stoi(text, nullptr, 8)));
      modes_.push_back(path);
    }
    if (verb == "swap") fs::rename(path, path.string() + ".old");
    if (verb == "link" || verb == "swap")
      fs::create_symlink(NativePath(Expand(text)), path);
    if (verb == "hardlink")
      fs::create_hard_link(NativePath(Expand(text)), path);
    if (verb == "arg") arguments_ = name;
    if (verb == "env") {  // #TEXT: the length of the text
      environment_[name] = text.starts_with('#')
                               ? std::to_string(Expand(text.substr(1)).size())
                               : Expand(text);
    }
    if (verb == "as" && fs::copy_file(launcher_, path)) launcher_ = path;
    if (verb == "runs") runs_ = std::stoi(name);
    if (verb == "check") launcher_ = PVR_CHECK;
    // A copy, which another user can reach wherever the build tree is, in a
    // folder of its own, which Windows searches for programs first.
    if (verb == "checked" && fs::create_directory(At("checker")) &&
        fs::copy_file(PVR_CHECK, At("checker/pvr-launch-check.exe")))
      checker_ = At("checker/pvr-launch-check.exe");
    if (verb == "copy") fs::copy_file(FAKE_RECORDER, path);
    // A run of the same job before this one, its recording still going on.
    if (verb == "earlier") {
      environment_["PVR_RUN"] = "e";
      const auto run = StartLauncher(platform_, launcher_, Expand(arguments_),
                                     dir_, environment_);
      ASSERT_EQ(FinishLauncher(platform_, run, 30), 0);
      ASSERT_TRUE(Appears(Recorder(-1, ".started"), 10));
    }
    if (verb == "killkeeper") {  // the recorder's parent, which it names
      ASSERT_TRUE(
          Appears(Recorder(0, ".started"), 10) &&
          ApplyPlatformStep(platform_, verb, Recorder(0, ".started"), ""));
    }
    // Run by another user from copies that user can reach.
    if (verb == "unprivileged") {
      Apply({raw, "as", "pvr-launch", ""});
      Apply({raw, "copy", "recorder", ""});
      recorder_ = Expand("@/recorder");
      SetJob(job_);
    }
    if (Takes(kPlatformVerbs, verb)) {
      ASSERT_TRUE(ApplyPlatformStep(platform_, verb, path, text)) << raw;
    }
  }

  // Each recorder started is let go, and its end awaited, with the line
  // its keeper then adds.
  void EndRecordings() {
    for (int i = -1; i < runs_; ++i) {
      Spill(Recorder(i, ".go"), "");
      Appears(Recorder(i), fs::exists(Recorder(i, ".started")) ? 10 : 0);
    }
    const fs::path output = At(Expand("{output}"));
    for (int i = 0; i < 500 && fs::is_regular_file(output) &&
                    Slurp(output).find("--- ended") == std::string::npos;
         ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  // The file holds the text once for each run, and nothing else; "[...]"
  // stands for what was cut from a file kept within 1 MiB. Every recording
  // here ends within a minute.
  void Holds(const fs::path& path, std::string text) {
    if (PVR_PLATFORM == std::string("win32"))
      text = Replace(text, "\n", "\r\n");
    std::string expected;
    for (int i = 0; i < runs_; ++i) expected += Expand(text);
    const std::regex time("at ([0-2][0-9]):([0-5][0-9]):([0-5][0-9]) ---"),
        ended("ended at [0-9:]{8} after 0:00:[0-5][0-9]");
    EXPECT_TRUE(fs::exists(path)) << path << " is not there";
    const std::string held = Slurp(path);
    std::string seen =
        std::regex_replace(std::regex_replace(held, time, "at hh:mm:ss ---"),
                           ended, "ended at hh:mm:ss after h:mm:ss");
    const auto cut = expected.find("[...]");
    if (cut != std::string::npos) {  // its start and end as they stand
      EXPECT_LE(held.size(), 1u << 20);
      const auto end = std::min(expected.size() - cut - 5, seen.size());
      seen = seen.substr(0, cut) + "[...]" + seen.substr(seen.size() - end);
    }
    EXPECT_EQ(seen, expected);
    // The local time of the append: within the row's minute, as the clock
    // here reads it.
    for (std::sregex_iterator it(held.begin(), held.end(), time), end;
         it != end; ++it) {
      const int logged = std::stoi((*it)[1]) * 3600 + std::stoi((*it)[2]) * 60 +
                         std::stoi((*it)[3]);
      EXPECT_LE((SecondsOfTheDay() - logged + 86400) % 86400, 60) << it->str();
    }
  }

  fs::path dir_, launcher_ = PVR_LAUNCH;
  std::string recorder_ = FAKE_RECORDER;
  std::vector<fs::path> modes_;
  std::string job_, arguments_ = "@/job.xml";
  std::map<std::string, std::string> environment_;
  int runs_ = 1;
  std::set<std::string> made_;  // the names setup steps made
  PlatformState platform_;
  fs::path checker_;  // runs first where set
};

void Launcher::Run(const Row& row) {
  std::string later;
  for (const Step& step : Steps(row.setup, kSetupVerbs)) {
    const auto& [raw, verb, name, text] = step;
    if (Takes(kSkippingVerbs, verb) &&
        !ApplyPlatformStep(platform_, verb, At(name), text)) {
      GTEST_SKIP() << "not to be done here: " << raw;
    }
    if (verb == "after") later = raw.substr(raw.find(' ') + 1);
    ASSERT_NO_FATAL_FAILURE(Apply(step));
  }
  const int status = std::stoi(row.outcome);
  const std::string report = row.outcome.substr(row.outcome.find(' ') + 1);
  const std::string expected =
      status == 0 ? "" : Expand("pvr-launch: " + TextOf(report));
  const auto ends_as_expected = [&](std::intptr_t run, const char* who) {
    EXPECT_EQ(FinishLauncher(platform_, run, 30), status) << who;
    const std::string errors = std::regex_replace(
        Slurp(At("stderr")), std::regex("at [0-2][0-9]:[0-5][0-9]:[0-5][0-9]"),
        "at hh:mm:ss");
    EXPECT_EQ(errors.substr(0, expected.size()), expected) << who;
    EXPECT_EQ(errors.empty(), expected.empty()) << who << errors;
  };
  // The checker decides as the run does, and changes nothing it needs.
  if (!checker_.empty()) {
    ends_as_expected(StartLauncher(platform_, checker_, Expand(arguments_),
                                   dir_, environment_),
                     "pvr-launch-check");
  }
  std::vector<std::intptr_t> started;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < runs_; ++i) {
    environment_["PVR_RUN"] = std::to_string(i);
    started.push_back(StartLauncher(platform_, launcher_, Expand(arguments_),
                                    dir_, environment_));
  }
  if (!later.empty()) {
    std::this_thread::sleep_for(Seconds(std::stod(later)));
    Apply(Steps(later.substr(later.find(' ') + 1), kSetupVerbs).at(0));
  }
  for (const auto run : started) ends_as_expected(run, "the run");
  const double took = Seconds(std::chrono::steady_clock::now() - start).count();
  const std::string out = Slurp(At("stdout"));

  bool logged = false, launched = false;
  const fs::path log = At("temp/~QZ-PVR-Log.txt");
  for (const auto& [effect, verb, name, text] :
       Steps(row.effects, kEffectVerbs)) {
    logged = logged || verb == "logged" || verb == "log";
    launched = launched || verb == "launched" || verb == "recorder";
    if (verb == "kept" || verb == "gone" || verb == "absent") {
      const std::string file = name.empty() ? "Evening News.ts" : name;
      EXPECT_EQ(fs::exists(fs::symlink_status(At(file))), verb == "kept")
          << effect;
      // Gone is what a setup step made; absent, what nothing may make.
      EXPECT_TRUE(verb != "gone" || made_.count(file) > 0)
          << effect << ": no setup step made it";
    }
    if (verb == "ended") EndRecordings();
    if (verb == "log") Holds(log, name);
    if (verb == "holds") Holds(At(name), text);
    if (verb == "private" || verb == "says") {
      EXPECT_TRUE(verb == "private" ? IsPrivate(At(name))
                                    : out.find(Expand(name)) != out.npos)
          << effect << ": " << out;
    }
    if (verb == "mode") {
      EXPECT_EQ(fs::status(At(name)).permissions(),
                fs::perms(std::stoi(text, nullptr, 8)))
          << effect;
    }
    if (verb == "took") {
      EXPECT_GE(took, std::stod(name));
      EXPECT_LT(took, std::stod(name.substr(name.find('-') + 1)));
    }
    if (verb == "recorder") {
      Spill(Recorder(0, ".go"), "");
      ASSERT_TRUE(Appears(Recorder(0), 10));
      EXPECT_EQ(Slurp(Recorder(0)), name);
    }
  }
  // Not read where it is no file: a FIFO would wait for a writer.
  const std::string records = fs::is_regular_file(log) ? Slurp(log) : "";
  EXPECT_EQ(records.find("--- ") != std::string::npos, logged);
  for (int i = 0; i < runs_; ++i) {
    EXPECT_EQ(Appears(Recorder(i, ".started"), launched ? 10 : 0.1), launched)
        << "run " << i;
  }
}

// A row made false on purpose ("false: ...") the runner must find false,
// as it would a launcher that does not do what the row says.
TEST_P(Launcher, EndsAsTheTableSays) {
  if (GetParam().situation.rfind("false: ", 0) != 0) return Run(GetParam());
  ::testing::TestPartResultArray results;
  {
    const ::testing::ScopedFakeTestPartResultReporter catcher(
        ::testing::ScopedFakeTestPartResultReporter::
            INTERCEPT_ONLY_CURRENT_THREAD,
        &results);
    Run(GetParam());
  }
  int failed = 0;
  for (int i = 0; i < results.size(); ++i)
    failed += results.GetTestPartResult(i).failed();
  EXPECT_GT(failed, 0) << "the runner found the row true";
}

// The situation in letters, digits and underscores, as gtest names a test;
// a closing tag's "</" is "end".
std::string TestName(const ::testing::TestParamInfo<Row>& info) {
  const std::string name =
      std::regex_replace(Replace(info.param.situation, "</", " end "),
                         std::regex("[^A-Za-z0-9]+"), "_");
  return std::regex_replace(name, std::regex("^_|_$"), "");
}

INSTANTIATE_TEST_SUITE_P(Table, Launcher, ::testing::ValuesIn(Rows()),
                         TestName);

}  // namespace
}  // namespace pvr_test
