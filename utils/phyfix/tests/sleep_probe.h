// SPDX-License-Identifier: ISC
// What a daemon under test is waiting for, read from outside through /proc.
#pragma once

#include <sys/types.h>

// How many seconds the process is asleep for, when it sits in a sleep call
// (read from its pending system call and the request in its memory), else
// -1. Under the emulator the kernel sees the emulator's own call, made with
// the build machine's (x86-64, little-endian) numbers and 64-bit struct
// timespec.
long asleep_for(pid_t pid);
