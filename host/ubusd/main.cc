// SPDX-License-Identifier: ISC
// ubusd: the bus daemon. One epoll loop over the listening socket, a
// signalfd and the clients. Every client has its own send queue, so a client
// that stops reading only ever delays itself.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "bus.h"

extern "C" {
#include "ubus_common.h"
}

namespace ubusd {
namespace {

constexpr uint64_t kListenTag = 0;
constexpr uint64_t kSignalTag = 1;  // client ids are above UBUS_SYSTEM_OBJECT_MAX
constexpr int kMaxFdsPerRead = 8;
constexpr int kMessagesPerWakeup = 64;
constexpr size_t kFirstChunk = 256 * 1024;  // larger bodies grow as they arrive
constexpr size_t kMaxIov = 64;

struct Io {
  int epfd = -1;
  Bus bus;
};

void set_events(Io* io, Client* c, bool want_write) {
  if (c->write_armed == want_write || c->dead) return;
  epoll_event ev{};
  ev.events = EPOLLIN | (want_write ? uint32_t(EPOLLOUT) : 0u);
  ev.data.u64 = c->id;
  if (epoll_ctl(io->epfd, EPOLL_CTL_MOD, c->fd, &ev) == 0) c->write_armed = want_write;
}

void flush(Io* io, Client* c) {
  while (!c->out.empty() && !c->dead) {
    iovec iov[kMaxIov];
    size_t n_iov = 0;
    OutMsg& first = c->out.front();
    iov[n_iov++] = {first.bytes.data() + c->out_off, first.bytes.size() - c->out_off};
    // later messages may share the call unless they carry a descriptor
    for (size_t i = 1; i < c->out.size() && n_iov < kMaxIov && c->out[i].fd < 0; i++)
      iov[n_iov++] = {c->out[i].bytes.data(), c->out[i].bytes.size()};

    msghdr mh{};
    mh.msg_iov = iov;
    mh.msg_iovlen = n_iov;
    alignas(cmsghdr) char ctl[CMSG_SPACE(sizeof(int))];
    bool passing = first.fd >= 0 && c->out_off == 0;
    if (passing) {
      memset(ctl, 0, sizeof(ctl));
      mh.msg_control = ctl;
      mh.msg_controllen = sizeof(ctl);
      cmsghdr* cm = CMSG_FIRSTHDR(&mh);
      cm->cmsg_level = SOL_SOCKET;
      cm->cmsg_type = SCM_RIGHTS;
      cm->cmsg_len = CMSG_LEN(sizeof(int));
      memcpy(CMSG_DATA(cm), &first.fd, sizeof(int));
    }
    ssize_t sent = sendmsg(c->fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      c->dead = true;
      return;
    }
    if (passing) {
      close(first.fd);  // the receiver holds its own copy now
      first.fd = -1;
    }
    size_t left = size_t(sent);
    c->out_bytes -= left;
    while (left > 0) {
      OutMsg& m = c->out.front();
      size_t rest = m.bytes.size() - c->out_off;
      if (left < rest) {
        c->out_off += left;
        break;
      }
      left -= rest;
      c->out_off = 0;
      c->out.pop_front();
    }
  }
  set_events(io, c, !c->out.empty());
}

void on_queued(Bus& bus, Client* c) {
  auto* io = static_cast<Io*>(bus.io);
  if (c->fd >= 0 && !c->write_armed) flush(io, c);
}

// Reads whatever is available of c's next messages; complete ones go to
// the bus. Exact-size reads keep each descriptor with its own message.
void read_client(Io* io, Client* c) {
  constexpr size_t kHead = kHeaderSize + kBlobHeaderSize;
  for (int handled = 0; handled < kMessagesPerWakeup && !c->dead;) {
    size_t want = kHead;
    if (c->in_have >= kHead) {
      size_t total = kHeaderSize + (get_be32(&c->in[kHeaderSize]) & kAttrLenMask);
      want = total;
    }
    if (c->in.size() < want) {
      size_t grow = c->in_have < kHead ? kHead : std::max(c->in.size() * 2, kFirstChunk);
      c->in.resize(std::min(want, grow));
    }
    size_t room = c->in.size() - c->in_have;

    iovec iov = {c->in.data() + c->in_have, room};
    alignas(cmsghdr) char ctl[CMSG_SPACE(sizeof(int) * kMaxFdsPerRead)];
    msghdr mh{};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = ctl;
    mh.msg_controllen = sizeof(ctl);
    ssize_t n = recvmsg(c->fd, &mh, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) c->dead = true;
      return;
    }
    for (cmsghdr* cm = CMSG_FIRSTHDR(&mh); cm; cm = CMSG_NXTHDR(&mh, cm)) {
      if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SCM_RIGHTS) continue;
      size_t count = (cm->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t i = 0; i < count; i++) {
        int fd;
        memcpy(&fd, CMSG_DATA(cm) + i * sizeof(int), sizeof(int));
        if (c->in_fd < 0)
          c->in_fd = fd;
        else
          close(fd);  // one descriptor per message
      }
    }
    if (n == 0) {
      c->dead = true;  // gone, possibly in the middle of a message
      return;
    }
    c->in_have += size_t(n);
    if (c->in_have == kHead) {
      // header complete: check it before trusting its length
      size_t body = get_be32(&c->in[kHeaderSize]) & kAttrLenMask;
      if (c->in[0] != 0 || body < kBlobHeaderSize || body > kMaxMsgLen) {
        c->dead = true;
        return;
      }
    }
    if (c->in_have < kHead ||
        c->in_have < kHeaderSize + (get_be32(&c->in[kHeaderSize]) & kAttrLenMask))
      continue;
    std::vector<uint8_t> msg = std::move(c->in);
    int fd = c->in_fd;
    c->in.clear();
    c->in_have = 0;
    c->in_fd = -1;
    io->bus.handle(c, std::move(msg), fd);
    handled++;
  }
}

