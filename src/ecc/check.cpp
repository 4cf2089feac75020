#include "ecc/check.hpp"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <exception>
#include <memory>
#include <thread>
#include <utility>

#include "ecc/check_arena.hpp"
#include "ecc/tolv96.hpp"
#include "error.hpp"
#include "runtime/pool.hpp"

namespace vexoacq::ecc::check {

static_assert(kChannelDataBytes % 256 == 0, "the vector kernels step over whole 256-byte groups");

const ChannelTable& channel_offsets() {
    // A function-local static: the first user builds it, concurrent first
    // users wait until it exists.
    static const ChannelTable table = [] {
        ChannelTable t{};
        for (std::size_t ch = 0; ch < kChannels; ++ch) {
            const std::size_t start =
                (ch / kChannelsPerChip) * kChipBlockBytes + (ch % kChannelsPerChip) * kChannelBlockBytes + 3;
            t[ch] = ChannelRange{start, start + kChannelDataBytes};
        }
        return t;
    }();
    return table;
}

namespace {

// The code is linear, so a word's syndrome and parity are the exclusive or of
// what its low and its high byte contribute.  Each table entry holds S in
// bits 0-3 and the parity in bit 4; a word is clean when the two
// contributions are equal.
struct ByteTables {
    std::array<std::uint8_t, 256> low{};
    std::array<std::uint8_t, 256> high{};
};

constexpr std::uint8_t code_bits(std::uint16_t w) {
    return static_cast<std::uint8_t>(tolv96::syndrome_value(w) | (unsigned{tolv96::global_parity(w)} << 4));
}

constexpr ByteTables make_byte_tables() {
    ByteTables t;
    for (unsigned b = 0; b < 256; ++b) {
        t.low[b] = code_bits(static_cast<std::uint16_t>(b));
        t.high[b] = code_bits(static_cast<std::uint16_t>(b << 8));
    }
    return t;
}

constexpr ByteTables kBytes = make_byte_tables();

}  // namespace

bool classify(std::uint16_t word, std::size_t offset, std::size_t position, EccEntry* out) noexcept {
    const unsigned code = kBytes.low[word & 0xFF] ^ kBytes.high[word >> 8];
    if (code == 0) return false;
    const unsigned s = code & 0x0F;
    const auto parity = static_cast<std::uint8_t>(code >> 4);
    const std::uint8_t bit = s != 0 ? tolv96::SYNDROME_BITS[s - 1] : tolv96::kParityBit;
    const auto corrected = parity != 0 ? static_cast<std::uint16_t>(word ^ (1u << bit)) : word;
    *out = EccEntry{offset, position, word, corrected, bit, parity};
    return true;
}

namespace {

inline std::uint16_t read_word(const std::uint8_t* p) noexcept {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// Records the finding of the word at data[offset] of a range starting at `start`.
inline void emit(const std::uint8_t* data, std::size_t start, std::size_t offset, std::vector<EccEntry>& out) {
    EccEntry e;
    if (classify(read_word(data + offset), offset, start + offset, &e)) out.push_back(e);
}

void range_scalar(const std::uint8_t* data, std::size_t start, std::vector<EccEntry>& out) {
    for (std::size_t off = 0; off < kChannelDataBytes; off += 2) {
        if ((kBytes.low[data[off]] ^ kBytes.high[data[off + 1]]) != 0) [[unlikely]] emit(data, start, off, out);
    }
}

#if defined(__x86_64__)
#define VEXO_ECC_X86 1

// Nibble tables for the byte shuffles: the contribution of a byte's low and
// high nibble, in the low-byte role and in the high-byte role of a word.
struct NibbleTables {
    alignas(16) std::array<std::uint8_t, 16> low_lo{};
    alignas(16) std::array<std::uint8_t, 16> low_hi{};
    alignas(16) std::array<std::uint8_t, 16> high_lo{};
    alignas(16) std::array<std::uint8_t, 16> high_hi{};
};

constexpr NibbleTables make_nibble_tables() {
    NibbleTables t;
    for (unsigned n = 0; n < 16; ++n) {
        t.low_lo[n] = kBytes.low[n];
        t.low_hi[n] = kBytes.low[n << 4];
        t.high_lo[n] = kBytes.high[n];
        t.high_hi[n] = kBytes.high[n << 4];
    }
    return t;
}

constexpr NibbleTables kNibbles = make_nibble_tables();

struct Avx2Tables {
    __m256i low_lo, low_hi, high_lo, high_hi;
};

__attribute__((target("avx2"))) inline __m256i broadcast_table(const std::array<std::uint8_t, 16>& t) {
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(t.data())));
}

// Per 16-bit lane: S and parity of the word (0 when clean).
__attribute__((target("avx2"), always_inline)) inline __m256i codes_avx2(const Avx2Tables& t,
                                                                         const std::uint8_t* p) {
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i lo = _mm256_and_si256(v, nibble);
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
    const __m256i as_low = _mm256_xor_si256(_mm256_shuffle_epi8(t.low_lo, lo), _mm256_shuffle_epi8(t.low_hi, hi));
    const __m256i as_high =
        _mm256_xor_si256(_mm256_shuffle_epi8(t.high_lo, lo), _mm256_shuffle_epi8(t.high_hi, hi));
    return _mm256_and_si256(_mm256_xor_si256(as_low, _mm256_srli_epi16(as_high, 8)), _mm256_set1_epi16(0x001F));
}

__attribute__((target("avx2"))) void range_avx2(const std::uint8_t* data, std::size_t start,
                                                std::vector<EccEntry>& out) {
    const Avx2Tables t{broadcast_table(kNibbles.low_lo), broadcast_table(kNibbles.low_hi),
                       broadcast_table(kNibbles.high_lo), broadcast_table(kNibbles.high_hi)};
    for (std::size_t base = 0; base < kChannelDataBytes; base += 128) {
        const __m256i c0 = codes_avx2(t, data + base);
        const __m256i c1 = codes_avx2(t, data + base + 32);
        const __m256i c2 = codes_avx2(t, data + base + 64);
        const __m256i c3 = codes_avx2(t, data + base + 96);
        const __m256i any = _mm256_or_si256(_mm256_or_si256(c0, c1), _mm256_or_si256(c2, c3));
        if (_mm256_testz_si256(any, any)) [[likely]] continue;
        const __m256i parts[4] = {c0, c1, c2, c3};
        for (std::size_t k = 0; k < 4; ++k) {
            const auto clean = static_cast<std::uint32_t>(
                _mm256_movemask_epi8(_mm256_cmpeq_epi16(parts[k], _mm256_setzero_si256())));
            // Two mask bits per word; keep the even one.
            std::uint32_t dirty = ~clean & 0x55555555u;
            while (dirty != 0) {
                const auto j = static_cast<std::size_t>(std::countr_zero(dirty));  // byte index of the word
                emit(data, start, base + 32 * k + j, out);
                dirty &= dirty - 1;
            }
        }
    }
}

// gf2p8affineqb matrix: output bit i is the parity of (byte AND row i), with
// row i stored in byte 7 - i of the 64-bit matrix.
constexpr long long affine_matrix(std::uint8_t s0, std::uint8_t s1, std::uint8_t s2, std::uint8_t s3) {
    const std::uint64_t m = (std::uint64_t{s0} << 56) | (std::uint64_t{s1} << 48) | (std::uint64_t{s2} << 40) |
                            (std::uint64_t{s3} << 32) | (std::uint64_t{0xFF} << 24);
    return static_cast<long long>(m);
}

constexpr std::uint8_t byte_of(std::uint16_t mask, unsigned which) {
    return static_cast<std::uint8_t>(mask >> (8 * which));
}

constexpr long long kAffineLow =
    affine_matrix(byte_of(tolv96::kSyndromeMasks[0], 0), byte_of(tolv96::kSyndromeMasks[1], 0),
                  byte_of(tolv96::kSyndromeMasks[2], 0), byte_of(tolv96::kSyndromeMasks[3], 0));
constexpr long long kAffineHigh =
    affine_matrix(byte_of(tolv96::kSyndromeMasks[0], 1), byte_of(tolv96::kSyndromeMasks[1], 1),
                  byte_of(tolv96::kSyndromeMasks[2], 1), byte_of(tolv96::kSyndromeMasks[3], 1));

// Per 16-bit lane: S in bits 0-3 and the parity in bit 4 of the word; bits
// 5-7 are zero; bits 8-15 are the high byte taken as a low byte, not used.
__attribute__((target("avx512f,avx512bw,gfni"), always_inline)) inline __m512i codes_avx512(const std::uint8_t* p) {
    const __m512i v = _mm512_loadu_si512(p);
    const __m512i as_low = _mm512_gf2p8affine_epi64_epi8(v, _mm512_set1_epi64(kAffineLow), 0);
    const __m512i as_high = _mm512_gf2p8affine_epi64_epi8(v, _mm512_set1_epi64(kAffineHigh), 0);
    return _mm512_xor_si512(as_low, _mm512_srli_epi16(as_high, 8));
}

__attribute__((target("avx512f,avx512bw,gfni"))) void range_avx512_gfni(const std::uint8_t* data,
                                                                        std::size_t start,
                                                                        std::vector<EccEntry>& out) {
    const __m512i code = _mm512_set1_epi16(0x001F);
    for (std::size_t base = 0; base < kChannelDataBytes; base += 256) {
        const __m512i c0 = codes_avx512(data + base);
        const __m512i c1 = codes_avx512(data + base + 64);
        const __m512i c2 = codes_avx512(data + base + 128);
        const __m512i c3 = codes_avx512(data + base + 192);
        // 0xFE: a | b | c.
        const __m512i any = _mm512_or_si512(_mm512_ternarylogic_epi64(c0, c1, c2, 0xFE), c3);
        if (_mm512_test_epi16_mask(any, code) == 0) [[likely]] continue;
        const __m512i parts[4] = {c0, c1, c2, c3};
        for (std::size_t k = 0; k < 4; ++k) {
            std::uint32_t dirty = _mm512_test_epi16_mask(parts[k], code);
            while (dirty != 0) {
                const auto j = static_cast<std::size_t>(std::countr_zero(dirty));  // word index
                emit(data, start, base + 64 * k + 2 * j, out);
                dirty &= dirty - 1;
            }
        }
    }
}
#endif

}  // namespace

