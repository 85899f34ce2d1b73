// SPDX-License-Identifier: ISC
// The event loop: epoll for descriptors, a sorted list of absolute
// timeouts, a pid-sorted list of watched children, and a self-pipe that
// lets signal handlers wake the loop.

extern "C" {
#include <libubox/uloop.h>
}

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <array>

bool uloop_cancelled = false;
bool uloop_handle_sigchld = true;
uloop_fd_handler uloop_fd_set_cb = nullptr;

namespace {

constexpr int kMaxEvents = 10;

// Events fetched by one epoll_wait and not handed out yet; a watcher
// deleted meanwhile has its entry cleared.
struct fetched_event {
  uloop_fd *fd;
  unsigned int events;
};

// One frame per callback currently running on the C stack. A nested loop
// run that sees another event for the same edge-triggered watcher adds it
// here instead of calling back recursively; the outer frame repeats the
// call.
struct fd_stack {
  fd_stack *next;
  uloop_fd *fd;
  unsigned int events;
};

std::array<fetched_event, kMaxEvents> cur_fds;
int cur_fd;
int cur_nfds;
fd_stack *fd_stack_top;

int poll_fd = -1;
int waker_pipe = -1;  // write end; the read end lives in waker_fd
uloop_fd waker_fd;

list_head timeouts = LIST_HEAD_INIT(timeouts);
list_head processes = LIST_HEAD_INIT(processes);

volatile sig_atomic_t do_sigchld;
int uloop_status;
int run_depth;

struct saved_signals {
  struct sigaction sigint, sigterm, sigchld;
  bool chld_installed;
  bool pipe_ignored;
  bool installed;
};
saved_signals saved;

void gettime(timeval *tv) {
  timespec ts;

  clock_gettime(CLOCK_MONOTONIC, &ts);
  tv->tv_sec = ts.tv_sec;
  tv->tv_usec = ts.tv_nsec / 1000;
}

// a - b in microseconds
int64_t tv_diff_us(const timeval *a, const timeval *b) {
  return (int64_t)(a->tv_sec - b->tv_sec) * 1000000 + (a->tv_usec - b->tv_usec);
}

bool tv_later(const timeval *a, const timeval *b) {
  return a->tv_sec > b->tv_sec || (a->tv_sec == b->tv_sec && a->tv_usec > b->tv_usec);
}

void waker_send() {
  int saved_errno = errno;

  if (waker_pipe >= 0) {
    ssize_t n = write(waker_pipe, "w", 1);
    (void)n;  // a full pipe already wakes the loop
  }
  errno = saved_errno;
}

void waker_consume(uloop_fd *fd, unsigned int) {
  char buf[16];

  while (read(fd->fd, buf, sizeof(buf)) > 0)
    ;
}

int init_pollfd() {
  if (poll_fd >= 0) return 0;
  poll_fd = epoll_create1(EPOLL_CLOEXEC);
  return poll_fd < 0 ? -1 : 0;
}

int waker_init() {
  int fds[2];

  if (waker_pipe >= 0) return 0;
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) < 0) return -1;
  waker_pipe = fds[1];
  waker_fd.fd = fds[0];
  waker_fd.cb = waker_consume;
  if (uloop_fd_add(&waker_fd, ULOOP_READ) < 0) {
    close(fds[0]);
    close(fds[1]);
    waker_pipe = -1;
    return -1;
  }
  return 0;
}

void handle_terminate(int signo) {
  uloop_status = signo;
  uloop_cancelled = true;
  waker_send();
}

void handle_sigchld(int) {
  do_sigchld = 1;
  waker_send();
}

// Installs handler only where nobody set one of their own; restores only
// what is still ours.
void install_handler(int signum, void (*handler)(int), struct sigaction *old, bool add) {
  struct sigaction s;

  sigaction(signum, nullptr, &s);
  if (add) {
    if (s.sa_handler != SIG_DFL) return;
    *old = s;
    s.sa_handler = handler;
    s.sa_flags = 0;
    sigemptyset(&s.sa_mask);
    sigaction(signum, &s, nullptr);
  } else if (s.sa_handler == handler) {
    sigaction(signum, old, nullptr);
  }
}

