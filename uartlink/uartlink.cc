// SPDX-License-Identifier: ISC
// uartlink: bridges the serial line on standard input/output to the bus.
// Received lines become events, the "send" method writes lines, and a
// heartbeat byte goes out every 500 ms while enabled.
//
// When the bus daemon goes away the bridge stays up: the serial side (and
// its heartbeat) keeps running, lines received meanwhile are dropped, and a
// retry timer reconnects and registers the object again.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern "C" {
#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
#include <libubox/utils.h>
#include <libubus.h>
}

#include "line_reader.h"

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace {

using namespace uartlink;

constexpr int kHeartbeatMs = 500;
constexpr int kReconnectMs = 1000;
// Events leave without waiting for the daemon's acknowledgement, except
// every kEventWindow-th one, which waits: the daemon has then handled all
// events before it, so no more than kEventWindow - 1 are ever unanswered.
constexpr unsigned kEventWindow = 16;
// Bytes taken from the serial line per wake-up. One buffer's worth: at most
// 512 events (two-byte lines), so a flood at any line speed leaves the loop
// free, between two of these, for the heartbeat and the bus.
constexpr int kReadBudget = kReceiveCapacity;
// A "send" whose line the descriptor stops taking for this long gives up
// (status 9); while bytes keep leaving it waits, however long the line.
constexpr int kWriteStallMs = 1000;
constexpr char kHeartbeatByte = 0x55;
constexpr const char kEnvTool[] = "/usr/sbin/fw_printenv";

struct serial_port_state {
  int rx_fd;
  int tx_fd;
  bool heartbeat;
};

struct serial_object {
  struct ubus_object obj;
  serial_port_state* port;
};

struct serial_reader {
  struct uloop_fd watch;
  struct uloop_timeout resume;  // more reading once the loop had its turn
  line_buffer lines;
  unsigned unacknowledged;  // events sent since the last one that waited
};

struct heartbeat_timer {
  struct uloop_timeout timeout;
  serial_port_state* port;
};

// Everything the running bridge holds; stop() releases it, whichever
// start-up step failed.
struct bridge {
  struct ubus_context ctx;  // embedded, so the bus callbacks find the bridge
  bool bus_open;            // ctx holds a connection (or a dead one) to shut down
  // Our own record of the connection: after a failed ubus_reconnect the
  // context's descriptor, eof and error fields may still look connected.
  bool connected;
  struct uloop_timeout retry;
  serial_object object;
  serial_reader reader;
  heartbeat_timer heartbeat;
};

enum { SEND_LINE, __SEND_MAX };
const struct blobmsg_policy send_policy[__SEND_MAX] = {
    {"line", BLOBMSG_TYPE_STRING},
};

enum { HEARTBEAT_VALUE, __HEARTBEAT_MAX };
const struct blobmsg_policy heartbeat_policy[__HEARTBEAT_MAX] = {
    {"heartbeat", BLOBMSG_TYPE_BOOL},
};

serial_port_state* port_of(struct ubus_object* obj) {
  return container_of(obj, serial_object, obj)->port;
}

long long monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Writes all `len` bytes or fails. The send descriptor is non-blocking
// (and would be even if we did not make it so whenever standard input and
// output share one open file): when it is full, wait for room, giving up
// once it has taken nothing for kWriteStallMs.
bool write_fully(int fd, const char* data, size_t len) {
  long long stall_deadline = monotonic_ms() + kWriteStallMs;
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n > 0) {
      data += n;
      len -= static_cast<size_t>(n);
      stall_deadline = monotonic_ms() + kWriteStallMs;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    long long left = stall_deadline - monotonic_ms();
    if (left <= 0) return false;
    struct pollfd room = {fd, POLLOUT, 0};
    if (poll(&room, 1, static_cast<int>(left)) < 0 && errno != EINTR) return false;
  }
  return true;
}

int serial_send(struct ubus_context* ctx, struct ubus_object* obj, struct ubus_request_data* req,
                const char*, struct blob_attr* msg) {
  serial_port_state* port = port_of(obj);
  if (!port) return UBUS_STATUS_NOT_SUPPORTED;
  struct blob_attr* tb[__SEND_MAX];
  blobmsg_parse(send_policy, __SEND_MAX, tb, blob_data(msg), blob_len(msg));
  if (!tb[SEND_LINE]) return UBUS_STATUS_INVALID_ARGUMENT;
  const char* line = blobmsg_get_string(tb[SEND_LINE]);
  // text and line end leave in this one handler call, so no heartbeat byte
  // falls between them
  if (!write_fully(port->tx_fd, line, strlen(line)) || !write_fully(port->tx_fd, "\r\n", 2))
    return UBUS_STATUS_UNKNOWN_ERROR;
  struct blob_buf reply = {};
  blob_buf_init(&reply, 0);
  ubus_send_reply(ctx, req, reply.head);
  blob_buf_free(&reply);
  return UBUS_STATUS_OK;
}