std::size_t chip_count(std::size_t size) {
    check_invariant(size >= kEventFooterBytes, "raw tolv96 event is shorter than its 2-byte footer");
    const std::size_t body = size - kEventFooterBytes;
    const std::size_t chips = body / kChipBlockBytes + (body % kChipBlockBytes != 0 ? 1 : 0);
    check_invariant(chips <= kMaxChips, "raw tolv96 event holds more than six chip blocks");
    return chips;
}

void check_channel(std::span<const std::uint8_t> raw, std::size_t ch, Kernel kernel, std::vector<EccEntry>& out) {
    const ChannelTable& table = channel_offsets();
    check_invariant(ch < table.size(), "tolv96 channel number outside the channel table");
    const ChannelRange r = table[ch];
    check_invariant(r.end <= raw.size(), "tolv96 channel data range lies past the end of the raw event");
    const std::uint8_t* data = raw.data() + r.start;
    switch (kernel) {
#ifdef VEXO_ECC_X86
    case Kernel::Avx512Gfni:
        check_invariant(runtime::cpu::available(kernel), "ECC kernel not supported by this processor");
        range_avx512_gfni(data, r.start, out);
        return;
    case Kernel::Avx512:  // no AVX-512 body without GFNI: the AVX2 one
    case Kernel::Avx2:
        check_invariant(runtime::cpu::available(kernel) && runtime::cpu::available(Kernel::Avx2),
                        "ECC kernel not supported by this processor");
        range_avx2(data, r.start, out);
        return;
#else
    case Kernel::Avx512Gfni:
    case Kernel::Avx512:
    case Kernel::Avx2:
        internal_fault("ECC kernel not supported by this processor");
#endif
    case Kernel::Scalar:
        range_scalar(data, r.start, out);
        return;
    }
    internal_fault("unknown ECC kernel");
}

