// SPDX-License-Identifier: ISC
// The chain evaluator: operators over any number of arguments, folded left
// to right with early exits, and the get/select path queries.
#include <math.h>
#include <string.h>

#include <array>
#include <cstdint>

#include "internal.h"
#include "lattice.h"

namespace lattice {
namespace {

constexpr int inline_flags = 64;

// How two neighbouring arguments of an ordering chain compare, as a set.
enum Ordering : unsigned { less = 1u << 0, equal = 1u << 1, greater = 1u << 2 };

// The orderings each ordering mode allows between neighbours; none for the
// other modes.
constexpr unsigned allowed_orderings(Mode m) {
  switch (m) {
    case Mode::ascending:
      return less;
    case Mode::non_descending:
      return less | equal;
    case Mode::descending:
      return greater;
    case Mode::non_ascending:
      return greater | equal;
    default:
      return 0;
  }
}

constexpr bool is_ordering(Mode m) { return allowed_orderings(m) != 0; }

// The modes whose result compares neighbouring arguments: true for a single
// argument, which has none.
constexpr bool compares_neighbours(Mode m) {
  return is_ordering(m) || m == Mode::all_equal || m == Mode::all_distinct;
}

bool is_nan(lua_State *L, int idx) {
  if (lua_isinteger(L, idx)) return false;
  const double x = lua_tonumber(L, idx);
  return x != x;
}

// A path key (of type `type`): a string or a number with an integral value.
bool is_path_key(lua_State *L, int idx, int type) {
  switch (type) {
    case LUA_TSTRING:
      return true;
    case LUA_TNUMBER: {
      if (lua_isinteger(L, idx)) return true;
      const double x = lua_tonumber(L, idx);
      return floor(x) == x;  // infinities pass and later read nothing
    }
    default:
      return false;
  }
}

bool is_wildcard(lua_State *L, int idx, int type) {
  return type == LUA_TBOOLEAN && lua_toboolean(L, idx);
}

// How a compares with b: strings bytewise (a proper prefix orders first),
// numbers by value (neither is NaN).
Ordering compare(lua_State *L, int a, int b) {
  if (lua_type(L, a) == LUA_TSTRING) {
    size_t la = 0, lb = 0;
    const char *sa = lua_tolstring(L, a, &la);
    const char *sb = lua_tolstring(L, b, &lb);
    const int c = memcmp(sa, sb, la < lb ? la : lb);
    if (c != 0) return c < 0 ? less : greater;
    return la < lb ? less : la > lb ? greater : equal;
  }
  if (lua_compare(L, a, b, LUA_OPLT)) return less;
  if (lua_compare(L, b, a, LUA_OPLT)) return greater;
  return equal;
}

// Deep equality of two stack values; the stack is left as it was.
bool values_equal(lua_State *L, int a, int b) {
  if (lua_rawequal(L, a, b)) return true;
  if (!lua_istable(L, a) || !lua_istable(L, b)) return false;
  const int top = lua_gettop(L);
  lua_pushvalue(L, a);
  lua_pushvalue(L, b);
  const bool equal = orv_lattice_optimized_deep_equals(L) != 0;
  lua_settop(L, top);
  return equal;
}

// Pushes container[key] for a path key: a number k reads [k + 1], so
// numbers count from 0; both reads honour __index. For get (`negative_empty`)
// a negative number reads nothing; select reads [k + 1] for every k, so -1
// reads [0].
// Returns the type of the value pushed.
int push_step(lua_State *L, int container, int key, bool negative_empty) {
  if (lua_type(L, key) == LUA_TSTRING) {
    lua_pushvalue(L, key);
    return lua_gettable(L, container);
  }
  int exact = 0;
  const lua_Integer k = lua_tointegerx(L, key, &exact);
  if (!exact || (negative_empty && (k < 0 || k == LUA_MAXINTEGER))) {
    lua_pushnil(L);  // no element can sit there
    return LUA_TNIL;
  }
  return lua_geti(L, container, luaL_intop(+, k, 1));  // wraps as Lua's own k + 1 does
}

void push_number(lua_State *L, double acc) {
  if (floor(acc) == acc && acc >= -2147483648.0 && acc < 2147483648.0)
    lua_pushinteger(L, static_cast<int32_t>(acc));
  else
    lua_pushnumber(L, acc);
}

void push_empty_result(lua_State *L, Mode mode) {
  switch (mode) {
    case Mode::sum:
      lua_pushinteger(L, 0);
      break;
    case Mode::product:
      lua_pushinteger(L, 1);
      break;
    case Mode::any:
      lua_pushboolean(L, 0);
      break;
    case Mode::concat:
      lua_pushliteral(L, "");
      break;
    case Mode::get:
      push_null(L);
      break;
    case Mode::select:
      lua_newtable(L);
      break;
    default:
      lua_pushboolean(L, 1);
      break;
  }
}

// The result of a single constant argument on top of the stack.
void push_single_result(lua_State *L, Mode mode) {
  const int arg = lua_gettop(L);
  switch (mode) {
    case Mode::sum:
    case Mode::product:
      if (lua_type(L, arg) != LUA_TNUMBER) push_null(L);
      break;
    case Mode::all:
    case Mode::any:
      lua_pushboolean(L, truthy(L, arg));
      break;
    case Mode::concat:
      if (lua_type(L, arg) != LUA_TSTRING) push_null(L);
      break;
    case Mode::get:
      break;
    case Mode::select:
      lua_createtable(L, 1, 0);
      lua_pushvalue(L, arg);
      lua_rawseti(L, -2, 1);
      break;
    default:  // the orderings and equalities never get here
      lua_pushboolean(L, 1);
      break;
  }
}

// Pushes the value at the end of the path base, base+1 .. base+count-1 (the
// last key is the top of the stack). Each step's value stays on the stack
// above the one before; the room was reserved with the arguments.
void push_get(lua_State *L, int base, int count) {
  int cur = base + count;  // where the root's copy goes
  int type = LUA_TTABLE;
  lua_pushvalue(L, base);
  for (int i = 1; i < count; ++i) {
    type = push_step(L, cur, base + i, true);
    ++cur;
    if (i + 1 < count && type != LUA_TTABLE && type != LUA_TUSERDATA) {
      push_null(L);
      return;
    }
  }
  if (type == LUA_TNIL) push_null(L);
}

// Whether a select step keeps the value at idx, of type `type`: after the
// last key every value but nil and the null marker, before it containers only.
bool select_keeps(lua_State *L, int idx, int type, bool last) {
  if (last) return type != LUA_TNIL && !is_null(L, idx);
  return type == LUA_TTABLE || type == LUA_TUSERDATA;
}

// Appends the value on top (of type `type`) to the set at `set` when the
// step keeps it; pops it otherwise.
void append_if_kept(lua_State *L, int set, lua_Integer *count, bool last, int type) {
  if (select_keeps(L, -1, type, last))
    lua_rawseti(L, set, ++*count);
  else
    lua_pop(L, 1);
}

void append_if_kept(lua_State *L, int set, lua_Integer *count, bool last) {
  append_if_kept(L, set, count, last, lua_type(L, -1));
}

// [1] of a wildcard item, or nil for a userdata that cannot be indexed.
int push_first(lua_State *L, int item) {
  if (lua_type(L, item) == LUA_TUSERDATA) {
    if (luaL_getmetafield(L, item, "__index") == LUA_TNIL) {
      lua_pushnil(L);
      return LUA_TNIL;
    }
    lua_pop(L, 1);
  }
  return lua_geti(L, item, 1);
}

// Replaces the set at `set` (count items) by the values of its items.
lua_Integer expand_wildcard(lua_State *L, int set, lua_Integer count, bool last) {
  lua_createtable(L, clamp_count(2 * count), 0);
  const int next = lua_gettop(L);
  lua_Integer kept = 0;
  for (lua_Integer j = 1; j <= count; ++j) {
    lua_rawgeti(L, set, j);
    const int item = lua_gettop(L);
    const int first_type = push_first(L, item);
    if (first_type != LUA_TNIL) {
      append_if_kept(L, next, &kept, last, first_type);
      const lua_Integer len = luaL_len(L, item);
      for (lua_Integer e = 2; e <= len; ++e)
        append_if_kept(L, next, &kept, last, lua_geti(L, item, e));
      lua_settop(L, item - 1);
      continue;
    }
    lua_pop(L, 1);
    if (luaL_getmetafield(L, item, "__pairs") != LUA_TNIL) {
      lua_pushvalue(L, item);
      lua_call(L, 1, 3);  // iterator, state, control
      const int iter = item + 1;
      for (;;) {
        lua_pushvalue(L, iter);
        lua_pushvalue(L, iter + 1);
        lua_pushvalue(L, iter + 2);
        lua_call(L, 2, 2);
        if (lua_isnil(L, -2)) break;
        append_if_kept(L, next, &kept, last);
        lua_replace(L, iter + 2);  // the key is the next control value
      }
    } else if (lua_istable(L, item)) {
      lua_pushnil(L);
      while (lua_next(L, item)) append_if_kept(L, next, &kept, last);
    }
    // a userdata with neither [1] nor __pairs contributes nothing
    lua_settop(L, item - 1);
  }
  lua_replace(L, set);
  return kept;
}

// Pushes the set the path base .. base+count-1 selects.
void push_select(lua_State *L, int base, int count) {
  lua_createtable(L, 1, 0);
  const int set = lua_gettop(L);
  lua_pushvalue(L, base);
  lua_rawseti(L, set, 1);
  lua_Integer size = 1;
  for (int i = 1; i < count && size > 0; ++i) {
    const int key = base + i;
    const bool last = i + 1 == count;
    if (is_wildcard(L, key, lua_type(L, key))) {
      size = expand_wildcard(L, set, size, last);
      continue;
    }
    lua_Integer kept = 0;
    for (lua_Integer j = 1; j <= size; ++j) {
      lua_rawgeti(L, set, j);  // the item, at set + 1
      const int type = push_step(L, set + 1, key, false);
      if (select_keeps(L, set + 2, type, last))
        lua_rawseti(L, set, ++kept);  // compacts in place: kept <= j
      lua_settop(L, set);
    }
    size = kept;
  }
  for (lua_Integer j = size + 1; lua_rawgeti(L, set, j) != LUA_TNIL; ++j) {
    lua_pop(L, 1);
    lua_pushnil(L);
    lua_rawseti(L, set, j);
  }
  lua_pop(L, 1);
}

// One chain evaluation past its argument count checks: the arguments sit at
// base .. base + count - 1 in order, constant[i] says whether argument i
// reduced to a constant.
struct Chain {
  Mode mode;
  int base;
  lua_Integer count;
  uint8_t *constant;
  int previous;       // slot of the previous constant argument, 0 before the first
  int previous_type;  // and its type
  double acc;         // sum or product so far
};

// What one constant argument did to the chain.
enum class Step {
  go_on,
  decided,  // the result is on top of the stack; later arguments are never fetched
};

Step decided_by(lua_State *L, bool value) {
  lua_pushboolean(L, value);
  return Step::decided;
}

Step decided_null(lua_State *L) {
  push_null(L);
  return Step::decided;
}

// Orderings: numbers or strings, all of one type, no NaN, each neighbour in
// an allowed order.
Step ordering_step(const Chain &c, lua_State *L, int arg, int type) {
  if ((type != LUA_TNUMBER && type != LUA_TSTRING) || (c.previous && c.previous_type != type) ||
      (type == LUA_TNUMBER && is_nan(L, arg)))
    return decided_null(L);
  if (c.previous && !(allowed_orderings(c.mode) & compare(L, c.previous, arg)))
    return decided_by(L, false);
  return Step::go_on;
}

// All distinct: against every constant argument before this one.
Step distinct_step(const Chain &c, lua_State *L, int arg, lua_Integer i) {
  for (lua_Integer j = 0; j < i; ++j)
    if (c.constant[j] && values_equal(L, c.base + static_cast<int>(j), arg))
      return decided_by(L, false);
  return Step::go_on;
}

Step arithmetic_step(Chain &c, lua_State *L, int arg, int type) {
  if (type != LUA_TNUMBER) return decided_null(L);
  const double x = lua_tonumberx(L, arg, nullptr);
  c.acc = !c.previous ? x : c.mode == Mode::sum ? c.acc + x : c.acc * x;
  return Step::go_on;
}

// The root must be a container; keys must be path keys, or the wildcard in
// a select. A bad one decides the result: null for get, {} for select.
Step path_step(const Chain &c, lua_State *L, int arg, int type, bool root) {
  const bool valid =
      root ? type == LUA_TTABLE || type == LUA_TUSERDATA
           : is_path_key(L, arg, type) || (c.mode == Mode::select && is_wildcard(L, arg, type));
  if (valid) return Step::go_on;
  if (c.mode == Mode::get) return decided_null(L);
  lua_newtable(L);
  return Step::decided;
}

// The constant argument i, at `arg`, of type `type`.
Step constant_step(Chain &c, lua_State *L, int arg, int type, lua_Integer i) {
  switch (c.mode) {
    case Mode::ascending:
    case Mode::non_descending:
    case Mode::descending:
    case Mode::non_ascending:
      return ordering_step(c, L, arg, type);
    case Mode::all_equal:
      if (c.previous && !values_equal(L, c.previous, arg)) return decided_by(L, false);
      return Step::go_on;
    case Mode::all_distinct:
      return distinct_step(c, L, arg, i);
    case Mode::sum:
    case Mode::product:
      return arithmetic_step(c, L, arg, type);
    case Mode::all:  // a true argument stands as true in a residual form
      return truthy_as(L, arg, type) ? Step::go_on : decided_by(L, false);
    case Mode::any:  // a false argument stands as false in a residual form
      return truthy_as(L, arg, type) ? decided_by(L, true) : Step::go_on;
    case Mode::concat:
      return type == LUA_TSTRING ? Step::go_on : decided_by(L, false);
    case Mode::get:
    case Mode::select:
      return path_step(c, L, arg, type, i == 0);
  }
  return Step::go_on;
}

// Fetches and reduces every argument in order, stopping at the first that
// decides the result. Returns true when one did (the result on top); else
// *residual says whether some argument stayed residual.
bool fold_arguments(Reducer &r, Chain &c, lua_State *L, int slot, lua_Integer first,
                    bool *residual) {
  for (lua_Integer i = 0; i < c.count; ++i) {
    const int arg = c.base + static_cast<int>(i);
    int type = lua_rawgeti(L, slot, first + i);
    c.constant[i] = true;
    if (type == LUA_TTABLE) {
      c.constant[i] = reduce_at(r, L, arg);
      if (!c.constant[i]) {
        *residual = true;
        continue;
      }
      type = lua_type(L, arg);
    }
    if (constant_step(c, L, arg, type, i) == Step::decided) return true;
    c.previous = arg;
    c.previous_type = type;
  }
  return false;
}

// Prepares the residual form's arguments: in and/or every constant stands
// as true/false, elsewhere constant tables are quoted.
void mark_residual_arguments(const Chain &c, lua_State *L) {
  for (lua_Integer i = 0; i < c.count; ++i) {
    if (!c.constant[i]) continue;
    const int idx = c.base + static_cast<int>(i);
    if (c.mode == Mode::all || c.mode == Mode::any) {
      lua_pushboolean(L, c.mode == Mode::all);
      lua_replace(L, idx);
    } else if (lua_istable(L, idx)) {
      quote_in_place(L, idx);
    }
  }
}

// The result once every argument was constant and none decided early.
void push_folded_result(const Chain &c, lua_State *L) {
  const int argc = static_cast<int>(c.count);
  switch (c.mode) {
    case Mode::non_descending:
    case Mode::non_ascending:
      break;  // the last argument, already on top
    case Mode::any:
      lua_pushboolean(L, 0);
      break;
    case Mode::sum:
    case Mode::product:
      push_number(L, c.acc);
      break;
    case Mode::concat:
      lua_concat(L, argc);
      break;
    case Mode::get:
      push_get(L, c.base, argc);
      break;
    case Mode::select:
      push_select(L, c.base, argc);
      break;
    default:  // strict orderings, all equal, all distinct, and
      lua_pushboolean(L, 1);
      break;
  }
}

// A form with exactly one argument, at `first`.
Outcome reduce_single(Reducer &r, lua_State *L, int slot, lua_Integer first, Mode mode, int *base) {
  if (compares_neighbours(mode)) {
    lua_pushboolean(L, 1);
    return Outcome::constant;
  }
  *base = slot + 2;  // above the head, the top on entry
  if (lua_rawgeti(L, slot, first) == LUA_TTABLE && !reduce_at(r, L, *base)) return Outcome::rebuild;
  push_single_result(L, mode);
  return Outcome::constant;
}

}  // namespace

Outcome reduce_chain(Reducer &r, lua_State *L, int slot, lua_Integer first, lua_Integer n,
                     Mode mode, int *base) {
  if (n < first) {
    push_empty_result(L, mode);
    return Outcome::constant;
  }
  if (n == first) return reduce_single(r, L, slot, first, mode, base);

  const int head = slot + 1;  // the top on entry
  Chain c{mode, head + 1, n - first + 1, nullptr, 0, LUA_TNONE, 0};
  reserve(r, L, head, clamp_count(c.count) + 40, "too many arguments");
  std::array<uint8_t, inline_flags> local_flags;
  c.constant = local_flags.data();
  if (c.count > inline_flags) {
    // the flags live in a userdata below the arguments
    c.constant = static_cast<uint8_t *>(lua_newuserdatauv(L, static_cast<size_t>(c.count), 0));
    ++c.base;
  }
  *base = c.base;

  bool residual = false;
  if (fold_arguments(r, c, L, slot, first, &residual)) return Outcome::constant;
  if (residual) {
    mark_residual_arguments(c, L);
    return Outcome::rebuild;
  }
  push_folded_result(c, L);
  return Outcome::constant;
}

}  // namespace lattice
