// SPDX-License-Identifier: ISC
#include "testkit.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

using namespace testkit;

TEST(Testkit, StandInsAppearOnlyInsideThePrivateNamespace) {
  ASSERT_TRUE(in_private_namespaces()) << "tests must run as root with unshare available";
  ASSERT_TRUE(place_file("/usr/sbin/eo-testkit-stand-in", "#!/bin/sh\necho stand-in \"$@\"\n"));
  std::string out;
  EXPECT_EQ(run({"/usr/sbin/eo-testkit-stand-in", "a"}, &out), 0);
  EXPECT_EQ(out, "stand-in a\n");
  EXPECT_TRUE(remove_placed("/usr/sbin/eo-testkit-stand-in"));
  struct stat st;
  EXPECT_NE(stat("/usr/sbin/eo-testkit-stand-in", &st), 0);
}

TEST(Testkit, ChildrenReportStatusAndDieWithTheirOwner) {
  EXPECT_EQ(run({"/bin/sh", "-c", "exit 3"}), 3);
  EXPECT_EQ(run({"/bin/sh", "-c", "kill -TERM $$"}), 128 + SIGTERM);
  EXPECT_EQ(run({"/bin/sleep", "5"}, nullptr, 100), -1);
  pid_t pid;
  {
    Child sleeper({"/bin/sleep", "30"});
    pid = sleeper.pid();
    EXPECT_TRUE(sleeper.running());
  }
  EXPECT_NE(kill(pid, 0), 0) << "child outlived its owner";
}

TEST(Testkit, TempDirIsRemovedWithItsContents) {
  std::string path;
  {
    TempDir dir("kit");
    path = dir.path();
    ASSERT_TRUE(write_file(dir / "f", "x"));
    ASSERT_TRUE(place_dir(dir / "a/b"));
  }
  struct stat st;
  EXPECT_NE(stat(path.c_str(), &st), 0);
}

TEST(Testkit, StandInsNeverReachTheMachinesOwnFolders) {
  ASSERT_TRUE(in_private_namespaces());
  // The machine's /usr/sbin is one device; a stand-in must live on another
  // (the overlay's upper layer), never in the real folder.
  struct stat real;
  ASSERT_EQ(stat("/usr/sbin", &real), 0);
  for (const char* path : {"/usr/sbin/eo-testkit-probe", "/usr/sbin/eo-testkit-dir/probe"}) {
    ASSERT_TRUE(place_file(path, "x")) << path;
    struct stat st;
    ASSERT_EQ(stat(path, &st), 0) << path;
    EXPECT_NE(st.st_dev, real.st_dev) << path << " was written to the real file system";
  }
  EXPECT_TRUE(remove_placed("/usr/sbin/eo-testkit-dir"));
  EXPECT_TRUE(remove_placed("/usr/sbin/eo-testkit-probe"));
}

TEST(Testkit, StandInsReplaceSymbolicLinksInsteadOfWritingThroughThem) {
  ASSERT_TRUE(in_private_namespaces());
  TempDir dir("kit");
  std::string target = dir / "target";
  ASSERT_TRUE(write_file(target, "machine's own\n"));
  const char* link_path = "/usr/sbin/eo-testkit-link";
  ASSERT_TRUE(place_file("/usr/sbin/eo-testkit-probe", "x"));  // gives /usr/sbin its overlay
  ASSERT_EQ(symlink(target.c_str(), link_path), 0);
  ASSERT_TRUE(place_file(link_path, "stand-in\n", 0644));
  EXPECT_EQ(read_file(link_path), "stand-in\n");
  EXPECT_EQ(read_file(target), "machine's own\n") << "the write went through the link";
  EXPECT_TRUE(remove_placed(link_path));
  EXPECT_TRUE(remove_placed("/usr/sbin/eo-testkit-probe"));
}