namespace {

// Finding lists keep their capacity from one call to the next on the same
// thread.  A list of a few thousand entries given back to the heap is handed
// back to the kernel as soon as it borders the heap top, and filling the
// next one faults every page in again; with 10 % of the words flipped that
// is a third of the check.  Each thread caches the lists that the findings
// it destroys held, up to kListCacheBytes, and a call hands its caller's
// lists to the threads that check its channels.  (runtime/thread_caches.hpp
// lists this and the other per-thread caches side by side.)
constexpr std::size_t kListCacheBytes = std::size_t{8} << 20;

class ListCache {
public:
    ~ListCache() { gone = true; }

    static void give(std::vector<EccEntry>&& list) noexcept {
        if (gone || list.capacity() == 0) return;
        ListCache& c = mine();
        const std::size_t bytes = list.capacity() * sizeof(EccEntry);
        if (bytes > kListCacheBytes - c.bytes_) return;
        try {
            c.lists_.push_back(std::move(list));
        } catch (...) {
            return;  // the list is dropped instead
        }
        c.lists_.back().clear();
        c.bytes_ += bytes;
    }

    static std::vector<std::vector<EccEntry>> take_all() noexcept {
        if (gone) return {};
        ListCache& c = mine();
        c.bytes_ = 0;
        return std::exchange(c.lists_, {});
    }

private:
    static ListCache& mine() noexcept {
        thread_local ListCache cache;
        return cache;
    }

