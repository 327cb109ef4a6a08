// Runs every row of launcher_cases.txt: the real launcher in a scratch
// directory of its own, checked for its status, its report and what it left.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "launcher_test.h"

namespace pvr_test {
namespace {

struct Row {
  int line;
  std::string situation, outcome;
  std::vector<std::string> setup, effects;
};

void PrintTo(const Row& row, std::ostream* out) {
  *out << "launcher_cases.txt:" << row.line << ": " << row.situation;
}

std::string Replace(std::string text, const std::string& from,
                    const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// "a SEPARATOR b" as a and b, each trimmed; b is empty without a separator.
std::pair<std::string, std::string> Around(const std::string& text,
                                           const std::string& separator) {
  const auto trim = [](const std::string& part) {
    const auto first = part.find_first_not_of(' ');
    if (first == std::string::npos) return std::string();
    return part.substr(first, part.find_last_not_of(' ') - first + 1);
  };
  const auto at = text.find(separator);
  if (at == std::string::npos) return {trim(text), ""};
  return {trim(text.substr(0, at)), trim(text.substr(at + separator.size()))};
}

std::map<std::string, std::string> names;  // "{job}" and the like

// Unescaped, with the table's names put in.
std::string TextOf(const std::string& raw) {
  std::string out;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const auto escape = std::string("rnt0x").find(raw[i + 1]);
    if (raw[i] != '\\' || escape == std::string::npos) {
      out += raw[i];
    } else if (raw[++i] == 'x') {
      out += static_cast<char>(std::stoi(raw.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += "\r\n\t"[escape];  // "\0" is the array's own end
    }
  }
  for (const auto& [name, value] : names) out = Replace(out, name, value);
  return out;
}

std::vector<std::string> Steps(std::string text) {
  std::vector<std::string> steps;
  while (!text.empty()) {
    auto [step, rest] = Around(text, ";");
    if (!step.empty()) steps.push_back(TextOf(step));
    text = rest;
  }
  return steps;
}

std::vector<Row> Rows() {
  std::ifstream in(NativePath(BuildPath(PVR_CASES)), std::ios::binary);
  std::vector<std::pair<int, std::string>> lines;
  int number = 0;
  for (std::string line; std::getline(in, line); ++number) {
    if (line.rfind("  ", 0) == 0) {
      lines.back().second += line.substr(2);
    } else if (!line.empty() && line[0] != '#') {
      lines.push_back({number + 1, line});
    }
  }
  std::vector<Row> rows;
  for (auto [line, text] : lines) {
    const auto [mark, marked] = Around(text, ": ");
    if (mark == "posix" || mark == "win32")
      text = mark == kPlatform ? marked : "";
    const auto [name, value] = Around(text, " = ");
    if (text[0] == '{') names[name] = TextOf(value);
    if (text.empty() || text[0] == '{') continue;
    const auto [situation, rest] = Around(text, "|");
    const auto [setup, results] = Around(rest, "|");
    const auto [outcome, effects] = Around(results, "|");
    rows.push_back({line, situation, outcome, Steps(setup), Steps(effects)});
  }
  return rows;
}

std::string Slurp(const fs::path& path) {
  std::stringstream content;
  content << std::ifstream(path, std::ios::binary).rdbuf();
  return content.str();
}

void Spill(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

bool Appears(const fs::path& path, double seconds) {
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!fs::exists(path) && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return fs::exists(path);
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
    // Some rows take rights away from a directory of theirs. (Under Wine,
    // listing a directory whose files are being deleted may never end.)
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(dir_, ignored)) {
      if (kPlatform == std::string("win32")) break;
      fs::permissions(entry, fs::perms::owner_all, fs::perm_options::add,
                      ignored);
    }
    // Recorders still running hold files here: they are told to end, and
    // waited for.
    for (int i = 0; i < runs_; ++i) {
      if (fs::exists(At("recorder report{n}.started", Numbered(i)))) {
        Spill(At("recorder report{n}.go", Numbered(i)), "");
        Appears(At("recorder report{n}", Numbered(i)), 10);
      }
    }
    for (int i = 0; i < 50 && fs::exists(dir_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(i == 0 ? 0 : 100));
      fs::remove_all(dir_, ignored);
    }
  }

  std::string Numbered(int i) { return runs_ == 1 ? "" : std::to_string(i); }
  std::string Expand(const std::string& text, const std::string& n = "") {
    return Replace(
        Replace(Replace(text, "{rec}", BuildPath(FAKE_RECORDER)), "{n}", n),
        "@", dir_.string());
  }
  fs::path At(const std::string& name, const std::string& n = "") {
    return NativePath(Expand("@/" + name, n));
  }
  void SetJob(const std::string& text) {
    job_ = text;
    Spill(At("job.xml"), Expand(job_));
  }

  void Apply(const std::string& step) {
    const auto [verb, rest] = Around(step, " ");
    const auto [head, tail] =
        Around(rest, rest.find(" = ") != std::string::npos ? " = " : " -> ");
    const auto last = rest.rfind(' ');
    const fs::path path = At(rest.substr(0, last));
    if (verb == "stale") {
      Spill(At("Evening News.ts"), "stale");
    } else if (verb == "job") {
      SetJob(rest);
    } else if (verb == "edit") {
      const auto at = step.find(" =>");
      const std::string from = step.substr(5, at - 5), to = step.substr(at + 3);
      ASSERT_NE(job_.find(from), std::string::npos) << step;
      SetJob(Replace(job_, from, to.empty() ? to : to.substr(1)));
    } else if (verb == "pad") {  // the data value to this many characters
      std::string text = Expand(job_);
      const auto start = text.find("<pvr-data>") + 10;
      const auto end = text.find("</pvr-data>");
      SetJob(text.insert(end, std::stoul(rest) - (end - start), 'x'));
    } else if (verb == "grow" || verb == "lead") {  // this many characters
      const std::string more(std::stoul(rest), 'x');
      SetJob(verb == "grow" ? job_ + more : more + job_);
    } else if (verb == "file") {
      Spill(At(head), tail.empty() ? "stale" : Expand(tail));
    } else if (verb == "dir") {
      fs::create_directory(At(rest));
    } else if (verb == "mode") {
      fs::permissions(path,
                      fs::perms(std::stoi(rest.substr(last), nullptr, 8)));
    } else if (verb == "link") {
      fs::create_symlink(NativePath(Expand(tail)), At(head));
    } else if (verb == "arg") {
      arguments_ = step.substr(3 + (step.size() > 3));
    } else if (verb == "env") {
      const auto [variable, value] = Around(rest, "=");
      environment_[variable] = Expand(value);
    } else if (verb == "as") {
      launcher_ = At(rest);
      fs::copy_file(NativePath(BuildPath(PVR_LAUNCH)), launcher_);
    } else if (verb == "runs") {
      runs_ = std::stoi(rest);
    } else if (verb == "hold") {
      ASSERT_TRUE(ApplyPlatformStep(verb, path, rest.substr(last + 1)));
    } else if (verb == "rm") {
      fs::remove(At(rest));
    } else if (verb != "after" && verb != "unprivileged" && verb != "noproc") {
      ASSERT_TRUE(ApplyPlatformStep(verb, At(rest), "")) << step;
    }
  }

  fs::path dir_;
  std::string job_, arguments_ = "@/job{n}.xml";
  std::map<std::string, std::string> environment_;
  fs::path launcher_ = NativePath(BuildPath(PVR_LAUNCH));
  int runs_ = 1;
};

TEST_P(Launcher, EndsAsTheTableSays) {
  const Row& row = GetParam();
  std::string later;
  for (const std::string& step : row.setup) {
    if (step == "unprivileged" && IsAdministrator()) {
      GTEST_SKIP() << "run as an administrator, who may read and delete all";
    }
    if (step.rfind("owner ", 0) == 0 && !IsAdministrator()) {
      GTEST_SKIP() << "only an administrator may give a file to another user";
    }
    if (step == "noproc" && !ApplyPlatformStep(step, dir_, "")) {
      GTEST_SKIP() << "no mount namespace to be made here (unshare -m)";
    }
    if (step.rfind("after ", 0) == 0) later = step.substr(6);
    ASSERT_NO_FATAL_FAILURE(Apply(step));
  }
  const auto n = [&](int i) { return Numbered(i); };
  std::vector<std::intptr_t> started;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < runs_; ++i) {
    if (runs_ > 1) Spill(At("job{n}.xml", n(i)), Expand(job_, n(i)));
    started.push_back(StartLauncher(launcher_, Expand(arguments_, n(i)), dir_,
                                    environment_, At("stderr{n}", n(i))));
  }
  if (!later.empty()) {
    const auto [seconds, step] = Around(later, " ");
    std::this_thread::sleep_for(
        std::chrono::duration<double>(std::stod(seconds)));
    Apply(step);
  }
  const auto [status, report] = Around(row.outcome, " ");
  for (int i = 0; i < runs_; ++i) {
    EXPECT_EQ(FinishLauncher(started[i], 30), std::stoi(status)) << "run " << i;
  }
  const std::chrono::duration<double> took =
      std::chrono::steady_clock::now() - start;
  const std::string errors = Slurp(At("stderr{n}", n(0)));
  const std::string expected =
      status == "0" ? "" : Expand("pvr-launch: " + TextOf(report));
  EXPECT_EQ(errors.substr(0, expected.size()), expected);
  EXPECT_EQ(errors.empty(), expected.empty()) << errors;

  bool logged = false, launched = false;
  const fs::path log = At("temp/~QZ-PVR-Log.txt");
  // A log as written, with its times blotted out, and a record as expected.
  const auto written = [&](const fs::path& path) {
    return std::regex_replace(
        Slurp(path), std::regex("at [0-2][0-9]:[0-5][0-9]:[0-5][0-9] ---"),
        "at hh:mm:ss ---");
  };
  const auto expected_text = [&](const std::string& text, int i) {
    const std::string expanded = Expand(text, n(i));
    return kPlatform == std::string("win32") ? Replace(expanded, "\n", "\r\n")
                                             : expanded;
  };
  for (const std::string& effect : row.effects) {
    const auto [verb, rest] = Around(effect, " ");
    if (verb == "kept" || verb == "gone") {
      const fs::path path = At(rest.empty() ? "Evening News.ts" : rest);
      EXPECT_EQ(fs::exists(fs::symlink_status(path)), verb == "kept") << effect;
    } else if (verb == "logged" || verb == "log") {
      logged = true;
      // Whole records only, each run's once, in any order.
      const std::string text = written(log);
      std::size_t length = verb == "log" ? 0 : text.size();
      for (int i = 0; verb == "log" && i < runs_; ++i) {
        length += expected_text(rest, i).size();
        EXPECT_NE(text.find(expected_text(rest, i)), std::string::npos) << text;
      }
      EXPECT_EQ(text.size(), length) << text;
    } else if (verb == "launched" || verb == "recorder") {
      launched = true;
    } else if (verb == "holds") {
      const auto [name, text] = Around(rest, " = ");
      EXPECT_EQ(written(At(name)), expected_text(text, 0)) << effect;
    } else if (verb == "mode") {
      const auto last = rest.rfind(' ');
      EXPECT_EQ(fs::status(At(rest.substr(0, last))).permissions(),
                fs::perms(std::stoi(rest.substr(last), nullptr, 8)))
          << effect;
    } else if (verb == "took") {
      const auto [low, high] = Around(rest, "-");
      EXPECT_GE(took.count(), std::stod(low));
      EXPECT_LT(took.count(), std::stod(high));
    }
    if (verb == "recorder") {
      Spill(At("recorder report.go"), "");
      ASSERT_TRUE(Appears(At("recorder report"), 10));
      EXPECT_EQ(Slurp(At("recorder report")), rest);
    }
  }
  EXPECT_EQ(fs::is_regular_file(log), logged);
  for (int i = 0; i < runs_; ++i) {
    EXPECT_EQ(
        Appears(At("recorder report{n}.started", n(i)), launched ? 10 : 0.1),
        launched)
        << "run " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, Launcher, ::testing::ValuesIn(Rows()));

}  // namespace
}  // namespace pvr_test
