// SPDX-License-Identifier: ISC
// blob and blobmsg: the wire bytes peers exchange, every value type
// round-tripped, policy parsing, and hostile input refused without any
// out-of-bounds access (the sanitizer build checks the latter).

extern "C" {
#include <libubox/blobmsg.h>
}

#include <math.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

std::string hex(const void *p, size_t len) {
  static const char digits[] = "0123456789abcdef";
  const uint8_t *b = static_cast<const uint8_t *>(p);
  std::string out;
  for (size_t i = 0; i < len; i++) {
    if (i && i % 4 == 0) out += ' ';
    out += digits[b[i] >> 4];
    out += digits[b[i] & 15];
  }
  return out;
}

// A blob_buf released at the end of the scope.
struct Buf {
  blob_buf b = {};
  explicit Buf(int id = 0) { blob_buf_init(&b, id); }
  ~Buf() { blob_buf_free(&b); }
  blob_attr *head() const { return b.head; }
};

// Input copied into a heap block of exactly its size, so that the
// sanitizer sees any read past its end.
struct Exact {
  std::unique_ptr<uint8_t[]> mem;
  size_t len;
  explicit Exact(const Bytes &b) : mem(new uint8_t[b.size() ? b.size() : 1]), len(b.size()) {
    if (len) memcpy(mem.get(), b.data(), len);
  }
  blob_attr *attr() const { return reinterpret_cast<blob_attr *>(mem.get()); }
};

TEST(ubox_blobmsg, KnownMessageHasTheExactWireBytes) {
  Buf m;
  blobmsg_add_string(&m.b, "s", "hi");
  blobmsg_add_u32(&m.b, "n", 0x12345678);
  blobmsg_add_u8(&m.b, "b", true);
  blobmsg_add_u16(&m.b, "w", 0xbeef);
  blobmsg_add_u64(&m.b, "q", 0x0102030405060708ULL);
  blobmsg_add_double(&m.b, "d", 1.0);
  void *t = blobmsg_open_table(&m.b, "t");
  blobmsg_add_string(&m.b, "k", "v");
  blobmsg_close_table(&m.b, t);
  void *a = blobmsg_open_array(&m.b, "a");
  blobmsg_add_u8(&m.b, nullptr, 0);
  blobmsg_add_u8(&m.b, nullptr, 1);
  blobmsg_close_array(&m.b, a);

  // header: extended bit, type in bits 30..24, length with header;
  // name: 16-bit length, bytes, NUL, padded to 4; values big-endian
  const std::string expected =
      "00000088 "
      "8300000b 00017300 68690000 "           // "s": string "hi"
      "8500000c 00016e00 12345678 "           // "n": int32
      "87000009 00016200 01000000 "           // "b": bool true
      "8600000a 00017700 beef0000 "           // "w": int16
      "84000010 00017100 01020304 05060708 "  // "q": int64
      "88000010 00016400 3ff00000 00000000 "  // "d": double 1.0
      "82000014 00017400 "                    // "t": table of 20 bytes
      "8300000a 00016b00 76000000 "           //   "k": "v"
      "81000020 00016100 "                    // "a": array of 32 bytes
      "87000009 00000000 00000000 "           //   u8 0, no name
      "87000009 00000000 01000000";           //   u8 1, no name
  EXPECT_EQ(hex(m.head(), blob_raw_len(m.head())), expected);

  // plain blob attributes carry no name and no extended bit
  Buf plain;
  blob_put_u32(&plain.b, 5, 0xdeadbeef);
  blob_put_string(&plain.b, 6, "ab");
  EXPECT_EQ(hex(plain.head(), blob_raw_len(plain.head())),
            "00000014 05000008 deadbeef 06000007 61620000");
}

