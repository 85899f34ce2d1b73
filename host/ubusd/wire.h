// SPDX-License-Identifier: ISC
// Blob attributes as they appear on the bus socket: a big-endian id_len
// word (bit 31 extended/blobmsg, bits 30..24 id, bits 23..0 length with the
// 4-byte header), payload padded to 4 bytes. Only what the daemon needs:
// checked parsing of untrusted input and appending to a byte vector.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <string_view>
#include <vector>

extern "C" {
#include "ubusmsg.h"
}

namespace ubusd {

constexpr size_t kHeaderSize = 8;      // struct ubus_msghdr
constexpr size_t kBlobHeaderSize = 4;  // struct blob_attr
constexpr uint32_t kAttrExtended = 0x80000000u;
constexpr uint32_t kAttrIdMask = 0x7f000000u;
constexpr uint32_t kAttrLenMask = 0x00ffffffu;
constexpr size_t kMaxBodyLen = kAttrLenMask;  // largest root attribute the format allows
// Largest message (root attribute with its header) the bus accepts: a
// setting of the bus package's build, the same in the client library.
constexpr size_t kMaxMsgLen = 1048576;

// blobmsg types (the attribute id of an extended attribute)
enum : uint8_t {
  kMsgUnspec = 0,
  kMsgArray,
  kMsgTable,
  kMsgString,
  kMsgInt64,
  kMsgInt32,
  kMsgInt16,
  kMsgInt8,
  kMsgDouble,
};

inline uint32_t get_be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint16_t get_be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
inline void put_be32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}
inline void put_be16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
constexpr size_t pad4(size_t n) { return (n + 3) & ~size_t(3); }

// One attribute seen through its header.
struct Attr {
  const uint8_t* payload = nullptr;  // null: absent
  uint32_t len = 0;                  // payload bytes, header excluded
  uint8_t id = 0;
  bool extended = false;

  explicit operator bool() const { return payload != nullptr; }
  uint32_t u32() const { return get_be32(payload); }
  uint8_t u8() const { return payload[0]; }
  // A string payload ends with its NUL; the view stops before it.
  std::string_view str() const { return {reinterpret_cast<const char*>(payload), len - 1}; }
  bool is_string() const { return len >= 1 && payload[len - 1] == 0; }
};

// Walks a run of attributes. next() returns false at the end; `broken` is
// set when an attribute's length is impossible for what remains.
class AttrIter {
 public:
  AttrIter(const uint8_t* p, size_t n) : p_(p), left_(n) {}
  bool next(Attr* a);
  bool broken() const { return broken_; }

 private:
  const uint8_t* p_;
  size_t left_;
  bool broken_ = false;
};

// The message attributes, indexed by enum ubus_msg_attr.
using MsgAttrs = std::array<Attr, UBUS_ATTR_MAX>;

// Splits a message body into its attributes and checks each known one for
// its type. False for anything a well-behaved client cannot produce.
bool parse_msg_attrs(const uint8_t* body, size_t len, MsgAttrs* out, bool* foreign);

// A blobmsg attribute seen as name and value.
struct Field {
  std::string_view name;
  const uint8_t* data = nullptr;  // value bytes
  uint32_t len = 0;
  uint8_t type = 0;
};

// Splits an extended attribute into name and value; false when malformed.
bool field_of(const Attr& a, Field* f);
// Checks a run of blobmsg attributes, recursing into tables and arrays.
bool check_fields(const uint8_t* p, size_t n, int depth = 0);
// Finds the field `name` of `type` among the blobmsg attributes at p.
bool find_field(const uint8_t* p, size_t n, std::string_view name, uint8_t type, Field* f);

// Builds attributes into a byte vector that starts with the message header.
class Builder {
 public:
  explicit Builder(std::vector<uint8_t>* out);
  void header(uint8_t type, uint16_t seq, uint32_t peer);
  size_t open(uint8_t id, bool extended = false, std::string_view name = {});
  void close(size_t at);
  void put(uint8_t id, const void* data, size_t len);
  void put_u32(uint8_t id, uint32_t v);
  void put_u8(uint8_t id, uint8_t v);
  void put_string(uint8_t id, std::string_view s);
  void put_field(uint8_t type, std::string_view name, const void* data, size_t len);
  void put_field_u32(std::string_view name, uint32_t v);
  void put_field_string(std::string_view name, std::string_view s);
  // Ends the root attribute; the vector then holds the whole message.
  void finish();

 private:
  std::vector<uint8_t>* out_;
};

}  // namespace ubusd
