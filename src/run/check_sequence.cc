#include "run/check_sequence.h"

#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "job/job_file.h"
#include "platform/platform.h"
#include "run/run_plan.h"
#include "text/command_line.h"
#include "text/failure.h"

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

// Each character a reader of the text acts on, and where.
Text ActedOn(const Text& text, const Text& always, const Text& unquoted) {
  Text acted_on;
  for (const std::size_t at : ActedOnAt(text, always, unquoted)) {
    acted_on += TextOf(" ") + Delimited(Text(1, text[at - 1])) +
                TextOf(" at ") + TextOf(std::to_string(at).c_str());
  }
  return acted_on;
}

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

// What makes a recording sure to fail, or a stale file not its own: the
// target's folder cannot take a new file, the show name holds a path
// separator, the command does not name the target.
void WarnAboutTargetPlace(const RunPlan& plan) {
  const Text& target = *plan.target_path;
  const Text separators = PathSeparator() + u'/';
  const auto slash = target.find_last_of(separators);
  const Text folder = slash == Text::npos ? TextOf(".")
                      : slash == 0        ? target.substr(0, 1)
                                          : target.substr(0, slash);
  const std::optional<Text> refused =
      target.empty() ? std::nullopt : WhyNoFileCanBeMadeIn(folder);
  if (refused) {
    Say("warning", TextOf("the target's folder ") + Delimited(folder) +
                       TextOf(" takes no new file: ") + *refused);
  }
  const Text show = DerivedFromMarkedData(
      [](const Text& data) {
        return TrimSpaces(TagValue(data, TextOf("<pvr-show-file-name>"),
                                   TextOf("</pvr-show-file-name>"),
                                   CaseRule::kAnyCase));
      },
      plan.job_data);
  if (show.find_first_of(separators) != Text::npos) {
    Say("warning", TextOf("the show name ") + Delimited(show) +
                       TextOf(" holds a path separator: the target lies in "
                              "another folder"));
  }
  if (!target.empty() && plan.launch_command &&
      FindText(*plan.launch_command, target) == 0) {
    Say("warning", TextOf("the command does not name the target ") +
                       Delimited(target) +
                       TextOf(": a stale file there is not this recording's"));
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
    // No file name is longer than 255 characters, nor any longer run's.
    if (path.size() - path.find_last_of(PathSeparator() + u'/') > 256) return;
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
  const Text acted_on = ActedOn(plan.program.command_line, u"%", u"&|<>^");
  Say("warning", TextOf("cmd.exe reads the command of a batch file") +
                     (acted_on.empty() ? Text()
                                       : TextOf(" and acts on") + acted_on +
                                             TextOf(": they may run or change "
                                                    "commands")));
}

// A shell given a script with -c acts on its quotes, $, `, \, ;, &, |, <,
// >, ( ) and wildcards: a show name such as "Grey's Anatomy" put into the
// script breaks its quoting.
void WarnAboutShellScript(const std::vector<Text>& words) {
  const Text name = words[0].substr(words[0].find_last_of(u'/') + 1);
  const Text shells[] = {u"sh", u"bash", u"dash", u"zsh", u"ksh", u"ash"};
  if (words.size() < 3 || words[1] != u"-c" ||
      std::find(std::begin(shells), std::end(shells), name) ==
          std::end(shells)) {
    return;
  }
  const Text acted_on = ActedOn(words[2], u"'\"`$\\;&|<>()*?[]", Text());
  if (!acted_on.empty()) {
    Say("warning", TextOf("the shell's script acts on") + acted_on +
                       TextOf(": a title with one of them breaks it"));
  }
}

void SayWords(const RunPlan& plan) {
  const std::vector<Text>& words = plan.words;
  if (words.empty()) return;  // no program: the report says so
  WarnAboutUnquotedProgram(plan, words);
  WarnAboutShellScript(words);
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
  // The plan's job data, marked where its lines met.
  Text marked_data = plan.job_data;
  for (auto at = plan.data_joins->rbegin(); at != plan.data_joins->rend(); ++at)
    marked_data.insert(*at, 1, kLineMark);
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
  WarnAboutTargetPlace(plan);
  SayWords(plan);
  if (!plan.log) return;
  for (const Text& directory : plan.log->directories_to_make) {
    Say("the run makes", directory + TextOf(" (for the user alone)"));
  }
  Say("log", plan.log->path + TextOf(" (the run appends its record)"));
  if (plan.output) {
    Say("output", plan.output->path +
                      TextOf(" (the recorder's output and how it ended)"));
  } else if (plan.output_failure) {
    Say("output", TextOf("none (") + FailureReport(*plan.output_failure) +
                      TextOf("); the recorder's output goes to /dev/null"));
  }
  if (plan.start_failure) return;
  Say("found", plan.program.path);
  if (plan.program.command_line != *plan.launch_command) {
    Say("its command line", plan.program.command_line);
  }
  WarnAboutCommandShell(plan);
}

// The launcher installed beside the checker writes the record, under its
// own name: the checker's less "-check".
Text LauncherName() {
  const Text own = ExecutableBaseName();
  const Text suffix = TextOf("-check");
  const std::size_t stem = own.size() - std::min(own.size(), suffix.size());
  return LowerCase(own.substr(stem)) == suffix ? own.substr(0, stem)
                                               : TextOf("pvr-launch");
}

int Report(const Failure& failure) {
  PrintLine(TextOf("pvr-launch: ") + FailureReport(failure), true);
  return ExitStatusOf(failure.kind);
}

}  // namespace

int RunCheck(const Text& argument_text) {
  RunPlan plan;
  plan.data_joins.emplace();
  std::optional<Failure> failure;
  try {
    try {
      PlanRun(argument_text, LauncherName(), plan);
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
