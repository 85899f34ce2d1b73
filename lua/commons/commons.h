// What the five commons modules share inside their one shared object: the
// process-wide registry references and the shared weak-key mode table.
#pragma once

#include <lua.hpp>

// Registry references (0 = none). Process-wide: the modules serve one Lua
// state per process.
extern "C" {
extern int rkmodetable;         // weak-key mode table, kmodetable module
extern int rkmodetable_pubsub;  // the same table, pubsub module
extern int rkmodetable_proxy;   // the same table, proxy_helpers module
extern int rvmodetable;         // weak-value mode table
extern int rkvmodetable;        // weak-key-and-value mode table
extern int rsubscriptions;      // publish/subscribe registry
}

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
