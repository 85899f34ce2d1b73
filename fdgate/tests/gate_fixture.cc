// SPDX-License-Identifier: ISC
#include "gate_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace gate {

std::string typed(struct blob_attr *attr) {
  char buf[64];

  switch (blobmsg_type(attr)) {
    case BLOBMSG_TYPE_STRING:
      return std::string("s:") + blobmsg_get_string(attr);
    case BLOBMSG_TYPE_INT8:
      return blobmsg_get_bool(attr) ? "b:true" : "b:false";
    case BLOBMSG_TYPE_INT32:
      return "i:" + std::to_string(static_cast<int32_t>(blobmsg_get_u32(attr)));
    case BLOBMSG_TYPE_DOUBLE:
      snprintf(buf, sizeof(buf), "d:%.1f", blobmsg_get_double(attr));
      return buf;
    default:
      return "?:type " + std::to_string(blobmsg_type(attr));
  }
}

namespace {

struct blob_attr *member(struct blob_attr *message, const char *name) {
  struct blob_attr *cur;
  size_t rem;

  if (!message) return nullptr;
  blobmsg_for_each_attr(cur, message, rem) {
    if (!strcmp(blobmsg_name(cur), name)) return cur;
  }
  return nullptr;
}

void last_cb(struct ubus_request *req, int, struct blob_attr *msg) {
  auto *out = static_cast<LastCall *>(req->priv);
  struct blob_attr *cur;
  size_t rem;

  blob_for_each_attr(cur, msg, rem) {
    std::string name = blobmsg_name(cur);
    if (name == "message")
      out->message.reset(blob_memdup(cur));
    else if (name == "had_fd")
      out->had_fd = blobmsg_get_bool(cur);
    else if (name == "served")
      out->served = static_cast<int>(blobmsg_get_u32(cur));
    else if (name == "pumps")
      out->pumps = static_cast<int>(blobmsg_get_u32(cur));
  }
}

}  // namespace

std::vector<std::string> env_slots(struct blob_attr *message) {
  std::vector<std::string> out;
  struct blob_attr *env = member(message, "env");
  struct blob_attr *cur;
  size_t rem;

  if (!env) return out;
  blobmsg_for_each_attr(cur, env, rem) out.push_back(typed(cur));
  return out;
}

std::string header_value(struct blob_attr *message, const char *name) {
  struct blob_attr *h = member(message, "headers");
  struct blob_attr *v = h ? member(h, name) : nullptr;
  return v ? typed(v) : "";
}

std::vector<std::string> header_names(struct blob_attr *message) {
  std::vector<std::string> out;
  struct blob_attr *h = member(message, "headers");
  struct blob_attr *cur;
  size_t rem;

  if (h) {
    blobmsg_for_each_attr(cur, h, rem) out.push_back(blobmsg_name(cur));
  }
  return out;
}

bool wait_output(testkit::Child &c, const char *needle, int timeout_ms) {
  return testkit::wait_until(
             [&] { return c.output().find(needle) != std::string::npos || !c.running(); },
             timeout_ms) &&
         c.output().find(needle) != std::string::npos;
}

void GateTest::SetUp() {
  sock_ = dir_ / "ubus.sock";
  ubusd_ = testkit::Child({testkit::bus_daemon_program(), "-s", sock_});
  ASSERT_TRUE(testkit::wait_listening(sock_)) << "ubusd did not listen on " << sock_;

  testkit::SpawnOptions opts;
  opts.capture_output = true;
  method_server_ =
      testkit::Child({testkit::bin_path("uh_request_server"), "-s", sock_, "-o", "ubus-fd"}, opts);
  ASSERT_TRUE(wait_output(method_server_, "ready")) << method_server_.output();

  port_ = testkit::free_tcp_port();
  char timeout[32], network[32];
  snprintf(timeout, sizeof(timeout), "%g", script_timeout_);
  snprintf(network, sizeof(network), "%g", network_timeout_);
  uhttpd_ = start_uhttpd(port_, {"-t", timeout, "-T", network});
  ASSERT_TRUE(uhttpd_.running()) << uhttpd_.output();

  ctx_ = ubus_connect(sock_.c_str());
  ASSERT_NE(ctx_, nullptr);

  // one request first: whatever the server opens once is in the baseline,
  // but not the connection curl just left; taken once the count is steady
  // (a slow server, such as one under an emulator, may still be closing)
  HttpResult warm = curl({url("/five")});
  ASSERT_EQ(warm.status, 200) << warm.headers;
  ASSERT_TRUE(testkit::wait_until([&] { return !server_holds_connections(); }))
      << "the server kept the warm-up connection";
  testkit::wait_until([&] {
    baseline_fds_ = server_fds();
    usleep(100 * 1000);
    return server_fds() == baseline_fds_;
  });
}

