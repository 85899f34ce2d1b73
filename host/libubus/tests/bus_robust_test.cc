// SPDX-License-Identifier: ISC
// Bad input and vanishing peers: garbage on the socket, clients killed in
// the middle of a call, slow readers, the daemon going away.
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "bus_fixture.h"

namespace bus_test {
namespace {

class BusRobust : public BusTest {};

using Bytes = std::string;

Bytes be32(uint32_t v) {
  v = htonl(v);
  return Bytes(reinterpret_cast<const char*>(&v), 4);
}

// One attribute: header word (id, length with header) and padded payload.
Bytes attr(uint8_t id, const Bytes& payload, uint32_t len_override = 0) {
  uint32_t len = len_override ? len_override : uint32_t(4 + payload.size());
  Bytes out = be32(uint32_t(id) << 24 | len) + payload;
  out.resize((out.size() + 3) & ~size_t(3), '\0');
  return out;
}

Bytes message(uint8_t version, uint8_t type, const Bytes& attrs, uint16_t seq = 1,
              uint32_t peer = 0) {
  Bytes hdr = {char(version), char(type), char(seq >> 8), char(seq & 0xff)};
  return hdr + be32(peer) + be32(uint32_t(4 + attrs.size())) + attrs;
}

int raw_connect(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  snprintf(sa.sun_path, sizeof(sa.sun_path), "%s", path.c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads until the peer closes the connection; false if it stays open.
bool closed_by_peer(int fd, int timeout_ms) {
  char buf[4096];
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
  }
  return false;
}

TEST_F(BusRobust, GarbageSendersAreDroppedWhileOthersCarryOn) {
  start_peer({"serve", "test.a"});
  auto* ctx = connect();
  uint32_t id = lookup(ctx, "test.a");
  const Bytes objid = attr(UBUS_ATTR_OBJID, be32(id));
  const Bytes method = attr(UBUS_ATTR_METHOD, Bytes("echo", 5));
  struct Case {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"HTTP request", "GET / HTTP/1.1\r\nHost: x\r\n\r\n"},
      {"unknown protocol version", message(1, UBUS_MSG_LOOKUP, "")},
      {"root shorter than its header", Bytes("\0\x04\0\x01\0\0\0\0\0\0\0\x02", 12)},
      {"attribute longer than the message",
       message(0, UBUS_MSG_INVOKE, objid + attr(UBUS_ATTR_METHOD, "echo", 40))},
      {"object id of three bytes",
       message(0, UBUS_MSG_INVOKE, attr(UBUS_ATTR_OBJID, "abc") + method)},
      {"method name without its NUL",
       message(0, UBUS_MSG_INVOKE, objid + attr(UBUS_ATTR_METHOD, "echo"))},
      {"argument string without its NUL",
       message(0, UBUS_MSG_INVOKE,
               objid + method +
                   attr(UBUS_ATTR_DATA, be32(0x83000000u | 12) + Bytes("\0\x01x\0abcd", 8)))},
  };
  for (const Case& c : cases) {
    int fd = raw_connect(sock_);
    ASSERT_GE(fd, 0);
    char hello[12];
    ASSERT_EQ(recv(fd, hello, sizeof(hello), MSG_WAITALL), 12) << "no greeting";
    ASSERT_EQ(send(fd, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL), ssize_t(c.bytes.size()));
    EXPECT_TRUE(closed_by_peer(fd, 2000)) << c.what << ": the daemon kept the connection";
    close(fd);
    Msg m;
    m.str("after", c.what);
    CallResult r = call(ctx, id, "echo", m.head());
    EXPECT_EQ(r.status, 0) << "after " << c.what;
  }
}

TEST_F(BusRobust, ClientVanishingInsideAMessageLeavesNoTrace) {
  auto* ctx = connect();
  int fd = raw_connect(sock_);
  ASSERT_GE(fd, 0);
  Bytes partial =
      message(0, UBUS_MSG_LOOKUP, attr(UBUS_ATTR_OBJPATH, Bytes(1000, 'x') + '\0')).substr(0, 100);
  ASSERT_EQ(send(fd, partial.data(), partial.size(), MSG_NOSIGNAL), ssize_t(partial.size()));
  close(fd);
  expect_bus_alive(ctx);
  // a well-formed raw client is still served
  fd = raw_connect(sock_);
  char buf[64];
  ASSERT_EQ(recv(fd, buf, 12, MSG_WAITALL), 12);
  Bytes ping = message(0, UBUS_MSG_PING, "", 9);
  ASSERT_EQ(send(fd, ping.data(), ping.size(), MSG_NOSIGNAL), ssize_t(ping.size()));
  ASSERT_EQ(recv(fd, buf, 12, MSG_WAITALL), 12);
  EXPECT_EQ(buf[1], UBUS_MSG_DATA) << "ping not answered";
  close(fd);
}

// As on the device: the daemon tells a caller nothing when the server of
// its call goes away; only the caller's own time-out ends the call.
TEST_F(BusRobust, CallerOfAServerThatDiesMidCallHearsNothing) {
  auto* ctx = connect();
  {
    testkit::Child& server = start_peer({"serve", "test.killed"});
    struct State {
      struct ubus_request req;
      int status = -999;
    } st;
    Msg m;
    ASSERT_EQ(ubus_invoke_async(ctx, lookup(ctx, "test.killed"), "hang", m.head(), &st.req), 0);
    st.req.complete_cb = [](struct ubus_request* r, int ret) {
      container_of(r, State, req)->status = ret;
    };
    ubus_complete_request_async(ctx, &st.req);
    ASSERT_TRUE(wait_output(server, "hanging"));
    server.signal(SIGKILL);
    uint32_t id;
    ASSERT_TRUE(run_until([&] { return ubus_lookup_id(ctx, "test.killed", &id) != 0; }, 3000))
        << "the object outlived its client";
    run_until([] { return false; }, 500);
    EXPECT_EQ(st.status, -999) << "the caller was told " << ubus_strerror(st.status);
    ubus_abort_request(ctx, &st.req);
  }
  {
    start_peer({"serve", "test.exits"});
    Msg m;
    auto t0 = std::chrono::steady_clock::now();
    CallResult r = call(ctx, lookup(ctx, "test.exits"), "exit", m.head(), 700);
    EXPECT_EQ(r.status, UBUS_STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(650))
        << "answered before the time-out";
  }
  for (const char* path : {"test.killed", "test.exits"}) {
    uint32_t id;
    EXPECT_EQ(ubus_lookup_id(ctx, path, &id), UBUS_STATUS_NOT_FOUND)
        << path << " outlived its client";
  }
}

TEST_F(BusRobust, SlowReaderDoesNotHoldUpOthers) {
  start_peer({"serve", "test.a"});
  auto* slow = connect();
  auto* sender = connect();
  static int received, out_of_order;
  received = out_of_order = 0;
  struct ubus_event_handler ev = {};
  ev.cb = [](struct ubus_context*, struct ubus_event_handler*, const char*, struct blob_attr* msg) {
    if (int_field(msg, "seq") != received) out_of_order++;
    received++;
  };
  ASSERT_EQ(ubus_register_event_handler(slow, &ev, "flood"), 0);
  uloop_fd_delete(&slow->sock);  // it stops reading

  constexpr int kEvents = 300;  // 300 x 32 KiB, far beyond the socket buffers
  const std::string filler(32 * 1024, 'f');
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < kEvents; i++) {
    Msg m;
    m.u32("seq", uint32_t(i)).str("filler", filler.c_str());
    ASSERT_EQ(ubus_send_event(sender, "flood", m.head()), 0);
  }
  Msg m;
  EXPECT_EQ(call(sender, lookup(sender, "test.a"), "echo", m.head(), 2000).status, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));

