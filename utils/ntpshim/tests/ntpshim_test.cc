// SPDX-License-Identifier: ISC
// ntpshim run for real, with stand-ins at the daemon paths that record how
// they were started and which signals reached them.
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testkit.h"

namespace {

constexpr char own_daemon[] = "/usr/sbin/ntpd.bin";
constexpr char multi_call[] = "/bin/busybox";
const std::string ntpshim = testkit::bin_path("ntpshim");
const std::string record = "/tmp/standin";

std::string standin_program() {
  static std::string program = testkit::exec_image(testkit::bin_path("ntpd_standin"));
  return program;
}

enum class Daemon { regular, directory, missing, symlink, not_executable };

// Puts the own daemon into the given state; the multi-call program is a
// stand-in too unless `with_multi_call` is false.
bool arrange(Daemon own, bool with_multi_call = true) {
  if (!testkit::remove_placed(own_daemon)) return false;
  bool ok = true;
  switch (own) {
    case Daemon::regular:
      ok = testkit::place_file(own_daemon, standin_program(), 0755);
      break;
    case Daemon::not_executable:
      ok = testkit::place_file(own_daemon, standin_program(), 0644);
      break;
    case Daemon::directory:
      ok = testkit::place_dir(own_daemon);
      break;
    case Daemon::symlink:
      ok = testkit::place_file("/usr/sbin/ntpd.real", standin_program(), 0755) &&
           symlink("ntpd.real", own_daemon) == 0;
      break;
    case Daemon::missing:
      break;
  }
  if (with_multi_call) return ok && testkit::place_file(multi_call, standin_program(), 0755);
  return ok && testkit::remove_placed(multi_call);
}

testkit::SpawnOptions standin_env(std::vector<std::string> extra = {}) {
  testkit::SpawnOptions opts;
  opts.env = {"NTPD_STANDIN_RECORD=" + record};
  opts.env.insert(opts.env.end(), extra.begin(), extra.end());
  return opts;
}

// The recorded argument vector, empty if the stand-in never ran.
std::vector<std::string> recorded_argv() {
  bool ok;
  std::string data = testkit::read_file(record + ".argv", &ok);
  std::vector<std::string> args;
  for (size_t start = 0; ok && start < data.size();) {
    size_t end = data.find('\0', start);
    if (end == std::string::npos) break;
    args.push_back(data.substr(start, end - start));
    start = end + 1;
  }
  return args;
}

// Whether `pid` is a process that has not ended (a zombie has).
bool alive(pid_t pid) {
  std::string stat = testkit::read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t end = stat.rfind(')');
  return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] != 'Z';
}

std::string recorded_signals() {
  std::string lines = testkit::read_file(record + ".signals"), out;
  for (char& c : lines) out += c == '\n' ? ' ' : c;
  if (!out.empty()) out.pop_back();
  return out;
}

bool recorded(int sig) {
  std::string text = " " + recorded_signals() + " ";
  return text.find(" " + std::to_string(sig) + " ") != std::string::npos;
}

pid_t recorded_pid() { return atoi(testkit::read_file(record + ".pid").c_str()); }

bool standin_started() { return !recorded_argv().empty(); }

std::string shown(const std::vector<std::string>& args) {
  std::string out;
  for (auto& a : args) out += "[" + a + "]";
  return out;
}

int exit_code(int status) {
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Kills the recorded daemon when a failed test leaves it behind.
struct DaemonCleanup {
  ~DaemonCleanup() {
    pid_t daemon = recorded_pid();
    char exe[64] = "";
    std::string link = "/proc/" + std::to_string(daemon) + "/exe";
    if (daemon <= 0 || readlink(link.c_str(), exe, sizeof exe - 1) < 0) return;
    if (exe == std::string(own_daemon) || exe == std::string(multi_call)) kill(daemon, SIGKILL);
  }
};

void forget_records() {
  for (const char* suffix : {".argv", ".pid", ".signals"}) unlink((record + suffix).c_str());
}

}  // namespace

