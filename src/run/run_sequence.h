#pragma once

#include "text/text.h"

namespace pvr {

// The argument trimmed, with one pair of enclosing double quotes stripped
// and trimmed again. Empty when there is no argument.
Text JobPathOf(const Text& argument_text);

// True when the job path names something to do: ".xml" in it, in any
// letter case, and an existing file.
bool HasJob(const Text& job_path);

// The whole run, from the command line to the launch. Returns the process's
// exit status: 0 for a run that did its job or had nothing to do.
int RunLauncher(int argc, char** argv);

}  // namespace pvr
