// The process's one pool of worker threads, used by the ECC check and the
// CSV export.
//
// It is a oneTBB task arena made on first use and kept until the process
// ends (it is never destroyed, so no worker outlives a torn-down arena at
// exit).  Its size comes from the environment: RAYON_NUM_THREADS when it
// holds a whole number above zero; when that variable is unset or not a
// number, RAYON_RS_NUM_CPUS under the same rule; else the processors
// available to the process (its affinity mask, capped by a cgroup CPU quota).
//
// A process forked from one that had made the pool has no worker threads
// (fork() copies only the calling thread) and cannot get new ones from
// oneTBB, whose inherited state still counts the parent's.  There the pool
// is the calling thread alone: arena() is an arena of one slot, size() is 1,
// and the ECC check and the export take their one-thread paths, with the
// same results.  A process forked before the pool was first used makes a
// full pool of its own, as does every process started afresh (the spawn and
// forkserver start methods of multiprocessing).  See pool.cpp for how the
// fork is detected.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include <oneapi/tbb/task_arena.h>

namespace vexoacq::runtime::pool {

// Upper bound on the pool size, whatever the environment asks for.
inline constexpr std::size_t kMaxThreads = 1024;

// An unsigned decimal number as the environment variables hold it: an
// optional '+' and one or more ASCII digits, nothing else, fitting a
// machine word.  Zero is a number (and means "the default" for
// RAYON_NUM_THREADS).
std::optional<std::size_t> parse_count(const char* text) noexcept;

// The pool size for the given variable values (null when unset) and number
// of available processors, capped at kMaxThreads and at least 1.
std::size_t thread_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                         std::size_t available) noexcept;

// CPU limit of a cgroup v2 "cpu.max" text ("max 100000" or "quota period"):
// quota / period rounded down, at least 1; none when unlimited or unreadable.
std::optional<std::size_t> cgroup_v2_limit(std::string_view cpu_max) noexcept;
// The same for cgroup v1 cpu.cfs_quota_us and cpu.cfs_period_us texts (a
// negative quota means unlimited).
std::optional<std::size_t> cgroup_v1_limit(std::string_view quota, std::string_view period) noexcept;

// Processors in the affinity mask, capped by the process's cgroup quota.
std::size_t available_processors() noexcept;

// The process-wide arena; made by the first caller (concurrent first callers
// wait for it).  When its max_concurrency() is 1 (a one-thread pool, or the
// calling thread alone in a forked child) work is to be done on the caller
// without entering the arena: in a forked child nothing may call into
// oneTBB.
tbb::task_arena& arena();

// Its number of threads (the calling thread included).
std::size_t size();

}  // namespace vexoacq::runtime::pool
