// SPDX-License-Identifier: ISC
// The plug-in against a recording stand-in of the server's operations, with
// the real bus daemon and request method server: exact finish/error calls,
// the no-delay switch, body flow control, release and child clean-up.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "../fdgate.h"
#include "request.h"
#include "testkit.h"

// Every object lookup of the plug-in passes here on its way to the bus
// library, counted.
int lookups;

extern "C" int ubus_lookup_id(struct ubus_context *ctx, const char *path, uint32_t *id) {
  using lookup_fn = int (*)(struct ubus_context *, const char *, uint32_t *);
  static auto real = reinterpret_cast<lookup_fn>(dlsym(RTLD_NEXT, "ubus_lookup_id"));
  lookups++;
  return real(ctx, path, id);
}

namespace {

struct recorder {
  std::string body;
  int finish_calls = 0;
  bool finish_keep = false;
  int error_code = 0;
  std::string error_reason, error_body;
  int resume_calls = 0;
  struct dispatch_handler *handler = nullptr;
};

recorder rec;

void rec_add_dispatch(struct dispatch_handler *d) { rec.handler = d; }

bool rec_match_prefix(const char *prefix, const char *url) {
  return strncmp(prefix, url, strlen(prefix)) == 0;
}

// Like the server: the request ends, then its handler is released.
void release(struct client *cl) {
  void (*free_cb)(struct client *) = cl->dispatch.free;
  cl->dispatch.free = nullptr;
  if (free_cb) free_cb(cl);
}

void rec_send_error(struct client *cl, int code, const char *summary, const char *format, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, format);
  vsnprintf(buf, sizeof(buf), format, ap);
  va_end(ap);
  rec.error_code = code;
  rec.error_reason = summary;
  rec.error_body = buf;
  release(cl);
}

void rec_finish_request(struct client *cl, bool keep) {
  rec.finish_calls++;
  rec.finish_keep = keep;
  release(cl);
}

void rec_write_body(struct client *, const void *data, int len) {
  rec.body.append(static_cast<const char *>(data), static_cast<size_t>(len));
}

void rec_resume_read(struct client *) { rec.resume_calls++; }

int rec_check_path_info(char *) { return 0; }

const struct uhttpd_ops rec_ops = {
    rec_add_dispatch,    rec_match_prefix, nullptr, nullptr,         nullptr, rec_send_error,
    rec_finish_request,  rec_write_body,   nullptr, rec_resume_read, nullptr, nullptr,
    rec_check_path_info,
};

bool run_until(const std::function<bool()> &pred, int timeout_ms = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!pred() && std::chrono::steady_clock::now() < deadline) uloop_run_timeout(10);
  return pred();
}

int open_fds() { return testkit::count_fds(getpid()); }

using request_method::pattern;

int pending_calls() {
  int n = 0;
  struct ubus_request *req;
  list_for_each_entry(req, &fdgate::state->ctx->requests, list) n++;
  return n;
}

bool is_pending(struct ubus_request *wanted) {
  struct ubus_request *req;
  list_for_each_entry(req, &fdgate::state->ctx->requests, list) {
    if (req == wanted) return true;
  }
  return false;
}

// A method server of the test's own, on the test's event loop: its object
// can be registered again (under a new id) while its server lives on.
struct own_method {
  struct ubus_context *ctx = nullptr;
  struct ubus_object object = {};
  struct ubus_request_data held = {};
  int calls = 0;
  bool defers = true;  // else: status 0 at once, no descriptor
};

own_method *own;

int own_request(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
                const char *, struct blob_attr *) {
  own->calls++;
  if (own->defers) ubus_defer_request(ctx, req, &own->held);
  return 0;
}

const struct ubus_method own_methods[] = {{"request", own_request, 0, 0, nullptr, 0}};
struct ubus_object_type own_type = {"own", 0, own_methods, 1};

class RelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sock_ = dir_ / "ubus.sock";
    ubusd_ = testkit::Child({testkit::bus_daemon_program(), "-s", sock_});
    ASSERT_TRUE(testkit::wait_listening(sock_));
    testkit::SpawnOptions opts;
    opts.capture_output = true;
    server_ = testkit::Child({testkit::bin_path("uh_request_server"), "-s", sock_, "-o", "ubus-fd"},
                             opts);
    ASSERT_TRUE(
        testkit::wait_until([&] { return server_.output().find("ready") != std::string::npos; }));

    conf_.ubus_socket = sock_.c_str();
    conf_.ubus_fd_prefix = "/p";
    conf_.ubus_fd_object = "ubus-fd";
    uloop_init();
    ASSERT_EQ(ubus_fd_plugin_init(&rec_ops, &conf_), 0);
    ubus_fd_post_init();
    ASSERT_EQ(rec.handler, &ubus_fd_handler);

    // a real TCP connection for the no-delay option
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sin);
    ASSERT_EQ(bind(listener, reinterpret_cast<struct sockaddr *>(&sin), sizeof(sin)), 0);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<struct sockaddr *>(&sin), &len);
    peer_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(peer_, reinterpret_cast<struct sockaddr *>(&sin), sizeof(sin)), 0);
    int sock = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);

    cl_ = static_cast<struct client *>(calloc(1, sizeof(struct client)));
    cl_->sfd.fd.fd = sock;
    cl_->us = &cl_->sfd.stream;
    cl_->peer_addr.family = AF_INET;
    cl_->srv_addr.family = AF_INET;
    cl_->request.version = UH_HTTP_VER_1_1;
    int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    cl_->nodelay = 1;
    blob_buf_init(&cl_->hdr, 0);
    blobmsg_add_string(&cl_->hdr, "Host", "test");
    rec = recorder{std::string(), 0, false, 0, std::string(), std::string(), 0, rec.handler};
  }

  void TearDown() override {
    if (own_.ctx) ubus_free(own_.ctx);
    own = nullptr;
    if (!cl_) return;
    release(cl_);
    close(cl_->sfd.fd.fd);
    close(peer_);
    blob_buf_free(&cl_->hdr);
    free(cl_);
  }

  void dispatch(enum http_method method, const char *url) {
    url_ = url;
    cl_->request.method = method;
    ubus_fd_handle_request(cl_, url_.data(), nullptr);
  }

  bool ended() const { return rec.finish_calls || rec.error_code; }

  // The object "own" served by the test itself; the plug-in calls it.
  void serve_own_object() {
    own = &own_;
    own_type.id = 0;
    own_.ctx = ubus_connect(sock_.c_str());
    ASSERT_NE(own_.ctx, nullptr);
    ubus_add_uloop(own_.ctx);
    own_.object.name = "own";
    own_.object.type = &own_type;
    own_.object.methods = own_methods;
    own_.object.n_methods = 1;
    ASSERT_EQ(ubus_add_object(own_.ctx, &own_.object), 0);
    conf_.ubus_fd_object = "own";
  }

  // Its object removed and added again: another id, the same server.
  void register_own_again() {
    uint32_t old_id = own_.object.id;
    ASSERT_EQ(ubus_remove_object(own_.ctx, &own_.object), 0);
    own_type.id = 0;  // the type went with its last object
    ASSERT_EQ(ubus_add_object(own_.ctx, &own_.object), 0);
    ASSERT_NE(own_.object.id, old_id) << "the daemon gave the object its old id again";
  }

  void reset_recorder() {
    rec = recorder{std::string(), 0, false, 0, std::string(), std::string(), 0, rec.handler};
  }

  int socket_nodelay() {
    int value = -1;
    socklen_t len = sizeof(value);
    getsockopt(cl_->sfd.fd.fd, IPPROTO_TCP, TCP_NODELAY, &value, &len);
    return value;
  }

  testkit::TempDir dir_{"relay"};
  std::string sock_;
  testkit::Child ubusd_, server_;
  struct config conf_ = {};
  struct client *cl_ = nullptr;
  int peer_ = -1;
  std::string url_;
  own_method own_;
};

