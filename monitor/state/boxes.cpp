#include "monitor/state/boxes.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <unordered_map>
#include <utility>

#include "common/definition.h"
#include "common/numbers.h"
#include "common/paths.h"
#include "common/text.h"

std::mutex boxListLock;
std::shared_ptr<const BoxList>& boxList =
    *new std::shared_ptr<const BoxList>(std::make_shared<const BoxList>());

namespace {

bool sameAccount(const Box& a, const Box& b) {
    return a.type == b.type && a.path == b.path && a.port == b.port && a.user == b.user &&
           a.folder == b.folder;
}

bool isNetworkType(int32_t type) {
    return type == BOX_POP3 || type == BOX_HOTMAIL || type == BOX_IMAP;
}

// Cuts a network box's "[ADDRESS]" or "[ADDRESS]:PORT" (an IPv6 address,
// whose colons are no port) to the address and reads the port; false for any
// other form, which is cut at its first colon as always.
bool cutBracketedAddress(std::string& location, int32_t& portNumber) {
    std::size_t close = location.find(']');
    if (location.empty() || location.front() != '[' || close == std::string::npos) return false;
    std::string_view rest = std::string_view(location).substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return false;
    portNumber = rest.empty() ? 0 : leadingInteger(rest.substr(1));
    location = location.substr(1, close - 1);
    return true;
}

std::optional<std::string> fieldOrNone(const std::string& field) {
    if (field.empty()) return std::nullopt;
    return field;
}

// The words of a definition that name the box, as written: type and place,
// and for a network box its user and folder. Never the password.
std::string labelOf(const std::vector<std::string>& fields, bool network) {
    static constexpr std::size_t naming[] = {0, 1, 2, 4};
    std::string label;
    for (std::size_t i : naming) {
        if (i >= fields.size() || fields[i].empty() || (!network && i > 1)) continue;
        if (!label.empty()) label += ' ';
        label += printable(fields[i]);
    }
    return label;
}

void report(const char* message, std::string_view place) {
    if (place.empty())
        std::fprintf(stderr, "%s\n", message);
    else
        std::fprintf(stderr, "%s %.*s\n", message, static_cast<int>(place.size()), place.data());
}

// Module state of the rebuilds, which run one at a time (start-up, then the
// reloads, one after another). Guarded by its own lock all the same.
std::mutex definitionStateLock;
std::unordered_map<std::string, std::string> definitionPlaces;
bool boxDefined = false;
bool fallbackInForce = false;

std::string placeOf(const std::string& text) {
    std::lock_guard guard(definitionStateLock);
    auto found = definitionPlaces.find(text);
    return found != definitionPlaces.end() ? found->second : std::string();
}

// Puts a new list in force. A new Box of the same account as an old one
// takes over its counts and stamps, so the display does not drop to 0 and a
// network box is not fetched again before its delay has passed.
void putInForce(std::shared_ptr<BoxList> fresh) {
    std::shared_ptr<const BoxList> old;
    {
        std::lock_guard guard(boxListLock);
        for (const auto& box : *fresh) {
            auto match = std::find_if(boxList->begin(), boxList->end(), [&](const auto& oldBox) {
                return sameAccount(*oldBox, *box);
            });
            if (match == boxList->end()) continue;
            box->timeStamp = (*match)->timeStamp.load();
            box->sizeStamp = (*match)->sizeStamp.load();
            box->newCount = (*match)->newCount.load();
            box->totalCount = (*match)->totalCount.load();
            box->counted = (*match)->counted.load();
            box->notifiedNew = (*match)->notifiedNew.load();
            box->risenAt = (*match)->risenAt.load();
            setNewestMessage(*box, newestMessage(**match));
            // A box that goes on failing is not told of again.
            box->failure = (*match)->failure.load();
        }
        old = std::move(boxList);
        boxList = std::move(fresh);
    }
    // The old Boxes go when the last worker or reader lets go of them.
    old.reset();
}

}  // namespace

std::shared_ptr<const BoxList> boxListSnapshot() {
    std::lock_guard guard(boxListLock);
    return boxList;
}

void addDefinition(DefinitionList& list, std::optional<std::string_view> text) {
    if (!text) return;
    if (std::find(list.begin(), list.end(), *text) != list.end()) return;
    list.emplace_back(*text);
}

int32_t boxTypeCode(std::string_view keyword) {
    static constexpr std::array<std::string_view, 6> keywords{"MBOX", "MAILDIR", "MH",
                                                              "POP3", "HOTMAIL", "IMAP"};
    for (std::size_t code = 0; code < keywords.size(); ++code)
        if (keywords[code] == keyword) return static_cast<int32_t>(code);
    return BOX_MBOX;
}

