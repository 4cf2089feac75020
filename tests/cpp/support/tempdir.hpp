// A temporary folder for tests: created empty under $TMPDIR (or /tmp),
// removed with everything in it when the object goes away.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

namespace vexoacq::testing {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const noexcept { return root_; }
    std::filesystem::path operator/(const std::filesystem::path& rel) const { return root_ / rel; }

    // Writes a file (parent folders created), replacing any earlier content.
    std::filesystem::path write(const std::filesystem::path& rel, std::string_view text) const;
    std::filesystem::path write(const std::filesystem::path& rel, const std::vector<std::uint8_t>& bytes) const;
    // Creates a folder and its parents.
    std::filesystem::path mkdir(const std::filesystem::path& rel) const;
    // Creates rel as a symbolic link to target (taken as written).
    std::filesystem::path symlink(const std::filesystem::path& target, const std::filesystem::path& rel) const;

private:
    std::filesystem::path root_;
};

}  // namespace vexoacq::testing
