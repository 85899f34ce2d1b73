// SPDX-License-Identifier: ISC
// fdgate end to end: curl and raw sockets against uhttpd with the plug-in,
// the bus daemon and the request method server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include "gate_fixture.h"
#include "request.h"

namespace {

using gate::GateTest;
using gate::HttpResult;

using request_method::pattern;

// Index of the first differing byte, or -1.
long first_difference(const std::string &a, const std::string &b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; i++) {
    if (a[i] != b[i]) return static_cast<long>(i);
  }
  return a.size() == b.size() ? -1 : static_cast<long>(n);
}

struct message_case {
  const char *name;
  std::vector<std::string> curl_args;  // "URL" stands for the request URL
  std::string path;
  // expected env slots by index (1-based, as the message defines them)
  std::vector<std::pair<int, std::string>> env;
  bool had_fd;
};

TEST_F(GateTest, MessageCarriesTheRequestAsSent) {
  std::string twelve = dir_ / "twelve";
  testkit::write_file(twelve, "twelve bytes");

  const message_case cases[] = {
      {"path and query",
       {"URL"},
       "/x?y=1",
       {{1, "s:GET"},
        {2, "s:/p/x?y=1"},
        {3, "s:y=1"},
        {4, "s:/x"},
        {5, "d:1.1"},
        {6, "s:HTTP/1.1"},
        {7, "b:false"},
        {8, "s:127.0.0.1"},
        {10, "s:127.0.0.1"},
        {11, "i:" + std::to_string(port_)},
        {12, "b:false"},
        {13, "b:false"}},
       false},
      {"prefix with query",
       {"URL"},
       "?y=1",
       {{2, "s:/p?y=1"}, {3, "s:y=1"}, {4, "b:false"}},
       false},
      {"prefix alone", {"URL"}, "", {{2, "s:/p"}, {3, "b:false"}, {4, "s:"}}, false},
      {"dot segments", {"--path-as-is", "URL"}, "/a/./b//c", {{4, "s:/a/b/c"}}, false},
      {"climbing out", {"--path-as-is", "URL"}, "/a/../../etc", {{4, "b:false"}}, false},
      {"HTTP/1.0", {"-0", "URL"}, "/five", {{5, "d:1.0"}, {6, "s:HTTP/1.0"}}, false},
      {"Content-Length 12",
       {"--data-binary", "@" + twelve, "-H", "Content-Type: text/x-test", "URL"},
       "/x",
       {{1, "s:POST"}, {12, "i:12"}, {13, "s:text/x-test"}},
       true},
      {"chunked body",
       {"-X", "PUT", "-H", "Transfer-Encoding: chunked", "--data-binary", "@" + twelve, "URL"},
       "/x",
       {{1, "s:PUT"}, {12, "b:true"}, {13, "s:application/x-www-form-urlencoded"}},
       true},
  };

  for (const message_case &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args;
    for (const std::string &a : c.curl_args) args.push_back(a == "URL" ? url(c.path) : a);
    curl(args);

    gate::LastCall call = last();
    ASSERT_TRUE(call.message) << "the method saw no message";
    std::vector<std::string> env = gate::env_slots(call.message.get());
    ASSERT_EQ(env.size(), 13u);
    for (const auto &[slot, want] : c.env)
      EXPECT_EQ(env[static_cast<size_t>(slot - 1)], want) << "env slot " << slot;
    EXPECT_EQ(call.had_fd, c.had_fd);
    EXPECT_EQ(gate::header_value(call.message.get(), "CONTENT-LENGTH"), "");
    EXPECT_EQ(gate::header_value(call.message.get(), "CONTENT-TYPE"), "");
  }
}

TEST_F(GateTest, PeerPortIsTheClientsPort) {
  int fd = connect_raw();
  ASSERT_GE(fd, 0);
  struct sockaddr_in local = {};
  socklen_t len = sizeof(local);
  getsockname(fd, reinterpret_cast<struct sockaddr *>(&local), &len);
  gate::send_all(fd, "GET /p/five HTTP/1.1\r\nConnection: close\r\n\r\n");
  gate::read_some(fd, SIZE_MAX, 3000);
  close(fd);

  std::vector<std::string> env = gate::env_slots(last().message.get());
  ASSERT_EQ(env.size(), 13u);
  EXPECT_EQ(env[8], "i:" + std::to_string(ntohs(local.sin_port)));
}

// The path remainder reaches the method as the client wrote it: encoded
// separators stay encoded, so a method must not decode them into a path.
TEST_F(GateTest, PathRemainderArrivesStillEncoded) {
  struct path_case {
    const char *path;
    std::string slot4;
  };
  const path_case cases[] = {
      {"/a%2f..%2f..%2fetc%2fpasswd", "s:/a%2f..%2f..%2fetc%2fpasswd"},
  };
  for (const path_case &c : cases) {
    SCOPED_TRACE(c.path);
    HttpResult r = curl({"--path-as-is", url(c.path)});
    EXPECT_EQ(r.status, 500) << r.headers;  // the method knows no such path
    std::vector<std::string> env = gate::env_slots(last().message.get());
    ASSERT_EQ(env.size(), 13u);
    EXPECT_EQ(env[3], c.slot4);
  }
}

