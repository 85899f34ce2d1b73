// SPDX-License-Identifier: ISC
// What no name server produces: address nodes of every family and socket
// type, channel set-up failures and memory exhaustion while a completion
// builds its arguments. This binary defines the c-ares functions below
// itself; the module, loaded into it, calls these instead of the library's.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <ares.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ares_harness.h"

namespace {

struct Pending {
  std::string name;
  bool has_service;
  std::string service;
  ares_addrinfo_hints hints;
  ares_addrinfo_callback callback;
  void* arg;
};

std::vector<Pending> g_pending;
int g_freed = 0;
int g_init_status = ARES_SUCCESS;

// A result list owned by the test; the module must hand it back to
// ares_freeaddrinfo exactly once.
struct FakeResult {
  sockaddr_in v4_stream, v4_raw, v4_seqpacket;
  sockaddr_in6 v6_dgram;
  sockaddr_un local;
  ares_addrinfo_node nodes[6];
  ares_addrinfo info;
};

FakeResult g_result;

sockaddr_in inet(const char* text, unsigned short port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, text, &a.sin_addr);
  return a;
}

ares_addrinfo* fake_result() {
  FakeResult& r = g_result;
  r = FakeResult{};
  r.v4_stream = inet("192.0.2.1", 80);
  r.v4_raw = inet("192.0.2.2", 0);
  r.v4_seqpacket = inet("192.0.2.3", 9);
  r.v6_dgram.sin6_family = AF_INET6;
  r.v6_dgram.sin6_port = htons(53);
  inet_pton(AF_INET6, "2001:db8::1", &r.v6_dgram.sin6_addr);
  r.local.sun_family = AF_UNIX;
  struct NodeShape {
    int family, socktype, ttl;
    sockaddr* address;
    socklen_t length;
  } const shapes[6] = {
      {AF_INET, SOCK_STREAM, 5, reinterpret_cast<sockaddr*>(&r.v4_stream), sizeof r.v4_stream},
      {AF_UNIX, SOCK_STREAM, 1, reinterpret_cast<sockaddr*>(&r.local), sizeof r.local},
      {AF_INET6, SOCK_DGRAM, 7, reinterpret_cast<sockaddr*>(&r.v6_dgram), sizeof r.v6_dgram},
      {AF_INET6, SOCK_DGRAM, 1, nullptr, 0},  // no address at all
      {AF_INET, SOCK_RAW, 0, reinterpret_cast<sockaddr*>(&r.v4_raw), sizeof r.v4_raw},
      {AF_INET, SOCK_SEQPACKET, 9, reinterpret_cast<sockaddr*>(&r.v4_seqpacket),
       sizeof r.v4_seqpacket},
  };
  for (int i = 0; i < 6; ++i) {
    ares_addrinfo_node& n = r.nodes[i];
    n.ai_family = shapes[i].family;
    n.ai_socktype = shapes[i].socktype;
    n.ai_ttl = shapes[i].ttl;
    n.ai_addr = shapes[i].address;
    n.ai_addrlen = shapes[i].length;
    n.ai_next = i < 5 ? &r.nodes[i + 1] : nullptr;
  }
  r.info.nodes = &r.nodes[0];
  return &r.info;
}

template <typename F>
F real(const char* symbol) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, symbol));
}

}  // namespace

extern "C" {

void ares_getaddrinfo(ares_channel, const char* name, const char* service,
                      const ares_addrinfo_hints* hints, ares_addrinfo_callback callback,
                      void* arg) {
  g_pending.push_back({name, service != nullptr, service ? service : "", *hints, callback, arg});
}

void ares_freeaddrinfo(ares_addrinfo* info) {
  if (info == &g_result.info) {
    ++g_freed;
    return;
  }
  real<void (*)(ares_addrinfo*)>("ares_freeaddrinfo")(info);
}

int ares_init(ares_channel* channel) {
  if (g_init_status != ARES_SUCCESS) return g_init_status;
  return real<int (*)(ares_channel*)>("ares_init")(channel);
}

int ares_init_options(ares_channel* channel, struct ares_options* options, int mask) {
  if (g_init_status != ARES_SUCCESS) return g_init_status;
  return real<int (*)(ares_channel*, ares_options*, int)>("ares_init_options")(channel, options,
                                                                               mask);
}

}  // extern "C"