TEST_F(RelayTest, HowTheMethodAnswersEndsTheRequest) {
  struct end_case {
    const char *url;
    int finish_calls;
    bool keep;
    int error;
    std::string body;
  };
  const end_case cases[] = {
      {"/p/five", 1, true, 0, "hello"},
      {"/p/status0", 1, true, 0, ""},
      {"/p/fail", 1, false, 0, ""},
      {"/p/data?text=x", 1, true, 0, "x"},
      {"/p/data/empty", 1, true, 0, ""},
      {"/p/data/bad", 1, true, 0, "ok"},
      {"/p/file?size=5", 1, true, 0, std::string("\0\1\2\3\4", 5)},
      // a file longer than one round of reads ends after the completion
      {"/p/file?size=200000", 1, true, 0, pattern(200000)},
      {"/p/file?size=200000&status=9", 1, false, 0, pattern(200000)},
      {"/p/none", 0, false, 502, ""},
  };

  for (const end_case &c : cases) {
    SCOPED_TRACE(c.url);
    rec.body.clear();
    rec.finish_calls = 0;
    rec.error_code = 0;
    uloop_timeout_set(&cl_->timeout, 5000);  // the server's inactivity timer
    dispatch(UH_HTTP_MSG_GET, c.url);
    ASSERT_TRUE(run_until([&] { return ended(); }));
    run_until([] { return false; }, 50);  // nothing else may follow
    EXPECT_EQ(rec.finish_calls, c.finish_calls);
    if (c.finish_calls) {
      EXPECT_EQ(rec.finish_keep, c.keep);
    }
    EXPECT_EQ(rec.error_code, c.error);
    EXPECT_EQ(rec.body, c.body);
    EXPECT_EQ(cl_->dispatch.free, nullptr) << "released";
    uloop_timeout_cancel(&cl_->timeout);
  }
}

// A response whose pipe the method closed before answering is read in the
// descriptor callback; it must end as the stream's end would, after the
// completion: the status does not decide, and tunnel mode comes first.
TEST_F(RelayTest, AResponseReadAtOnceEndsAsAStreamedOne) {
  struct end_case {
    const char *url;
    int finish_calls;
    int error;
    std::string body;
    bool tunnel;
  };
  const end_case cases[] = {
      {"/p/five?status=9", 1, 0, "hello", false},
      {"/p/none?status=9", 0, 502, "", false},
      {"/p/five?status=-1", 1, 0, "hello", true},
      {"/p/none?status=-1", 0, 504, "", true},  // the tunnel cancelled the timer
  };

  for (const end_case &c : cases) {
    SCOPED_TRACE(c.url);
    rec.body.clear();
    rec.finish_calls = 0;
    rec.error_code = 0;
    cl_->state = CLIENT_STATE_DONE;
    uloop_timeout_set(&cl_->timeout, 5000);
    dispatch(UH_HTTP_MSG_GET, c.url);
    ASSERT_TRUE(run_until([&] { return ended(); }));
    run_until([] { return false; }, 50);
    EXPECT_EQ(rec.finish_calls, c.finish_calls);
    if (c.finish_calls) {
      EXPECT_TRUE(rec.finish_keep);
    }
    EXPECT_EQ(rec.error_code, c.error);
    EXPECT_EQ(rec.body, c.body);
    EXPECT_EQ(cl_->state == CLIENT_STATE_DATA, c.tunnel) << "tunnel mode entered";
    EXPECT_EQ(cl_->dispatch.free, nullptr) << "released";
    uloop_timeout_cancel(&cl_->timeout);
  }
}

TEST_F(RelayTest, LapsedTimerTurns502Into504) {
  for (bool armed : {true, false}) {
    rec.error_code = 0;
    if (armed)
      uloop_timeout_set(&cl_->timeout, 5000);
    else
      uloop_timeout_cancel(&cl_->timeout);
    dispatch(UH_HTTP_MSG_GET, "/p/none");
    ASSERT_TRUE(run_until([&] { return ended(); }));
    EXPECT_EQ(rec.error_code, armed ? 502 : 504);
    EXPECT_EQ(rec.error_reason, armed ? "Bad Gateway" : "Gateway Timeout");
  }
  uloop_timeout_cancel(&cl_->timeout);
}