TEST_F(GateTest, HeadersAreMergedAndUpperCased) {
  struct header_case {
    const char *lines;
    const char *name;
    const char *want;
  };
  const header_case cases[] = {
      {"Accept: a\r\nAccept: b\r\n", "ACCEPT", "s:a,b"},
      {"Accept: a\r\nAccept:\r\nAccept: b\r\n", "ACCEPT", "s:a,b"},
      {"Accept:\r\naccept: b\r\n", "ACCEPT", "s:b"},
      {"X-Mixed-Case: v\r\n", "X-MIXED-CASE", "s:v"},
      {"x-a: 1\r\nX-B: 2\r\nX-A: 3\r\n", "X-A", "s:1,3"},
      {"Empty:\r\n", "EMPTY", "s:"},
      // every letter, whichever it is, and repeats however spelled
      {"x-zone: 1\r\nX-ZONE: 2\r\n", "X-ZONE", "s:1,2"},
      {"abcdefghijklmnopqrstuvwxyz: all\r\n", "ABCDEFGHIJKLMNOPQRSTUVWXYZ", "s:all"},
      {"Authorization: a\r\n", "AUTHORIZATION", "s:a"},
      {"x-a: 1\r\nx-b: 2\r\nx-a: 3\r\nX-A: 4\r\n", "X-A", "s:1,3,4"},
  };

  for (const header_case &c : cases) {
    SCOPED_TRACE(c.lines);
    raw_exchange(std::string("GET /p/x HTTP/1.1\r\nConnection: close\r\n") + c.lines + "\r\n");
    gate::LastCall call = last();
    ASSERT_TRUE(call.message);
    EXPECT_EQ(gate::header_value(call.message.get(), c.name), c.want);

    std::vector<std::string> names = gate::header_names(call.message.get());
    for (const std::string &n : names) {
      EXPECT_EQ(n.find_first_of("abcdefghijklmnopqrstuvwxyz"), std::string::npos) << n;
      EXPECT_EQ(std::count(names.begin(), names.end(), n), 1) << n << " appears twice";
    }
  }
}

TEST_F(GateTest, MethodsAndBodyPipes) {
  struct method_case {
    std::vector<std::string> args;
    const char *method;
    bool pipe;
  };
  const method_case cases[] = {
      {{"-X", "GET"}, "GET", false},
      {{"-I"}, "HEAD", false},
      {{"-X", "OPTIONS"}, "OPTIONS", false},
      {{"-X", "DELETE"}, "DELETE", false},
      {{"-X", "POST"}, "POST", true},
      {{"-X", "PUT"}, "PUT", true},
      {{"-X", "PATCH"}, "PATCH", true},
      {{"-X", "DELETE", "-H", "Transfer-Encoding: chunked", "--data-binary", "x"}, "DELETE", true},
      {{"-X", "GET", "-H", "Transfer-Encoding: chunked", "--data-binary", "x"}, "GET", true},
  };

  for (const method_case &c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back(url("/five"));
    HttpResult r = curl(args);
    SCOPED_TRACE(c.method);
    EXPECT_EQ(r.status, 200) << r.headers;
    if (std::string(c.method) != "HEAD") {  // curl -I stores the head as the body
      EXPECT_EQ(r.body, "hello");
    }

    gate::LastCall call = last();
    std::vector<std::string> env = gate::env_slots(call.message.get());
    ASSERT_EQ(env.size(), 13u);
    EXPECT_EQ(env[0], std::string("s:") + c.method);
    EXPECT_EQ(call.had_fd, c.pipe) << "descriptor with the call";
  }
}

TEST_F(GateTest, ResponsesOfTheMethod) {
  struct response_case {
    std::string path;
    int status;
    std::string body;
  };
  const response_case cases[] = {
      {"/five", 200, "hello"},
      {"/none", 502, "The ubus-fd method did not produce any response\n"},
      {"/slow?ms=50", 502, "The ubus-fd method did not produce any response\n"},
      {"/slow?ms=2200", 504, "The ubus-fd method took too long to produce a response\n"},
      {"/status0", 200, ""},
      {"/fail", 500, "The request failed\n"},
      {"/data?text=hi+there", 200, "hi there"},
      {"/data?text=hi&mode=1", 200, "hi"},
      {"/data/empty", 200, ""},
      {"/data/bad", 200, "ok"},
      {"/file?size=100000", 200, pattern(100000)},
      {"/file?size=0", 200, ""},  // read at once: the completion decides
      {"/switch?outlet=2&state=on", 200, "outlet 2 switched on\n"},
  };

  for (const response_case &c : cases) {
    HttpResult r = curl({url(c.path)});
    SCOPED_TRACE(c.path);
    EXPECT_EQ(r.exit_code, 0) << r.headers;
    EXPECT_EQ(r.status, c.status) << r.headers;
    EXPECT_EQ(first_difference(r.body, c.body), -1)
        << "expected " << c.body.size() << " bytes, got " << r.body.size() << ": "
        << r.body.substr(0, 200);
  }

  HttpResult page = curl({url("/outlets")});
  EXPECT_NE(page.body.find("outlet 2: on"), std::string::npos) << page.body;
}

