// SPDX-License-Identifier: ISC
// The bridge as a real process: a pseudo-terminal in place of the serial
// line (the kernel's line discipline marks and doubles bytes for real), our
// bus daemon at the default socket, and a stand-in for the environment tool.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
#include <libubus.h>
}

#include "testkit.h"

extern "C" int ioctl(int fd, unsigned long request, ...);
extern "C" int posix_openpt(int flags);
extern "C" int grantpt(int fd);
extern "C" int unlockpt(int fd);
extern "C" char* ptsname(int fd);

namespace {

constexpr const char kSocket[] = "/var/run/ubus/ubus.sock";
constexpr const char kObject[] = "serial.test";
constexpr const char kEnvTool[] = "/usr/sbin/fw_printenv";

// The bus daemon on our socket: the build's, or an integrator's (EO_UBUSD).
std::vector<std::string> bus_argv() {
  std::vector<std::string> argv = testkit::program_argv(testkit::bus_daemon_program());
  argv.insert(argv.end(), {"-s", kSocket});
  return argv;
}

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

struct Event {
  std::string name, line, object;
};

struct Reply {
  bool seen = false;
  bool heartbeat = false;
};

// Standard layout: the handler is the first member, so the callback gets
// back to the listener from the handler pointer.
struct Listener {
  struct ubus_event_handler handler;
  std::vector<Event>* sink;
};

void on_event(struct ubus_context*, struct ubus_event_handler* ev, const char* type,
              struct blob_attr* msg) {
  Event e{type, "", ""};
  struct blob_attr* cur;
  size_t rem;
  blobmsg_for_each_attr(cur, msg, rem) {
    if (blobmsg_type(cur) != BLOBMSG_TYPE_STRING) continue;
    if (!strcmp(blobmsg_name(cur), "line")) e.line = blobmsg_get_string(cur);
    if (!strcmp(blobmsg_name(cur), "object")) e.object = blobmsg_get_string(cur);
  }
  reinterpret_cast<Listener*>(ev)->sink->push_back(e);
}

class Bridge : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testkit::private_tmpfs("/var/run/ubus"));
    ASSERT_NO_FATAL_FAILURE(start_bus());
    uloop_init();
    ASSERT_NO_FATAL_FAILURE(connect_listening());
  }

  void TearDown() override {
    if (bridge_.started() && bridge_.running()) {
      bridge_.signal(SIGTERM);
      int st = bridge_.wait(5000);
      EXPECT_TRUE(st != -1 && WIFEXITED(st) && WEXITSTATUS(st) == 0)
          << "bridge did not end cleanly on SIGTERM, status " << st << "\n"
          << bridge_.output();
    }
    if (ctx_) ubus_free(ctx_);
    uloop_done();
    if (master_ >= 0) close(master_);
  }

  // Starts the bus daemon on our socket and waits until it listens.
  void start_bus() {
    bus_ = testkit::Child(bus_argv());
    ASSERT_TRUE(testkit::wait_listening(kSocket));
  }

  // Connects to the daemon and collects the bridge's events in events_.
  void connect_listening() {
    ctx_ = ubus_connect(kSocket);
    ASSERT_NE(ctx_, nullptr);
    ubus_add_uloop(ctx_);
    memset(&listener_.handler, 0, sizeof listener_.handler);
    listener_.handler.cb = on_event;
    listener_.sink = &events_;
    ASSERT_EQ(ubus_register_event_handler(ctx_, &listener_.handler, "orv.serial.*"), 0);
  }

  void place_env_tool(const std::string& script) {
    ASSERT_TRUE(testkit::place_file(kEnvTool, "#!/bin/sh\n" + script + "\n"));
  }

  // Starts the bridge on a fresh pseudo-terminal; waits for its object.
  void start_bridge(
      const std::string& env_script = "[ \"$1 $2\" = \"-n baudrate\" ] && echo 115200") {
    place_env_tool(env_script);
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    slave_path_ = ptsname(master_);
    int slave = open(slave_path_.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    testkit::SpawnOptions opts;
    opts.env = bridge_env_;
    opts.stdin_fd = slave;
    opts.stdout_fd = slave;
    opts.capture_output = true;  // stderr; stdout goes to the terminal
    bridge_ = testkit::Child({testkit::bin_path("uartlink"), kObject}, opts);
    close(slave);
    uint32_t id = 0;
    ASSERT_TRUE(testkit::wait_until([&] { return ubus_lookup_id(ctx_, kObject, &id) == 0; }))
        << bridge_.output();
    // the object exists before the port: wait until methods answer
    ASSERT_TRUE(testkit::wait_until([&] { return call("get_heartbeat", nullptr) == 0; }));
  }

  int call(const char* method, struct blob_attr* args, Reply* reply = nullptr) {
    uint32_t id;
    int ret = ubus_lookup_id(ctx_, kObject, &id);
    if (ret) return ret;
    struct blob_buf empty = {};
    blob_buf_init(&empty, 0);
    ret = ubus_invoke(ctx_, id, method, args ? args : empty.head, on_reply, reply, 3000);
    blob_buf_free(&empty);
    return ret;
  }

  static void on_reply(struct ubus_request* req, int, struct blob_attr* msg) {
    auto* reply = static_cast<Reply*>(req->priv);
    if (!reply) return;
    reply->seen = true;
    struct blob_attr* cur;
    size_t rem;
    blobmsg_for_each_attr(cur, msg, rem) {
      if (!strcmp(blobmsg_name(cur), "heartbeat") && blobmsg_type(cur) == BLOBMSG_TYPE_BOOL)
        reply->heartbeat = blobmsg_get_bool(cur);
    }
  }

  int set_heartbeat(bool on) {
    struct blob_buf b = {};
    blob_buf_init(&b, 0);
    blobmsg_add_u8(&b, "heartbeat", on);
    int ret = call("set_heartbeat", b.head);
    blob_buf_free(&b);
    return ret;
  }

  // Switches the heartbeat off and drains the bytes already on their way.
  void heartbeat_off() {
    ASSERT_EQ(set_heartbeat(false), 0);
    read_master(600);
  }

  int send_line(const char* line) {
    struct blob_buf b = {};
    blob_buf_init(&b, 0);
    if (line) blobmsg_add_string(&b, "line", line);
    int ret = call("send", b.head);
    blob_buf_free(&b);
    return ret;
  }

  // Sends `line` without waiting, reading the terminal meanwhile; returns
  // the method's status (-1: no answer within timeout_ms) and stores what
  // the bridge wrote in *written.
  // With read_pause_ms, reads at most 2 KiB at a time and pauses between
  // reads (a slow but steady receiver).
  int send_line_reading(const std::string& line, std::string* written, int timeout_ms,
                        int read_pause_ms = 0) {
    uint32_t id;
    int ret = ubus_lookup_id(ctx_, kObject, &id);
    if (ret) return ret;
    struct blob_buf b = {};
    blob_buf_init(&b, 0);
    blobmsg_add_string(&b, "line", line.c_str());
    struct ubus_request req;
    ret = ubus_invoke_async(ctx_, id, "send", b.head, &req);
    blob_buf_free(&b);
    if (ret) return ret;
    int status = -1;
    req.priv = &status;
    req.complete_cb = [](struct ubus_request* r, int st) { *static_cast<int*>(r->priv) = st; };
    ubus_complete_request_async(ctx_, &req);
    long long deadline = now_ms() + timeout_ms;
    // after the answer, collect what is still on its way
    long long quiet_until = 0;
    while (now_ms() < deadline && (status == -1 || now_ms() < quiet_until)) {
      uloop_run_timeout(1);
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 5) <= 0) continue;
      char buf[65536];
      ssize_t n = read(master_, buf, read_pause_ms ? 2048 : sizeof buf);
      if (n > 0) written->append(buf, n);
      if (status != -1) quiet_until = now_ms() + 200;
      if (read_pause_ms) usleep(read_pause_ms * 1000);
    }
    if (status == -1) ubus_abort_request(ctx_, &req);
    if (quiet_until) read_more(written, 200);
    return status;
  }

  void read_more(std::string* out, int ms) { *out += read_master(ms); }

  // What the bridge wrote for `line`: the whole line, then CR LF.
  static void expect_line_written(const std::string& written, const std::string& line) {
    EXPECT_EQ(written.size(), line.size() + 2);
    EXPECT_TRUE(written == line + "\r\n") << "the line arrived cut or garbled";
  }

  // Runs the bus loop until `count` events arrived or timeout_ms passed.
  std::vector<Event> events(size_t count, int timeout_ms = 3000) {
    long long deadline = now_ms() + timeout_ms;
    while (events_.size() < count && now_ms() < deadline) uloop_run_timeout(20);
    return events_;
  }

  void write_master(const std::string& bytes) {
    ssize_t n;
    do n = write(master_, bytes.data(), bytes.size());
    while (n < 0 && errno == EINTR);
    ASSERT_EQ(n, static_cast<ssize_t>(bytes.size()))
        << "write to the terminal: " << strerror(errno);
  }

  // Everything the bridge wrote to the line during `ms`.
  std::string read_master(int ms) {
    std::string out;
    long long deadline = now_ms() + ms;
    for (long long left; (left = deadline - now_ms()) > 0;) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[4096];
      ssize_t n = read(master_, buf, sizeof buf);
      if (n > 0) out.append(buf, n);
    }
    return out;
  }

  // With the daemon stopped, writes lines one at a time until one stays
  // on the terminal (the bridge waits for the daemon's answer to an event)
  // or `most` were taken; returns how many the bridge read. The daemon
  // runs again afterwards.
  int lines_taken_while_stopped(const std::string& tag, int most) {
    int slave = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(slave, 0);
    auto unread = [&] {
      int n = -1;
      return ioctl(slave, FIONREAD, &n) == 0 ? n : -1;
    };
    bus_.signal(SIGSTOP);
    int taken = 0;
    for (; taken < most; ++taken) {
      write_master(tag + " " + std::to_string(taken) + "\n");
      usleep(20000);
      if (!testkit::wait_until([&] { return unread() == 0; }, 500)) break;
    }
    bus_.signal(SIGCONT);
    close(slave);
    return taken;
  }

  testkit::Child bus_, bridge_;
  std::vector<std::string> bridge_env_;
  struct ubus_context* ctx_ = nullptr;
  Listener listener_;
  std::vector<Event> events_;
  int master_ = -1;
  std::string slave_path_;
};