TEST_F(RelayTest, NoDelayFollowsTheMode) {
  struct ubus_request req = {};
  req.priv = cl_;
  memset(cl_->dispatch.priv, 0, sizeof(cl_->dispatch.priv));
  ubus_fd_dispatch *d = reinterpret_cast<ubus_fd_dispatch *>(cl_->dispatch.priv);
  ubus_fd_relay relay = {};
  d->relay = &relay;

  struct step {
    const char *name;
    int mode;    // -1: no "mode"
    int tamper;  // -1: leave the socket alone before the reply
    int want_state;
    int want_socket;
  };
  const step steps[] = {
      {"no mode while on", -1, -1, 1, 1},
      {"mode 1 switches off", 1, -1, 0, 0},
      {"mode 1 again sets nothing", 1, 1, 0, 1},
      {"mode 0 switches on", 0, 0, 1, 1},
      {"no mode while on sets nothing", -1, 0, 1, 0},
      {"mode 7 switches off", 7, -1, 0, 0},
      {"no mode switches on", -1, -1, 1, 1},
  };

  for (const step &s : steps) {
    SCOPED_TRACE(s.name);
    if (s.tamper >= 0)
      setsockopt(cl_->sfd.fd.fd, IPPROTO_TCP, TCP_NODELAY, &s.tamper, sizeof(s.tamper));
    struct blob_buf b = {};
    blob_buf_init(&b, 0);
    blobmsg_add_string(&b, "data", "");
    if (s.mode >= 0) blobmsg_add_u32(&b, "mode", static_cast<uint32_t>(s.mode));
    ubus_fd_data_cb(&req, UBUS_MSG_DATA, b.head);
    blob_buf_free(&b);
    EXPECT_EQ(cl_->nodelay, s.want_state);
    EXPECT_EQ(socket_nodelay(), s.want_socket);
  }
  EXPECT_TRUE(d->relay->response_started) << "an empty data reply still counts as a response";
  EXPECT_EQ(rec.body, "");

  // no message: nothing; a field of the wrong type counts as absent
  d->relay->response_started = false;
  ubus_fd_data_cb(&req, UBUS_MSG_DATA, nullptr);
  EXPECT_FALSE(d->relay->response_started);

  struct typed_case {
    bool data_is_string;
    bool mode_is_int;
    int want_state;
    const char *want_body;
    bool want_started;
  };
  const typed_case typed_cases[] = {
      {false, true, 0, "", false},     // "data": 5, "mode": 1
      {true, false, 1, "text", true},  // "data": "text", "mode": "1"
  };
  for (const typed_case &c : typed_cases) {
    rec.body.clear();
    d->relay->response_started = false;
    struct blob_buf b = {};
    blob_buf_init(&b, 0);
    if (c.data_is_string)
      blobmsg_add_string(&b, "data", "text");
    else
      blobmsg_add_u32(&b, "data", 5);
    if (c.mode_is_int)
      blobmsg_add_u32(&b, "mode", 1);
    else
      blobmsg_add_string(&b, "mode", "1");
    ubus_fd_data_cb(&req, UBUS_MSG_DATA, b.head);
    blob_buf_free(&b);
    EXPECT_EQ(cl_->nodelay, c.want_state);
    EXPECT_EQ(rec.body, c.want_body);
    EXPECT_EQ(d->relay->response_started, c.want_started);
  }
}

TEST_F(RelayTest, BodyLargerThanThePipeIsFlowControlled) {
  dispatch(UH_HTTP_MSG_POST, "/p/echo");
  ASSERT_FALSE(ended()) << rec.error_body;
  ubus_fd_dispatch *d = reinterpret_cast<ubus_fd_dispatch *>(cl_->dispatch.priv);
  ASSERT_GE(d->body.fd.fd, 0);

  std::string body(1 << 20, '\0');
  for (size_t i = 0; i < body.size(); i++) body[i] = static_cast<char>(i * 7 + (i >> 12));

  // the server hands over a block; the pipe cannot take it at once
  EXPECT_EQ(ubus_fd_data_send(cl_, body.data(), static_cast<int>(body.size())),
            static_cast<int>(body.size()));
  EXPECT_TRUE(cl_->dispatch.data_blocked) << "the server must stop delivering";
  EXPECT_EQ(rec.resume_calls, 0);

  ASSERT_TRUE(run_until([&] { return !cl_->dispatch.data_blocked; }));
  EXPECT_EQ(rec.resume_calls, 1);

  // the end of the body, with bytes still queued: the pipe stays open
  ASSERT_EQ(ubus_fd_data_send(cl_, body.data(), static_cast<int>(body.size())),
            static_cast<int>(body.size()));
  ubus_fd_data_done(cl_);
  EXPECT_GE(d->body.fd.fd, 0) << "closed before every byte was written";

  ASSERT_TRUE(run_until([&] { return ended(); }));
  EXPECT_EQ(rec.finish_calls, 1);
  EXPECT_TRUE(rec.finish_keep);
  EXPECT_EQ(rec.body.size(), 2 * body.size());
  EXPECT_TRUE(rec.body == body + body) << "the echo differs";
}

