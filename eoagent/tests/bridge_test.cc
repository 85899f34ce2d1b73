// SPDX-License-Identifier: ISC
// The bridge between net-snmp's select-style interface and uloop, driven
// by real net-snmp sessions.
#include <sys/resource.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "snmp_bridge.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

namespace {

std::vector<std::string> logged;

int capture_log(int, int, void *server_arg, void *) {
  logged.push_back(static_cast<snmp_log_message *>(server_arg)->msg);
  return 0;
}

class eoagent_bridge : public testing::Test {
 protected:
  void SetUp() override {
    setenv("SNMP_PERSISTENT_DIR", "/tmp/eoagent-bridge-persist", 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    snmp_enable_calllog();
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, capture_log, nullptr);
    init_snmp("eoagent_bridge_test");
    uloop_init();
    init_snmp_fd_bridge(&bridge);
  }
  void TearDown() override {
    close_snmp_fd_bridge(&bridge);
    EXPECT_EQ(nullptr, bridge.watchers);
    EXPECT_FALSE(bridge.timer.pending);
    for (netsnmp_session *s : sessions) snmp_close(s);
    uloop_done();
  }

  // A manager session towards a port nobody answers on.
  netsnmp_session *open_session() {
    netsnmp_session tmpl;
    snmp_sess_init(&tmpl);
    tmpl.version = SNMP_VERSION_2c;
    char peer[] = "udp:127.0.0.1:9";
    tmpl.peername = peer;
    static u_char community[] = "public";
    tmpl.community = community;
    tmpl.community_len = 6;
    tmpl.timeout = 2000000;
    tmpl.retries = 0;
    netsnmp_session *s = snmp_open(&tmpl);
    if (s) sessions.push_back(s);
    return s;
  }

  static int session_fd(netsnmp_session *s) {
    return snmp_sess_transport(snmp_sess_pointer(s))->sock;
  }

  bool watched(int fd) const { return bridge.watched[fd / 32] & (1u << (fd % 32)); }

  int watchers() const {
    int n = 0;
    for (snmp_fd_watch *w = bridge.watchers; w; w = w->next) ++n;
    return n;
  }

  bool has_watcher(int fd) const {
    for (snmp_fd_watch *w = bridge.watchers; w; w = w->next)
      if (w->fd.fd == fd && w->fd.registered) return true;
    return false;
  }

  snmp_fd_bridge bridge;
  std::vector<netsnmp_session *> sessions;
};

TEST_F(eoagent_bridge, watches_what_net_snmp_reads_and_drops_what_it_stops_using) {
  netsnmp_session *a = open_session();
  netsnmp_session *b = open_session();
  ASSERT_TRUE(a && b);
  int fd_a = session_fd(a), fd_b = session_fd(b);
  sync_snmp_fds(&bridge);
  EXPECT_TRUE(watched(fd_a) && has_watcher(fd_a));
  EXPECT_TRUE(watched(fd_b) && has_watcher(fd_b));
  EXPECT_EQ(2, watchers());
  EXPECT_EQ(std::max(fd_a, fd_b) + 1, bridge.count);

  // a second synchronisation with nothing new changes nothing
  sync_snmp_fds(&bridge);
  EXPECT_EQ(2, watchers());

  snmp_close(b);
  sessions.pop_back();
  sync_snmp_fds(&bridge);
  EXPECT_FALSE(watched(fd_b));
  EXPECT_FALSE(has_watcher(fd_b));
  EXPECT_TRUE(has_watcher(fd_a));
  EXPECT_EQ(1, watchers());
}

TEST_F(eoagent_bridge, timer_follows_net_snmp_timeouts) {
  netsnmp_session *s = open_session();
  ASSERT_TRUE(s);
  // nothing outstanding: no timer, even one armed before
  uloop_timeout_set(&bridge.timer, 60000);
  sync_snmp_fds(&bridge);
  EXPECT_FALSE(bridge.timer.pending);

  // an outstanding request times out in about two seconds
  netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GET);
  oid name[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
  snmp_add_null_var(pdu, name, OID_LENGTH(name));
  ASSERT_NE(0, snmp_send(s, pdu));
  for (int i = 0; i < 50; ++i) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    sync_snmp_fds(&bridge);
    ASSERT_TRUE(bridge.timer.pending);
    EXPECT_GE(bridge.timer.time.tv_usec, 0);
    EXPECT_LE(bridge.timer.time.tv_usec, 999999);
    long long expiry_ms = bridge.timer.time.tv_sec * 1000LL + bridge.timer.time.tv_usec / 1000;
    long long now_ms = now.tv_sec * 1000LL + now.tv_nsec / 1000000;
    EXPECT_GT(expiry_ms, now_ms + 1500);
    EXPECT_LE(expiry_ms, now_ms + 2100);
    usleep(1000);
  }

