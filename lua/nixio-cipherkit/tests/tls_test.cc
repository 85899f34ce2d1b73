// SPDX-License-Identifier: ISC
// TLS contexts and connections from Lua over real nixio sockets: against
// each other, against openssl s_server and s_client, with certificates made
// by the openssl tool for each test.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include "../compat.h"
#include "luatest.h"
#include "pki.h"
#include "testkit.h"

namespace {

using cktest::Lua;
using cktest::Pki;

// The OpenSSL handle behind a context or connection, read back from the
// address its __tostring prints. Pushes nothing.
void* handle_of(lua_State* L, int index) {
  lua_getglobal(L, "tostring");
  lua_pushvalue(L, index);
  lua_call(L, 1, 1);
  const char* text = lua_tostring(L, -1);
  const char* colon = text ? strrchr(text, ':') : nullptr;
  void* handle = colon ? reinterpret_cast<void*>(strtoull(colon + 1, nullptr, 16)) : nullptr;
  lua_pop(L, 1);
  return handle;
}

// ctx_info(ctx) -> verify mode, "server" or "client"
int l_ctx_info(lua_State* L) {
  auto* ctx = static_cast<SSL_CTX*>(handle_of(L, 1));
  luaL_argcheck(L, ctx != nullptr, 1, "no handle");
  lua_pushinteger(L, SSL_CTX_get_verify_mode(ctx));
#if OPENSSL_VERSION_NUMBER < 0x10100000L
  const SSL_METHOD* method = ctx->method;
#else
  const SSL_METHOD* method = SSL_CTX_get_ssl_method(ctx);
#endif
  lua_pushstring(L, method == cipherkit::tls_method(true)    ? "server"
                    : method == cipherkit::tls_method(false) ? "client"
                                                             : "other");
  return 2;
}

// conn_info(conn [, ctx]) -> protocol version, descriptor, whether the
// context is ctx, the cipher suite in use
int l_conn_info(lua_State* L) {
  auto* ssl = static_cast<SSL*>(handle_of(L, 1));
  luaL_argcheck(L, ssl != nullptr, 1, "no handle");
  bool same_ctx = lua_gettop(L) > 1 && SSL_get_SSL_CTX(ssl) == handle_of(L, 2);
  lua_pushstring(L, SSL_get_version(ssl));
  lua_pushinteger(L, SSL_get_fd(ssl));
  lua_pushboolean(L, same_ctx);
  lua_pushstring(L, SSL_get_cipher_name(ssl));
  return 4;
}

// milestone(n): tells a feeding thread how far the Lua side got.
std::atomic<int> g_milestone{0};
int l_milestone(lua_State* L) {
  g_milestone = static_cast<int>(luaL_checkinteger(L, 1));
  return 0;
}

// allow_client_renegotiation(ctx): what a server context would do without
// the module's refusal, for the tests that must see a renegotiation go
// through. False where this OpenSSL has no such switch.
int l_allow_client_renegotiation(lua_State* L) {
  auto* ctx = static_cast<SSL_CTX*>(handle_of(L, 1));
  luaL_argcheck(L, ctx != nullptr, 1, "no handle");
#if defined(SSL_OP_ALLOW_CLIENT_RENEGOTIATION) && defined(SSL_OP_NO_RENEGOTIATION)
  SSL_CTX_clear_options(ctx, SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_options(ctx, SSL_OP_ALLOW_CLIENT_RENEGOTIATION);
  lua_pushboolean(L, 1);
#else
  lua_pushboolean(L, 0);
#endif
  return 1;
}

// ssl_counts() -> contexts made, contexts freed, connections made, freed
int l_ssl_counts(lua_State* L) {
  cktest::SslCounters c = cktest::ssl_counters();
  lua_pushinteger(L, c.contexts_made);
  lua_pushinteger(L, c.contexts_freed);
  lua_pushinteger(L, c.connections_made);
  lua_pushinteger(L, c.connections_freed);
  return 4;
}

constexpr const char* kTlsHelpers = R"lua(
WANT_READ, WANT_WRITE = 2, 3

-- Repeats one call while it asks for more reading or writing, letting the
-- other end run in between (non-blocking sockets inside run_together).
function again(f, ...)
  while true do
    local r, code = f(...)
    if r ~= nil then return r end
    if code ~= WANT_READ and code ~= WANT_WRITE then return nil, code end
    if coroutine.running() then coroutine.yield() end
  end
end

-- Runs the functions as coroutines, round robin, until all have returned.
function run_together(...)
  local cos = {}
  for i, f in ipairs{...} do cos[i] = coroutine.create(f) end
  for _ = 1, 3000000 do
    local alive = false
    for _, co in ipairs(cos) do
      if coroutine.status(co) ~= "dead" then
        local ok, err = coroutine.resume(co)
        if not ok then error(err, 0) end
        alive = alive or coroutine.status(co) ~= "dead"
      end
    end
    if not alive then return end
  end
  error("the ends stalled")
end

-- Two connected TCP sockets over loopback: client, server.
function socket_pair(blocking)
  local listener = assert(nixio.bind("127.0.0.1", PORT))
  assert(listener:listen(4))
  local client = assert(nixio.connect("127.0.0.1", PORT))
  local server = assert(listener:accept())
  listener:close()
  client:setblocking(blocking or false)
  server:setblocking(blocking or false)
  return client, server
end

function server_context(kind)
  local ctx = nixio.tls("server")
  if kind == "pem" then
    expect(ctx:set_cert(PKI .. "/server.pem", "pem"), true, "server cert")
  elseif kind == "rsa" then
    expect(ctx:set_cert(PKI .. "/server-rsa-chain.pem"), true, "server chain")
    expect(ctx:set_key(PKI .. "/server-rsa.key"), true, "server key")
    return ctx
  else
    expect(ctx:set_cert(PKI .. "/server-chain.pem"), true, "server chain")
  end
  expect(ctx:set_key(PKI .. "/server.key"), true, "server key")
  return ctx
end

function client_context(ca)
  local ctx = nixio.tls()
  expect(ctx:set_verify_locations(PKI .. "/" .. ca), true, "trust " .. ca)
  ctx:set_verify("peer")
  return ctx
end

-- A verifying client that expects the server to be host.
function host_client(ca, host)
  local ctx = client_context(ca)
  expect(ctx:set_host(host), true, "set_host " .. host)
  return ctx
end

-- Handshake over a fresh socket pair; returns both wrappers.
function tls_pair(cctx, sctx)
  local csock, ssock = socket_pair()
  local c, s = cctx:create(csock), sctx:create(ssock)
  run_together(function() expect(again(c.connect, c), true, "connect") end,
               function() expect(again(s.accept, s), true, "accept") end)
  return c, s
end

function send_all(conn, data, chunk)
  local pos = 0
  while pos < #data do
    local n, code = again(conn.send, conn, data, pos, chunk or 65536)
    if not n then error("send failed with code " .. tostring(code) .. " at " .. pos) end
    pos = pos + n
  end
end

function recv_exactly(conn, size)
  local parts, got = {}, 0
  while got < size do
    local s, code = again(conn.recv, conn, size - got)
    if not s then
      error("recv failed with code " .. tostring(code) .. " after " .. got .. " bytes")
    end
    if s == "" then error("end of data after " .. got .. " of " .. size .. " bytes") end
    parts[#parts + 1] = s
    got = got + #s
  end
  return table.concat(parts)
end

function results(...)
  local out = {}
  for i = 1, select("#", ...) do out[i] = tostring((select(i, ...))) end
  return table.concat(out, " ")
end
)lua";

class cipherkit_tls : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pki_.ok()) << pki_.error();
    lua_register(lua_.state(), "ctx_info", l_ctx_info);
    lua_register(lua_.state(), "conn_info", l_conn_info);
    lua_register(lua_.state(), "ssl_counts", l_ssl_counts);
    lua_register(lua_.state(), "allow_client_renegotiation", l_allow_client_renegotiation);
    lua_register(lua_.state(), "milestone", l_milestone);
    lua_.set_string("PKI", pki_.path(""));
    port_ = testkit::free_tcp_port();
    lua_.set_integer("PORT", port_);
    ASSERT_EQ("", lua_.run(kTlsHelpers));
  }

  Pki pki_;
