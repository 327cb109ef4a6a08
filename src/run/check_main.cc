#include "run/check_sequence.h"

// A console program: it prints what it finds. The argument is one text, as
// the launcher takes it.
#ifdef _WIN32
int wmain() { return pvr::RunCheck(0, nullptr); }
#else
int main(int argc, char** argv) { return pvr::RunCheck(argc, argv); }
#endif
