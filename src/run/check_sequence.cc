#include "run/check_sequence.h"

#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "job/job_file.h"
#include "platform/platform.h"
#include "run/failure.h"
#include "run/run_plan.h"
#include "text/command_line.h"

namespace pvr {
namespace {

// Stands where two lines of the job file were joined: half of a surrogate
// pair alone, which no decoding of a job file's bytes gives.
constexpr char16_t kLineMark = 0xDFFF;

void Say(const char* label, const Text& value) {
  PrintLine(TextOf(label) + TextOf(": ") + value, false);
}

// Between brackets, so that spaces and quotes at a word's ends show.
Text Delimited(const Text& text) { return u"[" + text + u"]"; }

// The value derived from the job data read with line marks, or nothing
// where the marks push a value beyond its limits.
Text DerivedFromMarkedData(Text (*derive)(const Text&),
                           const Text& marked_data) {
  try {
    return derive(marked_data);
  } catch (const Failure&) {
    return Text();
  }
}

// Each place where two lines met inside a value: the break is gone, and
// the words on either side are one word now when no space stood there.
void WarnAboutJoins(const char* value_name, const Text& marked) {
  const Text apart{u' ', u'\t', kLineMark};
  for (auto mark = marked.find(kLineMark); mark != Text::npos;
       mark = marked.find(kLineMark, mark + 1)) {
    const auto before =
        mark == 0 ? Text::npos : marked.find_last_of(apart, mark - 1);
    const auto start = before == Text::npos ? 0 : before + 1;
    const auto end =
        std::min(marked.find_first_of(apart, mark + 1), marked.size());
    const Text left = marked.substr(start, mark - start);
    const Text right = marked.substr(mark + 1, end - mark - 1);
    Say("warning",
        left.empty() || right.empty()
            ? TextOf(value_name) + TextOf(" is broken over lines, joined "
                                          "with nothing between them")
            : TextOf(value_name) + TextOf(" joins ") + Delimited(left) +
                  TextOf(" and ") + Delimited(right) +
                  TextOf(" with no space: a line break stood between them"));
  }
}

void WarnAboutTargetName(const Text& target_path) {
  const auto slash = target_path.find_last_of(PathSeparator() + u'/');
  const Text name =
      slash == Text::npos ? target_path : target_path.substr(slash + 1);
  const auto at = name.find_first_of(ForbiddenInFileNames());
  if (at != Text::npos) {
    Say("warning", TextOf("the target's file name holds a character no file "
                          "name here may hold, at position ") +
                       TextOf(std::to_string(at + 1).c_str()));
  }
}

// A program path with spaces, unquoted, starts the program named by its
// first word: a longer run of words that names a file is what was meant.
void WarnAboutUnquotedProgram(const RunPlan& plan,
                              const std::vector<Text>& words) {
  if (TrimSpaces(*plan.launch_command).rfind(u"\"", 0) == 0) return;
  // Compared without case and with either slash, as Windows compares paths.
  const auto comparable = [](const Text& path) {
    return ReplaceText(LowerCase(path), TextOf("/"), TextOf("\\"));
  };
  // The plan's program; where more than one matches, or the one found
  // cannot start, the report says so, and nothing starts.
  if (plan.start_failure &&
      plan.start_failure->kind != FailureKind::kProgramNotFound) {
    return;
  }
  const Text found =
      plan.start_failure ? Text() : comparable(plan.program.path);
  Text path = words[0];
  for (std::size_t i = 1; i < words.size(); ++i) {
    path += u" " + words[i];
    try {
      if (!FileExists(path) && !FileExists(path + TextOf(".exe"))) continue;
    } catch (const Failure&) {
      continue;
    }
    // Where the system tries the longer path itself and starts it, all is
    // well.
    for (const Text& name : {path, path + TextOf(".exe")}) {
      const Text end = comparable(name);
      if (found.size() >= end.size() &&
          found.compare(found.size() - end.size(), end.size(), end) == 0) {
        return;
      }
    }
    Say("warning",
        TextOf("the program's path holds a space and is not quoted: ") +
            Delimited(words[0]) +
            TextOf(found.empty() ? " is taken for the program, not "
                                 : " starts, not ") +
            Delimited(path) + TextOf("; put the path in quotes"));
    return;
  }
}

// cmd.exe reads a batch file's command line by its own rules: a double
// quote turns quoting on and off, with no backslash escape; outside quotes
// & | < > run or redirect commands and ^ escapes; % expands, in quotes too.
// Titles in a command often come from programme data.
void WarnAboutCommandShell(const RunPlan& plan) {
  if (plan.start_failure || !IsReadByCommandShell(plan.program.path)) return;
  const Text& line = plan.program.command_line;
  Text acted_on;
  bool quoted = false;
  for (std::size_t at = 0; at < line.size(); ++at) {
    quoted = quoted != (line[at] == u'"');
    if (line[at] == u'%' ||
        (!quoted && Text(u"&|<>^").find(line[at]) != Text::npos)) {
      acted_on += TextOf(" ") + Delimited(Text(1, line[at])) + TextOf(" at ") +
                  TextOf(std::to_string(at + 1).c_str());
    }
  }
  Say("warning", TextOf("cmd.exe reads the command of a batch file") +
                     (acted_on.empty() ? Text()
                                       : TextOf(" and acts on") + acted_on +
                                             TextOf(": they may run or change "
                                                    "commands")));
}

void SayWords(const RunPlan& plan) {
  std::vector<Text> words;
  try {
    words = ProgramAndArguments(*plan.launch_command);
  } catch (const Failure&) {
    return;  // no program: the report says so
  }
  WarnAboutUnquotedProgram(plan, words);
  Say("program", Delimited(words[0]));
  for (std::size_t i = 1; i < words.size(); ++i) {
    Say("argument", Delimited(words[i]));
  }
}

// The plan as far as it was made, in the run's order, with what is valid
// but probably not meant.
void ShowPlan(const RunPlan& plan, bool fails) {
  Say("job", plan.job_path);
  if (plan.nothing_to_do != nullptr) {
    Say("nothing to do", TextOf(plan.nothing_to_do));
  }
  if (!plan.target_path) return;
  const Text marked_data = DerivedFromMarkedData(
      [](const Text& path) { return LoadJobData(path, kLineMark); },
      plan.job_path);
  Say("target", *plan.target_path);
  WarnAboutJoins("the target",
                 DerivedFromMarkedData(TargetPathOf, marked_data));
  WarnAboutTargetName(*plan.target_path);
  if (plan.stale) {
    Say("stale file", TextOf(!*plan.stale ? "none, the run deletes nothing"
                             : fails      ? "there, the run keeps it"
                                          : "there, the run deletes it"));
  }
  if (!plan.launch_command) return;
  Say("command", *plan.launch_command);
  WarnAboutJoins("the command",
                 DerivedFromMarkedData(LaunchCommandOf, marked_data));
  SayWords(plan);
  if (!plan.log) return;
  for (const Text& directory : plan.log->directories_to_make) {
    Say("the run makes", directory + TextOf(" (for the user alone)"));
  }
  Say("log", plan.log->path + TextOf(" (the run appends its record)"));
  if (plan.start_failure) return;
  Say("found", plan.program.path);
  if (plan.program.command_line != *plan.launch_command) {
    Say("its command line", plan.program.command_line);
  }
  WarnAboutCommandShell(plan);
}

int Report(const Failure& failure) {
  PrintLine(TextOf("pvr-launch: ") + FailureReport(failure), true);
  return ExitStatusOf(failure.kind);
}

}  // namespace

int RunCheck(const Text& argument_text) {
  RunPlan plan;
  std::optional<Failure> failure;
  try {
    try {
      PlanRun(argument_text, plan);
    } catch (const Failure& planned) {
      failure = planned;
    }
    if (!failure) failure = plan.start_failure;
    ShowPlan(plan, failure.has_value());
  } catch (const std::bad_alloc&) {
    failure = Failure{FailureKind::kOutOfMemory, Text(), Text()};
  }
  return failure ? Report(*failure) : 0;
}

}  // namespace pvr