class Line : public Bridge {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(Bridge::SetUp());
    start_bridge();
  }
};

TEST_F(Line, ReceivedLinesBecomeEvents) {
  write_master("abc\r\n");
  auto got = events(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].name, "orv.serial.recv");
  EXPECT_EQ(got[0].line, "abc");
  EXPECT_EQ(got[0].object, kObject);

  // a line cut across two reads is published once
  write_master("ab");
  events(2, 200);
  write_master("c\n");
  got = events(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].line, "abc");

  // a received 0xFF arrives doubled from the terminal and is published once
  write_master(
      "a\xff"
      "b\n");
  got = events(3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[2].line,
            "a\xff"
            "b");
  EXPECT_EQ(got[2].name, "orv.serial.recv");
}

// Events leave in batches without waiting for each acknowledgement: a burst
// much longer than a batch must still arrive whole and in order.
TEST_F(Line, BurstArrivesWholeAndInOrder) {
  constexpr int kLines = 700;
  std::string burst;
  for (int i = 0; i < kLines; ++i) burst += "line " + std::to_string(i) + (i % 2 ? "\n" : "\r\n");
  write_master(burst);
  auto got = events(kLines, 10000);
  ASSERT_EQ(got.size(), static_cast<size_t>(kLines));
  for (int i = 0; i < kLines; ++i) {
    EXPECT_EQ(got[i].line, "line " + std::to_string(i)) << "event " << i;
    EXPECT_EQ(got[i].name, "orv.serial.recv");
    EXPECT_EQ(got[i].object, kObject);
  }
  // a method call right after the burst is answered
  Reply reply;
  EXPECT_EQ(call("get_heartbeat", nullptr, &reply), 0);
  EXPECT_TRUE(reply.seen);
}

