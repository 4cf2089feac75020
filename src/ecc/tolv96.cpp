// Compile-time proof that the masks and SYNDROME_BITS describe one code:
// inverting bit k of a clean word gives a syndrome that names k again, for
// every k from d0 to d13, and d14 / d15 leave the syndrome at zero.
#include "ecc/tolv96.hpp"

namespace vexoacq::ecc::tolv96 {
namespace {

constexpr bool table_inverts_single_inversions() {
    for (unsigned k = 0; k < 14; ++k) {
        const unsigned s = syndrome_value(static_cast<std::uint16_t>(1u << k));
        if (s == 0 || SYNDROME_BITS[s - 1] != k) return false;
    }
    return syndrome_value(0x4000) == 0 && syndrome_value(0x8000) == 0;
}
static_assert(table_inverts_single_inversions());

// Each check bit d10-d13 enters exactly one syndrome bit.
static_assert(syndrome_value(0x0400) == 1 && syndrome_value(0x0800) == 2 && syndrome_value(0x1000) == 4 &&
              syndrome_value(0x2000) == 8);

}  // namespace
}  // namespace vexoacq::ecc::tolv96