#ifdef CIPHERKIT_MODULE_DIR
  Lua lua_{CIPHERKIT_MODULE_DIR};  // the module built another way
#else
  Lua lua_;
#endif
  int port_ = 0;
};

TEST_F(cipherkit_tls, contexts_are_version_flexible_clients_or_servers) {
  EXPECT_EQ("", lua_.run(R"lua(
    cases({{"default", nixio.tls(), "client"},
           {"client", nixio.tls("client"), "client"},
           {"server", nixio.tls("server"), "server"}}, function(c)
      local mode, side = ctx_info(c[2])
      expect(side, c[3], c[1] .. ": method")
      expect(mode, 0, c[1] .. ": verify mode")
      expect(rawequal(getmetatable(c[2]), nixio.meta_tls_context), true, c[1] .. ": metatable")
      expect_match(tostring(c[2]), "^nixio TLS context: 0x%x+$", c[1] .. ": tostring")
    end, "contexts")
    -- the highest common version is negotiated: TLS 1.3 between two of ours
    local c, s = tls_pair(client_context("ca.pem"), server_context())
    expect((conn_info(c)), "TLSv1.3", "client version")
    expect((conn_info(s)), "TLSv1.3", "server version")
  )lua"));
}

TEST_F(cipherkit_tls, setters_return_true_or_nil_and_the_openssl_result) {
  struct Case {
    const char* call;  // body of a function of ctx, a fresh server context
    const char* want;
  };
  const Case cases[] = {
      {"return ctx:set_cert(PKI .. '/server-chain.pem')", "true"},
      {"return ctx:set_cert(PKI .. '/server-chain.pem', 'chain')", "true"},
      {"return ctx:set_cert(PKI .. '/server.pem', 'pem')", "true"},
      {"return ctx:set_cert(PKI .. '/server.der', 'asn1')", "true"},
      {"return ctx:set_cert(PKI .. '/missing.pem')", "nil 0"},
      {"return ctx:set_cert(PKI .. '/missing.pem', 'pem')", "nil 0"},
      {"return ctx:set_cert(PKI .. '/server.key', 'pem')", "nil 0"},
      {"return ctx:set_cert(PKI .. '/server.pem', 'asn1')", "nil 0"},
      {"ctx:set_cert(PKI .. '/server.pem') return ctx:set_key(PKI .. '/server.key')", "true"},
      {"ctx:set_cert(PKI .. '/server.pem') return ctx:set_key(PKI .. '/server.key', 'pem')",
       "true"},
      {"ctx:set_cert(PKI .. '/server.pem') return ctx:set_key(PKI .. '/server.key.der', 'asn1')",
       "true"},
      {"ctx:set_cert(PKI .. '/server.pem') return ctx:set_key(PKI .. '/client.key')", "nil 0"},
      {"return ctx:set_key(PKI .. '/missing.key')", "nil 0"},
      {"return ctx:set_key(PKI .. '/server.key', 'asn1')", "nil 0"},
      {"return ctx:set_verify_locations(PKI .. '/ca.pem')", "true"},
      {"return ctx:set_verify_locations(PKI .. '/ca.pem', nil)", "true"},
      {"return ctx:set_verify_locations(nil, PKI)", "true"},
      {"return ctx:set_verify_locations(PKI .. '/missing.pem')", "nil 0"},
      {"return ctx:set_verify_locations()", "nil 0"},
      {"return ctx:set_ciphers('HIGH:!aNULL')", "true"},
      {"return ctx:set_ciphers('NO-SUCH-CIPHER')", "nil 0"},
      // 254 bytes reach OpenSSL, which accepts this list and rejects that one
      {"return ctx:set_ciphers(('HIGH:'):rep(50) .. 'HIGH')", "true"},
      {"return ctx:set_ciphers(('X'):rep(254))", "nil 0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ("", lua_.run(std::string("local function call(ctx) ") + c.call +
                           " end expect(results(call(nixio.tls('server'))), '" + c.want + "', [[" +
                           c.call + "]])"));
  }
}

