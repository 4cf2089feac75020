#include "runtime/pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include <oneapi/tbb/global_control.h>

namespace vexoacq::runtime::pool {

std::optional<std::size_t> parse_count(const char* text) noexcept {
    if (text == nullptr) return std::nullopt;
    std::string_view s(text);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    std::size_t value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::size_t>(c - '0');
        if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t thread_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                         std::size_t available) noexcept {
    std::size_t n = available;
    if (const auto first = parse_count(rayon_num_threads)) {
        // Zero asks for the default and does not fall through to the second variable.
        if (*first > 0) n = *first;
    } else if (const auto second = parse_count(rayon_rs_num_cpus); second && *second > 0) {
        n = *second;
    }
    return std::clamp<std::size_t>(n, 1, kMaxThreads);
}

namespace {

std::string_view trim(std::string_view s) noexcept {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n')) s.remove_suffix(1);
    return s;
}

template <class T>
std::optional<T> parse_number(std::string_view s) noexcept {
    s = trim(s);
    T v{};
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

std::optional<std::size_t> limit_of(long long quota, long long period) noexcept {
    if (quota <= 0 || period <= 0) return std::nullopt;
    return std::max<std::size_t>(1, static_cast<std::size_t>(quota / period));
}

}  // namespace

std::optional<std::size_t> cgroup_v2_limit(std::string_view cpu_max) noexcept {
    cpu_max = trim(cpu_max);
    const std::size_t space = cpu_max.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    const std::string_view quota = cpu_max.substr(0, space);
    if (quota == "max") return std::nullopt;
    const auto q = parse_number<long long>(quota);
    const auto p = parse_number<long long>(cpu_max.substr(space + 1));
    if (!q || !p) return std::nullopt;
    return limit_of(*q, *p);
}

std::optional<std::size_t> cgroup_v1_limit(std::string_view quota, std::string_view period) noexcept {
    const auto q = parse_number<long long>(quota);
    const auto p = parse_number<long long>(period);
    if (!q || !p) return std::nullopt;
    return limit_of(*q, *p);
}

namespace {

std::optional<std::string> read_small_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    while (true) {
        const std::size_t at = s.find(sep, start);
        out.push_back(s.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) break;
        start = at + 1;
    }
    return out;
}

bool lists(std::string_view comma_list, std::string_view item) {
    for (std::string_view part : split(comma_list, ',')) {
        if (part == item) return true;
    }
    return false;
}

struct Mount {
    std::string root;   // the cgroup path mounted there
    std::string point;  // where it is mounted
};

// The cgroup2 mount (v2) or the cgroup mount carrying the cpu controller (v1).
std::optional<Mount> find_mount(const std::string& mountinfo, bool v2) {
    std::istringstream lines(mountinfo);
    std::string line;
    while (std::getline(lines, line)) {
        const std::vector<std::string_view> f = split(line, ' ');
        const auto dash = std::find(f.begin(), f.end(), std::string_view("-"));
        if (f.size() < 5 || dash == f.end() || std::distance(dash, f.end()) < 4) continue;
        const std::string_view fstype = *(dash + 1);
        const std::string_view super_options = *(dash + 3);
        if (v2 ? fstype == "cgroup2" : (fstype == "cgroup" && lists(super_options, "cpu"))) {
            return Mount{std::string(f[3]), std::string(f[4])};
        }
    }
    return std::nullopt;
}

// Directories from the process's cgroup up to the mount point, leaf first.
std::vector<std::string> cgroup_dirs(const Mount& m, std::string_view cgroup_path) {
    std::string rel(cgroup_path);
    if (m.root != "/") {
        if (rel.compare(0, m.root.size(), m.root) == 0) {
            rel.erase(0, m.root.size());
        } else {
            rel.clear();
        }
    }
    std::vector<std::string> dirs;
    while (true) {
        while (!rel.empty() && rel.back() == '/') rel.pop_back();
        dirs.push_back(m.point + rel);
        if (rel.empty()) break;
        rel.erase(rel.rfind('/'));
    }
    return dirs;
}

std::optional<std::size_t> min_limit(std::optional<std::size_t> a, std::optional<std::size_t> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

std::optional<std::size_t> cgroup_limit() {
    const auto self = read_small_file("/proc/self/cgroup");
    if (!self) return std::nullopt;
    std::optional<std::string> mountinfo;
    std::optional<std::size_t> limit;
    std::istringstream lines(*self);
    std::string line;
    while (std::getline(lines, line)) {
        // "hierarchy-id:controllers:path"; v2 is "0::path".
        const std::size_t c1 = line.find(':');
        const std::size_t c2 = c1 == std::string::npos ? std::string::npos : line.find(':', c1 + 1);
        if (c2 == std::string::npos) continue;
        const std::string_view id = std::string_view(line).substr(0, c1);
        const std::string_view controllers = std::string_view(line).substr(c1 + 1, c2 - c1 - 1);
        const std::string_view path = std::string_view(line).substr(c2 + 1);
        const bool v2 = id == "0" && controllers.empty();
        if (!v2 && !lists(controllers, "cpu")) continue;
        if (!mountinfo) mountinfo = read_small_file("/proc/self/mountinfo");
        if (!mountinfo) return limit;
        const auto mount = find_mount(*mountinfo, v2);
        if (!mount) continue;
        for (const std::string& dir : cgroup_dirs(*mount, path)) {
            if (v2) {
                if (const auto text = read_small_file(dir + "/cpu.max")) limit = min_limit(limit, cgroup_v2_limit(*text));
            } else {
                const auto quota = read_small_file(dir + "/cpu.cfs_quota_us");
                const auto period = read_small_file(dir + "/cpu.cfs_period_us");
                if (quota && period) limit = min_limit(limit, cgroup_v1_limit(*quota, *period));
            }
        }
    }
    return limit;
}

std::size_t affinity_count() noexcept {
    for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(static_cast<std::size_t>(cpus));
        if (set == nullptr) break;
        const std::size_t bytes = CPU_ALLOC_SIZE(static_cast<std::size_t>(cpus));
        CPU_ZERO_S(bytes, set);
        const int rc = sched_getaffinity(0, bytes, set);
        const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
        CPU_FREE(set);
        if (rc == 0) return count > 0 ? static_cast<std::size_t>(count) : 1;
        if (errno != EINVAL) break;
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

}  // namespace

std::size_t available_processors() noexcept {
    std::size_t n = affinity_count();
    try {
        if (const auto limit = cgroup_limit()) n = std::min(n, *limit);
    } catch (...) {
        // An unreadable cgroup description leaves the affinity count.
    }
    return std::max<std::size_t>(n, 1);
}

namespace {

// How the pool meets fork().  oneTBB's scheduler state (its worker threads'
// bookkeeping, its locks) is copied into a forked child, but its threads are
// not: in the child the inherited arena has no workers, a task enqueued
// there never runs (and keeps whatever it holds), and a fresh arena made in
// the child gets no workers either, since the scheduler believes its
// threads still exist.  A lock a parent thread held inside oneTBB at the
// fork stays held in the child for ever.  So a process forked from one that
// made the pool (or had begun to make it) never calls into oneTBB: its pool
// is the calling thread alone, an arena of one slot that is never
// initialised, which every user of the pool takes to mean "run here, on
// your own".  A process forked before the pool was begun has no pool of its
// own yet and makes a full one on first use, like any fresh process.
//
// Two markers tell the cases apart.  `g_owner` is the process id of the
// process that began making the pool, set before anything else is done;
// `g_inherited`, set by a fork handler in the child whenever a pool had been
// begun, lets the common case (the pool exists, no fork since) skip the
// process id check.  A child forked in the short span before the handler is
// registered sees a foreign owner instead.  Neither check waits on anything
// a thread of the parent could have held.

struct Pool {
    std::size_t threads;
    tbb::task_arena* arena;
};

std::atomic<pid_t> g_owner{0};
std::atomic<bool> g_inherited{false};
std::atomic<const Pool*> g_pool{nullptr};

// Never initialised: asked for its concurrency it answers 1 without
// touching the scheduler.  Built at load, so no first-use guard is involved.
tbb::task_arena g_caller_arena(1);
const Pool g_caller_only{1, &g_caller_arena};

void on_fork_child() noexcept {
    if (g_owner.load(std::memory_order_relaxed) != 0) g_inherited.store(true, std::memory_order_relaxed);
}

const Pool& full_pool() {
    static const Pool instance = [] {
        // Registered before the pool is published: every fork from then on
        // marks its child.  Its only failure is a lack of memory.
        if (pthread_atfork(nullptr, nullptr, &on_fork_child) != 0) throw std::bad_alloc();
        const std::size_t n =
            thread_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available_processors());
        // oneTBB caps the workers of all arenas at the hardware concurrency
        // it sees; a larger request from the environment lifts that cap.
        if (n > static_cast<std::size_t>(tbb::this_task_arena::max_concurrency())) {
            new tbb::global_control(tbb::global_control::max_allowed_parallelism, n);
        }
        // The arena and the control are never destroyed: the pool lives
        // until the process ends, and no static destructor races the workers.
        auto* arena = new tbb::task_arena(static_cast<int>(n));
        arena->initialize();
        return Pool{n, arena};
    }();
    return instance;
}

const Pool& pool() {
    const Pool* made = g_pool.load(std::memory_order_acquire);
    if (g_inherited.load(std::memory_order_relaxed)) return g_caller_only;
    if (made != nullptr) return *made;
    // First use in this process, or a pool begun before a fork that came
    // before the fork handler was registered.
    const pid_t self = ::getpid();
    pid_t owner = g_owner.load(std::memory_order_acquire);
    if (owner == 0 && g_owner.compare_exchange_strong(owner, self, std::memory_order_acq_rel)) owner = self;
    if (owner != self) {
        g_inherited.store(true, std::memory_order_relaxed);
        return g_caller_only;
    }
    // This process's own first users: one makes the pool, the others wait.
    const Pool& p = full_pool();
    g_pool.store(&p, std::memory_order_release);
    return p;
}

}  // namespace

tbb::task_arena& arena() { return *pool().arena; }

std::size_t size() { return pool().threads; }

}  // namespace vexoacq::runtime::pool
