// SPDX-License-Identifier: ISC
// The value core for Lua 5.4: structural equality of Lua values and the
// partial evaluator for expressions written as Lua tables. Other native
// modules link against these symbols to reuse both.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#include <lua.h>

#define LATTICE_EXPORT __attribute__((visibility("default")))

// require "orv.lattice": the module table with "optimized_deep_equals" and
// "reduce_core".
LATTICE_EXPORT int luaopen_orv_lattice(lua_State *L);
// Close hook; the module holds nothing, so it does nothing.
LATTICE_EXPORT int luaclose_orv_lattice(lua_State *L);

// Compares the values at -2 and -1 structurally (raw access only, no
// metamethods). Returns 1 when equal, leaving the stack as it was; returns
// 0 otherwise and may leave values above the operands.
LATTICE_EXPORT int orv_lattice_optimized_deep_equals(lua_State *L);

// Stores "reduce_core" into the table on top of the stack.
LATTICE_EXPORT void orv_lattice_reduce_open(lua_State *L);

// reduce_core(ops, ctx, expr) -> value, is_constant
LATTICE_EXPORT int lua_reduce_table(lua_State *L);

// Host type numbers accepted as the first argument of each fixed-arity
// operation, indexed by its sub-code (bit t for type t).
LATTICE_EXPORT extern const int32_t nary_op_first_arg_type_mask[11];

#ifdef __cplusplus
}
#endif