int serial_get_heartbeat(struct ubus_context* ctx, struct ubus_object* obj,
                         struct ubus_request_data* req, const char*, struct blob_attr*) {
  serial_port_state* port = port_of(obj);
  if (!port) return UBUS_STATUS_NOT_SUPPORTED;
  struct blob_buf reply = {};
  blob_buf_init(&reply, 0);
  blobmsg_add_u8(&reply, "heartbeat", port->heartbeat);
  ubus_send_reply(ctx, req, reply.head);
  blob_buf_free(&reply);
  return UBUS_STATUS_OK;
}

int serial_set_heartbeat(struct ubus_context* ctx, struct ubus_object* obj,
                         struct ubus_request_data* req, const char*, struct blob_attr* msg) {
  serial_port_state* port = port_of(obj);
  if (!port) return UBUS_STATUS_NOT_SUPPORTED;
  struct blob_attr* tb[__HEARTBEAT_MAX];
  blobmsg_parse(heartbeat_policy, __HEARTBEAT_MAX, tb, blob_data(msg), blob_len(msg));
  if (!tb[HEARTBEAT_VALUE]) return UBUS_STATUS_INVALID_ARGUMENT;
  struct blob_buf reply = {};
  blob_buf_init(&reply, 0);
  ubus_send_reply(ctx, req, reply.head);
  blob_buf_free(&reply);
  port->heartbeat = blobmsg_get_bool(tb[HEARTBEAT_VALUE]);
  return UBUS_STATUS_OK;
}

struct ubus_method serial_methods[] = {
    UBUS_METHOD("send", serial_send, send_policy),
    UBUS_METHOD_NOARG("get_heartbeat", serial_get_heartbeat),
    UBUS_METHOD("set_heartbeat", serial_set_heartbeat, heartbeat_policy),
};

struct ubus_object_type serial_type = UBUS_OBJECT_TYPE("serial_port", serial_methods);

// The same message as ubus_send_event sends, without waiting for the
// daemon's answer (which the bus library drops when it comes).
void send_event_unacknowledged(struct ubus_context* ctx, const char* event, const char* line,
                               const char* object_name) {
  struct blob_buf b = {};
  blob_buf_init(&b, 0);
  blobmsg_add_string(&b, "id", event);
  void* data = blobmsg_open_table(&b, "data");
  blobmsg_add_string(&b, "line", line);
  blobmsg_add_string(&b, "object", object_name);
  blobmsg_close_table(&b, data);
  struct ubus_request req;
  if (ubus_invoke_async(ctx, UBUS_SYSTEM_OBJECT_EVENT, "send", b.head, &req) == 0)
    ubus_abort_request(ctx, &req);
  blob_buf_free(&b);
}

// Publishes one received line; while the bus is away lines are dropped.
void serial_send_event(void* target, const char* event, const char* line) {
  auto* b = static_cast<bridge*>(target);
  if (!b->connected) return;
  const char* object_name = b->object.obj.name;
  if (++b->reader.unacknowledged < kEventWindow) {
    send_event_unacknowledged(&b->ctx, event, line, object_name);
    return;
  }
  b->reader.unacknowledged = 0;
  struct blob_buf msg = {};
  blob_buf_init(&msg, 0);
  blobmsg_add_string(&msg, "line", line);
  blobmsg_add_string(&msg, "object", object_name);
  ubus_send_event(&b->ctx, event, msg.head);
  blob_buf_free(&msg);
}

// Takes at most kReadBudget bytes. The watch is edge-triggered: when the
// budget runs out with bytes perhaps still waiting, no new edge may come,
// so the resume timer brings us back once the loop has run its timers and
// the bus.
void read_serial(bridge* b) {
  serial_reader& r = b->reader;
  for (int taken = 0; taken < kReadBudget;) {
    int room = free_room(r.lines);
    if (room > kReadBudget - taken) room = kReadBudget - taken;
    ssize_t n = read(r.watch.fd, free_space(r.lines), room);
    if (n <= 0) return;  // drained, end of file or error: wait for the next edge
    taken += static_cast<int>(n);
    take_bytes(r.lines, static_cast<int>(n), serial_send_event, b);
  }
  uloop_timeout_set(&r.resume, 0);
}

