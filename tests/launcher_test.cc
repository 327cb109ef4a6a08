// Runs every row of launcher_cases.txt: the real launcher in a scratch
// directory of its own, checked for its status, its report and what it left.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "launcher_test.h"

namespace pvr_test {
namespace {

using Strings = std::vector<std::string>;

struct Row {
  int line;
  Strings fields;  // situation, setup, outcome, effects
};

void PrintTo(const Row& row, std::ostream* out) {
  *out << "launcher_cases.txt:" << row.line << ": " << row.fields[0];
}

std::string Replace(std::string text, const std::string& from,
                    const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  return first == std::string::npos
             ? ""
             : text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// "a SEPARATOR b" as a and b, trimmed; b is empty without the separator.
std::pair<std::string, std::string> Around(const std::string& text,
                                           const std::string& separator) {
  const auto at = text.find(separator);
  if (at == std::string::npos) return {Trim(text), ""};
  return {Trim(text.substr(0, at)), Trim(text.substr(at + separator.size()))};
}

Strings Split(const std::string& text, char separator, bool keep_empty) {
  Strings parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, separator);) {
    if (keep_empty || !Trim(part).empty()) parts.push_back(Trim(part));
  }
  return parts;
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

std::vector<Row> Rows() {
  std::ifstream in(NativePath(BuildPath(PVR_CASES)), std::ios::binary);
  std::vector<Row> rows;
  int number = 0;
  for (std::string line; std::getline(in, line); ++number) {
    if (line.rfind("  ", 0) == 0) {
      rows.back().fields[0] += line.substr(2);
    } else if (!line.empty() && line[0] != '#') {
      rows.push_back({number + 1, {line}});
    }
  }
  std::vector<Row> taken;
  for (Row& row : rows) {
    std::string text = row.fields[0];
    const auto [mark, marked] = Around(text, ": ");
    if (mark == "posix" || mark == "win32") {
      text = mark == kPlatform ? marked : "";
    }
    const auto [name, value] = Around(text, " = ");
    if (text[0] == '{') names[name] = TextOf(value);
    if (text.empty() || text[0] == '{') continue;
    row.fields = Split(text + "|||", '|', true);
    taken.push_back(row);
  }
  return taken;
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
    // Recorders still running hold files here: they are told to end.
    for (int i = 0; i < runs_; ++i) {
      if (fs::exists(At("recorder report{n}.started", N(i)))) {
        Spill(At("recorder report{n}.go", N(i)), "");
        Appears(At("recorder report{n}", N(i)), 10);
      }
    }
    for (int i = 0;
         i < 50 && fs::remove_all(dir_, ignored) == std::uintmax_t(-1); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  // The number of a run among several at once; nothing for a single one.
  std::string N(int i) { return runs_ == 1 ? "" : std::to_string(i); }
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
    const auto [name, text] = Around(rest, " = ");
    const auto [link, target] = Around(rest, " -> ");
    const auto last = rest.rfind(' ');
    const std::string head = rest.substr(0, last), tail = rest.substr(last + 1);
    const auto edit = step.find(" =>");
    std::string job = Expand(job_);
    if (verb == "stale") {
      Spill(At("Evening News.ts"), "stale");
    } else if (verb == "job") {
      SetJob(rest);
    } else if (verb == "edit") {
      const std::string from = step.substr(5, edit - 5);
      ASSERT_NE(job_.find(from), std::string::npos) << step;
      SetJob(Replace(job_, from, step.substr(std::min(edit + 4, step.size()))));
    } else if (verb == "pad") {  // the data value to this many characters
      const auto start = job.find("<pvr-data>") + 10;
      const auto end = job.find("</pvr-data>");
      SetJob(job.insert(end, std::stoul(rest) - (end - start), 'x'));
    } else if (verb == "grow" || verb == "lead") {  // this many characters
      const std::string more(std::stoul(rest), 'x');
      SetJob(verb == "grow" ? job_ + more : more + job_);
    } else if (verb == "file") {
      Spill(At(name), text.empty() ? "stale" : Expand(text));
    } else if (verb == "dir" || verb == "rm") {
      verb == "dir" ? fs::create_directory(At(rest)) : fs::remove(At(rest));
    } else if (verb == "mode") {
      fs::permissions(At(head), fs::perms(std::stoi(tail, nullptr, 8)));
    } else if (verb == "link") {
      fs::create_symlink(NativePath(Expand(target)), At(link));
    } else if (verb == "arg") {
      arguments_ = step.substr(std::min<std::size_t>(4, step.size()));
    } else if (verb == "env") {
      environment_[Around(rest, "=").first] = Expand(Around(rest, "=").second);
    } else if (verb == "as") {
      launcher_ = At(rest);
      fs::copy_file(NativePath(BuildPath(PVR_LAUNCH)), launcher_);
    } else if (verb == "runs") {
      runs_ = std::stoi(rest);
    } else if (verb != "after" && verb != "unprivileged" && verb != "noproc" &&
               verb != "native") {
      const bool hold = verb == "hold";
      ASSERT_TRUE(
          ApplyPlatformStep(verb, At(hold ? head : rest), hold ? tail : ""))
          << step;
    }
  }

  fs::path dir_, launcher_ = NativePath(BuildPath(PVR_LAUNCH));
  std::string job_, arguments_ = "@/job{n}.xml";
  std::map<std::string, std::string> environment_;
  int runs_ = 1;
};

TEST_P(Launcher, EndsAsTheTableSays) {
  const Strings& fields = GetParam().fields;
  std::string later;
  for (const std::string& raw : Split(fields[1], ';', false)) {
    const std::string step = TextOf(raw);
    const auto built_so = [](const char* variable) {
      const char* value = std::getenv(variable);
      return value != nullptr && value[0] == '1';
    };
    const char* skip =
        step == "unprivileged" && IsAdministrator()
            ? "run as an administrator, who may read and delete all"
        : step.rfind("owner ", 0) == 0 && !IsAdministrator()
            ? "only an administrator may give a file to another user"
        : step == "native" && built_so("PVR_EMULATED")
            ? "an emulator runs the spawn as a plain fork: an exec failing "
              "on the file's format goes unreported"
        : step == "noproc" && built_so("PVR_SANITIZED")
            ? "the sanitizers' runtime reads its settings from /proc"
        : step == "noproc" && !ApplyPlatformStep(step, dir_, "")
            ? "no mount namespace to be made here (unshare -m)"
            : nullptr;
    if (skip != nullptr) GTEST_SKIP() << skip;
    if (step.rfind("after ", 0) == 0) later = step.substr(6);
    ASSERT_NO_FATAL_FAILURE(Apply(step));
  }
  std::vector<std::intptr_t> started;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < runs_; ++i) {
    if (runs_ > 1) Spill(At("job{n}.xml", N(i)), Expand(job_, N(i)));
    started.push_back(StartLauncher(launcher_, Expand(arguments_, N(i)), dir_,
                                    environment_, At("stderr{n}", N(i))));
  }
  if (!later.empty()) {
    std::this_thread::sleep_for(
        std::chrono::duration<double>(std::stod(Around(later, " ").first)));
    Apply(Around(later, " ").second);
  }
  const auto [status, report] = Around(fields[2], " ");
  for (int i = 0; i < runs_; ++i) {
    EXPECT_EQ(FinishLauncher(started[i], 30), std::stoi(status)) << "run " << i;
  }
  const std::chrono::duration<double> took =
      std::chrono::steady_clock::now() - start;
  const std::string errors = Slurp(At("stderr{n}", N(0)));
  const std::string expected =
      status == "0" ? "" : Expand("pvr-launch: " + TextOf(report));
  EXPECT_EQ(errors.substr(0, expected.size()), expected);
  EXPECT_EQ(errors.empty(), expected.empty()) << errors;

