// SPDX-License-Identifier: ISC
// What the five commons modules share inside their one shared object: the
// process-wide registry references and the shared weak-key mode table.
//
// The shared object exports only what is declared with COMMONS_EXPORT here:
// the modules' entry points and close hooks, and the registry references.
#pragma once

#include <lua.hpp>

#define COMMONS_EXPORT __attribute__((visibility("default")))

extern "C" {

// Registry references (0 = none). Process-wide: the modules serve one Lua
// state per process.
COMMONS_EXPORT extern int rkmodetable;         // weak-key mode table, kmodetable module
COMMONS_EXPORT extern int rkmodetable_pubsub;  // the same table, pubsub module
COMMONS_EXPORT extern int rkmodetable_proxy;   // the same table, proxy_helpers module
COMMONS_EXPORT extern int rvmodetable;         // weak-value mode table
COMMONS_EXPORT extern int rkvmodetable;        // weak-key-and-value mode table
COMMONS_EXPORT extern int rsubscriptions;      // publish/subscribe registry

// Entry points (each returns its module) and close hooks (return 0).
COMMONS_EXPORT int luaopen_commons_kmodetable(lua_State* L);
COMMONS_EXPORT int luaclose_commons_kmodetable(lua_State* L);
COMMONS_EXPORT int luaopen_commons_vmodetable(lua_State* L);
COMMONS_EXPORT int luaclose_commons_vmodetable(lua_State* L);
COMMONS_EXPORT int luaopen_commons_kvmodetable(lua_State* L);
COMMONS_EXPORT int luaclose_commons_kvmodetable(lua_State* L);
COMMONS_EXPORT int luaopen_commons_proxy_helpers(lua_State* L);
COMMONS_EXPORT int luaclose_commons_proxy_helpers(lua_State* L);
COMMONS_EXPORT int luaopen_commons_pubsub(lua_State* L);
COMMONS_EXPORT int luaclose_commons_pubsub(lua_State* L);

}  // extern "C"

namespace commons {

// Pushes a new mode table {__mode = mode}. Pushes 1 value.
void push_mode_table(lua_State* L, const char* mode);

// Pushes the state's shared weak-key mode table: the one another module
// already holds under `first` or, failing that, `second`; a new one when
// neither is set. Pushes 1 value.
void push_shared_kmode(lua_State* L, int first, int second);

// Takes a registry reference to the value on top of the stack (popped).
int hold(lua_State* L);

// Releases a module's registry reference and clears its variable.
void release(lua_State* L, int* ref);

}  // namespace commons
