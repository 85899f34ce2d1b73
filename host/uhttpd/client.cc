// SPDX-License-Identifier: ISC
// One client connection: the request head parser, request-body delivery to
// the dispatch handler (Content-Length or chunked, with flow control), the
// response framing, keep-alive and the connection's end. Also the
// operations table the plug-ins call.
//
// Nothing here frees a client while one of its callbacks may be on the
// stack: the end of a connection always runs from a timer or from the
// connection stream's state notification.
#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <string_view>

extern "C" {
#include <libubox/blobmsg.h>
}

#include "server.h"

namespace uh {
namespace {

constexpr int kReadBufferLen = 16384;
constexpr int kReadBuffers = 4;
constexpr int kWriteBufferLen = 16384;
constexpr int kChunkLineMax = 256;
constexpr int kLingerMs = 1000;
constexpr int kWatchMs = 200;

enum chunk_state { CHUNK_SIZE, CHUNK_DATA, CHUNK_DATA_END, CHUNK_TRAILER };

struct method_name {
  std::string_view name;
  enum http_method method;
};

constexpr std::array<method_name, 7> methods = {{
    {"GET", UH_HTTP_MSG_GET},
    {"POST", UH_HTTP_MSG_POST},
    {"HEAD", UH_HTTP_MSG_HEAD},
    {"OPTIONS", UH_HTTP_MSG_OPTIONS},
    {"PUT", UH_HTTP_MSG_PUT},
    {"PATCH", UH_HTTP_MSG_PATCH},
    {"DELETE", UH_HTTP_MSG_DELETE},
}};

LIST_HEAD(clients);
LIST_HEAD(handlers);
int n_clients;
int next_id;

void client_poll(struct client *cl);
void finish_request(struct client *cl, bool keep);
void send_error(struct client *cl, int code, const char *summary, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

bool is_tchar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Whether a comma-separated header value holds the token.
bool has_token(std::string_view value, std::string_view token) {
  while (!value.empty()) {
    size_t comma = value.find(',');
    std::string_view item = trim(value.substr(0, comma));
    if (iequals(item, token)) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

const char *version_text(const struct client *cl) {
  return cl->request.version == UH_HTTP_VER_1_0 ? "HTTP/1.0" : "HTTP/1.1";
}

void arm_timer(struct client *cl, int msecs) { uloop_timeout_set(&cl->timeout, msecs); }

void kick(struct client *cl) { uloop_timeout_set(&cl->kick, 0); }

// ---- response output ----

// Response bytes go into the connection's queue and never wait: a handler
// that relays a descriptor stops reading it while the queue holds bytes
// (ustream_pending_data on cl->us) and resumes from dispatch.write_cb,
// which runs each time the queue has been written out. A peer that takes
// no byte for the network timeout is dropped by the drain timer.
void write_out(struct client *cl, const char *data, int len) {
  ustream_write(cl->us, data, len, false);
  if (ustream_pending_data(cl->us, true) && !cl->drain.pending)
    uloop_timeout_set(&cl->drain, conf.network_timeout);
}

void flush(struct client *cl) {
  uloop_timeout_cancel(&cl->flush);
  if (!cl->corked_len) return;
  int len = cl->corked_len;
  cl->corked_len = 0;
  write_out(cl, cl->corked, len);
}

// Small pieces (a head, a chunk, the last chunk) are collected and go out
// in one write once the callback that wrote them returns: the loop runs
// the flush timer before it looks at the next event.
void put(struct client *cl, const void *data, int len) {
  if (len <= 0) return;
  if (cl->corked_len + len <= static_cast<int>(sizeof(cl->corked))) {
    memcpy(cl->corked + cl->corked_len, data, static_cast<size_t>(len));
    cl->corked_len += len;
    if (!cl->flush.pending) uloop_timeout_set(&cl->flush, 0);
    return;
  }
  flush(cl);
  write_out(cl, static_cast<const char *>(data), len);
}

__attribute__((format(printf, 2, 3))) void put_printf(struct client *cl, const char *format, ...) {
  char buf[512];
  va_list ap;

  va_start(ap, format);
  int len = vsnprintf(buf, sizeof(buf), format, ap);
  va_end(ap);
  if (len > 0)
    put(cl, buf, len < static_cast<int>(sizeof(buf)) ? len : static_cast<int>(sizeof(buf)) - 1);
}

const char *connection_header(const struct client *cl) {
  return cl->keep_alive ? "keep-alive" : "close";
}

// The server's own "200 OK" head for a body of unknown length.
void start_framed(struct client *cl) {
  cl->response = UH_RESPONSE_FRAMED;
  if (cl->request.version == UH_HTTP_VER_0_9) {
    cl->keep_alive = false;
    return;
  }

  if (cl->request.version == UH_HTTP_VER_1_1)
    cl->respond_chunked = !cl->head_only;
  else if (!cl->head_only)
    cl->keep_alive = false;  // the end of the body is the end of the connection

  // the same text as "%s 200 OK\r\nConnection: %s\r\n%s\r\n", without printf
  char head[128];
  int len = 0;
  for (const char *part :
       {version_text(cl), " 200 OK\r\nConnection: ", connection_header(cl), "\r\n",
        cl->request.version == UH_HTTP_VER_1_1 ? "Transfer-Encoding: chunked\r\n" : "", "\r\n"}) {
    size_t n = strlen(part);
    memcpy(head + len, part, n);
    len += static_cast<int>(n);
  }
  put(cl, head, len);
}

// A chunk's size line: the length in upper-case hex, then CR LF.
int chunk_line(char *out, int len) {
  char digits[8];
  int n = 0;
  do {
    digits[n++] = "0123456789ABCDEF"[len & 15];
    len >>= 4;
  } while (len);
  for (int i = 0; i < n; i++) out[i] = digits[n - 1 - i];
  out[n] = '\r';
  out[n + 1] = '\n';
  return n + 2;
}

void emit_body(struct client *cl, const char *data, int len) {
  if (len <= 0 || (cl->head_only && cl->response == UH_RESPONSE_FRAMED)) return;
  if (!cl->respond_chunked) {
    put(cl, data, len);
    return;
  }

  char line[16];
  const int line_len = chunk_line(line, len);
  // A chunk that fits what put collects goes out in one write anyway; up to
  // the usual block size it is framed here into one write.
  const bool collected =
      cl->corked_len + line_len + len + 2 <= static_cast<int>(sizeof(cl->corked));
  if (!collected && len <= kWriteBufferLen) {
    char frame[kWriteBufferLen + 16];
    memcpy(frame, line, static_cast<size_t>(line_len));
    memcpy(frame + line_len, data, static_cast<size_t>(len));
    memcpy(frame + line_len + len, "\r\n", 2);
    put(cl, frame, line_len + len + 2);
    return;
  }
  put(cl, line, line_len);
  put(cl, data, len);
  put(cl, "\r\n", 2);
}

void write_body(struct client *cl, const void *data, int len) {
  const char *bytes = static_cast<const char *>(data);
  int used = 0;

  if (cl->finished || len <= 0 || cl->response == UH_RESPONSE_COMPLETE) return;

  // "HTTP/" at the start: the handler wrote its own head
  static constexpr std::string_view raw_mark = "HTTP/";
  int held = cl->sniff_len;  // bytes kept from earlier calls
  while (cl->response == UH_RESPONSE_NONE && used < len) {
    cl->sniff[cl->sniff_len++] = bytes[used++];
    bool matches = memcmp(cl->sniff, raw_mark.data(), cl->sniff_len) == 0;
    if (cl->request.version == UH_HTTP_VER_0_9 || !matches) {
      start_framed(cl);
    } else if (cl->sniff_len == static_cast<int>(raw_mark.size())) {
      cl->response = UH_RESPONSE_RAW;
      cl->keep_alive = false;
    }
  }
  if (cl->response == UH_RESPONSE_NONE) return;
  if (cl->sniff_len) {
    // decided in this call: send the held bytes, then this block whole
    emit_body(cl, cl->sniff, held);
    cl->sniff_len = 0;
    used = 0;
  }
  emit_body(cl, bytes + used, len - used);
}

int body_vprintf(struct client *cl, const char *format, va_list arg) {
  char *text = nullptr;
  int len = vasprintf(&text, format, arg);

  if (len < 0) return -1;
  write_body(cl, text, len);
  free(text);
  return len;
}

int body_printf(struct client *cl, const char *format, ...) {
  va_list ap;

  va_start(ap, format);
  int len = body_vprintf(cl, format, ap);
  va_end(ap);
  return len;
}

// A complete response of known length (the server's error pages).
void send_header(struct client *cl, int code, const char *summary, int64_t length) {
  if (cl->request.version == UH_HTTP_VER_0_9) {
    cl->keep_alive = false;
    return;
  }
  put_printf(cl,
             "%s %03d %s\r\nConnection: %s\r\nContent-Type: text/plain\r\n"
             "Content-Length: %lld\r\n\r\n",
             version_text(cl), code, summary, connection_header(cl),
             static_cast<long long>(length));
}

void send_complete(struct client *cl, int code, const char *summary, const char *body, int len) {
  // unread request body: the connection cannot carry another request
  if (cl->state != CLIENT_STATE_DONE && cl->state != CLIENT_STATE_INIT) cl->keep_alive = false;
  send_header(cl, code, summary, len);
  if (!cl->head_only || cl->request.version == UH_HTTP_VER_0_9) put(cl, body, len);
  cl->response = UH_RESPONSE_COMPLETE;
}

void send_error(struct client *cl, int code, const char *summary, const char *format, ...) {
  if (cl->finished) return;
  if (cl->response != UH_RESPONSE_NONE || cl->sniff_len) {
    // too late for an error page: cut the response short
    finish_request(cl, false);
    return;
  }

  char body[1024];
  va_list ap;
  va_start(ap, format);
  int len = vsnprintf(body, sizeof(body), format, ap);
  va_end(ap);
  if (len < 0) len = 0;
  if (len >= static_cast<int>(sizeof(body))) len = sizeof(body) - 1;

  send_complete(cl, code, summary, body, len);
  finish_request(cl, true);
}

// Errors found before any handler saw the request.
void reject(struct client *cl, int code, const char *summary) {
  cl->keep_alive = false;
  cl->state = CLIENT_STATE_DATA;  // whatever follows is not a request
  char body[128];
  int len = snprintf(body, sizeof(body), "%s\n", summary);
  send_complete(cl, code, summary, body, len);
  finish_request(cl, false);
}

void release_dispatch(struct client *cl) {
  void (*release)(struct client *) = cl->dispatch.free;

  cl->dispatch.data_send = nullptr;
  cl->dispatch.data_done = nullptr;
  cl->dispatch.write_cb = nullptr;
  cl->dispatch.close_fds = nullptr;
  cl->dispatch.free = nullptr;
  cl->dispatch.data_blocked = false;
  if (release) release(cl);
}

void finish_request(struct client *cl, bool keep) {
  if (cl->finished) return;

  if (cl->response == UH_RESPONSE_NONE) {
    if (cl->sniff_len) {
      start_framed(cl);
      emit_body(cl, cl->sniff, cl->sniff_len);
      cl->sniff_len = 0;
    } else if (keep) {
      send_complete(cl, 200, "OK", "", 0);
    } else {
      cl->keep_alive = false;
      static constexpr char failed[] = "The request failed\n";
      send_complete(cl, 500, "Internal Server Error", failed, sizeof(failed) - 1);
    }
  }
  if (cl->response == UH_RESPONSE_FRAMED && cl->respond_chunked) put(cl, "0\r\n\r\n", 5);

  cl->finished = true;
  cl->dispatching = false;
  uloop_timeout_cancel(&cl->timeout);
  release_dispatch(cl);

  bool reuse =
      keep && cl->keep_alive && cl->state == CLIENT_STATE_DONE && cl->response != UH_RESPONSE_RAW;
  if (!reuse) {
    cl->closing = true;
    cl->state = CLIENT_STATE_CLOSE;
    ustream_set_read_blocked(cl->us, false);
    arm_timer(cl, conf.network_timeout);  // a peer that never reads
  }
  kick(cl);
}

// ---- request head ----

// Collects one line into cl->line (without its CR LF); true once complete.
// Bytes count against `limit`; *overflow is set when it is exceeded.
bool read_line(struct client *cl, int limit, bool *overflow) {
  int len;
  char *data;

  while ((data = ustream_get_read_buf(cl->us, &len)) != nullptr) {
    auto *nl = static_cast<char *>(memchr(data, '\n', static_cast<size_t>(len)));
    int take = nl ? static_cast<int>(nl - data) + 1 : len;

    if (cl->line_len + take > limit) {
      *overflow = true;
      return false;
    }
    memcpy(cl->line + cl->line_len, data, static_cast<size_t>(take));
    cl->line_len += take;
    cl->head_bytes += take;
    ustream_consume(cl->us, take);
    if (!nl) continue;

    int end = cl->line_len - 1;  // the '\n'
    if (end > 0 && cl->line[end - 1] == '\r') end--;
    cl->line[end] = 0;
    cl->line_len = end;
    return true;
  }
  return false;
}

bool parse_request_line(struct client *cl, std::string_view line) {
  size_t sp1 = line.find(' ');
  if (sp1 == std::string_view::npos || sp1 == 0) {
    reject(cl, 400, "Bad Request");
    return false;
  }
  std::string_view method = line.substr(0, sp1);
  std::string_view rest = line.substr(sp1 + 1);
  size_t sp2 = rest.find(' ');
  std::string_view target = rest.substr(0, sp2);
  std::string_view version =
      sp2 == std::string_view::npos ? std::string_view() : rest.substr(sp2 + 1);

  if (target.empty() || target[0] != '/' || version.find(' ') != std::string_view::npos) {
    reject(cl, 400, "Bad Request");
    return false;
  }
  for (char c : target) {
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) {
      reject(cl, 400, "Bad Request");
      return false;
    }
  }

  if (sp2 == std::string_view::npos) {
    cl->request.version = UH_HTTP_VER_0_9;
  } else if (version == "HTTP/1.1") {
    cl->request.version = UH_HTTP_VER_1_1;
  } else if (version == "HTTP/1.0") {
    cl->request.version = UH_HTTP_VER_1_0;
  } else if (version.size() == 8 && version.substr(0, 5) == "HTTP/" && isdigit(version[5]) &&
             version[6] == '.' && isdigit(version[7])) {
    cl->request.version = UH_HTTP_VER_1_1;
    reject(cl, 505, "HTTP Version Not Supported");
    return false;
  } else {
    reject(cl, 400, "Bad Request");
    return false;
  }

  if (cl->request.version == UH_HTTP_VER_0_9 && method != "GET") {
    cl->request.version = UH_HTTP_VER_1_1;  // not HTTP/0.9 after all
    reject(cl, 400, "Bad Request");
    return false;
  }

  bool known = false;
  for (const method_name &m : methods) {
    if (m.name == method) {
      cl->request.method = m.method;
      known = true;
    }
  }
  if (!known) {
    for (char c : method) {
      if (!is_tchar(c)) {
        reject(cl, 400, "Bad Request");
        return false;
      }
    }
    reject(cl, 501, "Not Implemented");
    return false;
  }

  cl->head_only = cl->request.method == UH_HTTP_MSG_HEAD;
  cl->url = strndup(target.data(), target.size());
  if (!cl->url) {
    reject(cl, 500, "Internal Server Error");
    return false;
  }
  return true;
}

bool parse_content_length(std::string_view value, int *out) {
  long long n = 0;

  if (value.empty()) return false;
  for (char c : value) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
    if (n >= INT_MAX) n = INT_MAX;  // too large either way
  }
  *out = static_cast<int>(n);
  return true;
}

// One "Name: value" line; the server keeps what it needs for framing.
bool parse_header_line(struct client *cl, std::string_view line) {
  int *content_length = &cl->request.content_length;  // -1 until declared

  size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) {
    reject(cl, 400, "Bad Request");
    return false;
  }
  std::string_view name = line.substr(0, colon);
  std::string_view value = trim(line.substr(colon + 1));
  for (char c : name) {
    if (!is_tchar(c)) {
      reject(cl, 400, "Bad Request");
      return false;
    }
  }
  for (char c : value) {
    if ((static_cast<unsigned char>(c) < ' ' && c != '\t') || c == 0x7f) {
      reject(cl, 400, "Bad Request");
      return false;
    }
  }

  if (++cl->head_lines > conf.max_headers) {
    reject(cl, 431, "Request Header Fields Too Large");
    return false;
  }

  if (iequals(name, "Content-Length")) {
    int n;
    if (!parse_content_length(value, &n) || (*content_length >= 0 && n != *content_length)) {
      reject(cl, 400, "Bad Request");
      return false;
    }
    if (n == INT_MAX) {
      reject(cl, 413, "Payload Too Large");
      return false;
    }
    *content_length = n;
  } else if (iequals(name, "Transfer-Encoding")) {
    if (!iequals(value, "chunked")) {
      reject(cl, 501, "Not Implemented");
      return false;
    }
    cl->request.transfer_chunked = 1;
  } else if (iequals(name, "Connection")) {
    if (has_token(value, "close")) cl->request.connection_close = true;
    if (has_token(value, "keep-alive")) cl->request.connection_keep_alive = true;
  } else if (iequals(name, "Expect")) {
    if (iequals(value, "100-continue")) cl->request.expect_continue = true;
  }

  // name and value as their own strings, for blobmsg
  char name_buf[256];
  if (name.size() >= sizeof(name_buf)) {
    reject(cl, 431, "Request Header Fields Too Large");
    return false;
  }
  memcpy(name_buf, name.data(), name.size());
  name_buf[name.size()] = 0;
  const_cast<char *>(value.data())[value.size()] = 0;  // inside cl->line
  blobmsg_add_string(&cl->hdr, name_buf, value.data());
  return true;
}

struct dispatch_handler *find_handler(const char *url) {
  struct dispatch_handler *d;