    // Trivially destructible, so it can be read after the cache has been
    // destroyed at thread exit.
    static thread_local bool gone;

    std::vector<std::vector<EccEntry>> lists_;
    std::size_t bytes_ = 0;
};

thread_local bool ListCache::gone = false;

}  // namespace

ChannelFindings::ChannelFindings(ChannelFindings&& other) noexcept
    : lists_(std::move(other.lists_)), helper_channels_(other.helper_channels_) {
    other.lists_.clear();
}

ChannelFindings& ChannelFindings::operator=(ChannelFindings&& other) noexcept {
    if (this != &other) {
        release();
        lists_ = std::move(other.lists_);
        other.lists_.clear();
        helper_channels_ = other.helper_channels_;
    }
    return *this;
}

ChannelFindings::~ChannelFindings() { release(); }

void ChannelFindings::release() noexcept {
    for (auto& l : lists_) ListCache::give(std::move(l));
    lists_.clear();
}

std::span<const EccEntry> ChannelFindings::channel(std::size_t ch) const {
    check_invariant(ch < lists_.size(), "tolv96 channel number outside the findings");
    return lists_[ch];
}

std::size_t ChannelFindings::total() const noexcept {
    std::size_t n = 0;
    for (const auto& l : lists_) n += l.size();
    return n;
}

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;

// Two cache lines: some processors fetch lines in adjacent pairs.
constexpr std::size_t kSeparate = 128;

// What one thread taking part in a check writes: the lists of the channels
// it checked, in the order it checked them (increasing channel numbers, as
// channels are claimed from one counter).  Only this thread touches them
// until the caller joins.
struct alignas(kSeparate) Store {
    struct Checked {
        std::size_t ch;
        std::vector<EccEntry> list;
    };
    std::vector<Checked> checked;  // room for every channel, reserved by its thread
    bool last_had_findings = true;  // so its first channel takes a cached list too
    std::exception_ptr fault;  // of its lowest faulty channel
    std::size_t fault_channel = kChannels;
};

