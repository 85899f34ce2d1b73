// SPDX-License-Identifier: ISC
// The event loop as its users rely on it: descriptor watchers with each
// flag, timeouts in expiry order, cancellation from callbacks, signals and
// child processes.

extern "C" {
#include <libubox/uloop.h>
}

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Ends a run that would otherwise hang, and says so.
struct Watchdog {
  uloop_timeout t = {};
  bool fired = false;

  explicit Watchdog(int ms = 5000) {
    t.cb = [](uloop_timeout *self) {
      container_of(self, Watchdog, t)->fired = true;
      uloop_end();
    };
    uloop_timeout_set(&t, ms);
  }
  ~Watchdog() { uloop_timeout_cancel(&t); }
};

struct Pipe {
  int rd = -1, wr = -1;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
      rd = fds[0];
      wr = fds[1];
    }
  }
  ~Pipe() {
    if (rd >= 0) close(rd);
    if (wr >= 0) close(wr);
  }
};

class ubox_loop : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(uloop_init(), 0); }
  void TearDown() override { uloop_done(); }
};

// A watcher that takes one byte per callback and ends the loop shortly
// after the last expected call.
struct ByteReader {
  uloop_fd fd = {};
  uloop_timeout settle = {};
  int calls = 0;
  std::vector<unsigned int> events;

  static void on_fd(uloop_fd *u, unsigned int ev) {
    ByteReader *r = container_of(u, ByteReader, fd);
    char c;
    r->calls++;
    r->events.push_back(ev);
    if (read(u->fd, &c, 1) != 1) return;
    // once no further call is due, give a wrong one a window to
    // show up (a slow machine only makes the window start later)
    int left = 0;
    ioctl(u->fd, FIONREAD, &left);
    if (!left || (u->flags & ULOOP_EDGE_TRIGGER)) uloop_timeout_set(&r->settle, 50);
  }
};

TEST_F(ubox_loop, LevelAndEdgeTriggeredReads) {
  struct Case {
    const char *name;
    unsigned int flags;
    int expected_calls;  // for 3 bytes, one byte taken per call
  };
  const Case cases[] = {
      {"level-triggered", ULOOP_READ, 3},
      {"edge-triggered", ULOOP_READ | ULOOP_EDGE_TRIGGER, 1},
  };

  for (const Case &c : cases) {
    Pipe p;
    ByteReader r;
    r.fd.fd = p.rd;
    r.fd.cb = ByteReader::on_fd;
    r.settle.cb = [](uloop_timeout *) { uloop_end(); };
    ASSERT_EQ(uloop_fd_add(&r.fd, c.flags), 0) << c.name;
    EXPECT_TRUE(r.fd.registered);
    EXPECT_EQ(r.fd.flags, c.flags);

    ASSERT_EQ(write(p.wr, "abc", 3), 3);
    Watchdog dog;
    uloop_run();
    EXPECT_FALSE(dog.fired) << c.name;
    EXPECT_EQ(r.calls, c.expected_calls) << c.name;
    for (unsigned int ev : r.events) EXPECT_EQ(ev, (unsigned int)ULOOP_READ) << c.name;

    if (c.flags & ULOOP_EDGE_TRIGGER) {
      // new data is a new edge
      ASSERT_EQ(write(p.wr, "d", 1), 1);
      uloop_run();
      EXPECT_EQ(r.calls, 2) << c.name;
    }
    uloop_fd_delete(&r.fd);
    uloop_timeout_cancel(&r.settle);
    EXPECT_FALSE(r.fd.registered);
  }
}

TEST_F(ubox_loop, WritableAndBlockingFlags) {
  struct Case {
    unsigned int flags;
    bool nonblocking_after;
  };
  const Case cases[] = {
      {ULOOP_WRITE, true},
      {ULOOP_WRITE | ULOOP_BLOCKING, false},
      {ULOOP_WRITE | ULOOP_EDGE_TRIGGER, true},
  };

  for (const Case &c : cases) {
    Pipe p;
    struct Writer {
      uloop_fd fd = {};
      unsigned int seen = 0;
    } w;
    w.fd.fd = p.wr;
    w.fd.cb = [](uloop_fd *u, unsigned int ev) {
      container_of(u, Writer, fd)->seen = ev;
      uloop_end();
    };
    ASSERT_EQ(uloop_fd_add(&w.fd, c.flags), 0);
    bool nonblocking = fcntl(p.wr, F_GETFL) & O_NONBLOCK;
    EXPECT_EQ(nonblocking, c.nonblocking_after) << "flags " << c.flags;

    Watchdog dog;
    uloop_run();
    EXPECT_FALSE(dog.fired);
    EXPECT_EQ(w.seen, (unsigned int)ULOOP_WRITE) << "flags " << c.flags;
    uloop_fd_delete(&w.fd);
  }
}

