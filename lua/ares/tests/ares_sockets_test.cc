// SPDX-License-Identifier: ISC
// The sockets a channel lists for the event loop, through more sockets than
// the list first has room for, a full list, and a socket numbered below those
// already open: a query that finds no answer at server after server keeps a
// socket open to each until it ends, and every round the lists must be what
// c-ares itself waits on.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ares_harness.h"

namespace {

using ares_test::Lua;

constexpr int kServers = 8;  // the list grows once and is full at the end

// A descriptor held until free_low() lets it go, so that the next socket
// takes a number below the ones opened meanwhile.
int held_fd = -1;

int lua_free_low(lua_State* L) {
  lua_pushinteger(L, held_fd);
  if (held_fd >= 0) close(held_fd);
  held_fd = -1;
  return 1;
}

// UDP sockets on 127.0.0.2 .. that never read, all on one port.
struct SilentServers {
  std::vector<int> fds;
  int port = 0;
  bool ok = true;

  SilentServers() {
    for (int i = 0; i < kServers && ok; ++i) {
      int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<uint16_t>(port));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1 + static_cast<uint32_t>(i));
      socklen_t length = sizeof address;
      ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
           getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
      if (fd >= 0) fds.push_back(fd);
      port = ntohs(address.sin_port);
    }
  }
  ~SilentServers() {
    for (int fd : fds) close(fd);
  }
};

TEST(ares_sockets, ListsFollowEverySocketThroughGrowthAFullListAndLowerNumbers) {
  ASSERT_TRUE(testkit::in_private_namespaces());
  SilentServers servers;
  ASSERT_TRUE(servers.ok) << "could not bind the silent servers";
  std::string resolv;
  for (int i = 0; i < kServers; ++i) resolv += "nameserver 127.0.0." + std::to_string(2 + i) + "\n";
  ASSERT_TRUE(testkit::place_file("/etc/resolv.conf", resolv, 0644));

  Lua lua;
  lua_register(lua.state(), "free_low", lua_free_low);
  held_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held_fd, 0);
  std::string chunk =
      "servers, port = " + std::to_string(kServers) + ", " + std::to_string(servers.port) + R"lua(
    local ch = assert(ares.init{udp_port = port, tries = 1, timeout = 1})
    local result
    ch:query("www.example.test", ares.class.IN, ares.type.A, function(status)
      result = status
    end)
    local most, low, rounds = 0, nil, 0
    while true do
      local readers, writers, count, timeout = ch:fds()
      local own_readers, own_writers = getsock(ch)
      expect({readers, writers}, {own_readers, own_writers}, "lists against c-ares' own")
      local highest = -1
      for _, fd in ipairs(readers) do highest = math.max(highest, fd) end
      expect(count, highest + 1, "count")
      most = math.max(most, #readers)
      -- once the first socket is open, the next one gets the number below it
      if #readers == 1 and not low then low = free_low() end
      if timeout == nil then break end
      rounds = rounds + 1
      expect_true(rounds < 1000, ("still pending after %d rounds"):format(rounds))
      ch:process(poll(readers, writers, timeout))
    end
    expect(result, 12, "the query timed out at every server (ARES_ETIMEOUT)")
    expect(most, servers, "a socket to every server at the end")
    expect_true(low ~= nil, "the low descriptor was let go")
  )lua";
  std::string error = lua.run(chunk);
  EXPECT_EQ(error, "") << chunk;
  if (held_fd >= 0) close(held_fd);
  held_fd = -1;
}

}  // namespace