// A method that returned its descriptor and then went silent holds the
// connection no longer than the script timeout (1 s here): a 504 when
// nothing came yet, a cut connection when something did, so that the
// client sees the response incomplete (curl: exit 18, partial transfer).
// A method that writes more often than that is never cut, however long its
// response takes.
TEST_F(GateTest, SilentResponseDescriptorEndsAtTheScriptTimeout) {
  struct silent_case {
    const char *path;
    int curl_exit;
    int status;
    std::string body;
    long min_ms, max_ms;
  };
  const silent_case cases[] = {
      {"/drip", 0, 504, "The ubus-fd method took too long to produce a response\n", 900, 4000},
      {"/drip?text=part", 18, 200, "part", 900, 4000},
      {"/drip?text=go&every=300&count=8", 0, 200, "go........", 2200, 8000},
  };

  for (const silent_case &c : cases) {
    SCOPED_TRACE(c.path);
    auto t0 = std::chrono::steady_clock::now();
    HttpResult r = curl({url(c.path)});
    long took = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count());
    EXPECT_EQ(r.exit_code, c.curl_exit) << r.headers;
    EXPECT_EQ(r.status, c.status) << r.headers;
    EXPECT_EQ(r.body, c.body);
    EXPECT_GE(took, c.min_ms);
    EXPECT_LT(took, c.max_ms);
    // the method's descriptor was closed: it sees its reader gone
    EXPECT_TRUE(testkit::wait_until([&] { return last().pumps == 0; }, 3000))
        << last().pumps << " responses still written";
    EXPECT_TRUE(fds_back_to_baseline())
        << server_fds() << " descriptors, " << baseline_fds_ << " before";
  }

  // a raw exchange shows the cut: the chunked response never gets its end
  std::string reply = raw_exchange("GET /p/drip?text=part HTTP/1.1\r\n\r\n", 5000);
  EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
  ASSERT_GE(reply.size(), 11u) << reply;
  EXPECT_EQ(reply.substr(reply.size() - 11), "\r\n4\r\npart\r\n") << reply;
}

// A gate whose script timeout outlasts what its tests wait for (a method
// writing a large file under the sanitizers, bus restarts): the script
// timeout bounds every call.
class GatePatientTest : public GateTest {
 protected:
  GatePatientTest() { script_timeout_ = 10.0; }

  void restart_bus() {
    unlink(sock_.c_str());
    ubusd_ = testkit::Child({testkit::bus_daemon_program(), "-s", sock_});
    ASSERT_TRUE(testkit::wait_listening(sock_));
    testkit::SpawnOptions opts;
    opts.capture_output = true;
    method_server_ = testkit::Child(
        {testkit::bin_path("uh_request_server"), "-s", sock_, "-o", "ubus-fd"}, opts);
    ASSERT_TRUE(gate::wait_output(method_server_, "ready")) << method_server_.output();
    ctx_ = ubus_connect(sock_.c_str());
    ASSERT_NE(ctx_, nullptr);
  }
};

TEST_F(GatePatientTest, LargeBodiesBothWays) {
  constexpr size_t kSize = 16u << 20;
  std::string upload = pattern(kSize);
  // shift the pattern so an echo of something else cannot match
  std::rotate(upload.begin(), upload.begin() + 7, upload.end());
  std::string file = dir_ / "upload";
  ASSERT_TRUE(testkit::write_file(file, upload));

  struct body_case {
    const char *name;
    std::vector<std::string> args;
    std::string want;
  };
  const body_case cases[] = {
      {"POST with length", {"--data-binary", "@" + file, url("/echo")}, upload},
      {"PUT chunked",
       {"-X", "PUT", "-H", "Transfer-Encoding: chunked", "--data-binary", "@" + file, url("/echo")},
       upload},
      {"PATCH over HTTP/1.0",
       {"-0", "-X", "PATCH", "--data-binary", "@" + file, url("/echo")},
       upload},
      {"GET stream", {url("/stream?size=" + std::to_string(kSize))}, pattern(kSize)},
      {"GET file", {url("/file?size=" + std::to_string(kSize))}, pattern(kSize)},
  };

  for (const body_case &c : cases) {
    SCOPED_TRACE(c.name);
    HttpResult r = curl(c.args);
    EXPECT_EQ(r.status, 200) << r.headers;
    EXPECT_EQ(r.body.size(), c.want.size());
    EXPECT_EQ(first_difference(r.body, c.want), -1);
  }
  EXPECT_TRUE(fds_back_to_baseline())
      << server_fds() << " descriptors, " << baseline_fds_ << " before";
}

