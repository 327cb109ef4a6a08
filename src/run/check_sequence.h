#pragma once

namespace pvr {

// What a run of the launcher would do with the job the command line names,
// found by the launcher's own steps, one item a line on standard output;
// nothing is deleted, logged or started. Returns the exit status the run
// would end with, and reports its failure as the run would word it.
int RunCheck(int argc, char** argv);

}  // namespace pvr