void GateTest::TearDown() {
  if (ctx_) ubus_free(ctx_);
  if (!uhttpd_.started() || !uhttpd_.running()) return;
  // a clean end: everything released (the sanitizer build also checks leaks)
  uhttpd_.signal(SIGTERM);
  int status = uhttpd_.wait(10000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "uhttpd wait status " << status << "\n"
      << uhttpd_.output();
}

testkit::Child GateTest::start_uhttpd(int port, const std::vector<std::string> &extra,
                                      const char *object) {
  std::vector<std::string> argv = {
      testkit::bin_path("uhttpd"),
      "-p",
      "127.0.0.1:" + std::to_string(port),
      "-P",
      std::string(EO_PLUGIN_DIR) + "/fdgate.so",
      "-s",
      sock_,
      "-x",
      "/p",
      "-o",
      object,
  };
  argv.insert(argv.end(), extra.begin(), extra.end());

  testkit::SpawnOptions opts;
  opts.capture_output = true;
  testkit::Child c(argv, opts);
  wait_output(c, "listening on");
  return c;
}

std::string GateTest::url(const std::string &path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/p" + path;
}

HttpResult GateTest::curl(const std::vector<std::string> &args) {
  static int n;
  std::string head = dir_ / ("head" + std::to_string(++n));
  std::string body = dir_ / ("body" + std::to_string(n));
  std::vector<std::string> argv = {"curl", "-sS", "--max-time", "20", "-D", head, "-o", body};
  argv.insert(argv.end(), args.begin(), args.end());

  HttpResult r;
  std::string out;
  r.exit_code = testkit::run(argv, &out, 30000);
  r.headers = testkit::read_file(head);
  r.body = testkit::read_file(body);
  // the last status line counts (a "100 Continue" may come first)
  size_t pos = r.headers.rfind("HTTP/");
  if (pos != std::string::npos) {
    size_t sp = r.headers.find(' ', pos);
    if (sp != std::string::npos) r.status = atoi(r.headers.c_str() + sp + 1);
  }
  if (r.exit_code) r.headers += "\n[curl exit " + std::to_string(r.exit_code) + ": " + out + "]";
  unlink(head.c_str());
  unlink(body.c_str());
  return r;
}

LastCall GateTest::last() {
  LastCall out;
  uint32_t id;

  if (ubus_lookup_id(ctx_, "ubus-fd", &id)) return out;
  ubus_invoke(ctx_, id, "last", nullptr, last_cb, &out, 5000);
  return out;
}

bool GateTest::server_holds_connections() {
  // this test's own network namespace: only its connections are listed
  for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::string text = testkit::read_file(table);
    size_t pos = text.find('\n');
    while (pos != std::string::npos && pos + 1 < text.size()) {
      size_t end = text.find('\n', pos + 1);
      std::string line = text.substr(pos + 1, end == std::string::npos ? end : end - pos - 1);
      pos = end;
      char local[64], remote[64], state[8];
      if (sscanf(line.c_str(), "%*s %63s %63s %7s", local, remote, state) != 3) continue;
      const char *colon = strrchr(local, ':');
      if (!colon || strtol(colon + 1, nullptr, 16) != port_) continue;
      // established, or closed by the peer but not yet by the server
      if (!strcmp(state, "01") || !strcmp(state, "08")) return true;
    }
  }
  return false;
}

bool GateTest::fds_back_to_baseline(int timeout_ms) {
  return testkit::wait_until([&] { return server_fds() == baseline_fds_; }, timeout_ms);
}

int GateTest::connect_raw() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in sin = {};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(static_cast<uint16_t>(port_));
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof(sin)) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool send_all(int fd, const std::string &data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

std::string read_some(int fd, size_t want, int timeout_ms) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);

  while (out.size() < want) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

std::string GateTest::raw_exchange(const std::string &request, int timeout_ms) {
  int fd = connect_raw();
  if (fd < 0) return "[connect failed]";
  send_all(fd, request);
  std::string out = read_some(fd, SIZE_MAX, timeout_ms);
  close(fd);
  return out;
}

}  // namespace gate
