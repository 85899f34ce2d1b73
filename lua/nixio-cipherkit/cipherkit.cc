// SPDX-License-Identifier: ISC
// Entry point: require "nixio.cipherkit" gives the installer, which Lua code
// calls with the nixio module table.
#include "cipherkit.h"

namespace {

// installer(nixio) -> nixio, with crypto, tls and the TLS metatables added
int install(lua_State* L) {
  lua_settop(L, 1);
  luaL_checktype(L, 1, LUA_TTABLE);
  nixio_open_tls_crypto(L);
  nixio_open_tls_context(L);
  nixio_open_tls_socket(L);
  return 1;
}

}  // namespace

int luaopen_nixio_cipherkit(lua_State* L) {
  lua_pushcfunction(L, install);
  return 1;
}