TEST_F(GateTest, KeepAliveAndHttp10) {
  std::string out;
  int rc = testkit::run(
      {"curl", "-sS", "-o", "/dev/null", "-o", "/dev/null", "-o", "/dev/null", "-w",
       "%{http_code}:%{num_connects} ", url("/five"), url("/none"), url("/stream?size=70000")},
      &out);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_EQ(out, "200:1 502:0 200:0 ") << "one connection for all three";

  std::string reply = raw_exchange("GET /p/five HTTP/1.0\r\n\r\n");
  EXPECT_EQ(reply.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << reply;
  EXPECT_NE(reply.find("Connection: close"), std::string::npos) << reply;
  EXPECT_EQ(reply.substr(reply.size() - 5), "hello");

  // pipelined: the second request waits in the buffer for the first response
  reply = raw_exchange(
      "GET /p/five HTTP/1.1\r\n\r\nGET /p/data?text=two HTTP/1.1\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(reply.find("5\r\nhello\r\n0\r\n\r\n"), reply.find("\r\n\r\n") + 4) << reply;
  EXPECT_NE(reply.find("3\r\ntwo\r\n0\r\n\r\n"), std::string::npos) << reply;

  reply = raw_exchange("GET /p/five\r\n");
  EXPECT_EQ(reply, "hello") << "HTTP/0.9 has no head";
}

TEST_F(GateTest, TunnelCarriesBytesBothWays) {
  int fd = connect_raw();
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(gate::send_all(
      fd, "POST /p/tunnel HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nearly\r\n"));

  const std::string head =
      "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: fdgate-echo\r\n\r\n";
  std::string got = gate::read_some(fd, head.size() + 5, 3000);
  EXPECT_EQ(got, head + "early") << "chunk decoded before the switch";

  // now raw: chunk syntax is just data, and no length ends it
  for (std::string round : {std::string("0\r\n\r\n"), std::string("ping"), pattern(300000)}) {
    ASSERT_TRUE(gate::send_all(fd, round));
    got = gate::read_some(fd, round.size(), 5000);
    EXPECT_EQ(got.size(), round.size());
    EXPECT_EQ(first_difference(got, round), -1);
  }

  // the script timeout does not apply to a tunnel
  usleep(static_cast<useconds_t>(script_timeout_ * 1.5e6));
  ASSERT_TRUE(gate::send_all(fd, "still there"));
  EXPECT_EQ(gate::read_some(fd, 11, 3000), "still there");

  close(fd);
  EXPECT_TRUE(fds_back_to_baseline())
      << server_fds() << " descriptors, " << baseline_fds_ << " before";
  EXPECT_TRUE(testkit::wait_until([&] { return last().pumps == 0; }))
      << "the method saw no end of file";
}

TEST_F(GateTest, BadRequestsNeverReachThePlugin) {
  std::string many_headers;
  for (int i = 0; i < 70; i++) many_headers += "X-H" + std::to_string(i) + ": v\r\n";

  struct bad_case {
    std::string request;
    const char *status;
  };
  const bad_case cases[] = {
      {"GET /p/" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n", "414"},
      {"GET /p/five HTTP/1.1\r\nX-Big: " + std::string(9000, 'b') + "\r\n\r\n", "431"},
      {"GET /p/five HTTP/1.1\r\n" + many_headers + "\r\n", "431"},
      {"GARBAGE\r\n\r\n", "400"},
      {"GET p/five HTTP/1.1\r\n\r\n", "400"},
      {"GET /p/five HTTP/1.1\r\nNoColon\r\n\r\n", "400"},
      {"GET /p/five HTTP/1.1\r\nBad Name: v\r\n\r\n", "400"},
      {"GET /p/five HTTP/1.1\r\nX: a\r\n folded\r\n\r\n", "400"},
      {"GET /p/five HTTP/1.1\r\nX: a\x01b\r\n\r\n", "400"},
      {"BREW /p/five HTTP/1.1\r\n\r\n", "501"},
      {"POST /p/five\r\n", "400"},
      {"GET /p/five HTTP/2.0\r\n\r\n", "505"},
      {"GET /p/five HTTX/1.1\r\n\r\n", "400"},
      {"POST /p/echo HTTP/1.1\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n", "400"},
      {"POST /p/echo HTTP/1.1\r\nContent-Length: -1\r\n\r\n", "400"},
      {"POST /p/echo HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n", "400"},
      {"POST /p/echo HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n", "413"},
      {"POST /p/echo HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", "501"},
      {"GET /elsewhere HTTP/1.1\r\n\r\n", "404"},
      {"GET /pp HTTP/1.1\r\n\r\n", "404"},
  };

  int served = last().served;
  ASSERT_GT(served, 0);
  for (const bad_case &c : cases) {
    std::string reply = raw_exchange(c.request);
    std::string want = std::string("HTTP/1.1 ") + c.status + " ";
    EXPECT_EQ(reply.rfind(want, 0), 0u)
        << "request " << c.request.substr(0, 80) << "\ngot " << reply;
  }
  EXPECT_EQ(last().served, served) << "a bad request reached the method";

  // a broken chunk while the call runs ends that request with a 400
  std::string reply =
      raw_exchange("POST /p/echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n");
  EXPECT_EQ(reply.rfind("HTTP/1.1 400 ", 0), 0u) << reply;
  EXPECT_TRUE(fds_back_to_baseline())
      << server_fds() << " descriptors, " << baseline_fds_ << " before";
}

TEST_F(GateTest, DisconnectsReleaseEverything) {
  struct disconnect_case {
    const char *name;
    std::string request;
    size_t read_first;  // response bytes to read before closing
    size_t extra_body;  // body bytes to send before closing
  };
  const disconnect_case cases[] = {
      {"during the call", "GET /p/hold HTTP/1.1\r\n\r\n", 0, 0},
      {"uploading to a method that never reads",
       "POST /p/hold HTTP/1.1\r\nContent-Length: 67108864\r\n\r\n", 0, 8u << 20},
      {"while streaming", "GET /p/stream?size=268435456 HTTP/1.1\r\n\r\n", 1u << 20, 0},
      {"while uploading", "POST /p/echo HTTP/1.1\r\nContent-Length: 67108864\r\n\r\n", 0, 4u << 20},
      {"chunked upload", "PUT /p/echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n10000\r\n", 0,
       40000},
      {"in tunnel mode", "POST /p/tunnel HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 40, 1000},
      {"slow method", "GET /p/slow?ms=300 HTTP/1.1\r\n\r\n", 0, 0},
  };

  for (const disconnect_case &c : cases) {
    SCOPED_TRACE(c.name);
    int served = last().served;
    int fd = connect_raw();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(gate::send_all(fd, c.request));
    // a thread-free sender: a non-blocking socket takes what fits
    std::string body = pattern(c.extra_body);
    size_t sent = 0;
    while (sent < body.size()) {
      ssize_t n = send(fd, body.data() + sent, body.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    ASSERT_TRUE(testkit::wait_until([&] { return last().served > served; }))
        << "the call never came";
    if (c.read_first) {
      EXPECT_GE(gate::read_some(fd, c.read_first, 3000).size(), c.read_first);
    }
    close(fd);

    // a body stuck behind a method that never reads holds until the network timeout
    EXPECT_TRUE(fds_back_to_baseline(4000))
        << server_fds() << " descriptors, " << baseline_fds_ << " before";
  }

  // the server and the method are still fine, and no response is left running
  HttpResult r = curl({url("/five")});
  EXPECT_EQ(r.body, "hello");
  EXPECT_TRUE(testkit::wait_until([&] { return last().pumps == 0; }, 5000))
      << last().pumps << " pumps";
}

// A client that stops reading a large response holds only its own
// connection: the server queues a bounded amount for it, stops reading the
// method's descriptor meanwhile, answers everyone else at once, and drops
// the stuck client only when its own network timeout has passed.
class StuckReaderTest : public GateTest {
 protected:
  StuckReaderTest() { network_timeout_ = 6.0; }

  void SetUp() override {
    // the kernel's send buffers as small as a small device has them (here
    // they grow to a megabyte and more a connection, which would hide what
    // the server itself holds); this network namespace is the test's own
    ASSERT_TRUE(testkit::write_file("/proc/sys/net/ipv4/tcp_wmem", "4096 16384 65536"));
    GateTest::SetUp();
  }

  // A connection with a small receive window (set before connecting, so
  // that the window is negotiated with it) that sends `request`.
  int small_window_client(const std::string &request) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port_));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof(sin)) < 0 ||
        !gate::send_all(fd, request)) {
      close(fd);
      return -1;
    }
    return fd;
  }

  // Asks for 256 MiB and never reads.
  int stuck_client() {
    return small_window_client("GET /p/stream?size=268435456 HTTP/1.1\r\n\r\n");
  }

  // `got` is an HTTP/1.0 200 response whose body is `size` pattern bytes.
  static void expect_whole_response(const std::string &got, size_t size) {
    size_t head_end = got.find("\r\n\r\n");
    ASSERT_NE(head_end, std::string::npos) << got.substr(0, 200);
    EXPECT_EQ(got.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << got.substr(0, 200);
    std::string body = got.substr(head_end + 4);
    EXPECT_EQ(body.size(), size);
    EXPECT_EQ(first_difference(body, pattern(size)), -1);
  }

  long rss_kib() {
    std::string status = testkit::read_file("/proc/" + std::to_string(uhttpd_.pid()) + "/status");
    size_t pos = status.find("VmRSS:");
    return pos == std::string::npos ? -1 : atol(status.c_str() + pos + 6);
  }
};

long elapsed_ms(std::chrono::steady_clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - since)
                               .count());
}

