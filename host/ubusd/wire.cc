// SPDX-License-Identifier: ISC
#include "wire.h"

#include <string.h>

namespace ubusd {

bool AttrIter::next(Attr* a) {
  if (left_ == 0 || broken_) return false;
  if (left_ < kBlobHeaderSize) {
    broken_ = true;
    return false;
  }
  uint32_t id_len = get_be32(p_);
  size_t raw = id_len & kAttrLenMask;
  if (raw < kBlobHeaderSize || raw > left_) {
    broken_ = true;
    return false;
  }
  a->payload = p_ + kBlobHeaderSize;
  a->len = uint32_t(raw - kBlobHeaderSize);
  a->id = uint8_t((id_len & kAttrIdMask) >> 24);
  a->extended = (id_len & kAttrExtended) != 0;
  // the last attribute may end without its padding
  size_t step = pad4(raw) < left_ ? pad4(raw) : left_;
  p_ += step;
  left_ -= step;
  return true;
}

namespace {

enum class Kind : uint8_t { None, Int8, Int32, String, Nested };

constexpr std::array<Kind, UBUS_ATTR_MAX> kAttrKinds = {
    Kind::None,    // UNSPEC
    Kind::Int32,   // STATUS
    Kind::String,  // OBJPATH
    Kind::Int32,   // OBJID
    Kind::String,  // METHOD
    Kind::Int32,   // OBJTYPE
    Kind::Nested,  // SIGNATURE
    Kind::Nested,  // DATA
    Kind::Int32,   // TARGET
    Kind::Int8,    // ACTIVE
    Kind::Int8,    // NO_REPLY
    Kind::Nested,  // SUBSCRIBERS
    Kind::String,  // USER
    Kind::String,  // GROUP
};

bool attr_fits(const Attr& a, Kind kind) {
  switch (kind) {
    case Kind::Int8:
      return a.len == 1;
    case Kind::Int32:
      return a.len == 4;
    case Kind::String:
      return a.is_string();
    case Kind::Nested:
      return check_fields(a.payload, a.len);
    case Kind::None:
      break;
  }
  return true;
}

constexpr int kMaxDepth = 256;

}  // namespace

bool parse_msg_attrs(const uint8_t* body, size_t len, MsgAttrs* out, bool* foreign) {
  out->fill(Attr{});
  *foreign = false;
  AttrIter it(body, len);
  Attr a;
  while (it.next(&a)) {
    if (a.extended || a.id == UBUS_ATTR_UNSPEC || a.id >= UBUS_ATTR_MAX || a.id == UBUS_ATTR_USER ||
        a.id == UBUS_ATTR_GROUP) {
      *foreign = true;
      continue;
    }
    if (!attr_fits(a, kAttrKinds[a.id])) return false;
    (*out)[a.id] = a;
  }
  return !it.broken();
}

bool field_of(const Attr& a, Field* f) {
  if (!a.extended || a.len < 2) return false;
  size_t namelen = get_be16(a.payload);
  size_t hdrlen = pad4(2 + namelen + 1);
  if (hdrlen > a.len || a.payload[2 + namelen] != 0) return false;
  f->name = {reinterpret_cast<const char*>(a.payload + 2), namelen};
  f->data = a.payload + hdrlen;
  f->len = uint32_t(a.len - hdrlen);
  f->type = a.id;
  return true;
}

static bool check_fields_at(const uint8_t* p, size_t n, int depth) {
  if (depth > kMaxDepth) return false;
  AttrIter it(p, n);
  Attr a;
  while (it.next(&a)) {
    if (!a.extended) continue;  // plain blob data, opaque here
    Field f;
    if (!field_of(a, &f)) return false;
    switch (f.type) {
      case kMsgArray:
      case kMsgTable:
        if (!check_fields_at(f.data, f.len, depth + 1)) return false;
        break;
      case kMsgString:
        if (f.len < 1 || f.data[f.len - 1] != 0) return false;
        break;
      case kMsgInt64:
      case kMsgDouble:
        if (f.len != 8) return false;
        break;
      case kMsgInt32:
        if (f.len != 4) return false;
        break;
      case kMsgInt16:
        if (f.len != 2) return false;
        break;
      case kMsgInt8:
        if (f.len != 1) return false;
        break;
      default:
        break;
    }
  }
  return !it.broken();
}

bool check_fields(const uint8_t* p, size_t n, int depth) { return check_fields_at(p, n, depth); }

bool find_field(const uint8_t* p, size_t n, std::string_view name, uint8_t type, Field* f) {
  AttrIter it(p, n);
  Attr a;
  while (it.next(&a)) {
    if (field_of(a, f) && f->type == type && f->name == name) return true;
  }
  return false;
}

Builder::Builder(std::vector<uint8_t>* out) : out_(out) { out_->clear(); }

void Builder::header(uint8_t type, uint16_t seq, uint32_t peer) {
  out_->resize(kHeaderSize + kBlobHeaderSize);
  uint8_t* h = out_->data();
  h[0] = 0;
  h[1] = type;
  put_be16(h + 2, seq);
  put_be32(h + 4, peer);
}

size_t Builder::open(uint8_t id, bool extended, std::string_view name) {
  size_t at = out_->size();
  out_->resize(at + kBlobHeaderSize);
  put_be32(out_->data() + at, (extended ? kAttrExtended : 0) | uint32_t(id) << 24);
  if (extended) {
    size_t hdrlen = pad4(2 + name.size() + 1);
    size_t pos = out_->size();
    out_->resize(pos + hdrlen, 0);
    put_be16(out_->data() + pos, uint16_t(name.size()));
    memcpy(out_->data() + pos + 2, name.data(), name.size());
  }
  return at;
}

void Builder::close(size_t at) {
  size_t len = out_->size() - at;
  uint32_t id_len = get_be32(out_->data() + at) & ~kAttrLenMask;
  put_be32(out_->data() + at, id_len | uint32_t(len));
  out_->resize(pad4(out_->size()), 0);
}

void Builder::put(uint8_t id, const void* data, size_t len) {
  size_t at = open(id);
  if (len)
    out_->insert(out_->end(), static_cast<const uint8_t*>(data),
                 static_cast<const uint8_t*>(data) + len);
  close(at);
}

void Builder::put_u32(uint8_t id, uint32_t v) {
  uint8_t b[4];
  put_be32(b, v);
  put(id, b, 4);
}

void Builder::put_u8(uint8_t id, uint8_t v) { put(id, &v, 1); }

void Builder::put_string(uint8_t id, std::string_view s) {
  size_t at = open(id);
  out_->insert(out_->end(), s.begin(), s.end());
  out_->push_back(0);
  close(at);
}

void Builder::put_field(uint8_t type, std::string_view name, const void* data, size_t len) {
  size_t at = open(type, true, name);
  if (len)
    out_->insert(out_->end(), static_cast<const uint8_t*>(data),
                 static_cast<const uint8_t*>(data) + len);
  close(at);
}

void Builder::put_field_u32(std::string_view name, uint32_t v) {
  uint8_t b[4];
  put_be32(b, v);
  put_field(kMsgInt32, name, b, 4);
}

void Builder::put_field_string(std::string_view name, std::string_view s) {
  size_t at = open(kMsgString, true, name);
  out_->insert(out_->end(), s.begin(), s.end());
  out_->push_back(0);
  close(at);
}

void Builder::finish() {
  size_t len = out_->size() - kHeaderSize;
  put_be32(out_->data() + kHeaderSize, uint32_t(len));
}

}  // namespace ubusd
