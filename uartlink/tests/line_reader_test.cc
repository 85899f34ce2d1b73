// SPDX-License-Identifier: ISC
#include "line_reader.h"

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace uartlink;

namespace {

struct Event {
  std::string name;
  std::string line;
  bool operator==(const Event& o) const { return name == o.name && line == o.line; }
};

void PrintTo(const Event& e, std::ostream* os) {
  *os << "{" << e.name << ", \"";
  for (unsigned char c : e.line) {
    if (c >= 0x20 && c < 0x7f) {
      *os << c;
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      *os << hex;
    }
  }
  *os << "\"}";
}

void collect(void* ctx, const char* event, const char* line) {
  static_cast<std::vector<Event>*>(ctx)->push_back({event, line});
}

// Feeds each chunk as one read, as the terminal would deliver it.
std::vector<Event> feed(line_buffer& b, const std::vector<std::string>& chunks) {
  std::vector<Event> events;
  for (const auto& chunk : chunks) {
    size_t off = 0;
    while (off < chunk.size()) {
      int n = std::min<int>(free_room(b), static_cast<int>(chunk.size() - off));
      memcpy(free_space(b), chunk.data() + off, n);
      take_bytes(b, n, collect, &events);
      off += n;
    }
  }
  return events;
}

std::vector<Event> feed(const std::vector<std::string>& chunks) {
  line_buffer b;
  return feed(b, chunks);
}

const Event recv(std::string line) { return {kRecvEvent, std::move(line)}; }
const Event frag(std::string line) { return {kFragmentEvent, std::move(line)}; }

struct Case {
  const char* what;
  std::vector<std::string> chunks;
  std::vector<Event> events;
};

TEST(LineReader, PublishesLinesAsTheTerminalMarksThem) {
  using namespace std::string_literals;
  const Case cases[] = {
      {"CR LF ends one line", {"abc\r\n"}, {recv("abc")}},
      {"split across reads", {"ab", "c\n"}, {recv("abc")}},
      {"several lines in one read",
       {"one\ntwo\rthree\r\n"},
       {recv("one"), recv("two"), recv("three")}},
      {"CR and LF in separate reads", {"one\r", "\ntwo\r", "\n"}, {recv("one"), recv("two")}},
      {"empty lines publish nothing", {"\r\n\n\r"}, {}},
      {"no line end, no event", {"pending"}, {}},
      {"doubled 0xFF is one data byte",
       {"a\xff\xff"
        "b\n"},
       {recv("a\xff"
             "b")}},
      {"doubled 0xFF split between reads",
       {"a\xff",
        "\xff"
        "b\n"},
       {recv("a\xff"
             "b")}},
      {"break",
       {"a\xff\x00\x00"
        "b\n"s},
       {frag("a"), frag("")}},
      {"framing error keeps the received byte",
       {"ab\xff\x00"
        "cd\n"s},
       {frag("ab"), frag("cd")}},
      {"fragment flag clears after a line end",
       {"x\xff\x00"
        "y\nz\n"s},
       {frag("x"), frag("y"), recv("z")}},
      {"marker at the start gives an empty fragment",
       {"\xff\x00"
        "q\n"s},
       {frag(""), frag("q")}},
      {"marker split after 0xFF",
       {"a\xff",
        "\x00"
        "b\n"s},
       {frag("a"), frag("b")}},
      {"marker split after 0x00", {"a\xff\x00"s, "b\n"}, {frag("a"), frag("b")}},
      {"0xFF before another byte marks a fragment",
       {"a\xff"
        "b\n"},
       {frag("a\xff"
             "b")}},
      {"NUL inside a line cuts the published text", {"ab\0cd\n"s}, {recv("ab")}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(feed(c.chunks), c.events) << c.what;
  }
}

TEST(LineReader, LineLongerThanTheBufferLosesItsFirstKilobyte) {
  std::string head(kReceiveCapacity, 'h');
  auto events = feed({head + "tail\n"});
  EXPECT_EQ(events, std::vector<Event>{recv("tail")});

  // the same when the bytes come one read at a time
  line_buffer b;
  std::vector<std::string> bytes;
  for (char c : head + "tail\n") bytes.emplace_back(1, c);
  EXPECT_EQ(feed(b, bytes), std::vector<Event>{recv("tail")});
}

TEST(LineReader, BufferReusedAfterManyLines) {
  line_buffer b;
  std::vector<Event> expected;
  std::vector<std::string> chunks;
  for (int i = 0; i < 500; ++i) {
    std::string line = "line-" + std::to_string(i);
    expected.push_back(recv(line));
    chunks.push_back(line + "\r");
    chunks.push_back("\n");
  }
  EXPECT_EQ(feed(b, chunks), expected);
  EXPECT_EQ(b.fill, 0);
}

TEST(LineReader, LastByteMarkerWaitsForTheNextRead) {
  // 0xFF is the last byte held: the reader must not look at bytes that have
  // not arrived (the free space holds stale data here on purpose).
  line_buffer b;
  memset(b.data, 0, sizeof b.data);
  std::vector<Event> events;
  memcpy(free_space(b), "ab\xff", 3);
  take_bytes(b, 3, collect, &events);
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(b.fill, 3);
  EXPECT_EQ(b.fragment, false) << "a lone trailing 0xFF must not be judged yet";
  memcpy(free_space(b),
         "\xff"
         "c\n",
         3);
  take_bytes(b, 3, collect, &events);
  EXPECT_EQ(events, std::vector<Event>{recv("ab\xff"
                                            "c")});
}

TEST(LineReader, FullBufferEndingInMarkerKeepsTheMarker) {
  line_buffer b;
  std::string filler(kReceiveCapacity - 1, 'f');
  auto events = feed(b, {filler + "\xff",
                         "\xff"
                         "z\n"});
  // the filler is dropped; the doubled 0xFF still reads as one data byte
  EXPECT_EQ(events, std::vector<Event>{recv("\xff"
                                            "z")});
}

}  // namespace