void setup_signals(bool add) {
  if (add == saved.installed) return;
  saved.installed = add;
  install_handler(SIGINT, handle_terminate, &saved.sigint, add);
  install_handler(SIGTERM, handle_terminate, &saved.sigterm, add);
  if (add) saved.chld_installed = uloop_handle_sigchld;
  if (saved.chld_installed) install_handler(SIGCHLD, handle_sigchld, &saved.sigchld, add);

  struct sigaction s;
  sigaction(SIGPIPE, nullptr, &s);
  if (add && s.sa_handler == SIG_DFL) {
    s.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &s, nullptr);
    saved.pipe_ignored = true;
  } else if (!add && saved.pipe_ignored) {
    if (s.sa_handler == SIG_IGN) {
      s.sa_handler = SIG_DFL;
      sigaction(SIGPIPE, &s, nullptr);
    }
    saved.pipe_ignored = false;
  }
}

bool fd_stack_event(uloop_fd *fd, int events) {
  // level-triggered watchers keep firing anyway; their callbacks handle
  // recursion themselves
  if (!(fd->flags & ULOOP_EDGE_TRIGGER)) return false;

  for (fd_stack *cur = fd_stack_top; cur; cur = cur->next) {
    if (cur->fd != fd) continue;
    if (events < 0)
      cur->fd = nullptr;
    else
      cur->events |= events | ULOOP_EVENT_BUFFERED;
    return true;
  }
  return false;
}

int fetch_events(int timeout) {
  epoll_event events[kMaxEvents];
  int nfds = epoll_wait(poll_fd, events, kMaxEvents, timeout);

  for (int n = 0; n < nfds; n++) {
    fetched_event &cur = cur_fds[n];
    uloop_fd *u = static_cast<uloop_fd *>(events[n].data.ptr);
    uint32_t e = events[n].events;
    unsigned int ev = 0;

    cur.fd = u;
    cur.events = 0;
    if (!u) continue;

    if (e & (EPOLLERR | EPOLLHUP)) {
      u->error = true;
      if (!(u->flags & ULOOP_ERROR_CB)) uloop_fd_delete(u);
    }
    if (!(e & (EPOLLRDHUP | EPOLLIN | EPOLLOUT | EPOLLERR | EPOLLHUP))) {
      cur.fd = nullptr;
      continue;
    }
    if (e & EPOLLRDHUP) u->eof = true;
    if (e & EPOLLIN) ev |= ULOOP_READ;
    if (e & EPOLLOUT) ev |= ULOOP_WRITE;
    cur.events = ev;
  }
  return nfds;
}

// Hands out one fetched event (fetching a new batch when none is left).
void run_events(int timeout) {
  if (!cur_nfds) {
    cur_fd = 0;
    cur_nfds = fetch_events(timeout);
    if (cur_nfds < 0) cur_nfds = 0;
  }

  while (cur_nfds > 0) {
    fetched_event &cur = cur_fds[cur_fd++];
    cur_nfds--;

    uloop_fd *fd = cur.fd;
    unsigned int events = cur.events;
    if (!fd || !fd->cb) continue;
    if (fd_stack_event(fd, events)) continue;

    fd_stack frame = {fd_stack_top, fd, 0};
    fd_stack_top = &frame;
    do {
      frame.events = 0;
      fd->cb(fd, events);
      events = frame.events & ULOOP_EVENT_MASK;
    } while (frame.fd && events);
    fd_stack_top = frame.next;
    return;
  }
}

void process_timeouts() {
  if (list_empty(&timeouts)) return;

  timeval now;
  gettime(&now);
  while (!list_empty(&timeouts)) {
    uloop_timeout *t = list_first_entry(&timeouts, uloop_timeout, list);

    if (tv_later(&t->time, &now)) break;
    uloop_timeout_cancel(t);
    if (t->cb) t->cb(t);
  }
}

