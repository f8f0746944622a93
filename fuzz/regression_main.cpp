// Replays fuzz inputs through a target's entry function once each, without a fuzzer: the regression
// run of `make test`, built by the ordinary compilers and sanitizer builds.
//
// Arguments: files or folders (walked recursively, files in name order). Every file is read before
// the first call, since a target may change the working directory. A crash or a failed check of the
// target ends the run with its report; otherwise the count of inputs is printed and the answer is 0.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);

namespace {

struct Input {
    std::string path;
    std::vector<uint8_t> bytes;
};

bool collect(const std::filesystem::path& path, std::vector<std::string>& files) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(path, error))
            if (entry.is_regular_file())
                found.push_back(entry.path().string());
        std::sort(found.begin(), found.end());
        files.insert(files.end(), found.begin(), found.end());
        return !error;
    }
    if (std::filesystem::is_regular_file(path, error)) {
        files.push_back(path.string());
        return true;
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (!collect(argv[i], files)) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 2;
        }
    }
    std::vector<Input> inputs;
    for (const std::string& file : files) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", file.c_str());
            return 2;
        }
        inputs.push_back({file, std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {})});
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "no inputs\n");
        return 2;
    }
    for (const Input& input : inputs) {
        // Named before the call, so that a crash shows which input caused it.
        std::fprintf(stderr, "replaying %s\n", input.path.c_str());
        LLVMFuzzerTestOneInput(input.bytes.data(), input.bytes.size());
    }
    std::fprintf(stderr, "%zu inputs replayed\n", inputs.size());
    return 0;
}
