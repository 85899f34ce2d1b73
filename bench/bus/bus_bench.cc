// SPDX-License-Identifier: ISC
// Bus throughput: calls per second with 1 and 8 clients (small payload) and
// MB/s with the largest payloads the bus takes (messages are limited to
// 1 MiB; the payload leaves 4 KiB for the rest), against a running ubusd. A server process
// publishes "bench" (echo and sink); clients are separate processes.
//
//   bus_bench <socket> [seconds per figure]
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

extern "C" {
#include <libubus.h>
}

namespace {

// The bus's message limit (root attribute with its header), set when the bus
// package is built; the installed headers do not carry it.
constexpr size_t kMaxMsgLen = 1048576;

int echo(struct ubus_context* ctx, struct ubus_object*, struct ubus_request_data* req, const char*,
         struct blob_attr* msg) {
  ubus_send_reply(ctx, req, msg);
  return 0;
}

int sink(struct ubus_context*, struct ubus_object*, struct ubus_request_data*, const char*,
         struct blob_attr*) {
  return 0;
}

const struct ubus_method methods[] = {
    UBUS_METHOD_NOARG("echo", echo),
    UBUS_METHOD_NOARG("sink", sink),
};
struct ubus_object_type type = UBUS_OBJECT_TYPE("bench", methods);

[[noreturn]] void serve(const char* sock) {
  uloop_init();
  struct ubus_context* ctx = ubus_connect(sock);
  if (!ctx) _exit(1);
  struct ubus_object obj = {};
  obj.name = "bench";
  obj.type = &type;
  obj.methods = methods;
  obj.n_methods = ARRAY_SIZE(methods);
  if (ubus_add_object(ctx, &obj)) _exit(1);
  ubus_add_uloop(ctx);
  uloop_run();
  _exit(0);
}

double now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Calls method with msg until `seconds` pass; returns the number of calls.
long call_loop(const char* sock, const char* method, struct blob_attr* msg, double seconds) {
  struct ubus_context* ctx = ubus_connect(sock);
  uint32_t id;
  if (!ctx || ubus_lookup_id(ctx, "bench", &id)) return -1;
  long calls = 0;
  double end = now() + seconds;
  while (now() < end) {
    if (ubus_invoke(ctx, id, method, msg, nullptr, nullptr, 10000)) return -1;
    calls++;
  }
  ubus_free(ctx);
  return calls;
}

// Runs `clients` processes of call_loop at once; returns total calls.
long run_clients(const char* sock, int clients, const char* method, struct blob_attr* msg,
                 double seconds) {
  int p[2];
  if (pipe(p) < 0) return -1;
  pid_t pids[64];
  for (int i = 0; i < clients; i++) {
    if ((pids[i] = fork()) == 0) {
      long n = call_loop(sock, method, msg, seconds);
      if (write(p[1], &n, sizeof(n)) != sizeof(n)) _exit(1);
      _exit(0);
    }
  }
  close(p[1]);
  long total = 0, n;
  for (int i = 0; i < clients; i++) {
    if (read(p[0], &n, sizeof(n)) != sizeof(n) || n < 0) total = -1;
    if (total >= 0) total += n;
  }
  close(p[0]);
  for (int i = 0; i < clients; i++) waitpid(pids[i], nullptr, 0);
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s <socket> [seconds]\n", argv[0]);
    return 2;
  }
  const char* sock = argv[1];
  double secs = argc > 2 ? atof(argv[2]) : 2.0;

  pid_t server = fork();
  if (server == 0) serve(sock);
  // wait for the object
  struct ubus_context* ctx = nullptr;
  uint32_t id = 0;
  for (int i = 0; i < 200 && (!ctx || ubus_lookup_id(ctx, "bench", &id)); i++) {
    if (!ctx) ctx = ubus_connect(sock);
    usleep(10000);
  }
  if (!id) {
    fprintf(stderr, "bench object did not appear\n");
    kill(server, SIGKILL);
    return 1;
  }
  ubus_free(ctx);

  struct blob_buf small = {};
  blob_buf_init(&small, 0);
  blobmsg_add_u32(&small, "n", 42);
  blobmsg_add_string(&small, "s", "small payload");

  struct blob_buf big = {};
  blob_buf_init(&big, 0);
  std::string mib(kMaxMsgLen - 4096, 'x');
  blobmsg_add_string(&big, "data", mib.c_str());
  const double mb = double(blob_raw_len(big.head)) / 1e6;

  for (int clients : {1, 8}) {
    long n = run_clients(sock, clients, "echo", small.head, secs);
    printf("small echo calls, %d client%s: %10.0f calls/s\n", clients, clients > 1 ? "s" : " ",
           double(n) / secs);
  }
  long n = run_clients(sock, 1, "sink", big.head, secs);
  printf("1 MiB-4K payload to method:   %10.1f MB/s (%.0f calls/s)\n", double(n) * mb / secs,
         double(n) / secs);
  n = run_clients(sock, 1, "echo", big.head, secs);
  printf("1 MiB-4K payload echoed back: %10.1f MB/s (both ways, %.0f calls/s)\n",
         2 * double(n) * mb / secs, double(n) / secs);

  blob_buf_free(&small);
  blob_buf_free(&big);
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  return 0;
}