void handle_processes() {
  do_sigchld = 0;
  for (;;) {
    int status;
    pid_t pid = waitpid(-1, &status, WNOHANG);

    if (pid < 0 && errno == EINTR) continue;
    if (pid <= 0) return;

    uloop_process *p, *tmp;
    list_for_each_entry_safe(p, tmp, &processes, list) {
      if (p->pid < pid) continue;
      if (p->pid > pid) break;
      uloop_process_delete(p);
      p->cb(p, status);
    }
  }
}

}  // namespace

int uloop_fd_add(struct uloop_fd *sock, unsigned int flags) {
  if (!(flags & (ULOOP_READ | ULOOP_WRITE))) return uloop_fd_delete(sock);
  if (init_pollfd() < 0) return -1;

  if (!sock->registered && !(flags & ULOOP_BLOCKING)) {
    int fl = fcntl(sock->fd, F_GETFL, 0);
    if (fl >= 0) fcntl(sock->fd, F_SETFL, fl | O_NONBLOCK);
  }

  epoll_event ev;
  memset(&ev, 0, sizeof(ev));
  if (flags & ULOOP_READ) ev.events |= EPOLLIN | EPOLLRDHUP;
  if (flags & ULOOP_WRITE) ev.events |= EPOLLOUT;
  if (flags & ULOOP_EDGE_TRIGGER) ev.events |= EPOLLET;
  ev.data.ptr = sock;

  int ret = epoll_ctl(poll_fd, sock->registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, sock->fd, &ev);
  // the kernel drops closed descriptors from the set on its own
  if (ret < 0 && sock->registered && errno == ENOENT)
    ret = epoll_ctl(poll_fd, EPOLL_CTL_ADD, sock->fd, &ev);
  if (ret < 0) return ret;

  if (uloop_fd_set_cb) uloop_fd_set_cb(sock, flags);
  sock->flags = flags;
  sock->registered = true;
  sock->eof = false;
  sock->error = false;
  return 0;
}

int uloop_fd_delete(struct uloop_fd *sock) {
  for (int i = 0; i < cur_nfds; i++) {
    if (cur_fds[cur_fd + i].fd == sock) cur_fds[cur_fd + i].fd = nullptr;
  }

  if (!sock->registered) return 0;

  if (uloop_fd_set_cb) uloop_fd_set_cb(sock, 0);
  sock->registered = false;
  sock->flags = 0;
  fd_stack_event(sock, -1);
  if (poll_fd < 0) return 0;
  return epoll_ctl(poll_fd, EPOLL_CTL_DEL, sock->fd, nullptr);
}

int uloop_timeout_add(struct uloop_timeout *timeout) {
  if (timeout->pending) return -1;

  // Goes after every timeout that is not later. New ones are mostly due
  // now (near the head) or after a long delay (near the tail): the search
  // starts at the end whose expiry is nearer to the new one's.
  list_head *h = &timeouts;
  uloop_timeout *tmp;
  if (!list_empty(&timeouts)) {
    const timeval *first = &list_first_entry(&timeouts, uloop_timeout, list)->time;
    const timeval *last = &list_last_entry(&timeouts, uloop_timeout, list)->time;
    if (tv_diff_us(&timeout->time, first) < tv_diff_us(last, &timeout->time)) {
      list_for_each_entry(tmp, &timeouts, list) {
        if (tv_later(&tmp->time, &timeout->time)) {
          h = &tmp->list;
          break;
        }
      }
    } else {
      list_for_each_entry_reverse(tmp, &timeouts, list) {
        if (!tv_later(&tmp->time, &timeout->time)) break;
        h = &tmp->list;
      }
    }
  }

  list_add_tail(&timeout->list, h);
  timeout->pending = true;
  return 0;
}

