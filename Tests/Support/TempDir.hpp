#pragma once

#include <filesystem>
#include <string>

namespace pelsupport {

// A fresh directory under /tmp (mkdtemp), removed with everything in it when the object goes.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "pel-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& relative) const { return path_ / relative; }

private:
    std::filesystem::path path_;
};

// Writes `text` to `file`, creating its parent folders; fails the calling test on error.
void writeText(const std::filesystem::path& file, const std::string& text);
// The whole file as text ("" when it cannot be read).
std::string readText(const std::filesystem::path& file);
// The permission bits of a path (lstat), or -1.
int modeOf(const std::filesystem::path& p);

} // namespace pelsupport
