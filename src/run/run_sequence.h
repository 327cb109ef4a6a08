#pragma once

#include "text/text.h"

namespace pvr {

// "--version" or "--help", exactly and alone, answered on standard output
// for the named program; false for anything else. Neither holds ".xml", so
// no job path changes meaning.
bool AnswerOption(const Text& argument_text, const char* program);

// The whole run for the command line's argument text: the plan, then the
// acts. Returns the process's exit status: 0 for a run that did its job or
// had nothing to do.
int RunLauncher(const Text& argument_text);

}  // namespace pvr