TEST_F(RelayTest, BodyNobodyReadsIsDiscarded) {
  // no pipe at all
  dispatch(UH_HTTP_MSG_GET, "/p/hold");
  EXPECT_EQ(ubus_fd_data_send(cl_, "abc", 3), 3);
  EXPECT_FALSE(cl_->dispatch.data_blocked);
  ubus_fd_data_done(cl_);
  release(cl_);

  // a pipe whose reader left before the first byte: the write fails once,
  // later bytes are taken and dropped, and the response still completes
  dispatch(UH_HTTP_MSG_POST, "/p/stream?size=300000");
  ubus_fd_dispatch *d = reinterpret_cast<ubus_fd_dispatch *>(cl_->dispatch.priv);
  ASSERT_TRUE(run_until([&] { return d->body.stream.write_error || rec.body.size() > 0; }));
  run_until([&] { return d->body.stream.write_error; }, 500);
  EXPECT_EQ(ubus_fd_data_send(cl_, "abc", 3), 0);
  EXPECT_EQ(d->body.fd.fd, -1);
  EXPECT_EQ(ubus_fd_data_send(cl_, "def", 3), 3);
  EXPECT_FALSE(cl_->dispatch.data_blocked) << "the server would wait for a reader that is gone";
  ubus_fd_data_done(cl_);
  ASSERT_TRUE(run_until([&] { return ended(); }));
  EXPECT_EQ(rec.body.size(), 300000u);
}

// The bus library leaves open a descriptor that comes for a request no
// longer pending, so a released request's call stays pending, abandoned,
// and closes what still arrives.
TEST_F(RelayTest, ReleaseWhileInFlightClosesWhatArrivesLater) {
  int before = open_fds();
  dispatch(UH_HTTP_MSG_PUT, "/p/slow?ms=100");
  ubus_fd_dispatch *d = reinterpret_cast<ubus_fd_dispatch *>(cl_->dispatch.priv);
  ASSERT_NE(d->req, nullptr);

  release(cl_);
  EXPECT_EQ(d->req, nullptr);
  EXPECT_EQ(d->body.fd.fd, -1);
  EXPECT_FALSE(list_empty(&fdgate::state->ctx->requests))
      << "the call was aborted: its late descriptor would stay open";

  // the method answers later: nothing may reach the finished request
  EXPECT_TRUE(run_until([] { return list_empty(&fdgate::state->ctx->requests); }, 3000))
      << "the call never ended";
  EXPECT_FALSE(ended());
  EXPECT_EQ(open_fds(), before) << "the late descriptor was kept";
  ubus_fd_free(cl_);  // a second release finds nothing to do
}

// The daemon says nothing when the method's server vanishes: the script
// timeout bounds the wait, and the abandoned call goes once its object has.
TEST_F(RelayTest, SilentMethodEndsAtTheScriptTimeout) {
  struct silent_case {
    const char *url;
    int error_code;
    const char *body;
    int finish_calls;
  } cases[] = {
      {"/p/hold", 504, "The ubus-fd method took too long to produce a response\n", 0},
      {"/p/data/hold?text=partial", 0, "", 1},
  };
  conf_.script_timeout = 300;
  for (const silent_case &c : cases) {
    SCOPED_TRACE(c.url);
    rec = recorder{std::string(), 0, false, 0, std::string(), std::string(), 0, rec.handler};
    int before = open_fds();
    auto t0 = std::chrono::steady_clock::now();
    dispatch(UH_HTTP_MSG_GET, c.url);
    ASSERT_TRUE(run_until([&] { return ended(); }, 3000)) << "no answer";
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(250));
    EXPECT_EQ(rec.error_code, c.error_code);
    EXPECT_EQ(rec.error_body, c.body);
    EXPECT_EQ(rec.finish_calls, c.finish_calls);
    if (c.finish_calls) {
      EXPECT_TRUE(rec.finish_keep);
      EXPECT_EQ(rec.body, "partial");
    }
    EXPECT_EQ(reinterpret_cast<ubus_fd_dispatch *>(cl_->dispatch.priv)->req, nullptr);
    // the method is still there: its call stays pending for what it may return
    run_until([] { return false; }, 400);
    EXPECT_FALSE(list_empty(&fdgate::state->ctx->requests)) << "dropped while its method lives";
    EXPECT_EQ(open_fds(), before);
  }

  // once the method's server is gone, its calls go at the next check
  server_.signal(SIGKILL);
  server_.wait(5000);
  EXPECT_TRUE(run_until([] { return list_empty(&fdgate::state->ctx->requests); }, 3000))
      << "calls to a vanished method stay pending";
}