// The send descriptor is non-blocking (standard input and output share one
// open file, as a serial device opened once for both does): a line longer
// than the terminal's buffer must still leave whole, then CR LF.
TEST_F(Line, SendKeepsALineLongerThanTheTerminalBuffer) {
  ASSERT_NO_FATAL_FAILURE(heartbeat_off());
  std::string line;
  for (int i = 0; line.size() < 256 * 1024; ++i) line += "chunk " + std::to_string(i) + ";";
  std::string written;
  EXPECT_EQ(send_line_reading(line, &written, 20000), 0);
  expect_line_written(written, line);

  // a peer that takes nothing: the method gives up with 9, and the bridge
  // goes on serving
  long long began = now_ms();
  EXPECT_EQ(send_line(line.c_str()), UBUS_STATUS_UNKNOWN_ERROR);
  EXPECT_GE(now_ms() - began, 900) << "gave up before the line stalled for a second";
  Reply reply;
  EXPECT_EQ(call("get_heartbeat", nullptr, &reply), 0);
  EXPECT_TRUE(reply.seen);
}

// A receiver that takes the line slowly but steadily: the send takes longer
// than the stall limit, yet never stalls, so the whole line arrives.
TEST_F(Line, SlowButSteadyReceiverGetsTheWholeLine) {
  ASSERT_NO_FATAL_FAILURE(heartbeat_off());
  std::string line;
  for (int i = 0; line.size() < 48 * 1024; ++i) line += "steady " + std::to_string(i) + " ";
  std::string written;
  long long began = now_ms();
  EXPECT_EQ(send_line_reading(line, &written, 20000, 60), 0);
  EXPECT_GT(now_ms() - began, 1200)
      << "the receiver was not slow enough to outlast the stall limit";
  expect_line_written(written, line);
}

