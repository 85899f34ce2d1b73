// SPDX-License-Identifier: ISC
// 1,000 address lookups of distinct names: all outstanding at once on one
// channel of the Lua module, driven by a poll loop, against the same lookups
// one after another with the C library's blocking getaddrinfo. Three name
// servers on 127.0.0.1:53, one after the other:
//   dnsmasq            answers at once (tens of microseconds);
//   responder, 0 ms    the bench's own server, answers at once;
//   responder, N ms    the same, answering each query N ms after it came
//                      in (default 2 ms, a realistic round trip).
// The responder has a receive queue deep enough for any burst and counts
// what it answered, so a lost answer can only be the client's. For every
// round the kernel's receive-queue drops are shown, split into the server's
// socket and the rest (the client's).
//
// Runs in private mount and network namespaces (root) so that
// /etc/resolv.conf can point at 127.0.0.1:53 without touching the machine.
//
// usage: ares_bench <lua module dir> [lookups] [rounds] [delay ms] [baseline module dir]
// With a baseline module folder (an older build of the module) both run in
// every round, side by side.
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netdb.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

namespace {

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

bool write_text(const char* path, const char* text) {
  FILE* f = fopen(path, "w");
  if (!f) return false;
  bool ok = fputs(text, f) >= 0;
  return fclose(f) == 0 && ok;
}

bool loopback_up() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq ifr{};
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  close(fd);
  return ok;
}