int uloop_timeout_set(struct uloop_timeout *timeout, int msecs) {
  timeval *time = &timeout->time;

  if (timeout->pending) uloop_timeout_cancel(timeout);

  gettime(time);
  time->tv_sec += msecs / 1000;
  time->tv_usec += (msecs % 1000) * 1000;
  if (time->tv_usec >= 1000000) {
    time->tv_sec++;
    time->tv_usec -= 1000000;
  } else if (time->tv_usec < 0) {
    time->tv_sec--;
    time->tv_usec += 1000000;
  }
  return uloop_timeout_add(timeout);
}

int uloop_timeout_cancel(struct uloop_timeout *timeout) {
  if (!timeout->pending) return -1;

  list_del(&timeout->list);
  timeout->pending = false;
  return 0;
}

int64_t uloop_timeout_remaining64(struct uloop_timeout *timeout) {
  timeval now;

  if (!timeout->pending) return -1;
  gettime(&now);
  int64_t us = tv_diff_us(&timeout->time, &now);
  return us >= 0 ? (us + 999) / 1000 : -((-us) / 1000);
}

int uloop_timeout_remaining(struct uloop_timeout *timeout) {
  int64_t ms = uloop_timeout_remaining64(timeout);

  if (ms > INT_MAX) return INT_MAX;
  if (ms < INT_MIN) return INT_MIN;
  return (int)ms;
}

int uloop_get_next_timeout(void) {
  if (list_empty(&timeouts)) return -1;

  timeval now;
  gettime(&now);
  uloop_timeout *t = list_first_entry(&timeouts, uloop_timeout, list);
  int64_t us = tv_diff_us(&t->time, &now);
  if (us <= 0) return 0;
  // round up: waking before the expiry would only spin
  int64_t ms = (us + 999) / 1000;
  return ms > INT_MAX ? INT_MAX : (int)ms;
}

int uloop_process_add(struct uloop_process *p) {
  if (p->pending) return -1;

  list_head *h = &processes;
  uloop_process *tmp;
  list_for_each_entry(tmp, &processes, list) {
    if (tmp->pid > p->pid) {
      h = &tmp->list;
      break;
    }
  }

  list_add_tail(&p->list, h);
  p->pending = true;
  return 0;
}

int uloop_process_delete(struct uloop_process *p) {
  if (!p->pending) return -1;

  list_del(&p->list);
  p->pending = false;
  return 0;
}

bool uloop_cancelling(void) { return run_depth > 0 && uloop_cancelled; }

void uloop_end(void) {
  uloop_cancelled = true;
  waker_send();
}

int uloop_init(void) {
  if (init_pollfd() < 0) return -1;
  if (waker_init() < 0) {
    uloop_done();
    return -1;
  }
  setup_signals(true);
  return 0;
}

int uloop_run_timeout(int timeout) {
  if (init_pollfd() < 0) return -1;

  run_depth++;
  uloop_status = 0;
  // As on the device, a run starts afresh: a SIGINT/SIGTERM caught before
  // it (even during a callback of an outer run) is forgotten.
  uloop_cancelled = false;

  while (!uloop_cancelled) {
    process_timeouts();
    if (do_sigchld) handle_processes();
    if (uloop_cancelled) break;

    int next_time = uloop_get_next_timeout();
    if (timeout >= 0 && (next_time < 0 || timeout < next_time)) next_time = timeout;
    run_events(next_time);

    // a bounded run makes one pass
    if (timeout >= 0) break;
  }

  run_depth--;
  return uloop_status;
}

void uloop_done(void) {
  setup_signals(false);

  if (waker_pipe >= 0) {
    uloop_fd_delete(&waker_fd);
    close(waker_pipe);
    close(waker_fd.fd);
    waker_pipe = -1;
  }
  if (poll_fd >= 0) {
    close(poll_fd);
    poll_fd = -1;
  }
  cur_nfds = 0;
  do_sigchld = 0;

  uloop_timeout *t, *t_tmp;
  list_for_each_entry_safe(t, t_tmp, &timeouts, list) uloop_timeout_cancel(t);

  uloop_process *p, *p_tmp;
  list_for_each_entry_safe(p, p_tmp, &processes, list) uloop_process_delete(p);
}
