// SPDX-License-Identifier: ISC
// Keys of the "keys" lists and the path segments they give.
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "powersim.h"

namespace {

std::string escape(const std::string &text) {
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c) && c < 0x80) {
      out += static_cast<char>(c);
    } else if (strchr(",-@_", c) && c) {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      snprintf(hex, sizeof hex, "=%02X", c);
      out += hex;
    }
  }
  return out;
}

sim_key typed(int type, int64_t integer, double real = 0, std::string text = {}) {
  sim_key key;
  key.type = type;
  key.integer = integer;
  key.real = real;
  key.text = std::move(text);
  return key;
}

}  // namespace

bool parse_key_type(const char *text, key_type *out) {
  static const struct {
    const char *name;
    key_type type;
  } names[] = {{"string", key_type::string}, {"int", key_type::int32},
               {"int64", key_type::int64},   {"int16", key_type::int16},
               {"bool", key_type::boolean},  {"double", key_type::dbl},
               {"mixed", key_type::mixed}};
  for (const auto &n : names) {
    if (strcmp(n.name, text) == 0) {
      *out = n.type;
      return true;
    }
  }
  return false;
}

sim_key make_key(key_type type, const char *list, int index) {
  switch (type) {
    case key_type::string:
      return typed(BLOBMSG_TYPE_STRING, 0, 0, std::string(list) + "." + std::to_string(index + 1));
    case key_type::int32:
      return typed(BLOBMSG_TYPE_INT32, index + 1);
    case key_type::int64:
      return typed(BLOBMSG_TYPE_INT64, 10000000000LL + index);
    case key_type::int16:
      return typed(BLOBMSG_TYPE_INT16, 65000 + index);
    case key_type::boolean:
      return typed(BLOBMSG_TYPE_BOOL, index != 0);
    case key_type::dbl:
      return typed(BLOBMSG_TYPE_DOUBLE, 0, index + 0.5);
    case key_type::mixed:
      break;
  }
  // a bit of everything: odd characters, signs, wide numbers, an empty key
  switch (index % 6) {
    case 0:
      return typed(BLOBMSG_TYPE_STRING, 0, 0,
                   std::string(list) + " A.1/\xc3\xbc" + std::to_string(index));
    case 1:
      return typed(BLOBMSG_TYPE_INT32, -(index + 1));
    case 2:
      return typed(BLOBMSG_TYPE_INT64, (1LL << 40) + index);
    case 3:
      return typed(BLOBMSG_TYPE_INT16, 65000 + index);
    case 4:
      return typed(BLOBMSG_TYPE_DOUBLE, 0, -index - 0.25);
    default:
      return typed(BLOBMSG_TYPE_STRING, 0, 0, index == 5 ? "" : "e" + std::to_string(index));
  }
}

void add_key(blob_buf *buf, const char *name, const sim_key &key) {
  switch (key.type) {
    case BLOBMSG_TYPE_INT32:
      blobmsg_add_u32(buf, name, static_cast<uint32_t>(key.integer));
      break;
    case BLOBMSG_TYPE_INT64:
      blobmsg_add_u64(buf, name, static_cast<uint64_t>(key.integer));
      break;
    case BLOBMSG_TYPE_INT16:
      blobmsg_add_u16(buf, name, static_cast<uint16_t>(key.integer));
      break;
    case BLOBMSG_TYPE_BOOL:
      blobmsg_add_u8(buf, name, key.integer ? 1 : 0);
      break;
    case BLOBMSG_TYPE_DOUBLE:
      blobmsg_add_double(buf, name, key.real);
      break;
    default:
      blobmsg_add_string(buf, name, key.text.c_str());
      break;
  }
}

std::string key_segment(const sim_key &key) {
  char number[64];
  switch (key.type) {
    case BLOBMSG_TYPE_STRING:
      return key.text.empty() ? "=" : escape(key.text);
    case BLOBMSG_TYPE_INT64:
      snprintf(number, sizeof number, "%llu", static_cast<unsigned long long>(key.integer));
      break;
    case BLOBMSG_TYPE_INT32:
      snprintf(number, sizeof number, "%d", static_cast<int32_t>(key.integer));
      break;
    case BLOBMSG_TYPE_INT16:
      snprintf(number, sizeof number, "%u",
               static_cast<unsigned>(static_cast<uint16_t>(key.integer)));
      break;
    case BLOBMSG_TYPE_BOOL:
      return key.integer ? "#t" : "#f";
    case BLOBMSG_TYPE_DOUBLE:
      snprintf(number, sizeof number, "%.17g", key.real);
      break;
    default:
      return "";
  }
  return "#" + escape(number);
}
