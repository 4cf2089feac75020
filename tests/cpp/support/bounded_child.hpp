// Runs a hostile case in a child process under a time limit and an
// address-space limit, so that a case that hangs or grows without end fails
// its test instead of stalling or exhausting the whole run.  The sanitizer
// builds reserve terabytes of shadow memory up front, so there only the time
// limit applies, stretched for their slower code.
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
#else
inline constexpr bool kAddressSpaceLimited = true;
inline constexpr unsigned kTimeScale = 1;
#endif

namespace detail {

// Forks, lets `limit` bound the child, runs `body` there and says how the
// child ended.
template <class Limit, class Body>
std::string run_child(Limit limit, std::size_t memory_bytes, Body& body) {
    const pid_t pid = ::fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
        limit();
        if (kAddressSpaceLimited) {
            const rlimit as{memory_bytes, memory_bytes};
            ::setrlimit(RLIMIT_AS, &as);
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
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) return "time limit exceeded";
    if (WIFSIGNALED(status) && (WTERMSIG(status) == SIGXCPU || WTERMSIG(status) == SIGKILL)) {
        return "CPU time limit exceeded";
    }
    return "killed by signal " + std::to_string(WTERMSIG(status));
}

}  // namespace detail

// Runs `body` (returning bool) in a forked child with at most `seconds` of
// wall time (times kTimeScale) and `memory_bytes` of address space.  The result reads "passed"
// when body returned true, otherwise it says what happened.
template <class Body>
std::string run_bounded(unsigned seconds, std::size_t memory_bytes, Body body) {
    return detail::run_child([seconds] { ::alarm(seconds * kTimeScale); }, memory_bytes, body);
}

// The same with at most `cpu_seconds` of CPU time (times kTimeScale), which
// the machine's load does not stretch, for a case whose fault is work that
// grows faster than its text.  A wall-time bound of many times that still
// ends a child that waits instead of working.
template <class Body>
std::string run_cpu_bounded(unsigned cpu_seconds, std::size_t memory_bytes, Body body) {
    return detail::run_child(
        [cpu_seconds] {
            const rlim_t soft = cpu_seconds * kTimeScale;
            const rlimit cpu{soft, soft + 1};
            ::setrlimit(RLIMIT_CPU, &cpu);
            ::alarm(60 * cpu_seconds * kTimeScale);
        },
        memory_bytes, body);
}

}  // namespace vexoacq::testing
