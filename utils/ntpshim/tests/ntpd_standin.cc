// SPDX-License-Identifier: ISC
// Stand-in for the NTP daemon in the ntpshim tests. With the record path P
// from NTPD_STANDIN_RECORD it writes:
//   P.argv     its argument vector, each argument followed by a NUL byte
//              (written last, by rename, so its presence means "running");
//   P.pid      its process id;
//   P.signals  the number of every signal it receives, one per line.
// NTPD_STANDIN_EXIT=n makes it exit with n once recorded, NTPD_STANDIN_RAISE=s
// makes it die of signal s. Otherwise it waits for signals; SIGTERM, after
// being recorded, kills it as it would a daemon without a handler. It gives
// up by itself after a minute so that it never outlives a broken test.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

int signals_fd = -1;

void record_signal(int sig) {
  char line[8];
  int n = 0;
  if (sig >= 10) line[n++] = static_cast<char>('0' + sig / 10);
  line[n++] = static_cast<char>('0' + sig % 10);
  line[n++] = '\n';
  if (write(signals_fd, line, n) < 0) _exit(98);
  if (sig == SIGTERM) {
    signal(SIGTERM, SIG_DFL);
    raise(SIGTERM);
  }
}

bool write_whole(const std::string& path, const std::string& data) {
  std::string temp = path + ".new";
  FILE* f = fopen(temp.c_str(), "w");
  if (!f) return false;
  bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
  ok = fclose(f) == 0 && ok;
  return ok && rename(temp.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* record = getenv("NTPD_STANDIN_RECORD");
  if (!record) return 97;
  std::string base = record;
  signals_fd = open((base + ".signals").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (signals_fd < 0) return 97;

  // Every signal a process can catch, except those that report its own faults.
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = record_signal;
  sigemptyset(&action.sa_mask);
  for (int sig = 1; sig < 32; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP || sig == SIGSEGV || sig == SIGBUS || sig == SIGILL ||
        sig == SIGFPE || sig == SIGTRAP || sig == SIGSYS)
      continue;
    sigaction(sig, &action, nullptr);
  }

  std::string args;
  for (int i = 0; i < argc; ++i) args.append(argv[i]).push_back('\0');
  if (!write_whole(base + ".pid", std::to_string(getpid())) || !write_whole(base + ".argv", args))
    return 97;

  if (const char* code = getenv("NTPD_STANDIN_EXIT")) return atoi(code);
  if (const char* sig = getenv("NTPD_STANDIN_RAISE")) {
    signal(atoi(sig), SIG_DFL);
    raise(atoi(sig));
    return 96;
  }
  time_t give_up = time(nullptr) + 60;
  while (time(nullptr) < give_up) {
    timespec tick{1, 0};
    nanosleep(&tick, nullptr);  // signals cut it short; that is fine
  }
  return 99;
}
