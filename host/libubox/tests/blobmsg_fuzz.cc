// SPDX-License-Identifier: ISC
// Untrusted bytes through every validating entry point. Whatever passes
// validation is then read completely, the way a consumer would, so that
// an attribute wrongly accepted shows up as an out-of-bounds read.

extern "C" {
#include <libubox/blobmsg.h>
}

#include <stdlib.h>
#include <string.h>

#include <initializer_list>

namespace {

volatile uint64_t sink;

void consume_value(blob_attr *attr, int depth);

void consume_members(blob_attr *attr, int depth) {
  blob_attr *cur;
  size_t rem;

  blobmsg_for_each_attr(cur, attr, rem) consume_value(cur, depth + 1);
}

// Reads an attribute that validation accepted.
void consume_value(blob_attr *attr, int depth) {
  // only extended attributes have a name (array members may lack one)
  if (blob_is_extended(attr)) sink += strlen(blobmsg_name(attr));
  switch (blobmsg_type(attr)) {
    case BLOBMSG_TYPE_STRING:
      sink += strlen(blobmsg_get_string(attr));
      break;
    case BLOBMSG_TYPE_INT8:
      sink += blobmsg_get_u8(attr);
      break;
    case BLOBMSG_TYPE_INT16:
      sink += blobmsg_get_u16(attr);
      break;
    case BLOBMSG_TYPE_INT32:
      sink += blobmsg_get_u32(attr);
      break;
    case BLOBMSG_TYPE_INT64:
      sink += blobmsg_get_u64(attr);
      break;
    case BLOBMSG_TYPE_DOUBLE:
      sink += (uint64_t)(blobmsg_get_double(attr) != 0);
      break;
    case BLOBMSG_TYPE_TABLE:
    case BLOBMSG_TYPE_ARRAY:
      if (depth > 200) abort();  // validation lets no such depth through
      consume_members(attr, depth);
      break;
    default: {
      const uint8_t *p = static_cast<const uint8_t *>(blobmsg_data(attr));
      for (size_t i = 0; i < blobmsg_data_len(attr); i++) sink += p[i];
    }
  }
}

const blobmsg_policy kPolicy[] = {
    {"", BLOBMSG_TYPE_UNSPEC},  {"a", BLOBMSG_TYPE_ARRAY},  {"t", BLOBMSG_TYPE_TABLE},
    {"s", BLOBMSG_TYPE_STRING}, {"q", BLOBMSG_TYPE_INT64},  {"l", BLOBMSG_TYPE_INT32},
    {"w", BLOBMSG_TYPE_INT16},  {"b", BLOBMSG_TYPE_INT8},   {"d", BLOBMSG_TYPE_DOUBLE},
    {"n", BLOBMSG_CAST_INT64},  {"x", BLOBMSG_TYPE_UNSPEC},
};
constexpr int kPolicyLen = sizeof(kPolicy) / sizeof(kPolicy[0]);

const blob_attr_info kInfo[8] = {
    {},
    {BLOB_ATTR_STRING, 0, 0, nullptr},
    {BLOB_ATTR_INT8, 0, 0, nullptr},
    {BLOB_ATTR_INT16, 0, 0, nullptr},
    {BLOB_ATTR_INT32, 0, 0, nullptr},
    {BLOB_ATTR_INT64, 0, 0, nullptr},
    {BLOB_ATTR_NESTED, 4, 64, nullptr},
    {BLOB_ATTR_BINARY, 0, 0, nullptr},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // an exact-size copy: any read past the input is a finding
  uint8_t *buf = static_cast<uint8_t *>(malloc(size ? size : 1));
  if (size) memcpy(buf, data, size);
  blob_attr *attr = reinterpret_cast<blob_attr *>(buf);

  for (bool name : {false, true}) {
    if (blobmsg_check_attr_len(attr, name, size)) consume_value(attr, 0);
  }
  if (size >= sizeof(blob_attr)) {
    int count = blobmsg_check_array_len(attr, BLOBMSG_TYPE_UNSPEC, size);
    if (count >= 0) consume_members(attr, 0);
  }

  blob_attr *tb[kPolicyLen];
  blobmsg_parse(kPolicy, kPolicyLen, tb, buf, size);
  for (blob_attr *a : tb) {
    if (a) consume_value(a, 0);
  }
  blobmsg_parse_array(kPolicy, kPolicyLen, tb, buf, size);
  for (blob_attr *a : tb) {
    if (a) consume_value(a, 0);
  }

  blob_attr *plain[8];
  blob_parse_untrusted(attr, size, plain, kInfo, 8);
  for (int i = 1; i < 6; i++) {
    if (!plain[i]) continue;
    if (i == 1)
      sink += strlen(blob_get_string(plain[i]));
    else if (i == 2)
      sink += blob_get_u8(plain[i]);
    else if (i == 3)
      sink += blob_get_u16(plain[i]);
    else if (i == 4)
      sink += blob_get_u32(plain[i]);
    else
      sink += blob_get_u64(plain[i]);
  }

  free(buf);
  return 0;
}
