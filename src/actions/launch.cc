#include "actions/launch.h"

#include "platform/platform.h"

namespace pvr {

void LaunchMinimized(const Text& launch_command) {
  StartProcess(launch_command);
}

}  // namespace pvr
