// Child processes for the tests that need a display: a private Xvfb server
// and the program under test.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace zentrafold::testing {

class ChildProcess {
 public:
  ChildProcess() = default;
  // Starts argv[0] (searched on PATH) with `environment` ("NAME=value")
  // added to this process's environment. Check Running().
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment);
  ~ChildProcess();  // kills and reaps a child still running
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;

  bool Running();
  pid_t pid() const { return pid_; }
  // The exit code once the child exits within the timeout; a death by
  // signal gives 128 + the signal number.
  std::optional<int> WaitExit(std::chrono::milliseconds timeout);
  void Kill();

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Xvfb on a display number it picks itself (-displayfd), so tests running at
// the same time never share a server.
class XvfbServer {
 public:
  explicit XvfbServer(int depth = 24, int width = 1024, int height = 768);
  bool Ok() const { return !display_.empty(); }
  const std::string& display() const { return display_; }  // ":N"

 private:
  ChildProcess process_;
  std::string display_;
};

}  // namespace zentrafold::testing