TEST(ubox_blobmsg, EveryTypeRoundTrips) {
  const double nan_value = NAN;
  Buf m;
  blobmsg_add_string(&m.b, "str", "text with\nnewline");
  blobmsg_add_string(&m.b, "empty", "");
  blobmsg_add_u8(&m.b, "true", true);
  blobmsg_add_u8(&m.b, "false", false);
  blobmsg_add_u8(&m.b, "u8", 0xff);
  blobmsg_add_u16(&m.b, "u16", 0xfffe);
  blobmsg_add_u32(&m.b, "u32", 0x80000001u);
  blobmsg_add_u32(&m.b, "neg32", (uint32_t)-2);
  blobmsg_add_u64(&m.b, "u64", 0xfedcba9876543210ULL);
  blobmsg_add_double(&m.b, "dbl", -1234.5e-10);
  blobmsg_add_double(&m.b, "inf", INFINITY);
  blobmsg_add_double(&m.b, "nan", nan_value);
  void *tbl = blobmsg_open_table(&m.b, "tbl");
  blobmsg_add_u32(&m.b, "inner", 99);
  blobmsg_close_table(&m.b, tbl);
  void *arr = blobmsg_open_array(&m.b, "arr");
  blobmsg_add_string(&m.b, nullptr, "x");
  blobmsg_add_string(&m.b, nullptr, "y");
  blobmsg_close_array(&m.b, arr);
  blobmsg_add_field(&m.b, BLOBMSG_TYPE_UNSPEC, "raw", "\x01\x02\x03", 3);

  enum { STR, EMPTY, TRUE_, FALSE_, U8, U16, U32, NEG32, U64, DBL, INF, NAN_, TBL, ARR, RAW, N };
  static const blobmsg_policy policy[N] = {
      {"str", BLOBMSG_TYPE_STRING}, {"empty", BLOBMSG_TYPE_STRING}, {"true", BLOBMSG_TYPE_BOOL},
      {"false", BLOBMSG_TYPE_BOOL}, {"u8", BLOBMSG_TYPE_INT8},      {"u16", BLOBMSG_TYPE_INT16},
      {"u32", BLOBMSG_TYPE_INT32},  {"neg32", BLOBMSG_TYPE_INT32},  {"u64", BLOBMSG_TYPE_INT64},
      {"dbl", BLOBMSG_TYPE_DOUBLE}, {"inf", BLOBMSG_TYPE_DOUBLE},   {"nan", BLOBMSG_TYPE_DOUBLE},
      {"tbl", BLOBMSG_TYPE_TABLE},  {"arr", BLOBMSG_TYPE_ARRAY},    {"raw", BLOBMSG_TYPE_UNSPEC},
  };
  blob_attr *tb[N];
  ASSERT_EQ(blobmsg_parse(policy, N, tb, blob_data(m.head()), blob_len(m.head())), 0);
  for (int i = 0; i < N; i++) ASSERT_NE(tb[i], nullptr) << policy[i].name;

  EXPECT_STREQ(blobmsg_get_string(tb[STR]), "text with\nnewline");
  EXPECT_STREQ(blobmsg_get_string(tb[EMPTY]), "");
  EXPECT_TRUE(blobmsg_get_bool(tb[TRUE_]));
  EXPECT_FALSE(blobmsg_get_bool(tb[FALSE_]));
  EXPECT_EQ(blobmsg_get_u8(tb[U8]), 0xff);
  EXPECT_EQ(blobmsg_get_u16(tb[U16]), 0xfffe);
  EXPECT_EQ(blobmsg_get_u32(tb[U32]), 0x80000001u);
  EXPECT_EQ((int32_t)blobmsg_get_u32(tb[NEG32]), -2);
  EXPECT_EQ(blobmsg_cast_s64(tb[NEG32]), -2);
  EXPECT_EQ(blobmsg_get_u64(tb[U64]), 0xfedcba9876543210ULL);
  EXPECT_EQ(blobmsg_get_double(tb[DBL]), -1234.5e-10);
  EXPECT_TRUE(isinf(blobmsg_get_double(tb[INF])));
  EXPECT_TRUE(isnan(blobmsg_get_double(tb[NAN_])));
  EXPECT_EQ(blobmsg_data_len(tb[RAW]), 3u);
  EXPECT_EQ(memcmp(blobmsg_data(tb[RAW]), "\x01\x02\x03", 3), 0);

  blob_attr *cur;
  size_t rem;
  std::string names;
  blobmsg_for_each_attr(cur, tb[TBL], rem) {
    names += blobmsg_name(cur);
    EXPECT_EQ(blobmsg_get_u32(cur), 99u);
  }
  EXPECT_EQ(names, "inner");

  std::string items;
  blobmsg_for_each_attr(cur, tb[ARR], rem) {
    EXPECT_STREQ(blobmsg_name(cur), "");
    items += blobmsg_get_string(cur);
  }
  EXPECT_EQ(items, "xy");
  EXPECT_EQ(blobmsg_check_array(tb[ARR], BLOBMSG_TYPE_STRING), 2);
  EXPECT_EQ(blobmsg_check_array(tb[ARR], BLOBMSG_TYPE_INT32), -1);
  EXPECT_EQ(blobmsg_check_array(tb[TBL], BLOBMSG_TYPE_UNSPEC), 1);

  // a copy compares equal, a changed copy does not
  blob_attr *copy = blob_memdup(tb[TBL]);
  ASSERT_NE(copy, nullptr);
  EXPECT_TRUE(blob_attr_equal(copy, tb[TBL]));
  blobmsg_for_each_attr(cur, copy, rem) static_cast<uint8_t *>(blobmsg_data(cur))[3] = 98;
  EXPECT_FALSE(blob_attr_equal(copy, tb[TBL]));
  free(copy);
}