TEST_F(ubox_loop, PeerCloseSetsEof) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  struct Reader {
    uloop_fd fd = {};
    bool eof_seen = false;
    std::string data;
  } r;
  r.fd.fd = sv[0];
  r.fd.cb = [](uloop_fd *u, unsigned int) {
    Reader *self = container_of(u, Reader, fd);
    char buf[16];
    ssize_t n;
    while ((n = read(u->fd, buf, sizeof(buf))) > 0) self->data.append(buf, n);
    if (u->eof) {
      self->eof_seen = true;
      uloop_end();
    }
  };
  ASSERT_EQ(uloop_fd_add(&r.fd, ULOOP_READ), 0);
  ASSERT_EQ(write(sv[1], "bye", 3), 3);
  close(sv[1]);

  Watchdog dog;
  uloop_run();
  EXPECT_FALSE(dog.fired);
  EXPECT_TRUE(r.eof_seen);
  EXPECT_EQ(r.data, "bye");
  uloop_fd_delete(&r.fd);
  close(sv[0]);
}

// Both descriptors are ready in one batch; whichever runs first removes
// the other, which must then never be called (its memory may be gone).
struct Watched {
  uloop_fd fd = {};
  int calls = 0;
  Watched *other = nullptr;
};

TEST_F(ubox_loop, WatcherDeletedByAnotherCallbackIsNotCalled) {
  Pipe a, b;
  Watched wa, wb;
  wa.other = &wb;
  wb.other = &wa;
  auto cb = [](uloop_fd *u, unsigned int) {
    Watched *self = container_of(u, Watched, fd);
    self->calls++;
    uloop_fd_delete(&self->other->fd);
    uloop_fd_delete(u);
    uloop_end();
  };
  wa.fd.fd = a.rd;
  wa.fd.cb = cb;
  wb.fd.fd = b.rd;
  wb.fd.cb = cb;
  ASSERT_EQ(write(a.wr, "x", 1), 1);
  ASSERT_EQ(write(b.wr, "x", 1), 1);
  ASSERT_EQ(uloop_fd_add(&wa.fd, ULOOP_READ), 0);
  ASSERT_EQ(uloop_fd_add(&wb.fd, ULOOP_READ), 0);

  Watchdog dog(500);
  uloop_run();
  // more passes hand out whatever else was fetched in the same batch
  for (int i = 0; i < 3; i++) uloop_run_timeout(5);
  EXPECT_EQ(wa.calls + wb.calls, 1) << "calls: " << wa.calls << " and " << wb.calls;
}

struct Recorder;

struct Slot {
  uloop_timeout t = {};
  int index = 0;
  Recorder *owner = nullptr;
};

struct Recorder {
  Slot slots[5];
  std::vector<int> order;

  Recorder() {
    for (int i = 0; i < 5; i++) {
      slots[i].index = i;
      slots[i].owner = this;
      slots[i].t.cb = on_timeout;
    }
  }

  static void on_timeout(uloop_timeout *t) {
    Slot *slot = container_of(t, Slot, t);
    Recorder *self = slot->owner;
    self->order.push_back(slot->index);
    if (self->order.size() == 5) uloop_end();
  }
};

TEST_F(ubox_loop, TimeoutsFireInExpiryOrder) {
  Recorder r;
  const int delays[] = {30, 10, 20, 0, 10};
  for (int i = 0; i < 5; i++) {
    ASSERT_EQ(uloop_timeout_set(&r.slots[i].t, delays[i]), 0);
    EXPECT_TRUE(r.slots[i].t.pending);
  }
  // adding a pending timeout again is refused
  EXPECT_EQ(uloop_timeout_add(&r.slots[0].t), -1);

  Watchdog dog;
  uloop_run();
  EXPECT_FALSE(dog.fired);
  const std::vector<int> expected = {3, 1, 4, 2, 0};
  EXPECT_EQ(r.order, expected);
  for (const Slot &slot : r.slots) EXPECT_FALSE(slot.t.pending);
}

