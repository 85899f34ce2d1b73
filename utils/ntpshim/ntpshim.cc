// SPDX-License-Identifier: ISC
// ntpshim [daemon arguments...]: started in place of the NTP daemon. Runs
// the daemon with "-S <clock-sync script>" in front of the caller's
// arguments, passes the control signals on to it, and ends when the daemon
// ends, with its exit status (128 + signal number when it was killed).
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

namespace {

constexpr char own_daemon[] = "/usr/sbin/ntpd.bin";
constexpr char multi_call[] = "/bin/busybox";
constexpr char applet[] = "ntpd";
constexpr char script_option[] = "-S";
constexpr char step_script[] = "/usr/bin/rtc_sync.sh";

constexpr int forwarded_signals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGABRT, SIGUSR1,
                                     SIGUSR2, SIGALRM, SIGTERM, SIGWINCH};

// The daemon, for the signal handler; set before any handler is installed.
pid_t child_pid = -1;

bool own_daemon_present() {
  struct stat st;
  return stat(own_daemon, &st) == 0 && S_ISREG(st.st_mode);
}

struct free_deleter {
  void operator()(void* p) const { free(p); }
};

// The wrapper could not start the daemon: the reason, as the only output.
int start_failed(int error) {
  fputs(strerror(error), stderr);
  return 255;
}

}  // namespace

extern "C" void forward_signal(int sig, siginfo_t*, void*) {
  int saved_errno = errno;  // the interrupted wait looks at errno
  kill(child_pid, sig);
  errno = saved_errno;
}

int main(int argc, char** argv) {
  const bool own = own_daemon_present();

  // program [applet] -S script arguments... NULL
  const int nargs = argc > 0 ? argc - 1 : 0;
  const size_t count = nargs + 3 + (own ? 1 : 2);
  std::unique_ptr<const char*[], free_deleter> args(
      static_cast<const char**>(calloc(count, sizeof(const char*))));
  if (!args) return start_failed(ENOMEM);
  size_t n = 0;
  args[n++] = own ? own_daemon : multi_call;
  if (!own) args[n++] = applet;
  args[n++] = script_option;
  args[n++] = step_script;
  for (int i = 1; i <= nargs; ++i) args[n++] = argv[i];
  args[n] = nullptr;

  // A signal arriving before the handlers are in place waits for them
  // instead of ending the wrapper and leaving the daemon behind.
  sigset_t forwarded, previous;
  sigemptyset(&forwarded);
  for (int sig : forwarded_signals) sigaddset(&forwarded, sig);
  sigprocmask(SIG_BLOCK, &forwarded, &previous);

  child_pid = fork();
  if (child_pid == 0) {
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    execv(args[0], const_cast<char* const*>(args.get()));
    args.reset();
    _exit(255);
  }
  if (child_pid < 0) return start_failed(errno);

  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = forward_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_SIGINFO;
  for (int sig : forwarded_signals) sigaction(sig, &action, nullptr);
  sigprocmask(SIG_SETMASK, &previous, nullptr);

  // Forwarded signals interrupt the wait; only the daemon's end ends it.
  int status;
  pid_t ended;
  while ((ended = waitpid(child_pid, &status, 0)) < 0 && errno == EINTR) {
  }
  if (ended != child_pid) return 255;
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}
