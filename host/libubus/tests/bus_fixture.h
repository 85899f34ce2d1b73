// SPDX-License-Identifier: ISC
// A private bus for each test: ubusd on a socket in a temporary folder,
// helper peers (bus_peer) as separate processes, and in-process contexts.
#pragma once

#include <gtest/gtest.h>

extern "C" {
#include <libubus.h>
}

#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "testkit.h"

namespace bus_test {

// Largest message the bus takes (root attribute with its header): a setting
// of the bus package's build, which its installed headers do not carry.
constexpr size_t kMaxMsgLen = 1048576;

// A blob_buf that frees itself; fields are added in a chain.
class Msg {
 public:
  Msg() { blob_buf_init(&b_, 0); }
  ~Msg() { blob_buf_free(&b_); }
  Msg(const Msg&) = delete;
  Msg& operator=(const Msg&) = delete;
  Msg& str(const char* name, const char* v) {
    blobmsg_add_string(&b_, name, v);
    return *this;
  }
  Msg& u32(const char* name, uint32_t v) {
    blobmsg_add_u32(&b_, name, v);
    return *this;
  }
  Msg& boolean(const char* name, bool v) {
    blobmsg_add_u8(&b_, name, v);
    return *this;
  }
  struct blob_buf* buf() {
    return &b_;
  }
  struct blob_attr* head() {
    return b_.head;
  }

 private:
  struct blob_buf b_ = {};
};

using BlobPtr = std::unique_ptr<struct blob_attr, void (*)(void*)>;
BlobPtr copy_blob(struct blob_attr* a);

// Fields of a reply (the members of a DATA attribute).
struct blob_attr* field(struct blob_attr* msg, const char* name, int type);
std::string str_field(struct blob_attr* msg, const char* name);
int64_t int_field(struct blob_attr* msg, const char* name, int64_t missing = -999);

struct CallResult {
  int status = -999;
  std::vector<BlobPtr> replies;
};

// Synchronous call collecting every data reply.
CallResult call(struct ubus_context* ctx, uint32_t id, const char* method, struct blob_attr* msg,
                int timeout_ms = 5000, int fd = -1);

// Waits until the child's captured output contains needle.
bool wait_output(const testkit::Child& c, std::string_view needle, int timeout_ms = 5000);

// Runs uloop until pred holds or timeout_ms passes; true if it held.
bool run_until(const std::function<bool()>& pred, int timeout_ms = 5000);

uint32_t fnv1a(const char* p, size_t n);

class BusTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A connected context, registered with uloop, freed after the test.
  struct ubus_context* connect();
  // bus_peer <socket> args..., once it reported "ready".
  testkit::Child& start_peer(const std::vector<std::string>& args);
  uint32_t lookup(struct ubus_context* ctx, const char* path);
  // The daemon answers a call of this context (it still serves everyone).
  void expect_bus_alive(struct ubus_context* ctx);

  testkit::TempDir dir_{"bus"};
  std::string sock_;
  testkit::Child daemon_;
  std::vector<struct ubus_context*> contexts_;
  std::deque<testkit::Child> peers_;
};

}  // namespace bus_test
