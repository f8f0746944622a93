#pragma once
// A temporary folder for a test, removed with everything in it at the end of the test.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace loglathe::testing {

class TempDir {
public:
    TempDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "loglathe-XXXXXX").string();
        path_ = ::mkdtemp(templ.data());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder, ending in "/".
    std::string root() const { return path_ + "/"; }
    std::string path(const std::string& relative) const { return root() + relative; }

    // Writes a file (creating its folders) and answers its full path.
    std::string write(const std::string& relative, const std::string& content) const {
        std::filesystem::path full = path(relative);
        std::filesystem::create_directories(full.parent_path());
        std::ofstream(full, std::ios::binary) << content;
        return full.string();
    }
    std::string mkdir(const std::string& relative) const {
        std::filesystem::create_directories(path(relative));
        return path(relative) + "/";
    }

private:
    std::string path_;
};

} // namespace loglathe::testing
