// SPDX-License-Identifier: ISC
// Arbitrary sequences of method replies for one request, sent by a scripted
// bus peer through the real bus library into the plug-in, which runs in the
// host HTTP server with a client on a socket pair. Replies: data messages
// (text, mode, wrong types, raw bytes), completions with any status, with or
// without a descriptor (pipes left open or closed, regular files, /dev/null,
// sockets), replies for other requests; mixed with event-loop turns, client
// reads, request-body bytes, a second request, hang-ups, a lapsed timer,
// announced removals of objects and failing lookups. The object's lookup
// and the plug-in's watch on removals are answered by this harness
// directly; everything about the call goes over the socket.
//
// Input: byte 0 picks the request; then one operation per byte, each taking
// its arguments from the bytes that follow. After each input every
// connection is closed and the process must hold exactly the descriptors it
// held before.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <arpa/inet.h>

#include "../fdgate.h"
#include "../../host/uhttpd/server.h"

extern "C" {
#include <ubusmsg.h>
}

namespace uh {

struct config conf = {
    nullptr, "/p", "obj",
    600000,  // script_timeout: lapses only when an input says so
    600000,  // network_timeout
    1024,    // max_header_size
    16,      // max_headers
    8,       // max_connections
};

}  // namespace uh

namespace {

constexpr uint32_t kObjectId = 0x4242;

struct input {
  const uint8_t *data;
  size_t size;
  size_t off = 0;

