// SPDX-License-Identifier: ISC
// Registration with the HTTP server, the bus connection, and the building
// and sending of the bus call for one request.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <string_view>

#include "fdgate.h"

namespace fdgate {

const struct uhttpd_ops *ops;
struct config *conf;
struct ubus_fd_state *state;

namespace {

constexpr std::array<const char *, 7> method_names = {
    "GET", "POST", "HEAD", "OPTIONS", "PUT", "PATCH", "DELETE",
};
constexpr std::array<bool, 7> method_has_body = {
    false, true, false, false, true, true, false,
};

void upper_case(char *name) {
  for (; *name; name++) {
    if (*name >= 'a' && *name <= 'z') *name = static_cast<char>(*name - 'a' + 'A');
  }
}

char *header_name(struct blob_attr *attr) { return const_cast<char *>(blobmsg_name(attr)); }

// First pass: upper-case every name, take out CONTENT-LENGTH and
// CONTENT-TYPE (the last of each counts).
void scan_headers(struct client *cl, int *content_length, const char **content_type) {
  struct blob_attr *cur;
  size_t rem;

  blob_for_each_attr(cur, cl->hdr.head, rem) {
    char *name = header_name(cur);

    upper_case(name);
    std::string_view view(name);
    if (view == "CONTENT-LENGTH") {
      *content_length = atoi(blobmsg_get_string(cur));
      name[0] = 0;
    } else if (view == "CONTENT-TYPE") {
      *content_type = blobmsg_get_string(cur);
      name[0] = 0;
    }
  }
}

// Second pass: one string per name, the values of duplicates joined by ",".
void add_headers(struct client *cl, struct blob_buf *b) {
  struct blob_attr *cur;
  size_t rem;

  void *table = blobmsg_open_table(b, "headers");
  blob_for_each_attr(cur, cl->hdr.head, rem) {
    char *name = header_name(cur);
    if (!name[0]) continue;

    const char *first = blobmsg_get_string(cur);
    size_t cap = strlen(first) + 1;
    size_t len = 0;
    char *text = static_cast<char *>(blobmsg_alloc_string_buffer(b, name, cap));
    bool growing = text != nullptr;

    if (!text)
      blobmsg_add_string(b, name, first);
    else if (first[0])
      len = strlen(strcpy(text, first));

    // later headers of the same name, from the one after cur on
    struct blob_attr *dup = blob_next(cur);
    size_t dup_rem = rem - blob_pad_len(cur);
    for (; dup_rem >= sizeof(struct blob_attr) && blob_pad_len(dup) <= dup_rem;
         dup_rem -= blob_pad_len(dup), dup = blob_next(dup)) {
      char *dup_name = header_name(dup);
      if (!dup_name[0] || strcmp(dup_name, name) != 0) continue;
      dup_name[0] = 0;

      const char *value = blobmsg_get_string(dup);
      size_t value_len = strlen(value);
      if (!growing || !value_len) continue;

      size_t need = len + (len ? 1 : 0) + value_len + 1;
      if (need > cap) {
        char *grown = static_cast<char *>(blobmsg_realloc_string_buffer(b, need));
        if (!grown) {
          growing = false;  // emit what was collected
          continue;
        }
        text = grown;
        cap = need;
      }
      if (len) text[len++] = ',';
      memcpy(text + len, value, value_len);
      len += value_len;
    }

    if (text) {
      text[len] = 0;
      blobmsg_add_string_buffer(b);
    }
  }
  blobmsg_close_table(b, table);
}

void add_address(struct blob_buf *b, const struct uh_addr *addr) {
  char text[INET6_ADDRSTRLEN];

  if (!inet_ntop(addr->family, &addr->in6, text, sizeof(text))) text[0] = 0;
  blobmsg_add_string(b, nullptr, text);
}

void add_env(struct client *cl, struct blob_buf *b, char *url, int content_length,
             const char *content_type) {
  size_t prefix_len = strlen(conf->ubus_fd_prefix);

  void *array = blobmsg_open_array(b, "env");
  blobmsg_add_string(b, nullptr, method_names[cl->request.method]);
  blobmsg_add_string(b, nullptr, url);

  char *query = strchr(url, '?');
  if (query) {
    *query++ = 0;
    blobmsg_add_string(b, nullptr, query);
  } else {
    blobmsg_add_u8(b, nullptr, false);
  }

  // the remainder lies inside the URL unless a "?" cut it shorter
  if (query && strlen(url) <= prefix_len) {
    blobmsg_add_u8(b, nullptr, false);
  } else {
    char *path_info = url + prefix_len;
    if (ops->check_path_info(path_info) < 0)
      blobmsg_add_u8(b, nullptr, false);
    else
      blobmsg_add_string(b, nullptr, path_info);
  }

  blobmsg_add_double(b, nullptr, cl->request.version / 10.0 + 0.9);
  blobmsg_add_string(b, nullptr, http_version_strings[cl->request.version]);
  blobmsg_add_u8(b, nullptr, cl->tls);
  add_address(b, &cl->peer_addr);
  blobmsg_add_u32(b, nullptr, cl->peer_addr.port);
  add_address(b, &cl->srv_addr);
  blobmsg_add_u32(b, nullptr, cl->srv_addr.port);

  if (content_length >= 0)
    blobmsg_add_u32(b, nullptr, static_cast<uint32_t>(content_length));
  else
    blobmsg_add_u8(b, nullptr, cl->request.body_without_length);

  if (content_type)
    blobmsg_add_string(b, nullptr, content_type);
  else
    blobmsg_add_u8(b, nullptr, false);
  blobmsg_close_array(b, array);
}

// Hands the sent call over to the response relay, which owns it from now.
void start_relay(struct client *cl, struct ubus_request *req, ubus_fd_relay *relay, int body_fd) {
  ubus_fd_dispatch *d = dispatch_of(cl);

  d->req = req;
  d->relay = relay;
  relay->cl = cl;
  relay->file = -1;
  memset(&d->response, 0, sizeof(d->response));
  d->response.fd.fd = -1;
  if (body_fd >= 0)
    ustream_fd_init(&d->body, body_fd);
  else
    d->body.fd.fd = -1;

  cl->dispatch.data_send = ubus_fd_data_send;
  cl->dispatch.data_done = ubus_fd_data_done;
  cl->dispatch.close_fds = ubus_fd_close_fds;
  cl->dispatch.free = ubus_fd_free;

  req->data_cb = ubus_fd_data_cb;
  req->fd_cb = ubus_fd_fd_cb;
  req->complete_cb = ubus_fd_complete_cb;
  req->priv = cl;
  ubus_complete_request_async(state->ctx, req);
  call_started(cl, req);
}

// What a request holds until its call is sent; whatever is still held
// when the set-up stops is released on the way out.
struct discard_call {
  void operator()(struct ubus_request *req) const { call_discard(req); }
};
struct free_relay {
  void operator()(ubus_fd_relay *relay) const { free(relay); }
};

class message_buf {
 public:
  message_buf() { blob_buf_init(&buf_, 0); }
  ~message_buf() { blob_buf_free(&buf_); }
  message_buf(const message_buf &) = delete;
  message_buf &operator=(const message_buf &) = delete;
  struct blob_buf *get() {
    return &buf_;
  }

