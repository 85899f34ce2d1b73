// SPDX-License-Identifier: ISC
// The "request" method for the HTTP server's ubus-fd plug-in (see
// request.h for the paths it answers).
#include "request.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <string_view>

namespace request_method {
namespace {

enum { REQ_HEADERS, REQ_ENV, __REQ_MAX };

const struct blobmsg_policy request_policy[__REQ_MAX] = {
    {"headers", BLOBMSG_TYPE_TABLE},
    {"env", BLOBMSG_TYPE_ARRAY},
};

constexpr size_t kEnvSlots = 13;
constexpr size_t kPumpBuffer = 65536;
constexpr char kTunnelHead[] =
    "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: fdgate-echo\r\n\r\n";

struct ubus_context *bus;
hooks the_hooks;
struct blob_buf last_message;
int served;
bool last_had_fd;
int active_pumps;

// Copies bytes to a descriptor from, in this order: a queued text, a
// generated pattern, an input descriptor until its end. Closes both
// descriptors and frees itself when done or when the reader went away.
struct pump;

// A watched descriptor of a pump, and the pump it belongs to.
struct pump_fd {
  struct uloop_fd u;
  pump *owner;
};

struct pump {
  pump_fd in = {};
  pump_fd out = {};
  std::string text;
  size_t text_off = 0;
  uint64_t gen_left = 0;
  uint64_t gen_pos = 0;
  bool in_open = false;
  std::unique_ptr<char[]> buf{new char[kPumpBuffer]};
  size_t lo = 0, hi = 0;
};

void pump_step(pump *p);

constexpr size_t kPatternCycle = 251;

// The pattern from byte 0 on, long enough to copy a buffer's worth from any
// point of its cycle.
const char *pattern_block() {
  static char *block;

  if (!block) {
    block = new char[kPumpBuffer + kPatternCycle];
    for (size_t i = 0; i < kPumpBuffer + kPatternCycle; i++)
      block[i] = static_cast<char>(pattern_byte(i));
  }
  return block;
}

void pump_cb(struct uloop_fd *u, unsigned int) { pump_step(container_of(u, pump_fd, u)->owner); }

void pump_close_in(pump *p) {
  if (!p->in_open) return;
  uloop_fd_delete(&p->in.u);
  close(p->in.u.fd);
  p->in_open = false;
}

void pump_free(pump *p) {
  pump_close_in(p);
  uloop_fd_delete(&p->out.u);
  close(p->out.u.fd);
  active_pumps--;
  delete p;
}

void pump_fill(pump *p) {
  if (p->lo == p->hi) p->lo = p->hi = 0;
  size_t room = kPumpBuffer - p->hi;
  if (!room) return;

  if (p->text_off < p->text.size()) {
    size_t n = std::min(room, p->text.size() - p->text_off);
    memcpy(p->buf.get() + p->hi, p->text.data() + p->text_off, n);
    p->text_off += n;
    p->hi += n;
  } else if (p->gen_left) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(room, p->gen_left));
    memcpy(p->buf.get() + p->hi, pattern_block() + p->gen_pos % kPatternCycle, n);
    p->gen_pos += n;
    p->gen_left -= n;
    p->hi += n;
  } else if (p->in_open) {
    ssize_t n = read(p->in.u.fd, p->buf.get() + p->hi, room);
    if (n > 0)
      p->hi += static_cast<size_t>(n);
    else if (n == 0 || (errno != EAGAIN && errno != EINTR))
      pump_close_in(p);
  }
}

void pump_step(pump *p) {
  for (;;) {
    size_t buffered = p->hi - p->lo;
    bool was_open = p->in_open;
    bool wrote = false;

    pump_fill(p);
    bool filled = p->hi - p->lo > buffered;
    if (p->hi > p->lo) {
      ssize_t n = write(p->out.u.fd, p->buf.get() + p->lo, p->hi - p->lo);
      if (n > 0) {
        p->lo += static_cast<size_t>(n);
        wrote = true;
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        pump_free(p);  // the reader is gone
        return;
      }
    }

    bool source_left = p->text_off < p->text.size() || p->gen_left || p->in_open;
    if (p->hi == p->lo && !source_left) {
      pump_free(p);
      return;
    }
    if (!filled && !wrote && p->in_open == was_open) break;
  }

  if (p->in_open) uloop_fd_add(&p->in.u, p->hi < kPumpBuffer ? ULOOP_READ : 0);
  uloop_fd_add(&p->out.u, p->hi > p->lo ? ULOOP_WRITE : 0);
}