TEST_F(StuckReaderTest, OthersAreAnsweredAndTheStuckClientEndsOnItsOwnTimeout) {
  long rss_before = rss_kib();
  ASSERT_GT(rss_before, 0);
  std::vector<int> stuck;

  for (int round = 0; round < 3; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    int served = last().served;
    int fd = stuck_client();
    ASSERT_GE(fd, 0);
    stuck.push_back(fd);
    ASSERT_TRUE(testkit::wait_until([&] { return last().served > served; }));
    usleep(300000);  // socket buffers full, the response queued

    auto start = std::chrono::steady_clock::now();
    std::string reply = raw_exchange("GET /elsewhere HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 404 ", 0), 0u) << reply;
    HttpResult five = curl({url("/five")});
    EXPECT_EQ(five.body, "hello") << five.headers;
    HttpResult big = curl({url("/stream?size=4194304")});
    EXPECT_EQ(first_difference(big.body, pattern(4u << 20)), -1) << big.body.size() << " bytes";
    long took = elapsed_ms(start);
    EXPECT_LT(took, 2500) << "other clients waited for the stuck one";
  }

  // the stuck responses are not buffered in the server
  long rss_during = rss_kib();
  EXPECT_LT(rss_during - rss_before, 32 * 1024) << rss_before << " KiB before, " << rss_during;

  // each stuck client ends once it took nothing for the network timeout;
  // its descriptor and the method's stream end with it
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(fds_back_to_baseline(static_cast<int>(network_timeout_ * 1000) + 4000))
      << server_fds() << " descriptors, " << baseline_fds_ << " before";
  EXPECT_GT(elapsed_ms(start), 3000) << "dropped long before the network timeout";
  EXPECT_TRUE(testkit::wait_until([&] { return last().pumps == 0; }, 5000))
      << last().pumps << " pumps";
  for (int fd : stuck) close(fd);
}

// A response the client does not take stays where it is, in the method's
// file or pipe, not in the server: clients that never read cost the server
// a block each, not the response.
// The method writes each response before it answers: slow under the
// sanitizers or an emulator, so the script timeout is long here.
class FileStuckReaderTest : public StuckReaderTest {
 protected:
  FileStuckReaderTest() {
    script_timeout_ = 30.0;
    network_timeout_ = 30.0;  // none of the clients is dropped meanwhile
  }

