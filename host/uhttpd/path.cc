// SPDX-License-Identifier: ISC
// The path remainder a handler receives: "." segments and repeated slashes
// go away; a ".." segment or an encoded NUL rejects the whole path, so no
// handler is ever asked for something outside its prefix.
#include <string.h>
#include <strings.h>

#include <string_view>

#include "server.h"

namespace uh {
namespace {

// A segment that spells only dots, literally or as %2e; returns their count
// (0 when the segment holds anything else).
int dot_count(std::string_view seg) {
  int dots = 0;

  while (!seg.empty()) {
    if (seg[0] == '.') {
      seg.remove_prefix(1);
    } else if (seg.size() >= 3 && seg[0] == '%' && seg[1] == '2' &&
               (seg[2] == 'e' || seg[2] == 'E')) {
      seg.remove_prefix(3);
    } else {
      return 0;
    }
    dots++;
  }
  return dots;
}

}  // namespace

int check_path_info(char *path) {
  if (strstr(path, "%00")) return -1;

  size_t len = strlen(path);
  bool trailing_slash = len && path[len - 1] == '/';
  char *out = path;
  const char *in = path;

  while (*in) {
    if (*in == '/') {
      in++;
      continue;
    }

    const char *end = strchr(in, '/');
    if (!end) end = in + strlen(in);
    std::string_view seg(in, static_cast<size_t>(end - in));
    int dots = dot_count(seg);
    if (dots >= 2) return -1;
    if (dots == 0) {
      *out++ = '/';
      memmove(out, seg.data(), seg.size());
      out += seg.size();
    }
    in = end;
  }

  // keep a trailing slash: "/dir/" and "/dir" may differ to a handler
  if (trailing_slash && (out == path || out[-1] != '/')) *out++ = '/';
  *out = 0;
  return static_cast<int>(out - path);
}

}  // namespace uh
