#pragma once
// A fresh folder below $TMPDIR (or /tmp) for one test, removed with everything in it afterwards.

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace loglathe::testing {

class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/loglathe-output-XXXXXX";
        if (::mkdtemp(pattern.data()))
            path_ = pattern + "/";
    }
    ~TempDir() {
        if (!path_.empty())
            std::system(("rm -rf '" + path_ + "'").c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !path_.empty(); }
    // Ends in "/".
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The whole file, or "<missing>" when it cannot be read.
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "<missing>";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace loglathe::testing
