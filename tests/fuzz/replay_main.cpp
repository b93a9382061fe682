// Runs a fuzz target without libFuzzer: every file named on the command line,
// or found in a directory named there, is given to LLVMFuzzerTestOneInput
// once. A directory that does not exist holds no inputs yet.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace fs = std::filesystem;

namespace {

void runFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<char> content{std::istreambuf_iterator<char>(file),
                              std::istreambuf_iterator<char>()};
    std::fprintf(stderr, "input %s\n", path.c_str());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(content.data()), content.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    std::size_t count = 0;
    for (int at = 1; at < argc; ++at) {
        fs::path path = argv[at];
        std::error_code error;
        if (fs::is_directory(path, error)) {
            std::vector<fs::path> files;
            for (const auto& entry : fs::directory_iterator(path))
                if (entry.is_regular_file()) files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            for (const fs::path& file : files) runFile(file);
            count += files.size();
        } else if (fs::exists(path, error)) {
            runFile(path);
            ++count;
        }
    }
    std::printf("%zu inputs replayed\n", count);
    return count > 0 ? 0 : 1;
}
