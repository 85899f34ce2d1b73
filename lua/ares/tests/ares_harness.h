// SPDX-License-Identifier: ISC
// Test harness for the ares module: a Lua 5.4 state that loads the built
// module and drives channels through a small poll loop, a local dnsmasq as
// the name server, and a UDP server that never answers.
#pragma once

#include <testkit.h>

#include <string>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

namespace ares_test {

// A Lua state with the standard libraries, the module on package.cpath,
// `ares` required as a global and the test helpers (see ares_harness.cc):
//   poll(readers, writers, timeout) -> ready readers, ready writers
//   now()                           -> monotonic seconds
//   getsock(channel)                -> the channel's readers and writers as
//                                      c-ares itself reports them, sorted
//   drive(channel [, limit])        -> runs the event loop until nothing is pending
// and the test kit's shared assertions (expect, expect_true, expect_error,
// cases, show, ...: see its expect.lua).
class Lua {
 public:
  explicit Lua(lua_Alloc alloc = nullptr, void* ud = nullptr);
  ~Lua();
  Lua(const Lua&) = delete;
  Lua& operator=(const Lua&) = delete;

  lua_State* state() const { return L_; }
  // Runs a chunk; returns "" on success, else the error with a traceback.
  std::string run(const std::string& chunk);
  // Number of live references in the registry's integer part.
  int registry_refs();

 private:
  lua_State* L_;
};

// dnsmasq on 127.0.0.1:53 inside the test's network namespace, with
// /etc/resolv.conf, /etc/hosts and /etc/services replaced inside its mount
// namespace:
//   www.example.test    A 192.0.2.10, AAAA 2001:db8::10
//   v6only.example.test AAAA 2001:db8::20
//   alias.example.test  CNAME www.example.test
//   multi.example.test  A 192.0.2.31, A 192.0.2.32
//   big.example.test    TXT of three 250-byte strings (too long for a plain
//                       UDP answer: the server truncates it, c-ares asks
//                       again over TCP)
//   *.nx.test           NXDOMAIN
//   anything else       REFUSED (no upstream servers)
//   /etc/hosts: hostsonly.test 192.0.2.77
//   /etc/services: http 80
// Every answer carries a TTL of 60 s.
class DnsWorld {
 public:
  DnsWorld();
  // Empty when the world is up, else what failed.
  const std::string& error() const { return error_; }

 private:
  testkit::Child dnsmasq_;
  std::string error_;
};

// A bound UDP socket on 127.0.0.1 that never reads: queries to it time out.
class SilentServer {
 public:
  SilentServer();
  ~SilentServer();
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = -1;
};

// Whether the sanitizers' leak reports will name functions (a symbolizer
// runs), so that suppressions can match names rather than whole libraries.
bool stacks_have_names();

}  // namespace ares_test
