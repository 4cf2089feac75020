#include "acquisition/util.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <string>

namespace vexoacq::acquisition::util {

bool is_acquisition(const std::filesystem::path& path) noexcept {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    const std::filesystem::path metadata = path / "metadata.yml";
    return ::stat(metadata.c_str(), &st) == 0;
}

std::vector<Acquisition> list_acquisitions(const std::filesystem::path& dir) {
    std::vector<Acquisition> out;
    const std::unique_ptr<DIR, int (*)(DIR*)> handle(::opendir(dir.c_str()), &::closedir);
    if (!handle) return out;
    // The whole listing is read first, in the order the OS returns it; a null
    // entry ends it, at its end or on a failure part-way (which keeps the
    // entries read so far).
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(handle.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        names.emplace_back(entry->d_name);
    }
    for (const std::string& name : names) {
        auto acq = Acquisition::open(dir / name);
        if (acq.ok()) out.push_back(std::move(acq).value());
    }
    return out;
}

}  // namespace vexoacq::acquisition::util
