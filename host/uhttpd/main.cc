// SPDX-License-Identifier: ISC
// uhttpd: a small HTTP/1.1 server on uloop that loads its request handlers
// as plug-ins. Start-up: options, event loop, plug-ins (init), listeners,
// plug-ins (post_init), then the loop; shutdown releases in reverse order.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <getopt.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "server.h"

namespace uh {

struct config conf = {
    nullptr,     // ubus_socket
    "/ubus-fd",  // ubus_fd_prefix
    "ubus-fd",   // ubus_fd_object
    60000,       // script_timeout
    30000,       // network_timeout
    8192,        // max_header_size
    64,          // max_headers
    100,         // max_connections
};

}  // namespace uh

namespace {

const char usage[] =
    "Usage: uhttpd [options]\n"
    "  -p, --listen [ADDR:]PORT     listen on this address (repeatable; IPv6 as [ADDR]:PORT)\n"
    "  -P, --plugin FILE            load this plug-in (repeatable)\n"
    "  -s, --ubus-socket PATH       bus socket for the plug-ins (the library's default)\n"
    "  -x, --fd-prefix PREFIX       URL prefix of the ubus-fd plug-in (/ubus-fd)\n"
    "  -o, --fd-object PATH         ubus object the ubus-fd plug-in calls (ubus-fd)\n"
    "  -t, --script-timeout SEC     time a handler may stay silent (60; fractions allowed)\n"
    "  -T, --network-timeout SEC    idle time before a connection closes (30)\n"
    "  --max-header-size BYTES      request line and headers together (8192)\n"
    "  --max-headers N              header lines per request (64)\n"
    "  --max-connections N          clients at once (100)\n";

enum { OPT_MAX_HEADER_SIZE = 256, OPT_MAX_HEADERS, OPT_MAX_CONNECTIONS };

const struct option long_options[] = {
    {"listen", required_argument, nullptr, 'p'},
    {"plugin", required_argument, nullptr, 'P'},
    {"ubus-socket", required_argument, nullptr, 's'},
    {"fd-prefix", required_argument, nullptr, 'x'},
    {"fd-object", required_argument, nullptr, 'o'},
    {"script-timeout", required_argument, nullptr, 't'},
    {"network-timeout", required_argument, nullptr, 'T'},
    {"max-header-size", required_argument, nullptr, OPT_MAX_HEADER_SIZE},
    {"max-headers", required_argument, nullptr, OPT_MAX_HEADERS},
    {"max-connections", required_argument, nullptr, OPT_MAX_CONNECTIONS},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

struct listener {
  struct uloop_fd fd;
  struct uloop_timeout retry;  // accept paused while descriptors ran out
  std::string name;
};

std::vector<listener *> listeners;
std::vector<struct uhttpd_plugin *> plugins;

bool parse_seconds(const char *text, int *msecs) {
  char *end;
  double sec = strtod(text, &end);

  if (*end || end == text || sec <= 0 || sec > 86400) return false;
  *msecs = static_cast<int>(sec * 1000);
  return *msecs > 0;
}

bool parse_int(const char *text, int min, int max, int *out) {
  char *end;
  long n = strtol(text, &end, 10);

  if (*end || end == text || n < min || n > max) return false;
  *out = static_cast<int>(n);
  return true;
}

void listener_retry_cb(struct uloop_timeout *t) {
  listener *l = container_of(t, listener, retry);
  uloop_fd_add(&l->fd, ULOOP_READ);
}

void listener_cb(struct uloop_fd *u, unsigned int) {
  listener *l = container_of(u, listener, fd);

  for (;;) {
    int fd = accept4(u->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        uloop_fd_delete(u);
        uloop_timeout_set(&l->retry, 100);
      }
      return;
    }
    if (!uh::client_add(fd)) close(fd);
  }
}

// "8080", "127.0.0.1:8080", "[::1]:8080"
bool open_listener(const char *spec) {
  std::string host, port;
  const char *colon = strrchr(spec, ':');

  if (spec[0] == '[') {
    const char *close_bracket = strchr(spec, ']');
    if (!close_bracket || close_bracket[1] != ':') return false;
    host.assign(spec + 1, close_bracket);
    port = close_bracket + 2;
  } else if (colon) {
    host.assign(spec, colon);
    port = colon + 1;
  } else {
    host = "0.0.0.0";
    port = spec;
  }

  int port_number;
  if (!parse_int(port.c_str(), 0, 65535, &port_number)) return false;

  struct sockaddr_storage ss = {};
  socklen_t len;
  if (host.find(':') != std::string::npos) {
    auto *sin6 = reinterpret_cast<struct sockaddr_in6 *>(&ss);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(static_cast<uint16_t>(port_number));
    if (inet_pton(AF_INET6, host.c_str(), &sin6->sin6_addr) != 1) return false;
    len = sizeof(*sin6);
  } else {
    auto *sin = reinterpret_cast<struct sockaddr_in *>(&ss);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(static_cast<uint16_t>(port_number));
    if (inet_pton(AF_INET, host.c_str(), &sin->sin_addr) != 1) return false;
    len = sizeof(*sin);
  }

  int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (ss.ss_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
  if (bind(fd, reinterpret_cast<struct sockaddr *>(&ss), len) < 0 || listen(fd, 128) < 0) {
    close(fd);
    return false;
  }

  auto *l = new listener();
  l->fd.fd = fd;
  l->fd.cb = listener_cb;
  l->retry.cb = listener_retry_cb;
  l->name = spec;
  if (uloop_fd_add(&l->fd, ULOOP_READ) < 0) {
    close(fd);
    delete l;
    return false;
  }
  listeners.push_back(l);
  return true;
}

bool load_plugin(const char *path) {
  void *dl = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!dl) {
    fprintf(stderr, "uhttpd: cannot load plug-in %s: %s\n", path, dlerror());
    return false;
  }

  auto *p = static_cast<struct uhttpd_plugin *>(dlsym(dl, "uhttpd_plugin"));
  if (!p) {
    fprintf(stderr, "uhttpd: %s has no uhttpd_plugin record\n", path);
    dlclose(dl);
    return false;
  }
  if (p->init(&uh::ops, &uh::conf)) {
    fprintf(stderr, "uhttpd: plug-in %s failed to start\n", path);
    return false;
  }
  plugins.push_back(p);
  return true;  // plug-ins stay loaded for the life of the process
}

void close_listeners() {
  for (listener *l : listeners) {
    uloop_fd_delete(&l->fd);
    uloop_timeout_cancel(&l->retry);
    close(l->fd.fd);
    delete l;
  }
  listeners.clear();
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<const char *> listen_specs, plugin_paths;
  struct config &conf = uh::conf;
  int opt;

  while ((opt = getopt_long(argc, argv, "p:P:s:x:o:t:T:h", long_options, nullptr)) != -1) {
    bool ok = true;
    switch (opt) {
      case 'p':
        listen_specs.push_back(optarg);
        break;
      case 'P':
        plugin_paths.push_back(optarg);
        break;
      case 's':
        conf.ubus_socket = optarg;
        break;
      case 'x':
        conf.ubus_fd_prefix = optarg;
        break;
      case 'o':
        conf.ubus_fd_object = optarg;
        break;
      case 't':
        ok = parse_seconds(optarg, &conf.script_timeout);
        break;
      case 'T':
        ok = parse_seconds(optarg, &conf.network_timeout);
        break;
      case OPT_MAX_HEADER_SIZE:
        ok = parse_int(optarg, 256, 1 << 20, &conf.max_header_size);
        break;
      case OPT_MAX_HEADERS:
        ok = parse_int(optarg, 1, 10000, &conf.max_headers);
        break;
      case OPT_MAX_CONNECTIONS:
        ok = parse_int(optarg, 1, 100000, &conf.max_connections);
        break;
      case 'h':
        fputs(usage, stdout);
        return 0;
      default:
        ok = false;
        break;
    }
    if (!ok) {
      fprintf(stderr, "uhttpd: bad value for option -%c\n%s", opt < 256 ? opt : '-', usage);
      return 2;
    }
  }
  if (optind != argc || listen_specs.empty()) {
    fputs(usage, stderr);
    return 2;
  }

  uloop_init();
  for (const char *path : plugin_paths) {
    if (!load_plugin(path)) return 1;
  }
  for (const char *spec : listen_specs) {
    if (!open_listener(spec)) {
      fprintf(stderr, "uhttpd: cannot listen on %s: %s\n", spec, strerror(errno));
      close_listeners();
      return 1;
    }
  }
  for (struct uhttpd_plugin *p : plugins) {
    if (p->post_init) p->post_init();
  }

  printf("uhttpd: listening on");
  for (listener *l : listeners) printf(" %s", l->name.c_str());
  printf("\n");
  fflush(stdout);

  uloop_run();

  uh::client_close_all();
  close_listeners();
  uloop_done();
  return 0;
}
