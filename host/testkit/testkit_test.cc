#include "testkit.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

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
