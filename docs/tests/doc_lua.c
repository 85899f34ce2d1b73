// SPDX-License-Identifier: ISC
/* doc_lua: runs one Lua file with the build tree's modules, for the
 * documentation tests. Built twice, against Lua 5.4 and Lua 5.1.
 *
 *   doc_lua <module folder> <file>
 *
 * require finds native modules only in <module folder> ("?.so" below it),
 * so an example never picks up a module installed on the machine. An error
 * that the example does not catch is printed on standard error and ends the
 * program with status 1. */
#define _GNU_SOURCE /* dl_iterate_phdr, RTLD_NODELETE */
#include <dlfcn.h>
#include <lauxlib.h>
#include <link.h>
#include <lua.h>
#include <lualib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* An ares channel is never released: its memory stays allocated until the
 * process ends, which the leak checker of sanitizer builds must accept. Full
 * stacks let the suppression match c-ares' inner allocations too. */
const char *__asan_default_options(void) { return "fast_unwind_on_malloc=0"; }
/* Stacks carry function names only where a symbolizer runs; elsewhere only
 * the library's name can match, which is wider, so it is used only then. */
static int stacks_have_names(void) {
  const char *options = getenv("ASAN_OPTIONS");
  const char *symbolizer = getenv("ASAN_SYMBOLIZER_PATH");
  const char *path = getenv("PATH");
  char candidate[4096];
  if (options && strstr(options, "symbolize=0")) return 0;
  if (symbolizer && *symbolizer) return access(symbolizer, X_OK) == 0;
  while (path && *path) {
    size_t len = strcspn(path, ":");
    if (len < sizeof candidate - 20) {
      memcpy(candidate, path, len);
      strcpy(candidate + len, "/llvm-symbolizer");
      if (access(candidate, X_OK) == 0) return 1;
    }
    path += len + (path[len] == ':');
  }
  return 0;
}

const char *__lsan_default_suppressions(void) {
  return stacks_have_names()
             ? "leak:ares_init_options\nleak:socket_list_new\nleak:note_socket_state\n"
             : "leak:libcares.so\nleak:/ares.so\n";
}

/* Marks a loaded object of the module folder as never unloaded. */
static int keep_module(struct dl_phdr_info *info, size_t size, void *module_dir) {
  (void)size;
  const char *dir = module_dir;
  if (strncmp(info->dlpi_name, dir, strlen(dir)) == 0)
    dlopen(info->dlpi_name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  return 0;
}

static int set_search_paths(lua_State *L, const char *module_dir) {
  lua_getglobal(L, "package");
  if (!lua_istable(L, -1)) return 0;
  lua_pushfstring(L, "%s/?.so", module_dir);
  lua_setfield(L, -2, "cpath");
  lua_pushstring(L, "");
  lua_setfield(L, -2, "path");
  lua_pop(L, 1);
  return 1;
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s <module folder> <file>\n", argv[0]);
    return 2;
  }
  lua_State *L = luaL_newstate();
  if (!L) {
    fputs("cannot create a Lua state\n", stderr);
    return 1;
  }
  luaL_openlibs(L);
  int status = 1;
  if (!set_search_paths(L, argv[1])) {
    fputs("no package library\n", stderr);
  } else if (luaL_loadfile(L, argv[2]) != 0 || lua_pcall(L, 0, 0, 0) != 0) {
    const char *message = lua_tostring(L, -1);
    fprintf(stderr, "%s\n", message ? message : "(error object is not a string)");
  } else {
    status = 0;
  }
  fflush(stdout);
  /* the modules stay mapped after lua_close, so leak reports can name them */
  dl_iterate_phdr(keep_module, argv[1]);
  lua_close(L);
  return status;
}
