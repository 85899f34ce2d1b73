// SPDX-License-Identifier: ISC
// blobmsg building, validation and policy parsing. Validation never
// trusts a length it has not checked against the bytes that are really
// there; tables and arrays are checked member by member.

extern "C" {
#include <libubox/blobmsg.h>
}

#include <errno.h>
#include <stdio.h>

#include <array>

namespace {

constexpr size_t kHdr = sizeof(struct blob_attr);

// Deeper nesting is refused as hostile (json-c itself stops at 32 levels).
constexpr int kMaxNesting = 64;

// blob type that a blobmsg value must satisfy; UNSPEC for the types that
// carry no fixed layout of their own (unspec, array, table)
constexpr std::array<int, __BLOBMSG_TYPE_LAST> kBlobType = {
    BLOB_ATTR_UNSPEC,  // UNSPEC
    BLOB_ATTR_UNSPEC,  // ARRAY
    BLOB_ATTR_UNSPEC,  // TABLE
    BLOB_ATTR_STRING,  // STRING
    BLOB_ATTR_INT64,   // INT64
    BLOB_ATTR_INT32,   // INT32
    BLOB_ATTR_INT16,   // INT16
    BLOB_ATTR_INT8,    // INT8
    BLOB_ATTR_DOUBLE,  // DOUBLE
};

constexpr size_t pad4(size_t len) {
  return (len + BLOB_ATTR_ALIGN - 1) & ~(size_t)(BLOB_ATTR_ALIGN - 1);
}

// The attribute's header fits in len bytes and, for an extended attribute,
// its name header, name and NUL fit in the payload.
bool check_header(const struct blob_attr *attr, bool name, size_t len) {
  if (len < kHdr) return false;

  size_t raw = blob_raw_len(attr);
  if (raw < kHdr || raw > len) return false;

  if (!blob_is_extended(attr)) return !name;
  if (raw - kHdr < sizeof(struct blobmsg_hdr)) return false;

  const struct blobmsg_hdr *hdr = (const struct blobmsg_hdr *)blob_data(attr);
  uint16_t namelen = blobmsg_namelen(hdr);
  if (name && !namelen) return false;
  if (raw - kHdr < (size_t)blobmsg_hdrlen(namelen)) return false;
  return hdr->name[namelen] == 0;
}

int check_members(const struct blob_attr *attr, int type, int depth);

// The value of an attribute whose header passed check_header.
bool check_value(const struct blob_attr *attr, int depth) {
  int id = blob_id(attr);

  if (id > BLOBMSG_TYPE_LAST) return false;
  if (id == BLOBMSG_TYPE_ARRAY || id == BLOBMSG_TYPE_TABLE)
    return check_members(attr, BLOBMSG_TYPE_UNSPEC, depth + 1) >= 0;
  if (kBlobType[id] == BLOB_ATTR_UNSPEC) return true;
  return blob_check_type(blobmsg_data(attr), blobmsg_data_len(attr), kBlobType[id]);
}

// Members of a table (named) or array must tile its value exactly.
int check_members(const struct blob_attr *attr, int type, int depth) {
  bool name;

  switch (blobmsg_type(attr)) {
    case BLOBMSG_TYPE_TABLE:
      name = true;
      break;
    case BLOBMSG_TYPE_ARRAY:
      name = false;
      break;
    default:
      return -1;
  }
  if (depth > kMaxNesting) return -1;

  const char *pos = static_cast<const char *>(blobmsg_data(attr));
  size_t rem = blobmsg_data_len(attr);
  int count = 0;
  while (rem > 0) {
    const struct blob_attr *cur = (const struct blob_attr *)pos;

    if (!check_header(cur, name, rem) || !check_value(cur, depth)) return -1;
    if (type != BLOBMSG_TYPE_UNSPEC && blobmsg_type(cur) != type) return -1;

    size_t step = blob_pad_len(cur);
    if (step > rem) step = rem;  // unpadded last member
    pos += step;
    rem -= step;
    count++;
  }
  return count;
}

bool policy_type_matches(int policy_type, int id) {
  if (policy_type == BLOBMSG_TYPE_UNSPEC) return true;
  if (policy_type == BLOBMSG_CAST_INT64)
    return id == BLOBMSG_TYPE_INT64 || id == BLOBMSG_TYPE_INT32 || id == BLOBMSG_TYPE_INT16 ||
           id == BLOBMSG_TYPE_INT8;
  return policy_type == id;
}

struct blob_attr *blobmsg_new(struct blob_buf *buf, int type, const char *name, size_t payload_len,
                              void **data) {
  if (!name) name = "";

  size_t namelen = strlen(name);
  if (namelen > UINT16_MAX || payload_len > BLOB_ATTR_LEN_MASK) return nullptr;

  size_t attrlen = blobmsg_hdrlen(namelen) + payload_len;
  if (attrlen > BLOB_ATTR_LEN_MASK) return nullptr;

  struct blob_attr *attr = blob_new(buf, type, (int)attrlen);
  if (!attr) return nullptr;

  attr->id_len |= cpu_to_be32(BLOB_ATTR_EXTENDED);
  struct blobmsg_hdr *hdr = (struct blobmsg_hdr *)blob_data(attr);
  hdr->namelen = cpu_to_be16((uint16_t)namelen);
  memcpy(hdr->name, name, namelen);

  // NUL and padding up to the value
  char *name_end = (char *)&hdr->name[namelen];
  char *value = static_cast<char *>(blobmsg_data(attr));
  memset(name_end, 0, value - name_end);
  *data = value;
  return attr;
}

size_t offset_of(const struct blob_buf *buf, const void *p) {
  return (size_t)((const char *)p - (const char *)buf->buf);
}

}  // namespace

