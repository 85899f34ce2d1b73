// SPDX-License-Identifier: ISC
// A running gate for each test: a private bus daemon, the request method
// server and uhttpd with the fdgate plug-in (prefix /p, object "ubus-fd"),
// driven by curl and raw sockets.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libubus.h>
}

#include "testkit.h"

namespace gate {

struct HttpResult {
  int exit_code = -1;  // curl's
  int status = 0;
  std::string headers;
  std::string body;
};

// The message the method saw last, and what came with it.
struct LastCall {
  std::unique_ptr<struct blob_attr, void (*)(void *)> message{nullptr, free};
  bool had_fd = false;
  int served = -1;
  int pumps = -1;
};

// An env slot or header value as "s:text", "b:true", "i:12" or "d:1.1".
std::string typed(struct blob_attr *attr);
std::vector<std::string> env_slots(struct blob_attr *message);
// Upper-cased name -> typed value; "" when the header is missing.
std::string header_value(struct blob_attr *message, const char *name);
std::vector<std::string> header_names(struct blob_attr *message);

bool wait_output(testkit::Child &c, const char *needle, int timeout_ms = 5000);

class GateTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts uhttpd with the plug-in and the given extra options; waits
  // until it listens. The default server is started by SetUp.
  testkit::Child start_uhttpd(int port, const std::vector<std::string> &extra,
                              const char *object = "ubus-fd");

  std::string url(const std::string &path) const;
  // curl -sS with args; headers and body collected.
  HttpResult curl(const std::vector<std::string> &args);
  LastCall last();
  int server_fds() { return testkit::count_fds(uhttpd_.pid()); }
  // Whether an accepted connection of the server on port_ is still open there.
  bool server_holds_connections();
  // Waits until the server holds exactly `baseline_fds_` descriptors.
  bool fds_back_to_baseline(int timeout_ms = 3000);

  int connect_raw();
  // Sends `request` on a new connection and reads until the server closes
  // it (or timeout_ms passes).
  std::string raw_exchange(const std::string &request, int timeout_ms = 3000);

  testkit::TempDir dir_{"gate"};
  std::string sock_;
  testkit::Child ubusd_;
  testkit::Child method_server_;
  testkit::Child uhttpd_;
  int port_ = 0;
  int baseline_fds_ = 0;
  double script_timeout_ = 1.0;
  double network_timeout_ = 2.0;
  struct ubus_context *ctx_ = nullptr;
};

// Reads from fd until `want` bytes came, the peer closed or timeout_ms passed.
std::string read_some(int fd, size_t want, int timeout_ms);
bool send_all(int fd, const std::string &data);

}  // namespace gate
