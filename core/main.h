// Supervisor: start-up, worker threads, keep-alives, modem bring-up and
// shutdown. MAIN_Run is the whole life of the process and ends in exit(0).
#pragma once
#include <cstddef>

// Stack of each worker thread, in bytes: at least three times the deepest
// use measured on glibc and musl, a DNS lookup and an FTP download
// included (tests/unit/test_stacks.cpp, scripts/stack-usage.sh), so that
// neither musl's 128 KB default nor glibc's 8 MB is relied on. The C
// library's own minimum still applies (128 KB on glibc for MIPS).
constexpr size_t MAIN_STACK_LED = 32 * 1024;
constexpr size_t MAIN_STACK_TCP = 64 * 1024;
constexpr size_t MAIN_STACK_UART = 32 * 1024;

[[noreturn]] void MAIN_Run();
