// SPDX-License-Identifier: ISC
// The expression reducer: notation, dispatch, fixed-arity and user operators.
#include <math.h>
#include <regex.h>
#include <string.h>

#include <array>
#include <cassert>
#include <cstdint>

#include "internal.h"
#include "lattice.h"

extern "C" const int32_t nary_op_first_arg_type_mask[11] = {
    -1,    // not: any
    0x8,   // is integral: number
    0xB0,  // length: string, table, full userdata
    0x10,  // (unused)
    0x10,  // (unused)
    0x8,   // subtract
    0x8,   // divide
    0x8,   // modulo
    0x8,   // power
    0x10,  // match: string subject
    0x10,  // apply: string head
};

namespace lattice {
namespace {

enum class Family : uint8_t { quote, chain, fixed };

// Sub-codes of the fixed-arity family; 0 to 4 take one argument, 5 to 10 two.
enum class Fixed : uint8_t {
  negate = 0,
  is_integral = 1,
  length = 2,
  subtract = 5,
  divide = 6,
  modulo = 7,
  power = 8,
  match = 9,
  apply = 10,
};

// Sub-codes from subtract on take two arguments, those below it one.
constexpr bool takes_two(Fixed op) {
  return static_cast<int>(op) >= static_cast<int>(Fixed::subtract);
}

struct OpCode {
  Family family;
  uint8_t sub;  // chain mode or fixed sub-code
};

constexpr OpCode chain(Mode m) { return {Family::chain, static_cast<uint8_t>(m)}; }
constexpr OpCode fixed(Fixed f) { return {Family::fixed, static_cast<uint8_t>(f)}; }

constexpr std::array<OpCode, 23> op_codes = {{
    {Family::quote, 0},           // 0 quote
    chain(Mode::ascending),       // 1 <
    chain(Mode::descending),      // 2 >
    chain(Mode::non_descending),  // 3 <=
    chain(Mode::non_ascending),   // 4 >=
    chain(Mode::all_equal),       // 5
    chain(Mode::all_distinct),    // 6
    chain(Mode::all),             // 7 and
    chain(Mode::any),             // 8 or
    fixed(Fixed::negate),         // 9 not
    chain(Mode::sum),             // 10
    fixed(Fixed::subtract),       // 11
    chain(Mode::product),         // 12
    fixed(Fixed::divide),         // 13
    fixed(Fixed::modulo),         // 14
    fixed(Fixed::power),          // 15
    fixed(Fixed::is_integral),    // 16
    chain(Mode::concat),          // 17
    fixed(Fixed::length),         // 18
    chain(Mode::get),             // 19
    chain(Mode::select),          // 20
    fixed(Fixed::match),          // 21
    fixed(Fixed::apply),          // 22
}};

// Flags of up to this many arguments live on the machine stack; longer
// argument lists get a scratch userdata on the Lua stack.
constexpr int inline_flags = 64;

enum class Result { constant, residual, unbound };

Result reduce_form(Reducer &r, lua_State *L, int slot, lua_Integer first);

// The raw length of the form at `slot`: its arguments end there. Quote
// forms never need it.
lua_Integer form_length(lua_State *L, int slot) {
  return static_cast<lua_Integer>(lua_rawlen(L, slot));
}

// `top` is the current stack top.
void enter(Reducer &r, lua_State *L, int top) {
  if (++r.depth > max_nesting) luaL_error(L, "expression nested too deeply");
  reserve(r, L, top, 8, "expression nested too deeply");
}

// Reduces the value at `idx` (the top) when it is a table (`type`); any
// other value is a constant.
bool reduce_value(Reducer &r, lua_State *L, int idx, int type) {
  return type != LUA_TTABLE || reduce_at(r, L, idx);
}

// Pushes {value at head, values at base..top}.
void build_form(lua_State *L, int head, int base) {
  const int top = lua_gettop(L);
  lua_createtable(L, top - base + 2, 0);
  const int form = top + 1;
  lua_pushvalue(L, head);
  lua_rawseti(L, form, 1);
  for (int i = base; i <= top; ++i) {
    lua_pushvalue(L, i);
    lua_rawseti(L, form, i - base + 2);
  }
}

// Replaces every table value of the table at t by its quote form.
void quote_table_values(lua_State *L, int t) {
  lua_pushnil(L);
  while (lua_next(L, t)) {
    if (lua_istable(L, -1)) {
      push_quote(L, lua_gettop(L));
      lua_pushvalue(L, -3);
      lua_insert(L, -2);
      lua_rawset(L, t);  // assigning an existing field keeps the walk valid
    }
    lua_pop(L, 1);
  }
}

// A table without [1]: a new table with every value reduced.
Result reduce_plain(Reducer &r, lua_State *L, int slot) {
  enter(r, L, slot);
  lua_newtable(L);
  const int copy = slot + 1;
  const int value = slot + 3;  // above the copy and the key
  bool residual = false;
  lua_pushnil(L);
  while (lua_next(L, slot)) {
    const bool constant = reduce_value(r, L, value, lua_type(L, value));
    if (!constant && !residual) {
      quote_table_values(L, copy);
      residual = true;
    } else if (constant && residual && lua_istable(L, -1)) {
      quote_in_place(L, lua_gettop(L));
    }
    lua_pushvalue(L, -2);
    lua_insert(L, -2);
    lua_rawset(L, copy);
  }
  lua_replace(L, slot);
  --r.depth;
  return residual ? Result::residual : Result::constant;
}

// Pushes the match result of subject (string) against pattern (string).
void push_match(lua_State *L, int subject, int pattern) {
  size_t subject_len = 0, pattern_len = 0;
  const char *s = lua_tolstring(L, subject, &subject_len);
  const char *p = lua_tolstring(L, pattern, &pattern_len);
  if (memchr(s, '\0', subject_len) || memchr(p, '\0', pattern_len)) {
    push_null(L);
    return;
  }
  regex_t re;
  if (regcomp(&re, p, REG_EXTENDED | REG_NOSUB) != 0) {
    push_null(L);
    return;
  }
  const int rc = regexec(&re, s, 0, nullptr, 0);
  regfree(&re);
  if (rc == 0)
    lua_pushboolean(L, 1);
  else if (rc == REG_NOMATCH)
    lua_pushboolean(L, 0);
  else
    push_null(L);
}

// Pushes the arithmetic result of a and b (numbers); non-finite results
// become the null marker.
void push_arith(lua_State *L, int a, int b, int op) {
  lua_pushvalue(L, a);
  lua_pushvalue(L, b);
  lua_arith(L, op);  // integer modulo by zero raises here
  if (!isfinite(lua_tonumber(L, -1))) {
    lua_pop(L, 1);
    push_null(L);
  }
}

// Apply: the list at `list` reduced as a form headed by the value at `head`.
Outcome apply(Reducer &r, lua_State *L, int head, int list) {
  lua_pushvalue(L, head);
  switch (reduce_form(r, L, list, 1)) {
    case Result::constant:
      return Outcome::constant;
    case Result::residual:
      return Outcome::residual;
    case Result::unbound:
      break;
  }
  // the direct form {head, elements...}, elements as they are
  const lua_Integer n = static_cast<lua_Integer>(lua_rawlen(L, list));
  lua_createtable(L, clamp_count(n) + 1, 0);
  lua_pushvalue(L, head);
  lua_rawseti(L, -2, 1);
  for (lua_Integer i = 1; i <= n; ++i) {
    lua_rawgeti(L, list, i);
    lua_rawseti(L, -2, i + 1);
  }
  return Outcome::residual;
}

// One- and two-argument operations; the head is on top of the form's slot.
Outcome reduce_fixed(Reducer &r, lua_State *L, int slot, lua_Integer first, lua_Integer n, Fixed op,
                     int *base) {
  const bool binary = takes_two(op);
  if (n != first + (binary ? 1 : 0)) {
    push_null(L);
    return Outcome::constant;
  }
  *base = slot + 2;  // above the form and its head
  const int a = *base;
  const int b = a + 1;
  if (!reduce_value(r, L, a, lua_rawgeti(L, slot, first))) {
    if (binary) lua_rawgeti(L, slot, first + 1);  // raw: neither reduced nor quoted
    return Outcome::rebuild;
  }
  if (!(nary_op_first_arg_type_mask[static_cast<int>(op)] & (1 << lua_type(L, a)))) {
    push_null(L);
    return Outcome::constant;
  }
  if (binary) {
    if (!reduce_value(r, L, b, lua_rawgeti(L, slot, first + 1))) {
      if (lua_istable(L, a)) quote_in_place(L, a);
      return Outcome::rebuild;
    }
  }
  switch (op) {
    case Fixed::negate:
      lua_pushboolean(L, !truthy(L, a));
      break;
    case Fixed::is_integral:
      if (lua_isinteger(L, a)) {
        lua_pushboolean(L, 1);
      } else {
        const double x = lua_tonumber(L, a);
        lua_pushboolean(L, floor(x) == x);
      }
      break;
    case Fixed::length:
      lua_pushinteger(L, luaL_len(L, a));
      break;
    case Fixed::subtract:
    case Fixed::divide:
    case Fixed::modulo:
    case Fixed::power:
      if (lua_type(L, b) != LUA_TNUMBER) {
        push_null(L);
        break;
      }
      push_arith(L, a, b,
                 op == Fixed::subtract ? LUA_OPSUB
                 : op == Fixed::divide ? LUA_OPDIV
                 : op == Fixed::modulo ? LUA_OPMOD
                                       : LUA_OPPOW);
      break;
    case Fixed::match:
      if (lua_type(L, b) != LUA_TSTRING)
        push_null(L);
      else
        push_match(L, a, b);
      break;
    case Fixed::apply:
      if (!lua_istable(L, b)) {
        push_null(L);
        break;
      }
      return apply(r, L, a, b);
  }
  return Outcome::constant;
}

// ops[head] is a function: call it once every argument is constant.
Outcome reduce_user(Reducer &r, lua_State *L, int slot, lua_Integer first, lua_Integer n,
                    int *base) {
  const lua_Integer count = n >= first ? n - first + 1 : 0;
  // above the form, its head and the function
  reserve(r, L, slot + 2, clamp_count(count) + 8, "too many arguments");
  std::array<uint8_t, inline_flags> local_flags;
  uint8_t *constant = local_flags.data();
  // the scratch flags stay below the function, which is pushed again
  if (count > inline_flags)
    constant = static_cast<uint8_t *>(lua_newuserdatauv(L, static_cast<size_t>(count), 0));
  lua_pushvalue(L, slot + 2);
  lua_pushvalue(L, ctx_slot);
  *base = lua_gettop(L) + 1;
  bool residual = false;
  for (lua_Integer i = 0; i < count; ++i) {
    const int idx = *base + static_cast<int>(i);
    constant[i] = reduce_value(r, L, idx, lua_rawgeti(L, slot, first + i));
    residual = residual || !constant[i];
  }
  if (residual) {
    for (lua_Integer i = 0; i < count; ++i) {
      const int idx = *base + static_cast<int>(i);
      if (constant[i] && lua_istable(L, idx)) quote_in_place(L, idx);
    }
    return Outcome::rebuild;
  }
  lua_call(L, static_cast<int>(count) + 1, 1);
  return Outcome::constant;
}

// The form at `slot` with its head on top; arguments start at `first`.
Result reduce_form(Reducer &r, lua_State *L, int slot, lua_Integer first) {
  const int head = slot + 1;
  enter(r, L, head);
  lua_pushvalue(L, head);
  const int binding = lua_rawget(L, ops_slot);
  int base = 0;
  Outcome outcome;
  if (binding == LUA_TFUNCTION) {
    outcome = reduce_user(r, L, slot, first, form_length(L, slot), &base);
  } else {
    int exact = 0;
    const lua_Integer code = binding == LUA_TNUMBER ? lua_tointegerx(L, -1, &exact) : -1;
    if (code < 0 || code >= static_cast<lua_Integer>(op_codes.size())) {
      lua_settop(L, slot);  // unbound: the form stays as it is
      --r.depth;
      return Result::unbound;
    }
    lua_settop(L, head);
    const OpCode op = op_codes[exact ? code : 0];
    switch (op.family) {
      case Family::quote:
        if (lua_rawgeti(L, slot, first) == LUA_TNIL) {
          lua_pop(L, 1);
          push_null(L);
        }
        outcome = Outcome::constant;
        break;
      case Family::chain:
        outcome =
            reduce_chain(r, L, slot, first, form_length(L, slot), static_cast<Mode>(op.sub), &base);
        break;
      case Family::fixed:
      default:
        outcome = reduce_fixed(r, L, slot, first, form_length(L, slot), static_cast<Fixed>(op.sub),
                               &base);
        break;
    }
  }
  if (outcome == Outcome::rebuild) build_form(L, head, base);
  lua_copy(L, -1, slot);
  lua_settop(L, slot);
  --r.depth;
  return outcome == Outcome::constant ? Result::constant : Result::residual;
}

// reduce_core(ops, ctx, expr) -> value, is_constant
int reduce_core(lua_State *L) {
  lua_settop(L, 3);
  luaL_checktype(L, ops_slot, LUA_TTABLE);
  luaL_checktype(L, 3, LUA_TTABLE);
  Reducer r{0, 0};
  lua_pushboolean(L, reduce_at(r, L, 3));
  return 2;
}

}  // namespace

// Room asked for beyond what a step needs, so that the next steps find it.
constexpr int reserve_chunk = 64;

void reserve(Reducer &r, lua_State *L, int top, int need, const char *msg) {
  assert(lua_gettop(L) == top);
  if (top + need <= r.reserved) return;
  if (lua_checkstack(L, need + reserve_chunk)) {
    r.reserved = top + need + reserve_chunk;
    return;
  }
  luaL_checkstack(L, need, msg);
  r.reserved = top + need;
}

bool reduce_at(Reducer &r, lua_State *L, int slot) {
  reserve(r, L, slot, 8, "expression nested too deeply");
  if (lua_rawgeti(L, slot, 1) != LUA_TNIL) return reduce_form(r, L, slot, 2) == Result::constant;
  lua_settop(L, slot);
  return reduce_plain(r, L, slot) == Result::constant;
}

void push_quote(lua_State *L, int idx) {
  idx = lua_absindex(L, idx);
  lua_createtable(L, 2, 0);
  lua_pushliteral(L, "quote");
  lua_rawseti(L, -2, 1);
  lua_pushvalue(L, idx);
  lua_rawseti(L, -2, 2);
}

void quote_in_place(lua_State *L, int idx) {
  push_quote(L, idx);
  lua_replace(L, idx);
}

}  // namespace lattice

extern "C" int lua_reduce_table(lua_State *L) { return lattice::reduce_core(L); }

extern "C" void orv_lattice_reduce_open(lua_State *L) {
  lua_pushcfunction(L, lua_reduce_table);
  lua_setfield(L, -2, "reduce_core");
}
