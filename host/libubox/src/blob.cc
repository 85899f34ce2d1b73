// SPDX-License-Identifier: ISC
// Building and parsing blob attributes. A blob_buf holds one outer
// attribute (its head); new attributes go after the current head's payload
// and every enclosing length is kept padded to 4 bytes.

extern "C" {
#include <libubox/blob.h>
}

#include <errno.h>
#include <stdlib.h>

#include <array>

namespace {

constexpr size_t kHdr = sizeof(struct blob_attr);

constexpr size_t pad4(size_t len) {
  return (len + BLOB_ATTR_ALIGN - 1) & ~(size_t)(BLOB_ATTR_ALIGN - 1);
}

// Exact payload size of the fixed-size types, 0 for the others.
constexpr std::array<unsigned int, BLOB_ATTR_LAST> kFixedLen = {
    0,
    0,
    0,
    0,
    sizeof(uint8_t),
    sizeof(uint16_t),
    sizeof(uint32_t),
    sizeof(uint64_t),
    sizeof(double),
};

bool default_grow(struct blob_buf *buf, int minlen) {
  int delta = ((minlen / 256) + 1) * 256;
  void *grown = realloc(buf->buf, (size_t)buf->buflen + delta);

  if (!grown) return false;
  buf->buf = grown;
  memset(static_cast<char *>(grown) + buf->buflen, 0, delta);
  buf->buflen += delta;
  return true;
}

size_t offset_of(const struct blob_buf *buf, const struct blob_attr *attr) {
  return (size_t)((const char *)attr - (const char *)buf->buf);
}

struct blob_attr *attr_at(const struct blob_buf *buf, size_t offset) {
  return (struct blob_attr *)((char *)buf->buf + offset);
}

void blob_init(struct blob_attr *attr, int id, size_t len) {
  uint32_t id_len = (uint32_t)len & BLOB_ATTR_LEN_MASK;

  id_len |= ((uint32_t)id << BLOB_ATTR_ID_SHIFT) & BLOB_ATTR_ID_MASK;
  attr->id_len = cpu_to_be32(id_len);
}

// Places a new attribute header at offset, growing the buffer so that the
// payload and its padding fit. Does not touch the enclosing lengths.
struct blob_attr *blob_add_at(struct blob_buf *buf, size_t offset, int id, size_t payload) {
  if (payload > BLOB_ATTR_LEN_MASK - kHdr) return nullptr;

  size_t need = offset + pad4(kHdr + payload);
  if (need > (size_t)buf->buflen) {
    if (need - buf->buflen > BLOB_ATTR_LEN_MASK || !blob_buf_grow(buf, (int)(need - buf->buflen)))
      return nullptr;
  }

  struct blob_attr *attr = attr_at(buf, offset);
  blob_init(attr, id, kHdr + payload);
  blob_fill_pad(attr);
  return attr;
}

bool check_attr(const struct blob_attr_info *info, struct blob_attr *attr) {
  size_t len = blob_len(attr);

  if (info->type < BLOB_ATTR_LAST && !blob_check_type(blob_data(attr), len, info->type))
    return false;
  if (info->minlen && len < info->minlen) return false;
  if (info->maxlen && len > info->maxlen) return false;
  if (info->validate && !info->validate(info, attr)) return false;
  return true;
}

int parse_payload(struct blob_attr *first, size_t rem, struct blob_attr **data,
                  const struct blob_attr_info *info, int max) {
  struct blob_attr *pos;
  int found = 0;

  __blob_for_each_attr(pos, first, rem) {
    unsigned int id = blob_id(pos);

    if ((int)id >= max) continue;
    if (blob_raw_len(pos) < kHdr) continue;
    if (info && !check_attr(&info[id], pos)) continue;
    if (!data[id]) found++;
    data[id] = pos;
  }
  return found;
}

}  // namespace

void blob_fill_pad(struct blob_attr *attr) {
  size_t len = blob_pad_len(attr);
  size_t raw = blob_raw_len(attr);

  if (len > raw) memset((char *)attr + raw, 0, len - raw);
}

void blob_set_raw_len(struct blob_attr *attr, unsigned int len) {
  len &= BLOB_ATTR_LEN_MASK;
  attr->id_len &= ~cpu_to_be32(BLOB_ATTR_LEN_MASK);
  attr->id_len |= cpu_to_be32(len);
}

bool blob_attr_equal(const struct blob_attr *a1, const struct blob_attr *a2) {
  if (!a1 || !a2) return !a1 && !a2;
  if (blob_raw_len(a1) != blob_raw_len(a2)) return false;
  return !memcmp(a1, a2, blob_raw_len(a1));
}

