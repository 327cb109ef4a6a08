#include "platform/platform.h"
#include "run/run_sequence.h"

namespace {

int LauncherMain(const pvr::Text& argument_text) {
  if (pvr::AnswerOption(argument_text, "pvr-launch")) return 0;
  return pvr::RunLauncher(argument_text);
}

}  // namespace

// The argument is one text, never words: Windows builds use the wide entry
// point and take the raw command line from the system.
#ifdef _WIN32
int wmain() { return LauncherMain(pvr::ArgumentText(0, nullptr)); }
#else
int main(int argc, char** argv) {
  return LauncherMain(pvr::ArgumentText(argc, argv));
}
#endif