// A serial peer that sends as fast as the line goes (a pseudo-terminal is
// faster than any port): the bridge reads a bounded amount per wake-up, so
// the heartbeat keeps its period and methods answer.
TEST_F(Line, FloodKeepsTheHeartbeatAndMethodsOnTime) {
  ASSERT_EQ(ubus_unregister_event_handler(ctx_, &listener_.handler), 0);
  testkit::SpawnOptions opts;
  opts.stdout_fd = master_;
  testkit::Child flood({"/usr/bin/yes", "flood of lines"}, opts);
  // the fault this catches stops the heartbeat for good; the tolerance only
  // absorbs a loaded machine (2 cores shared with the flood and the daemon)
  const long long tolerance = testkit::target_emulator().empty() ? 500 : 1500;

  std::vector<long long> beats;
  long long end = now_ms() + 3000;
  while (now_ms() < end) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    char buf[256];
    ssize_t n = read(master_, buf, sizeof buf);
    for (ssize_t i = 0; i < n; ++i)
      if (buf[i] == 'U') beats.push_back(now_ms());
  }
  ASSERT_GE(beats.size(), 4u) << "heartbeat bytes in 3 s of flood";
  long long widest = 0;
  for (size_t i = 1; i < beats.size(); ++i) {
    EXPECT_LE(beats[i] - beats[i - 1], 500 + tolerance) << "gap before beat " << i;
    widest = std::max(widest, beats[i] - beats[i - 1]);
  }
  printf("heartbeat under the flood: %zu beats, widest gap %lld ms\n", beats.size(), widest);

  for (int i = 0; i < 3; ++i) {
    uint32_t id;
    ASSERT_EQ(ubus_lookup_id(ctx_, kObject, &id), 0);
    struct blob_buf b = {};
    blob_buf_init(&b, 0);
    long long began = now_ms();
    EXPECT_EQ(ubus_invoke(ctx_, id, "get_heartbeat", b.head, nullptr, nullptr,
                          static_cast<int>(500 + tolerance)),
              0)
        << "call " << i << " during the flood";
    blob_buf_free(&b);
    EXPECT_LE(now_ms() - began, 500 + tolerance);
    printf("call %d during the flood answered in %lld ms\n", i, now_ms() - began);
  }
  EXPECT_TRUE(flood.running()) << "the flood ended early: nothing was measured under load";
}

// Events leave without waiting for the daemon, but only so many: with the
// daemon stopped the bridge sends a window of 16 events (the last of which
// waits for its answer) and reads no further; once the daemon runs again
// every line arrives, once and in order.
TEST_F(Line, EventsInFlightAreBoundedWhileTheDaemonStalls) {
  constexpr int kWindow = 16;
  constexpr int kLines = 40;
  int slave = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(slave, 0);
  auto unread = [&] {
    int n = -1;
    return ioctl(slave, FIONREAD, &n) == 0 ? n : -1;
  };
  bus_.signal(SIGSTOP);
  int taken = 0;
  for (; taken < kLines; ++taken) {
    write_master("stalled " + std::to_string(taken) + "\n");
    usleep(20000);
    // Generous: a line inside the window is read at once on an idle machine,
    // but a loaded one may take a while; only the line past the window waits
    // the whole time.
    if (!testkit::wait_until([&] { return unread() == 0; }, 2000)) break;
  }
  int left = unread();
  for (int i = taken + 1; i < kLines; ++i) write_master("stalled " + std::to_string(i) + "\n");
  bus_.signal(SIGCONT);
  close(slave);
  EXPECT_EQ(taken, kWindow) << "lines the bridge read (and published) while the daemon was stopped";
  EXPECT_GT(left, 0) << "the line after the window was not left waiting on the terminal";

  auto got = events(kLines, 10000);
  ASSERT_EQ(got.size(), static_cast<size_t>(kLines));
  for (int i = 0; i < kLines; ++i) EXPECT_EQ(got[i].line, "stalled " + std::to_string(i));
}