bool blobmsg_check_attr_len(const struct blob_attr *attr, bool name, size_t len) {
  if (!attr || !check_header(attr, name, len)) return false;
  return check_value(attr, 0);
}

bool blobmsg_check_attr(const struct blob_attr *attr, bool name) {
  if (!attr) return false;
  return blobmsg_check_attr_len(attr, name, blob_raw_len(attr));
}

int blobmsg_check_array_len(const struct blob_attr *attr, int type, size_t blob_len) {
  if (!attr || type < 0 || type > BLOBMSG_TYPE_LAST) return -1;
  if (!check_header(attr, false, blob_len)) return -1;
  return check_members(attr, type, 0);
}

int blobmsg_check_array(const struct blob_attr *attr, int type) {
  if (!attr) return -1;
  return blobmsg_check_array_len(attr, type, blob_raw_len(attr));
}

bool blobmsg_check_attr_list(const struct blob_attr *attr, int type) {
  return blobmsg_check_array(attr, type) >= 0;
}

int blobmsg_parse(const struct blobmsg_policy *policy, int policy_len, struct blob_attr **tb,
                  void *data, unsigned int len) {
  if (policy_len > 0) memset(tb, 0, policy_len * sizeof(*tb));
  if (!data || !len) return -EINVAL;

  struct blob_attr *attr;
  size_t rem = len;
  __blob_for_each_attr(attr, data, rem) {
    // the name is read only once its bytes are known to be there
    if (!check_header(attr, true, rem)) return -1;

    const struct blobmsg_hdr *hdr = (const struct blobmsg_hdr *)blob_data(attr);
    size_t namelen = blobmsg_namelen(hdr);
    for (int i = 0; i < policy_len; i++) {
      if (!policy[i].name || tb[i]) continue;
      if (!policy_type_matches(policy[i].type, blob_id(attr))) continue;
      if (strlen(policy[i].name) != namelen || memcmp(policy[i].name, hdr->name, namelen) != 0)
        continue;
      if (!check_value(attr, 0)) return -1;
      tb[i] = attr;
    }
  }
  return 0;
}

int blobmsg_parse_array(const struct blobmsg_policy *policy, int policy_len, struct blob_attr **tb,
                        void *data, unsigned int len) {
  if (policy_len > 0) memset(tb, 0, policy_len * sizeof(*tb));
  if (!data || !len) return -EINVAL;

  // element i goes to tb[i] when its type fits policy[i]
  struct blob_attr *attr;
  size_t rem = len;
  int i = 0;
  __blob_for_each_attr(attr, data, rem) {
    if (i >= policy_len) break;
    if (!check_header(attr, false, rem)) return -1;
    if (policy_type_matches(policy[i].type, blob_id(attr))) {
      if (!check_value(attr, 0)) return -1;
      tb[i] = attr;
    }
    i++;
  }
  return 0;
}

