// Serial bridge throughput and latency: 64-byte lines written on the master
// side of a pseudo-terminal, received as bus events by a subscriber.
// Run through run.sh, which gives it a private /tmp, /var/run/ubus and the
// environment-tool stand-in.
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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <bin dir>\n", argv[0]);
    return 2;
  }
  std::string bin = argv[1];
  std::string ubusd = bin + "/ubusd", uartlink = bin + "/uartlink";
  pid_t bus = spawn({ubusd.c_str(), "-s", kSocket, nullptr}, -1, -1);
  for (int i = 0; i < 500 && access(kSocket, F_OK) != 0; ++i) usleep(10000);

  int master = posix_openpt(O_RDWR | O_NOCTTY);
  grantpt(master);
  unlockpt(master);
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  pid_t bridge = spawn({uartlink.c_str(), "bench.serial", nullptr}, slave, slave);
  close(slave);

  uloop_init();
  struct ubus_context* ctx = ubus_connect(kSocket);
  if (!ctx) return 1;
  ubus_add_uloop(ctx);
  struct ubus_event_handler handler = {};
  handler.cb = on_event;
  ubus_register_event_handler(ctx, &handler, "orv.serial.recv");
  uint32_t id;
  for (int i = 0; i < 500 && ubus_lookup_id(ctx, "bench.serial", &id) != 0; ++i) usleep(10000);
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

  // throughput: a writer thread floods, the loop receives
  constexpr long kLines = 800 * 64;  // whole blocks of 64 lines
  long base = received;
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

  if (!lat.empty())
    printf(
        "latency (64-byte line, master write -> event): median %lld us, p90 %lld us, p99 %lld us\n",
        lat[lat.size() / 2], lat[lat.size() * 9 / 10], lat[lat.size() * 99 / 100]);
  printf("throughput: %ld of %ld lines in %.3f s = %.0f lines/s (%.2f MB/s of line data)\n", got,
         kLines, (t1 - t0) / 1e6, got / ((t1 - t0) / 1e6),
         got * kLineBytes / ((t1 - t0) / 1e6) / 1e6);

  ubus_free(ctx);
  uloop_done();
  kill(bridge, SIGTERM);
  kill(bus, SIGTERM);
  waitpid(bridge, nullptr, 0);
  waitpid(bus, nullptr, 0);
  return got == kLines ? 0 : 1;
}