// One call's state, shared with the helpers it wakes.  A helper holds it
// until it returns, which may be after the call has returned; by then every
// channel has been claimed and no wake is admitted any more, so the helper
// touches nothing of the caller's (neither the event bytes nor the arena),
// only `next` and `wakes`.
struct Shared {
    std::span<const std::uint8_t> raw;
    Kernel kernel;
    std::size_t channels;
    tbb::task_arena* arena;  // the caller's; a helper uses it only while `wakes` admits it
    std::size_t helpers;  // at most this many helpers are woken
    bool wake_all;
    nanoseconds wake_above;
    nanoseconds per_channel{0};         // projected cost of one unclaimed channel
    std::unique_ptr<Store[]> stores;    // [0] is the caller's
    std::vector<std::vector<EccEntry>> spares;  // the caller's cached lists

    alignas(kSeparate) std::atomic<std::size_t> next{0};           // next channel to claim
    alignas(kSeparate) std::atomic<std::size_t> helper_done{0};    // channels ended on helpers
    alignas(kSeparate) std::atomic<std::size_t> stores_taken{1};  // stores in use
    alignas(kSeparate) std::atomic<std::size_t> spare_next{0};    // next spare list to take
    // Twice the number of helpers' wakes under way, plus 1 once the caller
    // has closed it (see help).
    alignas(kSeparate) std::atomic<std::size_t> wakes{0};
};

void check_into(Shared& s, Store& st, std::size_t ch) noexcept {
    try {
        if (st.checked.capacity() < s.channels) st.checked.reserve(s.channels);
        Store::Checked& c = st.checked.emplace_back(ch);
        // A thread whose last channel had findings expects more and takes a
        // cached list (clean channels need none).
        if (st.last_had_findings) {
            const std::size_t i = s.spare_next.fetch_add(1, std::memory_order_relaxed);
            if (i < s.spares.size()) c.list = std::move(s.spares[i]);
        }
        try {
            check_channel(s.raw, ch, s.kernel, c.list);
        } catch (...) {
            st.checked.pop_back();
            throw;
        }
        st.last_had_findings = !c.list.empty();
    } catch (...) {
        if (!st.fault) {
            st.fault = std::current_exception();
            st.fault_channel = ch;
        }
    }
}

// What checking one channel costs, roughly: a clean channel's scan by the
// kernel plus a share per finding (measured on an AVX-512 machine; the AVX2
// and scalar scans take about 2 and 25 times as long).  The caller projects
// the unclaimed work both from this model, at the density of findings met so
// far, and from its own pace, and takes the lower figure: the first channels
// after a pause run on cold caches and on a thread that may be preempted, so
// the pace alone would wake helpers for a clean event.
nanoseconds scan_cost(Kernel k) noexcept {
    switch (k) {
    case Kernel::Avx512Gfni: return nanoseconds(200);
    case Kernel::Avx512:
    case Kernel::Avx2: return nanoseconds(450);
    case Kernel::Scalar: return nanoseconds(5500);
    }
    return nanoseconds(5500);
}
constexpr nanoseconds kFindingCost{20};

// Work still unclaimed, at the projected cost per channel.
nanoseconds unclaimed_work(const Shared& s) noexcept {
    const std::size_t claimed = std::min(s.next.load(std::memory_order_relaxed), s.channels);
    return s.per_channel * static_cast<std::int64_t>(s.channels - claimed);
}

void help(const std::shared_ptr<Shared>& s, bool first) noexcept;

bool wake(const std::shared_ptr<Shared>& s, bool first) noexcept {
    try {
        s->arena->enqueue([s, first] { help(s, first); });
        return true;
    } catch (...) {
        return false;  // no helper then; the work gets done all the same
    }
}

