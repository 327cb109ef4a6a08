#pragma once

#include "text/text.h"

namespace pvr {

// The argument trimmed, with one pair of enclosing double quotes stripped
// and trimmed again. Empty when there is no argument.
Text JobPathOf(const Text& argument_text);

// Why there is nothing to do for the job path, or nullptr when there is:
// it must hold ".xml", in any letter case, and name an existing file.
const char* NothingToDo(const Text& job_path);

// The whole run, from the command line to the launch. Returns the process's
// exit status: 0 for a run that did its job or had nothing to do.
int RunLauncher(int argc, char** argv);

}  // namespace pvr