// uloop_timeout_add takes the stored absolute expiry on the monotonic
// clock as it is; equal expiries fire in the order they were added.
TEST_F(ubox_loop, AddUsesTheStoredAbsoluteTime) {
  Recorder r;
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const int offsets_ms[] = {40, -5, 40, 15, 40};
  for (int i = 0; i < 5; i++) {
    timeval &time = r.slots[i].t.time;
    long long usec = (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000 + offsets_ms[i] * 1000LL;
    time.tv_sec = usec / 1000000;
    time.tv_usec = usec % 1000000;
    ASSERT_EQ(uloop_timeout_add(&r.slots[i].t), 0);
  }

  Watchdog dog;
  uloop_run();
  const std::vector<int> expected = {1, 3, 0, 2, 4};
  EXPECT_EQ(r.order, expected);
}

// Many timeouts in mixed order (due at once, after all others, in between,
// equal): they fire sorted by expiry, equal ones in the order added.
TEST_F(ubox_loop, ManyTimeoutsKeepTheirOrder) {
  struct Entry {
    uloop_timeout t = {};
    int index = 0;
    std::vector<int> *fired = nullptr;
  };
  constexpr int kCount = 300;
  std::vector<Entry> entries(kCount);
  std::vector<int> fired;
  std::vector<std::pair<int, int>> expected;  // (offset, index)

  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  unsigned seed = 12345;
  for (int i = 0; i < kCount; i++) {
    seed = seed * 1103515245 + 12345;
    // mostly at either end, some in between, many equal
    int pick = static_cast<int>((seed >> 16) % 10);
    int offset = pick < 4 ? -1 : pick < 8 ? 30 + i / 10 : static_cast<int>((seed >> 8) % 30);
    Entry &e = entries[static_cast<size_t>(i)];
    e.index = i;
    e.fired = &fired;
    e.t.cb = [](uloop_timeout *t) {
      Entry *self = container_of(t, Entry, t);
      self->fired->push_back(self->index);
      if (self->fired->size() == kCount) uloop_end();
    };
    long long usec = (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000 + offset * 1000LL;
    e.t.time.tv_sec = usec / 1000000;
    e.t.time.tv_usec = usec % 1000000;
    ASSERT_EQ(uloop_timeout_add(&e.t), 0);
    expected.emplace_back(offset, i);
  }
  std::stable_sort(expected.begin(), expected.end(),
                   [](const auto &a, const auto &b) { return a.first < b.first; });

  Watchdog dog;
  uloop_run();
  ASSERT_EQ(fired.size(), expected.size());
  for (size_t i = 0; i < fired.size(); i++)
    ASSERT_EQ(fired[i], expected[i].second) << "position " << i;
}

TEST_F(ubox_loop, CancelFromCallbackAndRemaining) {
  struct Pair {
    uloop_timeout first = {}, second = {}, end = {};
    bool second_fired = false;
    int cancel_result = 99;
  } p;
  p.first.cb = [](uloop_timeout *t) {
    Pair *self = container_of(t, Pair, first);
    self->cancel_result = uloop_timeout_cancel(&self->second);
  };
  p.second.cb = [](uloop_timeout *t) { container_of(t, Pair, second)->second_fired = true; };
  p.end.cb = [](uloop_timeout *) { uloop_end(); };

  uloop_timeout_set(&p.first, 5);
  uloop_timeout_set(&p.second, 5);  // due at (nearly) the same time
  uloop_timeout_set(&p.end, 60);

  uloop_timeout later = {};
  uloop_timeout_set(&later, 10000);
  int64_t left = uloop_timeout_remaining64(&later);
  EXPECT_GT(left, 9000);
  EXPECT_LE(left, 10000);
  uloop_timeout_cancel(&later);
  EXPECT_EQ(uloop_timeout_remaining64(&later), -1);

  Watchdog dog;
  uloop_run();
  EXPECT_EQ(p.cancel_result, 0);
  EXPECT_FALSE(p.second_fired);
  EXPECT_EQ(uloop_timeout_cancel(&p.second), -1);
  EXPECT_EQ(uloop_timeout_remaining64(&p.second), -1);
}

TEST_F(ubox_loop, EndFromCallbackStopsTheRun) {
  uloop_timeout t = {};
  t.cb = [](uloop_timeout *) { uloop_end(); };
  uloop_timeout_set(&t, 1);
  Watchdog dog;
  EXPECT_EQ(uloop_run(), 0);
  EXPECT_FALSE(dog.fired);
  EXPECT_TRUE(uloop_cancelled);
  EXPECT_FALSE(uloop_cancelling());  // no run active any more
}

TEST_F(ubox_loop, TerminationSignalsEndTheRun) {
  for (int sig : {SIGINT, SIGTERM}) {
    // delivered from another thread while the loop sleeps in epoll
    std::thread sender([sig] {
      usleep(30 * 1000);
      kill(getpid(), sig);
    });
    Watchdog dog;
    int status = uloop_run();
    sender.join();
    EXPECT_FALSE(dog.fired) << strsignal(sig);
    EXPECT_EQ(status, sig) << strsignal(sig);
    EXPECT_TRUE(uloop_cancelled);
  }

  // as on the device, a signal caught before the run is forgotten by it:
  // the run goes on until something else ends it
  raise(SIGTERM);
  static bool ended_by_timer;
  ended_by_timer = false;
  uloop_timeout t = {};
  t.cb = [](uloop_timeout *) {
    ended_by_timer = true;
    uloop_end();
  };
  uloop_timeout_set(&t, 50);
  Watchdog dog;
  EXPECT_EQ(uloop_run(), 0);
  EXPECT_TRUE(ended_by_timer) << "the run ended on the earlier signal";
  EXPECT_FALSE(dog.fired);

  // the same for a signal caught in a callback, before a nested run starts
  t.cb = [](uloop_timeout *) {
    raise(SIGINT);
    static uloop_timeout inner = {};
    inner.cb = [](uloop_timeout *) { uloop_end(); };
    uloop_timeout_set(&inner, 20);
    EXPECT_EQ(uloop_run(), 0);
    ended_by_timer = true;
    uloop_end();
  };
  ended_by_timer = false;
  uloop_timeout_set(&t, 1);
  EXPECT_EQ(uloop_run(), 0);
  EXPECT_TRUE(ended_by_timer);
  EXPECT_FALSE(dog.fired);
}

TEST(ubox_loop_signals, HandlersAreRestoredByDone) {
  struct sigaction before;
  sigaction(SIGTERM, nullptr, &before);
  ASSERT_EQ(before.sa_handler, SIG_DFL);

  ASSERT_EQ(uloop_init(), 0);
  struct sigaction during;
  sigaction(SIGTERM, nullptr, &during);
  EXPECT_NE(during.sa_handler, SIG_DFL);
  uloop_done();

  struct sigaction after;
  sigaction(SIGTERM, nullptr, &after);
  EXPECT_EQ(after.sa_handler, SIG_DFL);
}

TEST_F(ubox_loop, ProcessesAreReapedWithTheirStatus) {
  struct Proc {
    uloop_process p = {};
    int status = -1;
    int *done;
  };
  const int exit_codes[] = {0, 7, 42};
  Proc procs[3];
  int done = 0;

  for (int i = 0; i < 3; i++) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      usleep((3 - i) * 10 * 1000);  // finish in reverse order
      _exit(exit_codes[i]);
    }
    procs[i].p.pid = pid;
    procs[i].done = &done;
    procs[i].p.cb = [](uloop_process *p, int ret) {
      Proc *self = container_of(p, Proc, p);
      self->status = ret;
      if (++*self->done == 3) uloop_end();
    };
    ASSERT_EQ(uloop_process_add(&procs[i].p), 0);
  }

  Watchdog dog;
  uloop_run();
  EXPECT_FALSE(dog.fired);
  for (int i = 0; i < 3; i++) {
    ASSERT_TRUE(WIFEXITED(procs[i].status)) << "child " << i << " status " << procs[i].status;
    EXPECT_EQ(WEXITSTATUS(procs[i].status), exit_codes[i]) << "child " << i;
    EXPECT_FALSE(procs[i].p.pending);
  }
}

