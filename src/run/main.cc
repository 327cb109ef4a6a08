#include "run/run_sequence.h"

// The argument is one text, never words: Windows builds use the wide entry
// point and take the raw command line from the system.
#ifdef _WIN32
int wmain() { return pvr::RunLauncher(0, nullptr); }
#else
int main(int argc, char** argv) { return pvr::RunLauncher(argc, argv); }
#endif
