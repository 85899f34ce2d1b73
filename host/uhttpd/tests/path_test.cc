// SPDX-License-Identifier: ISC
// The path remainder handed to handlers: what is rewritten, what is refused.
#include <gtest/gtest.h>

#include <string>

#include "../server.h"

namespace {

struct path_case {
  const char *in;
  const char *out;  // nullptr: rejected
};

TEST(UhttpdPath, RewritesOrRejects) {
  const path_case cases[] = {
      {"", ""},
      {"/", "/"},
      {"/x", "/x"},
      {"/a/b/", "/a/b/"},
      {"//a///b", "/a/b"},
      {"/a/./b", "/a/b"},
      {"/a/%2e/b", "/a/b"},
      {"/./", "/"},
      {"/a/..", nullptr},
      {"/../etc/passwd", nullptr},
      {"/a/%2e%2E/b", nullptr},
      {"/a/.%2e", nullptr},
      {"/a/.../b", nullptr},
      {"/a%00b", nullptr},
      {"/a..b/c", "/a..b/c"},
      {"/..a", "/..a"},
  };

  for (const path_case &c : cases) {
    std::string buf = c.in;
    int ret = uh::check_path_info(buf.data());
    if (!c.out) {
      EXPECT_LT(ret, 0) << "path \"" << c.in << "\" accepted as \"" << buf.c_str() << "\"";
      continue;
    }
    ASSERT_GE(ret, 0) << "path \"" << c.in << "\" rejected, expected \"" << c.out << "\"";
    EXPECT_STREQ(buf.c_str(), c.out) << "path \"" << c.in << "\"";
    EXPECT_EQ(ret, static_cast<int>(strlen(c.out)));
  }
}

}  // namespace
