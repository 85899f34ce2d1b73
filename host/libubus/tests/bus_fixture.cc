// SPDX-License-Identifier: ISC
#include "bus_fixture.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>

namespace bus_test {

BlobPtr copy_blob(struct blob_attr* a) { return BlobPtr(blob_memdup(a), free); }

struct blob_attr* field(struct blob_attr* msg, const char* name, int type) {
  if (!msg) return nullptr;
  // a reply's DATA attribute, or a table inside it
  bool table = blob_is_extended(msg);
  struct blob_attr* cur;
  size_t rem = table ? blobmsg_data_len(msg) : blob_len(msg);
  __blob_for_each_attr(cur, (table ? blobmsg_data(msg) : blob_data(msg)), rem) {
    if (blobmsg_check_attr(cur, true) && blobmsg_type(cur) == type &&
        !strcmp(blobmsg_name(cur), name))
      return cur;
  }
  return nullptr;
}

std::string str_field(struct blob_attr* msg, const char* name) {
  struct blob_attr* a = field(msg, name, BLOBMSG_TYPE_STRING);
  return a ? std::string(blobmsg_get_string(a), blobmsg_data_len(a) - 1) : "<missing>";
}

int64_t int_field(struct blob_attr* msg, const char* name, int64_t missing) {
  if (struct blob_attr* a = field(msg, name, BLOBMSG_TYPE_INT32))
    return int32_t(blobmsg_get_u32(a));
  if (struct blob_attr* a = field(msg, name, BLOBMSG_TYPE_INT8)) return blobmsg_get_u8(a);
  return missing;
}

namespace {

void collect_reply(struct ubus_request* req, int, struct blob_attr* msg) {
  static_cast<CallResult*>(req->priv)->replies.push_back(copy_blob(msg));
}

}  // namespace

CallResult call(struct ubus_context* ctx, uint32_t id, const char* method, struct blob_attr* msg,
                int timeout_ms, int fd) {
  CallResult r;
  r.status = ubus_invoke_fd(ctx, id, method, msg, collect_reply, &r, timeout_ms, fd);
  return r;
}

bool wait_output(const testkit::Child& c, std::string_view needle, int timeout_ms) {
  return testkit::wait_until([&] { return c.output().find(needle) != std::string::npos; },
                             timeout_ms);
}

bool run_until(const std::function<bool()>& pred, int timeout_ms) {
  // short passes of the loop: the predicate is checked between them
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!pred() && std::chrono::steady_clock::now() < deadline) uloop_run_timeout(10);
  return pred();
}

uint32_t fnv1a(const char* p, size_t n) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < n; i++) h = (h ^ uint8_t(p[i])) * 16777619u;
  return h;
}

// The build's program `name`, or the command in the environment variable
// `var` (words separated by spaces): the cross-endian runs put a daemon or
// peer built for the other architecture there, under its emulator.
static std::vector<std::string> program(const char* var, const char* name) {
  const char* command = getenv(var);
  if (!command || !*command) return {testkit::bin_path(name)};
  std::vector<std::string> words;
  std::string word;
  for (const char* p = command;; ++p) {
    if (*p && *p != ' ') {
      word += *p;
      continue;
    }
    if (!word.empty()) words.push_back(word);
    word.clear();
    if (!*p) break;
  }
  return words;
}

void BusTest::SetUp() {
  sock_ = dir_ / "ubus.sock";
  std::vector<std::string> daemon = program("EO_BUS_DAEMON", "ubusd");
  daemon.insert(daemon.end(), {"-s", sock_});
  daemon_ = testkit::Child(daemon);
  ASSERT_TRUE(testkit::wait_listening(sock_)) << "ubusd did not come up";
  uloop_init();
}

void BusTest::TearDown() {
  for (auto* ctx : contexts_) ubus_free(ctx);
  contexts_.clear();
  uloop_done();
}

struct ubus_context* BusTest::connect() {
  struct ubus_context* ctx = ubus_connect(sock_.c_str());
  EXPECT_NE(ctx, nullptr) << "connect to " << sock_;
  if (!ctx) return nullptr;
  ubus_add_uloop(ctx);
  contexts_.push_back(ctx);
  return ctx;
}

testkit::Child& BusTest::start_peer(const std::vector<std::string>& args) {
  std::vector<std::string> argv = program("EO_BUS_PEER", "bus_peer");
  argv.push_back(sock_);
  argv.insert(argv.end(), args.begin(), args.end());
  testkit::SpawnOptions opts;
  opts.capture_output = true;
  peers_.emplace_back(argv, opts);
  testkit::Child& c = peers_.back();
  EXPECT_TRUE(wait_output(c, "ready")) << "peer " << args[1] << " said: " << c.output();
  return c;
}

uint32_t BusTest::lookup(struct ubus_context* ctx, const char* path) {
  uint32_t id = 0;
  int ret = ubus_lookup_id(ctx, path, &id);
  EXPECT_EQ(ret, 0) << "lookup " << path << ": " << ubus_strerror(ret);
  return id;
}

void BusTest::expect_bus_alive(struct ubus_context* ctx) {
  EXPECT_EQ(ubus_lookup(ctx, nullptr, nullptr, nullptr), 0) << "the daemon stopped answering";
}

}  // namespace bus_test