// Calls whose clients went away are bounded by the server's connection
// limit (past it the oldest is given up), and one lookup per script timeout
// checks all of them, however many there are.
TEST_F(RelayTest, AbandonedCallsAreBoundedAndCheckedTogether) {
  conf_.script_timeout = 300;
  conf_.max_connections = 5;
  std::vector<struct ubus_request *> sent;
  for (int i = 0; i < 8; i++) {
    dispatch(UH_HTTP_MSG_GET, "/p/hold");
    struct ubus_request *req = reinterpret_cast<ubus_fd_dispatch *>(cl_->dispatch.priv)->req;
    ASSERT_NE(req, nullptr);
    sent.push_back(req);
    release(cl_);
  }
  EXPECT_EQ(fdgate::abandoned_calls(), 5);
  EXPECT_EQ(pending_calls(), 5) << "the calls past the bound were not given up";
  for (size_t i = 3; i < sent.size(); i++) EXPECT_TRUE(is_pending(sent[i])) << "newer call " << i;

  // the method lives: they stay, checked with one lookup each time
  lookups = 0;
  run_until([] { return false; }, 750);
  EXPECT_GE(lookups, 1) << "never checked";
  EXPECT_LE(lookups, 3) << "one lookup per call instead of one per check";
  EXPECT_EQ(pending_calls(), 5);

  server_.signal(SIGKILL);
  server_.wait(5000);
  EXPECT_TRUE(run_until([] { return pending_calls() == 0; }, 3000))
      << pending_calls() << " calls to a vanished method stay pending";
  EXPECT_EQ(fdgate::abandoned_calls(), 0);
}

// A method that lives but never answers keeps an abandoned call for ten
// script timeouts at most.
TEST_F(RelayTest, AbandonedCallOfALiveMethodEndsAfterTenChecks) {
  conf_.script_timeout = 100;
  dispatch(UH_HTTP_MSG_GET, "/p/hold");
  release(cl_);
  auto t0 = std::chrono::steady_clock::now();
  run_until([] { return false; }, 500);
  EXPECT_EQ(pending_calls(), 1) << "dropped while its method lives";
  EXPECT_TRUE(run_until([] { return pending_calls() == 0; }, 3000)) << "kept beyond its checks";
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(950));
  EXPECT_EQ(fdgate::abandoned_calls(), 0);
}

// An object registered again gets a new id. A call abandoned on the old one
// can never be answered (the daemon drops answers for an object that is
// gone): it goes at the next check instead of waiting out its checks; and
// requests follow the object to its new id.
TEST_F(RelayTest, ObjectRegisteredAgainUnderANewId) {
  serve_own_object();
  conf_.script_timeout = 300;

  dispatch(UH_HTTP_MSG_GET, "/p/x");
  ASSERT_TRUE(run_until([&] { return own_.calls == 1; })) << "the call never came";
  release(cl_);
  ASSERT_EQ(pending_calls(), 1);

  register_own_again();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(run_until([] { return pending_calls() == 0; }, 3000))
      << "a call to the object's old id stays pending";
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500))
      << "kept for its checks as if its object still lived";
  EXPECT_EQ(fdgate::abandoned_calls(), 0);

  // the next requests reach the object under its new id, the first time
  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    if (round) {
      register_own_again();
      run_until([] { return false; }, 100);  // the bus announces the removal
    }
    own_.defers = false;
    int calls = own_.calls;
    reset_recorder();
    dispatch(UH_HTTP_MSG_GET, "/p/x");
    ASSERT_TRUE(run_until([&] { return ended(); }));
    EXPECT_EQ(own_.calls, calls + 1);
    EXPECT_EQ(rec.finish_calls, 1);
    EXPECT_TRUE(rec.finish_keep) << "the request failed: the old id was used";
  }
}

// A bus daemon restart, however it goes (either generation of the bus
// library, the daemon stopped or killed, back at once or later): the call in
// flight ends as for a vanished method, requests meanwhile get 500, and a
// retry timer connects again.
using restart_param = std::tuple<testkit::BusGeneration, int, int>;  // generation, signal, ms

class RelayRestartTest : public RelayTest, public ::testing::WithParamInterface<restart_param> {
 protected:
  void SetUp() override {
    testkit::use_bus_generation(std::get<0>(GetParam()));
    RelayTest::SetUp();
  }

  void start_bus() {
    unlink(sock_.c_str());
    ubusd_ = testkit::Child({testkit::bus_daemon_program(), "-s", sock_});
    ASSERT_TRUE(testkit::wait_listening(sock_));
    testkit::SpawnOptions opts;
    opts.capture_output = true;
    server_ = testkit::Child({testkit::bin_path("uh_request_server"), "-s", sock_, "-o", "ubus-fd"},
                             opts);
    ASSERT_TRUE(
        testkit::wait_until([&] { return server_.output().find("ready") != std::string::npos; }));
  }
};