// Starts a pump writing to a new pipe; returns the pipe's read end.
int pump_start(std::string text, uint64_t generate, int input) {
  int fds[2];
  // both ends non-blocking: the pump's writes must not wait, and whoever
  // reads the other end copes either way
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) < 0) {
    if (input >= 0) close(input);
    return -1;
  }

  auto *p = new pump();
  p->out.u.fd = fds[1];
  p->out.u.cb = pump_cb;
  p->out.owner = p;
  p->text = std::move(text);
  p->gen_left = generate;
  if (input >= 0) {
    p->in.u.fd = input;
    p->in.u.cb = pump_cb;
    p->in.owner = p;
    p->in_open = true;
    fcntl(input, F_SETFL, fcntl(input, F_GETFL) | O_NONBLOCK);
  }
  active_pumps++;
  pump_step(p);
  return fds[0];
}

// A response written a piece at a time: its text at once, then one "."
// every `every` ms, `count` times, then the end. Without `every` the
// descriptor stays open and silent until its reader goes away. Counted with
// the pumps: a response still being written.
struct drip {
  struct uloop_timeout timer;
  int out;
  int every;
  uint64_t left;
};

constexpr int kDripWatchMs = 100;

void drip_free(drip *d) {
  close(d->out);
  active_pumps--;
  delete d;
}

void drip_tick(struct uloop_timeout *t) {
  drip *d = container_of(t, drip, timer);

  if (d->every <= 0) {
    // nothing to write: only notice the reader going
    struct pollfd p = {d->out, POLLOUT, 0};
    if (poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP))) {
      drip_free(d);
      return;
    }
    uloop_timeout_set(t, kDripWatchMs);
    return;
  }
  if (!d->left || write(d->out, ".", 1) != 1 || !--d->left) {
    drip_free(d);  // done, or the reader is gone
    return;
  }
  uloop_timeout_set(t, d->every);
}

int drip_start(const std::string &text, int every, uint64_t count) {
  int fds[2];

  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) < 0) return -1;
  if (!text.empty() &&
      write(fds[1], text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  auto *d = new drip();
  d->out = fds[1];
  d->every = every;
  d->left = count;
  d->timer.cb = drip_tick;
  active_pumps++;
  uloop_timeout_set(&d->timer, every > 0 ? every : kDripWatchMs);
  return fds[0];
}

// A pipe whose write end is already closed: end of file, no bytes.
int empty_descriptor() {
  int fds[2];

  if (pipe2(fds, O_CLOEXEC) < 0) return -1;
  close(fds[1]);
  return fds[0];
}

// Writes `size` pattern bytes to `fd`; false when a write falls short.
bool write_pattern(int fd, uint64_t size) {
  std::array<char, 8192> block;
  for (uint64_t pos = 0; pos < size;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), size - pos));
    for (size_t i = 0; i < n; i++) block[i] = static_cast<char>(pattern_byte(pos + i));
    if (write(fd, block.data(), n) != static_cast<ssize_t>(n)) return false;
    pos += n;
  }
  return true;
}

// A pipe enlarged to hold `size` bytes, filled, its write end closed: a
// method that wrote its whole response before it answered.
int filled_descriptor(uint64_t size) {
  int fds[2];

  if (size > (64u << 20) || pipe2(fds, O_CLOEXEC) < 0) return -1;
  bool filled = (size == 0 || fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(size)) >= 0) &&
                write_pattern(fds[1], size);
  close(fds[1]);
  if (filled) return fds[0];
  close(fds[0]);
  return -1;
}

