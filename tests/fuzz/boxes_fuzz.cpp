// The parser of one box definition, "TYPE FILE-OR-URL [USERNAME] [PASSWORD]
// [FOLDER]". Its fields are compared with a plain split of the text.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/definition.h"
#include "monitor/state/boxes.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

bool isSeparator(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::vector<std::string> words(std::string_view text) {
    std::vector<std::string> found;
    std::string word;
    for (char c : text) {
        if (!isSeparator(c)) {
            word.push_back(c);
        } else if (!word.empty()) {
            found.push_back(word);
            word.clear();
        }
    }
    if (!word.empty()) found.push_back(word);
    return found;
}

std::optional<std::string> wordAt(const std::vector<std::string>& found, std::size_t at) {
    if (at < found.size()) return found[at];
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string_view text = fuzz::bytes(data, size);
    std::shared_ptr<Box> box = parseDefinition(text);
    if (!box) return 0;

    std::vector<std::string> found = words(text);
    for (std::size_t at = 0; at < 5 && at < found.size(); ++at)
        fuzz::check(found[at].size() <= definitionWordLimits[at],
                    "a field over its limit is refused");

    std::string location = found.size() > 1 ? found[1] : "";
    location = location.substr(0, location.find(':'));
    bool network = box->type == BOX_POP3 || box->type == BOX_HOTMAIL || box->type == BOX_IMAP;
    fuzz::check(box->type == boxTypeCode(found.empty() ? "" : found[0]), "type from the keyword");
    fuzz::check(box->path.find(':') == std::string::npos, "the path is cut at its colon");
    if (box->type != BOX_MH) fuzz::check(box->path == location, "the path is the second field");
    if (network) {
        fuzz::check(box->port != 0, "a network box has a port");
    } else {
        // An MH folder is trimmed of its trailing slash: "/" names the root.
        fuzz::check(found.size() >= 2 && (!box->path.empty() || box->type == BOX_MH),
                    "a local box names its store");
    }
    fuzz::check(box->user == wordAt(found, 2), "the user name is the third field");
    fuzz::check(box->password == wordAt(found, 3), "the password is the fourth field");
    if (box->type == BOX_IMAP && found.size() < 5)
        fuzz::check(box->folder == "INBOX", "an IMAP box without a folder watches INBOX");
    else
        fuzz::check(box->folder == wordAt(found, 4), "the folder is the fifth field");
    return 0;
}