// Whether the first helper wakes one more: while a channel is left to
// claim, and the unclaimed work is worth a wake (or every channel goes to
// helpers).
bool worth_waking(const Shared& s) noexcept {
    if (s.next.load(std::memory_order_relaxed) >= s.channels) return false;
    return s.wake_all || unclaimed_work(s) > s.wake_above;
}

// A helper on a pool thread.  The first one woken wakes the others (the
// caller pays for one wake only) while worth_waking says so.
//
// Those wakes enqueue on the caller's arena, which the caller may destroy
// as soon as it has returned, while this helper may still be running (or
// be preempted anywhere).  So each wake is admitted by `wakes`: the helper
// adds 2 before it enqueues, gives up waking when the caller has closed
// the word (bit 0), and takes the 2 off once the enqueue has returned.  The
// caller, when every channel is done, closes the word and waits until no
// wake is under way; that wait lasts at most the one enqueue call a running
// helper has begun, never for a thread that has not started.  The helpers
// enqueued before may run after the call has returned: they hold `Shared`
// alone, find no channel left and wake nobody.
void help(const std::shared_ptr<Shared>& s, bool first) noexcept {
    if (first) {
        for (std::size_t k = 1; k < s->helpers && worth_waking(*s); ++k) {
            if ((s->wakes.fetch_add(2, std::memory_order_relaxed) & 1) != 0) {
                s->wakes.fetch_sub(2, std::memory_order_relaxed);
                break;  // closed: the call is over, or about to be
            }
            const bool woken = wake(s, false);
            // Publishes the end of this use of the arena to the caller.
            s->wakes.fetch_sub(2, std::memory_order_release);
            if (!woken) break;
        }
    }
    Store* st = nullptr;
    for (std::size_t ch = s->next.fetch_add(1, std::memory_order_relaxed); ch < s->channels;
         ch = s->next.fetch_add(1, std::memory_order_relaxed)) {
        if (st == nullptr) st = &s->stores[s->stores_taken.fetch_add(1, std::memory_order_relaxed)];
        check_into(*s, *st, ch);
        // Publishes the store to the caller.  After the last channel the
        // helper writes nothing the caller reads.
        s->helper_done.fetch_add(1, std::memory_order_release);
    }
}

// The caller's wait for channels that helpers are checking now, or for a
// helper's wake under way.  It lasts at most one channel's check per helper
// (or one enqueue call), so it spins, then yields.
void wait_for(const std::atomic<std::size_t>& done, std::size_t target) noexcept {
    for (unsigned i = 0; done.load(std::memory_order_acquire) != target; ++i) {
        if (i < 2048) {
#ifdef VEXO_ECC_X86
            _mm_pause();
#endif
        } else {
            std::this_thread::yield();
        }
    }
}

// The caller projects after its first and second channel (a channel's 4096
// words already show the density of findings), then after every fourth.
constexpr bool projects_after(std::size_t done) noexcept { return done <= 2 || done % 4 == 0; }

}  // namespace

