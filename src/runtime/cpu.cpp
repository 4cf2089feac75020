#include "runtime/cpu.hpp"

#include <cstddef>

namespace vexoacq::runtime::cpu {

namespace {

bool cpu_has(Kernel k) noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    switch (k) {
    case Kernel::Scalar:
        return true;
    case Kernel::Avx2:
        return __builtin_cpu_supports("avx2");
    case Kernel::Avx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
    case Kernel::Avx512Gfni:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("gfni");
    }
    return false;
#else
    return k == Kernel::Scalar;
#endif
}

constexpr std::size_t kLevels = sizeof(kAllKernels) / sizeof(kAllKernels[0]);

}  // namespace

bool available(Kernel k) noexcept {
    static const bool has[kLevels] = {cpu_has(Kernel::Scalar), cpu_has(Kernel::Avx2), cpu_has(Kernel::Avx512),
                                      cpu_has(Kernel::Avx512Gfni)};
    const auto i = static_cast<std::size_t>(k);
    return i < kLevels && has[i];
}

Kernel best() noexcept {
    static const Kernel chosen = [] {
        for (std::size_t i = kLevels; i-- > 1;) {
            if (available(kAllKernels[i])) return kAllKernels[i];
        }
        return Kernel::Scalar;
    }();
    return chosen;
}

const char* name(Kernel k) noexcept {
    switch (k) {
    case Kernel::Scalar:
        return "scalar";
    case Kernel::Avx2:
        return "avx2";
    case Kernel::Avx512:
        return "avx512";
    case Kernel::Avx512Gfni:
        return "avx512-gfni";
    }
    return "unknown";
}

}  // namespace vexoacq::runtime::cpu
