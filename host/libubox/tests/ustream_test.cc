// SPDX-License-Identifier: ISC
// ustream over descriptors: writes that outrun the reader are queued and
// arrive complete and in order, end of file is reported once, read
// buffers apply back-pressure, write errors surface.

extern "C" {
#include <libubox/ustream.h>
}

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Watchdog {
  uloop_timeout t = {};
  bool fired = false;

  explicit Watchdog(int ms = 30000) {
    t.cb = [](uloop_timeout *self) {
      container_of(self, Watchdog, t)->fired = true;
      uloop_end();
    };
    uloop_timeout_set(&t, ms);
  }
  ~Watchdog() { uloop_timeout_cancel(&t); }
};

class ubox_ustream : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(uloop_init(), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  }
  void TearDown() override {
    for (int fd : sv)
      if (fd >= 0) close(fd);
    uloop_done();
  }
  void close_peer(int i) {
    close(sv[i]);
    sv[i] = -1;
  }
  int sv[2] = {-1, -1};
};

uint8_t pattern(size_t i) { return (uint8_t)(i * 7 + (i >> 9)); }

// A reader stream that checks the pattern and counts notifications.
struct Reader {
  ustream_fd sf = {};
  size_t received = 0;
  size_t first_mismatch = SIZE_MAX;
  int state_calls = 0;
  int eof_reports = 0;
  bool consume = true;
  size_t end_after = SIZE_MAX;

  explicit Reader(int fd) {
    sf.stream.notify_read = on_read;
    sf.stream.notify_state = on_state;
    ustream_fd_init(&sf, fd);
  }
  ~Reader() { ustream_free(&sf.stream); }

  static Reader *of(ustream *s) { return container_of(s, Reader, sf.stream); }

  static void on_read(ustream *s, int) {
    Reader *r = of(s);
    if (!r->consume) return;
    int len;
    char *data;
    while ((data = ustream_get_read_buf(s, &len)) != nullptr) {
      for (int i = 0; i < len; i++) {
        if ((uint8_t)data[i] != pattern(r->received + i) && r->first_mismatch == SIZE_MAX)
          r->first_mismatch = r->received + i;
      }
      r->received += len;
      ustream_consume(s, len);
    }
    if (r->received >= r->end_after) uloop_end();
  }

  static void on_state(ustream *s) {
    Reader *r = of(s);
    r->state_calls++;
    if (s->eof) {
      r->eof_reports++;
      uloop_end();
    }
  }
};

TEST_F(ubox_ustream, LargeWritesToASlowReaderArriveInOrder) {
  const size_t total = 4 << 20;
  std::vector<char> data(total);
  for (size_t i = 0; i < total; i++) data[i] = (char)pattern(i);

  struct Writer {
    ustream_fd sf = {};
    size_t notified = 0;
  } w;
  w.sf.stream.notify_write = [](ustream *s, int bytes) {
    container_of(s, Writer, sf.stream)->notified += bytes;
  };
  ustream_fd_init(&w.sf, sv[0]);

  // uneven pieces, most of which find the socket full
  size_t off = 0, taken = 0;
  for (size_t piece = 1; off < total; piece = piece * 3 + 1) {
    size_t len = std::min(piece % 200000 + 1, total - off);
    int n = ustream_write(&w.sf.stream, &data[off], (int)len, false);
    ASSERT_EQ((size_t)n, len) << "at offset " << off;
    off += len;
    taken += n;
  }
  EXPECT_EQ(taken, total);
  size_t queued = ustream_pending_data(&w.sf.stream, true);
  EXPECT_GT(queued, 0u);

  // the reader drains slowly: it pauses its stream for a while after
  // every notification
  Reader r(sv[1]);
  r.end_after = total;
  struct Pacer {
    uloop_timeout t = {};
    ustream *s;
  } pacer;
  pacer.s = &r.sf.stream;
  pacer.t.cb = [](uloop_timeout *t) {
    ustream *s = container_of(t, Pacer, t)->s;
    ustream_set_read_blocked(s, !ustream_read_blocked(s));
    uloop_timeout_set(t, 1);
  };
  uloop_timeout_set(&pacer.t, 1);

  Watchdog dog;
  uloop_run();
  uloop_timeout_cancel(&pacer.t);
  EXPECT_FALSE(dog.fired) << "received " << r.received << " of " << total;
  EXPECT_EQ(r.received, total);
  EXPECT_EQ(r.first_mismatch, SIZE_MAX) << "first wrong byte at " << r.first_mismatch;
  EXPECT_EQ(ustream_pending_data(&w.sf.stream, true), 0);
  // the queued part was reported as written once it went out
  EXPECT_GE(w.notified, queued);
  EXPECT_LE(w.notified, total);
  ustream_free(&w.sf.stream);
}

