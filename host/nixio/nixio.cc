// SPDX-License-Identifier: ISC
// A small nixio for Lua 5.1: TCP sockets and plain files, with the object
// layout the firmware's native nixio extensions rely on (registry metatables
// "nixio.socket" and "nixio.file", an int descriptor as the first field).
// Failures return nil, errno and its text, as nixio does.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <lua.hpp>

namespace {

constexpr const char* kSocketMeta = "nixio.socket";
constexpr const char* kFileMeta = "nixio.file";

// Descriptor markers of the standard handles in a file object.
constexpr int kStdinMarker = -2;
constexpr int kStdoutMarker = -3;
constexpr int kStderrMarker = -4;

constexpr size_t kReadMax = 8192;

struct nixio_sock {
  int fd;  // first field: read by other native modules
  int domain;
  int type;
};

struct nixio_file {
  int fd;  // first field; -2/-3/-4 stand for stdin/stdout/stderr
};

// Pushes nil, errno, strerror(errno); returns 3.
int push_errno(lua_State* L) {
  int err = errno;
  lua_pushnil(L);
  lua_pushinteger(L, err);
  lua_pushstring(L, strerror(err));
  return 3;
}

int push_true(lua_State* L) {
  lua_pushboolean(L, 1);
  return 1;
}

nixio_sock* push_socket(lua_State* L, int fd, int domain, int type) {
  auto* s = static_cast<nixio_sock*>(lua_newuserdata(L, sizeof(nixio_sock)));
  s->fd = fd;
  s->domain = domain;
  s->type = type;
  luaL_getmetatable(L, kSocketMeta);
  lua_setmetatable(L, -2);
  return s;
}

nixio_sock* check_socket(lua_State* L) {
  auto* s = static_cast<nixio_sock*>(luaL_checkudata(L, 1, kSocketMeta));
  luaL_argcheck(L, s->fd >= 0, 1, "socket is closed");
  return s;
}

// Fills addr from host ("*" or nil: any address) and port; false when the
// host is no numeric address of the socket's family.
bool make_address(lua_State* L, int domain, int host_idx, int port_idx, sockaddr_storage* addr,
                  socklen_t* len) {
  const char* host = luaL_optstring(L, host_idx, "*");
  lua_Integer port = luaL_checkinteger(L, port_idx);
  luaL_argcheck(L, port >= 0 && port <= 65535, port_idx, "invalid port");
  memset(addr, 0, sizeof *addr);
  bool any = strcmp(host, "*") == 0;
  if (domain == AF_INET6) {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(addr);
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(static_cast<uint16_t>(port));
    *len = sizeof *a6;
    return any ? (a6->sin6_addr = in6addr_any, true)
               : inet_pton(AF_INET6, host, &a6->sin6_addr) == 1;
  }
  auto* a4 = reinterpret_cast<sockaddr_in*>(addr);
  a4->sin_family = AF_INET;
  a4->sin_port = htons(static_cast<uint16_t>(port));
  a4->sin_addr.s_addr = htonl(INADDR_ANY);
  *len = sizeof *a4;
  return any || inet_pton(AF_INET, host, &a4->sin_addr) == 1;
}

int parse_domain(lua_State* L, int idx) {
  const char* name = luaL_optstring(L, idx, "inet");
  if (strcmp(name, "inet") == 0) return AF_INET;
  if (strcmp(name, "inet6") == 0) return AF_INET6;
  return luaL_argerror(L, idx, "supported values: inet, inet6");
}

int parse_type(lua_State* L, int idx) {
  const char* name = luaL_optstring(L, idx, "stream");
  if (strcmp(name, "stream") == 0) return SOCK_STREAM;
  if (strcmp(name, "dgram") == 0) return SOCK_DGRAM;
  return luaL_argerror(L, idx, "supported values: stream, dgram");
}

// nixio.socket(domain, type)
int l_socket(lua_State* L) {
  int domain = parse_domain(L, 1);
  int type = parse_type(L, 2);
  int fd = socket(domain, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return push_errno(L);
  push_socket(L, fd, domain, type);
  return 1;
}

int bind_fd(lua_State* L, nixio_sock* s, int host_idx, int port_idx) {
  sockaddr_storage addr;
  socklen_t len;
  if (!make_address(L, s->domain, host_idx, port_idx, &addr, &len)) {
    errno = EINVAL;
    return push_errno(L);
  }
  int on = 1;
  setsockopt(s->fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(s->fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) return push_errno(L);
  return 0;
}

int connect_fd(lua_State* L, nixio_sock* s, int host_idx, int port_idx) {
  sockaddr_storage addr;
  socklen_t len;
  if (!make_address(L, s->domain, host_idx, port_idx, &addr, &len)) {
    errno = EINVAL;
    return push_errno(L);
  }
  if (connect(s->fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 && errno != EINPROGRESS)
    return push_errno(L);
  return 0;
}

// nixio.bind(host, port, domain, type): a new socket bound to host:port
int l_bind(lua_State* L) {
  int domain = parse_domain(L, 3);
  int type = parse_type(L, 4);
  int fd = socket(domain, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return push_errno(L);
  nixio_sock* s = push_socket(L, fd, domain, type);
  if (int n = bind_fd(L, s, 1, 2)) return n;  // the socket is left to the collector
  return 1;
}

// nixio.connect(host, port, domain, type): a new socket connected to host:port
int l_connect(lua_State* L) {
  int domain = parse_domain(L, 3);
  int type = parse_type(L, 4);
  int fd = socket(domain, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return push_errno(L);
  nixio_sock* s = push_socket(L, fd, domain, type);
  if (int n = connect_fd(L, s, 1, 2)) return n;
  return 1;
}

// sock:bind(host, port)
int sock_bind(lua_State* L) {
  nixio_sock* s = check_socket(L);
  if (int n = bind_fd(L, s, 2, 3)) return n;
  return push_true(L);
}

// sock:connect(host, port)
int sock_connect(lua_State* L) {
  nixio_sock* s = check_socket(L);
  if (int n = connect_fd(L, s, 2, 3)) return n;
  return push_true(L);
}

// sock:listen(backlog)
int sock_listen(lua_State* L) {
  nixio_sock* s = check_socket(L);
  int backlog = static_cast<int>(luaL_optinteger(L, 2, 16));
  if (listen(s->fd, backlog) != 0) return push_errno(L);
  return push_true(L);
}

// sock:accept() -> socket, host, port
int sock_accept(lua_State* L) {
  nixio_sock* s = check_socket(L);
  sockaddr_storage addr;
  socklen_t len = sizeof addr;
  int fd;
  do {
    fd = accept4(s->fd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return push_errno(L);
  push_socket(L, fd, s->domain, s->type);
  char host[INET6_ADDRSTRLEN] = "";
  int port = 0;
  if (addr.ss_family == AF_INET6) {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&addr);
    inet_ntop(AF_INET6, &a6->sin6_addr, host, sizeof host);
    port = ntohs(a6->sin6_port);
  } else {
    auto* a4 = reinterpret_cast<sockaddr_in*>(&addr);
    inet_ntop(AF_INET, &a4->sin_addr, host, sizeof host);
    port = ntohs(a4->sin_port);
  }
  lua_pushstring(L, host);
  lua_pushinteger(L, port);
  return 3;
}

// Narrows data at argument idx by the optional offset and length that
// follow it; returns the bytes to write and their count.
const char* slice_args(lua_State* L, int idx, size_t* len) {
  size_t size;
  const char* data = luaL_checklstring(L, idx, &size);
  lua_Integer offset = luaL_optinteger(L, idx + 1, 0);
  luaL_argcheck(L, offset >= 0, idx + 1, "offset out of range");
  size_t skip = static_cast<size_t>(offset) < size ? static_cast<size_t>(offset) : size;
  size_t left = size - skip;
  lua_Integer want = luaL_optinteger(L, idx + 2, static_cast<lua_Integer>(left));
  luaL_argcheck(L, want >= 0, idx + 2, "length out of range");
  *len = static_cast<size_t>(want) < left ? static_cast<size_t>(want) : left;
  return data + skip;
}

// sock:send(data, offset, length) -> bytes sent
int sock_send(lua_State* L) {
  nixio_sock* s = check_socket(L);
  size_t len;
  const char* data = slice_args(L, 2, &len);
  ssize_t n;
  do {
    n = send(s->fd, data, len, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return push_errno(L);
  lua_pushinteger(L, n);
  return 1;
}

// Reads up to n (at most 8192) bytes from fd; "" at end of file.
int read_fd(lua_State* L, int fd, int count_idx, bool socket) {
  lua_Integer want = luaL_checkinteger(L, count_idx);
  size_t count = (want >= 0 && static_cast<size_t>(want) < kReadMax) ? want : kReadMax;
  char buf[kReadMax];
  ssize_t n;
  do {
    n = socket ? recv(fd, buf, count, 0) : read(fd, buf, count);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return push_errno(L);
  lua_pushlstring(L, buf, static_cast<size_t>(n));
  return 1;
}

// sock:recv(n) -> string ("" once the peer has closed)
int sock_recv(lua_State* L) {
  nixio_sock* s = check_socket(L);
  return read_fd(L, s->fd, 2, true);
}

// sock:setblocking(flag)
int sock_setblocking(lua_State* L) {
  nixio_sock* s = check_socket(L);
  luaL_checkany(L, 2);
  int flags = fcntl(s->fd, F_GETFL);
  if (flags < 0) return push_errno(L);
  flags = lua_toboolean(L, 2) ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  if (fcntl(s->fd, F_SETFL, flags) != 0) return push_errno(L);
  return push_true(L);
}

int sock_fileno(lua_State* L) {
  lua_pushinteger(L, check_socket(L)->fd);
  return 1;
}

int sock_close(lua_State* L) {
  nixio_sock* s = check_socket(L);
  int fd = s->fd;
  s->fd = -1;
  if (close(fd) != 0) return push_errno(L);
  return push_true(L);
}

int sock_gc(lua_State* L) {
  auto* s = static_cast<nixio_sock*>(luaL_checkudata(L, 1, kSocketMeta));
  if (s->fd >= 0) close(s->fd);
  s->fd = -1;
  return 0;
}

int sock_tostring(lua_State* L) {
  auto* s = static_cast<nixio_sock*>(luaL_checkudata(L, 1, kSocketMeta));
  lua_pushfstring(L, "nixio socket %d", s->fd);
  return 1;
}

// The descriptor behind a file object, the markers resolved.
int file_fd(const nixio_file* f) {
  switch (f->fd) {
    case kStdinMarker:
      return STDIN_FILENO;
    case kStdoutMarker:
      return STDOUT_FILENO;
    case kStderrMarker:
      return STDERR_FILENO;
    default:
      return f->fd;
  }
}

nixio_file* check_file(lua_State* L) {
  auto* f = static_cast<nixio_file*>(luaL_checkudata(L, 1, kFileMeta));
  luaL_argcheck(L, f->fd != -1, 1, "file is closed");
  return f;
}

nixio_file* push_file(lua_State* L, int fd) {
  auto* f = static_cast<nixio_file*>(lua_newuserdata(L, sizeof(nixio_file)));
  f->fd = fd;
  luaL_getmetatable(L, kFileMeta);
  lua_setmetatable(L, -2);
  return f;
}

struct open_mode {
  const char* name;
  int flags;
};

constexpr open_mode kOpenModes[] = {
    {"r", O_RDONLY},
    {"r+", O_RDWR},
    {"w", O_WRONLY | O_CREAT | O_TRUNC},
    {"w+", O_RDWR | O_CREAT | O_TRUNC},
    {"a", O_WRONLY | O_CREAT | O_APPEND},
    {"a+", O_RDWR | O_CREAT | O_APPEND},
};

// nixio.open(path, mode, permissions)
int l_open(lua_State* L) {
  const char* path = luaL_checkstring(L, 1);
  const char* mode = luaL_optstring(L, 2, "r");
  lua_Integer perm = luaL_optinteger(L, 3, 0666);
  int flags = -1;
  for (const open_mode& m : kOpenModes)
    if (strcmp(m.name, mode) == 0) flags = m.flags;
  luaL_argcheck(L, flags >= 0, 2, "supported values: r, r+, w, w+, a, a+");
  int fd = open(path, flags | O_CLOEXEC, static_cast<mode_t>(perm));
  if (fd < 0) return push_errno(L);
  push_file(L, fd);
  return 1;
}

// file:read(n) -> string ("" at end of file)
int file_read(lua_State* L) { return read_fd(L, file_fd(check_file(L)), 2, false); }

// file:write(data, offset, length) -> bytes written
int file_write(lua_State* L) {
  int fd = file_fd(check_file(L));
  size_t len;
  const char* data = slice_args(L, 2, &len);
  ssize_t n;
  do {
    n = write(fd, data, len);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return push_errno(L);
  lua_pushinteger(L, n);
  return 1;
}

int file_fileno(lua_State* L) {
  lua_pushinteger(L, file_fd(check_file(L)));
  return 1;
}

int file_close(lua_State* L) {
  nixio_file* f = check_file(L);
  int fd = f->fd;
  f->fd = -1;
  if (fd >= 0 && close(fd) != 0) return push_errno(L);
  return push_true(L);
}

int file_gc(lua_State* L) {
  auto* f = static_cast<nixio_file*>(luaL_checkudata(L, 1, kFileMeta));
  if (f->fd >= 0) close(f->fd);  // the standard handles stay open
  f->fd = -1;
  return 0;
}

int file_tostring(lua_State* L) {
  auto* f = static_cast<nixio_file*>(luaL_checkudata(L, 1, kFileMeta));
  lua_pushfstring(L, "nixio file %d", f->fd);
  return 1;
}

const luaL_Reg kSocketMethods[] = {
    {"bind", sock_bind},
    {"listen", sock_listen},
    {"accept", sock_accept},
    {"connect", sock_connect},
    {"send", sock_send},
    {"recv", sock_recv},
    {"write", sock_send},
    {"read", sock_recv},
    {"close", sock_close},
    {"fileno", sock_fileno},
    {"setblocking", sock_setblocking},
    {"__gc", sock_gc},
    {"__tostring", sock_tostring},
    {nullptr, nullptr},
};

const luaL_Reg kFileMethods[] = {
    {"read", file_read},     {"write", file_write}, {"close", file_close},
    {"fileno", file_fileno}, {"__gc", file_gc},     {"__tostring", file_tostring},
    {nullptr, nullptr},
};

const luaL_Reg kFunctions[] = {
    {"socket", l_socket}, {"bind", l_bind},   {"connect", l_connect},
    {"open", l_open},     {nullptr, nullptr},
};

// Pushes nothing: creates the registry metatable name with the methods.
void make_meta(lua_State* L, const char* name, const luaL_Reg* methods) {
  luaL_newmetatable(L, name);
  luaL_register(L, nullptr, methods);
  lua_pushvalue(L, -1);
  lua_setfield(L, -2, "__index");
  lua_pop(L, 1);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int luaopen_nixio(lua_State* L) {
  make_meta(L, kSocketMeta, kSocketMethods);
  make_meta(L, kFileMeta, kFileMethods);
  luaL_register(L, "nixio", kFunctions);
  push_file(L, kStdinMarker);
  lua_setfield(L, -2, "stdin");
  push_file(L, kStdoutMarker);
  lua_setfield(L, -2, "stdout");
  push_file(L, kStderrMarker);
  lua_setfield(L, -2, "stderr");
  return 1;
}
