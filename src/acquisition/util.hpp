// Recognising and listing acquisition folders.
#pragma once

#include <filesystem>
#include <vector>

#include "acquisition/acquisition.hpp"

namespace vexoacq::acquisition::util {

// True when path is a directory (links followed) holding an entry
// "metadata.yml" whose status can be queried (links followed).  Never fails.
bool is_acquisition(const std::filesystem::path& path) noexcept;

// The acquisitions directly inside dir, in the order the OS lists them.
// Never fails: an unreadable dir gives an empty list.
std::vector<Acquisition> list_acquisitions(const std::filesystem::path& dir);

}  // namespace vexoacq::acquisition::util