// The window counts from the last event that waited, not from the start:
// after 20 events with the daemon running (the 16th waited), a stalled
// daemon lets 12 more leave, the last of which waits.
TEST_F(Line, EventWindowCountsFromTheLastEventThatWaited) {
  constexpr int kWindow = 16;
  constexpr int kBefore = 20;
  std::string lines;
  for (int i = 0; i < kBefore; ++i) lines += "running " + std::to_string(i) + "\n";
  write_master(lines);
  ASSERT_EQ(events(kBefore, 10000).size(), static_cast<size_t>(kBefore));
  int taken = lines_taken_while_stopped("stalled", 2 * kWindow);
  EXPECT_EQ(taken, kWindow - kBefore % kWindow)
      << "lines the bridge read while the daemon was stopped, after " << kBefore << " events";
  auto got = events(kBefore + taken + 1, 10000);
  ASSERT_EQ(got.size(), static_cast<size_t>(kBefore + taken + 1));
  for (int i = 0; i <= taken; ++i) EXPECT_EQ(got[kBefore + i].line, "stalled " + std::to_string(i));
}

TEST_F(Line, OverlongLineLosesItsFirstKilobyte) {
  write_master(std::string(1024, 'x'));
  events(1, 200);
  write_master(std::string(300, 'y') + "\n");
  auto got = events(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].line, std::string(300, 'y'));
}

TEST_F(Line, TerminalIsInRawModeAtTheEnvironmentSpeed) {
  int fd = open(slave_path_.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  struct termios2 tio;
  ASSERT_EQ(ioctl(fd, TCGETS2, &tio), 0);
  close(fd);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(tio.c_iflag & (PARMRK | INPCK), static_cast<tcflag_t>(PARMRK | INPCK));
  EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | ISTRIP | IGNBRK | IGNPAR), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & PARENB, 0u);
  EXPECT_EQ(tio.c_ospeed, 115200u);
}