  // A file as written, its times blotted out; and as the table has it, each
  // run's once, in any order.
  const auto holds = [&](const fs::path& path, const std::string& text) {
    const std::string written = std::regex_replace(
        Slurp(path), std::regex("at [0-2][0-9]:[0-5][0-9]:[0-5][0-9] ---"),
        "at hh:mm:ss ---");
    std::size_t length = 0;
    for (int i = 0; i < runs_; ++i) {
      std::string record = Expand(text, N(i));
      if (kPlatform == std::string("win32")) {
        record = Replace(record, "\n", "\r\n");
      }
      length += record.size();
      EXPECT_NE(written.find(record), std::string::npos) << written;
    }
    EXPECT_EQ(written.size(), length) << written;
  };
  bool logged = false, launched = false;
  const fs::path log = At("temp/~QZ-PVR-Log.txt");
  for (const std::string& raw : Split(fields[3], ';', false)) {
    const std::string effect = TextOf(raw);
    const auto [verb, rest] = Around(effect, " ");
    const auto last = rest.rfind(' ');
    const auto [low, high] = Around(rest, "-");
    logged = logged || verb == "logged" || verb == "log";
    launched = launched || verb == "launched" || verb == "recorder";
    if (verb == "kept" || verb == "gone") {
      const fs::path path = At(rest.empty() ? "Evening News.ts" : rest);
      EXPECT_EQ(fs::exists(fs::symlink_status(path)), verb == "kept") << effect;
    } else if (verb == "log") {
      holds(log, rest);
    } else if (verb == "holds") {
      holds(At(Around(rest, " = ").first), Around(rest, " = ").second);
    } else if (verb == "mode") {
      EXPECT_EQ(fs::status(At(rest.substr(0, last))).permissions(),
                fs::perms(std::stoi(rest.substr(last), nullptr, 8)))
          << effect;
    } else if (verb == "took") {
      EXPECT_GE(took.count(), std::stod(low));
      EXPECT_LT(took.count(), std::stod(high));
    } else if (verb == "recorder") {
      Spill(At("recorder report.go"), "");
      ASSERT_TRUE(Appears(At("recorder report"), 10));
      EXPECT_EQ(Slurp(At("recorder report")), rest);
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
