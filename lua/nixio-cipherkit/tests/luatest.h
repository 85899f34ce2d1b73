// SPDX-License-Identifier: ISC
// A Lua 5.1 state with nixio and nixio.cipherkit loaded from the build tree,
// plus the OpenSSL observers the tests use (live allocations, contexts and
// connections made and freed, injected allocation failures).
#pragma once

#include <string>

#include <lua.hpp>

namespace cktest {

// The global "nixio" holds the module table with the installer applied.
// Chunks have the test kit's shared assertions (expect, expect_error, cases,
// show, ...: host/testkit/lua/expect.lua) and
//   random_bytes(n, seed)                 n pseudo-random bytes
class Lua {
 public:
  // module_dir, when given, is searched for nixio/cipherkit.so before the
  // build's Lua 5.1 module folder.
  explicit Lua(const std::string& module_dir = "");
  ~Lua();
  Lua(const Lua&) = delete;
  Lua& operator=(const Lua&) = delete;

  lua_State* state() const { return L_; }
  // Runs chunk; "" when it ran through, otherwise the error message.
  std::string run(const std::string& chunk);
  void set_string(const char* name, const std::string& value);
  void set_integer(const char* name, long long value);
  // The global's value as a string ("" unless it is a string or number).
  std::string get_string(const char* name);

 private:
  lua_State* L_;
};

// Counters kept by OpenSSL hooks installed before the first OpenSSL call.
struct SslCounters {
  long contexts_made = 0, contexts_freed = 0;
  long connections_made = 0, connections_freed = 0;
};
SslCounters ssl_counters();
// Whether the allocation hooks took effect (false: counts are meaningless).
bool alloc_hooks_installed();
// Blocks allocated through OpenSSL and not yet freed.
long live_openssl_blocks();
// After `allowed` more successful allocations every OpenSSL allocation fails,
// until fail_allocations_after(-1).
void fail_allocations_after(long allowed);

}  // namespace cktest