  bool done() const { return off >= size; }
  uint8_t byte() { return off < size ? data[off++] : 0; }
  // up to `max` bytes of the input as they are
  size_t bytes(const uint8_t **out, size_t max) {
    size_t n = byte() % (max + 1);
    if (n > size - off) n = size - off;
    *out = data + off;
    off += n;
    return n;
  }
};

int bus_peer = -1;       // the daemon's end of the plug-in's bus connection
int client_end = -1;     // the HTTP client's end of its connection
int writer = -1;         // a response descriptor's other end, kept open
struct client *current;  // the client whose request went to the plug-in
uint16_t invoke_seq;     // the call of the current request
// Its final status went out: a descriptor sent after it would reach a
// request no longer pending, which the bus library leaves open (as the
// device's does) without telling the plug-in, so the peer sends none.
bool call_over;
bool client_reads = true;

// ---- the bus peer ----

void bus_send(int type, uint16_t seq, uint32_t peer, struct blob_attr *root, int fd) {
  struct ubus_msghdr hdr = {0, static_cast<uint8_t>(type), htons(seq), htonl(peer)};
  struct iovec iov[2] = {{&hdr, sizeof(hdr)}, {root, blob_raw_len(root)}};
  struct msghdr mh = {};
  alignas(struct cmsghdr) char ctl[CMSG_SPACE(sizeof(int))] = {};
  mh.msg_iov = iov;
  mh.msg_iovlen = 2;
  if (fd >= 0) {
    mh.msg_control = ctl;
    mh.msg_controllen = sizeof(ctl);
    struct cmsghdr *cm = CMSG_FIRSTHDR(&mh);
    cm->cmsg_level = SOL_SOCKET;
    cm->cmsg_type = SCM_RIGHTS;
    cm->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(cm), &fd, sizeof(int));
  }
  sendmsg(bus_peer, &mh, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (fd >= 0) close(fd);
}

// Everything the plug-in sent: read and dropped, descriptors closed.
void bus_drain() {
  char buf[65536];
  for (;;) {
    alignas(struct cmsghdr) char ctl[CMSG_SPACE(sizeof(int) * 8)];
    struct iovec iov = {buf, sizeof(buf)};
    struct msghdr mh = {};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = ctl;
    mh.msg_controllen = sizeof(ctl);
    if (recvmsg(bus_peer, &mh, MSG_DONTWAIT | MSG_CMSG_CLOEXEC) <= 0) return;
    for (struct cmsghdr *cm = CMSG_FIRSTHDR(&mh); cm; cm = CMSG_NXTHDR(&mh, cm)) {
      size_t count = (cm->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t i = 0; i < count; i++) {
        int fd;
        memcpy(&fd, CMSG_DATA(cm) + i * sizeof(int), sizeof(int));
        close(fd);
      }
    }
  }
}

void send_status(uint16_t seq, uint32_t peer, int status, int fd) {
  struct blob_buf b = {};
  blob_buf_init(&b, 0);
  blob_put_int32(&b, UBUS_ATTR_STATUS, static_cast<uint32_t>(status));
  bus_send(UBUS_MSG_STATUS, seq, peer, b.head, fd);
  blob_buf_free(&b);
}

bool lookup_fails;
struct ubus_event_handler *removals;  // the plug-in's watch on removed objects

void handle_request(struct client *cl, char *url, struct path_info *pi) {
  bus_drain();
  current = cl;
  uint16_t before = fdgate::state->ctx->request_seq;
  ubus_fd_handle_request(cl, url, pi);
  // a call went out (a send that failed used a number but left no call)
  if (fdgate::state->ctx->request_seq != before && fdgate::dispatch_of(cl)->req) {
    invoke_seq = fdgate::state->ctx->request_seq;
    call_over = false;
  }
}

// ---- reply operations ----

void data_reply(input &in) {
  uint8_t kind = in.byte();
  struct blob_buf b = {};
  blob_buf_init(&b, 0);
  blob_put_int32(&b, UBUS_ATTR_OBJID, kObjectId);

  const uint8_t *raw;
  size_t len = in.bytes(&raw, 64);
  if (kind & 8) {
    // whatever bytes, as the data attribute's payload
    blob_put(&b, UBUS_ATTR_DATA, raw, static_cast<unsigned int>(len));
  } else {
    void *data = blob_nest_start(&b, UBUS_ATTR_DATA);
    if (kind & 1) {
      if (kind & 4) {
        blobmsg_add_u32(&b, "data", static_cast<uint32_t>(len));  // wrong type
      } else {
        char *text = static_cast<char *>(blobmsg_alloc_string_buffer(&b, "data", len + 1));
        memcpy(text, raw, len);
        text[len] = 0;
        blobmsg_add_string_buffer(&b);
      }
    }
    if (kind & 2)
      blobmsg_add_u32(&b, "mode", static_cast<uint32_t>(static_cast<int8_t>(in.byte())));
    if (kind & 16) blobmsg_add_string(&b, "other", "x");
    blob_nest_end(&b, data);
  }
  bus_send(UBUS_MSG_DATA, invoke_seq, kObjectId, b.head, -1);
  blob_buf_free(&b);
}

int status_of(input &in) { return in.byte() % 16 - 1; }  // -1 (tunnel) to 14

// A descriptor for the response, of the kind the input picks.
int response_descriptor(input &in) {
  uint8_t kind = in.byte() % 5;
  const uint8_t *raw;
  size_t len = in.bytes(&raw, 200);
  int fds[2];

  switch (kind) {
    case 0:  // a pipe holding some bytes, its writer gone
    case 1:  // a pipe whose writer stays with us
      if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) < 0) return -1;
      if (len && write(fds[1], raw, len) < 0) {
      }
      if (kind == 1) {
        if (writer >= 0) close(writer);
        writer = fds[1];
      } else {
        close(fds[1]);
      }
      return fds[0];
    case 2: {  // a regular file: the loop cannot watch it
      int fd = memfd_create("response", MFD_CLOEXEC);
      if (fd >= 0 && len && write(fd, raw, len) < 0) {
      }
      if (fd >= 0) lseek(fd, 0, SEEK_SET);
      return fd;
    }
    case 3:
      return open("/dev/null", O_RDONLY | O_CLOEXEC);
    default:  // a socket
      if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) < 0) return -1;
      if (len && write(fds[1], raw, len) < 0) {
      }
      if (writer >= 0) close(writer);
      writer = fds[1];
      return fds[0];
  }
}

void loop_turn() {
  uloop_run_timeout(0);
  if (client_reads) {
    char sink[65536];
    while (read(client_end, sink, sizeof(sink)) > 0) {
    }
  }
  bus_drain();
}

