#include <string>

#include "platform/platform.h"
#include "run/run_sequence.h"

// The argument is one text, never words: Windows builds use the wide entry
// point and take the raw command line from the system.
#ifdef _WIN32
int wmain() { return pvr::RunLauncher(0, nullptr); }
#else
int main(int argc, char** argv) {
  // These two alone, as the whole argument: neither holds ".xml", so no
  // job path changes meaning.
  const std::string option = argc == 2 ? argv[1] : "";
  if (option == "--version" || option == "--help") {
    pvr::PrintLine(
        pvr::TextOf(option == "--version" ? "pvr-launch " PVR_VERSION
                                          : "Usage: pvr-launch JOBFILE"),
        false);
    return 0;
  }
  return pvr::RunLauncher(argc, argv);
}
#endif
