// Helpers for tests that start real processes: every child dies with the
// test, every test runs in private mount and network namespaces (see
// testkit_main.cc), temporary folders are removed even when a test fails.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace testkit {

// Whether main() managed to enter private namespaces (root only).
bool in_private_namespaces();

// A folder under the (private) /tmp, removed with its contents on destruction.
class TempDir {
 public:
  explicit TempDir(std::string_view tag = "t");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const;

 private:
  std::string path_;
};

struct SpawnOptions {
  std::vector<std::string> env;  // "NAME=value" added to the environment
  int stdin_fd = -1;             // dup2'd onto 0 when >= 0
  int stdout_fd = -1;            // dup2'd onto 1 when >= 0
  int stderr_fd = -1;            // dup2'd onto 2 when >= 0
  bool capture_output = false;   // stdout+stderr into a file, see Child::output()
  std::string cwd;
};

// A child process, killed (SIGKILL) and reaped on destruction if still alive.
// Children also get SIGKILL when the test process dies.
class Child {
 public:
  Child() = default;
  Child(const std::vector<std::string>& argv, const SpawnOptions& opts = {});
  ~Child();
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }
  // True while the child has not exited (reaps it if it has).
  bool running();
  void signal(int sig);
  // Waits up to timeout_ms; returns the raw wait status, or -1 on timeout.
  int wait(int timeout_ms);
  // Raw wait status once reaped, -1 before.
  int status() const { return status_; }
  // What the child wrote to stdout/stderr (capture_output only).
  std::string output() const;

 private:
  void reset();
  pid_t pid_ = -1;
  int status_ = -1;
  std::string output_path_;
};

// Runs argv to completion (up to timeout_ms, then SIGKILL); returns the exit
// code (128+signal if killed, -1 on timeout) and stores stdout+stderr.
int run(const std::vector<std::string>& argv, std::string* output = nullptr, int timeout_ms = 30000,
        const SpawnOptions& opts = {});

// Polls pred every step_ms until it holds or timeout_ms passes (four times
// as long under the target's emulator).
bool wait_until(const std::function<bool()>& pred, int timeout_ms = 5000, int step_ms = 10);

// Waits until a stream socket at `path` accepts connections. A server's
// socket file appears when it binds, before it listens: its existence alone
// does not say a client can connect yet.
bool wait_listening(const std::string& path, int timeout_ms = 5000);

// A currently unused TCP port on 127.0.0.1.
int free_tcp_port();
int free_udp_port();

std::string read_file(const std::string& path, bool* ok = nullptr);
bool write_file(const std::string& path, std::string_view content, mode_t mode = 0644);

// Makes `path` exist with `content` even inside a read-only or system folder:
// inside the private mount namespace the parent folder is overlaid (once)
// with a writable layer. Use for stand-ins at fixed paths such as
// /usr/sbin/fw_printenv. A `content` of nullptr-like {} with dir=true makes a
// folder instead.
bool place_file(const std::string& path, std::string_view content, mode_t mode = 0755);
bool place_dir(const std::string& path);
bool remove_placed(const std::string& path);
// Mounts an empty tmpfs on `dir` (creating it through an overlay if needed).
bool private_tmpfs(const std::string& dir);

// Number of open descriptors of a process (from /proc/<pid>/fd).
int count_fds(pid_t pid);

// The shared libraries a binary names as NEEDED, each followed by a space,
// in the order readelf lists them ("libc.so.6 "); empty if unreadable.
std::string needed_libraries(const std::string& binary);

// The command (program and options) that runs programs built for the target
// when this build is for another architecture; empty for a native build.
std::vector<std::string> target_emulator();

// The argument vector that runs `program` from another program (such as
// prlimit or setpriv): the program alone, or under the target's emulator.
std::vector<std::string> program_argv(const std::string& program);

// What to place at a fixed path so that another program can exec `program`
// there: its contents, or, when the build is for another architecture, a
// script that runs it under the emulator with the argv[0] it was given.
std::string exec_image(const std::string& program);

// Full path of a built program / module (from the build tree).
std::string bin_path(std::string_view name);

}  // namespace testkit