TEST(ubox_blobmsg, PolicyMatching) {
  Buf m;
  blobmsg_add_string(&m.b, "name", "first");
  blobmsg_add_string(&m.b, "name", "second");
  blobmsg_add_u32(&m.b, "count", 7);
  blobmsg_add_u16(&m.b, "small", 9);
  blobmsg_add_string(&m.b, "names", "longer name");

  static const blobmsg_policy policy[] = {
      {"name", BLOBMSG_TYPE_STRING},   // the first of two wins
      {"count", BLOBMSG_TYPE_STRING},  // wrong type: not found
      {"small", BLOBMSG_CAST_INT64},   // any integer width
      {"nam", BLOBMSG_TYPE_STRING},    // a prefix is no match
      {nullptr, BLOBMSG_TYPE_STRING},  // unnamed entries are skipped
      {"count", BLOBMSG_TYPE_UNSPEC},  // any type
  };
  blob_attr *tb[6];
  ASSERT_EQ(blobmsg_parse(policy, 6, tb, blob_data(m.head()), blob_len(m.head())), 0);
  ASSERT_NE(tb[0], nullptr);
  EXPECT_STREQ(blobmsg_get_string(tb[0]), "first");
  EXPECT_EQ(tb[1], nullptr);
  ASSERT_NE(tb[2], nullptr);
  EXPECT_EQ(blobmsg_cast_u64(tb[2]), 9u);
  EXPECT_EQ(tb[3], nullptr);
  EXPECT_EQ(tb[4], nullptr);
  ASSERT_NE(tb[5], nullptr);
  EXPECT_EQ(blobmsg_get_u32(tb[5]), 7u);

  EXPECT_EQ(blobmsg_parse(policy, 6, tb, nullptr, 0), -EINVAL);
  for (blob_attr *a : tb) EXPECT_EQ(a, nullptr);

  // arrays are matched by position
  Buf arr;
  blobmsg_add_string(&arr.b, nullptr, "zero");
  blobmsg_add_u32(&arr.b, nullptr, 1);
  blobmsg_add_string(&arr.b, nullptr, "two");
  static const blobmsg_policy positional[] = {
      {"a", BLOBMSG_TYPE_STRING},
      {"b", BLOBMSG_TYPE_STRING},
      {"c", BLOBMSG_TYPE_STRING},
  };
  ASSERT_EQ(blobmsg_parse_array(positional, 3, tb, blob_data(arr.head()), blob_len(arr.head())), 0);
  EXPECT_STREQ(blobmsg_get_string(tb[0]), "zero");
  EXPECT_EQ(tb[1], nullptr);
  EXPECT_STREQ(blobmsg_get_string(tb[2]), "two");
}