TEST(ntpshim_daemon, PicksTheDaemonAndPutsTheScriptOptionBeforeTheCallersArguments) {
  ASSERT_TRUE(testkit::in_private_namespaces());
  const std::vector<std::string> own = {own_daemon, "-S", "/usr/bin/rtc_sync.sh"};
  const std::vector<std::string> busybox = {multi_call, "ntpd", "-S", "/usr/bin/rtc_sync.sh"};
  auto with = [](std::vector<std::string> head, std::vector<std::string> tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  struct {
    const char* what;
    Daemon daemon;
    std::vector<std::string> args;
    std::vector<std::string> expected;
  } const cases[] = {
      {"own daemon", Daemon::regular, {"-n", "-p", "server"}, with(own, {"-n", "-p", "server"})},
      {"own daemon, no arguments", Daemon::regular, {}, own},
      {"own daemon through a symlink", Daemon::symlink, {"-q"}, with(own, {"-q"})},
      {"a directory at the daemon path",
       Daemon::directory,
       {"-n", "-p", "server"},
       with(busybox, {"-n", "-p", "server"})},
      {"no own daemon", Daemon::missing, {}, busybox},
      {"arguments passed unchanged",
       Daemon::missing,
       {"", "two words", "-S", "/other.sh"},
       with(busybox, {"", "two words", "-S", "/other.sh"})},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(arrange(c.daemon)) << c.what;
    forget_records();
    std::vector<std::string> argv{ntpshim};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    testkit::Child wrapper(argv, standin_env({"NTPD_STANDIN_EXIT=0"}));
    EXPECT_EQ(exit_code(wrapper.wait(10000)), 0) << c.what;
    EXPECT_EQ(shown(recorded_argv()), shown(c.expected)) << c.what;
    testkit::remove_placed("/usr/sbin/ntpd.real");
  }
}

// Before, the raw wait status was the result: a daemon exiting with 1 made
// the wrapper exit 0, one killed by SIGKILL made it exit 9.
TEST(ntpshim_status, EndsWithTheDaemonsExitStatusOr128PlusItsSignal) {
  ASSERT_TRUE(testkit::in_private_namespaces());
  struct {
    const char* what;
    Daemon daemon;
    bool with_multi_call;
    std::string env;
    int expected;
  } const cases[] = {
      {"exit 0", Daemon::regular, true, "NTPD_STANDIN_EXIT=0", 0},
      {"exit 1", Daemon::regular, true, "NTPD_STANDIN_EXIT=1", 1},
      {"busybox exit 3", Daemon::missing, true, "NTPD_STANDIN_EXIT=3", 3},
      {"exit 255", Daemon::regular, true, "NTPD_STANDIN_EXIT=255", 255},
      {"killed by SIGKILL", Daemon::regular, true, "NTPD_STANDIN_RAISE=9", 128 + SIGKILL},
      {"killed by SIGUSR1", Daemon::directory, true,
       "NTPD_STANDIN_RAISE=" + std::to_string(SIGUSR1), 128 + SIGUSR1},
      {"own daemon cannot be run", Daemon::not_executable, true, "NTPD_STANDIN_EXIT=0", 255},
      {"no daemon at all", Daemon::missing, false, "NTPD_STANDIN_EXIT=0", 255},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(arrange(c.daemon, c.with_multi_call)) << c.what;
    forget_records();
    std::string output;
    EXPECT_EQ(testkit::run({ntpshim, "-n"}, &output, 10000, standin_env({c.env})), c.expected)
        << c.what;
    EXPECT_EQ(output, "") << c.what;
    bool should_start = c.expected != 255 || c.env == "NTPD_STANDIN_EXIT=255";
    EXPECT_EQ(standin_started(), should_start) << c.what;
  }
}

// Before, the first forwarded signal ended the wrapper's only wait: it
// exited 255 with the daemon still running, and a supervisor would start a
// second one.
TEST(ntpshim_signals, ControlSignalsReachTheDaemonWhileTheWrapperKeepsWaiting) {
  ASSERT_TRUE(testkit::in_private_namespaces());
  ASSERT_TRUE(arrange(Daemon::regular));
  forget_records();
  DaemonCleanup cleanup;
  testkit::Child wrapper({ntpshim, "-n"}, standin_env());
  ASSERT_TRUE(testkit::wait_until(standin_started)) << "the daemon never started";
  pid_t daemon = recorded_pid();

  // SIGCHLD first: if it were forwarded it would show up before the others.
  wrapper.signal(SIGCHLD);
  const int forwarded[] = {SIGHUP, SIGINT, SIGQUIT, SIGABRT, SIGUSR1, SIGUSR2, SIGALRM, SIGWINCH};
  std::string expected;
  for (int sig : forwarded) {
    wrapper.signal(sig);
    EXPECT_TRUE(testkit::wait_until([sig] { return recorded(sig); }))
        << strsignal(sig) << " not forwarded; the daemon saw: " << recorded_signals();
    ASSERT_TRUE(wrapper.running()) << "the wrapper ended after " << strsignal(sig);
    expected += std::to_string(sig) + " ";
  }

  wrapper.signal(SIGTERM);
  EXPECT_EQ(exit_code(wrapper.wait(10000)), 128 + SIGTERM);
  EXPECT_EQ(recorded_signals(), expected + std::to_string(SIGTERM));
  EXPECT_NE(kill(daemon, 0), 0) << "the daemon outlived the wrapper";
}

TEST(ntpshim_signals, SigkillEndsOnlyTheWrapper) {
  ASSERT_TRUE(testkit::in_private_namespaces());
  ASSERT_TRUE(arrange(Daemon::regular));
  forget_records();
  // The orphaned daemon comes to this process, which can then reap it.
  // qemu-user cannot make its process a subreaper: under it the orphan goes
  // to init and is only watched.
  const bool reaper = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
  if (testkit::target_emulator().empty()) {
    ASSERT_TRUE(reaper);
  }
  testkit::Child wrapper({ntpshim}, standin_env());
  ASSERT_TRUE(testkit::wait_until(standin_started)) << "the daemon never started";
  pid_t daemon = recorded_pid();

  wrapper.signal(SIGKILL);
  EXPECT_EQ(exit_code(wrapper.wait(10000)), 128 + SIGKILL);
  int status;
  if (reaper) {
    EXPECT_EQ(waitpid(daemon, &status, WNOHANG), 0) << "the daemon ended with the wrapper";
  } else {
    EXPECT_TRUE(alive(daemon)) << "the daemon ended with the wrapper";
  }
  EXPECT_EQ(recorded_signals(), "");

  kill(daemon, SIGKILL);
  if (reaper) {
    EXPECT_EQ(waitpid(daemon, &status, 0), daemon);
  } else {
    EXPECT_TRUE(testkit::wait_until([&] { return !alive(daemon); }));
  }
}

TEST(ntpshim_fork, NoProcessLeftEndsWith255AndTheReason) {
  ASSERT_TRUE(testkit::in_private_namespaces());
  ASSERT_TRUE(arrange(Daemon::regular));
  forget_records();
  // A user of its own with room for one process: the wrapper itself (and,
  // under qemu-user, the emulator's own helper thread).
  std::string uid = std::to_string(40000 + getpid() % 20000);
  std::string nproc = testkit::target_emulator().empty() ? "1" : "2";
  // That user may not reach the build folder (under a home folder of mode
  // 0700, say): it runs a copy from the private /tmp.
  std::string copy = "/tmp/ntpshim-of-another-user";
  ASSERT_TRUE(testkit::write_file(copy, testkit::read_file(ntpshim), 0755));
  std::string output;
  std::vector<std::string> argv = {"prlimit",        "--nproc=" + nproc, "setpriv",
                                   "--reuid=" + uid, "--regid=" + uid,   "--clear-groups"};
  for (auto& word : testkit::program_argv(copy)) argv.push_back(word);
  argv.push_back("-n");
  int rc = testkit::run(argv, &output, 10000, standin_env({"ASAN_OPTIONS=detect_leaks=0"}));
  EXPECT_EQ(rc, 255);
  EXPECT_EQ(output, strerror(EAGAIN)) << "the reason alone, without a line end";
  EXPECT_FALSE(standin_started());
}

// On the device these programs have the C library and nothing else.
TEST(ntpshim_build, NeedsOnlyTheCLibrary) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "sanitizer builds bring their own run-time libraries";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "sanitizer builds bring their own run-time libraries";
#endif
#endif
  EXPECT_EQ(testkit::needed_libraries(ntpshim), "libc.so.6 ");
}
