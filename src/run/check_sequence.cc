#include "run/check_sequence.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "actions/run_log.h"
#include "job/job_file.h"
#include "platform/platform.h"
#include "run/failure.h"
#include "run/run_sequence.h"
#include "text/command_line.h"

namespace pvr {
namespace {

// Stands where two lines of the job file were joined; no job file's text
// decodes to it.
constexpr char16_t kLineMark = u'\uFFFF';

void Say(const char* label, const Text& value) {
  PrintLine(TextOf(label) + TextOf(": ") + value, false);
}

// Between brackets, so that spaces and quotes at a word's ends show.
Text Delimited(const Text& text) { return u"[" + text + u"]"; }

// The value derived from the job data read with line marks, or nothing
// where the marks push a value beyond its limits.
Text Marked(Text (*derive)(const Text&), const Text& marked_data) {
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
void WarnAboutUnquotedProgram(const Text& command,
                              const std::vector<Text>& words) {
  if (TrimSpaces(command).rfind(u"\"", 0) == 0) return;
  // Compared without case and with either slash, as Windows compares paths.
  const auto comparable = [](const Text& path) {
    return ReplaceText(LowerCase(path), TextOf("/"), TextOf("\\"));
  };
  Text found;
  try {
    found = comparable(FindProgram(command));
  } catch (const Failure&) {
  }
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
    Say("warning", TextOf("the program's path holds a space and is not "
                          "quoted: ") +
                       Delimited(words[0]) + TextOf(" starts, not ") +
                       Delimited(path) + TextOf("; put the path in quotes"));
    return;
  }
}

// The launcher's steps in the launcher's order, each shown as it is
// taken; the first failure ends the check as it would end the run.
void CheckJob(int argc, char** argv) {
  const Text job_path = JobPathOf(ArgumentText(argc, argv));
  Say("job", job_path);
  if (const char* reason = NothingToDo(job_path)) {
    Say("nothing to do", TextOf(reason));
    return;
  }
  const Text job_data = LoadJobData(job_path);
  const Text marked_data = Marked(
      [](const Text& path) { return LoadJobData(path, kLineMark); }, job_path);
  const Text target_path = TargetPathOf(job_data);
  Say("target", target_path);
  WarnAboutJoins("the target", Marked(TargetPathOf, marked_data));
  WarnAboutTargetName(target_path);
  // Made ready as a run makes it: its directory where missing, no log.
  Say("log", PrepareRunLog() + TextOf(" (the run can append its record)"));
  const bool stale = !target_path.empty() && FileExists(target_path);
  if (stale) CheckDeletable(target_path);
  Say("stale file", TextOf(stale ? "there, the run deletes it"
                                 : "none, the run deletes nothing"));
  const Text command = LaunchCommandOf(job_data);
  Say("command", command);
  WarnAboutJoins("the command", Marked(LaunchCommandOf, marked_data));
  const std::vector<Text> words = ProgramAndArguments(command);
  WarnAboutUnquotedProgram(command, words);
  Say("program", Delimited(words[0]));
  for (std::size_t i = 1; i < words.size(); ++i) {
    Say("argument", Delimited(words[i]));
  }
  Say("found", FindProgram(command));
}

}  // namespace

int RunCheck(int argc, char** argv) {
  try {
    CheckJob(argc, argv);
    return 0;
  } catch (const Failure& failure) {
    PrintLine(TextOf("pvr-launch: ") + FailureReport(failure), true);
    return ExitStatusOf(failure.kind);
  } catch (const std::bad_alloc&) {
    const Failure failure{FailureKind::kOutOfMemory, Text(), Text()};
    PrintLine(TextOf("pvr-launch: ") + FailureReport(failure), true);
    return ExitStatusOf(failure.kind);
  }
}

}  // namespace pvr
