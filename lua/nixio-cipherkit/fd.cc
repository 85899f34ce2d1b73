// SPDX-License-Identifier: ISC
// Descriptors behind the Lua values that stand for open files and sockets.
#include <stdio.h>
#include <unistd.h>

#include "cipherkit.h"

namespace {

// Descriptor markers of nixio's standard handles.
constexpr int kStdinMarker = -2;
constexpr int kStdoutMarker = -3;
constexpr int kStderrMarker = -4;

// The body of the full userdata at index when it holds at least size bytes.
// A table can carry one of the metatables below too (setmetatable).
const void* userdata_body(lua_State* L, int index, size_t size) {
  if (lua_type(L, index) != LUA_TUSERDATA || lua_objlen(L, index) < size) return nullptr;
  return lua_touserdata(L, index);
}

// The int a nixio socket or file holds first (its descriptor), or -1.
int first_int(lua_State* L, int index) {
  const void* p = userdata_body(L, index, sizeof(int));
  return p ? *static_cast<const int*>(p) : -1;
}

int file_marker_to_fd(int fd) {
  switch (fd) {
    case kStdinMarker:
      return STDIN_FILENO;
    case kStdoutMarker:
      return STDOUT_FILENO;
    case kStderrMarker:
      return STDERR_FILENO;
    default:
      return fd;
  }
}

}  // namespace

int nixio__tofd(lua_State* L, int index) {
  if (index < 0 && index > LUA_REGISTRYINDEX) index = lua_gettop(L) + index + 1;
  if (!lua_getmetatable(L, index)) return -1;
  luaL_getmetatable(L, NIXIO_SOCKET_META);
  luaL_getmetatable(L, NIXIO_FILE_META);
  luaL_getmetatable(L, LUA_FILEHANDLE);

  int fd = -1;
  if (lua_rawequal(L, -4, -3)) {
    fd = first_int(L, index);
  } else if (lua_rawequal(L, -4, -2)) {
    fd = file_marker_to_fd(first_int(L, index));
  } else if (lua_rawequal(L, -4, -1)) {
    const void* p = userdata_body(L, index, sizeof(FILE*));
    FILE* file = p ? *static_cast<FILE* const*>(p) : nullptr;  // null once closed
    fd = file ? fileno(file) : -1;
  }
  lua_pop(L, 4);
  return fd;
}

int nixio__checkfd(lua_State* L, int index) {
  int fd = nixio__tofd(L, index);
  luaL_argcheck(L, fd >= 0, index, "invalid file descriptor");
  return fd;
}
