// SPDX-License-Identifier: ISC
// Pieces shared by the reducer and the chain evaluator. Everything here runs
// between Lua API calls that may raise (longjmp), so nothing in these frames
// owns anything with a destructor.
#pragma once

#include <lua.hpp>

namespace lattice {

// Stack slot of the operator table in every reduce_core frame.
constexpr int ops_slot = 1;
// Stack slot of the context value.
constexpr int ctx_slot = 2;

// Nesting of forms and plain tables one reduction may open on the machine
// stack. Matches the interpreter's own limit on nested C calls.
constexpr int max_nesting = 200;

struct Reducer {
  int depth;
  // Stack index up to which room is known to exist in the reducing frame
  // (the host keeps what it granted to a frame until the frame returns).
  int reserved;
};

// Makes sure `need` free slots exist above `top`, the current stack top.
// Asks the host for a chunk more than that, so that most calls cost one
// comparison; when not even `need` is to be had, raises the host's
// stack-overflow error with `msg`, exactly as luaL_checkstack does.
void reserve(Reducer &r, lua_State *L, int top, int need, const char *msg);

// How an operation ended, seen by the Form procedure.
enum class Outcome {
  constant,  // a constant result is on top of the stack
  residual,  // a finished residual expression is on top of the stack
  rebuild,   // build {head, values from the rebuild base to the top}
};

// What a chain form computes over its arguments. Only names: the orderings
// each mode allows, and which modes compare neighbours, are stated by
// functions in chain.cc, never by the enumerators' numbers.
enum class Mode {
  ascending,       // <
  non_descending,  // <=
  descending,      // >
  non_ascending,   // >=
  all_equal,
  all_distinct,
  sum,
  product,
  all,  // and
  any,  // or
  concat,
  get,
  select,
};

// Reduces the table at `slot`, the top of the stack, in place. Returns true
// when the result is constant.
bool reduce_at(Reducer &r, lua_State *L, int slot);

// Evaluates one chain form: the form at `slot`, its head on top, arguments
// first..n. On Outcome::rebuild *base is the first argument value's slot.
Outcome reduce_chain(Reducer &r, lua_State *L, int slot, lua_Integer first, lua_Integer n,
                     Mode mode, int *base);

// Pushes {"quote", value at idx}.
void push_quote(lua_State *L, int idx);
// Replaces the table at idx (absolute) by its quote form.
void quote_in_place(lua_State *L, int idx);

inline void push_null(lua_State *L) { lua_pushlightuserdata(L, nullptr); }

inline bool is_null(lua_State *L, int idx) {
  return lua_type(L, idx) == LUA_TLIGHTUSERDATA && lua_touserdata(L, idx) == nullptr;
}

// Truthiness of the value at idx whose type is `type`.
inline bool truthy_as(lua_State *L, int idx, int type) {
  switch (type) {
    case LUA_TNIL:
      return false;
    case LUA_TBOOLEAN:
      return lua_toboolean(L, idx);
    case LUA_TLIGHTUSERDATA:
      return lua_touserdata(L, idx) != nullptr;
    default:
      return true;
  }
}

inline bool truthy(lua_State *L, int idx) { return truthy_as(L, idx, lua_type(L, idx)); }

// Argument count of a form clamped so that stack reservations stay in int
// range; anything this large fails the reservation anyway.
inline int clamp_count(lua_Integer count) {
  constexpr lua_Integer limit = 1 << 28;
  return count > limit ? int{limit} : static_cast<int>(count);
}

}  // namespace lattice