TEST_F(ubox_ustream, EndOfFileIsReportedOnce) {
  Reader r(sv[1]);
  std::string expect;
  for (size_t i = 0; i < 5000; i++) expect += (char)pattern(i);
  ASSERT_EQ(write(sv[0], expect.data(), expect.size()), (ssize_t)expect.size());
  close_peer(0);

  Watchdog dog(2000);
  uloop_run();
  EXPECT_FALSE(dog.fired);
  EXPECT_EQ(r.received, expect.size());
  EXPECT_TRUE(r.sf.stream.eof);

  // more loop passes bring no further report
  for (int i = 0; i < 10; i++) uloop_run_timeout(2);
  EXPECT_EQ(r.eof_reports, 1);
  EXPECT_EQ(r.state_calls, 1);
  EXPECT_FALSE(r.sf.fd.registered);
}

TEST_F(ubox_ustream, FullReadBuffersHoldTheReaderBack) {
  Reader r(sv[1]);
  r.consume = false;
  ustream *s = &r.sf.stream;

  std::string sent;
  for (size_t i = 0; i < 10000; i++) sent += (char)pattern(i);
  ASSERT_EQ(write(sv[0], sent.data(), sent.size()), (ssize_t)sent.size());

  for (int i = 0; i < 10; i++) uloop_run_timeout(2);
  // one 4096-byte buffer by default, then the stream stops reading
  EXPECT_EQ(ustream_pending_data(s, false), 4096);
  EXPECT_TRUE(ustream_read_buf_full(s));
  EXPECT_TRUE(s->read_blocked & READ_BLOCKED_FULL);
  EXPECT_FALSE(ustream_read_blocked(s));  // not blocked by the user

  // taking the data out lets the rest in
  char buf[16384];
  int got = ustream_read(s, buf, sizeof(buf));
  EXPECT_EQ(got, 4096);
  r.consume = true;
  r.received = got;
  r.end_after = sent.size();
  Watchdog dog(2000);
  uloop_run();
  EXPECT_FALSE(dog.fired);
  EXPECT_EQ(r.received, sent.size());
  EXPECT_EQ(r.first_mismatch, SIZE_MAX);
  EXPECT_EQ(std::string(buf, got), sent.substr(0, got));
}

TEST_F(ubox_ustream, UserBlockedStreamReadsNothing) {
  Reader r(sv[1]);
  ustream_set_read_blocked(&r.sf.stream, true);
  ASSERT_EQ(write(sv[0], "abc", 3), 3);
  for (int i = 0; i < 5; i++) uloop_run_timeout(2);
  EXPECT_EQ(r.received, 0u);
  EXPECT_EQ(ustream_pending_data(&r.sf.stream, false), 0);

  r.end_after = 3;
  ustream_set_read_blocked(&r.sf.stream, false);
  Watchdog dog(2000);
  uloop_run();
  EXPECT_EQ(r.received, 3u);
}

TEST_F(ubox_ustream, StringDataKeepsANulAfterTheData) {
  struct Lines {
    ustream_fd sf = {};
    std::string text;
  } l;
  l.sf.stream.string_data = true;
  l.sf.stream.notify_read = [](ustream *s, int) {
    int len;
    char *data = ustream_get_read_buf(s, &len);
    if (!data) return;
    // the NUL lets the data be used as a C string in place
    container_of(s, Lines, sf.stream)->text = data;
    EXPECT_EQ(data[len], 0);
    ustream_consume(s, len);
    uloop_end();
  };
  ustream_fd_init(&l.sf, sv[1]);
  ASSERT_EQ(write(sv[0], "hello", 5), 5);
  Watchdog dog(2000);
  uloop_run();
  EXPECT_EQ(l.text, "hello");
  ustream_free(&l.sf.stream);
}

