#include "support/tempdir.hpp"

#include <stdlib.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace vexoacq::testing {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vexoacq-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
    root_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Restore permissions a test may have taken away, so removal can descend.
    for (auto it = std::filesystem::recursive_directory_iterator(root_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_symlink(ec)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
        }
    }
    std::filesystem::remove_all(root_, ec);
}

std::filesystem::path TempDir::write(const std::filesystem::path& rel, std::string_view text) const {
    const std::filesystem::path p = root_ / rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!out) throw std::runtime_error("cannot write " + p.string());
    return p;
}

std::filesystem::path TempDir::write(const std::filesystem::path& rel, const std::vector<std::uint8_t>& bytes) const {
    return write(rel, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::filesystem::path TempDir::mkdir(const std::filesystem::path& rel) const {
    const std::filesystem::path p = root_ / rel;
    std::filesystem::create_directories(p);
    return p;
}

std::filesystem::path TempDir::symlink(const std::filesystem::path& target, const std::filesystem::path& rel) const {
    const std::filesystem::path p = root_ / rel;
    std::filesystem::create_directories(p.parent_path());
    std::filesystem::create_symlink(target, p);
    return p;
}

}  // namespace vexoacq::testing
