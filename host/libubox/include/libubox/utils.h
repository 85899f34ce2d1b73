// SPDX-License-Identifier: ISC
/*
 * Small helpers shared by the libubox headers: member-to-container
 * conversion, array sizes, byte order and grouped allocations.
 */
#ifndef LIBUBOX_UTILS_H
#define LIBUBOX_UTILS_H

#include <stddef.h>
#include <stdint.h>
#include <stdbool.h>

#ifndef ARRAY_SIZE
#define ARRAY_SIZE(arr) (sizeof(arr) / sizeof((arr)[0]))
#endif

#ifndef container_of
#define container_of(ptr, type, member) ((type *)((char *)(ptr)-offsetof(type, member)))
#endif

#ifndef __packed
#define __packed __attribute__((packed))
#endif

#ifndef BUILD_BUG_ON
#define BUILD_BUG_ON(condition) ((void)sizeof(char[1 - 2 * !!(condition)]))
#endif

#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define cpu_to_be64(x) ((uint64_t)(x))
#define cpu_to_be32(x) ((uint32_t)(x))
#define cpu_to_be16(x) ((uint16_t)(x))
#define cpu_to_le64(x) __builtin_bswap64(x)
#define cpu_to_le32(x) __builtin_bswap32(x)
#define cpu_to_le16(x) __builtin_bswap16(x)
#else
#define cpu_to_be64(x) __builtin_bswap64(x)
#define cpu_to_be32(x) __builtin_bswap32(x)
#define cpu_to_be16(x) __builtin_bswap16(x)
#define cpu_to_le64(x) ((uint64_t)(x))
#define cpu_to_le32(x) ((uint32_t)(x))
#define cpu_to_le16(x) ((uint16_t)(x))
#endif

#define be64_to_cpu(x) cpu_to_be64(x)
#define be32_to_cpu(x) cpu_to_be32(x)
#define be16_to_cpu(x) cpu_to_be16(x)
#define le64_to_cpu(x) cpu_to_le64(x)
#define le32_to_cpu(x) cpu_to_le32(x)
#define le16_to_cpu(x) cpu_to_le16(x)

/*
 * calloc_a(len, &ptr1, len1, &ptr2, len2, ...): one zeroed allocation of
 * len bytes followed by each further area, every area aligned to a
 * pointer; the extra pointers are set into the block. Free the result once.
 */
void *__calloc_a(size_t len, ...);
#define calloc_a(len, ...) __calloc_a(len, ##__VA_ARGS__, NULL)

#endif
