// SPDX-License-Identifier: ISC
// The far end of a simulated serial line, for the demo: runs a program on
// the slave side of a pseudo-terminal (as its standard input and output) and
// plays a device on the master side. Every line it receives is logged and
// answered with "ack <line>"; every --every seconds it reports a reading.
// When the boot loader environment tool is missing on this machine, the
// program runs in a private mount namespace where a stand-in answers
// "baudrate".
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
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

#include <string>

namespace {

constexpr const char kEnvTool[] = "/usr/sbin/fw_printenv";

volatile sig_atomic_t stop_requested;

void on_stop(int) { stop_requested = 1; }

bool write_all(int fd, const std::string& s) {
  size_t off = 0;
  while (off < s.size()) {
    ssize_t n = write(fd, s.data() + off, s.size() - off);
    if (n <= 0) return false;
    off += n;
  }
  return true;
}

// Child side: give the program an environment tool if the machine lacks one.
bool provide_env_tool(const char* baud) {
  if (access(kEnvTool, X_OK) == 0) return true;
  if (unshare(CLONE_NEWNS) != 0) return false;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  char base[] = "/tmp/serialpeer.XXXXXX";
  if (!mkdtemp(base)) return false;
  std::string upper = std::string(base) + "/u", work = std::string(base) + "/w";
  mkdir(upper.c_str(), 0755);
  mkdir(work.c_str(), 0755);
  std::string opts = "lowerdir=/usr/sbin,upperdir=" + upper + ",workdir=" + work;
  if (mount("overlay", "/usr/sbin", "overlay", 0, opts.c_str()) != 0) return false;
  FILE* f = fopen(kEnvTool, "w");
  if (!f) return false;
  fprintf(f, "#!/bin/sh\n[ \"$2\" = baudrate ] && echo %s\n", baud);
  fclose(f);
  return chmod(kEnvTool, 0755) == 0;
}

void usage(const char* self) {
  fprintf(stderr, "Usage: %s [--log FILE] [--every SECONDS] [--baud N] -- PROGRAM [ARGS...]\n",
          self);
}

}  // namespace

int main(int argc, char** argv) {
  const char* log_path = nullptr;
  const char* baud = "115200";
  int every = 0;
  int i = 1;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--") {
      ++i;
      break;
    } else if (a == "--log" && i + 1 < argc) {
      log_path = argv[++i];
    } else if (a == "--every" && i + 1 < argc) {
      every = atoi(argv[++i]);
    } else if (a == "--baud" && i + 1 < argc) {
      baud = argv[++i];
    } else {
      usage(argv[0]);
      return 2;
    }
  }
  if (i >= argc) {
    usage(argv[0]);
    return 2;
  }

  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    perror("serialpeer: pseudo-terminal");
    return 1;
  }
  const char* slave_path = ptsname(master);
  FILE* log = log_path ? fopen(log_path, "a") : stdout;
  if (!log) {
    perror("serialpeer: log");
    return 1;
  }
  setvbuf(log, nullptr, _IOLBF, 0);

  pid_t child = fork();
  if (child == 0) {
    int slave = open(slave_path, O_RDWR | O_NOCTTY);
    if (slave < 0 || !provide_env_tool(baud)) {
      perror("serialpeer: serial side");
      _exit(127);
    }
    dup2(slave, 0);
    dup2(slave, 1);
    close(slave);
    execv(argv[i], argv + i);
    perror("serialpeer: exec");
    _exit(127);
  }

  struct sigaction sa = {};
  sa.sa_handler = on_stop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  fprintf(log, "serial peer on %s, program pid %d\n", slave_path, child);

  std::string pending;
  long long heartbeats = 0;
  time_t next_report = every > 0 ? time(nullptr) + every : 0;
  int reading = 0;
  while (!stop_requested) {
    pollfd p{master, POLLIN, 0};
    int r = poll(&p, 1, 200);
    if (r > 0) {
      char buf[4096];
      ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) break;  // program gone
      for (ssize_t k = 0; k < n; ++k) {
        char c = buf[k];
        if (c == 'U' && pending.empty()) {
          ++heartbeats;  // heartbeat byte between lines
        } else if (c == '\r' || c == '\n') {
          if (!pending.empty()) {
            fprintf(log, "serial peer received \"%s\" (heartbeats so far: %lld)\n", pending.c_str(),
                    heartbeats);
            write_all(master, "ack " + pending + "\r\n");
            pending.clear();
          }
        } else {
          pending += c;
        }
      }
    }
    if (every > 0 && time(nullptr) >= next_report) {
      next_report += every;
      std::string line = "temperature " + std::to_string(30 + reading++ % 5);
      fprintf(log, "serial peer sent \"%s\"\n", line.c_str());
      write_all(master, line + "\n");
    }
    int st;
    if (waitpid(child, &st, WNOHANG) == child) {
      child = -1;
      break;
    }
  }
  if (child > 0) {
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
  }
  return 0;
}
