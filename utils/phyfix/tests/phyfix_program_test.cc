// SPDX-License-Identifier: ISC
// The phyfix program itself: its command line, its start-up failures, and
// its checks on interfaces whose drivers have no MII registers, where every
// access fails and is logged.
#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sleep_probe.h"
#include "syslog_sink.h"
#include "testkit.h"

namespace {

const std::string phyfix = testkit::bin_path("phyfix");

// Runs argv with the socket() system call failing with EMFILE; returns the
// exit status and what the program wrote.
int run_without_sockets(const std::vector<std::string>& argv, std::string* output) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(out[1], 2);
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_socket, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EMFILE),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    std::vector<std::string> full = testkit::target_emulator();
#ifdef EO_NOSOCKET_PRELOAD
    // qemu-user refuses seccomp filters; under it a preloaded socket() that
    // fails the same way stands in for the filter.
    full.insert(full.end(), {"-E", "LD_PRELOAD=" EO_NOSOCKET_PRELOAD, "-0", argv[0]});
#endif
    full.insert(full.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (auto& a : full) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (full.size() > argv.size())
      execv(args[0], args.data());
    else if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
             prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0)
      execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  char buf[512];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof buf)) > 0) output->append(buf, n);
  close(out[0]);
  int status;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Interfaces without MII support inside the test's own network namespace.
bool add_interface(const std::string& name, const std::string& peer) {
  std::string out;
  int rc = testkit::run({"ip", "link", "add", name, "type", "veth", "peer", "name", peer}, &out);
  if (rc != 0) fprintf(stderr, "ip link add %s: %s", name.c_str(), out.c_str());
  return rc == 0;
}

}  // namespace

TEST(phyfix_program, CommandLineMistakesEndWith255AndOneLine) {
  struct {
    std::vector<std::string> args;
    std::string output;
  } const cases[] = {
      {{}, "usage: " + phyfix + " <iface> <phy_number>\n"},
      {{"eth0"}, "usage: " + phyfix + " <iface> <phy_number>\n"},
      {{"eth0", "1", "2"}, "usage: " + phyfix + " <iface> <phy_number>\n"},
      {{"eth0", "1x"}, "1x: invalid number\n"},
      {{"eth0", ""}, ": invalid number\n"},
      {{"eth0", "0x"}, "0x: invalid number\n"},
      // Used to be cut to 16 bits and then watch PHY 0 or 1 instead.
      {{"eth0", "65536"}, "65536: invalid number\n"},
      {{"eth0", "0x10001"}, "0x10001: invalid number\n"},
      {{"eth0", "-1"}, "-1: invalid number\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{phyfix};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::string output, shown;
    for (auto& a : c.args) shown += "[" + a + "]";
    EXPECT_EQ(testkit::run(argv, &output, 5000), 255) << "args: " << shown;
    EXPECT_EQ(output, c.output) << "args: " << shown;
  }
}

TEST(phyfix_program, NoSocketEndsWith255AndTheReason) {
  std::string output;
  EXPECT_EQ(run_without_sockets({phyfix, "eth0", "1"}, &output), 255);
  EXPECT_EQ(output, std::string("failed to create socket: ") + strerror(EMFILE) + "\n");
}

// Each case: interface created, arguments, the one message the first check
// logs. The number in every notation reaches the same PHY; a name longer than
// an interface name can be is cut to its first 15 characters.
TEST(phyfix_program, EveryFailedAccessIsLoggedAndTheCheckWaitsForTheNextRound) {
  ASSERT_TRUE(testkit::in_private_namespaces());
  ASSERT_TRUE(add_interface("d0", "d0peer"));
  ASSERT_TRUE(add_interface("eo-fifteen-char", "p15"));
  SyslogSink log;
  ASSERT_TRUE(log.ready());

  // qemu-user passes no MII ioctl on to the kernel: under it every access
  // fails with ENOSYS.
  const bool emulated = !testkit::target_emulator().empty();
  const std::string unsupported = strerror(emulated ? ENOSYS : EOPNOTSUPP);
  struct {
    std::vector<std::string> args;
    std::string text;
  } const cases[] = {
      {{"d0", "0x1f"}, "failed to read d0/1F/01: " + unsupported},
      {{"d0", "31"}, "failed to read d0/1F/01: " + unsupported},
      {{"d0", "037"}, "failed to read d0/1F/01: " + unsupported},
      {{"d0", "0"}, "failed to read d0/00/01: " + unsupported},
      {{"d0", "0xffff"}, "failed to read d0/FFFF/01: " + unsupported},
      {{"lo", "1"}, "failed to read lo/01/01: " + unsupported},
      {{"eo-fifteen-charXYZ", "2"}, "failed to read eo-fifteen-charXYZ/02/01: " + unsupported},
      {{"nosuch0", "5"},
       std::string("failed to read nosuch0/05/01: ") + strerror(emulated ? ENOSYS : ENODEV)},
  };
  for (const auto& c : cases) {
    std::string what = c.args[0] + " " + c.args[1];
    testkit::SpawnOptions opts;
    opts.capture_output = true;
    testkit::Child daemon({phyfix, c.args[0], c.args[1]}, opts);
    std::string tag = "phyfix[" + std::to_string(daemon.pid()) + "]: ";

    std::string message = log.next();
    EXPECT_EQ(syslog_priority(message), LOG_DAEMON | LOG_ERR) << what << ": " << message;
    EXPECT_NE(message.find(tag), std::string::npos) << what << ": " << message;
    EXPECT_EQ(syslog_text(message), c.text) << what;

    // The failed read ended the check: the daemon sleeps until the next one
    // without touching the PHY again.
    long seconds = -1;
    EXPECT_TRUE(testkit::wait_until([&] { return (seconds = asleep_for(daemon.pid())) > 0; }))
        << what << ": not asleep";
    EXPECT_EQ(seconds, 300) << what;
    EXPECT_EQ(log.next(0), "") << what << ": more traffic after the failed read";
    EXPECT_TRUE(daemon.running()) << what;

    // The same line also goes to standard error.
    EXPECT_EQ(daemon.output(), tag + c.text + "\n") << what;
  }
}

// On the device these programs have the C library and nothing else.
TEST(phyfix_build, NeedsOnlyTheCLibrary) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "sanitizer builds bring their own run-time libraries";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "sanitizer builds bring their own run-time libraries";
#endif
#endif
  EXPECT_EQ(testkit::needed_libraries(phyfix), "libc.so.6 ");
}
