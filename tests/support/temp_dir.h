#pragma once
// Files in tests: a temporary folder, removed with everything in it at the end of the test, and the
// reading of a whole file.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace loglathe::test {

// The whole content of a file ("" when it cannot be read).
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class TempDir {
public:
    TempDir() : TempDir(std::filesystem::temp_directory_path().string()) {}
    // A folder made in `base` instead of the system's temporary folder.
    explicit TempDir(const std::string& base) {
        std::string templ = (std::filesystem::path(base) / "loglathe-XXXXXX").string();
        const char* made = ::mkdtemp(templ.data());
        path_ = made ? made : templ;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder, ending in "/".
    std::string root() const { return path_ + "/"; }
    // The folder without the trailing "/".
    const std::string& folder() const { return path_; }
    std::string path(const std::string& relative) const { return root() + relative; }

    // Writes a file (creating its folders) and answers its full path.
    std::string write(const std::string& relative, const std::string& content) const {
        std::filesystem::path full = path(relative);
        std::filesystem::create_directories(full.parent_path());
        std::ofstream(full, std::ios::binary) << content;
        return full.string();
    }
    // Makes a folder (and its parents) and answers its full path, ending in "/".
    std::string mkdir(const std::string& relative) const {
        std::filesystem::create_directories(path(relative));
        return path(relative) + "/";
    }
    // A symbolic link to a folder.
    void link(const std::string& relative, const std::string& target) const {
        std::filesystem::create_directory_symlink(target, path(relative));
    }
    bool exists(const std::string& relative) const { return std::filesystem::exists(path(relative)); }

private:
    std::string path_;
};

} // namespace loglathe::test