std::shared_ptr<Box> parseDefinition(std::string_view text, std::string_view place) {
    std::vector<std::string> fields = splitWords(text, definitionWordLimits.size());
    std::size_t found = fields.size();
    if (auto overlong = firstOverlongWord(fields)) {
        std::string message = "quorvik warning : mail box " + std::string(overlong->name) +
                              " is longer than " + std::to_string(overlong->limit) + " characters";
        // A sentence of its own before the place of the line that gave it.
        if (!place.empty()) message += '.';
        report(message.c_str(), place);
        return nullptr;
    }
    fields.resize(definitionWordLimits.size());

    auto box = std::make_shared<Box>();
    box->type = boxTypeCode(fields[0]);
    box->label = labelOf(fields, isNetworkType(box->type));
    std::string& location = fields[1];
    int32_t portNumber = 0;
    bool bracketed = isNetworkType(box->type) && cutBracketedAddress(location, portNumber);
    if (auto colon = location.find(':'); !bracketed && colon != std::string::npos) {
        portNumber = leadingInteger(std::string_view(location).substr(colon + 1));
        location.resize(colon);
    }

    switch (box->type) {
    case BOX_POP3:
        box->port = portNumber != 0 ? portNumber : 110;
        break;
    case BOX_HOTMAIL:
        box->port = portNumber != 0 ? portNumber : 1100;
        break;
    case BOX_IMAP:
        box->port = portNumber != 0 ? portNumber : 143;
        break;
    default: {
        if (found < 2) {
            report("Invalid Mail box parameters !", place);
            return nullptr;
        }
        struct stat status {};
        if (stat(location.c_str(), &status) != 0) {
            report(("Mail box '" + location + "' does not exist !").c_str(), place);
            return nullptr;
        }
        box->port = portNumber;
        break;
    }
    }

    // The MH check reads the folder name trimmed; trimming it once here means
    // no check ever writes a text that another thread may be reading.
    if (box->type == BOX_MH) trimPathEnd(location);
    box->path = location;
    box->user = fieldOrNone(fields[2]);
    if (!fields[3].empty()) box->password.emplace(fields[3]);
    // The field's copy goes with this call: it must not stay in freed memory.
    wipeBytes(fields[3].data(), fields[3].size());
    box->folder = fieldOrNone(fields[4]);
    if (box->type == BOX_IMAP && found < 5) box->folder = "INBOX";
    return box;
}

int32_t selectionInRange(int32_t selected, int32_t count) {
    if (selected >= 0 && selected <= count) return selected;
    std::fprintf(stderr, "quorvik warning : box-num must be >=0 and <=%d\n", count);
    return 0;
}

void rebuildBoxList(bool checkSelection) {
    if (settings::checkDelay.load() < 15) {
        std::fprintf(stderr, "quorvik warning : check delay must be >= 15\n");
        settings::checkDelay = 15;
    }
    if (settings::interval.load() == 0) {
        std::fprintf(stderr, "quorvik warning : interval must be >= 1\n");
        settings::interval = 1;
    }

    if (!settings::boxDefinitions.empty()) {
        auto fresh = std::make_shared<BoxList>();
        for (const std::string& definition : settings::boxDefinitions)
            if (auto box = parseDefinition(definition, placeOf(definition)))
                fresh->push_back(std::move(box));

        bool replaceFallback = false;
        {
            std::lock_guard guard(definitionStateLock);
            definitionPlaces.clear();
            boxDefined = true;
            replaceFallback = std::exchange(fallbackInForce, false);
        }
        // The system mailbox was watched only while no box was defined: the
        // user's own definitions replace it even when they yield no box.
        if (!fresh->empty() || replaceFallback) putInForce(std::move(fresh));
        settings::boxDefinitions.clear();
    }

    if (checkSelection)
        settings::selectedBox =
            selectionInRange(settings::selectedBox.load(), boxCount(*boxListSnapshot()));
}

void noteDefinitionPlace(std::string_view text, std::string_view place) {
    std::lock_guard guard(definitionStateLock);
    definitionPlaces.try_emplace(std::string(text), place);
}

bool anyBoxDefined() {
    std::lock_guard guard(definitionStateLock);
    return boxDefined;
}

void putFallbackBox(std::string_view definition) {
    auto box = parseDefinition(definition);
    if (!box) return;
    putInForce(std::make_shared<BoxList>(BoxList{std::move(box)}));
    std::lock_guard guard(definitionStateLock);
    fallbackInForce = true;
}

std::string_view boxPassword(const Box& box) {
    return box.password ? box.password->view() : std::string_view();
}

MessageSummary newestMessage(const Box& box) {
    std::lock_guard guard(box.newestLock);
    return box.newest;
}

void setNewestMessage(Box& box, MessageSummary summary) {
    std::lock_guard guard(box.newestLock);
    box.newest = std::move(summary);
}

std::shared_ptr<Box> boxAt(int32_t position) {
    auto list = boxListSnapshot();
    if (position < 1 || position > boxCount(*list)) return nullptr;
    return (*list)[static_cast<std::size_t>(position - 1)];
}

int32_t boxCount(const BoxList& list) { return static_cast<int32_t>(list.size()); }

// For the tests (tests/support/monitor_testing.h).
void clearBoxList() {
    {
        std::lock_guard guard(boxListLock);
        boxList = std::make_shared<const BoxList>();
    }
    std::lock_guard guard(definitionStateLock);
    definitionPlaces.clear();
    boxDefined = false;
    fallbackInForce = false;
}
