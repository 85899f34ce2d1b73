// SPDX-License-Identifier: ISC
// Path segments made from "keys" elements, and the requester address
// taken from a context name.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <random>
#include <string>

extern "C" {
#include <libubox/blobmsg.h>
}

#include "device.h"
#include "mib.h"

namespace {

struct Key {
  const char *what;
  int type;
  std::string text;
  int64_t integer;
  double real;
  const char *expected;
};

// Adds `key` as an array element and returns it.
blob_attr *add_key(blob_buf *buf, const Key &key) {
  blob_buf_init(buf, 0);
  switch (key.type) {
    case BLOBMSG_TYPE_STRING:
      blobmsg_add_string(buf, "", key.text.c_str());
      break;
    case BLOBMSG_TYPE_INT64:
      blobmsg_add_u64(buf, "", static_cast<uint64_t>(key.integer));
      break;
    case BLOBMSG_TYPE_INT32:
      blobmsg_add_u32(buf, "", static_cast<uint32_t>(key.integer));
      break;
    case BLOBMSG_TYPE_INT16:
      blobmsg_add_u16(buf, "", static_cast<uint16_t>(key.integer));
      break;
    case BLOBMSG_TYPE_BOOL:
      blobmsg_add_u8(buf, "", static_cast<uint8_t>(key.integer));
      break;
    case BLOBMSG_TYPE_DOUBLE:
      blobmsg_add_double(buf, "", key.real);
      break;
    default:
      blobmsg_close_table(buf, blobmsg_open_table(buf, ""));
      break;
  }
  return static_cast<blob_attr *>(blob_data(buf->head));
}

std::string encode(const blob_attr *key, size_t room, int *len) {
  std::string out(room, '\xAA');
  *len = encode_key_segment(out.data(), room, key);
  return *len >= 0 ? std::string(out.c_str()) : std::string();
}

TEST(eoagent_keys, segments_by_type) {
  const Key keys[] = {
      {"int32 3", BLOBMSG_TYPE_INT32, "", 3, 0, "#3"},
      {"negative int32", BLOBMSG_TYPE_INT32, "", -17, 0, "#-17"},
      {"string with a full stop", BLOBMSG_TYPE_STRING, "A.1", 0, 0, "A=2E1"},
      {"empty string", BLOBMSG_TYPE_STRING, "", 0, 0, "="},
      {"characters kept as they are", BLOBMSG_TYPE_STRING, "az,AZ-09@_", 0, 0, "az,AZ-09@_"},
      {"escapes in upper case", BLOBMSG_TYPE_STRING, "a b/=\x7f\xff", 0, 0, "a=20b=2F=3D=7F=FF"},
      {"utf-8 bytes", BLOBMSG_TYPE_STRING, "\xc3\xbc", 0, 0, "=C3=BC"},
      {"true", BLOBMSG_TYPE_BOOL, "", 1, 0, "#t"},
      {"false", BLOBMSG_TYPE_BOOL, "", 0, 0, "#f"},
      {"non-zero byte is true", BLOBMSG_TYPE_BOOL, "", 7, 0, "#t"},
      {"int64 read as unsigned", BLOBMSG_TYPE_INT64, "", -1, 0, "#18446744073709551615"},
      {"int64", BLOBMSG_TYPE_INT64, "", 10000000000LL, 0, "#10000000000"},
      {"int16 read as unsigned", BLOBMSG_TYPE_INT16, "", 65000, 0, "#65000"},
      {"double", BLOBMSG_TYPE_DOUBLE, "", 0, 0.5, "#0=2E5"},
      {"double, full precision", BLOBMSG_TYPE_DOUBLE, "", 0, 0.1, "#0=2E10000000000000001"},
      {"double with exponent", BLOBMSG_TYPE_DOUBLE, "", 0, -1e22, "#-1e=2B22"},
      {"table", BLOBMSG_TYPE_TABLE, "", 0, 0, ""},
  };
  for (const Key &key : keys) {
    blob_buf buf{};
    blob_attr *attr = add_key(&buf, key);
    size_t bound = key_segment_size(attr);
    int len;
    std::string segment = encode(attr, bound + 1, &len);
    EXPECT_EQ(key.expected, segment) << key.what;
    EXPECT_EQ(static_cast<int>(segment.size()), len) << key.what;
    EXPECT_LE(segment.size(), bound) << key.what;
    blob_buf_free(&buf);
  }
}

TEST(eoagent_keys, size_bounds_by_type) {
  const Key keys[] = {
      {"string", BLOBMSG_TYPE_STRING, "abcd", 0, 0, "12"},
      {"empty string", BLOBMSG_TYPE_STRING, "", 0, 0, "1"},
      {"int64", BLOBMSG_TYPE_INT64, "", 1, 0, "96"},
      {"int32", BLOBMSG_TYPE_INT32, "", 1, 0, "96"},
      {"int16", BLOBMSG_TYPE_INT16, "", 1, 0, "96"},
      {"double", BLOBMSG_TYPE_DOUBLE, "", 0, 1, "96"},
      {"bool", BLOBMSG_TYPE_BOOL, "", 1, 0, "2"},
      {"table", BLOBMSG_TYPE_TABLE, "", 0, 0, "0"},
  };
  for (const Key &key : keys) {
    blob_buf buf{};
    EXPECT_EQ(strtoul(key.expected, nullptr, 10), key_segment_size(add_key(&buf, key))) << key.what;
    blob_buf_free(&buf);
  }
}

// Whatever the bytes, the encoding fits its bound and refuses a buffer
// one byte too small instead of overrunning it.
TEST(eoagent_keys, random_strings_fit_their_bound) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 2000; ++round) {
    std::string text(rng() % 40 + 1, ' ');
    for (char &c : text) c = static_cast<char>(rng() % 255 + 1);
    Key key{"random", BLOBMSG_TYPE_STRING, text, 0, 0, ""};
    blob_buf buf{};
    blob_attr *attr = add_key(&buf, key);
    int len;
    std::string segment = encode(attr, key_segment_size(attr) + 1, &len);
    ASSERT_GE(len, 0) << text;
    for (char c : segment)
      ASSERT_TRUE(isalnum(static_cast<unsigned char>(c)) || strchr(",-@_=ABCDEF", c)) << segment;
    std::string tight(len, '\xAA');  // no room for the terminating zero
    EXPECT_EQ(-1, encode_key_segment(tight.data(), tight.size(), attr)) << text;
    blob_buf_free(&buf);
  }
}

TEST(eoagent_keys, requester_address_from_context_name) {
  const struct {
    const char *context;
    const char *address;  // null: none
  } cases[] = {
      {"switch[192.0.2.7]:161", "192.0.2.7"},
      {"[2001:db8::1]", "2001:db8::1"},
      {"a[b]c[d]", "b"},
      {"x[]", ""},
      {"no brackets", nullptr},
      {"open[192.0.2.7", nullptr},
      {"]reversed[", nullptr},
      {"", nullptr},
  };
  for (const auto &c : cases) {
    char *address = requester_from_context(c.context, strlen(c.context));
    if (c.address) {
      ASSERT_NE(nullptr, address) << c.context;
      EXPECT_STREQ(c.address, address) << c.context;
    } else {
      EXPECT_EQ(nullptr, address) << c.context << " gave " << address;
    }
    free(address);
  }
  // the name is bounded by its length, not by a terminating zero
  const char unterminated[] = {'[', '1', ']', '[', '2'};
  char *address = requester_from_context(unterminated, 2);
  EXPECT_EQ(nullptr, address);
  free(address);
}

}  // namespace
