/* The least any launcher must do: start the command, detached, in a session
 * of its own with nothing on stdin, and exit. With --keeper first, the least
 * a launcher that keeps the command's end must do: fork a keeper, which
 * starts the command and reports the start, and exit on that report.
 * Usage: floor [--keeper] PROGRAM [ARG...] */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

static int Start(char** argv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null",
                                   O_RDONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t child;
  return posix_spawnp(&child, argv[0], &actions, &attributes, argv, environ);
}

int main(int argc, char** argv) {
  const int keeper = argc > 1 && strcmp(argv[1], "--keeper") == 0;
  if (argc < 2 + keeper) return 2;
  if (!keeper) return Start(argv + 1) == 0 ? 0 : 1;
  int report[2], error = -1;
  if (pipe2(report, O_CLOEXEC) != 0) return 1;
  if (fork() == 0) {
    error = Start(argv + 2);
    if (write(report[1], &error, sizeof error) < 0 || error != 0) _exit(1);
    setsid();
    wait(NULL);
    _exit(0);
  }
  close(report[1]);
  return read(report[0], &error, sizeof error) == sizeof error && error == 0
             ? 0
             : 1;
}
