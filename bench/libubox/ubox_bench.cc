// SPDX-License-Identifier: ISC
// Figures for the host libubox: how fast a typical bus message is built
// and parsed, how cheap timeouts and loop wake-ups are, and how much a
// ustream_fd moves through a socket pair.

extern "C" {
#include <libubox/blobmsg.h>
#include <libubox/ustream.h>
}

#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

blob_buf msg;

// A message shaped like a relay "get" reply: a few scalars and a table.
void build_message() {
  blob_buf_init(&msg, 0);
  blobmsg_add_string(&msg, "name", "outlet7");
  blobmsg_add_u32(&msg, "physical_state", 1);
  blobmsg_add_u32(&msg, "transient_state", 0);
  blobmsg_add_u8(&msg, "enabled", 1);
  blobmsg_add_double(&msg, "power", 231.25);
  void *t = blobmsg_open_table(&msg, "cred");
  blobmsg_add_string(&msg, "agent", "snmp");
  blobmsg_add_u8(&msg, "is_admin", 1);
  blobmsg_add_string(&msg, "ip_address", "192.0.2.17");
  blobmsg_close_table(&msg, t);
}

void bench_blobmsg(double secs) {
  static const blobmsg_policy policy[] = {
      {"name", BLOBMSG_TYPE_STRING},           {"physical_state", BLOBMSG_TYPE_INT32},
      {"transient_state", BLOBMSG_TYPE_INT32}, {"enabled", BLOBMSG_TYPE_BOOL},
      {"power", BLOBMSG_TYPE_DOUBLE},          {"cred", BLOBMSG_TYPE_TABLE},
  };
  blob_attr *tb[6];
  long n = 0;
  uint64_t check = 0;
  double start = now(), end = start + secs;
  while (now() < end) {
    for (int i = 0; i < 1000; i++) {
      build_message();
      blobmsg_parse(policy, 6, tb, blob_data(msg.head), blob_len(msg.head));
      check += blobmsg_get_u32(tb[1]) + (tb[5] != nullptr);
    }
    n += 1000;
  }
  double elapsed = now() - start;
  printf("blobmsg build+parse (%zu-byte message): %.0f messages/s, %.2f us each%s\n",
         blob_raw_len(msg.head), n / elapsed, elapsed / n * 1e6, check ? "" : " (!)");
  blob_buf_free(&msg);
}

void bench_timeouts(double secs) {
  static uloop_timeout timers[1000];
  long n = 0;
  double start = now(), end = start + secs;
  while (now() < end) {
    for (int i = 0; i < 1000; i++) uloop_timeout_set(&timers[i], 1000 + (i * 7919) % 5000);
    for (int i = 0; i < 1000; i++) uloop_timeout_cancel(&timers[i]);
    n += 1000;
  }
  double elapsed = now() - start;
  printf("timeout set+cancel with 1000 pending: %.0f per second\n", n / elapsed);
}

long wakeups;

void bench_wakeups(double secs) {
  static uloop_timeout t;
  static double end;
  end = now() + secs;
  wakeups = 0;
  t.cb = [](uloop_timeout *self) {
    wakeups++;
    if (now() >= end)
      uloop_end();
    else
      uloop_timeout_set(self, 0);
  };
  uloop_timeout_set(&t, 0);
  double start = now();
  uloop_run();
  printf("loop passes (zero timeouts): %.0f per second\n", wakeups / (now() - start));
}

struct Sink {
  ustream_fd sf = {};
  size_t received = 0;
};
struct Source {
  ustream_fd sf = {};
  size_t sent = 0;
  size_t total = 0;
  char chunk[16384];
};
Source source;
Sink sink_stream;

void fill(ustream *s) {
  Source *src = container_of(s, Source, sf.stream);
  // keep about 256 KiB queued
  while (src->sent < src->total && ustream_pending_data(s, true) < (256 << 10)) {
    int n = ustream_write(s, src->chunk, sizeof(src->chunk), false);
    if (n <= 0) break;
    src->sent += n;
  }
}

void bench_ustream(double secs) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return;

  source.total = (size_t)(secs * 2e9);  // more than can go in that time
  source.sf.stream.notify_write = [](ustream *s, int) { fill(s); };
  sink_stream.sf.stream.notify_read = [](ustream *s, int) {
    int len;
    while (ustream_get_read_buf(s, &len)) {
      sink_stream.received += len;
      ustream_consume(s, len);
    }
  };
  ustream_fd_init(&source.sf, sv[0]);
  ustream_fd_init(&sink_stream.sf, sv[1]);

  static uloop_timeout stop;
  stop.cb = [](uloop_timeout *) { uloop_end(); };
  uloop_timeout_set(&stop, (int)(secs * 1000));
  double start = now();
  fill(&source.sf.stream);
  uloop_run();
  double elapsed = now() - start;
  printf("ustream_fd over a socket pair: %.0f MB/s\n", sink_stream.received / elapsed / 1e6);
  ustream_free(&source.sf.stream);
  ustream_free(&sink_stream.sf.stream);
  close(sv[0]);
  close(sv[1]);
}

}  // namespace

int main(int argc, char **argv) {
  double secs = argc > 1 ? atof(argv[1]) : 1.0;
  if (secs <= 0) secs = 1.0;

  uloop_init();
  bench_blobmsg(secs);
  bench_timeouts(secs);
  bench_wakeups(secs);
  bench_ustream(secs);
  uloop_done();

  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  printf("peak RSS of the benchmark: %ld KiB\n", ru.ru_maxrss);
  return 0;
}
