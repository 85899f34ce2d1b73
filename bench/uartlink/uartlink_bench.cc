// SPDX-License-Identifier: ISC
// Serial bridge throughput and latency: 64-byte lines written on the master
// side of a pseudo-terminal, received as bus events by a subscriber.
// Run through run.sh, which gives it a private /tmp, /var/run/ubus and the
// environment-tool stand-in.
//
// usage: uartlink_bench <bin dir> [baseline bin dir] [rounds]
// With a baseline folder (holding an older uartlink), both bridges run in
// turn in every round against the same bus daemon.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
#include <libubus.h>
}

namespace {

constexpr const char kSocket[] = "/var/run/ubus/ubus.sock";
constexpr int kLineBytes = 64;  // 63 characters and LF

long long now_us() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

long received;
long long last_event_us;

void on_event(struct ubus_context*, struct ubus_event_handler*, const char*, struct blob_attr*) {
  ++received;
  last_event_us = now_us();
}

pid_t spawn(const std::vector<const char*>& argv, int in_fd, int out_fd) {
  pid_t pid = fork();
  if (pid == 0) {
    if (in_fd >= 0) dup2(in_fd, 0);
    if (out_fd >= 0) dup2(out_fd, 1);
    execv(argv[0], const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  return pid;
}

bool write_all(int fd, const char* p, size_t n) {
  while (n) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= w;
  }
  return true;
}

void pump_until(long target, long long deadline_us) {
  while (received < target && now_us() < deadline_us) uloop_run_timeout(5);
}

struct Figures {
  long long p50 = 0, p90 = 0, p99 = 0;
  double lines_per_s = 0;
  double bridge_cpu_us = 0, bus_cpu_us = 0;  // per line, while flooded
  bool complete = false;
};

pid_t g_bus;

// User and system time of a process so far, in microseconds.
double cpu_us(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE* f = fopen(path, "r");
  if (!f) return 0;
  char text[1024];
  size_t n = fread(text, 1, sizeof text - 1, f);
  fclose(f);
  text[n] = '\0';
  const char* p = strrchr(text, ')');  // fields after the command name
  unsigned long utime = 0, stime = 0;
  if (!p ||
      sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
    return 0;
  return static_cast<double>(utime + stime) * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Starts `program` on a fresh pseudo-terminal as the object `name`,
// measures latency and throughput, and stops it.
Figures measure(struct ubus_context* ctx, const std::string& program, const char* name) {
  Figures f;
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  grantpt(master);
  unlockpt(master);
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  pid_t bridge = spawn({program.c_str(), name, nullptr}, slave, slave);
  close(slave);
  uint32_t id;
  for (int i = 0; i < 500 && ubus_lookup_id(ctx, name, &id) != 0; ++i) usleep(10000);
  usleep(200000);  // let the bridge finish setting up the port

  std::string line(kLineBytes - 1, 'x');
  line += '\n';

  // latency: one line at a time
  std::vector<long long> lat;
  for (int i = 0; i < 1000; ++i) {
    long before = received;
    long long t0 = now_us();
    write_all(master, line.data(), line.size());
    pump_until(before + 1, t0 + 2000000);
    if (received == before) {
      fprintf(stderr, "line %d lost\n", i);
      break;
    }
    lat.push_back(last_event_us - t0);
  }
  std::sort(lat.begin(), lat.end());
  if (!lat.empty()) {
    f.p50 = lat[lat.size() / 2];
    f.p90 = lat[lat.size() * 9 / 10];
    f.p99 = lat[lat.size() * 99 / 100];
  }

  // throughput: a writer thread floods, the loop receives
  constexpr long kLines = 800 * 64;  // whole blocks of 64 lines
  long base = received;
  double bridge_cpu = cpu_us(bridge), bus_cpu = cpu_us(g_bus);
  long long t0 = now_us();
  std::thread writer([&] {
    std::string block;
    for (int i = 0; i < 64; ++i) block += line;
    for (long n = 0; n < kLines; n += 64) write_all(master, block.data(), block.size());
  });
  pump_until(base + kLines, t0 + 60000000);
  long long t1 = last_event_us;
  writer.join();
  long got = received - base;
  f.lines_per_s = got / ((t1 - t0) / 1e6);
  if (got > 0) {
    f.bridge_cpu_us = (cpu_us(bridge) - bridge_cpu) / static_cast<double>(got);
    f.bus_cpu_us = (cpu_us(g_bus) - bus_cpu) / static_cast<double>(got);
  }
  f.complete = got == kLines && lat.size() == 1000;
  if (got != kLines)
    fprintf(stderr, "%s: %ld of %ld lines arrived\n", program.c_str(), got, kLines);

  kill(bridge, SIGTERM);
  waitpid(bridge, nullptr, 0);
  close(master);
  usleep(100000);  // the daemon drops the object
  return f;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s <bin dir> [baseline bin dir] [rounds]\n", argv[0]);
    return 2;
  }
  std::string bin = argv[1];
  std::string ubusd = bin + "/ubusd";
  std::vector<std::pair<std::string, std::string>> bridges = {{"uartlink", bin + "/uartlink"}};
  if (argc > 2 && argv[2][0]) bridges.push_back({"baseline", std::string(argv[2]) + "/uartlink"});
  int rounds = argc > 3 ? atoi(argv[3]) : 1;
  pid_t bus = g_bus = spawn({ubusd.c_str(), "-s", kSocket, nullptr}, -1, -1);
  for (int i = 0; i < 500 && access(kSocket, F_OK) != 0; ++i) usleep(10000);

  uloop_init();
  struct ubus_context* ctx = ubus_connect(kSocket);
  if (!ctx) return 1;
  ubus_add_uloop(ctx);
  struct ubus_event_handler handler = {};
  handler.cb = on_event;
  ubus_register_event_handler(ctx, &handler, "orv.serial.recv");

  bool complete = true;
  std::vector<std::vector<double>> rates(bridges.size()), p50s(bridges.size()),
      cpus(bridges.size());
  printf("64-byte lines, master write -> event delivered\n");
  printf("round  bridge     p50 us  p90 us  p99 us    lines/s  CPU us/line: bridge  bus daemon\n");
  for (int round = 1; round <= rounds; ++round) {
    for (size_t b = 0; b < bridges.size(); ++b) {
      Figures f = measure(ctx, bridges[b].second, "bench.serial");
      complete = complete && f.complete;
      rates[b].push_back(f.lines_per_s);
      p50s[b].push_back(static_cast<double>(f.p50));
      cpus[b].push_back(f.bridge_cpu_us + f.bus_cpu_us);
      printf("%5d  %-9s %7lld %7lld %7lld %10.0f  %19.1f %11.1f\n", round, bridges[b].first.c_str(),
             f.p50, f.p90, f.p99, f.lines_per_s, f.bridge_cpu_us, f.bus_cpu_us);
      fflush(stdout);
    }
  }
  for (size_t b = 0; b < bridges.size(); ++b)
    printf("median over %d rounds, %s: p50 %.0f us, %.0f lines/s, %.1f us CPU per line\n", rounds,
           bridges[b].first.c_str(), median(p50s[b]), median(rates[b]), median(cpus[b]));

  ubus_free(ctx);
  uloop_done();
  kill(bus, SIGTERM);
  waitpid(bus, nullptr, 0);
  return complete ? 0 : 1;
}
