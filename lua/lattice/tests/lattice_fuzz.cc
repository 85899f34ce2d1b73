// SPDX-License-Identifier: ISC
// Expressions, paths and values built from untrusted bytes, through the
// reducer and deep equality. The checks themselves are fuzz_check.lua's:
// inputs unchanged, the same result twice, constant results stable when
// quoted and reduced again, residual results stable under re-reduction, and
// deep equality agreeing with a plain reference on copies and variants.
#include <lua.hpp>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "../lattice.h"
#include "lua_expect.h"

namespace {

struct Bytes {
  const uint8_t *p;
  size_t n;
  unsigned next() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  uint32_t word() {
    uint32_t w = 0;
    for (int i = 0; i < 4; ++i) w = w << 8 | next();
    return w;
  }
};

// Stack slots fixed for one input.
constexpr int kHeads = 1;   // FUZZ_HEADS
constexpr int kShared = 2;  // tables built so far, for shared references
constexpr int kMaxNodes = 400;
constexpr int kMaxDepth = 7;

struct Builder {
  lua_State *L;
  Bytes in;
  int nodes = 0;
  lua_Integer shared = 0;
  lua_Integer heads = 0;

  void remember() {  // the table on top may be met again
    lua_pushvalue(L, -1);
    lua_rawseti(L, kShared, ++shared);
  }

  void push_global_quote(const char *name) {
    lua_createtable(L, 2, 0);
    lua_pushliteral(L, "quote");
    lua_rawseti(L, -2, 1);
    lua_getglobal(L, name);
    lua_rawseti(L, -2, 2);
  }

  void scalar() {
    static const char *const strings[] = {"a", "b",    "ab",   "",      "^a",  "(",  "x",
                                          "n", "list", "name", "other", "[a-", "a*", "sum"};
    static const double floats[] = {0.0 / 0.0, 1.0 / 0.0,    -1.0 / 0.0,        -0.0, 1e300, 0.5,
                                    2.5,       2147483647.0, 9007199254740992.0};
    static const lua_Integer integers[] = {
        0, 1, -1, 2, 3, 2147483647, -2147483647 - 1, LUA_MAXINTEGER, LUA_MININTEGER};
    switch (in.next() % 10) {
      case 0:
        lua_pushinteger(L, static_cast<int8_t>(in.next()));
        break;
      case 1:
        lua_pushinteger(L, static_cast<int32_t>(in.word()));
        break;
      case 2:
        lua_pushnumber(L, static_cast<double>(static_cast<int8_t>(in.next())) / 4);
        break;
      case 3:
        lua_pushnumber(L, floats[in.next() % (sizeof floats / sizeof *floats)]);
        break;
      case 4:
        lua_pushinteger(L, integers[in.next() % (sizeof integers / sizeof *integers)]);
        break;
      case 5:
        lua_pushstring(L, strings[in.next() % (sizeof strings / sizeof *strings)]);
        break;
      case 6: {
        char text[8];
        const size_t len = in.next() % sizeof text;
        for (size_t i = 0; i < len; ++i) text[i] = static_cast<char>(in.next());
        lua_pushlstring(L, text, len);
        break;
      }
      case 7:
        lua_pushboolean(L, in.next() & 1);
        break;
      case 8:
        lua_pushlightuserdata(L, nullptr);  // the null marker
        break;
      default:
        lua_pushnil(L);  // a hole in a form or a missing quote argument
        break;
    }
  }

  // A key of a path: strings, small and odd numbers, the wildcard.
  void path_key() {
    static const char *const names[] = {"a", "b", "n", "list", "name", "other", "x"};
    const unsigned pick = in.next() % 12;
    if (pick < 4) {
      lua_pushstring(L, names[in.next() % (sizeof names / sizeof *names)]);
    } else if (pick < 8) {
      lua_pushinteger(L, static_cast<int>(in.next() % 7) - 3);
    } else if (pick < 10) {
      lua_pushboolean(L, 1);  // wildcard
    } else if (pick == 10) {
      lua_pushnumber(L, (in.next() & 1) ? 1.0 : 0.5);
    } else {
      value(kMaxDepth - 1);
    }
  }

  void path_root() {
    static const char *const roots[] = {"FUZZ_DATA", "FUZZ_META", "FUZZ_PAIRS", "FUZZ_LONG"};
    const unsigned pick = in.next();
    if (pick % 3 == 0)
      value(kMaxDepth - 2);
    else
      push_global_quote(roots[pick % 4]);
  }