// Own /tmp, loopback and resolver files; false with a message on failure.
bool enter_sandbox() {
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) return perror("unshare (run as root)"), false;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return perror("mount /"), false;
  if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0) return perror("mount /tmp"), false;
  if (!loopback_up()) return perror("loopback"), false;
  if (!write_text("/tmp/resolv.conf", "nameserver 127.0.0.1\n") ||
      !write_text("/tmp/hosts", "127.0.0.1 localhost\n"))
    return perror("resolver files"), false;
  if (mount("/tmp/resolv.conf", "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0 ||
      mount("/tmp/hosts", "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
    return perror("bind mount"), false;
  return true;
}

pid_t start_dnsmasq() {
  pid_t pid = fork();
  if (pid != 0) return pid;
  int null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  dup2(null, 2);
  execl("/usr/sbin/dnsmasq", "dnsmasq", "--no-daemon", "--conf-file=/dev/null", "--port=53",
        "--listen-address=127.0.0.1", "--bind-interfaces", "--no-resolv", "--no-hosts",
        "--local-ttl=60", "--address=/bench.test/192.0.2.1", "--address=/bench.test/2001:db8::1",
        static_cast<char*>(nullptr));
  _exit(127);
}

// ---------------------------------------------------------------------------
// The bench's own name server: every A and AAAA question gets one answer
// (192.0.2.1, 2001:db8::1, TTL 60), any other type an empty answer, `delay`
// seconds after the query arrived (up to 0.2 ms later, so that answers due
// together leave together). Queries wait in arrival order, so the first to
// arrive is always the first due.

volatile sig_atomic_t g_stop = 0;

void on_stop(int) { g_stop = 1; }

struct Reply {
  double due;
  sockaddr_in to;
  unsigned short length;
  unsigned char data[494];
};

// Builds the answer to the query `q` of `n` bytes; false for anything that
// is not a plain one-question query.
bool build_reply(const unsigned char* q, size_t n, Reply* r) {
  if (n < 17 || (q[2] & 0x80) != 0 || q[4] != 0 || q[5] != 1) return false;
  size_t pos = 12;
  while (pos < n && q[pos] != 0) {
    if (q[pos] > 63) return false;
    pos += q[pos] + 1u;
  }
  if (pos + 5 > n) return false;
  unsigned type = q[pos + 1] << 8 | q[pos + 2];
  size_t question_end = pos + 5;
  unsigned rdlength = type == 1 ? 4 : type == 28 ? 16 : 0;
  size_t total = question_end + (rdlength ? 12 + rdlength : 0);
  if (total > sizeof r->data) return false;
  unsigned char* out = r->data;
  memcpy(out, q, question_end);
  out[2] = static_cast<unsigned char>(0x80 | (q[2] & 0x79) | 0x04);  // answer, authoritative
  out[3] = 0x80;                                                     // recursion available
  out[6] = 0;
  out[7] = rdlength ? 1 : 0;
  memset(out + 8, 0, 4);  // no authority or additional records
  if (rdlength) {
    unsigned char* a = out + question_end;
    const unsigned char fixed[] = {0xc0, 12, 0, static_cast<unsigned char>(type),    0, 1, 0, 0,
                                   0,    60, 0, static_cast<unsigned char>(rdlength)};
    memcpy(a, fixed, sizeof fixed);
    a += sizeof fixed;
    if (type == 1) {
      const unsigned char v4[] = {192, 0, 2, 1};
      memcpy(a, v4, 4);
    } else {
      const unsigned char v6[] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
      memcpy(a, v6, 16);
    }
  }
  r->length = static_cast<unsigned short>(total);
  return true;
}

// Serves until SIGTERM, then prints its counters.
[[noreturn]] void run_responder(int fd, double delay) {
  signal(SIGTERM, on_stop);
  std::vector<Reply> queue(1 << 15);  // a ring, oldest at `head`
  size_t head = 0, held = 0;
  long received = 0, answered = 0, full = 0, malformed = 0;
  constexpr int kBatch = 64;
  constexpr double kSlack = 200e-6;
  unsigned char in[kBatch][512];
  sockaddr_in from[kBatch];
  iovec iov[kBatch];
  mmsghdr msgs[kBatch];
  while (!g_stop) {
    timespec wait{1, 0};
    if (held) {
      double left = std::max(0.0, queue[head].due + kSlack - now());
      wait.tv_sec = static_cast<time_t>(left);
      wait.tv_nsec = static_cast<long>((left - static_cast<double>(wait.tv_sec)) * 1e9);
    }
    pollfd p{fd, POLLIN, 0};
    if (ppoll(&p, 1, &wait, nullptr) > 0) {
      for (;;) {
        for (int i = 0; i < kBatch; ++i) {
          iov[i] = {in[i], sizeof in[i]};
          msgs[i].msg_hdr = msghdr{&from[i], sizeof from[i], &iov[i], 1, nullptr, 0, 0};
        }
        int got = recvmmsg(fd, msgs, kBatch, MSG_DONTWAIT, nullptr);
        if (got <= 0) break;
        double arrived = now();
        for (int i = 0; i < got; ++i) {
          ++received;
          if (held == queue.size()) {
            ++full;
            continue;
          }
          Reply& r = queue[(head + held) % queue.size()];
          if (!build_reply(in[i], msgs[i].msg_len, &r)) {
            ++malformed;
            continue;
          }
          r.due = arrived + delay;
          r.to = from[i];
          ++held;
        }
        if (got < kBatch) break;
      }
    }
    // what is due goes out in one batch: at most kSlack late, never early
    double t = now() - kSlack;
    if (held && queue[head].due > t) continue;
    t += kSlack;
    while (held && queue[head].due <= t) {
      int n = 0;
      while (n < kBatch && n < static_cast<int>(held) &&
             queue[(head + n) % queue.size()].due <= t) {
        Reply& r = queue[(head + n) % queue.size()];
        iov[n] = {r.data, r.length};
        msgs[n].msg_hdr = msghdr{&r.to, sizeof r.to, &iov[n], 1, nullptr, 0, 0};
        ++n;
      }
      int sent = sendmmsg(fd, msgs, static_cast<unsigned>(n), 0);
      if (sent <= 0) sent = 1;  // drop what cannot be sent rather than spin
      answered += sent;
      head = (head + static_cast<size_t>(sent)) % queue.size();
      held -= static_cast<size_t>(sent);
    }
  }
  printf("  responder: %ld queries, %ld answered, %ld over its queue, %ld malformed\n", received,
         answered, full, malformed);
  fflush(stdout);
  _exit(0);
}

pid_t start_responder(double delay) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int size = 32 << 20;
  // beyond the system's limit for root; the plain option as a fallback
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(53);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    perror("responder socket");
    if (fd >= 0) close(fd);
    return -1;
  }
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) run_responder(fd, delay);
  close(fd);
  return pid;
}

// Keeps the server reading through a burst on a busy machine.
void prioritise(pid_t server) {
  sched_param param{};
  param.sched_priority = 10;
  if (sched_setscheduler(server, SCHED_FIFO, &param) != 0)
    setpriority(PRIO_PROCESS, static_cast<id_t>(server), -10);
}

bool wait_dns_ready() {
  for (int i = 0; i < 500; ++i) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* result = nullptr;
    if (getaddrinfo("ready.bench.test", nullptr, &hints, &result) == 0) {
      freeaddrinfo(result);
      return true;
    }
    usleep(10000);
  }
  return false;
}

// Datagrams the kernel dropped for a full receive queue: on the server's
// socket (127.0.0.1:53) and in the whole namespace.
struct Drops {
  long server = 0, total = 0;
};

