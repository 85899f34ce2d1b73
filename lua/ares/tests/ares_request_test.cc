// SPDX-License-Identifier: ISC
// Queries, address lookups and reply parsers against a local dnsmasq,
// driven from Lua through a poll loop.
#include <gtest/gtest.h>

#include <string>

#include "ares_harness.h"

namespace {

using ares_test::DnsWorld;
using ares_test::Lua;
using ares_test::SilentServer;

class ares_dns : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(world_.error().empty()) << world_.error();
    ASSERT_EQ(lua_.run("ch = assert(ares.init())"), "");
  }
  // Runs a chunk and fails the test with its error.
  void expect_ok(const std::string& chunk) {
    std::string error = lua_.run(chunk);
    EXPECT_EQ(error, "") << "chunk:\n" << chunk;
  }

  DnsWorld world_;
  Lua lua_;
};

TEST_F(ares_dns, QueriesParseIntoHostTables) {
  expect_ok(R"lua(
    local rows = {
      {"www.example.test", "A", ares.parse_a_reply,
       {name = "www.example.test", aliases = {}, addrtype = "inet", addr_list = {"192.0.2.10"}}},
      {"www.example.test", "AAAA", ares.parse_aaaa_reply,
       {name = "www.example.test", aliases = {}, addrtype = "inet6", addr_list = {"2001:db8::10"}}},
      {"alias.example.test", "A", ares.parse_a_reply,
       {name = "www.example.test", aliases = {"alias.example.test"}, addrtype = "inet",
        addr_list = {"192.0.2.10"}}},
      {"v6only.example.test", "AAAA", ares.parse_aaaa_reply,
       {name = "v6only.example.test", aliases = {}, addrtype = "inet6", addr_list = {"2001:db8::20"}}},
      {"multi.example.test", "A", ares.parse_a_reply,
       {name = "multi.example.test", aliases = {}, addrtype = "inet",
        addr_list = {"192.0.2.31", "192.0.2.32"}}},
    }
    local replies = {}
    for i, row in ipairs(rows) do
      ch:query(row[1], ares.class.IN, ares.type[row[2]], function(...) replies[i] = table.pack(...) end)
    end
    drive(ch)
    cases(rows, function(row, i)
      local got = replies[i]
      expect_true(got, "callback called")
      expect({got.n, got[1], got[2], type(got[3])}, {3, 0, 0, "string"}, "callback arguments")
      local host, err = row[3](got[3])
      expect_true(host, "parse failed: " .. tostring(err))
      table.sort(host.addr_list)
      expect(host, row[4], "host")
    end)
  )lua");
}

TEST_F(ares_dns, ClassAndTypeGoToTheServerUnchecked) {
  // dnsmasq answers its version as a CHAOS-class TXT record.
  expect_ok(R"lua(
    local got
    ch:query("version.bind", ares.class.CHAOS, ares.type.TXT, function(...) got = {...} end)
    drive(ch)
    expect({got[1], got[2]}, {0, 0}, "status and time-outs")
    expect_true(got[3]:find("dnsmasq", 1, true), string.format("no version in %s", show(got[3])))
  )lua");
}

TEST_F(ares_dns, ParserFailures) {
  expect_ok(R"lua(
    local a, aaaa
    ch:query("www.example.test", ares.class.IN, ares.type.A, function(_, _, r) a = r end)
    ch:query("www.example.test", ares.class.IN, ares.type.AAAA, function(_, _, r) aaaa = r end)
    drive(ch)
    local rows = {
      {ares.parse_a_reply, "garbage", "Misformatted DNS reply"},
      {ares.parse_aaaa_reply, "", "Misformatted DNS reply"},
      {ares.parse_a_reply, a:sub(1, 11), "Misformatted DNS reply"},
      {ares.parse_a_reply, a:sub(1, -2), "Misformatted DNS reply"},
      {ares.parse_a_reply, aaaa, "DNS server returned answer with no data"},
      {ares.parse_aaaa_reply, a, "DNS server returned answer with no data"},
    }
    cases(rows, function(row)
      expect(table.pack(row[1](row[2])), {nil, row[3], n = 2}, "parser results")
    end)
    -- the full length counts: a reply followed by junk still parses
    expect_true(ares.parse_a_reply(a .. "\0\0junk"), "reply with trailing bytes")
    for _, f in ipairs{"parse_a_reply", "parse_aaaa_reply"} do
      for _, case in ipairs{{{}, "string expected, got table"}, {nil, "string expected, got nil"}} do
        local parse = load("local x = ares." .. f .. "(...) return x")
        expect_error(function() return parse(case[1]) end,
                     "bad argument #1 to '" .. f .. "' (" .. case[2] .. ")", f)
      end
    end
  )lua");
}

