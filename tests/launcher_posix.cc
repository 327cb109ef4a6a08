// The end-to-end runner's POSIX side.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <utility>
#include <vector>

#include "launcher_test.h"

namespace pvr_test {

const char* const kPlatform = "posix";

namespace {
bool without_proc = false;
}  // namespace

fs::path NativePath(const std::string& bytes) { return bytes; }

std::string BuildPath(const char* path) { return path; }

std::intptr_t StartLauncher(
    const fs::path& launcher, const std::string& arguments, const fs::path& dir,
    const std::map<std::string, std::string>& environment,
    const fs::path& errors) {
  // Cut at every space, so the launcher must join its words with one each;
  // without /proc, in a mount namespace of its own.
  std::vector<std::string> words{launcher.string()};
  if (std::exchange(without_proc, false)) {
    words.insert(words.begin(),
                 {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                  "mount -t tmpfs none /proc && exec \"$0\" \"$@\""});
  }
  for (std::size_t from = 0; !arguments.empty(); ++from) {
    const auto space = arguments.find(' ', from);
    words.push_back(arguments.substr(from, space - from));
    if (space == std::string::npos) break;
    from = space;
  }
  std::vector<std::string> variables{"PATH=/usr/bin:/bin"};
  for (const auto& [name, value] : environment) {
    if (!value.empty()) variables.push_back(name + "=" + value);
  }
  std::vector<char*> argv, envp;
  for (auto& word : words) argv.push_back(word.data());
  for (auto& variable : variables) envp.push_back(variable.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  // Standard input closed: the launcher must not take its own files for it.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  posix_spawn_file_actions_addclose(&actions, STDIN_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null",
                                   O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // A signal blocked, as a scheduler may leave it: the recorder must not be.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  posix_spawnattr_setsigmask(&attributes, &blocked);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  // Hang-ups ignored, as a scheduler may have them: the recorder must not.
  const auto handler = signal(SIGHUP, SIG_IGN);
  pid_t child = -1;
  posix_spawn(&child, argv[0], &actions, &attributes, argv.data(), envp.data());
  signal(SIGHUP, handler);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return child;
}

int FinishLauncher(std::intptr_t started, double seconds) {
  const auto pid = static_cast<pid_t>(started);
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > until) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool ApplyPlatformStep(const std::string& verb, const fs::path& path,
                       const std::string&) {
  if (verb == "noproc") {
    without_proc = std::system("unshare -m true 2>/dev/null") == 0;
    return without_proc;
  }
  if (verb == "owner") return lchown(path.c_str(), 65534, 65534) == 0;
  return verb == "fifo" && mkfifo(path.c_str(), 0644) == 0;
}

bool IsAdministrator() { return geteuid() == 0; }

}  // namespace pvr_test
