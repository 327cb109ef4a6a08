#include "run/run_sequence.h"

// The command line is taken from the platform as one text (ArgumentText),
// never as words, so the entry point takes nothing. Windows builds use the
// wide entry point.
#ifdef _WIN32
int wmain() { return pvr::RunLauncher(); }
#else
int main() { return pvr::RunLauncher(); }
#endif
