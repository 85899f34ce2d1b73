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

bool is_ordering(Mode m) {
  return m == Mode::ascending || m == Mode::non_descending || m == Mode::descending ||
         m == Mode::non_ascending;
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

// -1, 0 or 1: strings bytewise (a proper prefix orders first), numbers by
// value (neither is NaN).
int compare(lua_State *L, int a, int b) {
  if (lua_type(L, a) == LUA_TSTRING) {
    size_t la = 0, lb = 0;
    const char *sa = lua_tolstring(L, a, &la);
    const char *sb = lua_tolstring(L, b, &lb);
    const int c = memcmp(sa, sb, la < lb ? la : lb);
    if (c != 0) return c < 0 ? -1 : 1;
    return la < lb ? -1 : la > lb ? 1 : 0;
  }
  if (lua_compare(L, a, b, LUA_OPLT)) return -1;
  if (lua_compare(L, b, a, LUA_OPLT)) return 1;
  return 0;
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

// The keep rule for the value at idx, of type `type`.
bool keep(lua_State *L, int idx, int type, bool last) {
  if (last)
    return type != LUA_TNIL && !(type == LUA_TLIGHTUSERDATA && lua_touserdata(L, idx) == nullptr);
  return type == LUA_TTABLE || type == LUA_TUSERDATA;
}

// Appends the value on top (of type `type`) to the set at `set` when it
// passes the keep rule; pops it otherwise.
void visit(lua_State *L, int set, lua_Integer *count, bool last, int type) {
  if (keep(L, -1, type, last))
    lua_rawseti(L, set, ++*count);
  else
    lua_pop(L, 1);
}

void visit(lua_State *L, int set, lua_Integer *count, bool last) {
  visit(L, set, count, last, lua_type(L, -1));
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
      visit(L, next, &kept, last, first_type);
      const lua_Integer len = luaL_len(L, item);
      for (lua_Integer e = 2; e <= len; ++e) visit(L, next, &kept, last, lua_geti(L, item, e));
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
        visit(L, next, &kept, last);
        lua_replace(L, iter + 2);  // the key is the next control value
      }
    } else if (lua_istable(L, item)) {
      lua_pushnil(L);
      while (lua_next(L, item)) visit(L, next, &kept, last);
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
      if (keep(L, set + 2, type, last))
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

// Checks one constant argument of get/select: the root must be a container,
// keys must be path keys (or the wildcard for select).
bool valid_path_arg(lua_State *L, int idx, int type, bool root, Mode mode) {
  if (root) return type == LUA_TTABLE || type == LUA_TUSERDATA;
  return is_path_key(L, idx, type) || (mode == Mode::select && is_wildcard(L, idx, type));
}

}  // namespace

Outcome reduce_chain(Reducer &r, lua_State *L, int slot, lua_Integer first, lua_Integer n,
                     Mode mode, int *base) {
  const int head = slot + 1;  // the top on entry
  if (n < first) {
    push_empty_result(L, mode);
    return Outcome::constant;
  }
  if (n == first) {
    if (static_cast<int>(mode) <= static_cast<int>(Mode::all_distinct)) {
      lua_pushboolean(L, 1);  // nothing to compare with
      return Outcome::constant;
    }
    *base = head + 1;
    if (lua_rawgeti(L, slot, first) == LUA_TTABLE && !reduce_at(r, L, *base))
      return Outcome::rebuild;
    push_single_result(L, mode);
    return Outcome::constant;
  }

  const lua_Integer count = n - first + 1;
  reserve(r, L, head, clamp_count(count) + 40, "too many arguments");
  std::array<uint8_t, inline_flags> local_flags;
  uint8_t *constant = local_flags.data();
  *base = head + 1;
  if (count > inline_flags) {
    constant = static_cast<uint8_t *>(lua_newuserdatauv(L, static_cast<size_t>(count), 0));
    ++*base;
  }

  const int ordering_bits = is_ordering(mode) ? static_cast<int>(mode) : 0;
  int previous = 0;  // slot of the previous constant argument
  int previous_type = LUA_TNONE;
  bool residual = false;
  double acc = 0;

  for (lua_Integer i = 0; i < count; ++i) {
    const int arg = *base + static_cast<int>(i);
    int type = lua_rawgeti(L, slot, first + i);
    if (type == LUA_TTABLE) {
      constant[i] = reduce_at(r, L, arg);
      if (!constant[i]) {
        residual = true;
        continue;
      }
      type = lua_type(L, arg);
    } else {
      constant[i] = true;
    }
    switch (mode) {
      case Mode::ascending:
      case Mode::non_descending:
      case Mode::descending:
      case Mode::non_ascending: {
        if ((type != LUA_TNUMBER && type != LUA_TSTRING) || (previous && previous_type != type) ||
            (type == LUA_TNUMBER && is_nan(L, arg))) {
          push_null(L);
          return Outcome::constant;
        }
        if (previous) {
          const int order = compare(L, previous, arg);
          if (!(ordering_bits & (1 << (order + 1)))) {
            lua_pushboolean(L, 0);
            return Outcome::constant;
          }
        }
        break;
      }
      case Mode::all_equal:
        if (previous && !values_equal(L, previous, arg)) {
          lua_pushboolean(L, 0);
          return Outcome::constant;
        }
        break;
      case Mode::all_distinct:
        for (lua_Integer j = 0; j < i; ++j) {
          if (constant[j] && values_equal(L, *base + static_cast<int>(j), arg)) {
            lua_pushboolean(L, 0);
            return Outcome::constant;
          }
        }
        break;
      case Mode::sum:
      case Mode::product: {
        if (type != LUA_TNUMBER) {
          push_null(L);
          return Outcome::constant;
        }
        const double x = lua_tonumberx(L, arg, nullptr);
        acc = !previous ? x : mode == Mode::sum ? acc + x : acc * x;
        break;
      }
      case Mode::all:  // a true argument stands as true in a residual form
        if (!truthy_as(L, arg, type)) {
          lua_pushboolean(L, 0);
          return Outcome::constant;
        }
        break;
      case Mode::any:  // a false argument stands as false in a residual form
        if (truthy_as(L, arg, type)) {
          lua_pushboolean(L, 1);
          return Outcome::constant;
        }
        break;
      case Mode::concat:
        if (type != LUA_TSTRING) {
          lua_pushboolean(L, 0);
          return Outcome::constant;
        }
        break;
      case Mode::get:
      case Mode::select:
        if (!valid_path_arg(L, arg, type, i == 0, mode)) {
          if (mode == Mode::get)
            push_null(L);
          else
            lua_newtable(L);
          return Outcome::constant;
        }
        break;
    }
    previous = arg;
    previous_type = type;
  }

  if (residual) {
    for (lua_Integer i = 0; i < count; ++i) {
      if (!constant[i]) continue;
      const int idx = *base + static_cast<int>(i);
      if (mode == Mode::all || mode == Mode::any) {
        lua_pushboolean(L, mode == Mode::all);
        lua_replace(L, idx);
      } else if (lua_istable(L, idx)) {
        quote_in_place(L, idx);
      }
    }
    return Outcome::rebuild;
  }

  const int argc = static_cast<int>(count);
  switch (mode) {
    case Mode::non_descending:
    case Mode::non_ascending:
      break;  // the last argument, already on top
    case Mode::any:
      lua_pushboolean(L, 0);
      break;
    case Mode::sum:
    case Mode::product:
      push_number(L, acc);
      break;
    case Mode::concat:
      lua_concat(L, argc);
      break;
    case Mode::get:
      push_get(L, *base, argc);
      break;
    case Mode::select:
      push_select(L, *base, argc);
      break;
    default:  // strict orderings, all equal, all distinct, and
      lua_pushboolean(L, 1);
      break;
  }
  return Outcome::constant;
}

}  // namespace lattice
