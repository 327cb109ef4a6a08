#include "actions/launch.h"

#include "platform/platform.h"

namespace pvr {

void LaunchMinimized(const Text& program, const Text& launch_command) {
  StartProcess(program, launch_command);
}

}  // namespace pvr