  ubus_add_uloop(slow);
  ASSERT_TRUE(run_until([&] { return received == kEvents; }, 20000)) << "received " << received;
  EXPECT_EQ(out_of_order, 0);
}

// Losing the daemon ends the loop of a plain context's owner, and a
// synchronous wait with CONNECTION_FAILED; an asynchronous request ends with
// TIMEOUT (the older library's way, no status at all: bus_loss_test).
TEST_F(BusRobust, DaemonGoingAwayEndsTheLoop) {
  testkit::use_bus_generation(testkit::BusGeneration::kCurrent);
  testkit::Child& server = start_peer({"serve", "test.a"});
  auto* ctx = connect();
  auto* watcher = connect();
  static bool lost;
  lost = false;
  watcher->connection_lost = [](struct ubus_context*) { lost = true; };
  struct State {
    struct ubus_request req;
    int status = -999;
  } st;
  Msg m;
  ASSERT_EQ(ubus_invoke_async(ctx, lookup(ctx, "test.a"), "hang", m.head(), &st.req), 0);
  st.req.complete_cb = [](struct ubus_request* r, int ret) {
    container_of(r, State, req)->status = ret;
  };
  ubus_complete_request_async(ctx, &st.req);
  ASSERT_TRUE(wait_output(server, "hanging"));

  daemon_.signal(SIGKILL);
  static bool guard_fired;
  guard_fired = false;
  struct uloop_timeout guard = {};
  guard.cb = [](struct uloop_timeout*) {
    guard_fired = true;
    uloop_end();
  };
  uloop_timeout_set(&guard, 5000);
  uloop_run();  // the default connection_lost of ctx ends it
  uloop_timeout_cancel(&guard);
  EXPECT_FALSE(guard_fired) << "the loop did not end when the bus went away";
  run_until([&] { return lost; }, 2000);
  EXPECT_TRUE(lost) << "connection_lost not called";
  EXPECT_EQ(st.status, UBUS_STATUS_TIMEOUT)
      << "the async call was told " << ubus_strerror(st.status);
  EXPECT_EQ(call(ctx, 1234, "echo", m.head(), 1000).status, UBUS_STATUS_CONNECTION_FAILED);
}