TEST(ubox_blob, PlainAttributesWithInfoPolicy) {
  Buf m;
  blob_put_u8(&m.b, 1, 0x11);
  blob_put_u16(&m.b, 2, 0x2222);
  blob_put_u32(&m.b, 3, 0x33333333);
  blob_put_u64(&m.b, 4, 0x4444444444444444ULL);
  blob_put_string(&m.b, 5, "five");
  blob_put(&m.b, 6, "\x01\x02", 2);      // exact size for its 16-bit slot
  blob_put(&m.b, 7, "\x01\x02\x03", 3);  // 3 bytes for a 32-bit slot
  blob_put(&m.b, 8, "abc", 3);           // string without NUL
  void *nest = blob_nest_start(&m.b, 9);
  blob_put_u32(&m.b, 1, 77);
  blob_nest_end(&m.b, nest);
  blob_put_u8(&m.b, 40, 1);  // beyond max: ignored

  static const blob_attr_info info[10] = {
      {},
      {BLOB_ATTR_INT8, 0, 0, nullptr},
      {BLOB_ATTR_INT16, 0, 0, nullptr},
      {BLOB_ATTR_INT32, 0, 0, nullptr},
      {BLOB_ATTR_INT64, 0, 0, nullptr},
      {BLOB_ATTR_STRING, 0, 0, nullptr},
      {BLOB_ATTR_INT16, 0, 0, nullptr},
      {BLOB_ATTR_INT32, 0, 0, nullptr},
      {BLOB_ATTR_STRING, 0, 0, nullptr},
      {BLOB_ATTR_NESTED, 4, 8, nullptr},
  };
  blob_attr *tb[10];
  EXPECT_EQ(blob_parse(m.head(), tb, info, 10), 7);
  EXPECT_EQ(blob_get_u8(tb[1]), 0x11);
  EXPECT_EQ(blob_get_u16(tb[2]), 0x2222);
  EXPECT_EQ(blob_get_u32(tb[3]), 0x33333333u);
  EXPECT_EQ(blob_get_u64(tb[4]), 0x4444444444444444ULL);
  EXPECT_STREQ(blob_get_string(tb[5]), "five");
  EXPECT_NE(tb[6], nullptr);
  EXPECT_EQ(tb[7], nullptr);
  EXPECT_EQ(tb[8], nullptr);
  ASSERT_NE(tb[9], nullptr);

  blob_attr *inner[2];
  EXPECT_EQ(blob_parse(tb[9], inner, nullptr, 2), 1);
  EXPECT_EQ(blob_get_u32(inner[1]), 77u);

  // the untrusted entry point checks the outer length against the bytes
  // that are there
  EXPECT_EQ(blob_parse_untrusted(m.head(), blob_raw_len(m.head()), tb, info, 10), 7);
  EXPECT_EQ(blob_parse_untrusted(m.head(), blob_raw_len(m.head()) - 1, tb, info, 10), 0);
  EXPECT_EQ(blob_parse_untrusted(m.head(), 3, tb, info, 10), 0);
}

TEST(ubox_blobmsg, BuffersGrowAndStringBuffers) {
  Buf m;
  std::string big(300000, 'z');
  for (int i = 0; i < 2000; i++) ASSERT_EQ(blobmsg_add_u32(&m.b, "i", i), 0);
  ASSERT_EQ(blobmsg_add_string(&m.b, "big", big.c_str()), 0);

  char *sb = static_cast<char *>(blobmsg_alloc_string_buffer(&m.b, "sb", 5));
  ASSERT_NE(sb, nullptr);
  strcpy(sb, "12345");
  sb = static_cast<char *>(blobmsg_realloc_string_buffer(&m.b, 5000));
  ASSERT_NE(sb, nullptr);
  memset(sb + 5, 'x', 4995);
  sb[5000] = 0;
  blobmsg_add_string_buffer(&m.b);
  ASSERT_GE(blobmsg_printf(&m.b, "pf", "%d-%s-%0300d", 42, "abc", 7), 0);
  blobmsg_add_u32(&m.b, "after", 1);

  int count = 0;
  blob_attr *cur;
  size_t rem;
  std::string sb_value, pf_value, big_value;
  blob_for_each_attr(cur, m.head(), rem) {
    ASSERT_TRUE(blobmsg_check_attr(cur, true)) << "attribute " << count;
    std::string name = blobmsg_name(cur);
    if (name == "i")
      EXPECT_EQ(blobmsg_get_u32(cur), (uint32_t)count);
    else if (name == "big")
      big_value = blobmsg_get_string(cur);
    else if (name == "sb")
      sb_value = blobmsg_get_string(cur);
    else if (name == "pf")
      pf_value = blobmsg_get_string(cur);
    count++;
  }
  EXPECT_EQ(count, 2004);
  EXPECT_EQ(big_value, big);
  EXPECT_EQ(sb_value, "12345" + std::string(4995, 'x'));
  EXPECT_EQ(pf_value, "42-abc-" + std::string(299, '0') + "7");

  // the 24-bit length field bounds a message: growing past it fails
  // cleanly and leaves what was built intact
  std::string huge(1 << 23, 'h');
  Buf limit(BLOBMSG_TYPE_TABLE);
  EXPECT_EQ(blobmsg_add_string(&limit.b, "a", huge.c_str()), 0);
  EXPECT_EQ(blobmsg_add_string(&limit.b, "b", huge.c_str()), -1);
  EXPECT_EQ(blobmsg_add_u8(&limit.b, "c", 1), 0);
  EXPECT_TRUE(blobmsg_check_attr(limit.head(), false));
}

Bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

void append(Bytes &out, const Bytes &more) {
  // element by element: GCC 12 at -O2 misreads range inserts here
  for (uint8_t b : more) out.push_back(b);
}

// One blobmsg attribute with a name; len_adjust shifts the length field.
Bytes attr(int type, const std::string &name, const Bytes &value, int len_adjust = 0) {
  Bytes hdr = {uint8_t(name.size() >> 8), uint8_t(name.size())};
  for (char c : name) hdr.push_back((uint8_t)c);
  hdr.push_back(0);
  while (hdr.size() % 4) hdr.push_back(0);
  uint32_t len = 4 + hdr.size() + value.size() + len_adjust;
  Bytes out = be32(BLOB_ATTR_EXTENDED | (uint32_t(type) << 24) | len);
  append(out, hdr);
  append(out, value);
  while (out.size() % 4) out.push_back(0);
  return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) append(out, p);
  return out;
}

Bytes nested(int depth) {
  Bytes b = attr(BLOBMSG_TYPE_INT8, "v", {1});
  for (int i = 0; i < depth; i++) b = attr(BLOBMSG_TYPE_TABLE, "t", b);
  return b;
}

TEST(ubox_blobmsg, HostileInputIsRejected) {
  struct Case {
    const char *what;
    Bytes bytes;
    bool valid;
  };
  const Bytes name_without_nul = {0x83, 0, 0, 12, 0, 4, 'a', 'b', 'c', 'd', 'e', 'f'};
  const Bytes plain_in_table = {0x07, 0, 0, 5, 1, 0, 0, 0};  // int8 without name header
  const std::vector<Case> cases = {
      {"well-formed string", attr(BLOBMSG_TYPE_STRING, "s", {'o', 'k', 0}), true},
      {"length below the header", be32(BLOB_ATTR_EXTENDED | (3u << 24) | 2), false},
      {"length past the end", attr(BLOBMSG_TYPE_STRING, "s", {'o', 'k', 0}, 8), false},
      {"no room for the name header",
       cat({be32(BLOB_ATTR_EXTENDED | (3u << 24) | 5), {0, 0, 0, 0}}), false},
      {"name length past the end",
       cat({be32(BLOB_ATTR_EXTENDED | (3u << 24) | 8), {0x01, 0x00, 'a', 0}}), false},
      {"name without NUL", name_without_nul, false},
      {"empty name where one is required", attr(BLOBMSG_TYPE_STRING, "", {0}), false},
      {"string without NUL", attr(BLOBMSG_TYPE_STRING, "s", {'a', 'b'}), false},
      {"string with no bytes", attr(BLOBMSG_TYPE_STRING, "s", {}), false},
      {"int8 of 2 bytes", attr(BLOBMSG_TYPE_INT8, "i", {1, 2}), false},
      {"int16 of 1 byte", attr(BLOBMSG_TYPE_INT16, "i", {1}), false},
      {"int32 of 3 bytes", attr(BLOBMSG_TYPE_INT32, "i", {1, 2, 3}), false},
      {"int32 of 5 bytes", attr(BLOBMSG_TYPE_INT32, "i", {1, 2, 3, 4, 5}), false},
      {"int64 of 7 bytes", attr(BLOBMSG_TYPE_INT64, "i", Bytes(7, 1)), false},
      {"double of 4 bytes", attr(BLOBMSG_TYPE_DOUBLE, "d", Bytes(4, 1)), false},
      {"unknown type", attr(9, "x", {0}), false},
      {"highest id", attr(0x7f, "x", {0}), false},
      {"table member past the table's end",
       attr(BLOBMSG_TYPE_TABLE, "t", attr(BLOBMSG_TYPE_INT8, "v", {1}, 16)), false},
      {"table member with a bad value",
       attr(BLOBMSG_TYPE_TABLE, "t", attr(BLOBMSG_TYPE_INT32, "v", {1})), false},
      {"table member without a name",
       attr(BLOBMSG_TYPE_TABLE, "t", attr(BLOBMSG_TYPE_INT8, "", {1})), false},
      {"plain attribute inside a table", attr(BLOBMSG_TYPE_TABLE, "t", plain_in_table), false},
      {"trailing bytes in a table",
       attr(BLOBMSG_TYPE_TABLE, "t", cat({attr(BLOBMSG_TYPE_INT8, "v", {1}), {0, 0}})), false},
      {"array of unnamed members",
       attr(BLOBMSG_TYPE_ARRAY, "a",
            cat({attr(BLOBMSG_TYPE_INT8, "", {1}), attr(BLOBMSG_TYPE_INT8, "", {2})})),
       true},
      {"array member with bad string",
       attr(BLOBMSG_TYPE_ARRAY, "a", attr(BLOBMSG_TYPE_STRING, "", {'x'})), false},
      {"nesting 30 deep", nested(30), true},
      {"nesting 1000 deep", nested(1000), false},
  };

  for (const Case &c : cases) {
    Exact in(c.bytes);
    EXPECT_EQ(blobmsg_check_attr_len(in.attr(), true, in.len), c.valid) << c.what;
    if (in.len >= 4 && blob_raw_len(in.attr()) <= in.len) {
      EXPECT_EQ(blobmsg_check_attr(in.attr(), true), c.valid) << c.what;
    }

    // the same attribute inside a message: parsing fails or leaves
    // the slot empty, never hands out an invalid attribute
    static const blobmsg_policy any[] = {
        {"s", BLOBMSG_TYPE_UNSPEC}, {"i", BLOBMSG_TYPE_UNSPEC}, {"d", BLOBMSG_TYPE_UNSPEC},
        {"x", BLOBMSG_TYPE_UNSPEC}, {"t", BLOBMSG_TYPE_UNSPEC}, {"a", BLOBMSG_TYPE_UNSPEC},
    };
    blob_attr *tb[6];
    blobmsg_parse(any, 6, tb, in.mem.get(), in.len);
    int found = 0;
    for (blob_attr *a : tb) {
      if (!a) continue;
      found++;
      EXPECT_TRUE(blobmsg_check_attr_len(a, true, in.len)) << c.what;
    }
    EXPECT_EQ(found, c.valid ? 1 : 0) << c.what;
  }

  // a length that fits the attribute's own claim but not the bytes given
  Exact cut(attr(BLOBMSG_TYPE_STRING, "s", {'o', 'k', 0}));
  EXPECT_FALSE(blobmsg_check_attr_len(cut.attr(), true, cut.len - 4));
  EXPECT_EQ(blobmsg_check_array_len(cut.attr(), BLOBMSG_TYPE_UNSPEC, cut.len), -1);
}