void client_write(const void *data, size_t len) {
  if (client_end >= 0 && len && write(client_end, data, len) < 0) {
  }
}

void run_operation(input &in) {
  const uint8_t *raw;
  size_t len;

  switch (in.byte() % 17) {
    case 0:
      data_reply(in);
      break;
    case 1:
      send_status(invoke_seq, kObjectId, status_of(in), -1);
      call_over = true;
      break;
    case 2: {
      int fd = response_descriptor(in);
      if (fd >= 0 && call_over) close(fd), fd = -1;
      if (fd >= 0) send_status(invoke_seq, kObjectId, status_of(in), fd);
      call_over = true;
      break;
    }
    case 3: {  // a descriptor along with a data message
      int fd = call_over ? -1 : open("/dev/null", O_RDONLY | O_CLOEXEC);
      struct blob_buf b = {};
      blob_buf_init(&b, 0);
      void *data = blob_nest_start(&b, UBUS_ATTR_DATA);
      blobmsg_add_string(&b, "data", "fd");
      blob_nest_end(&b, data);
      bus_send(UBUS_MSG_DATA, invoke_seq, kObjectId, b.head, fd);
      blob_buf_free(&b);
      break;
    }
    case 4: {  // a reply for another request or from another peer
      uint8_t which = in.byte();
      // another request's number, far from any this input's requests get:
      // the next one's would end that call before its own status came
      uint16_t seq = static_cast<uint16_t>(invoke_seq + (which & 1 ? 0x8000 : 0));
      uint32_t peer = which & 2 ? kObjectId + 1 : kObjectId;
      // a descriptor only for this request: the bus library leaves one
      // for a request that is not its own to whoever gave that up
      bool ours = !(which & 3);
      int fd = (which & 4) && ours && !call_over ? response_descriptor(in) : -1;
      send_status(seq, peer, status_of(in), fd);
      if (ours) call_over = true;
      break;
    }
    case 5:
    case 6:
      loop_turn();
      break;
    case 7:
      client_reads = !client_reads;
      break;
    case 8:
      len = in.bytes(&raw, 200);
      client_write(raw, len);
      break;
    case 9:
      len = in.bytes(&raw, 200);
      if (writer >= 0 && len && write(writer, raw, len) < 0) {
      }
      break;
    case 10:
      if (writer >= 0) close(writer);
      writer = -1;
      break;
    case 11:
      if (client_end >= 0) shutdown(client_end, SHUT_WR);
      break;
    case 12:
      if (client_end >= 0) close(client_end);
      client_end = -1;
      break;
    case 13:  // the script timeout lapses (the server lets it pass)
      if (current && uh::client_count()) uloop_timeout_cancel(&current->timeout);
      break;
    case 14:
      client_write("GET /p/again HTTP/1.1\r\n\r\n", 25);
      break;
    case 15: {  // the bus announces that an object went away
      uint8_t which = in.byte();
      if (!removals) break;
      struct blob_buf b = {};
      blob_buf_init(&b, 0);
      if (which & 1) blobmsg_add_u32(&b, "id", which & 2 ? kObjectId : kObjectId + 1);
      if (which & 4) blobmsg_add_string(&b, "path", "obj");
      removals->cb(fdgate::state->ctx, removals, "ubus.object.remove", b.head);
      blob_buf_free(&b);
      break;
    }
    default:
      lookup_fails = !lookup_fails;
      break;
  }
}

// Descriptors with close-on-exec: every one the server, the plug-in, the
// bus library and this harness open. The fuzzer's own (the symbolizer's
// pipes, opened on the way) have none.
int count_fds() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  if (!d) return -1;
  for (struct dirent *e; (e = readdir(d)) != nullptr;) {
    int fd = atoi(e->d_name);
    if (e->d_name[0] != '.' && fd != dirfd(d) && (fcntl(fd, F_GETFD) & FD_CLOEXEC)) n++;
  }
  closedir(d);
  return n;
}