  void form(int depth) {
    const unsigned argc = in.next() % 6;
    lua_createtable(L, static_cast<int>(argc) + 1, 0);
    lua_rawgeti(L, kHeads, static_cast<lua_Integer>(in.next() % heads) + 1);
    size_t len = 0;
    const char *head = lua_tolstring(L, -1, &len);
    const bool path = head && (strcmp(head, "get") == 0 || strcmp(head, "select") == 0);
    lua_rawseti(L, -2, 1);
    for (unsigned i = 0; i < argc; ++i) {
      if (path && i == 0)
        path_root();
      else if (path)
        path_key();
      else
        value(depth - 1);
      lua_rawseti(L, -2, i + 2);
    }
  }

  void plain(int depth) {
    static const char *const keys[] = {"x", "y", "name", "list", "a"};
    lua_newtable(L);
    const unsigned count = in.next() % 5;
    for (unsigned i = 0; i < count; ++i) {
      const unsigned k = in.next() % 9;
      if (k < 5)
        lua_pushstring(L, keys[k]);
      else if (k < 8)
        lua_pushinteger(L, k - 4);  // 1..3: the table may turn into a form
      else
        lua_pushnumber(L, 2.5);
      value(depth - 1);
      if (lua_isnil(L, -1)) {
        lua_pop(L, 2);
        continue;
      }
      lua_rawset(L, -3);
    }
  }

  // Pushes one value (an expression where the reducer will look at it).
  void value(int depth) {
    if (++nodes > kMaxNodes || depth <= 0 || in.n == 0) {
      scalar();
      return;
    }
    const unsigned kind = in.next() % 12;
    if (kind < 4) {
      scalar();
    } else if (kind < 8) {
      form(depth);
      remember();
    } else if (kind == 8) {
      plain(depth);
      remember();
    } else if (kind == 9) {
      lua_createtable(L, 2, 0);
      lua_pushliteral(L, "quote");
      lua_rawseti(L, -2, 1);
      plain(depth);
      lua_rawseti(L, -2, 2);
    } else if (kind == 10 && shared > 0) {
      lua_rawgeti(L, kShared, static_cast<lua_Integer>(in.next() % shared) + 1);
    } else {
      // a chain of nested plain tables, deep enough for the nested calls
      // of deep equality
      const unsigned levels = in.next() % 30;
      value(depth - 1);
      for (unsigned i = 0; i < levels; ++i) {
        lua_createtable(L, 0, 1);
        lua_insert(L, -2);
        lua_setfield(L, -2, "v");
      }
    }
  }
};

int traceback(lua_State *L) {
  luaL_traceback(L, L, lua_tostring(L, 1), 1);
  return 1;
}

void run_or_die(lua_State *L, int status) {
  if (status == LUA_OK) return;
  fprintf(stderr, "lattice_fuzz: %s\n", lua_tostring(L, -1));
  abort();
}

void load_file(lua_State *L, const char *name) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", LATTICE_TEST_DIR, name);
  lua_pushcfunction(L, traceback);
  int status = luaL_loadfile(L, path);
  if (status == LUA_OK) status = lua_pcall(L, 0, 0, -2);
  run_or_die(L, status);
  lua_settop(L, 0);
}

lua_State *state() {
  static lua_State *L = nullptr;
  if (L) return L;
  L = luaL_newstate();
  luaL_openlibs(L);
  luaL_requiref(L, "orv.lattice", luaopen_orv_lattice, 0);
  lua_pushlightuserdata(L, nullptr);
  lua_setglobal(L, "null");
  lua_settop(L, 0);
  const std::string error = lua_expect::load(L);
  if (!error.empty()) {
    fprintf(stderr, "lattice_fuzz: %s\n", error.c_str());
    abort();
  }
  load_file(L, "prelude.lua");
  load_file(L, "fuzz_check.lua");
  return L;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  lua_State *L = state();
  Builder b{L, Bytes{data, size}};
  lua_settop(L, 0);
  lua_getglobal(L, "FUZZ_HEADS");  // kHeads
  b.heads = static_cast<lua_Integer>(lua_rawlen(L, kHeads));
  lua_newtable(L);  // kShared
  lua_pushcfunction(L, traceback);
  const int handler = lua_gettop(L);
  if (b.in.next() & 1) {
    lua_getglobal(L, "fuzz_equal");
    b.value(kMaxDepth);
    b.value(kMaxDepth);
    lua_pushinteger(L, b.in.word() & 0xffff);
    run_or_die(L, lua_pcall(L, 3, 0, handler));
  } else {
    lua_getglobal(L, "fuzz_reduce");
    b.form(kMaxDepth);
    run_or_die(L, lua_pcall(L, 1, 0, handler));
  }
  lua_settop(L, 0);
  static unsigned runs = 0;
  if (++runs % 64 == 0) lua_gc(L, LUA_GCCOLLECT);  // keep the heap small between inputs
  return 0;
}