std::string restart_name(const ::testing::TestParamInfo<restart_param> &info) {
  auto [generation, sig, delay] = info.param;
  return std::string(testkit::bus_generation_name(generation)) +
         (sig == SIGKILL ? "Killed" : "Stopped") + "Back" + std::to_string(delay) + "ms";
}

TEST_P(RelayRestartTest, BusRestartIsSurvived) {
  auto [generation, sig, delay] = GetParam();
  int fds_before = open_fds();

  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE("restart " + std::to_string(round + 1));
    reset_recorder();
    dispatch(UH_HTTP_MSG_GET, "/p/hold");
    ASSERT_NE(reinterpret_cast<ubus_fd_dispatch *>(cl_->dispatch.priv)->req, nullptr);
    ubusd_.signal(sig);
    ubusd_.wait(5000);
    server_.wait(5000);
    ASSERT_TRUE(run_until([&] { return ended(); }, 3000)) << "the call in flight was left waiting";
    // as for a vanished method: the test's client has no armed timer
    EXPECT_EQ(rec.error_code, 504) << rec.error_body;
    EXPECT_EQ(rec.error_body, "The ubus-fd method took too long to produce a response\n");
    EXPECT_TRUE(list_empty(&fdgate::state->ctx->requests));
    EXPECT_TRUE(fdgate::bus_away());

    reset_recorder();
    dispatch(UH_HTTP_MSG_GET, "/p/five");
    EXPECT_EQ(rec.error_code, 500);
    EXPECT_EQ(rec.error_body, "Object inaccessible\n");

    run_until([] { return false; }, delay);  // the plug-in retries meanwhile
    start_bus();
    ASSERT_TRUE(run_until([] { return !fdgate::bus_away(); }, 3000)) << "no reconnect";
    EXPECT_TRUE(fdgate::state->ctx->sock.registered);

    reset_recorder();
    dispatch(UH_HTTP_MSG_GET, "/p/five");
    ASSERT_TRUE(run_until([&] { return ended(); }));
    EXPECT_EQ(rec.error_code, 0) << rec.error_body;
    EXPECT_EQ(rec.body, "hello");
  }
  // the restarted daemon's processes are new; the plug-in holds what it held
  EXPECT_EQ(open_fds(), fds_before);
}

INSTANTIATE_TEST_SUITE_P(Bus, RelayRestartTest,
                         ::testing::Combine(::testing::ValuesIn(testkit::kBusGenerations),
                                            ::testing::Values(SIGTERM, SIGKILL),
                                            ::testing::Values(0, 300, 2000)),
                         restart_name);

// After the bus daemon restarted, the object's removal is still heard: an
// object registered again under a new id on the new daemon is reached at
// once, not through its stale id.
TEST_F(RelayTest, RemovalsAreHeardOnTheNewConnectionAfterARestart) {
  reset_recorder();
  dispatch(UH_HTTP_MSG_GET, "/p/five");  // the first connection watches removals
  ASSERT_TRUE(run_until([&] { return ended(); }));
  EXPECT_EQ(rec.error_code, 0) << rec.error_body;

  ubusd_.signal(SIGKILL);
  ubusd_.wait(5000);
  server_.wait(5000);
  ASSERT_TRUE(run_until([] { return fdgate::bus_away(); }, 3000));
  unlink(sock_.c_str());
  ubusd_ = testkit::Child({testkit::bus_daemon_program(), "-s", sock_});
  ASSERT_TRUE(testkit::wait_listening(sock_));
  ASSERT_TRUE(run_until([] { return !fdgate::bus_away(); }, 3000)) << "no reconnect";

  serve_own_object();
  own_.defers = false;
  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    if (round) {
      register_own_again();
      run_until([] { return false; }, 100);  // the bus announces the removal
    }
    int calls = own_.calls;
    reset_recorder();
    dispatch(UH_HTTP_MSG_GET, "/p/x");
    ASSERT_TRUE(run_until([&] { return ended(); }));
    EXPECT_EQ(own_.calls, calls + 1);
    EXPECT_TRUE(rec.finish_keep) << "the request failed: the old id was used";
  }
}