TEST_F(ubox_ustream, WriteToAClosedPeerIsAWriteError) {
  struct Writer {
    ustream_fd sf = {};
    int state_calls = 0;
  } w;
  w.sf.stream.notify_state = [](ustream *s) {
    container_of(s, Writer, sf.stream)->state_calls++;
    uloop_end();
  };
  ustream_fd_init(&w.sf, sv[0]);
  close_peer(1);

  std::string chunk(1000, 'x');
  int n = ustream_write(&w.sf.stream, chunk.data(), chunk.size(), false);
  EXPECT_LT(n, 0);
  EXPECT_TRUE(w.sf.stream.write_error);
  Watchdog dog(2000);
  uloop_run();
  EXPECT_FALSE(dog.fired);
  EXPECT_EQ(w.state_calls, 1);
  // later writes are refused without touching the descriptor
  EXPECT_EQ(ustream_write(&w.sf.stream, chunk.data(), chunk.size(), false), 0);
  EXPECT_EQ(ustream_printf(&w.sf.stream, "%s", "more"), 0);
  ustream_free(&w.sf.stream);
}

// A descriptor the loop cannot watch (a regular file) leaves the stream
// unregistered, which is how its owner tells that it must read it itself.
TEST_F(ubox_ustream, UnwatchableDescriptorStaysUnregistered) {
  char path[] = "/tmp/ubox-ustream-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  unlink(path);

  ustream_fd file = {};
  ustream_fd_init(&file, fd);
  EXPECT_FALSE(file.fd.registered);
  ustream_free(&file.stream);

  ustream_fd sock = {};
  ustream_fd_init(&sock, sv[0]);
  EXPECT_TRUE(sock.fd.registered);
  ustream_free(&sock.stream);
  EXPECT_FALSE(sock.fd.registered);
  close(fd);
}

TEST_F(ubox_ustream, PrintfOfAnyLength) {
  struct Writer {
    ustream_fd sf = {};
  } w;
  ustream_fd_init(&w.sf, sv[0]);
  std::string long_arg(1000, 'q');
  EXPECT_EQ(ustream_printf(&w.sf.stream, "<%d>", 12), 4);
  EXPECT_EQ(ustream_printf(&w.sf.stream, "[%s]", long_arg.c_str()), 1002);
  ustream_free(&w.sf.stream);

  std::string got(1006, 0);
  ASSERT_EQ(read(sv[1], &got[0], got.size()), 1006);
  EXPECT_EQ(got, "<12>[" + long_arg + "]");
}

// A stream freed from inside its own read notification is not touched
// again (the sanitizer build would catch a use after free).
TEST_F(ubox_ustream, FreedFromItsOwnNotification) {
  struct Owner {
    ustream_fd *sf;
    int reads = 0;
  };
  static Owner owner;
  owner = {};
  owner.sf = new ustream_fd();
  owner.sf->stream.notify_read = [](ustream *s, int) {
    owner.reads++;
    ustream_free(s);
    delete container_of(s, ustream_fd, stream);
    owner.sf = nullptr;
    uloop_end();
  };
  ustream_fd_init(owner.sf, sv[1]);

  // more than one read buffer's worth, so the read loop would go on
  std::string big(20000, 'b');
  ASSERT_EQ(write(sv[0], big.data(), big.size()), (ssize_t)big.size());
  Watchdog dog(2000);
  uloop_run();
  for (int i = 0; i < 5; i++) uloop_run_timeout(2);
  EXPECT_FALSE(dog.fired);
  EXPECT_EQ(owner.reads, 1);
  EXPECT_EQ(owner.sf, nullptr);
}

}  // namespace