 private:
  struct blob_buf buf_ = {};
};

class body_pipe {
 public:
  body_pipe() = default;
  ~body_pipe() {
    for (int fd : fds_) {
      if (fd >= 0) close(fd);
    }
  }
  body_pipe(const body_pipe &) = delete;
  body_pipe &operator=(const body_pipe &) = delete;

  bool open() { return pipe2(fds_.data(), O_CLOEXEC) == 0; }
  int read_end() const { return fds_[0]; }
  // The bus library sent (and closed) the read end; the write end is the
  // caller's from now.
  int hand_over() {
    int write_end = fds_[1];
    fds_ = {-1, -1};
    return write_end;
  }

 private:
  std::array<int, 2> fds_ = {-1, -1};  // read end, write end
};

}  // namespace
}  // namespace fdgate

using namespace fdgate;

extern "C" {

const char *http_version_strings[3] = {"HTTP/0.9", "HTTP/1.0", "HTTP/1.1"};

struct ubus_fd_state *uh_ubus_fd_init(void) {
  auto *st = static_cast<struct ubus_fd_state *>(calloc(1, sizeof(struct ubus_fd_state)));
  if (!st) {
    fputs("Unable to allocate memory for ubus-fd state\n", stderr);
    exit(1);
  }

  st->ctx = ubus_connect(conf->ubus_socket);
  if (!st->ctx) {
    fputs("Unable to connect to ubus socket\n", stderr);
    exit(1);
  }
  st->ctx->connection_lost = bus_connection_lost;
  return st;
}

bool ubus_fd_check_url(const char *url) { return ops->match_prefix(conf->ubus_fd_prefix, url); }

void ubus_fd_handle_request(struct client *cl, char *url, struct path_info *) {
  std::unique_ptr<struct ubus_request, discard_call> req(call_new());
  std::unique_ptr<ubus_fd_relay, free_relay> relay(
      static_cast<ubus_fd_relay *>(calloc(1, sizeof(ubus_fd_relay))));
  if (!req || !relay) {
    ops->send_error(cl, 500, "Internal Server Error", "Out of memory\n");
    return;
  }

  memset(cl->dispatch.priv, 0, sizeof(cl->dispatch.priv));
  message_buf msg;
  uint32_t object_id;
  if (bus_away() || lookup_object(&object_id)) {
    ops->send_error(cl, 500, "Internal Server Error", "Object inaccessible\n");
    return;
  }

  body_pipe body;
  if ((cl->request.transfer_chunked || method_has_body[cl->request.method]) && !body.open()) {
    ops->send_error(cl, 500, "Internal Server Error", "Failed to create pipe: %s\n",
                    strerror(errno));
    return;
  }

  int content_length = -1;
  const char *content_type = nullptr;
  scan_headers(cl, &content_length, &content_type);
  add_headers(cl, msg.get());
  add_env(cl, msg.get(), url, content_length, content_type);

  if (ubus_invoke_async_fd(state->ctx, object_id, "request", msg.get()->head, req.get(),
                           body.read_end())) {
    ops->send_error(cl, 500, "Internal Server Error", "Unable to invoke method\n");
    return;
  }
  start_relay(cl, req.release(), relay.release(), body.hand_over());
}

void ubus_fd_post_init(void) { uloop_fd_add(&state->ctx->sock, ULOOP_READ | ULOOP_BLOCKING); }

int ubus_fd_plugin_init(const struct uhttpd_ops *server_ops, struct config *server_conf) {
  ops = server_ops;
  conf = server_conf;
  state = uh_ubus_fd_init();
  ops->add_dispatch(&ubus_fd_handler);
  return 0;
}

struct dispatch_handler ubus_fd_handler = {
    {nullptr, nullptr}, false, ubus_fd_check_url, nullptr, ubus_fd_handle_request,
};

struct uhttpd_plugin uhttpd_plugin = {
    {nullptr, nullptr},
    ubus_fd_plugin_init,
    ubus_fd_post_init,
};

}  // extern "C"
