// SPDX-License-Identifier: ISC
// Resident memory of phyfix and ntpshim while they idle, and the time from
// a signal sent to ntpshim until the daemon behind it has handled it.
// usage: utils_bench <bin dir> <signals>
// Runs in its own mount and network namespaces; this same program, reached
// through /usr/sbin/ntpd.bin, plays the daemon.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr int reply_fd = 3;  // the daemon's answer to every SIGUSR1

void answer(int) {
  char c = 'x';
  if (write(reply_fd, &c, 1) != 1) _exit(3);
}

int play_daemon() {
  signal(SIGUSR1, answer);
  for (;;) pause();
}

double now_us() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

std::string status_field(pid_t pid, const char* field) {
  std::string path = "/proc/" + std::to_string(pid) + "/status";
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return "?";
  char line[256];
  std::string value = "?";
  while (fgets(line, sizeof line, f)) {
    if (strncmp(line, field, strlen(field)) == 0) {
      value = line + strlen(field) + 1;
      value.erase(0, value.find_first_not_of(" \t"));
      value.erase(value.find_last_not_of("\n") + 1);
    }
  }
  fclose(f);
  return value;
}

pid_t spawn(const std::vector<std::string>& argv, int out_fd) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (out_fd >= 0) {
    dup2(out_fd, 1);
    dup2(out_fd, 2);
  }
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

bool enter_namespaces() {
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) return false;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0) return false;
  // /usr/sbin gets a private writable layer for the daemon's link.
  if (mkdir("/tmp/u", 0755) || mkdir("/tmp/w", 0755)) return false;
  return mount("overlay", "/usr/sbin", "overlay", 0,
               "lowerdir=/usr/sbin,upperdir=/tmp/u,workdir=/tmp/w") == 0;
}

void idle_memory(const char* name, pid_t pid) {
  usleep(300000);  // well into its first wait
  printf("%s idle: VmRSS %s, VmHWM %s\n", name, status_field(pid, "VmRSS:").c_str(),
         status_field(pid, "VmHWM:").c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::string self = argv[0];
  if (self.size() >= 8 && self.compare(self.size() - 8, 8, "ntpd.bin") == 0) return play_daemon();
  if (argc != 3) {
    fprintf(stderr, "usage: %s <bin dir> <signals>\n", argv[0]);
    return 2;
  }
  std::string bin = argv[1];
  int rounds = atoi(argv[2]);
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0 || !enter_namespaces()) {
    fprintf(stderr, "cannot set up private namespaces (root needed): %s\n", strerror(errno));
    return 1;
  }
  exe[n] = '\0';
  if (symlink(exe, "/usr/sbin/ntpd.bin") != 0) return 1;

  int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid_t phyfix = spawn({bin + "/phyfix", "lo", "1"}, quiet);
  idle_memory("phyfix", phyfix);
  kill(phyfix, SIGKILL);
  waitpid(phyfix, nullptr, 0);

  int reply[2];
  if (pipe(reply) != 0 || dup2(reply[1], reply_fd) != reply_fd) return 1;
  pid_t wrapper = spawn({bin + "/ntpshim", "-n"}, -1);
  close(reply_fd);
  close(reply[1]);
  idle_memory("ntpshim", wrapper);

  std::vector<double> took;
  took.reserve(rounds);
  for (int i = 0; i < rounds; ++i) {
    char c;
    double start = now_us();
    kill(wrapper, SIGUSR1);
    if (read(reply[0], &c, 1) != 1) {
      fprintf(stderr, "the daemon stopped answering after %d signals\n", i);
      return 1;
    }
    took.push_back(now_us() - start);
  }
  kill(wrapper, SIGTERM);
  int status;
  waitpid(wrapper, &status, 0);
  std::sort(took.begin(), took.end());
  if (!took.empty())
    printf(
        "ntpshim signal to daemon handler, %d signals: median %.1f us, p99 %.1f us, max %.1f us\n",
        rounds, took[took.size() / 2], took[took.size() * 99 / 100], took.back());
  printf("ntpshim after SIGTERM: exit status %d\n",
         WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status));
  return 0;
}
