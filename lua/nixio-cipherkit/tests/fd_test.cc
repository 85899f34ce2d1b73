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
    local cases = {
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
    for _, c in ipairs(cases) do
      local fd, growth = call_helper(c[2])
      local want = c[3]
      if want == -2 then want = fd >= 3 and fd or -100 end -- any real descriptor
      expect_eq(c[1] .. ": descriptor", want, fd)
      expect_eq(c[1] .. ": stack growth", 0, growth)
    end
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
    expect_eq("nixio stdout", 1, (call_helper(nixio.stdout)))
    local closed = io.tmpfile()
    closed:close()
    -- the argument index is the helper's: -2 from the top
    for _, bad in ipairs{{"closed io file", closed}, {"table", {}},
                         {"nixio file holding -1", nixio_file_with(-1)},
                         {"nixio file holding -6", nixio_file_with(-6)}} do
      local ok, err = pcall(call_helper, bad[2])
      expect_eq(bad[1] .. " raises", false, ok)
      if not tostring(err):find("(invalid file descriptor)", 1, true) then
        error(bad[1] .. ": expected 'invalid file descriptor', saw " .. show(err))
      end
    end
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
    for _, good in ipairs{nixio.socket("inet", "stream"), nixio.stdout, io.stderr,
                          nixio.open(path, "r")} do
      local w = ctx:create(good)
      expect_eq("wrapper for " .. tostring(good), "table", type(w))
      expect_eq("socket field", good, w.socket)
    end
    for _, bad in ipairs{{"closed io file", closed}, {"string", "x"}, {"nothing", nil}} do
      expect_error(bad[1], "bad argument #2 to 'create' (invalid file descriptor)",
                   function() ctx.create(ctx, bad[2]) end)
    end
  )lua"));
}

TEST(cipherkit_installer, fills_the_module_table) {
  Lua lua;
  EXPECT_EQ("", lua.run(R"lua(
    local reg = debug.getregistry()
    expect_eq("tls_provider", "openssl", nixio.tls_provider)
    expect_eq("tls", "function", type(nixio.tls))
    expect_eq("crypto", "table", type(nixio.crypto))
    expect_eq("meta_tls_context", reg["nixio.tls.ctx"], nixio.meta_tls_context)
    expect_eq("meta_tls_socket", reg["nixio.tls.sock"], nixio.meta_tls_socket)
    local ctxm, sockm = nixio.meta_tls_context, nixio.meta_tls_socket
    expect_eq("context __index", ctxm, ctxm.__index)
    expect_eq("socket __index", sockm, sockm.__index)
    for _, name in ipairs{"set_cert", "set_verify_locations", "set_key", "set_ciphers",
                          "set_verify", "create", "__gc", "__tostring"} do
      expect_eq("context method " .. name, "function", type(ctxm[name]))
    end
    for _, name in ipairs{"recv", "send", "accept", "connect", "shutdown", "__gc",
                          "__tostring"} do
      expect_eq("socket method " .. name, "function", type(sockm[name]))
    end
    expect_eq("read is recv", sockm.recv, sockm.read)
    expect_eq("write is send", sockm.send, sockm.write)

    -- another table: same metatables, fresh crypto table
    local install = require "nixio.cipherkit"
    expect_eq("luaopen gives a function", "function", type(install))
    local other = {}
    expect_eq("installer result", other, install(other))
    expect_eq("metatables reused", ctxm, other.meta_tls_context)
    expect_eq("metatables reused", sockm, other.meta_tls_socket)
    if other.crypto == nixio.crypto then error("crypto table shared between targets") end
    expect_eq("old contexts still work", "function", type(nixio.tls().set_cert))
    expect_eq("hash from the new table", 32, #other.crypto.hash("md5"):final())
    local ok, err = pcall(install)
    expect_eq("installer without a table fails", false, ok)
    if not err:find("table expected", 1, true) then error("unexpected error " .. show(err)) end
  )lua"));
}

}  // namespace
