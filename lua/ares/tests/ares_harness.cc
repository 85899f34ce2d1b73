// SPDX-License-Identifier: ISC
#include "ares_harness.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <stdlib.h>

#include <ares.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "lua_expect.h"

namespace ares_test {
namespace {

// Helpers visible to the Lua side. Plain frames: they raise Lua errors.

constexpr int kMaxWatched = 64;

// Appends the descriptors of the list at `arg` to `fds` with `events`.
int add_watched(lua_State* L, int arg, short events, pollfd* fds, int n) {
  if (lua_isnoneornil(L, arg)) return n;
  luaL_checktype(L, arg, LUA_TTABLE);
  for (lua_Integer i = 1; i <= static_cast<lua_Integer>(lua_rawlen(L, arg)); ++i) {
    if (n == kMaxWatched) luaL_error(L, "poll: more than %d descriptors", kMaxWatched);
    lua_rawgeti(L, arg, i);
    fds[n].fd = static_cast<int>(luaL_checkinteger(L, -1));
    fds[n].events = events;
    fds[n].revents = 0;
    lua_pop(L, 1);
    ++n;
  }
  return n;
}

// poll(readers, writers, timeout) -> ready readers, ready writers
int lua_poll(lua_State* L) {
  pollfd fds[kMaxWatched];
  int n = add_watched(L, 1, POLLIN, fds, 0);
  int readers = n;
  n = add_watched(L, 2, POLLOUT, fds, n);
  int timeout_ms = -1;
  if (!lua_isnoneornil(L, 3))
    timeout_ms = static_cast<int>(luaL_checknumber(L, 3) * 1000.0 + 0.999);
  if (n == 0 && timeout_ms < 0) luaL_error(L, "poll: nothing to wait for");
  if (poll(fds, static_cast<nfds_t>(n), timeout_ms) < 0) luaL_error(L, "poll: %s", strerror(errno));
  for (int part = 0; part < 2; ++part) {
    lua_newtable(L);
    int from = part == 0 ? 0 : readers, to = part == 0 ? readers : n;
    lua_Integer count = 0;
    for (int i = from; i < to; ++i) {
      if (fds[i].revents == 0) continue;
      lua_pushinteger(L, fds[i].fd);
      lua_rawseti(L, -2, ++count);
    }
  }
  return 2;
}

// getsock(channel) -> readers, writers: c-ares' own view of the channel's
// sockets, each list in ascending order.
int lua_getsock(lua_State* L) {
  ares_channel channel = *static_cast<ares_channel*>(luaL_checkudata(L, 1, "ares_channel"));
  ares_socket_t socks[ARES_GETSOCK_MAXNUM];
  int mask = ares_getsock(channel, socks, ARES_GETSOCK_MAXNUM);
  for (int pass = 0; pass < 2; ++pass) {
    ares_socket_t fds[ARES_GETSOCK_MAXNUM];  // plain array: lua_newtable may raise
    int count = 0;
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i)
      if (pass == 0 ? ARES_GETSOCK_READABLE(mask, i) : ARES_GETSOCK_WRITABLE(mask, i))
        fds[count++] = socks[i];
    std::sort(fds, fds + count);
    lua_newtable(L);
    for (int i = 0; i < count; ++i) {
      lua_pushinteger(L, fds[i]);
      lua_rawseti(L, -2, i + 1);
    }
  }
  return 2;
}

int lua_now(lua_State* L) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  lua_pushnumber(L,
                 static_cast<lua_Number>(ts.tv_sec) + static_cast<lua_Number>(ts.tv_nsec) * 1e-9);
  return 1;
}

int traceback(lua_State* L) {
  const char* message = lua_tostring(L, 1);
  luaL_traceback(L, L, message ? message : luaL_tolstring(L, 1, nullptr), 1);
  return 1;
}

constexpr char kPrelude[] = R"lua(
package.cpath = MODULE_DIR .. "/?.so"
ares = require "ares"

-- The event loop the module expects of its user.
function drive(channel, limit)
  limit = limit or 10
  local deadline = now() + limit
  local rounds = 0
  while true do
    local readers, writers, _, timeout = channel:fds()
    if timeout == nil then return rounds end
    expect_true(now() < deadline, string.format("drive: requests still pending after %s s", limit))
    local readable, writable = poll(readers, writers, timeout)
    channel:process(readable, writable)
    rounds = rounds + 1
  end
end
)lua";

bool wait_udp_bound(const char* local_hex) {
  return testkit::wait_until(
      [&] { return testkit::read_file("/proc/net/udp").find(local_hex) != std::string::npos; },
      5000, 5);
}

}  // namespace

