// The end-to-end runner's POSIX side.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <vector>

#include "launcher_test.h"

namespace pvr_test {

bool without_proc = false, unprivileged = false;

fs::path NativePath(const std::string& bytes) { return bytes; }

std::string BuildPath(const char* path) { return path; }

std::intptr_t StartLauncher(
    const fs::path& launcher, const std::string& arguments, const fs::path& dir,
    const std::map<std::string, std::string>& environment,
    const fs::path& errors) {
  const pid_t child = fork();
  if (child != 0) {
    without_proc = unprivileged = false;
    return child;
  }
  // Standard input closed, SIGTERM blocked and hang-ups ignored, as a
  // scheduler may leave them: the launcher must not take its own files for
  // standard input, nor hand the rest on to the recorder.
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigprocmask(SIG_SETMASK, &blocked, nullptr);
  signal(SIGHUP, SIG_IGN);
  close(STDIN_FILENO);
  dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
  dup2(open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
  clearenv();
  setenv("PATH", "/usr/bin:/bin", 1);
  for (const auto& [name, value] : environment) {
    if (!value.empty()) setenv(name.c_str(), value.c_str(), 1);
  }
  // Cut at every space, so the launcher must join its words with one each.
  std::vector<std::string> words{launcher.string()};
  std::stringstream in(arguments);
  for (std::string word; std::getline(in, word, ' ');) words.push_back(word);
  if (!arguments.empty() && arguments.back() == ' ') words.push_back("");
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  // Without /proc: an empty one in a mount namespace of the launcher's own.
  // An administrator's run made as another user's.
  if (chdir(dir.c_str()) != 0 ||
      (unprivileged && geteuid() == 0 &&
       (setgid(65534) != 0 || setuid(65534) != 0)) ||
      (without_proc &&
       (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("none", "/proc", "tmpfs", 0, nullptr) != 0))) {
    _exit(126);
  }
  execv(argv[0], argv.data());
  _exit(127);
}

int FinishLauncher(std::intptr_t started, double seconds) {
  const auto pid = static_cast<pid_t>(started);
  int status = 0;
  for (int i = 0; waitpid(pid, &status, WNOHANG) == 0; ++i) {
    if (i == static_cast<int>(seconds * 1000)) kill(pid, SIGKILL);
    usleep(1000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool ApplyPlatformStep(const std::string& verb, const fs::path& path,
                       const std::string&) {
#ifdef __SANITIZE_ADDRESS__
  if (verb == "noproc") return false;  // its runtime reads /proc
#endif
  if (verb == "noproc") {  // whether a mount namespace can be made here
    const pid_t probe = fork();
    if (probe == 0) _exit(unshare(CLONE_NEWNS) == 0 ? 0 : 1);
    int status = 1;
    waitpid(probe, &status, 0);
    return without_proc = status == 0;
  }
  if (verb == "owner") return lchown(path.c_str(), 65534, 65534) == 0;
  if (verb == "unprivileged") return unprivileged = true;
  return verb == "fifo" && mkfifo(path.c_str(), 0644) == 0;
}

bool IsAdministrator() { return geteuid() == 0; }

}  // namespace pvr_test