int blobmsg_add_field(struct blob_buf *buf, int type, const char *name, const void *data,
                      unsigned int len) {
  void *dest;

  if (!blobmsg_new(buf, type, name, len, &dest)) return -1;
  if (len > 0) memcpy(dest, data, len);
  return 0;
}

void *blobmsg_open_nested(struct blob_buf *buf, const char *name, bool array) {
  int type = array ? BLOBMSG_TYPE_ARRAY : BLOBMSG_TYPE_TABLE;
  void *data;

  if (!buf->head) return nullptr;
  if (!name) name = "";

  size_t parent = offset_of(buf, buf->head);
  struct blob_attr *head = blobmsg_new(buf, type, name, 0, &data);
  if (!head) return nullptr;

  // the parent grows by the nested attribute's length when it is closed
  struct blob_attr *parent_attr = (struct blob_attr *)((char *)buf->buf + parent);
  blob_set_raw_len(parent_attr, blob_pad_len(parent_attr) - blobmsg_hdrlen(strlen(name)));
  buf->head = head;
  return (void *)(uintptr_t)(parent + BLOB_COOKIE);
}

void *blobmsg_alloc_string_buffer(struct blob_buf *buf, const char *name, unsigned int maxlen) {
  void *data;

  if (!buf->head || maxlen >= BLOB_ATTR_LEN_MASK) return nullptr;

  size_t reserve = (size_t)maxlen + 1;
  struct blob_attr *attr = blobmsg_new(buf, BLOBMSG_TYPE_STRING, name, reserve, &data);
  if (!attr) return nullptr;

  // not part of the message until blobmsg_add_string_buffer()
  blob_set_raw_len(buf->head, blob_pad_len(buf->head) - blob_pad_len(attr));
  blob_set_raw_len(attr, blob_raw_len(attr) - reserve);
  return data;
}

void *blobmsg_realloc_string_buffer(struct blob_buf *buf, unsigned int maxlen) {
  struct blob_attr *attr = blob_next(buf->head);
  size_t value = offset_of(buf, attr) + blob_pad_len(attr);
  size_t need = pad4(value + (size_t)maxlen + 1);

  if (need > (size_t)buf->buflen) {
    if (need - buf->buflen > BLOB_ATTR_LEN_MASK || !blob_buf_grow(buf, (int)(need - buf->buflen)))
      return nullptr;
    attr = blob_next(buf->head);
  }
  return blobmsg_data(attr);
}

void blobmsg_add_string_buffer(struct blob_buf *buf) {
  struct blob_attr *attr = blob_next(buf->head);
  char *value = static_cast<char *>(blobmsg_data(attr));
  size_t raw = blob_raw_len(attr);

  // the string and its NUL must end, padded, inside the buffer
  size_t room = ((size_t)buf->buflen - offset_of(buf, attr)) & ~(size_t)(BLOB_ATTR_ALIGN - 1);
  size_t max_len = room - raw - 1;
  size_t len = strnlen(value, max_len);
  value[len] = 0;

  blob_set_raw_len(attr, raw + len + 1);
  blob_fill_pad(attr);
  blob_set_raw_len(buf->head, blob_pad_len(buf->head) + blob_pad_len(attr));
}

int blobmsg_vprintf(struct blob_buf *buf, const char *name, const char *format, va_list arg) {
  va_list probe;

  va_copy(probe, arg);
  int len = vsnprintf(nullptr, 0, format, probe);
  va_end(probe);
  if (len < 0) return -1;

  char *sbuf = static_cast<char *>(blobmsg_alloc_string_buffer(buf, name, len + 1));
  if (!sbuf) return -1;

  int ret = vsnprintf(sbuf, len + 1, format, arg);
  if (ret < 0) return -1;
  blobmsg_add_string_buffer(buf);
  return ret;
}

int blobmsg_printf(struct blob_buf *buf, const char *name, const char *format, ...) {
  va_list ap;

  va_start(ap, format);
  int ret = blobmsg_vprintf(buf, name, format, ap);
  va_end(ap);
  return ret;
}
