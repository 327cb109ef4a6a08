#pragma once

#include "text/text.h"

namespace pvr {

// What a run of the launcher would do with the job the argument text names:
// the run's own plan, one item a line on standard output; nothing is
// deleted, made, logged or started. Returns the exit status the run would
// end with, and reports its failure as the run would word it.
int RunCheck(const Text& argument_text);

}  // namespace pvr