  // `clients` ask for `path`?size=`size` and do not read; the server may
  // grow by `bound_kib` at the most meanwhile. Then the last of them reads
  // after all and gets the whole response, to the close.
  void expect_read_as_taken(const std::string &path, size_t size, int clients, long bound_kib) {
    long rss_before = rss_kib();
    ASSERT_GT(rss_before, 0);

    std::vector<int> stuck;
    for (int i = 0; i < clients; i++) {
      int served = last().served;
      int fd = small_window_client("GET " + path + "?size=" + std::to_string(size) +
                                   " HTTP/1.0\r\n\r\n");
      ASSERT_GE(fd, 0);
      stuck.push_back(fd);
      // the method server writes each response before it answers anything else
      ASSERT_TRUE(testkit::wait_until([&] { return last().served > served; }, 30000));
    }
    // the server had every chance to read ahead
    usleep(500000);
    HttpResult five = curl({url("/five")});
    EXPECT_EQ(five.body, "hello") << five.headers;
    long rss_during = rss_kib();
    fprintf(stderr, "server RSS %ld KiB before, %ld KiB with %d clients not reading %s\n",
            rss_before, rss_during, clients, path.c_str());
    EXPECT_LT(rss_during - rss_before, bound_kib)
        << rss_before << " KiB before, " << rss_during << " KiB with " << clients
        << " clients that do not read " << size << " bytes of " << path;

    expect_whole_response(gate::read_some(stuck.back(), SIZE_MAX, 30000), size);
    for (int fd : stuck) close(fd);
    // the others' connections end as they close them
    EXPECT_TRUE(fds_back_to_baseline(10000))
        << server_fds() << " descriptors, " << baseline_fds_ << " before";
  }
};

// A regular file, which the event loop cannot watch, is read in blocks.
TEST_F(FileStuckReaderTest, FilesAreReadAsTheClientTakesThem) {
  expect_read_as_taken("/p/file", 16u << 20, 4, 8 * 1024);
}

// A pipe the method filled and closed before it answered can be read to its
// end at once; it is not, once the client's queue holds anything.
TEST_F(FileStuckReaderTest, FinishedPipesAreReadAsTheClientTakesThem) {
  expect_read_as_taken("/p/filled", 1u << 20, 8, 2 * 1024);
}

// The method wrote its last bytes and closed its end while the client was
// not reading: what was still in the pipe reaches the client all the same.
TEST_F(StuckReaderTest, WhatTheMethodLeftInThePipeArrives) {
  for (size_t size : {96u << 10, 128u << 10}) {
    SCOPED_TRACE(std::to_string(size) + " bytes");
    int fd =
        small_window_client("GET /p/stream?size=" + std::to_string(size) + " HTTP/1.0\r\n\r\n");
    ASSERT_GE(fd, 0);
    // the client's queue is full and the rest fits the pipe: the method ends
    ASSERT_TRUE(testkit::wait_until([&] { return last().pumps == 0; }, 5000))
        << last().pumps << " pumps";
    usleep(200000);

    std::string got = gate::read_some(fd, SIZE_MAX, 10000);  // to the close
    close(fd);
    expect_whole_response(got, size);
  }
}

TEST_F(StuckReaderTest, APausingReaderGetsEveryByte) {
  // shorter pauses than the network timeout: flow control, no drop
  constexpr size_t kSize = 8u << 20;
  int fd = small_window_client("GET /p/stream?size=" + std::to_string(kSize) + " HTTP/1.0\r\n\r\n");
  ASSERT_GE(fd, 0);

  std::string got;
  for (int pause = 0; pause < 3; pause++) {
    got += gate::read_some(fd, 1u << 20, 5000);
    usleep(1500000);
  }
  got += gate::read_some(fd, SIZE_MAX, 10000);  // to the close
  close(fd);
  expect_whole_response(got, kSize);
}

TEST_F(GateTest, MissingObjectGives500) {
  int port = testkit::free_tcp_port();
  testkit::Child other = start_uhttpd(port, {}, "no-such-object");
  ASSERT_TRUE(other.running()) << other.output();

  std::string out;
  testkit::run({"curl", "-sS", "-i", "http://127.0.0.1:" + std::to_string(port) + "/p/five"}, &out);
  EXPECT_EQ(out.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u) << out;
  EXPECT_EQ(out.substr(out.size() - 20), "Object inaccessible\n") << out;
}

// The object's id outlives a request: when its server goes away the
// plug-in answers "Object inaccessible" as if it looked it up each time,
// and once a new server has the object (under a new id) it is found.
TEST_F(GateTest, TheObjectMayGoAndComeBack) {
  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    EXPECT_EQ(curl({url("/five")}).body, "hello");

    method_server_.signal(SIGTERM);
    ASSERT_GE(method_server_.wait(5000), 0);
    usleep(200000);  // the bus tells the plug-in about the removal
    HttpResult gone = curl({url("/five")});
    EXPECT_EQ(gone.status, 500) << gone.headers;
    EXPECT_EQ(gone.body, "Object inaccessible\n");

    // something else first, so that the object's new id differs
    struct ubus_object_type type = {"other", 0, nullptr, 0};
    struct ubus_object other = {};
    other.name = "other";
    other.type = &type;
    ASSERT_EQ(ubus_add_object(ctx_, &other), 0);
    testkit::SpawnOptions opts;
    opts.capture_output = true;
    method_server_ = testkit::Child(
        {testkit::bin_path("uh_request_server"), "-s", sock_, "-o", "ubus-fd"}, opts);
    ASSERT_TRUE(gate::wait_output(method_server_, "ready")) << method_server_.output();
    HttpResult back = curl({url("/five")});
    EXPECT_EQ(back.status, 200) << back.headers;
    EXPECT_EQ(back.body, "hello");
    ubus_remove_object(ctx_, &other);
  }
}

