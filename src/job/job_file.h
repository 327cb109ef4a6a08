// Reading a job file and taking from it the job data, the target path and
// the launch command. Tags are found as plain text, not parsed as XML.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "text/lines.h"
#include "text/text.h"

namespace pvr {

// The start and the length of a tag's value must fit in 16 bits.
using TextPos = std::int16_t;

enum class CaseRule { kAnyCase, kExactCase };

// The text between the first opening tag in scope and the first closing tag
// after it. A missing tag or a value beyond 32767 characters is a failure.
Text TagValue(const Text& scope, const Text& open, const Text& close,
              CaseRule rule);

// A job file taken a piece at a time. Only a window at the start of the
// joined job text can hold a value within the 16-bit limits; beyond it, only
// whether the tag still missing turns up decides between a missing tag and
// an overflow, so the rest is searched, not kept.
struct JobTextReader {
  LineJoiner joiner;
  Text job_text;  // the window, and the rest of the piece that filled it
  Text sought;    // the tag looked for beyond the window, if any
  Text tail;      // the end of the text joined beyond it, a tag's length
  bool found = false;
};

// Takes the next piece of the job file's text; false once the outcome is
// decided and nothing more need be read.
bool TakeJobText(JobTextReader& reader, const Text& piece);

// The trimmed "<pvr-data>" value of the text taken, or the failure that the
// whole job text would give.
Text JobDataOf(const JobTextReader& reader);

// Reads the job file and returns its trimmed "<pvr-data>" value; where
// asked, with each place in it where two lines were joined.
Text LoadJobData(const Text& job_path,
                 std::vector<std::size_t>* joins = nullptr);

// Work directory, show file name and extension, joined as they stand.
Text TargetPathOf(const Text& job_data);

// The "<code>" value of the command section, backslash-quotes decoded.
Text LaunchCommandOf(const Text& job_data);

}  // namespace pvr