void serial_read_cb(struct uloop_fd* fd, unsigned int) {
  read_serial(container_of(fd, bridge, reader.watch));
}

void serial_read_resume(struct uloop_timeout* t) {
  read_serial(container_of(t, bridge, reader.resume));
}

void serial_heartbeat_tick(struct uloop_timeout* t) {
  heartbeat_timer* timer = container_of(t, heartbeat_timer, timeout);
  if (timer->port && timer->port->heartbeat) {
    ssize_t ignored = write(timer->port->tx_fd, &kHeartbeatByte, 1);
    (void)ignored;
  }
  uloop_timeout_set(t, kHeartbeatMs);
}

// Reconnects and registers the object again; re-arms itself until both
// are done.
void bus_retry(struct uloop_timeout* t) {
  bridge* b = container_of(t, bridge, retry);
  if (!b->connected) {
    if (ubus_reconnect(&b->ctx, nullptr) != 0) {
      // a reconnect that failed after its socket connected leaves that
      // closed number in the context; forget it, so that the next attempt
      // (or the shutdown) closes nothing that has reused it
      b->ctx.sock.fd = -1;
      uloop_timeout_set(t, kReconnectMs);
      return;
    }
    b->connected = true;
    ubus_add_uloop(&b->ctx);
    // a call that reached us while the reconnect registered our object again
    // waits in the library's queue, which the library works through from its
    // pending timer; the socket was not in the loop then, so nothing may have
    // armed that timer
    uloop_timeout_set(&b->ctx.pending_timer, 0);
    b->reader.unacknowledged = 0;
  }
  // the bus library registers known objects again on reconnection; one it
  // could not register (the daemon refused it) is tried again here
  if (b->object.obj.id == 0 && ubus_add_object(&b->ctx, &b->object.obj) != 0)
    uloop_timeout_set(t, kReconnectMs);
}

// The bus daemon went away (called from inside the bus library).
void bus_lost(struct ubus_context* ctx) {
  bridge* b = container_of(ctx, bridge, ctx);
  b->connected = false;
  uloop_timeout_set(&b->retry, 0);
}

void close_from(int first) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, first, ~0U, 0) == 0) return;
#endif
  long limit = sysconf(_SC_OPEN_MAX);
  for (long fd = first; fd < limit; ++fd) close(static_cast<int>(fd));
}

