// SPDX-License-Identifier: ISC
#include "luatest.h"

#include <stdlib.h>

#include <atomic>
#include <mutex>

#include <gtest/gtest.h>
#include <lua_expect.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

namespace cktest {

namespace {

// --- OpenSSL allocation hooks, installed before main() runs ---------------

std::atomic<long> g_live_blocks{0};
std::atomic<long> g_allowed_allocations{-1};

bool allocation_fails() {
  long left = g_allowed_allocations.load();
  if (left < 0) return false;
  if (left == 0) return true;
  g_allowed_allocations = left - 1;
  return false;
}

void* hook_malloc(size_t size) {
  if (allocation_fails()) return nullptr;
  void* p = malloc(size);
  if (p) g_live_blocks++;
  return p;
}

void* hook_realloc(void* old, size_t size) {
  if (!old) return hook_malloc(size);
  if (size == 0) {
    free(old);
    g_live_blocks--;
    return nullptr;
  }
  if (allocation_fails()) return nullptr;
  return realloc(old, size);
}

void hook_free(void* p) {
  if (!p) return;
  free(p);
  g_live_blocks--;
}

// 1.1 and later pass the caller's file and line as well.
#if OPENSSL_VERSION_NUMBER < 0x10100000L
const bool g_hooks_installed = CRYPTO_set_mem_functions(hook_malloc, hook_realloc, hook_free) == 1;
#else
void* hook_malloc_at(size_t size, const char*, int) { return hook_malloc(size); }
void* hook_realloc_at(void* old, size_t size, const char*, int) { return hook_realloc(old, size); }
void hook_free_at(void* p, const char*, int) { hook_free(p); }
const bool g_hooks_installed =
    CRYPTO_set_mem_functions(hook_malloc_at, hook_realloc_at, hook_free_at) == 1;
#endif

// --- contexts and connections made and freed, through ex_data ------------

SslCounters g_counters;
int g_ctx_index = -1;
int g_ssl_index = -1;
char g_marker;  // ex_data value of objects counted as made

// The "new" callbacks return a status under 1.0 and nothing since 1.1.
#if OPENSSL_VERSION_NUMBER < 0x10100000L
using ex_new_result = int;
#define EX_NEW_DONE return 1
#else
using ex_new_result = void;
#define EX_NEW_DONE return
#endif

ex_new_result ctx_made(void*, void*, CRYPTO_EX_DATA* ad, int idx, long, void*) {
  if (CRYPTO_set_ex_data(ad, idx, &g_marker) == 1) g_counters.contexts_made++;
  EX_NEW_DONE;
}

void ctx_freed(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*) {
  if (ptr == &g_marker) g_counters.contexts_freed++;
}

ex_new_result ssl_made(void*, void*, CRYPTO_EX_DATA* ad, int idx, long, void*) {
  if (CRYPTO_set_ex_data(ad, idx, &g_marker) == 1) g_counters.connections_made++;
  EX_NEW_DONE;
}

void ssl_freed(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*) {
  if (ptr == &g_marker) g_counters.connections_freed++;
}

void watch_ssl_objects() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_ctx_index = SSL_CTX_get_ex_new_index(0, nullptr, ctx_made, nullptr, ctx_freed);
    g_ssl_index = SSL_get_ex_new_index(0, nullptr, ssl_made, nullptr, ssl_freed);
  });
}

// --- Lua side -------------------------------------------------------------

// random_bytes(n, seed): n bytes of a xorshift sequence
int l_random_bytes(lua_State* L) {
  lua_Integer n = luaL_checkinteger(L, 1);
  uint64_t x = static_cast<uint64_t>(luaL_optinteger(L, 2, 1)) * 0x9e3779b97f4a7c15ULL + 1;
  luaL_Buffer b;
  luaL_buffinit(L, &b);
  for (lua_Integer i = 0; i < n; i++) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    luaL_addchar(&b, static_cast<char>(x >> 24));
  }
  luaL_pushresult(&b);
  return 1;
}

constexpr const char* kPrelude = R"lua(
package.cpath = (MODULE_DIR ~= "" and MODULE_DIR .. "/?.so;" or "") .. EO_LUA51_DIR .. "/?.so"
nixio = require "nixio"
local install = require "nixio.cipherkit"
assert(install(nixio) == nixio, "the installer returns the table it was given")
)lua";

}  // namespace

Lua::Lua(const std::string& module_dir) : L_(luaL_newstate()) {
  watch_ssl_objects();
  luaL_openlibs(L_);
  lua_register(L_, "random_bytes", l_random_bytes);
  set_string("EO_LUA51_DIR", EO_LUA51_DIR);
  set_string("MODULE_DIR", module_dir);
  std::string err = lua_expect::load(L_);
  if (err.empty()) err = run(kPrelude);
  if (!err.empty()) ADD_FAILURE() << "loading nixio and nixio.cipherkit: " << err;
}

Lua::~Lua() { lua_close(L_); }

std::string Lua::run(const std::string& chunk) {
  if (luaL_loadbuffer(L_, chunk.data(), chunk.size(), "=test") != 0 ||
      lua_pcall(L_, 0, 0, 0) != 0) {
    const char* msg = lua_tostring(L_, -1);
    std::string err = msg ? msg : "(error object is not a string)";
    lua_pop(L_, 1);
    return err;
  }
  return "";
}

void Lua::set_string(const char* name, const std::string& value) {
  lua_pushlstring(L_, value.data(), value.size());
  lua_setglobal(L_, name);
}

void Lua::set_integer(const char* name, long long value) {
  lua_pushinteger(L_, static_cast<lua_Integer>(value));
  lua_setglobal(L_, name);
}

std::string Lua::get_string(const char* name) {
  lua_getglobal(L_, name);
  size_t len = 0;
  const char* s = lua_isstring(L_, -1) ? lua_tolstring(L_, -1, &len) : nullptr;
  std::string value = s ? std::string(s, len) : std::string();
  lua_pop(L_, 1);
  return value;
}

SslCounters ssl_counters() { return g_counters; }

bool alloc_hooks_installed() { return g_hooks_installed; }

long live_openssl_blocks() {
  ERR_clear_error();  // queued error records hold allocations of their own
  return g_live_blocks.load();
}

void fail_allocations_after(long allowed) { g_allowed_allocations = allowed; }

}  // namespace cktest
