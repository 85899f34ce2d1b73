// SPDX-License-Identifier: ISC
// cipherkit_bench <lua 5.1 module dir> <script> [args...]
// Runs script in a Lua 5.1 state whose cpath points at the module dir, with
// three extra globals: now() (monotonic seconds), fork() and wait(pid).
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <lua.hpp>

namespace {

int l_now(lua_State* L) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  lua_pushnumber(L, static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9);
  return 1;
}

int l_fork(lua_State* L) {
  fflush(nullptr);
  lua_pushinteger(L, fork());
  return 1;
}

int l_wait(lua_State* L) {
  int status = 0;
  waitpid(static_cast<pid_t>(luaL_checkinteger(L, 1)), &status, 0);
  lua_pushinteger(L, status);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s <lua 5.1 module dir> <script> [args...]\n", argv[0]);
    return 2;
  }
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  lua_register(L, "now", l_now);
  lua_register(L, "fork", l_fork);
  lua_register(L, "wait", l_wait);
  lua_getglobal(L, "package");
  lua_pushfstring(L, "%s/?.so", argv[1]);
  lua_setfield(L, -2, "cpath");
  lua_pop(L, 1);
  lua_createtable(L, argc - 3, 0);
  for (int i = 3; i < argc; i++) {
    lua_pushstring(L, argv[i]);
    lua_rawseti(L, -2, i - 2);
  }
  lua_setglobal(L, "arg");
  int rc = 0;
  if (luaL_dofile(L, argv[2]) != 0) {
    fprintf(stderr, "%s\n", lua_tostring(L, -1));
    rc = 1;
  }
  lua_close(L);
  return rc;
}
