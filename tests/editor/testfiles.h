#pragma once
// Temporary directories and whole-file reads and writes for the editor tests.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace editortest {

inline const std::string dataDir = QUORVIK_SOURCE_DIR "/tests/data/editor";

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quorvik-editor-XXXXXX");
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp");
        root = name.data();
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::permissions(root, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(root, ignored);
    }
    std::string path(const std::string& name) const { return root + "/" + name; }
    const std::string& get() const { return root; }

    // Every name in the directory, sorted.
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (const auto& item : std::filesystem::directory_iterator(root))
            found.push_back(item.path().filename());
        std::sort(found.begin(), found.end());
        return found;
    }

private:
    std::string root;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace editortest