Lua::Lua(lua_Alloc alloc, void* ud) {
  L_ = alloc ? lua_newstate(alloc, ud) : luaL_newstate();
  luaL_openlibs(L_);
  lua_register(L_, "poll", lua_poll);
  lua_register(L_, "now", lua_now);
  lua_register(L_, "getsock", lua_getsock);
  lua_pushstring(L_, EO_LUA54_DIR);
  lua_setglobal(L_, "MODULE_DIR");
  std::string error = lua_expect::load(L_);
  if (error.empty()) error = run(kPrelude);
  if (!error.empty()) fprintf(stderr, "ares harness: prelude failed: %s\n", error.c_str());
}

Lua::~Lua() { lua_close(L_); }

std::string Lua::run(const std::string& chunk) {
  int top = lua_gettop(L_);
  lua_pushcfunction(L_, traceback);
  int status = luaL_loadbuffer(L_, chunk.data(), chunk.size(), "=test");
  if (status == LUA_OK) status = lua_pcall(L_, 0, 0, top + 1);
  std::string error;
  if (status != LUA_OK) {
    const char* message = lua_tostring(L_, -1);
    error = message ? message : "(error object is not a string)";
    if (error.empty()) error = "(empty error)";
  }
  lua_settop(L_, top);
  return error;
}

int Lua::registry_refs() {
  int refs = 0;
  lua_pushnil(L_);
  while (lua_next(L_, LUA_REGISTRYINDEX) != 0) {
    // references live above the reserved slots and the free-list head
    if (lua_isinteger(L_, -2) && lua_tointeger(L_, -2) > LUA_RIDX_LAST + 1 && !lua_isnumber(L_, -1))
      ++refs;
    lua_pop(L_, 1);
  }
  return refs;
}

DnsWorld::DnsWorld() {
  if (!testkit::in_private_namespaces()) {
    error_ = "needs private namespaces (root)";
    return;
  }
  // Placed through a private overlay, so a machine without one of them (a
  // minimal install has neither /etc/hosts nor /etc/services) gets it all
  // the same.
  for (auto [path, content] : {std::pair{"/etc/resolv.conf", "nameserver 127.0.0.1\n"},
                               std::pair{"/etc/hosts",
                                         "127.0.0.1 localhost\n"
                                         "192.0.2.77 hostsonly.test\n"},
                               std::pair{"/etc/services", "http 80/tcp www\nhttp 80/udp\n"}}) {
    if (!testkit::place_file(path, content, 0644)) {
      error_ = std::string("placing ") + path + ": " + strerror(errno);
      return;
    }
  }
  testkit::SpawnOptions options;
  options.capture_output = true;
  dnsmasq_ = testkit::Child(
      {"/usr/sbin/dnsmasq", "--no-daemon", "--conf-file=/dev/null", "--port=53",
       "--listen-address=127.0.0.1", "--bind-interfaces", "--no-resolv", "--no-hosts",
       "--local-ttl=60", "--host-record=www.example.test,192.0.2.10,2001:db8::10",
       "--host-record=v6only.example.test,2001:db8::20",
       "--cname=alias.example.test,www.example.test", "--address=/nx.test/",
       "--address=/multi.example.test/192.0.2.31", "--address=/multi.example.test/192.0.2.32",
       "--txt-record=big.example.test," + std::string(250, 'a') + "," + std::string(250, 'b') +
           "," + std::string(250, 'c')},
      options);
  if (!wait_udp_bound("0100007F:0035"))  // 127.0.0.1:53
    error_ = "dnsmasq did not start: " + dnsmasq_.output();
}

SilentServer::SilentServer() {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port_ = ntohs(address.sin_port);
}

SilentServer::~SilentServer() {
  if (fd_ >= 0) close(fd_);
}

bool stacks_have_names() {
  const char* options = getenv("ASAN_OPTIONS");
  if (options && strstr(options, "symbolize=0")) return false;
  const char* symbolizer = getenv("ASAN_SYMBOLIZER_PATH");
  if (symbolizer && *symbolizer) return access(symbolizer, X_OK) == 0;
  const char* path = getenv("PATH");
  std::string_view rest = path ? path : "";
  while (!rest.empty()) {
    size_t colon = rest.find(':');
    std::string candidate(rest.substr(0, colon));
    candidate += "/llvm-symbolizer";
    if (access(candidate.c_str(), X_OK) == 0) return true;
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  }
  return false;
}

}  // namespace ares_test

// Channels are never destroyed: their memory stays allocated until the
// process ends, which the leak checker of sanitizer builds must accept.
// Full stacks let the suppression match c-ares' inner allocations too.
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
// The socket list of a channel lives as long as the channel. Stacks carry
// function names only where a symbolizer runs; elsewhere only the library's
// name can match, which is wider, so it is used only then.
extern "C" const char* __lsan_default_suppressions() {
  static const char named[] =
      "leak:ares_init_options\nleak:socket_list_new\nleak:note_socket_state\n";
  static const char unnamed[] = "leak:libcares.so\nleak:/ares.so\n";
  return ares_test::stacks_have_names() ? named : unnamed;
}
