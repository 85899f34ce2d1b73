// SPDX-License-Identifier: ISC
/* Preloaded into the target's programs under qemu-user, whose ioctl
 * translation has no TCGETS2/TCSETS2 (it answers ENOSYS). Only then are the
 * two carried out with TCGETS/TCSETS, which it does translate: the speeds
 * travel as the standard Bnnn codes in c_cflag, as the kernel itself stores
 * them for those rates; any other rate is refused with EINVAL. With a kernel
 * that knows termios2 the calls pass through unchanged. */
#define _GNU_SOURCE
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <errno.h>
#include <stdarg.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

static const struct {
  tcflag_t code;
  speed_t rate;
} rates[] = {
    {B0, 0},
    {B50, 50},
    {B75, 75},
    {B110, 110},
    {B134, 134},
    {B150, 150},
    {B200, 200},
    {B300, 300},
    {B600, 600},
    {B1200, 1200},
    {B1800, 1800},
    {B2400, 2400},
    {B4800, 4800},
    {B9600, 9600},
    {B19200, 19200},
    {B38400, 38400},
    {B57600, 57600},
    {B115200, 115200},
    {B230400, 230400},
    {B460800, 460800},
    {B500000, 500000},
    {B576000, 576000},
    {B921600, 921600},
    {B1000000, 1000000},
    {B1152000, 1152000},
    {B1500000, 1500000},
    {B2000000, 2000000},
    {B2500000, 2500000},
    {B3000000, 3000000},
    {B3500000, 3500000},
    {B4000000, 4000000},
};
#define RATES (sizeof rates / sizeof rates[0])

static speed_t rate_of(tcflag_t code) {
  for (unsigned i = 0; i < RATES; i++)
    if (rates[i].code == code) return rates[i].rate;
  return 0;
}

/* The code of `rate`, or -1 when it has none. */
static long code_of(speed_t rate) {
  for (unsigned i = 0; i < RATES; i++)
    if (rates[i].rate == rate) return (long)rates[i].code;
  return -1;
}

static int get2(int fd, struct termios2* t2) {
  struct termios t;
  if (syscall(SYS_ioctl, fd, TCGETS, &t) != 0) return -1;
  memset(t2, 0, sizeof *t2);
  t2->c_iflag = t.c_iflag;
  t2->c_oflag = t.c_oflag;
  t2->c_cflag = t.c_cflag;
  t2->c_lflag = t.c_lflag;
  t2->c_line = t.c_line;
  memcpy(t2->c_cc, t.c_cc, sizeof t.c_cc);
  t2->c_ospeed = rate_of(t.c_cflag & CBAUD);
  tcflag_t in = (t.c_cflag & CIBAUD) >> IBSHIFT;
  t2->c_ispeed = in ? rate_of(in) : t2->c_ospeed;
  return 0;
}

static int set2(int fd, unsigned long request, const struct termios2* t2) {
  struct termios t;
  t.c_iflag = t2->c_iflag;
  t.c_oflag = t2->c_oflag;
  t.c_cflag = t2->c_cflag;
  t.c_lflag = t2->c_lflag;
  t.c_line = t2->c_line;
  memcpy(t.c_cc, t2->c_cc, sizeof t.c_cc);
  if ((t.c_cflag & CBAUD) == BOTHER) {
    long code = code_of(t2->c_ospeed);
    if (code < 0) {
      errno = EINVAL;
      return -1;
    }
    t.c_cflag = (t.c_cflag & ~CBAUD) | (tcflag_t)code;
  }
  if (((t.c_cflag & CIBAUD) >> IBSHIFT) == BOTHER) {
    long code = code_of(t2->c_ispeed);
    if (code < 0) {
      errno = EINVAL;
      return -1;
    }
    t.c_cflag = (t.c_cflag & ~CIBAUD) | ((tcflag_t)code << IBSHIFT);
  }
  unsigned long plain = request == TCSETS2 ? TCSETS : request == TCSETSW2 ? TCSETSW : TCSETSF;
  return (int)syscall(SYS_ioctl, fd, plain, &t);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  long r = syscall(SYS_ioctl, fd, request, arg);
  if (r != -1 || errno != ENOSYS) return (int)r;
  if (request == TCGETS2) return get2(fd, arg);
  if (request == TCSETS2 || request == TCSETSW2 || request == TCSETSF2)
    return set2(fd, request, arg);
  errno = ENOSYS;
  return -1;
}