int file_descriptor(uint64_t size) {
  char name[] = "/tmp/request-file-XXXXXX";
  int fd = mkstemp(name);

  if (fd < 0) return -1;
  unlink(name);
  if (!write_pattern(fd, size)) {
    close(fd);
    return -1;
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

int from_hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
  return -1;
}

// The decoded value of `key` in a query string; `found` tells an empty
// value from a missing one.
std::string query_value(std::string_view query, std::string_view key, bool *found = nullptr) {
  if (found) *found = false;
  while (!query.empty()) {
    size_t amp = query.find('&');
    std::string_view item = query.substr(0, amp);
    size_t eq = item.find('=');
    if (item.substr(0, eq) == key) {
      std::string out;
      std::string_view raw =
          eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1);
      for (size_t i = 0; i < raw.size(); i++) {
        if (raw[i] == '%' && i + 2 < raw.size() && from_hex(raw[i + 1]) >= 0 &&
            from_hex(raw[i + 2]) >= 0) {
          out += static_cast<char>(from_hex(raw[i + 1]) * 16 + from_hex(raw[i + 2]));
          i += 2;
        } else {
          out += raw[i] == '+' ? ' ' : raw[i];
        }
      }
      if (found) *found = true;
      return out;
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return std::string();
}

uint64_t query_number(std::string_view query, std::string_view key, uint64_t fallback) {
  bool found;
  std::string text = query_value(query, key, &found);
  if (!found || text.empty()) return fallback;
  return strtoull(text.c_str(), nullptr, 10);
}

void send_data(struct ubus_request_data *req, const char *text, const int *mode) {
  struct blob_buf b = {};

  blob_buf_init(&b, 0);
  if (text) blobmsg_add_string(&b, "data", text);
  if (mode) blobmsg_add_u32(&b, "mode", static_cast<uint32_t>(*mode));
  ubus_send_reply(bus, req, b.head);
  blob_buf_free(&b);
}

// A request answered later (after a delay, or never).
struct deferred {
  struct ubus_request_data req;
  struct uloop_timeout timer;
  int body_fd;
  struct list_head list;
};

LIST_HEAD(held);

void slow_done(struct uloop_timeout *t) {
  deferred *d = container_of(t, deferred, timer);

  ubus_request_set_fd(bus, &d->req, empty_descriptor());
  ubus_complete_deferred_request(bus, &d->req, UBUS_STATUS_OK);
  if (d->body_fd >= 0) close(d->body_fd);
  list_del(&d->list);
  delete d;
}

void defer(struct ubus_request_data *req, int body_fd, int delay_ms) {
  auto *d = new deferred();

  ubus_defer_request(bus, req, &d->req);
  d->body_fd = body_fd;
  d->timer.cb = slow_done;
  list_add(&d->list, &held);
  if (delay_ms >= 0) uloop_timeout_set(&d->timer, delay_ms);
}

std::string default_status_page(void *) {
  return "<!DOCTYPE html>\n<html><body><p>No outlets here.</p></body></html>\n";
}

int answer_fd(struct ubus_request_data *req, int fd, int status) {
  if (fd < 0) return UBUS_STATUS_UNKNOWN_ERROR;
  ubus_request_set_fd(bus, req, fd);
  return status;
}

int handle_request(struct ubus_context *, struct ubus_object *, struct ubus_request_data *req,
                   const char *, struct blob_attr *msg) {
  struct blob_attr *tb[__REQ_MAX];
  std::array<struct blob_attr *, kEnvSlots> env{};

  served++;
  blob_buf_init(&last_message, 0);
  blob_put_raw(&last_message, blob_data(msg), blob_len(msg));

  blobmsg_parse(request_policy, __REQ_MAX, tb, blob_data(msg), blob_len(msg));
  if (tb[REQ_ENV]) {
    struct blob_attr *cur;
    size_t rem, i = 0;
    blobmsg_for_each_attr(cur, tb[REQ_ENV], rem) {
      if (i < kEnvSlots) env[i++] = cur;
    }
  }

  auto text_of = [](struct blob_attr *a) -> std::string_view {
    if (!a || blobmsg_type(a) != BLOBMSG_TYPE_STRING) return std::string_view();
    return blobmsg_get_string(a);
  };
  std::string path(text_of(env[3]));
  std::string query(text_of(env[2]));
  int body_fd = ubus_request_get_caller_fd(req);
  last_had_fd = body_fd >= 0;

  int status = UBUS_STATUS_OK;
  if (path == "/echo") {
    status = answer_fd(req, pump_start(std::string(), 0, body_fd), 0);
    body_fd = -1;
  } else if (path == "/stream") {
    status = answer_fd(req, pump_start(std::string(), query_number(query, "size", 0), -1), 0);
  } else if (path == "/five") {
    status = answer_fd(req, pump_start("hello", 0, -1), atoi(query_value(query, "status").c_str()));
  } else if (path == "/none") {
    status = answer_fd(req, empty_descriptor(), atoi(query_value(query, "status").c_str()));
  } else if (path == "/slow") {
    defer(req, body_fd, static_cast<int>(query_number(query, "ms", 1000)));
    return 0;
  } else if (path == "/hold") {
    defer(req, body_fd, -1);
    return 0;
  } else if (path == "/data/hold") {
    send_data(req, query_value(query, "text").c_str(), nullptr);
    defer(req, body_fd, -1);
    return 0;
  } else if (path == "/drip") {
    status = answer_fd(
        req,
        drip_start(query_value(query, "text"), static_cast<int>(query_number(query, "every", 0)),
                   query_number(query, "count", 0)),
        0);
  } else if (path == "/file") {
    status = answer_fd(req, file_descriptor(query_number(query, "size", 0)),
                       atoi(query_value(query, "status").c_str()));
  } else if (path == "/filled") {
    status = answer_fd(req, filled_descriptor(query_number(query, "size", 0)), 0);
  } else if (path == "/status0") {
    status = UBUS_STATUS_OK;
  } else if (path == "/data") {
    bool has_mode;
    std::string mode_text = query_value(query, "mode", &has_mode);
    int mode = atoi(mode_text.c_str());
    std::string text = query_value(query, "text");
    send_data(req, text.c_str(), has_mode ? &mode : nullptr);
  } else if (path == "/data/empty") {
    send_data(req, "", nullptr);
    status = answer_fd(req, empty_descriptor(), 0);
  } else if (path == "/data/bad") {
    struct blob_buf b = {};
    blob_buf_init(&b, 0);
    blobmsg_add_u32(&b, "data", 7);  // "data" must be a string
    ubus_send_reply(bus, req, b.head);
    blob_buf_free(&b);
    send_data(req, "ok", nullptr);
  } else if (path == "/tunnel") {
    status = answer_fd(req, pump_start(kTunnelHead, 0, body_fd), -1);
    body_fd = -1;
  } else if (path == "/outlets") {
    auto page = the_hooks.status_page ? the_hooks.status_page : default_status_page;
    status = answer_fd(req, pump_start(page(the_hooks.priv), 0, -1), 0);
  } else if (path == "/switch") {
    std::string state = query_value(query, "state");
    int outlet = static_cast<int>(query_number(query, "outlet", 0));
    std::string text;
    if (!the_hooks.switch_outlet) {
      text = "switching is not available here\n";
    } else if (state != "on" && state != "off") {
      text = "state must be on or off\n";
    } else {
      int ret = the_hooks.switch_outlet(the_hooks.priv, outlet, state == "on");
      text = "outlet " + std::to_string(outlet) + (ret ? ": " : " switched ") +
             (ret ? ubus_strerror(ret) : state) + "\n";
    }
    status = answer_fd(req, pump_start(text, 0, -1), 0);
  } else {
    status = UBUS_STATUS_NOT_FOUND;
  }

  if (body_fd >= 0) close(body_fd);
  return status;
}

int handle_last(struct ubus_context *, struct ubus_object *, struct ubus_request_data *req,
                const char *, struct blob_attr *) {
  struct blob_buf b = {};

  blob_buf_init(&b, 0);
  if (last_message.head)
    blobmsg_add_field(&b, BLOBMSG_TYPE_TABLE, "message", blob_data(last_message.head),
                      static_cast<unsigned int>(blob_len(last_message.head)));
  blobmsg_add_u8(&b, "had_fd", last_had_fd);
  blobmsg_add_u32(&b, "served", static_cast<uint32_t>(served));
  blobmsg_add_u32(&b, "pumps", static_cast<uint32_t>(active_pumps));
  ubus_send_reply(bus, req, b.head);
  blob_buf_free(&b);
  return 0;
}

const struct ubus_method methods[] = {
    {"request", handle_request, 0, 0, nullptr, 0},
    {"last", handle_last, 0, 0, nullptr, 0},
};

struct ubus_object_type object_type = {"request", 0, methods, 2};
struct ubus_object object;

}  // namespace

bool add_request_object(struct ubus_context *ctx, const char *path, const hooks &h) {
  bus = ctx;
  the_hooks = h;
  object.name = path;
  object.type = &object_type;
  object.methods = methods;
  object.n_methods = 2;
  return ubus_add_object(ctx, &object) == 0;
}

int requests_served() { return served; }

int pumps_active() { return active_pumps; }

}  // namespace request_method
