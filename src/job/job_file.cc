#include "job/job_file.h"

#include <limits>

#include "platform/platform.h"
#include "run/failure.h"

namespace pvr {
namespace {

TextPos ToTextPos(std::int64_t value, const Text& tag, const char* what) {
  if (value < std::numeric_limits<TextPos>::min() ||
      value > std::numeric_limits<TextPos>::max()) {
    throw Failure{FailureKind::kOverflow, tag, TextOf(what)};
  }
  return static_cast<TextPos>(value);
}

Text SearchCopy(const Text& text, CaseRule rule) {
  return rule == CaseRule::kAnyCase ? LowerCase(text) : text;
}

}  // namespace

Text TagValue(const Text& scope, const Text& open, const Text& close,
              CaseRule rule) {
  const Text search_copy = SearchCopy(scope, rule);
  const std::int32_t found = FindText(search_copy, open);
  // Guessing a start for a missing tag could derive a wrong target path,
  // and that path is deleted: refuse instead.
  if (found == 0) {
    throw Failure{FailureKind::kInvalidArgument, open,
                  TextOf("opening tag missing")};
  }
  const TextPos start = ToTextPos(std::int64_t{found} + LengthOf(open), open,
                                  "value starts beyond position 32767");
  // The closing tag is searched from the start of the value on, in the
  // search copy: lower-casing maps character to character, so positions
  // there are positions in scope. Searching in place rather than in a copy
  // of the rest keeps a huge job file from being copied twice more.
  const auto close_at = search_copy.find(close, start - 1);
  // As FindText in the rest would give it: 1-based there, 0 for none.
  const std::int64_t found_close =
      close_at == Text::npos ? 0
                             : static_cast<std::int64_t>(close_at) - start + 2;
  const TextPos count =
      ToTextPos(found_close - 1, close, "value longer than 32767 characters");
  if (count < 0) {
    throw Failure{FailureKind::kInvalidArgument, close,
                  TextOf("closing tag missing")};
  }
  // The count characters of scope from start on.
  return scope.substr(static_cast<std::size_t>(start) - 1,
                      static_cast<std::size_t>(count));
}

Text JobDataOf(std::vector<Text> lines) {
  Text job_text;
  // Each line is let go once joined: a huge job file is held once, not twice.
  for (Text& line : lines) {
    job_text += TrimSpaces(line);
    Text().swap(line);
  }
  return TrimSpaces(TagValue(job_text, TextOf("<pvr-data>"),
                             TextOf("</pvr-data>"), CaseRule::kAnyCase));
}

Text LoadJobData(const Text& job_path) {
  return JobDataOf(ReadTextLines(job_path));
}

Text TargetPathOf(const Text& job_data) {
  Text target =
      TrimSpaces(TagValue(job_data, TextOf("<pvr-work-dir>"),
                          TextOf("</pvr-work-dir>"), CaseRule::kAnyCase));
  target +=
      TrimSpaces(TagValue(job_data, TextOf("<pvr-show-file-name>"),
                          TextOf("</pvr-show-file-name>"), CaseRule::kAnyCase));
  target +=
      TrimSpaces(TagValue(job_data, TextOf("<pvr-show-file-ext>"),
                          TextOf("</pvr-show-file-ext>"), CaseRule::kAnyCase));
  return target;
}

Text LaunchCommandOf(const Text& job_data) {
  const Text section =
      TrimSpaces(TagValue(job_data, TextOf("<pvr-show-cmd>"),
                          TextOf("</pvr-show-cmd>"), CaseRule::kAnyCase));
  Text command = TagValue(section, TextOf("<code>"), TextOf("</code>"),
                          CaseRule::kExactCase);
  const Text escaped_quote = TextOf("\\\"");
  if (FindText(command, escaped_quote) > 0) {
    command = ReplaceText(command, escaped_quote, TextOf("\""));
  }
  return command;
}

}  // namespace pvr
