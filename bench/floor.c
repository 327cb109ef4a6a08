/* The least any launcher must do: start the command, detached, in a session
 * of its own with nothing on stdin, and exit. Usage: floor PROGRAM [ARG...] */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null",
                                   O_RDONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t child;
  return posix_spawnp(&child, argv[1], &actions, &attributes, argv + 1,
                      environ) == 0
             ? 0
             : 1;
}
