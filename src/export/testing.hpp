// Fault injection for the C++ tests of the export; nothing else includes
// this header.
#pragma once

namespace vexoacq::export_::csv::testing {

// The call that closes a block's output file, ::close unless replaced.
// Returns the previous one; nullptr restores ::close.
using CloseFn = int (*)(int fd);
CloseFn set_close_for_tests(CloseFn fn) noexcept;

}  // namespace vexoacq::export_::csv::testing