// A callback that runs the loop again (as a synchronous bus call does)
// is not re-entered for its own edge-triggered descriptor; the event is
// handed to it once it has returned.
TEST_F(ubox_loop, NestedRunDefersEventsOfTheRunningWatcher) {
  Pipe p;
  struct Nested {
    uloop_fd fd = {};
    int depth = 0, max_depth = 0, calls = 0;
    int wr;
  } n;
  n.wr = p.wr;
  n.fd.fd = p.rd;
  n.fd.cb = [](uloop_fd *u, unsigned int) {
    Nested *self = container_of(u, Nested, fd);
    char buf[8];
    self->calls++;
    self->depth++;
    if (self->depth > self->max_depth) self->max_depth = self->depth;
    while (read(u->fd, buf, sizeof(buf)) > 0)
      ;
    if (self->calls == 1) {
      // new data arrives while this callback is still running
      if (write(self->wr, "y", 1) == 1) {
        for (int i = 0; i < 5; i++) uloop_run_timeout(5);
      }
    } else {
      uloop_end();
    }
    self->depth--;
  };
  ASSERT_EQ(uloop_fd_add(&n.fd, ULOOP_READ | ULOOP_EDGE_TRIGGER), 0);
  ASSERT_EQ(write(p.wr, "x", 1), 1);

  Watchdog dog(2000);
  uloop_run();
  EXPECT_FALSE(dog.fired);
  EXPECT_EQ(n.max_depth, 1);
  EXPECT_EQ(n.calls, 2);
  uloop_fd_delete(&n.fd);
}

}  // namespace