void list_fds() {
  DIR *d = opendir("/proc/self/fd");
  struct dirent *e;
  while (d && (e = readdir(d))) {
    char path[300], target[256];
    snprintf(path, sizeof(path), "/proc/self/fd/%s", e->d_name);
    ssize_t n = readlink(path, target, sizeof(target) - 1);
    target[n > 0 ? n : 0] = 0;
    fprintf(stderr, "  %s -> %s\n", e->d_name, target);
  }
  if (d) closedir(d);
}

// The daemon's side of the connection: accept it and say hello.
void *accept_bus(void *arg) {
  int listener = *static_cast<int *>(arg);
  bus_peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  struct blob_buf b = {};
  blob_buf_init(&b, 0);
  struct ubus_msghdr hdr = {0, UBUS_MSG_HELLO, 0, htonl(0x1234)};
  if (write(bus_peer, &hdr, sizeof(hdr)) < 0 || write(bus_peer, b.head, blob_raw_len(b.head)) < 0) {
  }
  blob_buf_free(&b);
  return nullptr;
}

void set_up() {
  static char path[sizeof(((struct sockaddr_un *)nullptr)->sun_path)];
  char dir[] = "/tmp/fdgate-fuzz-XXXXXX";
  if (!mkdtemp(dir)) abort();
  snprintf(path, sizeof(path), "%s/bus.sock", dir);

  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un sa = {};
  sa.sun_family = AF_UNIX;
  strcpy(sa.sun_path, path);
  if (bind(listener, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) < 0 ||
      listen(listener, 1) < 0)
    abort();
  pthread_t thread;
  pthread_create(&thread, nullptr, accept_bus, &listener);

  uh::conf.ubus_socket = path;
  uloop_init();
  ubus_fd_plugin_init(&uh::ops, &uh::conf);
  pthread_join(thread, nullptr);
  close(listener);
  unlink(path);
  rmdir(dir);
  if (bus_peer < 0) abort();
  fcntl(bus_peer, F_SETFL, O_NONBLOCK);
  ubus_fd_handler.handle_request = handle_request;
  ubus_fd_post_init();
}

const char *const requests[] = {
    "GET /p/x HTTP/1.1\r\n\r\n",
    "POST /p/x HTTP/1.1\r\nContent-Length: 20\r\n\r\n",
    "PUT /p/x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
    "GET /p/x?q=1 HTTP/1.0\r\nConnection: keep-alive\r\n\r\n",
    "HEAD /p/x HTTP/1.1\r\n\r\n",
    "GET /p/x\r\n",
};

}  // namespace

// The object's lookup and the watch on removals answer here, at once, so
// that the bus peer above only has to speak for the method.
extern "C" int ubus_lookup_id(struct ubus_context *, const char *, uint32_t *id) {
  if (lookup_fails) return UBUS_STATUS_NOT_FOUND;
  *id = kObjectId;
  return 0;
}

extern "C" int ubus_register_event_handler(struct ubus_context *, struct ubus_event_handler *ev,
                                           const char *) {
  removals = ev;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static int baseline = [] {
    set_up();
    return count_fds();
  }();

  input in{data, size};
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) < 0) return 0;
  if (!uh::client_add(sv[0])) {
    close(sv[0]);
    close(sv[1]);
    return 0;
  }
  client_end = sv[1];
  client_reads = true;
  lookup_fails = false;
  current = nullptr;
  const char *request = requests[in.byte() % (sizeof(requests) / sizeof(requests[0]))];
  client_write(request, strlen(request));
  loop_turn();

  while (!in.done()) run_operation(in);
  for (int i = 0; i < 4; i++) loop_turn();

  uh::client_close_all();
  current = nullptr;
  if (writer >= 0) close(writer);
  writer = -1;
  if (client_end >= 0) close(client_end);
  client_end = -1;
  // replies still in the socket reach no request; their descriptors close
  loop_turn();
  loop_turn();

  int now = count_fds();
  if (now != baseline) {
    fprintf(stderr, "descriptors: %d after the input, %d before\n", now, baseline);
    list_fds();
    abort();
  }
  return 0;
}