// Run from a copy under /tmp as well (see CMakeLists.txt): the private /tmp
// must not hide the folder the test binary and its build live in.
TEST(Testkit, OwnFolderStaysVisibleUnderThePrivateTmp) {
  ASSERT_TRUE(in_private_namespaces());
  // The path the binary was started by (ctest and the copy's runner give
  // an absolute one) must still name it.
  const char* exe = program_invocation_name;
  ASSERT_EQ(exe[0], '/') << exe;
  struct stat by_path, by_proc;
  ASSERT_EQ(stat(exe, &by_path), 0) << exe << " is hidden";
  // opened rather than stat'ed: an emulator answers the open with the
  // program it runs, a stat with itself
  int self = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(self, 0);
  ASSERT_EQ(fstat(self, &by_proc), 0);
  close(self);
  EXPECT_EQ(by_path.st_ino, by_proc.st_ino) << exe << " names another file";
  EXPECT_EQ(by_path.st_dev, by_proc.st_dev) << exe << " names another file";
}

TEST(Testkit, BusDaemonStopsAndComesBackAfterTheDelayWithoutBlocking) {
  TempDir dir("busd");
  BusDaemon bus(dir / "ubus.sock");
  ASSERT_TRUE(bus.start()) << "the daemon did not come up";
  for (int sig : {SIGTERM, SIGKILL}) {
    pid_t before = bus.pid();
    bus.stop(sig);
    EXPECT_NE(kill(before, 0), 0) << "the old daemon is still there after signal " << sig;
    EXPECT_FALSE(wait_listening(bus.socket(), 100)) << "still served after signal " << sig;
    auto start = std::chrono::steady_clock::now();
    bus.start_after(1000);  // well past the 100 ms below, even under an emulator
    auto returned = std::chrono::steady_clock::now() - start;
    EXPECT_LT(returned, std::chrono::milliseconds(300)) << "start_after waited for the delay";
    EXPECT_FALSE(wait_listening(bus.socket(), 100)) << "back before its delay";
    EXPECT_TRUE(bus.wait_ready()) << "not back after signal " << sig;
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_TRUE(bus.running());
  }
  pid_t before = bus.pid();
  bus.restart(SIGKILL, 0);
  EXPECT_NE(bus.pid(), before);
  EXPECT_TRUE(bus.wait_ready()) << "not back after an immediate restart";
  bus.stop(SIGTERM);
  EXPECT_FALSE(bus.running());
  EXPECT_FALSE(wait_listening(bus.socket(), 100));
}

TEST(Testkit, BusGenerationsReachTheProcessAndItsChildren) {
  std::string out;
  use_bus_generation(BusGeneration::kLegacy);
  EXPECT_EQ(run({"/bin/sh", "-c", "echo $EO_UBUS_LEGACY_LOSS"}, &out), 0);
  EXPECT_EQ(out, "1\n");
  use_bus_generation(BusGeneration::kCurrent);
  EXPECT_EQ(run({"/bin/sh", "-c", "echo $EO_UBUS_LEGACY_LOSS"}, &out), 0);
  EXPECT_EQ(out, "0\n");
  SpawnOptions legacy;
  legacy.env = {bus_generation_env(BusGeneration::kLegacy)};
  EXPECT_EQ(run({"/bin/sh", "-c", "echo $EO_UBUS_LEGACY_LOSS"}, &out, 30000, legacy), 0);
  EXPECT_EQ(out, "1\n");
  EXPECT_STREQ(bus_generation_name(BusGeneration::kLegacy), "Legacy");
}

TEST(Testkit, BusDaemonProgramCanBeGiven) {
  TempDir dir("busd");
  std::string fake = dir / "fake-ubusd";
  ASSERT_TRUE(write_file(fake, "#!/bin/sh\necho \"$@\" > \"$0.args\"\nexec sleep 30\n", 0755));
  setenv("EO_UBUSD", fake.c_str(), 1);
  EXPECT_EQ(bus_daemon_program(), fake);
  BusDaemon bus(dir / "ubus.sock");
  EXPECT_FALSE(bus.start(300)) << "a daemon that never listens is not ready";
  EXPECT_TRUE(wait_until([&] {
    return read_file(fake + ".args") == "-s " + (dir / "ubus.sock") + "\n";
  })) << read_file(fake + ".args");
  EXPECT_EQ(bin_path("ubusd"), fake) << "tests that start bin_path(\"ubusd\") run the given one";
  unsetenv("EO_UBUSD");
  EXPECT_EQ(bus_daemon_program(), std::string(EO_BIN_DIR) + "/ubusd");
  EXPECT_EQ(bin_path("ubusd"), bus_daemon_program());
}