TEST_F(Line, SendWritesTheLineThenCrLf) {
  ASSERT_NO_FATAL_FAILURE(heartbeat_off());
  EXPECT_EQ(send_line("hello"), 0);
  EXPECT_EQ(read_master(300), "hello\r\n");
  EXPECT_EQ(send_line(""), 0);
  EXPECT_EQ(read_master(300), "\r\n");
  EXPECT_EQ(send_line(nullptr), UBUS_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(read_master(200), "");
}

TEST_F(Line, HeartbeatFollowsItsSwitch) {
  std::string beats = read_master(1300);
  EXPECT_GE(beats.size(), 2u) << "heartbeat bytes in 1.3 s";
  EXPECT_EQ(beats.find_first_not_of('U'), std::string::npos) << beats;

  ASSERT_EQ(set_heartbeat(false), 0);
  read_master(500);  // at most one tick may still be under way
  EXPECT_EQ(read_master(1100), "") << "heartbeat kept going after it was switched off";
  Reply reply;
  ASSERT_EQ(call("get_heartbeat", nullptr, &reply), 0);
  EXPECT_TRUE(reply.seen);
  EXPECT_FALSE(reply.heartbeat);

  ASSERT_EQ(set_heartbeat(true), 0);
  EXPECT_NE(read_master(700).find('U'), std::string::npos) << "heartbeat did not resume";
  reply = {};
  ASSERT_EQ(call("get_heartbeat", nullptr, &reply), 0);
  EXPECT_TRUE(reply.heartbeat);

  struct blob_buf b = {};
  blob_buf_init(&b, 0);
  EXPECT_EQ(call("set_heartbeat", b.head), UBUS_STATUS_INVALID_ARGUMENT);
  blob_buf_free(&b);
}

// A listener on the bus socket that accepts and closes at once: a daemon
// that dies before its greeting, so a client's reconnect fails after its
// socket connected.
class SilentDaemon {
 public:
  explicit SilentDaemon(const char* path) {
    unlink(path);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    strncpy(sa.sun_path, path, sizeof sa.sun_path - 1);
    if (fd_ >= 0 &&
        (bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd_, 16) != 0)) {
      close(fd_);
      fd_ = -1;
    }
    path_ = path;
  }
  ~SilentDaemon() {
    if (fd_ >= 0) close(fd_);
    unlink(path_.c_str());
  }
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Closes every connection waiting; returns how many there were.
  int refuse() {
    int n = 0;
    for (int c; (c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ++n) close(c);
    return n;
  }

 private:
  int fd_ = -1;
  std::string path_;
};

long rss_kib(pid_t pid) {
  std::string status = testkit::read_file("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
}

// Bus restarts under both generations of the bus library (the current one
// completes pending requests with TIMEOUT before reporting the loss, the
// older one completes none), as the bridge meets them on devices.
class Restart : public Bridge, public ::testing::WithParamInterface<testkit::BusGeneration> {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(Bridge::SetUp());
    bridge_env_.push_back(testkit::bus_generation_env(GetParam()));
    ASSERT_NO_FATAL_FAILURE(start_bridge());
    ASSERT_EQ(set_heartbeat(true), 0);
  }

  // Ends the daemon with `sig`; our own connection goes with it.
  void bus_away(int sig) {
    bus_.signal(sig);
    ASSERT_NE(bus_.wait(5000), -1);
    ubus_free(ctx_);
    ctx_ = nullptr;
    unlink(kSocket);
  }

  // Runs for `ms` while the bus is away, keeping the terminal drained and,
  // when given, the silent daemon refusing; returns the heartbeat bytes.
  std::string while_away(int ms, SilentDaemon* silent = nullptr, int* refused = nullptr) {
    std::string beats;
    long long deadline = now_ms() + ms;
    for (long long left; (left = deadline - now_ms()) > 0;) {
      pollfd p[2] = {{master_, POLLIN, 0}, {silent ? silent->fd() : -1, POLLIN, 0}};
      if (poll(p, 2, static_cast<int>(left < 20 ? left : 20)) <= 0) continue;
      if (p[1].revents) *refused += silent->refuse();
      if (p[0].revents & POLLIN) {
        char buf[256];
        ssize_t n = read(master_, buf, sizeof buf);
        if (n > 0) beats.append(buf, n);
      }
    }
    return beats;
  }

  void bus_back() {
    ASSERT_NO_FATAL_FAILURE(start_bus());
    ASSERT_NO_FATAL_FAILURE(connect_listening());
    events_.clear();
  }

  // The bridge is back on the bus: its object answers and its events arrive.
  void expect_served(const std::string& tag) {
    uint32_t id = 0;
    ASSERT_TRUE(testkit::wait_until([&] { return ubus_lookup_id(ctx_, kObject, &id) == 0; }, 5000))
        << tag << ": the object did not come back\n"
        << bridge_.output();
    Reply reply;
    EXPECT_EQ(call("get_heartbeat", nullptr, &reply), 0) << tag;
    EXPECT_TRUE(reply.seen && reply.heartbeat) << tag;
    write_master(tag + "\n");
    auto got = events(1);
    ASSERT_EQ(got.size(), 1u) << tag << ": no event after the restart";
    EXPECT_EQ(got[0].line, tag);
  }
};

// The bus daemon restarts: the bridge keeps the serial side going, then
// registers its object with the new daemon, whose clients can call it and
// receive its events (with each generation of the bus library).
TEST_P(Restart, BridgeOutlivesABusRestart) {
  write_master("before\n");
  ASSERT_EQ(events(1).size(), 1u);

  bus_.signal(SIGTERM);
  ASSERT_NE(bus_.wait(5000), -1);
  ubus_free(ctx_);  // our own connection went with the daemon
  ctx_ = nullptr;
  std::string beats = read_master(1300);
  EXPECT_TRUE(bridge_.running()) << "the bridge ended with the bus daemon, status "
                                 << bridge_.status() << "\n"
                                 << bridge_.output();
  EXPECT_GE(beats.size(), 2u) << "heartbeat while the bus is away";
  EXPECT_EQ(beats.find_first_not_of('U'), std::string::npos) << beats;

  ASSERT_NO_FATAL_FAILURE(bus_back());

  uint32_t id = 0;
  ASSERT_TRUE(testkit::wait_until([&] { return ubus_lookup_id(ctx_, kObject, &id) == 0; }, 5000))
      << "the object did not come back\n"
      << bridge_.output();
  Reply reply;
  EXPECT_EQ(call("get_heartbeat", nullptr, &reply), 0);
  EXPECT_TRUE(reply.seen && reply.heartbeat);
  ASSERT_NO_FATAL_FAILURE(heartbeat_off());
  EXPECT_EQ(send_line("again"), 0);
  EXPECT_EQ(read_master(300), "again\r\n");

  // more events than one batch, after the restart
  std::string lines;
  for (int i = 0; i < 40; ++i) lines += "after " + std::to_string(i) + "\n";
  write_master(lines);
  auto got = events(40);
  ASSERT_EQ(got.size(), 40u);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(got[i].line, "after " + std::to_string(i));

  // and again: a second restart is handled like the first
  ASSERT_NO_FATAL_FAILURE(bus_away(SIGKILL));
  ASSERT_NO_FATAL_FAILURE(start_bus());
  ctx_ = ubus_connect(kSocket);
  ASSERT_NE(ctx_, nullptr);
  ASSERT_TRUE(testkit::wait_until([&] { return ubus_lookup_id(ctx_, kObject, &id) == 0; }, 5000))
      << "the object did not come back after the second restart";
  EXPECT_TRUE(bridge_.running());
}

// A new connection starts a new window: events sent on the lost one do not
// count against it.
TEST_P(Restart, NewConnectionStartsAFullEventWindow) {
  constexpr int kWindow = 16;
  std::string lines;
  for (int i = 0; i < 20; ++i) lines += "before " + std::to_string(i) + "\n";
  write_master(lines);
  ASSERT_EQ(events(20, 10000).size(), 20u);
  ASSERT_NO_FATAL_FAILURE(bus_away(SIGKILL));
  while_away(300);
  ASSERT_NO_FATAL_FAILURE(bus_back());
  uint32_t id = 0;
  ASSERT_TRUE(testkit::wait_until([&] { return ubus_lookup_id(ctx_, kObject, &id) == 0; }, 5000))
      << bridge_.output();
  EXPECT_EQ(lines_taken_while_stopped("after", 2 * kWindow), kWindow)
      << "lines the bridge read with the new daemon stopped";
  ASSERT_GE(events(1, 5000).size(), 1u);
}

// The new daemon refuses the bridge's object because another client took
// its name first. Once that client lets the name go, the bridge registers
// its object after all.
TEST_P(Restart, ObjectRefusedAfterARestartIsRegisteredLater) {
  static struct ubus_object_type type;
  static struct ubus_object decoy;
  bool taken_first = false;
  for (int attempt = 0; attempt < 5 && !taken_first; ++attempt) {
    ASSERT_NO_FATAL_FAILURE(bus_away(SIGKILL));
    ASSERT_NO_FATAL_FAILURE(bus_back());
    type = {"other", 0, nullptr, 0};  // the type's id is the old daemon's
    decoy = {};
    decoy.name = kObject;
    decoy.type = &type;
    // the bridge retries once a second: it rarely gets there first
    taken_first = ubus_add_object(ctx_, &decoy) == 0;
  }
  ASSERT_TRUE(taken_first) << "the bridge registered before us in every attempt";
  // the bridge is connected (its lines arrive as events) while the name is ours
  ASSERT_TRUE(testkit::wait_until(
      [&] {
        write_master("probe\n");
        return !events(1, 200).empty();
      },
      5000))
      << bridge_.output();
  uint32_t id = 0;
  ASSERT_EQ(ubus_lookup_id(ctx_, kObject, &id), 0);
  EXPECT_EQ(id, decoy.id) << "the name is still ours";
  ASSERT_EQ(ubus_remove_object(ctx_, &decoy), 0);
  events_.clear();
  ASSERT_NO_FATAL_FAILURE(expect_served("after the name came free"));
}

// Each signal with each delay before the daemon is back.
TEST_P(Restart, EverySignalAndDelay) {
  const int signals[] = {SIGTERM, SIGKILL};
  const int delays_ms[] = {0, 300, 2000};
  for (int sig : signals) {
    for (int delay : delays_ms) {
      std::string tag =
          std::string(sig == SIGTERM ? "term" : "kill") + " after " + std::to_string(delay) + " ms";
      ASSERT_NO_FATAL_FAILURE(bus_away(sig));
      std::string beats = while_away(delay);
      EXPECT_TRUE(bridge_.running()) << tag << ": the bridge ended with the daemon\n"
                                     << bridge_.output();
      if (delay >= 2000) {
        EXPECT_GE(beats.size(), 3u) << tag << ": heartbeat while away";
      }
      EXPECT_EQ(beats.find_first_not_of('U'), std::string::npos) << tag << ": " << beats;
      ASSERT_NO_FATAL_FAILURE(bus_back());
      ASSERT_NO_FATAL_FAILURE(expect_served(tag));
    }
  }
}

// A reconnect that fails after its socket connected (the daemon died before
// its greeting) must not end the retries, however the context looks after
// it.
TEST_P(Restart, ReconnectFailingAfterItsConnectIsRetried) {
  ASSERT_NO_FATAL_FAILURE(bus_away(SIGKILL));
  int refused = 0;
  {
    SilentDaemon silent(kSocket);
    ASSERT_TRUE(silent.ok());
    while_away(2500, &silent, &refused);
  }
  EXPECT_GE(refused, 2) << "reconnects the bridge tried against the silent daemon";
  ASSERT_NO_FATAL_FAILURE(bus_back());
  ASSERT_NO_FATAL_FAILURE(expect_served("after a silent daemon"));
}

// The daemon dies while the bridge waits for an event's answer (the daemon
// stopped first, so the wait is under way when it goes).
TEST_P(Restart, DaemonDyingWhileAnEventWaitsForItsAnswer) {
  bus_.signal(SIGSTOP);
  for (int i = 0; i < 20; ++i) write_master("pending " + std::to_string(i) + "\n");
  while_away(300);
  ASSERT_NO_FATAL_FAILURE(bus_away(SIGKILL));
  while_away(300);
  ASSERT_NO_FATAL_FAILURE(bus_back());
  ASSERT_NO_FATAL_FAILURE(expect_served("after a loss mid-wait"));
}

// Ten restarts in a row: served after each, descriptors and memory flat.
TEST_P(Restart, TenInARowLeaveNothingBehind) {
  int fds_before = -1;
  long rss_before = -1;
  for (int round = 0; round < 10; ++round) {
    std::string tag = "round " + std::to_string(round);
    ASSERT_NO_FATAL_FAILURE(bus_away(round % 2 ? SIGKILL : SIGTERM));
    while_away(round % 3 ? 0 : 300);
    ASSERT_NO_FATAL_FAILURE(bus_back());
    ASSERT_NO_FATAL_FAILURE(expect_served(tag));
    if (round == 1) {  // after a first round has warmed up the allocator
      fds_before = testkit::count_fds(bridge_.pid());
      rss_before = rss_kib(bridge_.pid());
    }
  }
  int fds_after = testkit::count_fds(bridge_.pid());
  long rss_after = rss_kib(bridge_.pid());
  ASSERT_GT(fds_before, 0);
  ASSERT_GT(rss_before, 0);
  printf("bridge after round 1 / round 9: %d / %d descriptors, %ld / %ld KiB resident\n",
         fds_before, fds_after, rss_before, rss_after);
  EXPECT_EQ(fds_after, fds_before) << "descriptors after round 1 and after round 9";
  EXPECT_LE(rss_after - rss_before, 1024)
      << "resident KiB after round 1: " << rss_before << ", after round 9: " << rss_after;
}

INSTANTIATE_TEST_SUITE_P(Bus, Restart, ::testing::ValuesIn(testkit::kBusGenerations),
                         testkit::BusGenerationName());

class StartUp : public Bridge {
 protected:
  void SetUp() override { Bridge::SetUp(); }

  // Runs the bridge to its end; returns exit code and standard error.
  int run_bridge(const std::vector<std::string>& args, std::string* err) {
    std::vector<std::string> argv = {testkit::bin_path("uartlink")};
    argv.insert(argv.end(), args.begin(), args.end());
    int devnull = open("/dev/null", O_RDWR);
    testkit::SpawnOptions opts;
    opts.stdin_fd = devnull;
    int code = testkit::run(argv, err, 10000, opts);
    close(devnull);
    return code;
  }
};

TEST_F(StartUp, UnusableSpeedEndsTheBridge) {
  const struct {
    const char* what;
    const char* script;  // nullptr: no tool at all
  } cases[] = {
      {"tool fails", "echo 115200; exit 1"},
      {"tool prints nothing", "exit 0"},
      {"speed is 0", "echo 0"},
      {"speed is not a number", "echo fast"},
      {"tool missing", nullptr},
  };
  for (const auto& c : cases) {
    if (c.script)
      place_env_tool(c.script);
    else
      ASSERT_TRUE(testkit::remove_placed(kEnvTool));
    std::string err;
    EXPECT_EQ(run_bridge({kObject}, &err), 255) << c.what;
    EXPECT_EQ(err, "Failed to connect to serial port\n") << c.what;
  }
}

TEST_F(StartUp, WrongArgumentCountPrintsUsage) {
  std::string err;
  EXPECT_EQ(run_bridge({}, &err), 255);
  EXPECT_EQ(err, "Usage: " + testkit::bin_path("uartlink") + " <ubus_object_path> \n");
  EXPECT_EQ(run_bridge({"a", "b"}, &err), 255);
  EXPECT_NE(err.find("Usage: "), std::string::npos);
}

TEST_F(StartUp, NoBusEndsTheBridge) {
  bus_.signal(SIGKILL);
  bus_.wait(2000);
  unlink(kSocket);
  std::string err;
  EXPECT_EQ(run_bridge({kObject}, &err), 255);
  EXPECT_EQ(err, "Failed to connect to ubus\n");
}

TEST_F(StartUp, TakenObjectNameEndsTheBridge) {
  place_env_tool("echo 9600");
  static struct ubus_object_type type = {"other", 0, nullptr, 0};
  static struct ubus_object obj = {};
  obj.name = kObject;
  obj.type = &type;
  ASSERT_EQ(ubus_add_object(ctx_, &obj), 0);
  std::string err;
  EXPECT_EQ(run_bridge({kObject}, &err), 255);
  EXPECT_EQ(err.rfind("Failed to connect to create ubus object serial.test: ", 0), 0u) << err;
}

}  // namespace