TEST_F(BusRobust, DaemonKeepsNoDescriptorsOfFinishedClients) {
  start_peer({"serve", "test.a"});
  auto* ctx = connect();
  expect_bus_alive(ctx);
  int before = testkit::count_fds(daemon_.pid());
  for (int i = 0; i < 10; i++) {
    struct ubus_context* c = ubus_connect(sock_.c_str());
    ASSERT_NE(c, nullptr);
    uint32_t id = lookup(c, "test.a");
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    close(p[1]);
    Msg m;
    m.str("data", "x");
    EXPECT_EQ(call(c, id, "fd_in", m.head(), 3000, p[0]).status, 0);
    EXPECT_EQ(call(c, id, "fd_out", m.head()).status, 0);
    ubus_free(c);
  }
  EXPECT_TRUE(
      testkit::wait_until([&] { return testkit::count_fds(daemon_.pid()) == before; }, 3000))
      << "daemon descriptors: before " << before << ", after " << testkit::count_fds(daemon_.pid());
}

// A stand-in daemon that greets, reads one request and answers with `reply`
// (built for the request's seq and peer).
class FakeDaemon {
 public:
  FakeDaemon(const std::string& path, std::function<Bytes(uint16_t, uint32_t)> reply) {
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof(sa.sun_path), "%s", path.c_str());
    bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    listen(listen_fd_, 1);
    thread_ = std::thread([this, reply] {
      int fd = accept(listen_fd_, nullptr, nullptr);
      Bytes hello = message(0, UBUS_MSG_HELLO, "", 0, 0x1234);
      send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);
      char hdr[12];
      if (recv(fd, hdr, 12, MSG_WAITALL) == 12) {
        uint32_t len;
        memcpy(&len, hdr + 8, 4);
        std::string body((ntohl(len) & 0xffffff) - 4, '\0');
        recv(fd, body.data(), body.size(), MSG_WAITALL);
        uint16_t seq = uint16_t(uint8_t(hdr[2]) << 8 | uint8_t(hdr[3]));
        uint32_t peer;
        memcpy(&peer, hdr + 4, 4);
        Bytes out = reply(seq, ntohl(peer));
        send(fd, out.data(), out.size(), MSG_NOSIGNAL);
      }
      shutdown(fd, SHUT_WR);
      char c;
      recv(fd, &c, 1, 0);  // until the client hangs up
      close(fd);
    });
  }
  ~FakeDaemon() {
    thread_.join();
    close(listen_fd_);
  }

 private:
  int listen_fd_;
  std::thread thread_;
};

