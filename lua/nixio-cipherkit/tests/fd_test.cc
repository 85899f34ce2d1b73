// SPDX-License-Identifier: ISC
// The module's exported surface: the installer, the descriptor helpers
// other native modules call, and the hex alphabet.
#include <dlfcn.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "luatest.h"
#include "testkit.h"

namespace {

using cktest::Lua;

using fd_helper = int (*)(lua_State*, int);

struct Exports {
  void* module = nullptr;
  fd_helper tofd = nullptr;
  fd_helper checkfd = nullptr;
  const char* bin2hex = nullptr;

  Exports() {
    module = dlopen(EO_LUA51_DIR "/nixio/cipherkit.so", RTLD_NOW | RTLD_LOCAL);
    if (!module) return;
    tofd = reinterpret_cast<fd_helper>(dlsym(module, "nixio__tofd"));
    checkfd = reinterpret_cast<fd_helper>(dlsym(module, "nixio__checkfd"));
    bin2hex = static_cast<const char*>(dlsym(module, "nixio__bin2hex"));
  }
  ~Exports() {
    if (module) dlclose(module);
  }
};

fd_helper g_helper;

// Lua: call_helper(value) -> the helper's result and the stack growth it left
int l_call_helper(lua_State* L) {
  lua_settop(L, 1);
  lua_pushnil(L);  // something above the value, so relative indexes matter
  int before = lua_gettop(L);
  int fd = g_helper(L, -2);
  lua_pushinteger(L, fd);
  lua_pushinteger(L, lua_gettop(L) - 1 - before);
  return 2;
}

void bind_helper(Lua& lua, fd_helper helper) {
  g_helper = helper;
  lua_register(lua.state(), "call_helper", l_call_helper);
}

// Lua: nixio_file_with(fd) -> a userdata laid out and marked like a nixio file
int l_nixio_file_with(lua_State* L) {
  int fd = static_cast<int>(luaL_checkinteger(L, 1));
  auto* body = static_cast<int*>(lua_newuserdata(L, sizeof(int)));
  *body = fd;
  luaL_getmetatable(L, "nixio.file");
  lua_setmetatable(L, -2);
  return 1;
}

TEST(cipherkit_exports, symbols_and_hex_alphabet) {
  Exports exports;
  ASSERT_NE(nullptr, exports.module) << dlerror();
  EXPECT_NE(nullptr, exports.tofd);
  EXPECT_NE(nullptr, exports.checkfd);
  ASSERT_NE(nullptr, exports.bin2hex);
  EXPECT_EQ("0123456789abcdef", std::string(exports.bin2hex, 16));
  for (const char* name : {"luaopen_nixio_cipherkit", "nixio_open_tls_crypto",
                           "nixio_open_tls_context", "nixio_open_tls_socket"})
    EXPECT_NE(nullptr, dlsym(exports.module, name)) << name << " is not exported";
  // OpenSSL and the module's internals stay private
  EXPECT_EQ(nullptr, dlsym(exports.module, "check_context"));
}

TEST(cipherkit_exports, tofd_on_every_kind_of_value) {
  Exports exports;
  ASSERT_NE(nullptr, exports.tofd) << dlerror();
  testkit::TempDir dir("ckfd");
  ASSERT_TRUE(testkit::write_file(dir / "file", "content"));
  Lua lua;
  bind_helper(lua, exports.tofd);
  lua_register(lua.state(), "nixio_file_with", l_nixio_file_with);
  lua.set_string("path", dir / "file");
  EXPECT_EQ("", lua.run(R"lua(
    local sock = nixio.socket("inet", "stream")
    local nfile = nixio.open(path, "r")
    local iofile = io.open(path, "r")
    local closed = io.open(path, "r")
    closed:close()
    local cases_of_values = {
      {"nixio socket", sock, sock:fileno()},
      {"nixio file", nfile, nfile:fileno()},
      {"nixio stdin", nixio.stdin, 0},
      {"nixio stdout", nixio.stdout, 1},
      {"nixio stderr", nixio.stderr, 2},
      {"nixio file holding -1", nixio_file_with(-1), -1},
      {"nixio file holding 7", nixio_file_with(7), 7},
      {"io file", iofile, -2},
      {"io stdout", io.stdout, 1},
      {"closed io file", closed, -1},
      {"table", {}, -1},
      {"string", "3", -1},
      {"number", 3, -1},
      {"nil", nil, -1},
      {"hash object", nixio.crypto.hash("md5"), -1},
      {"TLS context", nixio.tls(), -1},
      {"TLS wrapper", nixio.tls():create(sock), -1},
      {"table dressed as a nixio socket", setmetatable({}, getmetatable(sock)), -1},
      {"table dressed as an io file", setmetatable({}, getmetatable(io.stdout)), -1},
    }
    cases(cases_of_values, function(c)
      local fd, growth = call_helper(c[2])
      local want = c[3]
      if want == -2 then want = fd >= 3 and fd or -100 end -- any real descriptor
      expect(fd, want, c[1] .. ": descriptor")
      expect(growth, 0, c[1] .. ": stack growth")
    end, "tofd")
    iofile:close()
  )lua"));
}

TEST(cipherkit_exports, checkfd_raises_where_tofd_finds_none) {
  Exports exports;
  ASSERT_NE(nullptr, exports.checkfd) << dlerror();
  Lua lua;
  bind_helper(lua, exports.checkfd);
  lua_register(lua.state(), "nixio_file_with", l_nixio_file_with);
  EXPECT_EQ("", lua.run(R"lua(
    expect((call_helper(nixio.stdout)), 1, "nixio stdout")
    local closed = io.tmpfile()
    closed:close()
    -- the argument index is the helper's: -2 from the top
    cases({{"closed io file", closed}, {"table", {}},
           {"nixio file holding -1", nixio_file_with(-1)},
           {"nixio file holding -6", nixio_file_with(-6)}}, function(bad)
      expect_error_match(function() return call_helper(bad[2]) end,
                         plain("(invalid file descriptor)"), bad[1])
    end, "checkfd")
  )lua"));
}

// What create() makes of each kind of value.
TEST(cipherkit_exports, create_takes_sockets_and_files) {
  testkit::TempDir dir("ckfd");
  Lua lua;
  lua.set_string("path", dir / "file");
  EXPECT_EQ("", lua.run(R"lua(
    local ctx = nixio.tls()
    local closed = io.open(path, "w")
    closed:close()
    cases({nixio.socket("inet", "stream"), nixio.stdout, io.stderr, nixio.open(path, "r")},
          function(good)
      local w = ctx:create(good)
      expect(type(w), "table", "wrapper for " .. tostring(good))
      expect(w.socket, good, "socket field")
    end, "values with a descriptor")
    cases({{"closed io file", closed}, {"string", "x"}, {"nothing", nil}}, function(bad)
      expect_error(function() ctx.create(ctx, bad[2]) end,
                   "bad argument #2 to 'create' (invalid file descriptor)", bad[1])
    end, "values without one")
  )lua"));
}

TEST(cipherkit_installer, fills_the_module_table) {
  Lua lua;
  EXPECT_EQ("", lua.run(R"lua(
    local reg = debug.getregistry()
    expect(nixio.tls_provider, "openssl", "tls_provider")
    expect(type(nixio.tls), "function", "tls")
    expect(type(nixio.crypto), "table", "crypto")
    expect(rawequal(nixio.meta_tls_context, reg["nixio.tls.ctx"]), true, "meta_tls_context")
    expect(rawequal(nixio.meta_tls_socket, reg["nixio.tls.sock"]), true, "meta_tls_socket")
    local ctxm, sockm = nixio.meta_tls_context, nixio.meta_tls_socket
    expect(rawequal(ctxm.__index, ctxm), true, "context __index")
    expect(rawequal(sockm.__index, sockm), true, "socket __index")
    cases({"set_cert", "set_verify_locations", "set_key", "set_ciphers", "set_verify",
           "set_host", "create", "__gc", "__tostring"}, function(name)
      expect(type(ctxm[name]), "function", "context method " .. name)
    end, "context methods")
    cases({"recv", "send", "accept", "connect", "shutdown", "__gc", "__tostring"}, function(name)
      expect(type(sockm[name]), "function", "socket method " .. name)
    end, "socket methods")
    expect(sockm.read, sockm.recv, "read is recv")
    expect(sockm.write, sockm.send, "write is send")

    -- another table: same metatables, fresh crypto table
    local install = require "nixio.cipherkit"
    expect(type(install), "function", "luaopen gives a function")
    local other = {}
    expect(rawequal(install(other), other), true, "installer result")
    expect(rawequal(other.meta_tls_context, ctxm), true, "metatables reused")
    expect(rawequal(other.meta_tls_socket, sockm), true, "metatables reused")
    if other.crypto == nixio.crypto then error("crypto table shared between targets") end
    expect(type(nixio.tls().set_cert), "function", "old contexts still work")
    expect(#other.crypto.hash("md5"):final(), 32, "hash from the new table")
    expect_error_match(function() return install() end, plain("table expected"),
                       "installer without a table")
  )lua"));
}

}  // namespace