// A reconnect that fails after its socket connected (a daemon that closes
// before greeting) must not cost another descriptor of the process when
// the next attempt succeeds: the bus library closes the number it left.
TEST_F(RelayTest, FailedReconnectLeavesOtherDescriptorsAlone) {
  ubusd_.signal(SIGKILL);
  ubusd_.wait(5000);
  server_.wait(5000);
  ASSERT_TRUE(run_until([] { return fdgate::bus_away(); }, 3000));

  // a listener that hangs up on everyone, until a real daemon comes
  unlink(sock_.c_str());
  int mute = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un sun = {};
  sun.sun_family = AF_UNIX;
  snprintf(sun.sun_path, sizeof(sun.sun_path), "%s", sock_.c_str());
  ASSERT_EQ(bind(mute, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun)), 0);
  ASSERT_EQ(listen(mute, 8), 0);
  pid_t hangup = fork();
  if (hangup == 0) {
    for (;;) {
      int c = accept(mute, nullptr, nullptr);
      if (c >= 0) close(c);
    }
  }
  close(mute);

  // attempts fail after connecting; whatever the process opens next may
  // take the number such an attempt left behind
  run_until([] { return false; }, 1300);
  EXPECT_TRUE(fdgate::bus_away());
  std::vector<int> ours;
  for (int i = 0; i < 16; i++) ours.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));

  kill(hangup, SIGKILL);
  waitpid(hangup, nullptr, 0);
  unlink(sock_.c_str());
  ubusd_ = testkit::Child({testkit::bus_daemon_program(), "-s", sock_});
  ASSERT_TRUE(testkit::wait_listening(sock_));
  ASSERT_TRUE(run_until([] { return !fdgate::bus_away(); }, 3000)) << "no reconnect";

  // still open, and still ours (a closed number is soon taken again)
  struct stat null_stat;
  ASSERT_EQ(stat("/dev/null", &null_stat), 0);
  int lost = 0;
  for (int fd : ours) {
    struct stat st;
    lost += fstat(fd, &st) < 0 || st.st_rdev != null_stat.st_rdev || !S_ISCHR(st.st_mode);
  }
  EXPECT_EQ(lost, 0) << "the reconnect closed descriptors that were not its own";
  for (int fd : ours) close(fd);
}

TEST_F(RelayTest, ChildCleanUpClosesTheRequestsDescriptors) {
  dispatch(UH_HTTP_MSG_PUT, "/p/tunnel");
  ubus_fd_dispatch *d = reinterpret_cast<ubus_fd_dispatch *>(cl_->dispatch.priv);
  ASSERT_TRUE(run_until([&] { return d->response.fd.fd >= 0; }));
  int fds[3] = {fdgate::state->ctx->sock.fd, d->response.fd.fd, d->body.fd.fd};
  for (int fd : fds) ASSERT_GE(fd, 0);

  pid_t pid = fork();
  if (pid == 0) {
    ubus_fd_close_fds(cl_);
    int bad = 0;
    for (int fd : fds) bad += fcntl(fd, F_GETFD) != -1 || errno != EBADF;
    bool cleared =
        fdgate::state->ctx->sock.fd == -1 && d->response.fd.fd == -1 && d->body.fd.fd == -1;
    _exit(bad || !cleared ? 1 : 0);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "descriptors left open in the child";

  // the parent's request is untouched: the tunnel still echoes
  for (int fd : fds) EXPECT_NE(fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(ubus_fd_data_send(cl_, "ping", 4), 4);
  ASSERT_TRUE(run_until([&] { return rec.body.find("ping") != std::string::npos; })) << rec.body;
}

TEST_F(RelayTest, PipeFailureAnswers500AndLeaksNothing) {
  int before = open_fds();
  struct rlimit old_limit;
  getrlimit(RLIMIT_NOFILE, &old_limit);
  int lowest_free = dup(0);
  close(lowest_free);
  struct rlimit tight = old_limit;
  tight.rlim_cur = static_cast<rlim_t>(lowest_free);  // no new descriptor fits
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);

  dispatch(UH_HTTP_MSG_POST, "/p/echo");
  setrlimit(RLIMIT_NOFILE, &old_limit);

  EXPECT_EQ(rec.error_code, 500);
  EXPECT_EQ(rec.error_reason, "Internal Server Error");
  EXPECT_EQ(rec.error_body, std::string("Failed to create pipe: ") + strerror(EMFILE) + "\n");
  EXPECT_EQ(cl_->dispatch.free, nullptr) << "no request state after a 500";
  EXPECT_EQ(open_fds(), before);
}

}  // namespace