TEST(ubox_blobmsg, ParseRefusesMalformedMatches) {
  // a good "a" followed by a malformed "b": "a" is still usable, "b" is
  // never handed out
  Exact in(cat({attr(BLOBMSG_TYPE_INT32, "a", be32(5)), attr(BLOBMSG_TYPE_INT32, "b", {1, 2})}));
  static const blobmsg_policy policy[] = {
      {"a", BLOBMSG_TYPE_INT32},
      {"b", BLOBMSG_TYPE_INT32},
  };
  blob_attr *tb[2];
  EXPECT_EQ(blobmsg_parse(policy, 2, tb, in.mem.get(), in.len), -1);
  ASSERT_NE(tb[0], nullptr);
  EXPECT_EQ(blobmsg_get_u32(tb[0]), 5u);
  EXPECT_EQ(tb[1], nullptr);

  // a truncated last attribute is not looked at
  Bytes full =
      cat({attr(BLOBMSG_TYPE_INT32, "a", be32(5)), attr(BLOBMSG_TYPE_STRING, "b", {'x', 0})});
  full.resize(full.size() - 2);
  Exact truncated(full);
  EXPECT_EQ(blobmsg_parse(policy, 2, tb, truncated.mem.get(), truncated.len), 0);
  EXPECT_NE(tb[0], nullptr);
  EXPECT_EQ(tb[1], nullptr);
}

}  // namespace
