// The command-line scan on argument vectors made of the input's NUL-separated
// words, then the rebuild of the box list from the -m definitions. Words
// that would end the process (help, version, a value option without a value)
// are dropped first: the scan is meant to exit there.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "monitor/state/boxes.h"
#include "monitor/state/options.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/rebuild_checks.h"
#include "tests/support/monitor_testing.h"

namespace {

const Option* rowOf(const std::string& word) {
    if (word.size() < 2 || word[0] != '-') return nullptr;
    for (const Option& row : optionTable())
        if (row.letter == word[1]) return &row;
    return nullptr;
}

std::vector<std::string> argumentsThatReturn(std::string_view input) {
    std::vector<std::string> words;
    std::size_t start = 0;
    for (std::size_t at = 0; at <= input.size(); ++at) {
        if (at == input.size() || input[at] == '\0') {
            words.emplace_back(input.substr(start, at - start));
            start = at + 1;
        }
    }
    std::vector<std::string> kept{"quorvik"};
    for (std::size_t at = 0; at < words.size(); ++at) {
        const Option* row = rowOf(words[at]);
        if (row == nullptr || row->kind == OptionKind::boolean) {
            kept.push_back(words[at]);
        } else if (row->kind == OptionKind::help || row->kind == OptionKind::version) {
            continue;
        } else if (at + 1 < words.size() && !words[at + 1].empty()) {
            kept.push_back(words[at]);
            kept.push_back(words[++at]);
        } else {
            ++at;  // the option and its empty value go together
        }
    }
    return kept;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    resetSettings();
    clearBoxList();
    std::vector<std::string> arguments = argumentsThatReturn(fuzz::bytes(data, size));
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    scanCommandLine(optionTable(), static_cast<int>(arguments.size()), argv.data());

    std::vector<std::string> definitions = settings::boxDefinitions;
    std::sort(definitions.begin(), definitions.end());
    fuzz::check(std::adjacent_find(definitions.begin(), definitions.end()) == definitions.end(),
                "a definition given twice is kept once");

    rebuildBoxList();
    fuzz::checkRebuilt();
    clearBoxList();
    return 0;
}