TEST_F(GateTest, NoBusEndsTheServer) {
  testkit::SpawnOptions opts;
  opts.capture_output = true;
  testkit::Child c(
      {testkit::bin_path("uhttpd"), "-p", "127.0.0.1:" + std::to_string(testkit::free_tcp_port()),
       "-P", std::string(EO_PLUGIN_DIR) + "/fdgate.so", "-s", dir_ / "nothing.sock"},
      opts);
  int status = c.wait(10000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "wait status " << status;
  EXPECT_EQ(c.output(), "Unable to connect to ubus socket\n");
}

// The bus daemon tells nothing to a caller whose method's server vanished:
// the script timeout ends the request, with a 504 when nothing came yet and
// as an ended response when something did.
TEST_F(GateTest, MethodServerDyingMidRequestEndsAtTheScriptTimeout) {
  struct dying_case {
    const char *request;
    const char *head;
    const char *tail;
  } cases[] = {
      {"GET /p/hold HTTP/1.1\r\n\r\n", "HTTP/1.1 504 Gateway Timeout\r\n",
       "\r\n\r\nThe ubus-fd method took too long to produce a response\n"},
      {"GET /p/data/hold?text=partial HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 200 OK\r\n",
       "\r\n\r\n7\r\npartial\r\n0\r\n\r\n"},
  };
  for (const dying_case &c : cases) {
    SCOPED_TRACE(c.request);
    if (!method_server_.running()) {
      testkit::SpawnOptions opts;
      opts.capture_output = true;
      method_server_ = testkit::Child(
          {testkit::bin_path("uh_request_server"), "-s", sock_, "-o", "ubus-fd"}, opts);
      ASSERT_TRUE(gate::wait_output(method_server_, "ready")) << method_server_.output();
    }
    int served = last().served;
    int fd = connect_raw();
    ASSERT_GE(fd, 0);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(gate::send_all(fd, c.request));
    ASSERT_TRUE(testkit::wait_until([&] { return last().served > served; }));
    method_server_.signal(SIGKILL);
    method_server_.wait(5000);

    std::string reply = gate::read_some(fd, SIZE_MAX, 8000);
    close(fd);
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(reply.rfind(c.head, 0), 0u) << reply;
    ASSERT_GE(reply.size(), strlen(c.tail)) << reply;
    EXPECT_EQ(reply.substr(reply.size() - strlen(c.tail)), c.tail) << reply;
    EXPECT_GE(waited, std::chrono::milliseconds(900)) << "ended before the script timeout";
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_TRUE(fds_back_to_baseline())
        << server_fds() << " descriptors, " << baseline_fds_ << " before";
  }
}

// Bus daemon restarts, however they go (either generation of the bus
// library, the daemon stopped or killed, back at once or later): the server
// lives on, a call in flight ends as for a method that vanished (502, the
// client's timer still armed), requests meanwhile get 500 "Object
// inaccessible", and once the daemon and the method are back requests are
// served again, with no descriptor left over.
using restart_param = std::tuple<testkit::BusGeneration, int, int>;  // generation, signal, ms

class GateRestartTest : public GatePatientTest {
 protected:
  void start_with(testkit::BusGeneration generation) {
    testkit::use_bus_generation(generation);
    GatePatientTest::SetUp();
  }
  void SetUp() override {}  // each test picks its generation first

  // One restart with a call in flight; false when something failed fatally.
  void restart_with_call_in_flight(int sig, int delay_ms) {
    int served = last().served;
    int fd = connect_raw();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(gate::send_all(fd, "GET /p/hold HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(testkit::wait_until([&] { return last().served > served; }));

    ubus_free(ctx_);
    ctx_ = nullptr;
    ubusd_.signal(sig);
    ubusd_.wait(5000);
    std::string reply = gate::read_some(fd, SIZE_MAX, 5000);
    close(fd);
    EXPECT_EQ(reply.rfind("HTTP/1.1 502 Bad Gateway\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("\r\n\r\nThe ubus-fd method did not produce any response\n"),
              std::string::npos)
        << reply;
    method_server_.wait(5000);

    HttpResult away = curl({url("/five")});
    EXPECT_EQ(away.status, 500) << away.headers;
    EXPECT_EQ(away.body, "Object inaccessible\n");
    ASSERT_TRUE(uhttpd_.running()) << "the server ended with the bus\n" << uhttpd_.output();

    usleep(static_cast<useconds_t>(delay_ms) * 1000);
    restart_bus();
    EXPECT_TRUE(testkit::wait_until([&] { return curl({url("/five")}).body == "hello"; }, 6000))
        << "the plug-in did not connect again";
    EXPECT_TRUE(fds_back_to_baseline())
        << server_fds() << " descriptors, " << baseline_fds_ << " before";
  }

  long server_rss_kib() {
    std::string status = testkit::read_file("/proc/" + std::to_string(uhttpd_.pid()) + "/status");
    size_t pos = status.find("VmRSS:");
    return pos == std::string::npos ? -1 : atol(status.c_str() + pos + 6);
  }
};

class GateRestartMatrixTest : public GateRestartTest,
                              public ::testing::WithParamInterface<restart_param> {
 protected:
  void SetUp() override { start_with(std::get<0>(GetParam())); }
};

std::string restart_name(const ::testing::TestParamInfo<restart_param> &info) {
  auto [generation, sig, delay] = info.param;
  return std::string(testkit::bus_generation_name(generation)) +
         (sig == SIGKILL ? "Killed" : "Stopped") + "Back" + std::to_string(delay) + "ms";
}

TEST_P(GateRestartMatrixTest, ServerSurvivesBusRestarts) {
  auto [generation, sig, delay] = GetParam();
  restart_with_call_in_flight(sig, delay);
  HttpResult r = curl({url("/echo"), "--data-binary", "after the restart"});
  EXPECT_EQ(r.body, "after the restart");
}

INSTANTIATE_TEST_SUITE_P(Bus, GateRestartMatrixTest,
                         ::testing::Combine(::testing::ValuesIn(testkit::kBusGenerations),
                                            ::testing::Values(SIGTERM, SIGKILL),
                                            ::testing::Values(0, 300, 2000)),
                         restart_name);

// Ten restarts in a row, every way mixed: the server's descriptors come
// back to their count each time and its memory stays where it was after
// the first.
class GateTenRestartsTest : public GateRestartTest,
                            public ::testing::WithParamInterface<testkit::BusGeneration> {
 protected:
  void SetUp() override {
    // Under the address sanitizer freed memory waits in a quarantine and
    // would look like growth: the server runs without one (the option is
    // ignored by other builds).
    const char *asan = getenv("ASAN_OPTIONS");
    std::string options =
        std::string(asan ? asan : "") + ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
    start_with(GetParam());
  }
};

// Memory the server may gain over nine restarts. Under AddressSanitizer
// freed blocks stay in its quarantine, so the resident size grows without a
// leak; finding leaks is its leak check's job there, at the server's exit.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kRestartRssSlackKiB = 4096;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr long kRestartRssSlackKiB = 4096;
#else
constexpr long kRestartRssSlackKiB = 512;
#endif
#else
constexpr long kRestartRssSlackKiB = 512;
#endif

TEST_P(GateTenRestartsTest, DescriptorsAndMemoryStayFlat) {
  constexpr int kDelays[] = {0, 300, 2000};
  long rss_first = 0;
  for (int round = 0; round < 10; round++) {
    SCOPED_TRACE("restart " + std::to_string(round + 1));
    restart_with_call_in_flight(round % 2 ? SIGKILL : SIGTERM, kDelays[round % 3]);
    if (HasFatalFailure()) return;
    EXPECT_EQ(server_fds(), baseline_fds_);
    if (round == 0) rss_first = server_rss_kib();
  }
  long rss_last = server_rss_kib();
  fprintf(stderr,
          "ten restarts: %d descriptors after each (%d before), RSS %ld KiB after the first, %ld "
          "after the tenth\n",
          server_fds(), baseline_fds_, rss_first, rss_last);
  EXPECT_LT(rss_last - rss_first, kRestartRssSlackKiB)
      << rss_first << " KiB after the first restart, " << rss_last << " KiB after the tenth";
}

INSTANTIATE_TEST_SUITE_P(Bus, GateTenRestartsTest, ::testing::ValuesIn(testkit::kBusGenerations),
                         testkit::BusGenerationName());

}  // namespace

namespace {

TEST_F(GateTest, Ipv6AddressesInTheMessage) {
  int probe = socket(AF_INET6, SOCK_STREAM, 0);
  struct sockaddr_in6 sin6 = {};
  sin6.sin6_family = AF_INET6;
  sin6.sin6_addr = in6addr_loopback;
  bool have_v6 =
      probe >= 0 && bind(probe, reinterpret_cast<struct sockaddr *>(&sin6), sizeof(sin6)) == 0;
  if (probe >= 0) close(probe);
  if (!have_v6) GTEST_SKIP() << "no IPv6 loopback here";

  int port = testkit::free_tcp_port();
  testkit::SpawnOptions opts;
  opts.capture_output = true;
  testkit::Child v6(
      {testkit::bin_path("uhttpd"), "-p", "[::1]:" + std::to_string(port), "-P",
       std::string(EO_PLUGIN_DIR) + "/fdgate.so", "-s", sock_, "-x", "/p", "-o", "ubus-fd"},
      opts);
  ASSERT_TRUE(gate::wait_output(v6, "listening on")) << v6.output();

  std::string out;
  EXPECT_EQ(
      testkit::run({"curl", "-sS", "-g", "http://[::1]:" + std::to_string(port) + "/p/five"}, &out),
      0);
  EXPECT_EQ(out, "hello");
  std::vector<std::string> env = gate::env_slots(last().message.get());
  ASSERT_EQ(env.size(), 13u);
  EXPECT_EQ(env[7], "s:::1");
  EXPECT_EQ(env[9], "s:::1");
  EXPECT_EQ(env[10], "i:" + std::to_string(port));
}

}  // namespace
