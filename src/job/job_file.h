// Reading a job file and taking from it the job data, the target path and
// the launch command. Tags are found as plain text, not parsed as XML.
#pragma once

#include <cstdint>
#include <vector>

#include "text/text.h"

namespace pvr {

// The start and the length of a tag's value must fit in 16 bits.
using TextPos = std::int16_t;

enum class CaseRule { kAnyCase, kExactCase };

// The text between the first opening tag in scope and the first closing tag
// after it. A missing tag or a value beyond 32767 characters is a failure.
Text TagValue(const Text& scope, const Text& open, const Text& close,
              CaseRule rule);

// The job data of a job file already read into lines.
Text JobDataOf(std::vector<Text> lines);

// Reads the job file and returns its trimmed "<pvr-data>" value.
Text LoadJobData(const Text& job_path);

// Work directory, show file name and extension, joined as they stand.
Text TargetPathOf(const Text& job_data);

// The "<code>" value of the command section, backslash-quotes decoded.
Text LaunchCommandOf(const Text& job_data);

}  // namespace pvr
