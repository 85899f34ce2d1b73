// SPDX-License-Identifier: ISC
// Module surface, channels, their options and the event-loop hooks.
#include <arpa/nameser.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ares.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ares_harness.h"

namespace {

using ares_test::DnsWorld;
using ares_test::Lua;
using ares_test::SilentServer;

#define EXPECT_LUA_OK(lua, chunk)                       \
  do {                                                  \
    std::string lua_error_ = (lua).run(chunk);          \
    EXPECT_EQ(lua_error_, "") << "chunk:\n" << (chunk); \
  } while (0)

TEST(ares_module, ExportsItsRegistrationTables) {
  void* module = dlopen(EO_LUA54_DIR "/ares.so", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  struct Table {
    const char* symbol;
    std::vector<std::string> rows;
  } tables[] = {
      {"ares_functions", {"init", "parse_a_reply", "parse_aaaa_reply"}},
      {"ares_channel_methods", {"query", "getaddrinfo", "fds", "process"}},
  };
  for (const Table& table : tables) {
    auto* reg = static_cast<const luaL_Reg*>(dlsym(module, table.symbol));
    ASSERT_NE(reg, nullptr) << table.symbol;
    std::vector<std::string> seen;
    for (; reg->name != nullptr; ++reg) {
      EXPECT_NE(reg->func, nullptr) << table.symbol << "." << reg->name;
      seen.emplace_back(reg->name);
    }
    EXPECT_EQ(seen, table.rows) << table.symbol;
  }
  EXPECT_NE(dlsym(module, "luaopen_ares"), nullptr);
  dlclose(module);
}

TEST(ares_module, TableAndChannelMetatable) {
  Lua lua;
  EXPECT_LUA_OK(lua, R"lua(
    local names = {}
    for k, v in pairs(ares) do names[#names + 1] = k .. ":" .. type(v) end
    table.sort(names)
    expect(names, {"class:table", "init:function", "parse_a_reply:function",
               "parse_aaaa_reply:function", "type:table"}, "module table")

    local mt = debug.getregistry().ares_channel
    expect_true(type(mt) == "table", "no registry metatable ares_channel")
    local methods = {}
    for k, v in pairs(mt.__index) do methods[#methods + 1] = k .. ":" .. type(v) end
    table.sort(methods)
    expect(methods, {"fds:function", "getaddrinfo:function", "process:function", "query:function"},
           "channel methods")
    expect({mt.__gc, mt.__tostring, mt.__close}, {}, "finaliser and friends")
    local ch = ares.init()
    expect(type(ch), "userdata", "channel type")
    expect_true(getmetatable(ch) == mt, "channel metatable is not the registry's")
  )lua");
}

TEST(ares_module, ConstantTables) {
  Lua lua;
  EXPECT_LUA_OK(lua, R"lua(
    expect({ares.type.NSAP_PTR, ares.class["2"], ares.class[2], ares.type.MAX, ares.class.MAX,
            ares.type.ZXFR, ares.class.IN, ares.type.A, ares.type.AAAA},
           {23, 2, nil, 65536, 65536, 256, 1, 1, 28}, "spot values")
    local function count(t) local n = 0 for _ in pairs(t) do n = n + 1 end return n end
    expect({count(ares.class), count(ares.type)}, {8, 52}, "entries")
    for _, t in ipairs{ares.class, ares.type} do
      for k, v in pairs(t) do
        expect_true(type(k) == "string" and #k <= 15 and k == k:upper(), "odd key " .. show(k))
        expect_true(math.type(v) == "integer", string.format("%s is not an integer", k))
      end
    end
  )lua");
  // The values that the host's resolver header also has must agree with it.
  struct Entry {
    const char* table;
    const char* name;
    int value;
  } const header[] = {
      {"class", "INVALID", ns_c_invalid},
      {"class", "IN", ns_c_in},
      {"class", "2", ns_c_2},
      {"class", "CHAOS", ns_c_chaos},
      {"class", "HS", ns_c_hs},
      {"class", "NONE", ns_c_none},
      {"class", "ANY", ns_c_any},
      {"class", "MAX", ns_c_max},
      {"type", "INVALID", ns_t_invalid},
      {"type", "A", ns_t_a},
      {"type", "NS", ns_t_ns},
      {"type", "MD", ns_t_md},
      {"type", "MF", ns_t_mf},
      {"type", "CNAME", ns_t_cname},
      {"type", "SOA", ns_t_soa},
      {"type", "MB", ns_t_mb},
      {"type", "MG", ns_t_mg},
      {"type", "MR", ns_t_mr},
      {"type", "NULL", ns_t_null},
      {"type", "WKS", ns_t_wks},
      {"type", "PTR", ns_t_ptr},
      {"type", "HINFO", ns_t_hinfo},
      {"type", "MINFO", ns_t_minfo},
      {"type", "MX", ns_t_mx},
      {"type", "TXT", ns_t_txt},
      {"type", "RP", ns_t_rp},
      {"type", "AFSDB", ns_t_afsdb},
      {"type", "X25", ns_t_x25},
      {"type", "ISDN", ns_t_isdn},
      {"type", "RT", ns_t_rt},
      {"type", "NSAP", ns_t_nsap},
      {"type", "NSAP_PTR", ns_t_nsap_ptr},
      {"type", "SIG", ns_t_sig},
      {"type", "KEY", ns_t_key},
      {"type", "PX", ns_t_px},
      {"type", "GPOS", ns_t_gpos},
      {"type", "AAAA", ns_t_aaaa},
      {"type", "LOC", ns_t_loc},
      {"type", "NXT", ns_t_nxt},
      {"type", "EID", ns_t_eid},
      {"type", "NIMLOC", ns_t_nimloc},
      {"type", "SRV", ns_t_srv},
      {"type", "ATMA", ns_t_atma},
      {"type", "NAPTR", ns_t_naptr},
      {"type", "KX", ns_t_kx},
      {"type", "CERT", ns_t_cert},
      {"type", "A6", ns_t_a6},
      {"type", "DNAME", ns_t_dname},
      {"type", "SINK", ns_t_sink},
      {"type", "OPT", ns_t_opt},
      {"type", "APL", ns_t_apl},
      {"type", "TKEY", ns_t_tkey},
      {"type", "TSIG", ns_t_tsig},
      {"type", "IXFR", ns_t_ixfr},
      {"type", "AXFR", ns_t_axfr},
      {"type", "MAILB", ns_t_mailb},
      {"type", "MAILA", ns_t_maila},
      {"type", "ANY", ns_t_any},
      {"type", "MAX", ns_t_max},
  };
  lua_State* L = lua.state();
  for (const Entry& e : header) {
    lua_getglobal(L, "ares");
    lua_getfield(L, -1, e.table);
    lua_getfield(L, -1, e.name);
    EXPECT_TRUE(lua_isinteger(L, -1)) << e.table << "." << e.name << " is missing";
    EXPECT_EQ(lua_tointeger(L, -1), e.value) << e.table << "." << e.name;
    lua_pop(L, 3);
  }
}

// The options a channel ends up with, as c-ares reports them.
struct Saved {
  int timeout_ms, tries, ndots, udp_port, tcp_port;
  bool operator==(const Saved& o) const {
    return timeout_ms == o.timeout_ms && tries == o.tries && ndots == o.ndots &&
           udp_port == o.udp_port && tcp_port == o.tcp_port;
  }
};

std::ostream& operator<<(std::ostream& os, const Saved& s) {
  return os << "{timeout " << s.timeout_ms << " ms, tries " << s.tries << ", ndots " << s.ndots
            << ", udp " << s.udp_port << ", tcp " << s.tcp_port << "}";
}

// Builds a channel with `options` (Lua text) and reads back its options.
bool saved_options(Lua& lua, const std::string& options, Saved* saved) {
  std::string error = lua.run("ch = assert(ares.init(" + options + "))");
  EXPECT_EQ(error, "") << options;
  if (!error.empty()) return false;
  lua_State* L = lua.state();
  lua_getglobal(L, "ch");
  ares_channel channel = *static_cast<ares_channel*>(lua_touserdata(L, -1));
  lua_pop(L, 1);
  ares_options o;
  int mask;
  if (ares_save_options(channel, &o, &mask) != ARES_SUCCESS) return false;
  *saved = {o.timeout, o.tries, o.ndots, o.udp_port, o.tcp_port};
  ares_destroy_options(&o);
  return true;
}

TEST(ares_channel, OptionsSetOnlyTheirOwnFields) {
  Lua lua;
  Saved defaults;
  ASSERT_TRUE(saved_options(lua, "{}", &defaults));
  struct Row {
    const char* options;
    std::vector<std::pair<int Saved::*, int>> changed;
  } const rows[] = {
      {"{timeout = 2, tries = 3}", {{&Saved::timeout_ms, 2000}, {&Saved::tries, 3}}},
      {"{ndots = 4}", {{&Saved::ndots, 4}}},
      {"{udp_port = 5353, tcp_port = 5354}", {{&Saved::udp_port, 5353}, {&Saved::tcp_port, 5354}}},
      {"{udp_port = 65536 * 3 + 53}", {{&Saved::udp_port, 53}}},  // low 16 bits
      {"{tcp_port = '853'}", {{&Saved::tcp_port, 853}}},          // string that converts
      {"{timeout = 'soon'}", {{&Saved::timeout_ms, 0}}},          // not a number: 0
      {"{tries = 2.5}", {{&Saved::tries, 0}}},                    // not integral: 0
      {"{timeout = '7.0'}", {{&Saved::timeout_ms, 7000}}},
      {"{ednspsz = 1232, socket_send_buffer_size = 4096, socket_receive_buffer_size = 4096}", {}},
  };
  for (const Row& row : rows) {
    Saved expected = defaults;
    for (auto [field, value] : row.changed) expected.*field = value;
    Saved saved;
    ASSERT_TRUE(saved_options(lua, row.options, &saved)) << row.options;
    EXPECT_EQ(saved, expected) << "options " << row.options;
  }
}

TEST(ares_channel, OptionErrors) {
  Lua lua;
  struct Row {
    const char* options;
    const char* error;
  } const rows[] = {
      {"{servers = {'127.0.0.1'}}", "unimplemented init option servers"},
      {"{flags = 1}", "unimplemented init option flags"},
      {"{domains = {}}", "unimplemented init option domains"},
      {"{lookups = 'fb'}", "unimplemented init option lookups"},
      {"{sock_state_cb = print}", "unimplemented init option sock_state_cb"},
      {"{sortlist = ''}", "unimplemented init option sortlist"},
      {"{bogus = 1}", "unknown option bogus"},
      {"{Timeout = 1}", "unknown option Timeout"},
      {"{timeout = 1, [1] = 5}", "unknown option 1"},
      {"{[2.5] = 1}", "unknown option 2.5"},
      {"{[true] = 1}", "unknown option boolean"},
      {"{[{}] = 1}", "unknown option table"},
  };
  for (const Row& row : rows) {
    std::string chunk = std::string("expect_error(function() return ares.init(") + row.options +
                        ") end, '" + row.error + "', [[init " + row.options + "]])";
    EXPECT_LUA_OK(lua, chunk);
  }
}

TEST(ares_channel, FdsOfAnIdleChannel) {
  Lua lua;
  EXPECT_LUA_OK(lua, R"lua(
    for _, ch in ipairs{ares.init(), ares.init(nil), ares.init("x"), ares.init{}} do
      expect(table.pack(ch:fds()), {{}, {}, 0, n = 4}, "fds of an idle channel")
    end
  )lua");
}

TEST(ares_channel, MethodsCheckTheirChannel) {
  Lua lua;
  EXPECT_LUA_OK(lua, R"lua(
    ch = ares.init()
    for _, m in ipairs{"fds", "process", "query", "getaddrinfo"} do
      local call = load("local self = ... ch." .. m .. "(self, 'x', 1, 1)")
      for _, case in ipairs{{{}, "table"}, {42, "number"}, {io.stdout, "FILE*"}} do
        expect_error(function() return call(case[1]) end,
                     "bad argument #1 to '" .. m .. "' (ares_channel expected, got " ..
                         case[2] .. ")", m)
      end
    end
  )lua");
}

TEST(ares_channel, ProcessTakesAnyLists) {
  DnsWorld world;
  ASSERT_TRUE(world.error().empty()) << world.error();
  SilentServer silent;
  Lua lua;
  // Odd lists never disturb the pending query; the real socket still works.
  EXPECT_LUA_OK(lua, "port = " + std::to_string(silent.port()) + R"lua(
    local ch = ares.init{udp_port = port, timeout = 5, tries = 1}
    local done
    ch:query("www.example.test", ares.class.IN, ares.type.A, function(...) done = {...} end)
    local r, w, n, t = ch:fds()
    expect(#r, 1, "sockets of a pending query")
    expect_true(type(t) == "number" and t > 0 and t <= 5, string.format("timeout %s", show(t)))
    for _, args in ipairs{{}, {{}, {}}, {nil, nil}, {"abc"},
                          {{-1, 1024, 1 << 40, math.mininteger, "x", 2.5, {}}, {-5, 4096}}} do
      ch:process(table.unpack(args, 1, 2))
      expect_true(done == nil, string.format("a query completed early: %s", show(done)))
    end
    expect(select("#", ch:process()), 0, "results of process")
  )lua");
}

TEST(ares_channel, SocketBufferOptionsReachTheSocket) {
  DnsWorld world;
  ASSERT_TRUE(world.error().empty()) << world.error();
  SilentServer silent;
  Lua lua;
  ASSERT_EQ(lua.run("ch = ares.init{udp_port = " + std::to_string(silent.port()) +
                    ", socket_send_buffer_size = 65536, socket_receive_buffer_size = 98304}\n"
                    "ch:query('www.example.test', 1, 1, nil)\n"
                    "fd = ch:fds()[1]"),
            "");
  lua_getglobal(lua.state(), "fd");
  int fd = static_cast<int>(lua_tointeger(lua.state(), -1));
  int sndbuf = 0, rcvbuf = 0;
  socklen_t len = sizeof sndbuf;
  ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, &len), 0) << "fd " << fd;
  len = sizeof rcvbuf;
  ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len), 0);
  EXPECT_EQ(sndbuf, 2 * 65536);  // the kernel reports twice the size asked for
  EXPECT_EQ(rcvbuf, 2 * 98304);
}

TEST(ares_channel, DroppedChannelKeepsItsQueries) {
  DnsWorld world;
  ASSERT_TRUE(world.error().empty()) << world.error();
  SilentServer silent;
  Lua lua;
  ASSERT_EQ(lua.run("local ch = ares.init{udp_port = " + std::to_string(silent.port()) +
                    "}\n"
                    "ch:query('www.example.test', 1, 1, function() called = true end)\n"
                    "fd = ch:fds()[1]\n"
                    "ch = nil\n"
                    "collectgarbage() collectgarbage()"),
            "");
  lua_getglobal(lua.state(), "fd");
  int fd = static_cast<int>(lua_tointeger(lua.state(), -1));
  EXPECT_NE(fcntl(fd, F_GETFD), -1) << "the channel's socket " << fd << " was closed";
  int type = 0;
  socklen_t len = sizeof type;
  EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len), 0);
  EXPECT_EQ(type, SOCK_DGRAM);
  EXPECT_EQ(lua.run("expect(called, nil, 'callback of the dropped channel')"), "");
}