namespace {

using ares_test::Lua;

// An allocator that refuses to grow anything while `failing` is set.
struct Allocator {
  bool failing = false;
  static void* alloc(void* ud, void* ptr, size_t old_size, size_t new_size) {
    auto* self = static_cast<Allocator*>(ud);
    if (new_size == 0) {
      free(ptr);
      return nullptr;
    }
    if (self->failing && (ptr == nullptr || new_size > old_size)) return nullptr;
    return realloc(ptr, new_size);
  }
};

class ares_nodes : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(ares_version(nullptr), nullptr);
    g_pending.clear();
    g_freed = 0;
    g_init_status = ARES_SUCCESS;
    ASSERT_EQ(lua_.run("ch = assert(ares.init())"), "");
  }
  // Completes the oldest pending lookup.
  void complete(int status, int timeouts, ares_addrinfo* info) {
    ASSERT_FALSE(g_pending.empty());
    Pending p = g_pending.front();
    g_pending.erase(g_pending.begin());
    p.callback(p.arg, status, timeouts, info);
  }
  void expect_ok(const std::string& chunk) { EXPECT_EQ(lua_.run(chunk), "") << chunk; }

  Allocator allocator_;
  Lua lua_{Allocator::alloc, &allocator_};
};

TEST_F(ares_nodes, EntriesFollowFamilyAndSocketType) {
  expect_ok(R"lua(
    ch:getaddrinfo("with.service", "any", 80, function(...) with = table.pack(...) end, 100)
    ch:getaddrinfo("without.service", "any", nil, function(...) without = table.pack(...) end)
  )lua");
  complete(ARES_SUCCESS, 1, fake_result());
  complete(ARES_SUCCESS, 0, fake_result());
  EXPECT_EQ(g_freed, 2);
  expect_ok(R"lua(
    expect(with, {0, 1,
      {family = "inet", address = "192.0.2.1", port = 80, socktype = "stream", ttl = 105.0},
      {family = "inet6", address = "2001:db8::1", port = 53, socktype = "dgram", ttl = 107.0},
      {family = "inet", address = "192.0.2.2", port = 0, socktype = "raw", ttl = 100.0},
      {family = "inet", address = "192.0.2.3", port = 9, ttl = 109.0},
      n = 6}, "entries with a service")
    expect(without, {0, 0,
      {family = "inet", address = "192.0.2.1", ttl = 5.0},
      {family = "inet6", address = "2001:db8::1", ttl = 7.0},
      {family = "inet", address = "192.0.2.2", ttl = 0.0},
      {family = "inet", address = "192.0.2.3", ttl = 9.0},
      n = 6}, "entries without a service")
  )lua");
}

// Whatever c-ares hands back, a lookup for one family only gets entries of
// that family (a name server may answer an AAAA question with A records).
TEST_F(ares_nodes, EntriesOfOtherFamiliesAreDropped) {
  expect_ok(R"lua(
    ch:getaddrinfo("v4", "inet", 80, function(...) v4 = table.pack(...) end)
    ch:getaddrinfo("v6", "inet6", nil, function(...) v6 = table.pack(...) end)
  )lua");
  complete(ARES_SUCCESS, 0, fake_result());
  complete(ARES_SUCCESS, 2, fake_result());
  EXPECT_EQ(g_freed, 2);
  expect_ok(R"lua(
    expect(v4, {0, 0,
      {family = "inet", address = "192.0.2.1", port = 80, socktype = "stream", ttl = 5.0},
      {family = "inet", address = "192.0.2.2", port = 0, socktype = "raw", ttl = 0.0},
      {family = "inet", address = "192.0.2.3", port = 9, ttl = 9.0},
      n = 5}, "inet lookup")
    expect(v6, {0, 2, {family = "inet6", address = "2001:db8::1", ttl = 7.0}, n = 3},
           "inet6 lookup")
  )lua");
}