TEST_F(BusRobust, ClientReportsAnErrorForMalformedReplies) {
  struct Case {
    const char* what;
    std::function<Bytes(uint16_t, uint32_t)> reply;
    int expected;
  } cases[] = {
      {"unknown protocol version",
       [](uint16_t seq, uint32_t peer) {
         return message(3, UBUS_MSG_STATUS, attr(UBUS_ATTR_STATUS, be32(0)), seq, peer);
       },
       UBUS_STATUS_CONNECTION_FAILED},
      {"status of two bytes",
       [](uint16_t seq, uint32_t peer) {
         return message(0, UBUS_MSG_STATUS, attr(UBUS_ATTR_STATUS, "ab"), seq, peer);
       },
       UBUS_STATUS_INVALID_ARGUMENT},
      {"message over 1 MiB (a valid status with a long path)",
       [](uint16_t seq, uint32_t peer) {
         return message(0, UBUS_MSG_STATUS,
                        attr(UBUS_ATTR_STATUS, be32(0)) +
                            attr(UBUS_ATTR_OBJPATH, Bytes(kMaxMsgLen, 'p') + '\0'),
                        seq, peer);
       },
       UBUS_STATUS_CONNECTION_FAILED},
      {"message of exactly 1 MiB",
       [](uint16_t seq, uint32_t peer) {
         // root header 4 + status 8 + path header 4 + text and its NUL
         return message(0, UBUS_MSG_STATUS,
                        attr(UBUS_ATTR_STATUS, be32(0)) +
                            attr(UBUS_ATTR_OBJPATH, Bytes(kMaxMsgLen - 17, 'p') + '\0'),
                        seq, peer);
       },
       UBUS_STATUS_OK},
      {"message cut short",
       [](uint16_t seq, uint32_t peer) {
         return message(0, UBUS_MSG_STATUS, attr(UBUS_ATTR_STATUS, be32(0)), seq, peer)
             .substr(0, 14);
       },
       UBUS_STATUS_CONNECTION_FAILED},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string path = dir_ / ("fake" + std::to_string(n++));
    FakeDaemon fake(path, c.reply);
    struct ubus_context* ctx = ubus_connect(path.c_str());
    ASSERT_NE(ctx, nullptr) << c.what;
    ctx->connection_lost = nullptr;
    Msg m;
    EXPECT_EQ(ubus_lookup(ctx, "x", nullptr, nullptr), c.expected) << c.what;
    ubus_free(ctx);
  }
}

TEST_F(BusRobust, ReconnectPublishesTheObjectsAgain) {
  auto* ctx = connect();
  ctx->connection_lost = nullptr;
  static const struct ubus_method methods[] = {
      UBUS_METHOD_NOARG(
          "ping", [](struct ubus_context* c, struct ubus_object*, struct ubus_request_data* req,
                     const char*, struct blob_attr* msg) { return ubus_send_reply(c, req, msg); }),
  };
  static struct ubus_object_type type = UBUS_OBJECT_TYPE("again", methods);
  struct ubus_object obj = {};
  obj.name = "svc.again";
  obj.type = &type;
  obj.methods = methods;
  obj.n_methods = 1;
  ASSERT_EQ(ubus_add_object(ctx, &obj), 0);

  daemon_.signal(SIGKILL);
  daemon_.wait(2000);
  daemon_ = testkit::Child({testkit::bin_path("ubusd"), "-s", sock_});
  ASSERT_TRUE(testkit::wait_until([&] { return ubus_reconnect(ctx, sock_.c_str()) == 0; }));
  ubus_add_uloop(ctx);

  struct ubus_context* other = ubus_connect(sock_.c_str());
  ASSERT_NE(other, nullptr);
  uint32_t id = 0;
  EXPECT_EQ(ubus_lookup_id(other, "svc.again", &id), 0) << "the object was not published again";
  EXPECT_EQ(id, obj.id);
  // served through the new connection
  static int status;
  status = -999;
  struct ubus_request req;
  Msg m;
  m.str("x", "y");
  ASSERT_EQ(ubus_invoke_async(other, id, "ping", m.head(), &req), 0);
  req.complete_cb = [](struct ubus_request*, int ret) { status = ret; };
  ubus_complete_request_async(other, &req);
  ubus_add_uloop(other);
  EXPECT_TRUE(run_until([] { return status != -999; })) << "no answer";
  EXPECT_EQ(status, 0);
  ubus_free(other);
}

}  // namespace
}  // namespace bus_test
