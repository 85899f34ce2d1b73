// SPDX-License-Identifier: ISC
extern "C" {
#include <libubox/utils.h>
}

#include <stdarg.h>
#include <stdlib.h>

namespace {

constexpr size_t kAlign = sizeof(void *);

size_t align_up(size_t len) { return (len + kAlign - 1) & ~(kAlign - 1); }

}  // namespace

void *__calloc_a(size_t len, ...) {
  va_list ap;
  size_t total = align_up(len);

  va_start(ap, len);
  while (va_arg(ap, void **) != nullptr) total += align_up(va_arg(ap, size_t));
  va_end(ap);

  char *block = static_cast<char *>(calloc(1, total));
  if (!block) return nullptr;

  size_t offset = align_up(len);
  va_start(ap, len);
  void **area;
  while ((area = va_arg(ap, void **)) != nullptr) {
    *area = block + offset;
    offset += align_up(va_arg(ap, size_t));
  }
  va_end(ap);
  return block;
}
