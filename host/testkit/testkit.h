// SPDX-License-Identifier: ISC
// Helpers for tests that start real processes: every child dies with the
// test, every test runs in private mount and network namespaces (see
// testkit_main.cc), temporary folders are removed even when a test fails.
#pragma once

#include <signal.h>
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

// Full path of a built program / module (from the build tree). The bus
// daemon, "ubusd", is bus_daemon_program(): EO_UBUSD can name another.
std::string bin_path(std::string_view name);

// ---- The bus daemon and the two generations of the bus library ----
//
// The program run as the bus daemon: the one named by the environment
// variable EO_UBUSD when set (an integrator's SDK, e.g. PREFIX/sbin/ubusd),
// otherwise the build's ubusd.
std::string bus_daemon_program();

// A test's bus daemon on one socket. Every start runs bus_daemon_program().
// For restart tests: stop() with SIGTERM or SIGKILL, then start() at once or
// start_after(ms), which returns immediately so the test's own event loop
// (and the programs under test) run while the bus is away:
//
//   testkit::BusDaemon bus(dir / "ubus.sock");
//   ASSERT_TRUE(bus.start());
//   ...
//   bus.restart(SIGKILL, 300);  // gone now, back in 0.3 s
//   ASSERT_TRUE(bus.wait_ready());
class BusDaemon {
 public:
  BusDaemon() = default;
  explicit BusDaemon(std::string socket_path) : socket_(std::move(socket_path)) {}
  // Starts the daemon and waits until it accepts connections.
  bool start(int timeout_ms = 5000);
  // Starts the daemon delay_ms from now (at once for 0) without waiting.
  void start_after(int delay_ms);
  // Waits until the daemon accepts connections.
  bool wait_ready(int timeout_ms = 5000) { return wait_listening(socket_, timeout_ms); }
  // Sends sig and reaps the daemon (SIGKILL if it is still there after 5 s).
  // The daemon is gone when this returns; a pending start_after is cancelled.
  void stop(int sig = SIGTERM);
  // stop(sig), then start_after(delay_ms).
  void restart(int sig, int delay_ms);
  bool running() { return child_.running(); }
  // The daemon's process id (that of a delayed start's waiting shell, which
  // becomes the daemon).
  pid_t pid() const { return child_.pid(); }
  const std::string& socket() const { return socket_; }

 private:
  std::string socket_;
  Child child_;
};

// The device's bus library exists in two generations that differ on a lost
// connection: the current one first completes every pending request with
// UBUS_STATUS_TIMEOUT (complete_cb runs), then calls connection_lost; the
// older one calls connection_lost and completes none. The host library acts
// as the current one, and as the older one when EO_UBUS_LEGACY_LOSS=1 is in
// its environment (read at each loss). Run a restart test under both:
//
//   class Restart : public ::testing::TestWithParam<testkit::BusGeneration> {
//     void SetUp() override { testkit::use_bus_generation(GetParam()); }
//   };
//   INSTANTIATE_TEST_SUITE_P(Bus, Restart, ::testing::ValuesIn(testkit::kBusGenerations),
//                            testkit::BusGenerationName());
//
// use_bus_generation sets the variable in this process, so the test's own
// contexts and every program it starts afterwards follow that generation;
// bus_generation_env gives the entry for one child only (SpawnOptions::env).
// Against a device SDK's library the variable changes nothing: that library
// is whichever generation it is.
enum class BusGeneration { kCurrent, kLegacy };
inline constexpr BusGeneration kBusGenerations[] = {BusGeneration::kCurrent,
                                                    BusGeneration::kLegacy};
const char* bus_generation_name(BusGeneration g);  // "Current" or "Legacy"
std::string bus_generation_env(BusGeneration g);   // "EO_UBUS_LEGACY_LOSS=0" or "=1"
void use_bus_generation(BusGeneration g);
// Names parameterised tests after the generation (for INSTANTIATE_TEST_SUITE_P).
struct BusGenerationName {
  template <typename Info>
  std::string operator()(const Info& info) const {
    return bus_generation_name(info.param);
  }
};

}  // namespace testkit
