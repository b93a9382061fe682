// The editor's rc file reader: the input is the file. What the editor loads
// it must load again, unchanged, from the file it saves (CheckDelay is saved
// as at least 15; a saved line too long for the reader's parts of rcLinePart
// bytes is cut on reading, by design, and ends the comparison).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "common/definition.h"
#include "editor/rcmodel.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

bool sameEntries(const EntryList& a, const EntryList& b) {
    if (a.size() != b.size()) return false;
    for (auto left = a.begin(), right = b.begin(); left != a.end(); ++left, ++right) {
        if (left->type != right->type || left->path != right->path || left->user != right->user ||
            left->password != right->password || left->folder != right->folder)
            return false;
    }
    return true;
}

bool linesFitReader(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string content{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        if (end - start >= rcLinePart) return false;
        start = end + 1;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const std::string input = fuzz::scratchPath("input.rc");
    static const std::string saved = fuzz::scratchPath("saved.rc");
    fuzz::writeFile(input, fuzz::bytes(data, size));

    resetEditorSettings();
    editorSettings().rcPath = input;
    loadRcFile();
    EditorSettings loaded = editorSettings();

    editorSettings().rcPath = saved;
    fuzz::check(saveRcFile(), "the rc file is saved");
    if (!linesFitReader(saved)) return 0;
    resetEditorSettings();
    editorSettings().rcPath = saved;
    loadRcFile();
    const EditorSettings& again = editorSettings();

    fuzz::check(again.Backlight == loaded.Backlight && again.Blink == loaded.Blink &&
                    again.RunOnce == loaded.RunOnce && again.CheckSize == loaded.CheckSize &&
                    again.UseThreads == loaded.UseThreads && again.Push == loaded.Push,
                "flags survive a save");
    fuzz::check(again.Interval == loaded.Interval && again.DefaultBox == loaded.DefaultBox &&
                    again.CheckDelay == std::max<int32_t>(loaded.CheckDelay, 15),
                "numbers survive a save");
    fuzz::check(again.Color.value_or("") == loaded.Color.value_or("") &&
                    again.Command.value_or("") == loaded.Command.value_or("") &&
                    again.Notify.value_or("") == loaded.Notify.value_or("") &&
                    again.PasswordCommand == loaded.PasswordCommand &&
                    again.TokenCommand == loaded.TokenCommand,
                "texts survive a save");
    fuzz::check(sameEntries(again.entryList, loaded.entryList), "boxes survive a save");
    return 0;
}
