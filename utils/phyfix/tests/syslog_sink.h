// SPDX-License-Identifier: ISC
// A stand-in for the system logger: a datagram socket bound at /dev/log
// inside the test's private mount namespace, so whatever the code under test
// sends through syslog(3) arrives here.
#pragma once

#include <string>

class SyslogSink {
 public:
  SyslogSink();
  ~SyslogSink();
  SyslogSink(const SyslogSink&) = delete;
  SyslogSink& operator=(const SyslogSink&) = delete;

  bool ready() const { return fd_ >= 0; }
  // The next message as sent ("<priority>timestamp tag[pid]: text"), or an
  // empty string when none arrives within timeout_ms.
  std::string next(int timeout_ms = 5000);

 private:
  int fd_ = -1;
};

// The text after "tag[pid]: " of a message, empty when it has no such tag.
std::string syslog_text(const std::string& message);
// The "<n>" priority of a message, -1 when it has none.
int syslog_priority(const std::string& message);
