#include "actions/launch.h"

#include "platform/platform.h"

namespace pvr {

void LaunchMinimized(const ProgramToStart& program) { StartProcess(program); }

}  // namespace pvr