Drops read_drops() {
  Drops d;
  if (FILE* f = fopen("/proc/net/udp", "r")) {
    char line[512];
    while (fgets(line, sizeof line, f)) {
      if (!strstr(line, " 0100007F:0035 ")) continue;
      // the last column
      char* save = nullptr;
      const char* last = nullptr;
      for (char* t = strtok_r(line, " \n", &save); t; t = strtok_r(nullptr, " \n", &save)) last = t;
      if (last) d.server += atol(last);
    }
    fclose(f);
  }
  if (FILE* f = fopen("/proc/net/snmp", "r")) {
    char names[1024], values[1024];
    while (fgets(names, sizeof names, f) && fgets(values, sizeof values, f)) {
      if (strncmp(names, "Udp:", 4) != 0) continue;
      // the column named RcvbufErrors
      char *n_save = nullptr, *v_save = nullptr;
      char* n = strtok_r(names, " \n", &n_save);
      char* v = strtok_r(values, " \n", &v_save);
      while (n && v) {
        if (strcmp(n, "RcvbufErrors") == 0) d.total = atol(v);
        n = strtok_r(nullptr, " \n", &n_save);
        v = strtok_r(nullptr, " \n", &v_save);
      }
      break;
    }
    fclose(f);
  }
  return d;
}

// poll(readers, writers, timeout) -> ready readers, ready writers
int lua_poll(lua_State* L) {
  pollfd fds[64];
  int n = 0, readers = 0;
  for (int arg = 1; arg <= 2; ++arg) {
    for (lua_Integer i = 1; i <= static_cast<lua_Integer>(lua_rawlen(L, arg)) && n < 64; ++i) {
      lua_rawgeti(L, arg, i);
      fds[n].fd = static_cast<int>(lua_tointeger(L, -1));
      fds[n].events = arg == 1 ? POLLIN : POLLOUT;
      fds[n].revents = 0;
      lua_pop(L, 1);
      ++n;
    }
    if (arg == 1) readers = n;
  }
  int timeout_ms = lua_isnil(L, 3) ? -1 : static_cast<int>(lua_tonumber(L, 3) * 1000.0 + 0.999);
  poll(fds, static_cast<nfds_t>(n), timeout_ms);
  for (int part = 0; part < 2; ++part) {
    lua_newtable(L);
    lua_Integer count = 0;
    for (int i = part ? readers : 0; i < (part ? n : readers); ++i) {
      if (fds[i].revents == 0) continue;
      lua_pushinteger(L, fds[i].fd);
      lua_rawseti(L, -2, ++count);
    }
  }
  return 2;
}

int lua_now(lua_State* L) {
  lua_pushnumber(L, now());
  return 1;
}

constexpr char kLookups[] = R"lua(
local ares = require "ares"
local count, tag = ...
-- room for every answer that arrives while the requests are still being started
local channel = assert(ares.init{socket_receive_buffer_size = 4 * 1024 * 1024})
local done, good, timeouts = 0, 0, 0
local started = now()
for i = 1, count do
  channel:getaddrinfo(string.format("h%s-%d.bench.test", tag, i), "any", nil,
    function(status, lost, a, b)
      done = done + 1
      timeouts = timeouts + lost
      if status == 0 and a and b then good = good + 1 end
    end)
end
while true do
  local readers, writers, _, timeout = channel:fds()
  if timeout == nil then break end
  local readable, writable = poll(readers, writers, timeout)
  channel:process(readable, writable)
end
return now() - started, done, good, timeouts
)lua";

struct Figures {
  double seconds;
  int good;
  int timeouts;  // answers lost and asked again after c-ares' time-out
};

lua_State* new_state(const char* module_dir) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  lua_register(L, "poll", lua_poll);
  lua_register(L, "now", lua_now);
  std::string cpath = std::string(module_dir) + "/?.so";
  lua_getglobal(L, "package");
  lua_pushstring(L, cpath.c_str());
  lua_setfield(L, -2, "cpath");
  lua_pop(L, 1);
  return L;
}

Figures run_module(lua_State* L, int count, const char* tag) {
  lua_settop(L, 0);
  if (luaL_loadstring(L, kLookups) != LUA_OK) return {0, -1, 0};
  lua_pushinteger(L, count);
  lua_pushstring(L, tag);
  if (lua_pcall(L, 2, 4, 0) != LUA_OK) {
    fprintf(stderr, "lua: %s\n", lua_tostring(L, -1));
    return {0, -1, 0};
  }
  return {lua_tonumber(L, 1), static_cast<int>(lua_tointeger(L, 3)),
          static_cast<int>(lua_tointeger(L, 4))};
}

