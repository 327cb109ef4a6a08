#include "platform/platform.h"
#include "run/check_sequence.h"
#include "run/run_sequence.h"

namespace {

int CheckerMain(const pvr::Text& argument_text) {
  if (pvr::AnswerOption(argument_text, "pvr-launch-check")) return 0;
  return pvr::RunCheck(argument_text);
}

}  // namespace

// A console program: it prints what it finds. The argument is one text, as
// the launcher takes it.
#ifdef _WIN32
int wmain() { return CheckerMain(pvr::ArgumentText(0, nullptr)); }
#else
int main(int argc, char** argv) {
  return CheckerMain(pvr::ArgumentText(argc, argv));
}
#endif