  list_for_each_entry(d, &handlers, list) {
    if (d->check_url && d->check_url(url)) return d;
  }
  return nullptr;
}

void body_complete(struct client *cl) {
  cl->state = CLIENT_STATE_DONE;
  cl->request.transfer_chunked = 0;
  cl->request.content_length = 0;
  if (!cl->finished && cl->dispatch.data_done) cl->dispatch.data_done(cl);
}

// The head is complete: settle the framing, then hand the request over.
void start_request(struct client *cl) {
  struct http_request *r = &cl->request;
  int content_length = r->content_length;

  if (r->transfer_chunked && content_length >= 0) {
    reject(cl, 400, "Bad Request");
    return;
  }
  r->body_without_length = r->transfer_chunked;
  r->content_length = content_length > 0 ? content_length : 0;
  cl->chunk_state = CHUNK_SIZE;
  cl->line_len = 0;

  if (r->version == UH_HTTP_VER_1_1)
    cl->keep_alive = !r->connection_close;
  else if (r->version == UH_HTTP_VER_1_0)
    cl->keep_alive = r->connection_keep_alive && !r->connection_close;
  else
    cl->keep_alive = false;

  bool has_body = r->transfer_chunked || r->content_length > 0;
  cl->state = has_body ? CLIENT_STATE_DATA : CLIENT_STATE_DONE;
  cl->dispatching = true;
  arm_timer(cl, conf.script_timeout);

  struct dispatch_handler *d = find_handler(cl->url);
  if (!d) {
    send_error(cl, 404, "Not Found", "No handler for this URL\n");
    return;
  }
  d->handle_request(cl, cl->url, nullptr);
  if (cl->finished) return;

  if (cl->state == CLIENT_STATE_DATA && r->expect_continue && r->version == UH_HTTP_VER_1_1)
    put_printf(cl, "HTTP/1.1 100 Continue\r\n\r\n");
  if (cl->state == CLIENT_STATE_DONE) body_complete(cl);
}

// Returns false when nothing more can be done with the buffered bytes.
bool read_head(struct client *cl) {
  int len;
  char *data;

  if (cl->state == CLIENT_STATE_INIT) {
    // empty lines ahead of a request are allowed
    while ((data = ustream_get_read_buf(cl->us, &len)) != nullptr) {
      int skip = 0;
      while (skip < len && (data[skip] == '\r' || data[skip] == '\n')) skip++;
      ustream_consume(cl->us, skip);
      if (skip < len) break;
    }
    if (!data) return false;
    cl->state = CLIENT_STATE_HEADER;
  }

  for (;;) {
    bool overflow = false;
    int room = conf.max_header_size - (cl->head_bytes - cl->line_len);
    if (!read_line(cl, room, &overflow)) {
      if (overflow && cl->head_lines == 0 && !cl->url)
        reject(cl, 414, "URI Too Long");
      else if (overflow)
        reject(cl, 431, "Request Header Fields Too Large");
      return overflow;
    }

    std::string_view line(cl->line, static_cast<size_t>(cl->line_len));
    cl->line_len = 0;
    if (!cl->url) {
      if (!parse_request_line(cl, line)) return true;
      if (cl->request.version == UH_HTTP_VER_0_9) break;
      continue;
    }
    if (line.empty()) break;
    if (line[0] == ' ' || line[0] == '\t') {
      reject(cl, 400, "Bad Request");  // folded header lines are not accepted
      return true;
    }
    if (!parse_header_line(cl, line)) return true;
  }

  start_request(cl);
  return true;
}

// ---- request body ----

int hand_over(struct client *cl, const char *data, int len) {
  if (cl->finished || !cl->dispatch.data_send) return len;  // nobody takes body bytes: drop them

  int taken = cl->dispatch.data_send(cl, data, len);
  if (taken > 0) {
    cl->zero_takes = 0;
    return taken < len ? taken : len;
  }
  if (cl->dispatch.data_blocked) return 0;
  // a handler that keeps taking nothing without blocking would spin
  if (++cl->zero_takes >= 2) {
    cl->zero_takes = 0;
    return len;
  }
  return 0;
}

// While reading is paused the peer's end of file stays unread behind the
// body bytes; the socket's TCP state still shows it, unless the peer's FIN
// is itself stuck behind bytes we do not take. A body that cannot move for
// the network timeout ends the connection.
void pause_reading(struct client *cl) {
  ustream_set_read_blocked(cl->us, true);
  if (!cl->watch.pending) {
    cl->paused_ms = 0;
    uloop_timeout_set(&cl->watch, kWatchMs);
  }
}

// Returns false when nothing more can be done with the buffered bytes.
bool read_body(struct client *cl) {
  struct http_request *r = &cl->request;

  if (cl->dispatch.data_blocked) {
    pause_reading(cl);
    return false;
  }

  if (r->transfer_chunked && cl->chunk_state != CHUNK_DATA) {
    bool overflow = false;
    if (!read_line(cl, kChunkLineMax, &overflow)) {
      if (overflow) send_error(cl, 400, "Bad Request", "Malformed chunk\n");
      return overflow;
    }
    std::string_view line(cl->line, static_cast<size_t>(cl->line_len));
    cl->line_len = 0;
    cl->head_bytes = 0;

    if (cl->chunk_state == CHUNK_DATA_END) {
      if (!line.empty()) {
        send_error(cl, 400, "Bad Request", "Malformed chunk\n");
        return true;
      }
      cl->chunk_state = CHUNK_SIZE;
    } else if (cl->chunk_state == CHUNK_TRAILER) {
      if (line.empty()) body_complete(cl);
    } else {
      long size = 0;
      size_t digits = 0;
      for (; digits < line.size() && isxdigit(line[digits]); digits++) {
        size = size * 16 +
               (isdigit(line[digits]) ? line[digits] - '0' : (line[digits] | 0x20) - 'a' + 10);
        if (size >= INT_MAX) break;
      }
      std::string_view ext = trim(line.substr(digits));
      if (!digits || size >= INT_MAX || (!ext.empty() && ext[0] != ';')) {
        send_error(cl, 400, "Bad Request", "Malformed chunk\n");
        return true;
      }
      r->content_length = static_cast<int>(size);
      cl->chunk_state = size ? CHUNK_DATA : CHUNK_TRAILER;
    }
    return true;
  }

  if (r->content_length <= 0) {
    if (r->transfer_chunked) {
      cl->chunk_state = CHUNK_DATA_END;
      return true;
    }
    body_complete(cl);
    return true;
  }

  int len;
  char *data = ustream_get_read_buf(cl->us, &len);
  if (!data) return false;
  if (len > r->content_length) len = r->content_length;

  int taken = hand_over(cl, data, len);
  ustream_consume(cl->us, taken);
  r->content_length -= taken;
  if (cl->dispatch.data_blocked) {
    pause_reading(cl);
    return false;
  }
  return true;
}

void discard_input(struct client *cl) {
  int len;

  while (ustream_get_read_buf(cl->us, &len)) ustream_consume(cl->us, len);
}

void client_poll(struct client *cl) {
  for (;;) {
    bool more = false;

    if (cl->closing) {
      discard_input(cl);
      return;
    }
    switch (cl->state) {
      case CLIENT_STATE_INIT:
      case CLIENT_STATE_HEADER:
        more = read_head(cl);
        break;
      case CLIENT_STATE_DATA:
        more = read_body(cl);
        break;
      default:
        return;  // pipelined requests wait for the response
    }
    if (!more) return;
  }
}

// ---- connection life cycle ----

void reset_request(struct client *cl) {
  free(cl->url);
  cl->url = nullptr;
  memset(&cl->request, 0, sizeof(cl->request));
  cl->request.version = UH_HTTP_VER_1_1;  // for answers to broken request lines
  cl->request.content_length = -1;
  blob_buf_init(&cl->hdr, 0);
  cl->line_len = 0;
  cl->head_bytes = 0;
  cl->head_lines = 0;
  cl->chunk_state = CHUNK_SIZE;
  cl->zero_takes = 0;
  cl->response = UH_RESPONSE_NONE;
  cl->sniff_len = 0;
  cl->respond_chunked = false;
  cl->keep_alive = false;
  cl->head_only = false;
  cl->dispatching = false;
  cl->finished = false;
  cl->state = CLIENT_STATE_INIT;
}

void client_free(struct client *cl) {
  cl->state = CLIENT_STATE_CLEANUP;
  release_dispatch(cl);
  uloop_timeout_cancel(&cl->timeout);
  uloop_timeout_cancel(&cl->kick);
  uloop_timeout_cancel(&cl->watch);
  uloop_timeout_cancel(&cl->drain);
  uloop_timeout_cancel(&cl->flush);
  ustream_free(cl->us);
  close(cl->sfd.fd.fd);
  list_del(&cl->list);
  blob_buf_free(&cl->hdr);
  free(cl->url);
  free(cl->line);
  free(cl);
  n_clients--;
}

void client_watch_cb(struct uloop_timeout *t) {
  struct client *cl = container_of(t, struct client, watch);
  struct tcp_info info;
  socklen_t len = sizeof(info);

  if (!cl->dispatch.data_blocked) return;
  cl->paused_ms += kWatchMs;
  if (cl->paused_ms >= conf.network_timeout ||
      (getsockopt(cl->sfd.fd.fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 &&
       (info.tcpi_state == TCP_CLOSE_WAIT || info.tcpi_state == TCP_CLOSE))) {
    client_free(cl);  // the client went away in the middle of its body
    return;
  }
  uloop_timeout_set(t, kWatchMs);
}

void client_timeout_cb(struct uloop_timeout *t) {
  struct client *cl = container_of(t, struct client, timeout);

  if (cl->dispatching) return;  // the handler notices the lapsed timer itself
  client_free(cl);
}

void client_kick_cb(struct uloop_timeout *t) {
  struct client *cl = container_of(t, struct client, kick);

  flush(cl);
  if (cl->closing) {
    if (cl->lingering) return;
    if (ustream_pending_data(cl->us, true) && !cl->us->write_error)
      return;  // the write notification comes back here
    if (cl->us->write_error || cl->us->eof) {
      client_free(cl);
      return;
    }
    // let the peer read the response before it sees the close
    cl->lingering = true;
    shutdown(cl->sfd.fd.fd, SHUT_WR);
    discard_input(cl);
    arm_timer(cl, kLingerMs);
    return;
  }

  if (cl->finished) {
    reset_request(cl);
    arm_timer(cl, conf.network_timeout);
  }
  if (!cl->dispatch.data_blocked) ustream_set_read_blocked(cl->us, false);
  client_poll(cl);
}

void client_read_cb(struct ustream *s, int) {
  client_poll(container_of(s, struct client, sfd.stream));
}

// The peer took bytes: the drain timer starts over, and once the queue is
// empty the handler may produce more. Outside a dispatch the connection's
// own timer (a finished response still going out, or the idle wait for the
// next request) starts over too: a peer is dropped only after it took no
// byte for the network timeout.
void client_write_cb(struct ustream *s, int) {
  struct client *cl = container_of(s, struct client, sfd.stream);

  if (!cl->dispatching && !cl->lingering && cl->timeout.pending)
    arm_timer(cl, conf.network_timeout);
  if (ustream_pending_data(s, true)) {
    uloop_timeout_set(&cl->drain, conf.network_timeout);
    return;
  }
  uloop_timeout_cancel(&cl->drain);
  if (cl->closing) kick(cl);
  if (!cl->finished && cl->dispatch.write_cb) cl->dispatch.write_cb(cl);
}

void client_flush_cb(struct uloop_timeout *t) { flush(container_of(t, struct client, flush)); }

// Nothing of the queued response went out for the network timeout.
void client_drain_cb(struct uloop_timeout *t) {
  client_free(container_of(t, struct client, drain));
}

void client_state_cb(struct ustream *s) {
  struct client *cl = container_of(s, struct client, sfd.stream);

  if (s->eof || s->write_error) client_free(cl);
}

void set_addr(struct uh_addr *addr, const struct sockaddr_storage *ss) {
  memset(addr, 0, sizeof(*addr));
  addr->family = static_cast<uint8_t>(ss->ss_family);
  if (ss->ss_family == AF_INET6) {
    auto *sin6 = reinterpret_cast<const struct sockaddr_in6 *>(ss);
    addr->port = ntohs(sin6->sin6_port);
    addr->in6 = sin6->sin6_addr;
  } else {
    auto *sin = reinterpret_cast<const struct sockaddr_in *>(ss);
    addr->port = ntohs(sin->sin_port);
    addr->in = sin->sin_addr;
  }
}

// ---- operations for the plug-ins ----

void add_dispatch(struct dispatch_handler *d) { list_add_tail(&d->list, &handlers); }

bool match_prefix(const char *prefix, const char *url) {
  size_t len = strlen(prefix);

  if (strncmp(prefix, url, len) != 0) return false;
  if (len && prefix[len - 1] == '/') return true;
  return url[len] == 0 || url[len] == '/' || url[len] == '?';
}

void block_read(struct client *cl) { ustream_set_read_blocked(cl->us, true); }

void resume_read(struct client *cl) {
  if (cl->state == CLIENT_STATE_CLEANUP) return;
  ustream_set_read_blocked(cl->us, false);
  kick(cl);
}

const char *get_header(struct client *cl, const char *name) {
  struct blob_attr *cur;
  size_t rem;

  blob_for_each_attr(cur, cl->hdr.head, rem) {
    if (!strcasecmp(blobmsg_name(cur), name)) return blobmsg_get_string(cur);
  }
  return nullptr;
}

void close_connection(struct client *cl) { finish_request(cl, false); }

int check_path_info_op(char *path) { return check_path_info(path); }

}  // namespace

const struct uhttpd_ops ops = {
    add_dispatch, match_prefix,     send_header,        body_printf, body_vprintf,
    send_error,   finish_request,   write_body,         block_read,  resume_read,
    get_header,   close_connection, check_path_info_op,
};

bool client_add(int fd) {
  struct sockaddr_storage local, peer;
  socklen_t local_len = sizeof(local), peer_len = sizeof(peer);

  if (n_clients >= conf.max_connections ||
      getsockname(fd, reinterpret_cast<struct sockaddr *>(&local), &local_len) < 0 ||
      getpeername(fd, reinterpret_cast<struct sockaddr *>(&peer), &peer_len) < 0)
    return false;

  auto *cl = static_cast<struct client *>(calloc(1, sizeof(struct client)));
  if (!cl) return false;
  cl->line = static_cast<char *>(malloc(static_cast<size_t>(conf.max_header_size) + 1));
  if (!cl->line) {
    free(cl);
    return false;
  }

  cl->id = ++next_id;
  cl->us = &cl->sfd.stream;
  cl->timeout.cb = client_timeout_cb;
  cl->kick.cb = client_kick_cb;
  cl->watch.cb = client_watch_cb;
  cl->drain.cb = client_drain_cb;
  cl->flush.cb = client_flush_cb;
  set_addr(&cl->srv_addr, &local);
  set_addr(&cl->peer_addr, &peer);
  blob_buf_init(&cl->hdr, 0);

  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  cl->nodelay = 1;

  struct ustream *us = cl->us;
  us->r.buffer_len = kReadBufferLen;
  us->r.max_buffers = kReadBuffers;
  us->w.buffer_len = kWriteBufferLen;
  us->notify_read = client_read_cb;
  us->notify_write = client_write_cb;
  us->notify_state = client_state_cb;
  ustream_fd_init(&cl->sfd, fd);

  list_add_tail(&cl->list, &clients);
  n_clients++;
  reset_request(cl);
  arm_timer(cl, conf.network_timeout);
  return true;
}

int client_count() { return n_clients; }

void client_close_all() {
  while (!list_empty(&clients)) client_free(list_first_entry(&clients, struct client, list));
}

}  // namespace uh
