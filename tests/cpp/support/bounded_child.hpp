// Runs a hostile case in a child process under a CPU-time limit and an
// address-space limit, so that a case that computes or grows without end
// fails its test instead of stalling or exhausting the whole run.  CPU time
// is what the machine's load does not stretch; a wall-clock limit of minutes
// only ends a child that waits without using CPU (a FIFO read).  The
// AddressSanitizer and ThreadSanitizer builds reserve terabytes of shadow
// memory up front, so there only the time limits apply, the CPU limit
// stretched for their slower code (the ThreadSanitizer one more: it spends
// much longer, half of it in the kernel, on the cases that copy large
// blocks over and over).
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <exception>
#include <new>
#include <string>

namespace vexoacq::testing {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSpaceLimited = false;
inline constexpr unsigned kTimeScale = 10;
#elif defined(__SANITIZE_THREAD__)
inline constexpr bool kAddressSpaceLimited = false;
inline constexpr unsigned kTimeScale = 30;
#else
inline constexpr bool kAddressSpaceLimited = true;
inline constexpr unsigned kTimeScale = 1;
#endif

inline constexpr unsigned kWallSeconds = 240;  // below ctest's 300 s per test

// Runs `body` (returning bool) in a forked child with at most `cpu_seconds`
// of CPU time (times kTimeScale), kWallSeconds of wall time and
// `memory_bytes` of address space.  The result reads "passed" when body
// returned true, otherwise it says what happened.
template <class Body>
std::string run_bounded(unsigned cpu_seconds, std::size_t memory_bytes, Body body) {
    const pid_t pid = ::fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
        const rlimit cpu{cpu_seconds * kTimeScale, cpu_seconds * kTimeScale + 5};  // SIGXCPU, then SIGKILL
        ::setrlimit(RLIMIT_CPU, &cpu);
        ::alarm(kWallSeconds);
        if (kAddressSpaceLimited) {
            const rlimit limit{memory_bytes, memory_bytes};
            ::setrlimit(RLIMIT_AS, &limit);
        }
        int code = 1;
        try {
            code = body() ? 0 : 1;
        } catch (const std::bad_alloc&) {
            code = 2;
        } catch (...) {
            code = 3;
        }
        ::_exit(code);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    if (WIFEXITED(status)) {
        switch (WEXITSTATUS(status)) {
            case 0: return "passed";
            case 1: return "returned false";
            case 2: return "out of memory";
            default: return "threw";
        }
    }
    if (WIFSIGNALED(status) && (WTERMSIG(status) == SIGXCPU || WTERMSIG(status) == SIGKILL)) {
        return "CPU-time limit exceeded";
    }
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) return "wall-clock limit exceeded";
    return "killed by signal " + std::to_string(WTERMSIG(status));
}

}  // namespace vexoacq::testing