void accept_clients(Io* io, int listen_fd) {
  for (;;) {
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    epoll_event ev{};
    ev.events = EPOLLIN;
    Client* c = io->bus.add_client(-1);
    ev.data.u64 = c->id;
    if (epoll_ctl(io->epfd, EPOLL_CTL_ADD, fd, &ev) < 0) {
      close(fd);
      io->bus.drop(c);
      continue;
    }
    c->fd = fd;
    flush(io, c);  // the greeting queued before the socket was attached
  }
}

int make_dirs_for(const std::string& path) {
  for (size_t pos = 1; (pos = path.find('/', pos)) != std::string::npos; pos++) {
    std::string dir = path.substr(0, pos);
    if (mkdir(dir.c_str(), 0755) < 0 && errno != EEXIST) return -1;
  }
  return 0;
}

int listen_on(const std::string& path) {
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  if (path.size() >= sizeof(sa.sun_path)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(sa.sun_path, path.c_str(), path.size() + 1);
  if (make_dirs_for(path) < 0) return -1;
  unlink(path.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) < 0 || chmod(path.c_str(), 0666) < 0 ||
      listen(fd, SOMAXCONN) < 0) {
    int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

int run(const std::string& path) {
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  sigprocmask(SIG_BLOCK, &sigs, nullptr);
  signal(SIGPIPE, SIG_IGN);

  int listen_fd = listen_on(path);
  if (listen_fd < 0) {
    fprintf(stderr, "ubusd: cannot listen on %s: %s\n", path.c_str(), strerror(errno));
    return 1;
  }
  int sig_fd = signalfd(-1, &sigs, SFD_NONBLOCK | SFD_CLOEXEC);
  Io io;
  io.epfd = epoll_create1(EPOLL_CLOEXEC);
  if (sig_fd < 0 || io.epfd < 0) {
    fprintf(stderr, "ubusd: %s\n", strerror(errno));
    return 1;
  }
  io.bus.io = &io;
  io.bus.on_queued = on_queued;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kListenTag;
  epoll_ctl(io.epfd, EPOLL_CTL_ADD, listen_fd, &ev);
  ev.data.u64 = kSignalTag;
  epoll_ctl(io.epfd, EPOLL_CTL_ADD, sig_fd, &ev);

  bool running = true;
  epoll_event events[64];
  while (running) {
    int n = epoll_wait(io.epfd, events, 64, -1);
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < n; i++) {
      uint64_t tag = events[i].data.u64;
      if (tag == kListenTag) {
        accept_clients(&io, listen_fd);
        continue;
      }
      if (tag == kSignalTag) {
        running = false;
        continue;
      }
      auto it = io.bus.clients().find(uint32_t(tag));
      if (it == io.bus.clients().end()) continue;  // released earlier in this round
      Client* c = it->second;
      if (events[i].events & EPOLLOUT) flush(&io, c);
      if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) read_client(&io, c);
    }
    io.bus.reap();
  }
  close(io.epfd);
  close(sig_fd);
  close(listen_fd);
  unlink(path.c_str());
  return 0;
}

}  // namespace
}  // namespace ubusd

int main(int argc, char** argv) {
  std::string path = UBUS_UNIX_SOCKET;
  int ch;
  while ((ch = getopt(argc, argv, "s:")) != -1) {
    switch (ch) {
      case 's':
        path = optarg;
        break;
      default:
        fprintf(stderr, "Usage: %s [-s <socket>]\n", argv[0]);
        return 1;
    }
  }
  return ubusd::run(path);
}
