// A call through a stdcall pointer that measures what the callee did to the stack pointer,
// as a careful host would: arguments are pushed right to left as 32-bit values, and after
// the call the stack pointer is compared with where it was before the pushes. A callee that
// removes exactly its arguments leaves a drift of 0; each argument it leaves behind shows
// as -4, each 4 bytes it removes too many as +4. The stack is put back either way.
#pragma once

#include <windows.h>

#include <cstdint>

namespace host {

struct StdcallResult {
  uint32_t value;      // the callee's 32-bit result
  int32_t stackDrift;  // stack pointer after the call minus before the pushes
};

// Pushes count args right to left, calls fn and measures the stack pointer's drift.
inline StdcallResult CallStdcall(FARPROC fn, const uint32_t* args, uint32_t count) {
  uint32_t result, drift;
  __asm__ volatile(
      "mov %%esp, %%esi\n\t"
      "mov %[count], %%ecx\n\t"
      "1:\n\t"
      "test %%ecx, %%ecx\n\t"
      "jz 2f\n\t"
      "pushl -4(%[args],%%ecx,4)\n\t"
      "dec %%ecx\n\t"
      "jmp 1b\n\t"
      "2:\n\t"
      "call *%[fn]\n\t"
      "mov %%esp, %%edx\n\t"
      "sub %%esi, %%edx\n\t"
      "mov %%esi, %%esp\n\t"
      : "=&a"(result), "=&d"(drift)
      : [fn] "b"(fn), [args] "D"(args), [count] "m"(count)
      : "ecx", "esi", "memory", "cc");
  return {result, static_cast<int32_t>(drift)};
}

}  // namespace host
