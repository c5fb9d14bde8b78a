#include "processes.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

extern char** environ;

namespace zentrafold::testing {
namespace {

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& environment) {
  std::vector<std::string> names;
  for (const std::string& entry : environment) names.push_back(entry.substr(0, entry.find('=') + 1));
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) {
    bool replaced = false;
    for (const std::string& name : names) replaced = replaced || std::strncmp(*e, name.c_str(), name.size()) == 0;
    if (!replaced) env.push_back(*e);
  }
  for (const std::string& entry : environment) env.push_back(const_cast<char*>(entry.c_str()));
  env.push_back(nullptr);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), env.data()) == 0) pid_ = pid;
}

ChildProcess::~ChildProcess() { Kill(); }

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_), status_(other.status_) {
  other.pid_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Kill();
    pid_ = other.pid_;
    status_ = other.status_;
    other.pid_ = -1;
  }
  return *this;
}

bool ChildProcess::Running() {
  if (pid_ <= 0 || status_) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = ExitCodeOf(status);
    return false;
  }
  return true;
}

std::optional<int> ChildProcess::WaitExit(std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (Running()) {
    if (std::chrono::steady_clock::now() > end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return status_;
}

void ChildProcess::Kill() {
  if (!Running()) return;
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  status_ = ExitCodeOf(status);
}

XvfbServer::XvfbServer(int depth, int width, int height) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return;
  // The write end must survive exec, the read end must not.
  fcntl(pipeFds[0], F_SETFD, FD_CLOEXEC);
  const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x" +
                             std::to_string(depth);
  process_ = ChildProcess({"Xvfb", "-displayfd", std::to_string(pipeFds[1]), "-screen", "0",
                           screen, "-nolisten", "tcp", "-noreset"},
                          {});
  close(pipeFds[1]);
  // Xvfb writes the display number once it accepts connections.
  std::string number;
  pollfd ready{pipeFds[0], POLLIN, 0};
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < end && process_.Running()) {
    if (poll(&ready, 1, 100) <= 0) continue;
    char c = 0;
    const ssize_t got = read(pipeFds[0], &c, 1);
    if (got <= 0 || c == '\n') break;
    number += c;
  }
  close(pipeFds[0]);
  if (!number.empty() && process_.Running()) display_ = ":" + number;
}

}  // namespace zentrafold::testing
