// SPDX-License-Identifier: ISC
// Header names reach the method upper-cased whatever letters they hold, and
// repeated headers are joined into one value, in the order sent.
#include <algorithm>
#include <string>
#include <vector>

#include "gate_fixture.h"

namespace {

using gate::GateTest;

TEST_F(GateTest, EveryLetterOfAHeaderNameIsUpperCased) {
  struct header_case {
    const char *lines;
    const char *name;
    const char *want;
  };
  const header_case cases[] = {
      {"x-zone: 1\r\nX-ZONE: 2\r\n", "X-ZONE", "s:1,2"},
      {"abcdefghijklmnopqrstuvwxyz: all\r\n", "ABCDEFGHIJKLMNOPQRSTUVWXYZ", "s:all"},
      {"Authorization: a\r\n", "AUTHORIZATION", "s:a"},
      {"x-a: 1\r\nx-b: 2\r\nx-a: 3\r\nX-A: 4\r\n", "X-A", "s:1,3,4"},
  };

  for (const header_case &c : cases) {
    SCOPED_TRACE(c.lines);
    raw_exchange(std::string("GET /p/x HTTP/1.1\r\nConnection: close\r\n") + c.lines + "\r\n");
    gate::LastCall call = last();
    ASSERT_TRUE(call.message);
    EXPECT_EQ(gate::header_value(call.message.get(), c.name), c.want);

    std::vector<std::string> names = gate::header_names(call.message.get());
    for (const std::string &n : names) {
      EXPECT_EQ(n.find_first_of("abcdefghijklmnopqrstuvwxyz"), std::string::npos) << n;
      EXPECT_EQ(std::count(names.begin(), names.end(), n), 1) << n << " appears twice";
    }
  }
}

}  // namespace