  // once the request is gone, the timer goes too
  snmp_close(s);
  sessions.clear();
  sync_snmp_fds(&bridge);
  EXPECT_FALSE(bridge.timer.pending);
  EXPECT_EQ(0, watchers());
}

// A descriptor the select interface cannot carry is skipped, once logged,
// and the bitmap and the other watchers stay intact.
TEST_F(eoagent_bridge, descriptors_from_1024_on_are_skipped) {
  rlimit limit{4096, 4096};
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
  netsnmp_session *low = open_session();
  netsnmp_session *high = open_session();
  ASSERT_TRUE(low && high);
  netsnmp_transport *t = snmp_sess_transport(snmp_sess_pointer(high));
  ASSERT_EQ(1500, dup2(t->sock, 1500));
  close(t->sock);
  t->sock = 1500;

  logged.clear();
  sync_snmp_fds(&bridge);
  sync_snmp_fds(&bridge);
  EXPECT_EQ(1501, bridge.count);
  EXPECT_TRUE(has_watcher(session_fd(low)));
  EXPECT_FALSE(has_watcher(1500));
  EXPECT_EQ(1, watchers());
  int reports = 0;
  for (const std::string &line : logged)
    if (line.find("cannot be watched") != std::string::npos) ++reports;
  EXPECT_EQ(1, reports);

  // back below the limit, the bridge goes on as before
  snmp_close(high);
  sessions.pop_back();
  sync_snmp_fds(&bridge);
  EXPECT_TRUE(has_watcher(session_fd(low)));
  EXPECT_EQ(1, watchers());
}

int alarm_runs;
void count_alarm(unsigned int, void *) { ++alarm_runs; }

double cpu_seconds() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void end_loop(uloop_timeout *) { uloop_end(); }

// The agent library runs its alarms (AgentX pings and reconnects among them)
// only when asked to, not from a signal: the loop must run them when they
// fall due, or net-snmp keeps reporting a zero timeout and the loop spins.
TEST_F(eoagent_bridge, alarms_run_when_due_and_the_loop_then_sleeps) {
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
  alarm_runs = 0;
  timeval in_50ms{0, 50000};
  unsigned int reg = snmp_alarm_register_hr(in_50ms, 0, count_alarm, nullptr);
  ASSERT_NE(0u, reg);
  sync_snmp_fds(&bridge);
  ASSERT_TRUE(bridge.timer.pending);

  uloop_timeout stop{};
  stop.cb = end_loop;
  uloop_timeout_set(&stop, 600);
  double cpu_before = cpu_seconds();
  uloop_run();
  double cpu_used = cpu_seconds() - cpu_before;
  snmp_alarm_unregister(reg);

  EXPECT_EQ(1, alarm_runs);
  EXPECT_FALSE(bridge.timer.pending) << "a one-shot alarm that ran leaves nothing to wait for";
  EXPECT_LT(cpu_used, 0.3) << "the loop spun for the 600 ms it ran";
}

TEST_F(eoagent_bridge, end_of_file_on_a_descriptor_ends_the_loop) {
  netsnmp_session *s = open_session();
  ASSERT_TRUE(s);
  sync_snmp_fds(&bridge);
  ASSERT_NE(nullptr, bridge.watchers);
  uloop_cancelled = false;
  bridge.watchers->fd.eof = true;
  on_snmp_fd_readable(&bridge.watchers->fd, ULOOP_READ);
  EXPECT_TRUE(uloop_cancelled);
  uloop_cancelled = false;
}

}  // namespace