TEST_F(ares_nodes, HintsCarryOnlyTheFamily) {
  struct Row {
    const char* args;
    int family;
    const char* service;  // nullptr: none
  } const rows[] = {
      {"'h'", AF_UNSPEC, nullptr},
      {"'h', nil, nil", AF_UNSPEC, nullptr},
      {"'h', 'any', 443", AF_UNSPEC, "443"},
      {"'h', 'inet', 'http'", AF_INET, "http"},
      {"'h', 'inet6', 8080", AF_INET6, "8080"},
  };
  for (const Row& row : rows) {
    g_pending.clear();
    expect_ok(std::string("ch:getaddrinfo(") + row.args + ")");
    ASSERT_EQ(g_pending.size(), 1u) << row.args;
    const Pending& p = g_pending.front();
    EXPECT_EQ(p.name, "h");
    EXPECT_EQ(p.hints.ai_family, row.family) << row.args;
    EXPECT_EQ(p.hints.ai_flags | p.hints.ai_socktype | p.hints.ai_protocol, 0) << row.args;
    EXPECT_EQ(p.has_service, row.service != nullptr) << row.args;
    if (row.service) {
      EXPECT_EQ(p.service, row.service) << row.args;
    }
    complete(ARES_ECANCELLED, 0, nullptr);
  }
}

TEST_F(ares_nodes, ResultListIsFreedWhateverTheCallbackDoes) {
  int refs = lua_.registry_refs();
  expect_ok(R"lua(
    __uloop_error_cb = function(e) return e end
    ch:getaddrinfo("a", "any", 80, function() error("boom") end)
    ch:getaddrinfo("b", "any", 80, nil)
    ch:getaddrinfo("c", "any", 80, function(...) failed = table.pack(...) end)
  )lua");
  complete(ARES_SUCCESS, 0, fake_result());
  complete(ARES_SUCCESS, 0, fake_result());
  complete(ARES_ENOTFOUND, 3, nullptr);
  EXPECT_EQ(g_freed, 2);
  EXPECT_EQ(lua_.registry_refs(), refs);
  expect_ok("expect(failed, {4, 3, n = 2}, 'failed lookup')");
}

TEST_F(ares_nodes, MemoryExhaustionWhileBuildingTheArguments) {
  int refs = lua_.registry_refs();
  expect_ok(R"lua(
    ch:getaddrinfo("a", "any", 80, function(...) first = table.pack(...) end)
    ch:getaddrinfo("b", "inet", nil, function(status) second = status end)
  )lua");
  lua_State* L = lua_.state();
  int top = lua_gettop(L);
  allocator_.failing = true;
  complete(ARES_SUCCESS, 0, fake_result());
  allocator_.failing = false;
  EXPECT_EQ(lua_gettop(L), top) << "values left on the main stack";
  EXPECT_EQ(g_freed, 1) << "result list not freed after the failure";
  complete(ARES_SUCCESS, 0, fake_result());
  EXPECT_EQ(g_freed, 2);
  EXPECT_EQ(lua_.registry_refs(), refs) << "references left behind";
  expect_ok("expect({first, second}, {nil, 0}, 'callbacks after the failed completion')");
}

TEST_F(ares_nodes, InitFailureGivesNilAndMessage) {
  g_init_status = ARES_ENOMEM;
  std::string message = ares_strerror(ARES_ENOMEM);
  for (const char* form : {"ares.init()", "ares.init{}", "ares.init{timeout = 1}"}) {
    expect_ok(std::string("expect(table.pack(") + form + "), {nil, '" + message + "', n = 2}, '" +
              form + "')");
  }
}

}  // namespace
