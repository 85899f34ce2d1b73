// SPDX-License-Identifier: ISC
// main() of every test binary: enter private namespaces, then run the tests.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

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

// The top folder under /tmp of `path`, or "" when `path` is not under /tmp.
std::string tmp_top(const char* path) {
  char real[PATH_MAX];
  if (!path || !realpath(path, real)) return "";
  std::string_view p = real;
  if (p.size() <= 5 || p.substr(0, 5) != "/tmp/") return "";
  p.remove_prefix(5);
  return std::string(p.substr(0, p.find('/')));
}

// The top folders under /tmp of the test binary, its working folder and the
// source and build trees; taken before the private /tmp covers them.
std::vector<std::string> tops_to_keep() {
  char cwd[PATH_MAX];
  const char* wanted[] = {"/proc/self/exe", getcwd(cwd, sizeof cwd), TESTKIT_SOURCE_DIR,
                          TESTKIT_BUILD_DIR};
  std::vector<std::string> tops;
  for (const char* path : wanted) {
    std::string top = tmp_top(path);
    if (!top.empty()) tops.push_back(top);
  }
  return tops;
}

// Those folders must stay visible under the private /tmp: each is bound back
// from the covered /tmp, reached through a descriptor opened before the mount.
bool keep_visible(int old_tmp, const std::vector<std::string>& tops) {
  for (const std::string& top : tops) {
    std::string target = "/tmp/" + top;
    if (access(target.c_str(), F_OK) == 0) continue;  // already bound
    if (old_tmp < 0) return false;
    std::string source = "/proc/self/fd/" + std::to_string(old_tmp) + "/" + top;
    if (mkdir(target.c_str(), 0755) != 0 ||
        mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
      fprintf(stderr, "testkit: keeping %s visible: %s\n", target.c_str(), strerror(errno));
      return false;
    }
  }
  return true;
}

// Own /tmp and own loopback, so tests never meet each other's sockets,
// ports or fixed paths such as /tmp/snmpd_agentx.
bool enter_private_namespaces() {
  if (geteuid() != 0 || getenv("EO_NO_PRIVATE_NS")) return false;
  // Before unsharing: afterwards /proc/self/exe names the binary as the
  // parent namespace sees it, which differs inside a chroot.
  std::vector<std::string> tops = tops_to_keep();
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
    fprintf(stderr, "testkit: unshare: %s\n", strerror(errno));
    return false;
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  int old_tmp = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
  bool ok = mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") == 0 && keep_visible(old_tmp, tops);
  if (old_tmp >= 0) close(old_tmp);
  return ok && bring_up_loopback();
}

}  // namespace

int main(int argc, char** argv) {
  testkit::g_private_ns = enter_private_namespaces();
  signal(SIGPIPE, SIG_IGN);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