bool blob_buf_grow(struct blob_buf *buf, int required) {
  size_t head = buf->head ? offset_of(buf, buf->head) : 0;
  bool had_head = buf->head != nullptr;

  if (required <= 0) return true;
  if ((size_t)buf->buflen + (size_t)required > BLOB_ATTR_LEN_MASK) return false;
  if (!buf->grow || !buf->grow(buf, required)) return false;
  if (had_head) buf->head = attr_at(buf, head);
  return true;
}

int blob_buf_init(struct blob_buf *buf, int id) {
  if (!buf->grow) buf->grow = default_grow;

  buf->head = nullptr;
  struct blob_attr *head = blob_add_at(buf, 0, id, 0);
  if (!head) return -ENOMEM;
  buf->head = head;
  return 0;
}

void blob_buf_free(struct blob_buf *buf) {
  free(buf->buf);
  buf->buf = nullptr;
  buf->head = nullptr;
  buf->buflen = 0;
}

struct blob_attr *blob_new(struct blob_buf *buf, int id, int payload) {
  if (!buf->head || payload < 0) return nullptr;

  size_t offset = offset_of(buf, blob_next(buf->head));
  struct blob_attr *attr = blob_add_at(buf, offset, id, (size_t)payload);
  if (!attr) return nullptr;

  blob_set_raw_len(buf->head, blob_pad_len(buf->head) + blob_pad_len(attr));
  return attr;
}

void *blob_nest_start(struct blob_buf *buf, int id) {
  if (!buf->head) return nullptr;

  size_t offset = offset_of(buf, buf->head);
  struct blob_attr *attr = blob_new(buf, id, 0);
  if (!attr) return nullptr;

  buf->head = attr;
  return (void *)(uintptr_t)(offset + BLOB_COOKIE);
}

void blob_nest_end(struct blob_buf *buf, void *cookie) {
  // a failed blob_nest_start left the head where it was
  if (!cookie) return;

  struct blob_attr *attr = attr_at(buf, (uintptr_t)cookie - BLOB_COOKIE);
  blob_set_raw_len(attr, blob_pad_len(attr) + blob_len(buf->head));
  buf->head = attr;
}

struct blob_attr *blob_put(struct blob_buf *buf, int id, const void *ptr, unsigned int len) {
  struct blob_attr *attr = blob_new(buf, id, len);

  if (!attr) return nullptr;
  if (len) memcpy(blob_data(attr), ptr, len);
  return attr;
}

struct blob_attr *blob_put_raw(struct blob_buf *buf, const void *ptr, unsigned int len) {
  if (!ptr || len < kHdr || !buf->head) return nullptr;

  size_t offset = offset_of(buf, blob_next(buf->head));
  struct blob_attr *attr = blob_add_at(buf, offset, 0, len - kHdr);
  if (!attr) return nullptr;

  blob_set_raw_len(buf->head, blob_pad_len(buf->head) + pad4(len));
  memcpy(attr, ptr, len);
  return attr;
}

bool blob_check_type(const void *ptr, unsigned int len, int type) {
  const char *data = static_cast<const char *>(ptr);

  if (type < 0 || type >= BLOB_ATTR_LAST) return false;
  if (kFixedLen[type]) return len == kFixedLen[type];
  if (type == BLOB_ATTR_STRING) return len >= 1 && data[len - 1] == 0;
  return true;
}

int blob_parse(struct blob_attr *attr, struct blob_attr **data, const struct blob_attr_info *info,
               int max) {
  if (max <= 0) return 0;
  memset(data, 0, sizeof(*data) * max);
  if (!attr || blob_raw_len(attr) < kHdr) return 0;
  return parse_payload((struct blob_attr *)blob_data(attr), blob_len(attr), data, info, max);
}

int blob_parse_untrusted(struct blob_attr *attr, size_t attr_len, struct blob_attr **data,
                         const struct blob_attr_info *info, int max) {
  if (max <= 0) return 0;
  memset(data, 0, sizeof(*data) * max);
  if (!attr || attr_len < kHdr) return 0;

  size_t len = blob_raw_len(attr);
  if (len < kHdr || len > attr_len) return 0;
  return parse_payload((struct blob_attr *)blob_data(attr), len - kHdr, data, info, max);
}

struct blob_attr *blob_memdup(struct blob_attr *attr) {
  size_t raw = blob_raw_len(attr);
  size_t size = blob_pad_len(attr);
  struct blob_attr *copy = static_cast<struct blob_attr *>(malloc(size));

  if (!copy) return nullptr;
  memcpy(copy, attr, raw);
  memset((char *)copy + raw, 0, size - raw);
  return copy;
}