Figures run_blocking(int count, const char* tag) {
  int good = 0;
  double started = now();
  for (int i = 1; i <= count; ++i) {
    char name[64];
    snprintf(name, sizeof name, "b%s-%d.bench.test", tag, i);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    addrinfo* result = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &result) == 0) {
      ++good;
      freeaddrinfo(result);
    }
  }
  return {now() - started, good, 0};
}

double median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Options {
  int count, rounds;
  lua_State* module;
  lua_State* baseline;  // nullptr: none
};

// Runs the rounds against the server now on 127.0.0.1:53; false when a
// lookup failed.
bool run_rounds(const Options& o, const char* server, int phase) {
  std::vector<double> module_times, baseline_times, blocking_times;
  bool all_good = true;
  printf("\n%s: %d lookups of distinct names (A and AAAA each), %d rounds\n", server, o.count,
         o.rounds);
  printf("round  module ms%s  blocking ms  ratio%s  time-outs  drops server/client\n",
         o.baseline ? "  baseline ms" : "", o.baseline ? "  baseline ratio" : "");
  for (int round = 1; round <= o.rounds; ++round) {
    char tag[32];
    Drops before = read_drops();
    snprintf(tag, sizeof tag, "%d-%d", phase, round);
    Figures m = run_module(o.module, o.count, tag);
    Figures b{0, o.count, 0};
    if (o.baseline) {
      snprintf(tag, sizeof tag, "%d-%dold", phase, round);
      b = run_module(o.baseline, o.count, tag);
    }
    snprintf(tag, sizeof tag, "%d-%d", phase, round);
    Figures g = run_blocking(o.count, tag);
    Drops after = read_drops();
    all_good = all_good && m.good == o.count && b.good == o.count && g.good == o.count;
    module_times.push_back(m.seconds);
    blocking_times.push_back(g.seconds);
    printf("%5d  %9.1f", round, m.seconds * 1e3);
    if (o.baseline) {
      baseline_times.push_back(b.seconds);
      printf("  %11.1f", b.seconds * 1e3);
    }
    printf("  %11.1f  %5.1f", g.seconds * 1e3, g.seconds / m.seconds);
    if (o.baseline) printf("  %14.1f", g.seconds / b.seconds);
    long server_drops = after.server - before.server;
    printf("  %9d  %ld/%ld\n", m.timeouts + b.timeouts, server_drops,
           after.total - before.total - server_drops);
  }
  double mm = median(module_times), mg = median(blocking_times);
  printf("median: module %.1f ms (%.1f us per lookup), blocking %.1f ms (%.1f us per lookup)\n",
         mm * 1e3, mm * 1e6 / o.count, mg * 1e3, mg * 1e6 / o.count);
  printf("ratio blocking / module (medians): %.1f\n", mg / mm);
  if (o.baseline) {
    double mb = median(baseline_times);
    printf("baseline module: median %.1f ms, ratio blocking / baseline %.1f\n", mb * 1e3, mg / mb);
  }
  fflush(stdout);
  return all_good;
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr,
            "usage: %s <lua module dir> [lookups] [rounds] [delay ms] [baseline module dir]\n",
            argv[0]);
    return 2;
  }
  Options o{};
  o.count = argc > 2 ? atoi(argv[2]) : 1000;
  o.rounds = argc > 3 ? atoi(argv[3]) : 5;
  double delay_ms = argc > 4 ? atof(argv[4]) : 2.0;
  if (!enter_sandbox()) return 1;
  o.module = new_state(argv[1]);
  o.baseline = argc > 5 ? new_state(argv[5]) : nullptr;

  bool all_good = true;
  pid_t dnsmasq = start_dnsmasq();
  if (dnsmasq > 0) prioritise(dnsmasq);
  if (dnsmasq < 0 || !wait_dns_ready()) {
    fprintf(stderr, "dnsmasq did not answer\n");
    all_good = false;
  } else {
    all_good = run_rounds(o, "dnsmasq, answering at once", 1) && all_good;
  }
  stop(dnsmasq);

  const double delays[] = {0.0, delay_ms / 1e3};
  for (int i = 0; i < 2; ++i) {
    pid_t responder = start_responder(delays[i]);
    if (responder > 0) prioritise(responder);
    if (responder < 0 || !wait_dns_ready()) {
      fprintf(stderr, "the responder did not answer\n");
      stop(responder);
      all_good = false;
      continue;
    }
    char title[96];
    snprintf(title, sizeof title, "own responder, answering after %g ms", delays[i] * 1e3);
    all_good = run_rounds(o, title, 2 + i) && all_good;
    stop(responder);
  }

  lua_close(o.module);
  if (o.baseline) lua_close(o.baseline);
  if (!all_good) {
    fprintf(stderr, "some lookups failed\n");
    return 1;
  }
  return 0;
}