// Occupies every free descriptor below `first` while it lives, so that the
// next socket gets a number of at least `first`.
class DescriptorFill {
 public:
  explicit DescriptorFill(int first) {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < rlim_t(first) + 64) {
      limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, rlim_t(first) + 64);
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    for (;;) {
      int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd < 0) break;
      if (fd >= first) {
        close(fd);
        ok_ = true;
        break;
      }
      fds_.push_back(fd);
    }
  }
  ~DescriptorFill() {
    for (int fd : fds_) close(fd);
  }
  bool ok() const { return ok_; }

 private:
  std::vector<int> fds_;
  bool ok_ = false;
};

// The lists of fds() must not depend on how high the descriptor numbers
// are: with every descriptor below 1100 taken, the channel's UDP and TCP
// sockets lie above the 1024 a descriptor set holds. They must still come
// back, match what c-ares itself reports, and be served by process().
// Only the sockets named ready are read: an answer waiting on the channel's
// socket stays there while process is given other descriptors, below and
// above it.
TEST(ares_channel, ProcessReadsOnlyTheSocketsNamed) {
  DnsWorld world;
  ASSERT_TRUE(world.error().empty()) << world.error();
  Lua lua;
  EXPECT_LUA_OK(lua, R"lua(
    local ch = ares.init{timeout = 5, tries = 1}
    local done
    ch:query("www.example.test", ares.class.IN, ares.type.A, function(status) done = status end)
    local r = ch:fds()
    expect(#r, 1, "sockets of a pending query")
    expect(poll(r, {}, 5), r, "the answer arrived")
    local others = {}
    for fd = 0, r[1] + 3 do
      if fd ~= r[1] then others[#others + 1] = fd end
    end
    ch:process(others, others)
    expect_true(done == nil, "the answer was read from a socket not named")
    ch:process(r, {})
    expect(done, 0, "the answer once its socket is named")
  )lua");
}

TEST(ares_channel, DescriptorsAboveTheSetSize) {
  DnsWorld world;
  ASSERT_TRUE(world.error().empty()) << world.error();
  for (int first : {0, 1100}) {
    DescriptorFill fill(first);
    ASSERT_TRUE(fill.ok()) << "could not take the descriptors below " << first;
    Lua lua;
    EXPECT_LUA_OK(lua, "first = " + std::to_string(first) + R"lua(
      local ch = assert(ares.init())
      local got = {}
      ch:getaddrinfo("www.example.test", "any", nil, function(status, _, ...)
        local addresses = {}
        for _, e in ipairs{...} do addresses[#addresses + 1] = e.address end
        table.sort(addresses)
        got.lookup = {status, addresses}
      end)
      ch:query("big.example.test", ares.class.IN, ares.type.TXT, function(status, _, reply)
        got.txt = {status, #reply > 750}
      end)
      local lowest, writers_seen, rounds = math.huge, 0, 0
      while true do
        local readers, writers, count, timeout = ch:fds()
        local own_readers, own_writers = getsock(ch)
        expect({readers, writers}, {own_readers, own_writers}, "lists against c-ares' own")
        local highest = -1
        for _, list in ipairs{readers, writers} do
          for _, fd in ipairs(list) do
            lowest = math.min(lowest, fd)
            highest = math.max(highest, fd)
          end
        end
        expect(count, highest + 1, "count")
        writers_seen = writers_seen + #writers
        if timeout == nil then break end
        rounds = rounds + 1
        expect_true(rounds < 1000, string.format("still pending after %d rounds", rounds))
        ch:process(poll(readers, writers, timeout))
      end
      expect(got, {lookup = {0, {"192.0.2.10", "2001:db8::10"}}, txt = {0, true}}, "answers")
      expect_true(lowest >= first and lowest ~= math.huge, "lowest descriptor " .. show(lowest))
      expect_true(writers_seen > 0, "the TCP connection never waited to write")
      expect(table.pack(ch:fds()), {{}, {}, 0, n = 4}, "fds once nothing is pending")
    )lua");
  }
}

// c-ares counts whole milliseconds, so a wait asked for within the
// millisecond of the query is a whole number of seconds; a few milliseconds
// later it must show the fraction, on the scale of seconds.
TEST(ares_channel, WaitTimeCountsDownInFractions) {
  DnsWorld world;
  ASSERT_TRUE(world.error().empty()) << world.error();
  SilentServer silent;
  Lua lua;
  EXPECT_LUA_OK(lua, "port = " + std::to_string(silent.port()) + R"lua(
    local ch = ares.init{udp_port = port, tcp_port = port, timeout = 2, tries = 1}
    local started = now()
    ch:query("www.example.test", ares.class.IN, ares.type.A, function() end)
    local sent = now()
    local previous = 2.0
    for _, pause in ipairs{0.006, 0.030, 0.250} do
      poll({}, {}, pause)
      local before = now()
      local timeout = select(4, ch:fds())
      local after = now()
      expect_true(math.type(timeout) == "float", string.format("timeout %s", show(timeout)))
      -- the query's clock started between `started` and `sent`
      local low, high = 2.0 - (after - started) - 0.002, 2.0 - (before - sent) + 0.002
      expect_true(timeout >= low and timeout <= high,
                  string.format("after %.4f s the wait is %.6f s, not within [%.4f, %.4f]",
                                before - sent, timeout, low, high))
      expect_true(timeout < previous, string.format("wait %.6f s after %.6f s", timeout, previous))
      previous = timeout
    end
  )lua");
}

TEST(ares_channel, InitFormsUseTheirConfiguration) {
  DnsWorld world;
  ASSERT_TRUE(world.error().empty()) << world.error();
  Lua lua;
  // The first forms read /etc/resolv.conf; the last goes to a port where
  // nothing listens, so only its options can explain its failure.
  EXPECT_LUA_OK(lua, R"lua(
    local forms = {
      {"no argument", ares.init(), 0},
      {"nil", ares.init(nil), 0},
      {"a string", ares.init("ignored"), 0},
      {"empty table", ares.init{}, 0},
      {"timeout and tries", ares.init{timeout = 2, tries = 3}, 0},
      {"other port", ares.init{udp_port = 1, tcp_port = 1, tries = 1}, 11},
    }
    for _, form in ipairs(forms) do
      local got
      form[2]:getaddrinfo("www.example.test", "inet", nil, function(status, timeouts, entry)
        got = {status, entry and entry.address}
      end)
      drive(form[2])
      expect(got, {form[3], form[3] == 0 and "192.0.2.10" or nil}, "init with " .. form[1])
    end
  )lua");
}

}  // namespace
