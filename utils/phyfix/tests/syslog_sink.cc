// SPDX-License-Identifier: ISC
#include "syslog_sink.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "testkit.h"

namespace {
constexpr char log_path[] = "/dev/log";
}

SyslogSink::SyslogSink() {
  // Placing and removing a file gives /dev a private writable layer first.
  if (!testkit::place_file(log_path, "") || !testkit::remove_placed(log_path)) return;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, log_path, sizeof log_path);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    fprintf(stderr, "syslog sink: bind %s: %s\n", log_path, strerror(errno));
    close(fd);
    return;
  }
  fd_ = fd;
}

SyslogSink::~SyslogSink() {
  if (fd_ < 0) return;
  close(fd_);
  unlink(log_path);
}

std::string SyslogSink::next(int timeout_ms) {
  pollfd p{fd_, POLLIN, 0};
  if (fd_ < 0 || poll(&p, 1, timeout_ms) != 1) return {};
  char buf[2048];
  ssize_t n = recv(fd_, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, n) : std::string();
}

std::string syslog_text(const std::string& message) {
  auto tag_end = message.find("]: ");
  return tag_end == std::string::npos ? std::string() : message.substr(tag_end + 3);
}

int syslog_priority(const std::string& message) {
  if (message.empty() || message[0] != '<') return -1;
  return atoi(message.c_str() + 1);
}
