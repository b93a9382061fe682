#include "monitor/state/commandenv.h"

#include <string_view>

extern char** environ;

namespace {

const char* typeName(int32_t type) {
    switch (type) {
    case BOX_MBOX:
        return "MBOX";
    case BOX_MAILDIR:
        return "MAILDIR";
    case BOX_MH:
        return "MH";
    case BOX_POP3:
        return "POP3";
    case BOX_HOTMAIL:
        return "HOTMAIL";
    case BOX_IMAP:
        return "IMAP";
    default:
        return "";
    }
}

bool isNetworkBox(const Box& box) {
    return box.type == BOX_POP3 || box.type == BOX_HOTMAIL || box.type == BOX_IMAP;
}

}  // namespace

std::vector<std::string> boxVariables(const Box& box) {
    std::vector<std::string> variables;
    variables.push_back(std::string("QUORVIK_TYPE=") + typeName(box.type));
    if (isNetworkBox(box)) {
        variables.push_back("QUORVIK_SERVER=" + box.path);
        variables.push_back("QUORVIK_PORT=" + std::to_string(box.port));
    } else {
        variables.push_back("QUORVIK_PATH=" + box.path);
    }
    variables.push_back("QUORVIK_USER=" + box.user.value_or(""));
    variables.push_back("QUORVIK_FOLDER=" + box.folder.value_or(""));
    return variables;
}

CommandEnvironment commandEnvironment(std::vector<std::string> variables) {
    CommandEnvironment environment;
    // A value left by a monitor that started this one (or by the user) would
    // pass for news of this one's boxes.
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
        if (!std::string_view(*entry).starts_with("QUORVIK_"))
            environment.entries.emplace_back(*entry);
    for (std::string& variable : variables) environment.entries.push_back(std::move(variable));
    for (std::string& entry : environment.entries) environment.pointers.push_back(entry.data());
    environment.pointers.push_back(nullptr);
    return environment;
}
