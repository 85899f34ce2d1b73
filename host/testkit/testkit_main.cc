// main() of every test binary: enter private namespaces, then run the tests.
#include <errno.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace testkit {
extern bool g_private_ns;
}

namespace {

bool bring_up_loopback() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq ifr{};
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  close(fd);
  return ok;
}

// Own /tmp and own loopback, so tests never meet each other's sockets,
// ports or fixed paths such as /tmp/snmpd_agentx.
bool enter_private_namespaces() {
  if (geteuid() != 0 || getenv("EO_NO_PRIVATE_NS")) return false;
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
    fprintf(stderr, "testkit: unshare: %s\n", strerror(errno));
    return false;
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0) return false;
  return bring_up_loopback();
}

}  // namespace

int main(int argc, char** argv) {
  testkit::g_private_ns = enter_private_namespaces();
  signal(SIGPIPE, SIG_IGN);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
