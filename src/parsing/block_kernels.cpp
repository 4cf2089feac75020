#include "parsing/block_kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VEXO_BLOCK_X86 1
#endif

#include "parsing/frame.hpp"

namespace vexoacq::parsing::kernels {

using runtime::cpu::available;
using runtime::cpu::Kernel;

namespace {

// The first time position of label w: its distance after the channel's first
// label around the ring, times the samples per window, mod 65536.  All of it
// unsigned and wrapping, as the full-width arithmetic would give mod 65536.
inline std::uint16_t run_base(std::size_t w, std::size_t first, std::size_t windows, std::size_t samples) noexcept {
    const std::size_t rel = w >= first ? w - first : w + windows - first;
    return static_cast<std::uint16_t>(rel * samples);
}

void inverted_samples_scalar(const std::uint8_t* src, std::size_t n, std::uint16_t mask, float* dst) noexcept {
    for (std::size_t i = 0; i < n; ++i)
        dst[i] = static_cast<float>(static_cast<std::uint16_t>(~read_le16(src + 2 * i)) & mask);
}

void time_axis_scalar(const std::uint16_t* labels, std::size_t n_labels, std::size_t windows, std::size_t samples,
                      std::uint16_t* dst) noexcept {
    if (n_labels == 0) return;
    const std::size_t first = labels[0];
    for (std::size_t i = 0; i < n_labels; ++i, dst += samples) {
        std::uint16_t value = run_base(labels[i], first, windows, samples);
        for (std::size_t s = 0; s < samples; ++s, ++value) dst[s] = value;
    }
}

#ifdef VEXO_BLOCK_X86

// Lanes 0, 1, 2, ... of the 16-bit counting runs.
alignas(64) constexpr std::uint16_t kIota[32] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                                                 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                                 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};

__attribute__((target("avx2"))) void inverted_samples_avx2(const std::uint8_t* src, std::size_t n,
                                                           std::uint16_t mask, float* dst) noexcept {
    const __m256i m = _mm256_set1_epi32(mask);
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        // Eight words widened to 32 bits; (NOT w) AND mask leaves at most 16
        // bits, which the conversion to float keeps exactly.
        const __m256i a = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i)));
        const __m256i b = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i + 16)));
        _mm256_storeu_ps(dst + i, _mm256_cvtepi32_ps(_mm256_andnot_si256(a, m)));
        _mm256_storeu_ps(dst + i + 8, _mm256_cvtepi32_ps(_mm256_andnot_si256(b, m)));
    }
    inverted_samples_scalar(src + 2 * i, n - i, mask, dst + i);
}

__attribute__((target("avx2"))) void time_axis_avx2(const std::uint16_t* labels, std::size_t n_labels,
                                                    std::size_t windows, std::size_t samples,
                                                    std::uint16_t* dst) noexcept {
    if (n_labels == 0) return;
    const std::size_t first = labels[0];
    const __m256i iota = _mm256_load_si256(reinterpret_cast<const __m256i*>(kIota));
    const __m256i step = _mm256_set1_epi16(16);
    for (std::size_t l = 0; l < n_labels; ++l, dst += samples) {
        const std::uint16_t base = run_base(labels[l], first, windows, samples);
        __m256i v = _mm256_add_epi16(iota, _mm256_set1_epi16(static_cast<short>(base)));
        std::size_t s = 0;
        for (; s + 16 <= samples; s += 16) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + s), v);
            v = _mm256_add_epi16(v, step);
        }
        for (std::uint16_t value = static_cast<std::uint16_t>(base + s); s < samples; ++s, ++value) dst[s] = value;
    }
}

// Sixteen words widened to 32 bits, (NOT w) AND mask, as floats.  The
// zero-masking forms (all lanes kept) give the same instructions as the plain
// ones without their undefined pass-through operand.
__attribute__((target("avx512f"), always_inline)) inline __m512 sixteen_samples(const std::uint8_t* src,
                                                                               __m512i mask) noexcept {
    constexpr __mmask16 all = 0xFFFF;
    const __m512i words =
        _mm512_maskz_cvtepu16_epi32(all, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src)));
    return _mm512_maskz_cvtepi32_ps(all, _mm512_maskz_andnot_epi32(all, words, mask));
}

__attribute__((target("avx512f"))) void inverted_samples_avx512(const std::uint8_t* src, std::size_t n,
                                                                std::uint16_t mask, float* dst) noexcept {
    const __m512i m = _mm512_set1_epi32(mask);
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        _mm512_storeu_ps(dst + i, sixteen_samples(src + 2 * i, m));
        _mm512_storeu_ps(dst + i + 16, sixteen_samples(src + 2 * i + 32, m));
    }
    if (i + 16 <= n) {
        _mm512_storeu_ps(dst + i, sixteen_samples(src + 2 * i, m));
        i += 16;
    }
    inverted_samples_scalar(src + 2 * i, n - i, mask, dst + i);
}

__attribute__((target("avx512f,avx512bw"))) void time_axis_avx512(const std::uint16_t* labels, std::size_t n_labels,
                                                                  std::size_t windows, std::size_t samples,
                                                                  std::uint16_t* dst) noexcept {
    if (n_labels == 0) return;
    const std::size_t first = labels[0];
    const __m512i iota = _mm512_load_si512(kIota);
    const __m512i step = _mm512_set1_epi16(32);
    const std::size_t tail = samples % 32;
    const __mmask32 tail_mask = static_cast<__mmask32>((std::uint64_t{1} << tail) - 1);
    for (std::size_t l = 0; l < n_labels; ++l, dst += samples) {
        const std::uint16_t base = run_base(labels[l], first, windows, samples);
        __m512i v = _mm512_add_epi16(iota, _mm512_set1_epi16(static_cast<short>(base)));
        std::size_t s = 0;
        for (; s + 32 <= samples; s += 32) {
            _mm512_storeu_si512(dst + s, v);
            v = _mm512_add_epi16(v, step);
        }
        // The masked store writes only the lanes below `tail`.
        if (tail != 0) _mm512_mask_storeu_epi16(dst + s, tail_mask, v);
    }
}

#endif

}  // namespace

// A kernel the CPU cannot run falls back to the plain loop, so a caller that
// names one (the tests do) never executes an unsupported instruction.  The
// AVX-512 loops need F and BW only, so the GFNI level runs them too.
void inverted_samples(Kernel k, const std::uint8_t* src, std::size_t n, std::uint16_t mask, float* dst) noexcept {
#ifdef VEXO_BLOCK_X86
    if (k >= Kernel::Avx512 && available(k)) return inverted_samples_avx512(src, n, mask, dst);
    if (k == Kernel::Avx2 && available(k)) return inverted_samples_avx2(src, n, mask, dst);
#else
    (void)k;
#endif
    inverted_samples_scalar(src, n, mask, dst);
}

void time_axis(Kernel k, const std::uint16_t* labels, std::size_t n_labels, std::size_t windows, std::size_t samples,
               std::uint16_t* dst) noexcept {
#ifdef VEXO_BLOCK_X86
    if (k >= Kernel::Avx512 && available(k)) return time_axis_avx512(labels, n_labels, windows, samples, dst);
    if (k == Kernel::Avx2 && available(k)) return time_axis_avx2(labels, n_labels, windows, samples, dst);
#else
    (void)k;
#endif
    time_axis_scalar(labels, n_labels, windows, samples, dst);
}

}  // namespace vexoacq::parsing::kernels
