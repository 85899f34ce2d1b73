// SPDX-License-Identifier: ISC
#include "sleep_probe.h"

#include <endian.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "testkit.h"

long asleep_for(pid_t pid) {
  std::string call = testkit::read_file("/proc/" + std::to_string(pid) + "/syscall");
  long long nr = -1;
  unsigned long long args[4] = {};
  if (sscanf(call.c_str(), "%lld %llx %llx %llx %llx", &nr, &args[0], &args[1], &args[2],
             &args[3]) != 5)
    return -1;
  const bool emulated = !testkit::target_emulator().empty();
  const long long nanosleep_nr = emulated ? 35 : SYS_nanosleep;
  const long long clock_nanosleep_nr = emulated ? 230 : SYS_clock_nanosleep;
  unsigned long long request;
  if (nr == nanosleep_nr)
    request = args[0];
  else if (nr == clock_nanosleep_nr)
    request = args[2];
  else
    return -1;
  std::string mem = "/proc/" + std::to_string(pid) + "/mem";
  int fd = open(mem.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  timespec wanted{};
  int64_t wanted64 = -1;
  bool got = emulated ? pread64(fd, &wanted64, sizeof wanted64, static_cast<off64_t>(request)) ==
                            static_cast<ssize_t>(sizeof wanted64)
                      : pread64(fd, &wanted, sizeof wanted, static_cast<off64_t>(request)) ==
                            static_cast<ssize_t>(sizeof wanted);
  close(fd);
  if (!got) return -1;
  return emulated ? static_cast<long>(le64toh(wanted64)) : static_cast<long>(wanted.tv_sec);
}
