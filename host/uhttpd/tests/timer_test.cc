// SPDX-License-Identifier: ISC
// The server's promise to a peer that reads its response: it is dropped
// only after it took no byte for the network timeout, however long the
// response, whether the handler is still at work or already finished, and a
// handler that goes quiet after its bytes were all taken is not blamed for
// the peer. The pace plug-in writes the responses; the peer reads at a set
// pace through a small receive buffer, so that the server's own queue holds
// most of the response for seconds.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "testkit.h"

namespace {

constexpr size_t kMiB = 1 << 20;

struct Received {
  std::string head;  // up to the blank line
  size_t body = 0;   // bytes after the head (framing included)
  std::string tail;  // the last bytes seen
  bool closed = false;
};

struct Pace {
  size_t per_step;     // bytes read at each step, at most
  int step_ms;         // pause between steps
  size_t later_steps;  // bytes read at each step after the first (0: per_step)
};

class Timers : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = testkit::free_tcp_port();
    testkit::SpawnOptions opts;
    opts.capture_output = true;
    server_ =
        testkit::Child({testkit::bin_path("uhttpd"), "-p", "127.0.0.1:" + std::to_string(port_),
                        "-P", std::string(EO_PLUGIN_DIR) + "/uhttpd_pace.so", "-T",
                        std::to_string(network_timeout_s_), "-t", "20"},
                       opts);
    ASSERT_TRUE(testkit::wait_until([&] {
      return server_.output().find("listening") != std::string::npos;
    })) << server_.output();
  }

  // Sends request and reads at the given pace until the server closes, the
  // body reaches want_body bytes or ends with want_tail, or 30 s pass.
  Received fetch(const std::string& request, Pace pace, size_t want_body,
                 const std::string& want_tail = "") {
    Received r;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 64 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port_));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
    EXPECT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
    static char buf[256 * 1024];
    bool in_head = true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (size_t step_bytes = pace.per_step; std::chrono::steady_clock::now() < deadline;) {
      size_t got = 0;
      while (got < step_bytes) {
        size_t want = step_bytes - got < sizeof(buf) ? step_bytes - got : sizeof(buf);
        ssize_t n = recv(fd, buf, want, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
          r.closed = true;
          break;
        }
        if (n < 0) break;
        got += size_t(n);
        std::string_view part(buf, size_t(n));
        if (in_head) {
          r.head.append(part);
          size_t end = r.head.find("\r\n\r\n");
          if (end == std::string::npos) continue;
          in_head = false;
          part = std::string_view(buf + n - (r.head.size() - end - 4), r.head.size() - end - 4);
          r.head.resize(end + 4);
        }
        r.body += part.size();
        r.tail =
            (r.tail + std::string(part))
                .substr(r.tail.size() + part.size() > 32 ? r.tail.size() + part.size() - 32 : 0);
      }
      if (r.closed || (want_body && r.body >= want_body)) break;
      if (!want_tail.empty() && r.tail.size() >= want_tail.size() &&
          r.tail.compare(r.tail.size() - want_tail.size(), want_tail.size(), want_tail) == 0)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(pace.step_ms));
      if (pace.later_steps) step_bytes = pace.later_steps;
    }
    close(fd);
    return r;
  }

  int network_timeout_s_ = 1;
  int port_ = 0;
  testkit::Child server_;
};

// A network timeout of 2 s: pauses well short of it stay short of it on a
// loaded machine too.
class PatientTimers : public Timers {
 protected:
  PatientTimers() { network_timeout_s_ = 2; }
};

std::string get(const std::string& path, const char* version) {
  return "GET " + path + " " + version + "\r\nHost: x\r\n\r\n";
}

// 256 KiB every 100 ms (2.6 MB/s) against a network timeout of 1 s: the
// 12 MiB take about five seconds, most of them after the handler finished.
TEST_F(Timers, SteadyReaderGetsAllOfAFinishedResponse) {
  const size_t size = 12 * kMiB;
  const std::string path = "/pace/big?bytes=" + std::to_string(size);
  // closed after the response: close-delimited body
  Received closing = fetch(get(path + "&keep=0", "HTTP/1.0"), {256 * 1024, 100, 0}, 0);
  EXPECT_NE(closing.head.find("200"), std::string::npos) << closing.head;
  EXPECT_EQ(closing.body, size) << "the server gave up on a reader that took bytes all along";
  EXPECT_TRUE(closing.closed);
  // kept alive: chunked, all of it up to the last chunk (the idle wait for
  // the next request may then end the connection: it starts once the
  // server's queue is empty, while the peer still reads what the kernel
  // holds)
  Received kept =
      fetch(get(path + "&keep=1", "HTTP/1.1"), {256 * 1024, 100, 0}, 0, "\r\n0\r\n\r\n");
  EXPECT_GT(kept.body, size) << "got " << kept.body << " of " << size;
  ASSERT_GE(kept.tail.size(), 7u);
  EXPECT_EQ(kept.tail.substr(kept.tail.size() - 7), "\r\n0\r\n\r\n")
      << "the last chunk never came (connection closed: " << kept.closed << ")";
}

// The handler still works on the request (finishes 20 s later): the peer
// pauses 0.7 s between reads of 1 MiB, about 5 s in sum, more than twice the
// timeout, but takes bytes within every timeout.
TEST_F(PatientTimers, ReaderPausingShortOfTheTimeoutKeepsItsConnection) {
  const size_t size = 8 * kMiB;
  Received r =
      fetch(get("/pace/big?bytes=" + std::to_string(size) + "&keep=0&finish=20000", "HTTP/1.0"),
            {kMiB, 700, 0}, size);
  EXPECT_EQ(r.body, size) << "dropped although it took bytes within every timeout";
  EXPECT_FALSE(r.closed);
}

// A peer that stops taking bytes is dropped, before the handler finishes.
TEST_F(Timers, ReaderThatStopsIsDropped) {
  const size_t size = 12 * kMiB;
  std::string request =
      get("/pace/big?bytes=" + std::to_string(size) + "&keep=0&finish=20000", "HTTP/1.0");
  // 1 MiB, then nothing for 2.5 s, then everything the socket still holds
  Received r = fetch(request, {kMiB, 2500, 64 * kMiB}, 0);
  EXPECT_TRUE(r.closed) << "still connected after taking nothing for 2.5 timeouts";
  EXPECT_LT(r.body, size);
}

// All bytes taken, then the handler is silent for three timeouts (well
// inside the script timeout) before it writes its last line: the peer did
// nothing wrong and keeps the connection.
TEST_F(Timers, EmptiedQueueLeavesASilentHandlerAlone) {
  const size_t size = 8 * kMiB;
  Received r = fetch(get("/pace/gap?bytes=" + std::to_string(size) + "&silence=3000", "HTTP/1.1"),
                     {4 * kMiB, 20, 0}, 0, "\r\n0\r\n\r\n");
  EXPECT_GT(r.body, size);
  EXPECT_FALSE(r.closed) << "dropped while the handler was silent, after " << r.body << " bytes";
  EXPECT_NE(r.tail.find("end\n"), std::string::npos) << "the last line never came";
}

}  // namespace