ChannelFindings check_channels(std::span<const std::uint8_t> raw, tbb::task_arena& arena, Kernel kernel,
                               const Schedule& schedule) {
    const std::size_t channels = chip_count(raw.size()) * kChannelsPerChip;
    if (channels == 0) return {};
    const auto workers = static_cast<std::size_t>(std::max(arena.max_concurrency(), 1)) - 1;
    const bool helpers_only = schedule.helpers_only && workers > 0;

    auto s = std::make_shared<Shared>();
    s->raw = raw;
    s->kernel = kernel;
    s->channels = channels;
    s->arena = &arena;
    s->helpers = std::min(workers, channels);
    s->wake_all = helpers_only;
    s->wake_above = schedule.wake_above;
    s->stores.reset(new Store[s->helpers + 1]);
    s->spares = ListCache::take_all();
    Store& mine = s->stores[0];

    // Until it wakes a helper the caller counts channels alone; the shared
    // counter takes over from the wake on.
    bool woken = false;
    std::size_t done = 0;
    std::size_t ch = 0;
    if (helpers_only) {
        woken = wake(s, true);
        if (woken) ch = channels;
    }
    const Clock::time_point t0 = Clock::now();
    std::size_t found = 0;
    while (!woken && ch < channels) {
        check_into(*s, mine, ch);
        if (!mine.checked.empty() && mine.checked.back().ch == ch) found += mine.checked.back().list.size();
        ++ch;
        ++done;
        if (s->helpers > 0 && ch < channels && projects_after(done)) {
            const nanoseconds modelled = scan_cost(kernel) + kFindingCost * static_cast<std::int64_t>(found / done);
            const nanoseconds paced = (Clock::now() - t0) / static_cast<std::int64_t>(done);
            s->per_channel = std::min(modelled, paced);
            if (s->per_channel * static_cast<std::int64_t>(channels - ch) > schedule.wake_above) {
                s->next.store(ch, std::memory_order_relaxed);
                woken = wake(s, true);
            }
        }
    }
    if (woken) {
        if (!helpers_only) {
            for (ch = s->next.fetch_add(1, std::memory_order_relaxed); ch < channels;
                 ch = s->next.fetch_add(1, std::memory_order_relaxed)) {
                check_into(*s, mine, ch);
                ++done;
            }
        }
        // Every channel is claimed; wait for those that helpers are on.
        wait_for(s->helper_done, channels - done);
        // Then no helper may use the arena any more: close the wakes and
        // wait for one under way.
        s->wakes.fetch_or(1, std::memory_order_relaxed);
        wait_for(s->wakes, 1);
    }

    // Spares nobody took go back to this thread's cache.
    for (std::size_t i = s->spare_next.load(std::memory_order_relaxed); i < s->spares.size(); ++i) {
        ListCache::give(std::move(s->spares[i]));
    }

    const std::size_t taken = s->stores_taken.load(std::memory_order_relaxed);
    Store* fault = nullptr;
    for (std::size_t i = 0; i < taken; ++i) {
        if (s->stores[i].fault && (fault == nullptr || s->stores[i].fault_channel < fault->fault_channel)) {
            fault = &s->stores[i];
        }
    }
    // Taken out of the shared state, which a helper may be the last to let
    // go of: the exception the caller catches is freed on the caller's side.
    if (fault != nullptr) std::rethrow_exception(std::exchange(fault->fault, nullptr));

    std::vector<std::vector<EccEntry>> lists(channels);
    std::size_t seen = 0;
    for (std::size_t i = 0; i < taken; ++i) {
        Store& st = s->stores[i];
        for (Store::Checked& c : st.checked) lists[c.ch] = std::move(c.list);
        seen += st.checked.size();
    }
    check_invariant(seen == channels, "ECC check ended with a channel unchecked");
    return ChannelFindings(std::move(lists), channels - done);
}

ChannelFindings check_channels(std::span<const std::uint8_t> raw, Kernel kernel) {
    return check_channels(raw, runtime::pool::arena(), kernel);
}

void apply_corrections(std::span<std::uint8_t> buffer, std::span<const EccEntry> entries) {
    for (const EccEntry& e : entries) {
        if (e.correctable == 0) continue;
        check_invariant(e.position < buffer.size() && buffer.size() - e.position >= 2,
                        "ECC finding lies outside the corrected buffer");
        buffer[e.position] = static_cast<std::uint8_t>(e.corrected & 0xFF);
        buffer[e.position + 1] = static_cast<std::uint8_t>(e.corrected >> 8);
    }
}

void apply_corrections(std::span<std::uint8_t> buffer, const ChannelFindings& findings) {
    for (const std::span<const EccEntry> l : findings) apply_corrections(buffer, l);
}

}  // namespace vexoacq::ecc::check
