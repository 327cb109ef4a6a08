#include "actions/launch.h"

#include "platform/platform.h"

namespace pvr {

void LaunchMinimized(const ProgramToStart& program, HeldFile* output,
                     const Text& target_path) {
  StartProcess(program, output, target_path);
}

}  // namespace pvr
