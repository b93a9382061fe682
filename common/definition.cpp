#include "common/definition.h"

#include "common/text.h"

std::vector<std::string> splitWords(std::string_view text, std::size_t count) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (words.size() < count) {
        while (at < text.size() && isWhiteSpace(text[at])) ++at;
        if (at == text.size()) break;
        std::size_t end = at;
        while (end < text.size() && !isWhiteSpace(text[end])) ++end;
        words.emplace_back(text.substr(at, end - at));
        at = end;
    }
    return words;
}

std::optional<OverlongWord> firstOverlongWord(const std::vector<std::string>& words,
                                              std::size_t first) {
    for (std::size_t i = 0; i < words.size() && first + i < definitionWordLimits.size(); ++i) {
        std::size_t limit = definitionWordLimits[first + i];
        if (words[i].size() > limit) return OverlongWord{definitionWordNames[first + i], limit};
    }
    return std::nullopt;
}
