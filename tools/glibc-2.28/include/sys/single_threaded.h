// glibc 2.32 added __libc_single_threaded, which libstdc++'s headers read to
// skip atomic reference counting while a process has one thread. glibc 2.28
// lacks it: this stand-in says "several threads" always, so the atomic path
// is taken every time (what those headers do without the flag).
#pragma once

inline constexpr char rowmerge_process_may_have_threads = 0;
#define __libc_single_threaded rowmerge_process_may_have_threads
