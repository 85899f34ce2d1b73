// SPDX-License-Identifier: ISC
// Carries net-snmp's descriptors and timeouts on the uloop event loop.
#pragma once

#include <stdint.h>

extern "C" {
#include <libubox/uloop.h>
}

extern "C" {

struct snmp_fd_bridge;

// One loop watcher per descriptor that net-snmp reads.
struct snmp_fd_watch {
  uloop_fd fd;
  snmp_fd_watch *next;
  snmp_fd_bridge *bridge;
};

// Descriptors from 1024 on do not fit the select-style interface.
constexpr int snmp_fd_limit = 1024;

struct snmp_fd_bridge {
  int count;  // descriptor count at the last synchronisation
  uint32_t watched[snmp_fd_limit / 32];
  snmp_fd_watch *watchers;  // newest first
  // Watchers taken off the loop, freed at the next synchronisation: the
  // one being dropped may be the watcher whose callback is running.
  snmp_fd_watch *retired;
  // runs net-snmp's timeouts; its callback finds the bridge by offset
  uloop_timeout timer;
  bool reported_high_fd;  // the log line about descriptors >= 1024 is out
};

void init_snmp_fd_bridge(snmp_fd_bridge *bridge);
void sync_snmp_fds(snmp_fd_bridge *bridge);
// Stops the timer and releases every watcher, retired ones included.
void close_snmp_fd_bridge(snmp_fd_bridge *bridge);
void on_snmp_fd_readable(uloop_fd *fd, unsigned int events);
void on_snmp_timer(uloop_timeout *timer);

}  // extern "C"