TEST_F(ares_dns, FailedQueriesReportTheirStatus) {
  expect_ok(R"lua(
    local nx, refused
    ch:query("gone.nx.test", ares.class.IN, ares.type.A, function(...) nx = table.pack(...) end)
    ch:query("elsewhere.test", ares.class.IN, ares.type.A, function(...) refused = table.pack(...) end)
    drive(ch)
    -- NXDOMAIN comes with the server's reply; a refusal by every server with none
    expect({nx.n, nx[1], nx[2]}, {3, 4, 0}, "nxdomain status")
    expect_true(#nx[3] > 12, string.format("nxdomain reply %s", show(nx[3])))
    expect({refused.n, refused[1], refused[2], refused[3]}, {3, 11, 0, ""}, "refused")
  )lua");
}

TEST_F(ares_dns, AddressLookups) {
  expect_ok(R"lua(
    local function www(family) return {family = family, address = family == "inet" and
      "192.0.2.10" or "2001:db8::10", ttl = 60.0} end
    local function with(t, extra) for k, v in pairs(extra) do t[k] = v end return t end
    local rows = {
      {{"www.example.test"}, {www("inet"), www("inet6")}},
      {{"www.example.test", "any"}, {www("inet"), www("inet6")}},
      {{"www.example.test", "inet"}, {www("inet")}},
      {{"www.example.test", "inet6"}, {www("inet6")}},
      {{"www.example.test", "inet", 80}, {with(www("inet"), {port = 80})}},
      {{"www.example.test", "inet6", "http"}, {with(www("inet6"), {port = 80})}},
      {{"www.example.test", "inet", nil, 1000}, {with(www("inet"), {ttl = 1060.0})}},
      {{"www.example.test", "inet", nil, 0.5}, {with(www("inet"), {ttl = 60.5})}},
      {{"www.example.test", "inet", nil, "later"}, {www("inet")}},
      {{"alias.example.test", "inet"}, {www("inet")}},
      {{"multi.example.test", "inet"}, {{family = "inet", address = "192.0.2.31", ttl = 60.0},
                                        {family = "inet", address = "192.0.2.32", ttl = 60.0}}},
      {{"hostsonly.test"}, {{family = "inet", address = "192.0.2.77", ttl = 0.0}}},
      {{"192.0.2.5", nil, 8080, 3}, {{family = "inet", address = "192.0.2.5", port = 8080, ttl = 3.0}}},
    }
    local results = {}
    for i, row in ipairs(rows) do
      local a = row[1]
      ch:getaddrinfo(a[1], a[2], a[3], function(...) results[i] = table.pack(...) end, a[4])
    end
    drive(ch)
    cases(rows, function(row, i)
      local got = results[i]
      expect_true(got, "callback called")
      expect({got[1], got[2], got.n}, {0, 0, 2 + #row[2]}, "status, time-outs, count")
      local entries = {table.unpack(got, 3, got.n)}
      table.sort(entries, function(x, y) return x.family .. x.address < y.family .. y.address end)
      expect(entries, row[2], "entries")
    end)
  )lua");
}

TEST_F(ares_dns, KnownAnswersCompleteInsideTheCall) {
  expect_ok(R"lua(
    for _, case in ipairs{{"hostsonly.test", "any"}, {"192.0.2.5", "inet"}, {"::1", "inet6"}} do
      local name, got = case[1]
      ch:getaddrinfo(name, case[2], nil, function(status) got = status end)
      expect(got, 0, name .. " completed before getaddrinfo returned")
    end
  )lua");
}

TEST_F(ares_dns, FamilyMustBeKnown) {
  int refs = lua_.registry_refs();
  expect_ok(R"lua(
    for _, family in ipairs{"INET", "Inet6", "inet4", "", "unix"} do
      local called = false
      expect_error(function()
        ch.getaddrinfo(ch, "www.example.test", family, nil, function() called = true end)
      end, "bad argument #3 to 'getaddrinfo' (supported values: any, inet, inet6)", family)
      expect(called, false, family .. ": callback called")
    end
    expect_error(function() ch:getaddrinfo("www.example.test", "INET") end,
                 "bad argument #2 to 'getaddrinfo' (supported values: any, inet, inet6)",
                 "as a method call")
  )lua");
  EXPECT_EQ(lua_.registry_refs(), refs) << "references taken by rejected calls";
}

TEST_F(ares_dns, ArgumentErrors) {
  int refs = lua_.registry_refs();
  struct Row {
    const char* call;
    const char* error;
  } const rows[] = {
      {"ch:query({}, 1, 1, f)", "bad argument #1 to 'query' (string expected, got table)"},
      {"ch:query('x', 'IN', 1, f)", "bad argument #2 to 'query' (number expected, got string)"},
      {"ch:query('x', 1, 1.5, f)",
       "bad argument #3 to 'query' (number has no integer representation)"},
      {"ch:query('x')", "bad argument #2 to 'query' (number expected, got no value)"},
      {"ch:getaddrinfo()", "bad argument #1 to 'getaddrinfo' (string expected, got no value)"},
      {"ch:getaddrinfo('x', 1)",
       "bad argument #2 to 'getaddrinfo' (supported values: any, inet, inet6)"},
      {"ch:getaddrinfo('x', 'inet', {})",
       "bad argument #3 to 'getaddrinfo' (string expected, got table)"},
  };
  for (const Row& row : rows)
    expect_ok(std::string("local f = print\nexpect_error(function() ") + row.call + " end, \"" +
              row.error + "\", [[" + row.call + "]])");
  EXPECT_EQ(lua_.registry_refs(), refs) << "references taken by rejected calls";
}

TEST_F(ares_dns, FailedLookupsHaveNoEntries) {
  expect_ok(R"lua(
    local rows = {{"gone.nx.test", 4}, {"elsewhere.test", 11}}
    local got = {}
    for i, row in ipairs(rows) do
      ch:getaddrinfo(row[1], "any", 80, function(...) got[i] = table.pack(...) end)
    end
    drive(ch)
    cases(rows, function(row, i) expect(got[i], {row[2], 0, n = 2}, row[1]) end)
  )lua");
}

TEST_F(ares_dns, SilentServerTimesOut) {
  SilentServer silent;
  // Two tries of one and two seconds.
  expect_ok("port = " + std::to_string(silent.port()) + R"lua(
    local slow = ares.init{udp_port = port, tcp_port = port, timeout = 1, tries = 2}
    local q, g
    local started = now()
    slow:query("www.example.test", ares.class.IN, ares.type.A, function(...) q = table.pack(...) end)
    slow:getaddrinfo("www.example.test", "inet", nil, function(...) g = table.pack(...) end)
    local readers, writers, count, timeout = slow:fds()
    expect(#readers, 1, "one socket to watch")
    expect_true(count > readers[1] and math.type(timeout) == "float" and timeout > 0 and
                timeout <= 1, string.format("count %s, timeout %s", show(count), show(timeout)))
    drive(slow)
    local took = now() - started
    expect(q, {12, 2, "", n = 3}, "query time-out")
    expect(g, {12, 2, n = 2}, "lookup time-out")
    expect_true(took > 2.5 and took < 5, string.format("time-outs after %.2f s", took))
  )lua");
}

TEST_F(ares_dns, RaisingCallbacksDoNotStopOthers) {
  // The error handler may be a function, missing, or not callable at all.
  for (const char* handler : {"function(e) seen[#seen + 1] = e return e end", "nil", "42"}) {
    expect_ok(std::string("seen = {}\n__uloop_error_cb = ") + handler + R"lua(
      local order = {}
      local function record(tag) return function(status) order[#order + 1] = tag .. status end end
      ch:query("www.example.test", 1, 1, function() error("boom") end)
      ch:query("www.example.test", 1, 1, record("q"))
      ch:getaddrinfo("www.example.test", "inet", nil, function() error({}) end)
      ch:getaddrinfo("www.example.test", "inet", nil, record("g"))
      ch:getaddrinfo("hostsonly.test", "inet", nil, function() error("sync") end)
      ch:query("www.example.test", 1, 1, nil)
      ch:query("www.example.test", 1, 1, "not callable")
      ch:getaddrinfo("www.example.test", "inet", nil, record("last"))
      drive(ch)
      table.sort(order)
      expect(order, {"g0", "last0", "q0"}, "callbacks after the failing ones")
    )lua");
  }
  expect_ok(R"lua(
    __uloop_error_cb = function(e) seen[#seen + 1] = e return e end
    seen = {}
    ch:query("www.example.test", 1, 1, function() error("boom") end)
    drive(ch)
    expect(#seen, 1, "errors seen by the handler")
    expect_true(tostring(seen[1]):find("boom", 1, true), "handler saw " .. show(seen[1]))
  )lua");
}

TEST_F(ares_dns, PendingRequestsSurviveCollections) {
  int refs = lua_.registry_refs();
  expect_ok(R"lua(
    local got, want = {}, {}
    for i = 1, 60 do
      local name = ({"www.example.test", "alias.example.test", "multi.example.test"})[i % 3 + 1]
      if i % 2 == 0 then
        ch:getaddrinfo(name, "inet", nil, function(status, _, e) got[i] = {status, e.ttl} end, i)
        want[i] = {0, 60.0 + i}
      else
        ch:query(name, 1, 1, function(status, _, r) got[i] = {status, #r > 0} end)
        want[i] = {0, true}
      end
    end
    collectgarbage("collect")
    collectgarbage("collect")
    drive(ch)
    expect(got, want, "results after full collections")
  )lua");
  EXPECT_EQ(lua_.registry_refs(), refs) << "references left after every request completed";
}

TEST_F(ares_dns, CallbacksRunOnTheMainThread) {
  expect_ok(R"lua(
    local threads = {}
    local function record(tag)
      return function() threads[tag] = select(2, coroutine.running()) end
    end
    local co = coroutine.create(function()
      ch:getaddrinfo("www.example.test", "inet", nil, record("async"))
      ch:getaddrinfo("192.0.2.5", "inet", nil, record("sync"))
      ch:query("www.example.test", 1, 1, record("query"))
      coroutine.yield("started")
      return "finished"
    end)
    expect({coroutine.resume(co)}, {true, "started"}, "first resume")
    expect({coroutine.resume(co)}, {true, "finished"}, "second resume")
    co = nil
    collectgarbage("collect")
    drive(ch)
    expect(threads, {async = true, sync = true, query = true}, "callbacks on the main thread")
    -- the event loop itself may run in a coroutine
    threads = {}
    ch:getaddrinfo("www.example.test", "inet", nil, record("driven"))
    expect({coroutine.resume(coroutine.create(function() drive(ch) return "driven" end))},
           {true, "driven"}, "drive inside a coroutine")
    expect(threads, {driven = true}, "callback while a coroutine drives")
  )lua");
}

TEST_F(ares_dns, ModuleLoadedInsideACoroutine) {
  // The coroutine that loads the module may be long gone when a request
  // completes; completions still run on the main thread.
  expect_ok(R"lua(
    package.loaded.ares = nil
    local again = coroutine.wrap(function() return require("ares") end)()
    collectgarbage("collect")
    local channel = again.init()
    local got
    channel:getaddrinfo("www.example.test", "inet", nil, function(status, _, e)
      got = {status, e.address, select(2, coroutine.running())}
    end)
    collectgarbage("collect")
    drive(channel)
    expect(got, {0, "192.0.2.10", true}, "lookup through the module loaded in a coroutine")
  )lua");
}

}  // namespace
