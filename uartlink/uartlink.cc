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
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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
  struct ubus_context* ctx;
  serial_object* object;
  line_buffer lines;
  unsigned unacknowledged;  // events sent since the last one that waited
};

struct bus_link {
  struct uloop_timeout retry;
  struct ubus_context* ctx;
  serial_object* object;
  serial_reader* reader;
};

struct heartbeat_timer {
  struct uloop_timeout timeout;
  serial_port_state* port;
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

bool write_all(int fd, const char* data, size_t len) {
  return write(fd, data, len) == static_cast<ssize_t>(len);
}

int serial_send(struct ubus_context* ctx, struct ubus_object* obj, struct ubus_request_data* req,
                const char*, struct blob_attr* msg) {
  serial_port_state* port = port_of(obj);
  if (!port) return UBUS_STATUS_NOT_SUPPORTED;
  struct blob_attr* tb[__SEND_MAX];
  blobmsg_parse(send_policy, __SEND_MAX, tb, blob_data(msg), blob_len(msg));
  if (!tb[SEND_LINE]) return UBUS_STATUS_INVALID_ARGUMENT;
  const char* line = blobmsg_get_string(tb[SEND_LINE]);
  // text and line end leave in this one call, so no heartbeat byte falls between
  if (!write_all(port->tx_fd, line, strlen(line)) || !write_all(port->tx_fd, "\r\n", 2))
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

struct event_target {
  struct ubus_context* ctx;
  const char* object_name;
  unsigned* unacknowledged;
};

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

void serial_send_event(void* ctx, const char* event, const char* line) {
  auto* target = static_cast<event_target*>(ctx);
  if (++*target->unacknowledged < kEventWindow) {
    send_event_unacknowledged(target->ctx, event, line, target->object_name);
    return;
  }
  *target->unacknowledged = 0;
  struct blob_buf b = {};
  blob_buf_init(&b, 0);
  blobmsg_add_string(&b, "line", line);
  blobmsg_add_string(&b, "object", target->object_name);
  ubus_send_event(target->ctx, event, b.head);
  blob_buf_free(&b);
}

void serial_read_cb(struct uloop_fd* fd, unsigned int) {
  serial_reader* reader = container_of(fd, serial_reader, watch);
  event_target target = {reader->ctx, reader->object->obj.name, &reader->unacknowledged};
  for (;;) {
    ssize_t n = read(fd->fd, free_space(reader->lines), free_room(reader->lines));
    if (n <= 0) break;
    take_bytes(reader->lines, static_cast<int>(n), serial_send_event, &target);
  }
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
  bus_link* link = container_of(t, bus_link, retry);
  struct ubus_context* ctx = link->ctx;
  if (ctx->sock.fd < 0 || ctx->sock.eof || ctx->sock.error) {
    if (ubus_reconnect(ctx, nullptr) != 0) {
      uloop_timeout_set(t, kReconnectMs);
      return;
    }
    ubus_add_uloop(ctx);
    link->reader->unacknowledged = 0;
  }
  // the bus library registers known objects again on reconnection; one it
  // could not register (the daemon refused it) is tried again here
  if (link->object->obj.id == 0 && ubus_add_object(ctx, &link->object->obj) != 0)
    uloop_timeout_set(t, kReconnectMs);
}

bus_link* g_link;

// The bus daemon went away (called from inside the bus library).
void bus_lost(struct ubus_context*) { uloop_timeout_set(&g_link->retry, 0); }

void close_from(int first) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, first, ~0U, 0) == 0) return;
#endif
  long limit = sysconf(_SC_OPEN_MAX);
  for (long fd = first; fd < limit; ++fd) close(static_cast<int>(fd));
}

// Reads "baudrate" from the boot loader environment; 0 when unusable.
int read_baudrate() {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return 0;
  int devnull = open("/dev/null", O_RDWR);
  if (devnull < 0) {
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return 0;
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(devnull, 0);
    dup2(devnull, 2);
    dup2(pipe_fds[1], 1);
    close_from(3);
    char* const argv[] = {const_cast<char*>(kEnvTool), const_cast<char*>("-n"),
                          const_cast<char*>("baudrate"), nullptr};
    execv(kEnvTool, argv);
    _exit(255);
  }
  close(devnull);
  close(pipe_fds[1]);
  int baud = 0;
  if (pid > 0) {
    int status;
    pid_t waited;
    do {
      waited = waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      char text[10];
      ssize_t n = read(pipe_fds[0], text, sizeof text - 1);
      if (n > 0) {
        text[n] = '\0';
        baud = atoi(text);
      }
    }
  }
  close(pipe_fds[0]);
  return baud;
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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "Usage: %s <ubus_object_path> \n", argc > 0 && argv[0] ? argv[0] : "uartlink");
    return 255;
  }
  const char* path = argv[1];

  uloop_init();
  struct ubus_context* ctx = ubus_connect(nullptr);
  if (!ctx) {
    fprintf(stderr, "Failed to connect to ubus\n");
    uloop_done();
    return 255;
  }
  ubus_add_uloop(ctx);

  static serial_object object;
  memset(&object, 0, sizeof object);
  object.obj.name = path;
  object.obj.type = &serial_type;
  object.obj.methods = serial_methods;
  object.obj.n_methods = ARRAY_SIZE(serial_methods);
  int ret = ubus_add_object(ctx, &object.obj);
  if (ret != 0) {
    fprintf(stderr, "Failed to connect to create ubus object %s: %d\n", path, ret);
    ubus_free(ctx);
    uloop_done();
    return 255;
  }

  int baud = read_baudrate();
  auto* port =
      baud ? static_cast<serial_port_state*>(calloc(1, sizeof(serial_port_state))) : nullptr;
  if (!port) {
    fprintf(stderr, "Failed to connect to serial port\n");
    ubus_free(ctx);
    uloop_done();
    return 255;
  }
  *port = {0, 1, true};
  fcntl(port->rx_fd, F_SETFL, fcntl(port->rx_fd, F_GETFL) | O_NONBLOCK);
  set_raw_mode(*port, baud);
  object.port = port;

  static serial_reader reader;
  reader.watch.fd = port->rx_fd;
  reader.watch.cb = serial_read_cb;
  reader.ctx = ctx;
  reader.object = &object;
  uloop_fd_add(&reader.watch, ULOOP_READ | ULOOP_EDGE_TRIGGER);

  static bus_link link;
  link.retry.cb = bus_retry;
  link.ctx = ctx;
  link.object = &object;
  link.reader = &reader;
  g_link = &link;
  ctx->connection_lost = bus_lost;

  static heartbeat_timer heartbeat;
  heartbeat.timeout.cb = serial_heartbeat_tick;
  heartbeat.port = port;
  uloop_timeout_set(&heartbeat.timeout, kHeartbeatMs);

  uloop_run();

  uloop_timeout_cancel(&heartbeat.timeout);
  uloop_timeout_cancel(&link.retry);
  uloop_fd_delete(&reader.watch);
  object.port = nullptr;
  heartbeat.port = nullptr;
  free(port);
  ubus_free(ctx);
  uloop_done();
  return 0;
}
