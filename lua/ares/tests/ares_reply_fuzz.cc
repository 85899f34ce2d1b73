// SPDX-License-Identifier: ISC
// Feeds arbitrary name-server replies to the module: a request started from
// Lua (a query or an address lookup) sends its queries to a UDP socket of
// this process, which answers each with the next reply cut from the input;
// the channel is driven from Lua until the request completes (or is
// cancelled), so the bytes go through c-ares, the completion and the Lua
// callback, which also runs both reply parsers on them. Every reply is
// given to the parsers directly as well.
//
// Input: one byte choosing the request and how replies are built, then
// replies, each a two-byte big-endian length and that many bytes.
//   bits 0-2  query A, query AAAA, query of the type in the next byte,
//             lookup "any", "inet", "inet6", "any" with service 80,
//             query CNAME
//   bit 3     the reply keeps its own first 12 bytes (header) but takes the
//             query's question: header, question of the query, rest
//   bit 4     the reply keeps its own identifier instead of the query's
//
// The callback checks the shape of what it is given; the harness checks
// that each request completes exactly once and leaves no reference and no
// stack value behind.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ares.h>

#include <string>

#include "lua_expect.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
int luaopen_ares(lua_State* L);
}

namespace {

constexpr char kLuaSide[] = R"lua(
local ares = ...
failure = nil
__uloop_error_cb = function(e)
  failure = failure or tostring(e)
  return e
end

local function check_host(host, err)
  if host == nil then
    expect_true(type(err) == "string" and #err > 0, "parser error " .. tostring(err))
    return
  end
  expect_true(type(host) == "table" and type(host.name) == "string", "host table")
  expect_true(host.addrtype == "inet" or host.addrtype == "inet6",
              "addrtype " .. tostring(host.addrtype))
  for _, alias in ipairs(host.aliases) do expect_true(type(alias) == "string", "alias") end
  for _, address in ipairs(host.addr_list) do
    expect_true(type(address) == "string", "address")
    if host.addrtype == "inet" then
      expect_true(address:match("^%d+%.%d+%.%d+%.%d+$"), string.format("IPv4 text %q", address))
    else
      expect_true(address:find(":", 1, true), string.format("IPv6 text %q", address))
    end
  end
end

function parse_both(reply)
  check_host(ares.parse_a_reply(reply))
  check_host(ares.parse_aaaa_reply(reply))
end

local families = {"any", "inet", "inet6", "any"}
completions = 0
-- ARES_FUZZ_SHOW=1 prints every completion (to look at what seeds reach)
local show = os.getenv("ARES_FUZZ_SHOW") and print or function() end

function start(channel, kind, qtype)
  completions = 0
  if kind <= 2 or kind == 7 then
    local t = ({ares.type.A, ares.type.AAAA, qtype, [8] = ares.type.CNAME})[kind + 1]
    channel:query("www.fuzz.test", ares.class.IN, t, function(status, timeouts, reply, extra)
      completions = completions + 1
      show("query", t, status, timeouts, #reply)
      expect_true(math.type(status) == "integer" and math.type(timeouts) == "integer", "counts")
      expect_true(type(reply) == "string" and extra == nil, "reply argument")
      if status == 0 then expect_true(#reply > 0, "success without a reply") end
      parse_both(reply)
    end)
  else
    local service = kind == 6 and 80 or nil
    local family = families[kind - 2]
    channel:getaddrinfo("www.fuzz.test.", family, service, function(status, timeouts, ...)
      completions = completions + 1
      expect_true(math.type(status) == "integer" and math.type(timeouts) == "integer", "counts")
      local n = select("#", ...)
      show("lookup", family, service, status, timeouts, n)
      if status ~= 0 then expect_true(n == 0, string.format("entries after status %d", status)) end
      for i = 1, n do
        local e = select(i, ...)
        expect_true(e.family == "inet" or e.family == "inet6", "family " .. tostring(e.family))
        if family ~= "any" then
          expect_true(e.family == family, string.format("family %s for %s", e.family, family))
        end
        expect_true(type(e.address) == "string" and math.type(e.ttl) == "float", "address and ttl")
        if service then
          expect_true(e.port == 80, string.format("port %s", tostring(e.port)))
        else
          expect_true(e.port == nil and e.socktype == nil, "port without a service")
        end
      end
    end, 0.5)
  end
end

function step(channel)
  local readers, writers, count, timeout = channel:fds()
  channel:process(readers, writers)
  return timeout ~= nil
end
)lua";

struct World {
  lua_State* L = nullptr;
  ares_channel handle = nullptr;
  int server = -1;
  int channel_ref = LUA_NOREF;
  int refs_at_rest = 0;
};

int count_refs(lua_State* L) {
  int refs = 0;
  lua_pushnil(L);
  while (lua_next(L, LUA_REGISTRYINDEX) != 0) {
    if (lua_isinteger(L, -2) && lua_tointeger(L, -2) > LUA_RIDX_LAST + 1 && !lua_isnumber(L, -1))
      ++refs;
    lua_pop(L, 1);
  }
  return refs;
}

[[noreturn]] void fail(const char* what, const char* detail) {
  fprintf(stderr, "ares_reply_fuzz: %s%s%s\n", what, detail ? ": " : "", detail ? detail : "");
  abort();
}

void call(lua_State* L, const char* function, int nargs, int nresults) {
  lua_getglobal(L, function);
  lua_insert(L, -nargs - 1);
  if (lua_pcall(L, nargs, nresults, 0) != LUA_OK) fail(function, lua_tostring(L, -1));
}

World& world() {
  static World w;
  if (w.L) return w;
  w.server = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (w.server < 0 || bind(w.server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(w.server, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    fail("server socket", nullptr);
  int port = ntohs(address.sin_port);

  lua_State* L = w.L = luaL_newstate();
  luaL_openlibs(L);
  luaL_requiref(L, "ares", luaopen_ares, 1);
  const std::string error = lua_expect::load(L);
  if (!error.empty()) fail("assertions", error.c_str());
  if (luaL_loadstring(L, kLuaSide) != LUA_OK) fail("load", lua_tostring(L, -1));
  lua_insert(L, -2);  // the module as the chunk's argument
  if (lua_pcall(L, 1, 0, 0) != LUA_OK) fail("chunk", lua_tostring(L, -1));

  // One try of one second per query: nothing here ever waits for it.
  char chunk[160];
  snprintf(chunk, sizeof chunk,
           "return assert(ares.init{udp_port = %d, tcp_port = %d, timeout = 1, tries = 1})", port,
           port);
  if (luaL_dostring(L, chunk) != LUA_OK) fail("init", lua_tostring(L, -1));
  w.handle = *static_cast<ares_channel*>(lua_touserdata(L, -1));
  w.channel_ref = luaL_ref(L, LUA_REGISTRYINDEX);
  char servers[32];
  snprintf(servers, sizeof servers, "127.0.0.1:%d", port);
  if (ares_set_servers_ports_csv(w.handle, servers) != ARES_SUCCESS) fail("servers", servers);
  w.refs_at_rest = count_refs(L);
  return w;
}

// Length of the question section of the query `q` (from byte 12), 0 when
// it has none that can be read.
size_t question_length(const unsigned char* q, size_t n) {
  size_t pos = 12;
  while (pos < n && q[pos] != 0) pos += q[pos] + 1u;
  return pos + 5 <= n ? pos + 5 - 12 : 0;
}

struct Input {
  const uint8_t* data;
  size_t size;
  size_t pos;
  // The next reply of the input; false when there is none.
  bool next(const uint8_t** reply, size_t* length) {
    if (pos + 2 > size) return false;
    size_t want = static_cast<size_t>(data[pos]) << 8 | data[pos + 1];
    pos += 2;
    *length = want < size - pos ? want : size - pos;
    *reply = data + pos;
    pos += *length;
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  World& w = world();
  lua_State* L = w.L;
  int top = lua_gettop(L);
  unsigned mode = data[0];
  unsigned kind = mode & 7;
  bool take_question = mode & 8, own_id = mode & 16;
  Input input{data, size, 1};
  int qtype = 1;
  if (kind == 2 && size > 1) {
    qtype = data[1];
    input.pos = 2;
  }

  // Every reply of the input goes to the parsers as it is.
  for (Input all = input;;) {
    const uint8_t* reply;
    size_t length;
    if (!all.next(&reply, &length)) break;
    lua_pushlstring(L, reinterpret_cast<const char*>(reply), length);
    call(L, "parse_both", 1, 0);
  }

  unsigned char query[512];
  while (recv(w.server, query, sizeof query, 0) > 0) {
  }  // nothing left from an earlier input

  lua_rawgeti(L, LUA_REGISTRYINDEX, w.channel_ref);
  lua_pushinteger(L, kind);
  lua_pushinteger(L, qtype);
  call(L, "start", 3, 0);

  for (int round = 0, idle = 0; round < 16; ++round) {
    bool answered = false;
    sockaddr_in from;
    socklen_t from_length = sizeof from;
    ssize_t n;
    while ((n = recvfrom(w.server, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&from),
                         &from_length)) > 0) {
      const uint8_t* reply;
      size_t length;
      if (!input.next(&reply, &length)) break;
      unsigned char out[1024];
      size_t used = 0;
      size_t question = take_question ? question_length(query, static_cast<size_t>(n)) : 0;
      if (question && length >= 12) {
        size_t rest = length - 12;
        if (rest > sizeof out - 12 - question) rest = sizeof out - 12 - question;
        memcpy(out, reply, 12);
        out[4] = 0;
        out[5] = 1;
        memcpy(out + 12, query + 12, question);
        memcpy(out + 12 + question, reply + 12, rest);
        used = 12 + question + rest;
      } else {
        used = length < sizeof out ? length : sizeof out;
        memcpy(out, reply, used);
      }
      if (!own_id && used >= 2 && n >= 2) memcpy(out, query, 2);
      sendto(w.server, out, used, 0, reinterpret_cast<sockaddr*>(&from), from_length);
      answered = true;
      from_length = sizeof from;
    }
    lua_rawgeti(L, LUA_REGISTRYINDEX, w.channel_ref);
    call(L, "step", 1, 1);
    bool pending = lua_toboolean(L, -1);
    lua_pop(L, 1);
    if (!pending) break;
    if (!answered) {
      // a query the input has no reply for, or a TCP retry (nothing listens
      // for it): a few more rounds let c-ares see the refused connection
      pollfd p{w.server, POLLIN, 0};
      if (poll(&p, 1, 0) <= 0 && ++idle > 2) break;
    }
  }
  ares_cancel(w.handle);

  lua_getglobal(L, "failure");
  if (!lua_isnil(L, -1)) fail("callback", lua_tostring(L, -1));
  lua_pop(L, 1);
  lua_getglobal(L, "completions");
  lua_Integer completions = lua_tointeger(L, -1);
  lua_pop(L, 1);
  if (completions != 1) {
    char text[32];
    snprintf(text, sizeof text, "%lld", static_cast<long long>(completions));
    fail("completions of one request", text);
  }
  if (count_refs(L) != w.refs_at_rest) fail("registry references left behind", nullptr);
  if (lua_gettop(L) != top) fail("values left on the stack", nullptr);
  // The garbage of this input goes now: memory still held afterwards is
  // what the leak check of the fuzzer looks at.
  lua_gc(L, LUA_GCCOLLECT);
  return 0;
}