// A descriptor closed when its owner ends (nothing unwinds through the
// start-up, so the scope's end is the only way out).
class owned_fd {
 public:
  explicit owned_fd(int fd) : fd_(fd) {}
  ~owned_fd() { reset(); }
  owned_fd(const owned_fd&) = delete;
  owned_fd& operator=(const owned_fd&) = delete;
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// In the child: the tool with its output into the pipe, nothing else open.
[[noreturn]] void exec_env_tool(int devnull, int pipe_in) {
  dup2(devnull, 0);
  dup2(devnull, 2);
  dup2(pipe_in, 1);
  close_from(3);
  char* const argv[] = {const_cast<char*>(kEnvTool), const_cast<char*>("-n"),
                        const_cast<char*>("baudrate"), nullptr};
  execv(kEnvTool, argv);
  _exit(255);
}

bool ended_well(pid_t pid) {
  int status;
  pid_t waited;
  do {
    waited = waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  return waited == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Reads "baudrate" from the boot loader environment; 0 when unusable.
int read_baudrate() {
  int ends[2];
  if (pipe(ends) != 0) return 0;
  owned_fd pipe_out(ends[0]), pipe_in(ends[1]);
  owned_fd devnull(open("/dev/null", O_RDWR));
  if (devnull.get() < 0) return 0;
  pid_t pid = fork();
  if (pid == 0) exec_env_tool(devnull.get(), pipe_in.get());
  devnull.reset();
  pipe_in.reset();
  if (pid < 0 || !ended_well(pid)) return 0;
  char text[10];
  ssize_t n = read(pipe_out.get(), text, sizeof text - 1);
  if (n <= 0) return 0;
  text[n] = '\0';
  return atoi(text);
}

// Raw input and output, line conditions marked in the stream, 8 bits
// without parity; the speed fields are the caller's.
void make_raw(struct termios2& tio) {
  tio.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
  tio.c_iflag |= PARMRK | INPCK;
  tio.c_oflag &= ~OPOST;
  tio.c_lflag &= ~(ISIG | ICANON | ECHO | ECHONL | IEXTEN);
  tio.c_cflag &= ~(PARENB | CSIZE);
  tio.c_cflag |= CS8;
}

// Raw mode at `baud`: the receive side sets its input speed, the send side
// its output speed.
void set_raw_mode(const serial_port_state& port, int baud) {
  struct termios2 tio;
  if (ioctl(port.rx_fd, TCGETS2, &tio) == 0) {
    make_raw(tio);
    tio.c_cflag = (tio.c_cflag & ~CIBAUD) | (BOTHER << IBSHIFT);
    tio.c_ispeed = baud;
    ioctl(port.rx_fd, TCSETS2, &tio);
  }
  if (ioctl(port.tx_fd, TCGETS2, &tio) == 0) {
    make_raw(tio);
    tio.c_cflag = (tio.c_cflag & ~CBAUD) | BOTHER;
    tio.c_ospeed = baud;
    ioctl(port.tx_fd, TCSETS2, &tio);
  }
}

// Start-up, in order; returns 0, or 255 after its one-line message.
int start(bridge& b, const char* path) {
  if (ubus_connect_ctx(&b.ctx, nullptr) != 0) {
    fprintf(stderr, "Failed to connect to ubus\n");
    return 255;
  }
  b.bus_open = true;
  b.connected = true;
  b.ctx.connection_lost = bus_lost;
  b.retry.cb = bus_retry;
  ubus_add_uloop(&b.ctx);

  memset(&b.object, 0, sizeof b.object);
  b.object.obj.name = path;
  b.object.obj.type = &serial_type;
  b.object.obj.methods = serial_methods;
  b.object.obj.n_methods = ARRAY_SIZE(serial_methods);
  int ret = ubus_add_object(&b.ctx, &b.object.obj);
  if (ret != 0) {
    fprintf(stderr, "Failed to connect to create ubus object %s: %d\n", path, ret);
    return 255;
  }

  int baud = read_baudrate();
  auto* port =
      baud ? static_cast<serial_port_state*>(calloc(1, sizeof(serial_port_state))) : nullptr;
  if (!port) {
    fprintf(stderr, "Failed to connect to serial port\n");
    return 255;
  }
  *port = {0, 1, true};
  // both sides non-blocking: reads end when the line is drained, and a line
  // that stops taking bytes can hold neither the heartbeat nor a "send" for
  // longer than kWriteStallMs, however the two descriptors were opened
  fcntl(port->rx_fd, F_SETFL, fcntl(port->rx_fd, F_GETFL) | O_NONBLOCK);
  fcntl(port->tx_fd, F_SETFL, fcntl(port->tx_fd, F_GETFL) | O_NONBLOCK);
  set_raw_mode(*port, baud);
  b.object.port = port;

  b.reader.watch.fd = port->rx_fd;
  b.reader.watch.cb = serial_read_cb;
  b.reader.resume.cb = serial_read_resume;
  uloop_fd_add(&b.reader.watch, ULOOP_READ | ULOOP_EDGE_TRIGGER);

  b.heartbeat.timeout.cb = serial_heartbeat_tick;
  b.heartbeat.port = port;
  uloop_timeout_set(&b.heartbeat.timeout, kHeartbeatMs);
  return 0;
}

// Releases what start() acquired, in reverse order; safe after any step.
void stop(bridge& b) {
  uloop_timeout_cancel(&b.heartbeat.timeout);
  b.heartbeat.port = nullptr;
  uloop_timeout_cancel(&b.reader.resume);
  if (b.reader.watch.registered) uloop_fd_delete(&b.reader.watch);
  serial_port_state* port = b.object.port;
  b.object.port = nullptr;
  free(port);
  uloop_timeout_cancel(&b.retry);
  if (b.bus_open) ubus_shutdown(&b.ctx);
  b.bus_open = false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "Usage: %s <ubus_object_path> \n", argc > 0 && argv[0] ? argv[0] : "uartlink");
    return 255;
  }
  uloop_init();
  static bridge b;  // zeroed: stop() can tell what start() reached
  int status = start(b, argv[1]);
  if (status == 0) uloop_run();
  stop(b);
  uloop_done();
  return status;
}
