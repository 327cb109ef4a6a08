// The end-to-end runner's POSIX side.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "launcher_test.h"

namespace pvr_test {

const char* const kPlatform = "posix";
bool without_proc = false;

fs::path NativePath(const std::string& bytes) { return bytes; }

std::string BuildPath(const char* path) { return path; }

std::intptr_t StartLauncher(
    const fs::path& launcher, const std::string& arguments, const fs::path& dir,
    const std::map<std::string, std::string>& environment,
    const fs::path& errors) {
  // Cut at every space, so the launcher must join its words with one each.
  std::vector<std::string> words{launcher.string()},
      variables{"PATH=/usr/bin:/bin"};
  for (std::size_t from = 0, space = 0; space != std::string::npos;) {
    space = arguments.find(' ', from);
    if (!arguments.empty())
      words.push_back(arguments.substr(from, space - from));
    from = space + 1;
  }
  for (const auto& [name, value] : environment) {
    if (!value.empty()) variables.push_back(name + "=" + value);
  }
  std::vector<char*> argv, envp;
  for (auto& word : words) argv.push_back(word.data());
  for (auto& variable : variables) envp.push_back(variable.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    // Standard input closed, SIGTERM blocked and hang-ups ignored, as a
    // scheduler may leave them: the launcher must not take its own files
    // for standard input, nor hand the rest on to the recorder.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_SETMASK, &blocked, nullptr);
    signal(SIGHUP, SIG_IGN);
    close(STDIN_FILENO);
    dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
    dup2(open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
         STDERR_FILENO);
    if (chdir(dir.c_str()) != 0) _exit(126);
    // Without /proc: an empty one in a mount namespace of the launcher's own.
    if (without_proc &&
        (unshare(CLONE_NEWNS) != 0 ||
         mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
         mount("none", "/proc", "tmpfs", 0, nullptr) != 0)) {
      _exit(126);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  without_proc = false;
  return child;
}

int FinishLauncher(std::intptr_t started, double seconds) {
  const auto pid = static_cast<pid_t>(started);
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > until) kill(pid, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool ApplyPlatformStep(const std::string& verb, const fs::path& path,
                       const std::string&) {
  if (verb == "noproc") {  // whether a mount namespace can be made here
    const pid_t probe = fork();
    if (probe == 0) _exit(unshare(CLONE_NEWNS) == 0 ? 0 : 1);
    int status = 1;
    waitpid(probe, &status, 0);
    return without_proc = status == 0;
  }
  if (verb == "owner") return lchown(path.c_str(), 65534, 65534) == 0;
  return verb == "fifo" && mkfifo(path.c_str(), 0644) == 0;
}

bool IsAdministrator() { return geteuid() == 0; }

}  // namespace pvr_test
