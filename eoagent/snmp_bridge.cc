// SPDX-License-Identifier: ISC
// net-snmp's select-style interface on uloop: after every read and every
// timeout the watcher set and the timer are brought in line with what
// net-snmp reports.
#include "snmp_bridge.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <time.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/library/large_fd_set.h>

namespace {

bool is_watched(const snmp_fd_bridge *bridge, int fd) {
  return bridge->watched[fd / 32] & (1u << (fd % 32));
}

void set_watched(snmp_fd_bridge *bridge, int fd, bool on) {
  uint32_t bit = 1u << (fd % 32);
  if (on)
    bridge->watched[fd / 32] |= bit;
  else
    bridge->watched[fd / 32] &= ~bit;
}

void watch(snmp_fd_bridge *bridge, int fd) {
  auto *w = static_cast<snmp_fd_watch *>(calloc(1, sizeof(snmp_fd_watch)));
  if (!w) return;
  w->fd.cb = on_snmp_fd_readable;
  w->fd.fd = fd;
  w->bridge = bridge;
  w->next = bridge->watchers;
  bridge->watchers = w;
  uloop_fd_add(&w->fd, ULOOP_READ | ULOOP_BLOCKING);
  set_watched(bridge, fd, true);
}

// Takes the watcher of `fd` off the loop. It is only retired, not freed:
// this runs from net-snmp's reads, that is from a watcher's callback,
// possibly the callback of this very watcher.
void unwatch(snmp_fd_bridge *bridge, int fd) {
  for (snmp_fd_watch **link = &bridge->watchers; *link; link = &(*link)->next) {
    snmp_fd_watch *w = *link;
    if (w->fd.fd != fd) continue;
    uloop_fd_delete(&w->fd);
    *link = w->next;
    w->next = bridge->retired;
    bridge->retired = w;
    break;
  }
  set_watched(bridge, fd, false);
}

void free_list(snmp_fd_watch *w) {
  while (w) {
    snmp_fd_watch *next = w->next;
    free(w);
    w = next;
  }
}

// Absolute expiry on the loop's clock, now + `delay`.
void arm_timer(uloop_timeout *timer, const timeval &delay) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  timer->time.tv_sec = now.tv_sec + delay.tv_sec;
  timer->time.tv_usec = now.tv_nsec / 1000 + delay.tv_usec;
  if (timer->time.tv_usec > 999999) {
    timer->time.tv_usec -= 1000000;
    timer->time.tv_sec += 1;
  }
  uloop_timeout_add(timer);
}

}  // namespace

extern "C" {

void init_snmp_fd_bridge(snmp_fd_bridge *bridge) {
  memset(bridge, 0, sizeof *bridge);
  bridge->timer.cb = on_snmp_timer;
}

void sync_snmp_fds(snmp_fd_bridge *bridge) {
  // Watchers retired earlier are off the loop and their callbacks have
  // returned (a retired watcher gets no more calls): free them now.
  free_list(bridge->retired);
  bridge->retired = nullptr;

  int count = 0;
  int block = 1;
  // The large set keeps working when net-snmp holds a descriptor beyond
  // the fd_set width: the plain interface would then report no descriptor
  // at all, the AgentX connection included.
  netsnmp_large_fd_set wanted;
  netsnmp_large_fd_set_init(&wanted, snmp_fd_limit);
  timeval timeout{};
  snmp_select_info2(&count, &wanted, &timeout, &block);

  uloop_timeout_cancel(&bridge->timer);
  if (!block) arm_timer(&bridge->timer, timeout);

  int limit = count > bridge->count ? count : bridge->count;
  if (limit > snmp_fd_limit) {
    if (!bridge->reported_high_fd) {
      snmp_log(LOG_WARNING, "descriptors from %d on cannot be watched\n", snmp_fd_limit);
      bridge->reported_high_fd = true;
    }
    limit = snmp_fd_limit;
  }
  for (int fd = 0; fd < limit; ++fd) {
    bool want = netsnmp_large_fd_is_set(fd, &wanted);
    bool have = is_watched(bridge, fd);
    if (want && !have)
      watch(bridge, fd);
    else if (have && !want)
      unwatch(bridge, fd);
  }
  bridge->count = count;
  netsnmp_large_fd_set_cleanup(&wanted);
}

void close_snmp_fd_bridge(snmp_fd_bridge *bridge) {
  uloop_timeout_cancel(&bridge->timer);
  while (snmp_fd_watch *w = bridge->watchers) {
    uloop_fd_delete(&w->fd);
    bridge->watchers = w->next;
    free(w);
  }
  free_list(bridge->retired);
  bridge->retired = nullptr;
  memset(bridge->watched, 0, sizeof bridge->watched);
  bridge->count = 0;
}

void on_snmp_fd_readable(uloop_fd *fd, unsigned int) {
  auto *w = container_of(fd, snmp_fd_watch, fd);
  if (fd->eof || fd->error) {
    uloop_cancelled = true;
    return;
  }
  snmp_fd_bridge *bridge = w->bridge;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(fd->fd, &readable);
  snmp_read(&readable);
  netsnmp_check_outstanding_agent_requests();
  sync_snmp_fds(bridge);
}

void on_snmp_timer(uloop_timeout *timer) {
  auto *bridge = container_of(timer, snmp_fd_bridge, timer);
  snmp_timeout();
  // The agent library does not run alarms from a signal: run those that
  // are due here, or their expiry stays in the past and the loop spins.
  run_alarms();
  sync_snmp_fds(bridge);
}

}  // extern "C"