TEST_F(cipherkit_tls, verify_modes_are_or_ed) {
  EXPECT_EQ("", lua_.run(R"lua(
    cases({{{}, 0}, {{"none"}, 0}, {{"peer"}, 1},
           {{"peer", "verify_fail_if_no_peer_cert"}, 3},
           {{"verify_fail_if_no_peer_cert", "peer"}, 3}, {{"client_once"}, 4},
           {{"peer", "peer"}, 1},
           {{"none", "peer", "verify_fail_if_no_peer_cert", "client_once"}, 7}}, function(c)
      local ctx = nixio.tls("server")
      ctx:set_verify("peer", "client_once")  -- replaced, not added to
      expect(select("#", ctx:set_verify(unpack(c[1]))), 0, "set_verify returns nothing")
      expect((ctx_info(ctx)), c[2], "mode of " .. table.concat(c[1], "+"))
    end, "verify modes")
  )lua"));
}

TEST_F(cipherkit_tls, argument_errors) {
  struct Case {
    const char* code;
    const char* message;
  };
  const Case cases[] = {
      {"nixio.tls('both')", "bad argument #1 to 'tls' (supported values: client, server)"},
      {"nixio.tls('Client')", "bad argument #1 to 'tls' (supported values: client, server)"},
      {"ctx.set_cert(ctx, 'f', 'der')",
       "bad argument #3 to 'set_cert' (supported values: chain, pem, asn1)"},
      {"ctx.set_key(ctx, 'f', 'chain')",
       "bad argument #3 to 'set_key' (supported values: pem, asn1)"},
      {"ctx.set_cert(ctx)", "bad argument #2 to 'set_cert' (string expected, got no value)"},
      {"ctx.set_cert({}, 'f')",
       "bad argument #1 to 'set_cert' (nixio.tls.ctx expected, got table)"},
      {"ctx.set_ciphers(ctx, ('A'):rep(255))",
       "bad argument #2 to 'set_ciphers' (cipher string too long)"},
      {"ctx.set_ciphers(ctx, ('A'):rep(1000))",
       "bad argument #2 to 'set_ciphers' (cipher string too long)"},
      {"ctx.set_verify(ctx, 'peer', 'strict')",
       "bad argument #3 to 'set_verify' (supported values: none, peer, "
       "verify_fail_if_no_peer_cert, client_once)"},
      {"ctx.set_verify(ctx, 'PEER')",
       "bad argument #2 to 'set_verify' (supported values: none, peer, "
       "verify_fail_if_no_peer_cert, client_once)"},
      {"ctx.set_verify(ctx, {})", "bad argument #2 to 'set_verify' (string expected, got table)"},
      {"ctx.create(ctx, {})", "bad argument #2 to 'create' (invalid file descriptor)"},
      {"ctx.create(ctx)", "bad argument #2 to 'create' (invalid file descriptor)"},
      {"dead.set_cert(dead, 'f')", "bad argument #1 to 'set_cert' (invalid context)"},
      {"dead.set_verify(dead)", "bad argument #1 to 'set_verify' (invalid context)"},
      {"dead.create(dead, nixio.stdout)", "bad argument #1 to 'create' (invalid context)"},
      {"tostring(dead)", "bad argument #1 to '?' (invalid context)"},
      {"conn.recv(conn)", "bad argument #2 to 'recv' (number expected, got no value)"},
      {"conn.send(conn)", "bad argument #2 to 'send' (string expected, got no value)"},
      {"conn.recv({}, 1)", "bad argument #1 to 'recv' (nixio.tls.sock expected, got nil)"},
      {"conn.recv(ctx, 1)", "bad argument #1 to 'recv' (nixio.tls.sock expected, got userdata)"},
      {"deadconn.recv(deadconn, 1)", "bad argument #1 to 'recv' (invalid context)"},
      {"deadconn.send(deadconn.connection, 'x')", "bad argument #1 to 'send' (invalid context)"},
      {"deadconn.connect(deadconn)", "bad argument #1 to 'connect' (invalid context)"},
      {"deadconn.accept(deadconn)", "bad argument #1 to 'accept' (invalid context)"},
      {"deadconn.shutdown(deadconn)", "bad argument #1 to 'shutdown' (invalid context)"},
      {"conn:recv()", "bad argument #1 to 'recv' (number expected, got no value)"},
      {"ctx.set_host(ctx, ('a'):rep(254))", "bad argument #2 to 'set_host' (host name too long)"},
      {"ctx.set_host(ctx, '')", "bad argument #2 to 'set_host' (invalid host name)"},
      {"ctx.set_host(ctx, 'box\\0.evil')", "bad argument #2 to 'set_host' (invalid host name)"},
      {"ctx.set_host(ctx)", "bad argument #2 to 'set_host' (string expected, got no value)"},
      {"server.set_host(server, 'box')", "bad argument #1 to 'set_host' (client contexts only)"},
      {"dead.set_host(dead, 'box')", "bad argument #1 to 'set_host' (invalid context)"},
  };
  ASSERT_EQ("", lua_.run(R"lua(
    ctx = nixio.tls()
    server = nixio.tls("server")
    dead = nixio.tls()
    getmetatable(dead).__gc(dead)
    conn = ctx:create(nixio.socket())
    deadconn = ctx:create(nixio.socket())
    getmetatable(deadconn).__gc(deadconn)
    getmetatable(deadconn).__gc(deadconn.connection)  -- twice is harmless
  )lua"));
  for (const Case& c : cases) {
    lua_.set_string("message", c.message);
    EXPECT_EQ("", lua_.run(std::string("expect_error(function() ") + c.code + " end, message, [[" +
                           c.code + "]])"));
  }
}

// Host names up to the DNS limit of 253 bytes are taken (254 is an argument
// error, see argument_errors); the longest is checked like any other.
TEST_F(cipherkit_tls, set_host_takes_names_up_to_253_bytes) {
  EXPECT_EQ("", lua_.run(R"lua(
    local longest = ("a"):rep(63) .. "." .. ("b"):rep(63) .. "." .. ("c"):rep(63) .. "." ..
                    ("d"):rep(61)
    expect(#longest, 253, "name length")
    local ctx = client_context("ca.pem")
    expect(ctx:set_host(longest), true, "set_host of 253 bytes")
    local csock, ssock = socket_pair()
    local c, s = ctx:create(csock), server_context():create(ssock)
    local connect
    run_together(function() connect = results(again(c.connect, c)) end,
                 function() again(s.accept, s) end)
    expect(connect, "nil 1", "the server's certificate is not for it")
    expect(ctx:set_host("localhost"), true, "then a name that fits")
    tls_pair(ctx, server_context())
  )lua"));
}

TEST_F(cipherkit_tls, wrapper_and_connection_answer_alike) {
  EXPECT_EQ("", lua_.run(R"lua(
    local cctx, sctx = client_context("ca.pem"), server_context()
    local csock, ssock = socket_pair()
    local c, s = cctx:create(csock), sctx:create(ssock)
    expect(rawequal(getmetatable(c), nixio.meta_tls_socket), true, "wrapper metatable")
    expect(rawequal(getmetatable(c.connection), nixio.meta_tls_socket), true,
           "connection metatable")
    expect(type(c.connection), "userdata", "connection is userdata")
    expect(c.context, cctx, "context field")
    expect(c.socket, csock, "socket field")
    expect(tostring(c), tostring(c.connection), "tostring of wrapper")
    expect_match(tostring(c), "^nixio TLS connection: 0x%x+$", "tostring")
    local _, fd, same_ctx = conn_info(c, cctx)
    expect(fd, csock:fileno(), "descriptor")
    expect(same_ctx, true, "made from the context")
    -- handshake on the connection userdata of one end, the wrapper of the other
    local cc = c.connection
    run_together(function() expect(again(cc.connect, cc), true, "connect") end,
                 function() expect(again(s.accept, s), true, "accept") end)
    run_together(
      function()
        expect(again(c.send, c, "hello"), 5, "send via wrapper")
        expect(again(cc.write, cc, "world"), 5, "write via connection")
      end,
      function()
        expect(recv_exactly(s.connection, 5), "hello", "recv via connection")
        expect(again(s.read, s, 100), "world", "read via wrapper")
      end)
  )lua"));
}

// Large transfers in both directions at once, then the close sequence.
TEST_F(cipherkit_tls, our_client_and_server_move_data_both_ways) {
  EXPECT_EQ("", lua_.run(R"lua(
    local c, s = tls_pair(client_context("ca.pem"), server_context())
    local up, down = random_bytes(3 * 1024 * 1024 + 17, 1), random_bytes(2 * 1024 * 1024 + 5, 2)
    local got_up, got_down
    run_together(function() send_all(c, up, 100000) end,
                 function() send_all(s, down, 65536) end,
                 function() got_up = recv_exactly(s, #up) end,
                 function() got_down = recv_exactly(c, #down) end)
    expect(got_up, up, "client to server")
    expect(got_down, down, "server to client")

    -- the first shutdown only sends the close notify: nil and a code
    local ok, code = c:shutdown()
    expect(ok, nil, "first shutdown result")
    expect(type(code), "number", "first shutdown code is a number")
    run_together(function()
      expect(again(s.recv, s, 10), "", "server sees the close notify as end of data")
      expect(again(s.shutdown, s), true, "server shutdown answers it")
    end)
    run_together(function()
      expect(again(c.shutdown, c), true, "client shutdown completes")
    end)
    local n, err = c:send("late")
    expect(n, nil, "send after shutdown")
    expect(type(err), "number", "send after shutdown code is a number")
  )lua"));
}

TEST_F(cipherkit_tls, recv_reads_at_most_8192_bytes) {
  EXPECT_EQ("", lua_.run(R"lua(
    local c, s = tls_pair(client_context("ca.pem"), server_context())
    local data = random_bytes(40000, 3)
    expect(again(c.send, c, data), 40000, "send")
    -- SSL_write cut the data into records of 16384 bytes; a read returns at
    -- most what was asked of one record
    local pos = 1
    for _, step in ipairs{{100000, 8192}, {-1, 8192}, {100, 100}, {8192, 8192},
                          {0, 0}, {8192, 8092}, {-100000, 7232}} do
      local got = again(s.recv, s, step[1])
      expect(#got, step[2], "recv(" .. step[1] .. ") length")
      expect(got, data:sub(pos, pos + step[2] - 1), "recv(" .. step[1] .. ") bytes")
      pos = pos + #got
    end
    expect(pos, 40001, "everything read")
  )lua"));
}

TEST_F(cipherkit_tls, send_offsets_and_lengths) {
  EXPECT_EQ("", lua_.run(R"lua(
    local c, s = tls_pair(client_context("ca.pem"), server_context())
    local d = "abcde"
    local rows = {
      {"data only", {d}, "abcde"},
      {"offset 2", {d, 2}, "cde"},
      {"offset 0, length 2", {d, 0, 2}, "ab"},
      {"offset 2, length 2", {d, 2, 2}, "cd"},
      {"offset 4, length 9", {d, 4, 9}, "e"},
      {"nil offset, length 3", {d, nil, 3}, "abc"},
      {"offset 1, nil length", {d, 1, nil}, "bcde"},
      {"negative length", {d, 1, -1}, "bcde"},
      {"offset 0, negative length", {d, 0, -5}, "abcde"},
      {"offset 5", {d, 5}, ""},
      {"offset 9", {d, 9}, ""},
      {"negative offset", {d, -1}, ""},
      {"negative offset and length", {d, -3, 2}, ""},
      {"length 0", {d, 1, 0}, ""},
      {"empty data", {""}, ""},
    }
    local expected = {}
    cases(rows, function(case)
      local n, code = c:send(unpack(case[2], 1, table.maxn(case[2])))
      if case[3] == "" then
        -- nothing to write: SSL_write of zero bytes reports no progress
        expect(n, nil, case[1] .. ": result")
        expect(type(code), "number", case[1] .. ": code is a number")
      else
        expect(n, #case[3], case[1] .. ": bytes written")
        expected[#expected + 1] = case[3]
      end
    end, "send")
    expected = table.concat(expected)
    expect(recv_exactly(s, #expected), expected, "bytes at the other end")
    -- the connection is still good
    expect(again(c.send, c, "ok"), 2, "send after the empty writes")
    expect(recv_exactly(s, 2), "ok", "recv after the empty writes")
  )lua"));
}

// A close notify is the end of data (""); a connection that simply drops is
// an error, not an end of stream that could hide truncated data.
TEST_F(cipherkit_tls, end_of_data_versus_dropped_connection) {
  EXPECT_EQ("", lua_.run(R"lua(
    local c, s = tls_pair(client_context("ca.pem"), server_context())
    again(s.send, s, "last words")
    s:shutdown()
    expect(recv_exactly(c, 10), "last words", "data before the close notify")
    expect(again(c.recv, c, 100), "", "after the close notify")
    expect(again(c.recv, c, 100), "", "and again")

    local c2, s2 = tls_pair(client_context("ca.pem"), server_context())
    again(s2.send, s2, "cut")
    s2.socket:close()
    expect(recv_exactly(c2, 3), "cut", "data before the drop")
    local got, code = again(c2.recv, c2, 100)
    expect(got, nil, "recv after the drop")
    -- SSL_ERROR_SSL or SSL_ERROR_SYSCALL
    expect_match(tostring(code), "^[15]$", "recv after the drop: code")
  )lua"));
}

TEST_F(cipherkit_tls, verification_outcomes) {
  struct Case {
    const char* what;
    const char* client;   // Lua building the client context
    const char* server;   // Lua building the server context
    const char* connect;  // expected results() of connect
    const char* accept;   // expected results() of accept
  };
  const Case cases[] = {
      {"right CA", "client_context('ca.pem')", "server_context()", "true", "true"},
      {"wrong CA", "client_context('other-ca.pem')", "server_context()", "nil 1", "nil 1"},
      {"no CA at all", "(function() local x = nixio.tls() x:set_verify('peer') return x end)()",
       "server_context()", "nil 1", "nil 1"},
      {"verification off, wrong CA",
       "(function() local x = client_context('other-ca.pem') x:set_verify('none') return x end)()",
       "server_context()", "true", "true"},
      {"verification off by default", "nixio.tls()", "server_context()", "true", "true"},
      {"leaf only, client trusts the root", "client_context('ca.pem')", "server_context('pem')",
       "nil 1", "nil 1"},
      {"leaf only, verification off", "nixio.tls()", "server_context('pem')", "true", "true"},
      {"client certificate required, none given", "client_context('ca.pem')",
       "(function() local x = server_context() x:set_verify_locations(PKI .. '/ca.pem')"
       " x:set_verify('peer', 'verify_fail_if_no_peer_cert') return x end)()",
       "true", "nil 1"},
      {"client certificate required and given",
       "(function() local x = client_context('ca.pem') x:set_cert(PKI .. '/client.pem')"
       " x:set_key(PKI .. '/client.key') return x end)()",
       "(function() local x = server_context() x:set_verify_locations(PKI .. '/ca.pem')"
       " x:set_verify('peer', 'verify_fail_if_no_peer_cert') return x end)()",
       "true", "true"},
      {"client certificate from an unknown CA",
       "(function() local x = client_context('ca.pem') x:set_cert(PKI .. '/client.pem')"
       " x:set_key(PKI .. '/client.key') return x end)()",
       "(function() local x = server_context() x:set_verify_locations(PKI .. '/other-ca.pem')"
       " x:set_verify('peer') return x end)()",
       "true", "nil 1"},
      // The server's certificate is for DNS:localhost and IP:127.0.0.1.
      {"host name expected and matching", "host_client('ca.pem', 'localhost')", "server_context()",
       "true", "true"},
      {"host name compared without regard to case", "host_client('ca.pem', 'LocalHost')",
       "server_context()", "true", "true"},
      {"host name expected, another presented", "host_client('ca.pem', 'box')", "server_context()",
       "nil 1", "nil 1"},
      {"a name longer than the certificate's", "host_client('ca.pem', 'localhost.example')",
       "server_context()", "nil 1", "nil 1"},
      {"address expected and matching", "host_client('ca.pem', '127.0.0.1')", "server_context()",
       "true", "true"},
      {"address expected, another presented", "host_client('ca.pem', '127.0.0.2')",
       "server_context()", "nil 1", "nil 1"},
      {"the second set_host replaces the first",
       "(function() local x = host_client('ca.pem', 'box') x:set_host('localhost') return x end)()",
       "server_context()", "true", "true"},
      {"an address replaces a name",
       "(function() local x = host_client('ca.pem', 'box') x:set_host('127.0.0.1') return x end)()",
       "server_context()", "true", "true"},
      {"a name replaces an address",
       "(function() local x = host_client('ca.pem', '127.0.0.1') x:set_host('box') return x end)()",
       "server_context()", "nil 1", "nil 1"},
      {"host name expected, but verification off: nothing is checked",
       "(function() local x = nixio.tls() expect(x:set_host('box'), true, 'set_host')"
       " return x end)()",
       "server_context()", "true", "true"},
  };
  for (const Case& c : cases) {
    std::string chunk = std::string("local want_connect, want_accept = '") + c.connect + "', '" +
                        c.accept + "' local cctx, sctx = " + c.client + ", " + c.server + R"lua(
      local csock, ssock = socket_pair()
      local cw, sw = cctx:create(csock), sctx:create(ssock)
      local connect, accept
      run_together(function() connect = results(again(cw.connect, cw)) end,
                   function() accept = results(again(sw.accept, sw)) end)
      expect(connect, want_connect, "connect")
      expect(accept, want_accept, "accept")
    )lua";
    EXPECT_EQ("", lua_.run(chunk)) << c.what;
  }
}

// Contexts and connections are freed at collection; a connection keeps its
// context alive and never closes the socket's descriptor.
TEST_F(cipherkit_tls, collection_frees_contexts_and_connections) {
  EXPECT_EQ("", lua_.run(R"lua(
    collectgarbage("collect")
    local ctx_made, ctx_freed, conn_made, conn_freed = ssl_counts()
    local function expect_counts(what, dctx_made, dctx_freed, dconn_made, dconn_freed)
      collectgarbage("collect")
      local a, b, c, d = ssl_counts()
      expect(a - ctx_made, dctx_made, what .. ": contexts made")
      expect(b - ctx_freed, dctx_freed, what .. ": contexts freed")
      expect(c - conn_made, dconn_made, what .. ": connections made")
      expect(d - conn_freed, dconn_freed, what .. ": connections freed")
    end

    do
      local unused = nixio.tls()
      local ok = pcall(nixio.tls, "neither")
      expect(ok, false, "bad mode fails")
    end
    expect_counts("unused context and a bad mode", 1, 1, 0, 0)
    ctx_made, ctx_freed = ssl_counts()

    local cctx, sctx = client_context("ca.pem"), server_context()
    local csock, ssock = socket_pair()
    local c, s = cctx:create(csock), sctx:create(ssock)
    local extra = {}
    for i = 1, 5 do extra[i] = cctx:create(csock) end
    expect_counts("made", 2, 0, 7, 0)
    extra = nil
    expect_counts("unused connections dropped", 2, 0, 7, 5)

    -- only the wrappers hold the contexts now; their handshake still works
    cctx, sctx = nil, nil
    c.context, s.context = nil, nil
    expect_counts("context objects collected", 2, 0, 7, 5)
    run_together(function() expect(again(c.connect, c), true, "connect") end,
                 function() expect(again(s.accept, s), true, "accept") end)
    run_together(function() expect(again(c.send, c, "ping"), 4, "send") end,
                 function() expect(recv_exactly(s, 4), "ping", "recv") end)

    c, s = nil, nil
    expect_counts("connections dropped", 2, 2, 7, 7)
    -- the sockets are still open and connected
    csock:setblocking(true)
    ssock:setblocking(true)
    expect(csock:send("raw"), 3, "raw send after collection")
    expect(ssock:recv(3), "raw", "raw recv after collection")
  )lua"));
}

// When OpenSSL runs out of memory, tls() raises its error, create() returns
// nil and 0, and nothing is left behind.
TEST_F(cipherkit_tls, allocation_failures) {
  ASSERT_TRUE(cktest::alloc_hooks_installed()) << "OpenSSL allocation hooks missing";
  ASSERT_EQ("", lua_.run("sock = nixio.socket() ctx = nixio.tls() ctx:create(sock)"
                         " collectgarbage('collect')"));
  long before = cktest::live_openssl_blocks();
  struct Case {
    const char* call;
    const char* failure;  // results() of the pcall when OpenSSL fails
  };
  const Case cases[] = {
      {"nixio.tls('server')", "false unable to create TLS context"},
      {"ctx:create(sock)", "true nil 0"},
  };
  for (const Case& c : cases) {
    bool succeeded = false;
    for (long allowed = 0; allowed < 2000 && !succeeded; allowed++) {
      cktest::fail_allocations_after(allowed);
      lua_.run(std::string("outcome = results(pcall(function() return ") + c.call +
               " end)):gsub('test:%d+: ', '')");
      cktest::fail_allocations_after(-1);
      std::string outcome = lua_.get_string("outcome");
      succeeded = outcome.rfind("true nixio TLS", 0) == 0 || outcome.rfind("true table", 0) == 0;
      if (!succeeded) {
        EXPECT_EQ(c.failure, outcome) << c.call << " with " << allowed;
      }
      ASSERT_EQ("", lua_.run("outcome = nil collectgarbage('collect')"));
      EXPECT_EQ(before, cktest::live_openssl_blocks())
          << c.call << " leaked with " << allowed << " allocations allowed";
    }
    EXPECT_TRUE(succeeded) << c.call << " never succeeded";
  }
  // and everything still works afterwards
  EXPECT_EQ("", lua_.run("tls_pair(client_context('ca.pem'), server_context())"));
}

// --- against the openssl tool ---------------------------------------------

bool listening_on(int port) {
  char local[32];
  snprintf(local, sizeof local, ":%04X ", port);
  std::string table = testkit::read_file("/proc/net/tcp");
  size_t pos = 0;
  while ((pos = table.find(local, pos)) != std::string::npos) {
    // local address, remote address, then the state (0A = listen)
    size_t line_end = table.find('\n', pos);
    std::string rest = table.substr(pos, line_end - pos);
    if (rest.size() > 20 && rest.find(" 0A ") != std::string::npos) return true;
    pos++;
  }
  return false;
}

// An openssl s_server or s_client whose standard input we feed and whose
// standard output (the data it received) goes to a file.
class OpensslPeer {
 public:
  OpensslPeer(const std::vector<std::string>& args, const std::string& out_path,
              const std::string& err_path)
      : out_path_(out_path), err_path_(err_path) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    testkit::SpawnOptions opts;
    opts.stdin_fd = fds[0];
    opts.stdout_fd = out;
    opts.stderr_fd = err;
    std::vector<std::string> argv = {"openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    child_ = testkit::Child(argv, opts);
    close(fds[0]);
    close(out);
    close(err);
    stdin_ = fds[1];
  }
  ~OpensslPeer() {
    if (writer_.joinable()) writer_.join();
    if (stdin_ >= 0) close(stdin_);
  }

  // Writes data to the peer's input from another thread, then closes it
  // when close_after is set.
  void feed(std::string data, bool close_after) {
    writer_ = std::thread([this, data = std::move(data), close_after] {
      size_t off = 0;
      while (off < data.size()) {
        ssize_t n = write(stdin_, data.data() + off, data.size() - off);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
      }
      if (close_after) {
        close(stdin_);
        stdin_ = -1;
      }
    });
  }
  // Writes each step's data once its condition holds (null: at once), from
  // another thread; then closes the input.
  struct Step {
    std::function<bool()> ready;
    std::string data;
  };
  void feed_steps(std::vector<Step> steps) {
    writer_ = std::thread([this, steps = std::move(steps)] {
      for (const Step& step : steps) {
        if (step.ready && !testkit::wait_until(step.ready, 10000)) break;
        if (write(stdin_, step.data.data(), step.data.size()) !=
            static_cast<ssize_t>(step.data.size()))
          break;
      }
      close(stdin_);
      stdin_ = -1;
    });
  }
  void finish_feeding() {
    if (writer_.joinable()) writer_.join();
  }

  size_t received_size() const {
    struct stat st;
    return stat(out_path_.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
  }
  std::string received() const { return testkit::read_file(out_path_); }
  std::string diagnostics() const { return testkit::read_file(err_path_); }
  testkit::Child& child() { return child_; }

 private:
  testkit::Child child_;
  std::thread writer_;
  int stdin_ = -1;
  std::string out_path_, err_path_;
};

class cipherkit_openssl : public cipherkit_tls {
 protected:
  std::string random_data(size_t size, int seed) {
    lua_.run("tmp = random_bytes(" + std::to_string(size) + ", " + std::to_string(seed) + ")");
    return lua_.get_string("tmp");
  }
  std::vector<std::string> s_server_args(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"s_server",
                                     "-accept",
                                     "127.0.0.1:" + std::to_string(port_),
                                     "-cert",
                                     pki_.path("server.pem"),
                                     "-key",
                                     pki_.path("server.key"),
                                     "-cert_chain",
                                     pki_.path("inter.pem"),
                                     "-naccept",
                                     "1",
                                     "-quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  // s_server with the RSA key, for the suites that need one.
  std::vector<std::string> s_server_rsa_args(const std::vector<std::string>& extra) {
    std::vector<std::string> args = s_server_args(extra);
    for (size_t i = 0; i + 1 < args.size(); i++) {
      if (args[i] == "-cert") args[i + 1] = pki_.path("server-rsa.pem");
      if (args[i] == "-key") args[i + 1] = pki_.path("server-rsa.key");
    }
    return args;
  }
  std::vector<std::string> s_client_args(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {
        "s_client", "-connect",          "127.0.0.1:" + std::to_string(port_),
        "-CAfile",  pki_.path("ca.pem"), "-verify_return_error",
        "-quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  // Ends an s_server that may still run and waits until its port is free
  // for the next one.
  void stop_server(OpensslPeer& server) {
    server.child().signal(SIGTERM);
    server.child().wait(5000);
    ASSERT_TRUE(testkit::wait_until([&] { return !listening_on(port_); }));
  }
  testkit::TempDir io_{"ckio"};
};

TEST_F(cipherkit_openssl, client_against_s_server) {
  struct Case {
    std::vector<std::string> server_flags;
    const char* version;
  };
  const Case cases[] = {{{}, "TLSv1.3"}, {{"-tls1_2"}, "TLSv1.2"}};
  int seed = 10;
  for (const Case& c : cases) {
    OpensslPeer server(s_server_args(c.server_flags), io_ / "server.out", io_ / "server.err");
    ASSERT_TRUE(testkit::wait_until([&] { return listening_on(port_); })) << server.diagnostics();
    std::string up = random_data(1024 * 1024 + 3, seed++);
    std::string down = random_data(1024 * 1024 + 7, seed++);
    lua_.set_string("up", up);
    lua_.set_string("version", c.version);
    ASSERT_EQ("", lua_.run(R"lua(
      sock = assert(nixio.connect("127.0.0.1", PORT))
      conn = client_context("ca.pem"):create(sock)
      expect(conn:connect(), true, "connect")
      expect((conn_info(conn)), version, "negotiated version")
      send_all(conn, up, 50000)
    )lua"))
        << server.diagnostics();
    EXPECT_TRUE(testkit::wait_until([&] { return server.received_size() >= up.size(); }, 10000))
        << "s_server received " << server.received_size() << " of " << up.size() << " bytes";
    EXPECT_TRUE(server.received() == up) << "s_server received different bytes";

    server.feed(down, true);  // s_server sends its input, then closes
    lua_.set_string("down", down);
    EXPECT_EQ("", lua_.run(R"lua(
      expect(recv_exactly(conn, #down), down, "data from s_server")
      expect(conn:recv(10), "", "close notify")
      expect(conn:shutdown(), true, "shutdown after the peer's")
      conn, sock = nil, nil
    )lua"))
        << server.diagnostics();
    server.finish_feeding();
    int status = server.child().wait(10000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "s_server status " << status << ": " << server.diagnostics();
  }
}

TEST_F(cipherkit_openssl, client_verification_against_s_server) {
  struct Case {
    const char* client;
    const char* connect;
  };
  const Case cases[] = {
      {"client_context('other-ca.pem')", "nil 1"},
      {"(function() local x = client_context('other-ca.pem') x:set_verify('none') return x end)()",
       "true"},
      {"client_context('ca.pem')", "true"},
  };
  for (const Case& c : cases) {
    OpensslPeer server(s_server_args({}), io_ / "server.out", io_ / "server.err");
    ASSERT_TRUE(testkit::wait_until([&] { return listening_on(port_); })) << server.diagnostics();
    lua_.set_string("want", c.connect);
    EXPECT_EQ("", lua_.run(std::string("local ctx = ") + c.client + R"lua(
      local sock = assert(nixio.connect("127.0.0.1", PORT))
      local conn = ctx:create(sock)
      expect(results(conn:connect()), want, "connect")
      if want == "true" then
        send_all(conn, "checked")
        conn:shutdown()
      end
      sock:close()
    )lua"))
        << c.client;
    if (std::string(c.connect) == "true") {
      EXPECT_TRUE(testkit::wait_until([&] { return server.received_size() >= 7; }));
      EXPECT_EQ("checked", server.received());
    }
    ASSERT_NO_FATAL_FAILURE(stop_server(server));
  }
}

TEST_F(cipherkit_openssl, server_against_s_client) {
  struct Case {
    const char* what;
    const char* cert_kind;
    bool client_cert;
    std::vector<std::string> client_flags;
    const char* accept;
  };
  const Case cases[] = {
      {"chain, client certificate", "chain", true, {}, "true"},
      {"TLS 1.2 client", "chain", true, {"-tls1_2"}, "true"},
      // Forward secrecy with either key: a TLS 1.2 client offering only
      // ephemeral ECDH key exchange is served.
      {"EC key, TLS 1.2 client with ECDHE only",
       "chain",
       true,
       {"-tls1_2", "-cipher", "ECDHE"},
       "true"},
      {"RSA key, TLS 1.2 client with ECDHE only",
       "rsa",
       true,
       {"-tls1_2", "-cipher", "ECDHE"},
       "true"},
      // Static RSA key exchange has no forward secrecy: not in the default list.
      {"RSA key, TLS 1.2 client with RSA key exchange only",
       "rsa",
       true,
       {"-tls1_2", "-cipher", "kRSA"},
       "nil 1"},
      {"TLS 1.1 client", "chain", true, {"-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"}, "nil 1"},
      {"no client certificate", "chain", false, {}, "nil 1"},
      {"leaf only: s_client cannot verify", "pem", true, {}, "nil 1"},
  };
  int seed = 20;
  for (const Case& c : cases) {
    lua_.set_string("kind", c.cert_kind);
    ASSERT_EQ("", lua_.run(R"lua(
      listener = assert(nixio.bind("127.0.0.1", PORT))
      assert(listener:listen(1))
      ctx = server_context(kind)
      expect(ctx:set_verify_locations(PKI .. "/ca.pem"), true, "trust")
      ctx:set_verify("peer", "verify_fail_if_no_peer_cert")
    )lua"));
    std::vector<std::string> flags = c.client_flags;
    if (c.client_cert) {
      flags.insert(flags.end(),
                   {"-cert", pki_.path("client.pem"), "-key", pki_.path("client.key")});
    }
    OpensslPeer client(s_client_args(flags), io_ / "client.out", io_ / "client.err");
    std::string up = random_data(1024 * 1024 + 11, seed++);
    std::string down = random_data(1024 * 1024 + 13, seed++);
    lua_.set_string("want", c.accept);
    lua_.set_string("down", down);
    lua_.set_integer("up_size", static_cast<long long>(up.size()));
    bool good = std::string(c.accept) == "true";
    if (good) client.feed(up, false);
    EXPECT_EQ("", lua_.run(R"lua(
      local sock = assert(listener:accept())
      listener:close()
      local conn = ctx:create(sock)
      expect(results(conn:accept()), want, "accept")
      if want == "true" then
        local ver = conn_info(conn)
        expect_match(ver, "^TLSv1%.[23]$", "version")
        up = recv_exactly(conn, up_size)
        send_all(conn, down, 30000)
        local ok, code = conn:shutdown()
        expect(results(ok, type(code)), "nil number", "first shutdown")
        expect(conn:shutdown(), true, "second shutdown")
      end
      sock:close()
    )lua"))
        << c.what << ": " << client.diagnostics();
    if (good) {
      EXPECT_TRUE(lua_.get_string("up") == up) << c.what << ": our server received other bytes";
      int status = client.child().wait(10000);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
          << c.what << ": s_client status " << status << ": " << client.diagnostics();
      EXPECT_TRUE(client.received() == down)
          << c.what << ": s_client received " << client.received_size() << " of " << down.size()
          << " bytes, or other bytes";
    }
    client.child().signal(SIGTERM);
    client.child().wait(5000);
  }
}

// --- defaults a careful vendor ships ---------------------------------------

// A default client offers only suites with forward secrecy and without
// broken algorithms, and TLS 1.2 or later: a server that has nothing else
// is refused. The same client with the suite set by hand gets through, so
// the refusal is the cipher list's.
TEST_F(cipherkit_openssl, default_client_refuses_weak_servers) {
  struct Case {
    const char* what;
    std::vector<std::string> server_flags;
    const char* client_ciphers;  // nullptr: the default list
    const char* connect;
  };
  const Case cases[] = {
      {"static RSA key exchange", {"-tls1_2", "-cipher", "kRSA"}, nullptr, "nil 1"},
      {"static RSA key exchange, chosen by the caller",
       {"-tls1_2", "-cipher", "kRSA"},
       "kRSA",
       "true"},
      {"no encryption", {"-tls1_2", "-cipher", "eNULL:@SECLEVEL=0"}, nullptr, "nil 1"},
      {"no encryption, MD5 MAC", {"-tls1_2", "-cipher", "NULL-MD5:@SECLEVEL=0"}, nullptr, "nil 1"},
      {"anonymous", {"-tls1_2", "-cipher", "aNULL:@SECLEVEL=0"}, nullptr, "nil 1"},
      {"TLS 1.1", {"-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"}, nullptr, "nil 1"},
      {"TLS 1.0", {"-tls1", "-cipher", "DEFAULT:@SECLEVEL=0"}, nullptr, "nil 1"},
      {"TLS 1.0, every suite allowed by the caller",
       {"-tls1", "-cipher", "DEFAULT:@SECLEVEL=0"},
       "DEFAULT:@SECLEVEL=0",
       "nil 1"},
      {"TLS 1.2 with ECDHE", {"-tls1_2"}, nullptr, "true"},
      {"TLS 1.3", {}, nullptr, "true"},
  };
  for (const Case& c : cases) {
    OpensslPeer server(s_server_rsa_args(c.server_flags), io_ / "server.out", io_ / "server.err");
    ASSERT_TRUE(testkit::wait_until([&] { return listening_on(port_); }))
        << c.what << ": " << server.diagnostics();
    lua_.set_string("want", c.connect);
    lua_.set_string("ciphers", c.client_ciphers ? c.client_ciphers : "");
    EXPECT_EQ("", lua_.run(R"lua(
      local ctx = client_context("ca.pem")
      if ciphers ~= "" then expect(ctx:set_ciphers(ciphers), true, "set_ciphers") end
      local sock = assert(nixio.connect("127.0.0.1", PORT))
      local conn = ctx:create(sock)
      local got = results(conn:connect())
      if got ~= want then
        error("connect: expected " .. want .. ", saw " .. got .. " with " ..
              tostring(select(4, conn_info(conn))))
      end
      if want == "true" then conn:shutdown() end
      sock:close()
    )lua"))
        << c.what << ": " << server.diagnostics();
    ASSERT_NO_FATAL_FAILURE(stop_server(server));
  }
}

// set_host: the name goes out as SNI (s_server logs it), and verification
// accepts only a certificate for it. The certificate is for DNS:localhost
// and IP:127.0.0.1.
TEST_F(cipherkit_openssl, set_host_sends_the_name_and_checks_it) {
  struct Case {
    const char* what;
    const char* client;  // Lua building the client context
    std::vector<std::string> server_flags;
    const char* connect;
    const char* sni;  // what s_server logs, nullptr: no SNI
  };
  const Case cases[] = {
      {"right name", "host_client('ca-inter.pem', 'localhost')", {}, "true", "localhost"},
      {"right name, TLS 1.2",
       "host_client('ca-inter.pem', 'localhost')",
       {"-tls1_2"},
       "true",
       "localhost"},
      {"wrong name", "host_client('ca-inter.pem', 'box')", {}, "nil 1", "box"},
      {"wrong name, TLS 1.2", "host_client('ca-inter.pem', 'box')", {"-tls1_2"}, "nil 1", "box"},
      {"right address: checked, no SNI",
       "host_client('ca-inter.pem', '127.0.0.1')",
       {},
       "true",
       nullptr},
      {"wrong address", "host_client('ca-inter.pem', '127.0.0.9')", {}, "nil 1", nullptr},
      {"no set_host: no SNI, no name check", "client_context('ca-inter.pem')", {}, "true", nullptr},
      {"wrong name, verification off",
       "(function() local x = nixio.tls() x:set_host('box') return x end)()",
       {},
       "true",
       "box"},
  };
  // s_server's context for the name has no chain: clients trust the
  // intermediate as well
  ASSERT_TRUE(testkit::write_file(
      pki_.path("ca-inter.pem"),
      testkit::read_file(pki_.path("ca.pem")) + testkit::read_file(pki_.path("inter.pem"))));
  for (const Case& c : cases) {
    // without -quiet s_server logs the name; -cert2 is its context for it
    std::vector<std::string> flags = {"-servername", "localhost",
                                      "-cert2",      pki_.path("server.pem"),
                                      "-key2",       pki_.path("server.key")};
    flags.insert(flags.end(), c.server_flags.begin(), c.server_flags.end());
    std::vector<std::string> args = s_server_args(flags);
    args.erase(std::find(args.begin(), args.end(), "-quiet"));
    OpensslPeer server(args, io_ / "server.out", io_ / "server.err");
    ASSERT_TRUE(testkit::wait_until([&] { return listening_on(port_); }))
        << c.what << ": " << server.diagnostics();
    lua_.set_string("want", c.connect);
    EXPECT_EQ("", lua_.run(std::string("local ctx = ") + c.client + R"lua(
      local sock = assert(nixio.connect("127.0.0.1", PORT))
      local conn = ctx:create(sock)
      expect(results(conn:connect()), want, "connect")
      if want == "true" then
        send_all(conn, "checked\n")
      end
      sock:close()
    )lua"))
        << c.what;
    // s_server ends after its one connection, and only then has its log
    // surely reached the file
    EXPECT_TRUE(server.child().wait(10000) != -1) << c.what << ": s_server still running";
    std::string log = server.received();
    if (std::string(c.connect) == "true") {
      EXPECT_NE(std::string::npos, log.find("checked\n")) << c.what << ": " << log;
    }
    if (c.sni) {
      EXPECT_NE(std::string::npos,
                log.find(std::string("Hostname in TLS extension: \"") + c.sni + "\""))
          << c.what << ": " << log;
    } else {
      EXPECT_EQ(std::string::npos, log.find("Hostname in TLS extension")) << c.what << ": " << log;
    }
    EXPECT_NE(std::string::npos, log.find("CONNECTION CLOSED")) << c.what << ": " << log;
    ASSERT_NO_FATAL_FAILURE(stop_server(server));
  }
}

// A server picks the suite by its own order, not the client's.
TEST_F(cipherkit_openssl, server_prefers_its_own_order) {
  struct Case {
    const char* server_ciphers;  // "" keeps the default list
    std::vector<std::string> client_flags;
    const char* chosen;
  };
  const Case cases[] = {
      {"ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384",
       {"-tls1_2", "-cipher", "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-GCM-SHA256"},
       "ECDHE-ECDSA-AES128-GCM-SHA256"},
      {"ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-GCM-SHA256",
       {"-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384"},
       "ECDHE-ECDSA-AES256-GCM-SHA384"},
      // the default list puts AES-GCM before CHACHA20
      {"",
       {"-tls1_2", "-cipher", "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES128-GCM-SHA256"},
       "ECDHE-ECDSA-AES128-GCM-SHA256"},
      // TLS 1.3 suites: OpenSSL's own order starts with AES-256-GCM
      {"",
       {"-ciphersuites", "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384"},
       "TLS_AES_256_GCM_SHA384"},
  };
  for (const Case& c : cases) {
    lua_.set_string("ciphers", c.server_ciphers);
    lua_.set_string("want", c.chosen);
    ASSERT_EQ("", lua_.run(R"lua(
      listener = assert(nixio.bind("127.0.0.1", PORT))
      assert(listener:listen(1))
      ctx = server_context()
      if ciphers ~= "" then expect(ctx:set_ciphers(ciphers), true, "set_ciphers") end
    )lua"));
    OpensslPeer client(s_client_args(c.client_flags), io_ / "client.out", io_ / "client.err");
    EXPECT_EQ("", lua_.run(R"lua(
      local sock = assert(listener:accept())
      listener:close()
      local conn = ctx:create(sock)
      expect(conn:accept(), true, "accept")
      expect(select(4, conn_info(conn)), want, "suite")
      sock:close()
    )lua"))
        << c.chosen << ": " << client.diagnostics();
    client.child().signal(SIGTERM);
    client.child().wait(5000);
  }
}

// A client that asks to renegotiate (s_client's "R" command, TLS 1.2) is
// refused, and the connection ends: renegotiation would cost the server a
// private-key operation per request. The control case lets OpenSSL accept
// it, to show that the test sees a renegotiation that goes through.
TEST_F(cipherkit_openssl, server_refuses_client_renegotiation) {
  struct Case {
    const char* what;
    bool allow;
    const char* after;  // results() of the server's read after the request
  };
  const Case cases[] = {
    {"default server", false, "nil"},
#if CIPHERKIT_OPENSSL_1_0
    // the 1.0 branch refuses on its own, whatever OpenSSL would allow
    {"renegotiation allowed in OpenSSL", true, "nil"},
#else
    {"control: renegotiation allowed in OpenSSL", true, "after\n"},
#endif
  };
  for (const Case& c : cases) {
    lua_.set_integer("allow", c.allow);
    ASSERT_EQ("", lua_.run(R"lua(
      listener = assert(nixio.bind("127.0.0.1", PORT))
      assert(listener:listen(1))
      ctx = server_context()
      if allow == 1 then expect(allow_client_renegotiation(ctx), true, "control hook") end
    )lua"));
    // no -quiet: it would turn s_client's commands off
    std::vector<std::string> args = s_client_args({"-tls1_2"});
    args.erase(std::find(args.begin(), args.end(), "-quiet"));
    OpensslPeer client(args, io_ / "client.out", io_ / "client.err");
    // "R" starts the renegotiation with the next write, "after"; s_client
    // reads each line of its input on its own only when they come apart
    g_milestone = 0;
    client.feed_steps(
        {{nullptr, "hello\n"},
         {[] { return g_milestone >= 1; }, "R\n"},
         {[&] { return client.diagnostics().find("RENEGOTIATING") != std::string::npos; },
          "after\n"}});
    lua_.set_string("want", c.after);
    EXPECT_EQ("", lua_.run(R"lua(
      local sock = assert(listener:accept())
      listener:close()
      local conn = ctx:create(sock)
      expect(conn:accept(), true, "accept")
      expect(recv_exactly(conn, 6), "hello\n", "before")
      milestone(1)  -- s_client has taken its first line: "R" comes apart
      local got, code = conn:recv(100)
      expect(got == nil and "nil" or got, want, "after the renegotiation request")
      if got == nil then expect_match(tostring(code), "^[15]$", "code") end
      sock:close()
    )lua"))
        << c.what << ": " << client.diagnostics();
    client.finish_feeding();
    int status = client.child().wait(10000);
    if (!c.allow) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0)
          << c.what << ": s_client status " << status;
      EXPECT_NE(std::string::npos, client.diagnostics().find("no renegotiation"))
          << c.what << ": " << client.diagnostics();
    }
    client.child().signal(SIGTERM);
    client.child().wait(5000);
  }
}

}  // namespace
