#include "monitor/net/knownservers.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "common/fd.h"
#include "common/home.h"
#include "common/paths.h"
#include "common/text.h"
#include "monitor/net/testing.h"

namespace {

// A file this large is no list of servers a user keeps; only its beginning
// is read, and it is never written, so nothing of it is lost.
constexpr std::size_t fileLimit = 1 << 20;
// Certificates warned about; a server that makes a new one for every
// connection must not grow the sets without end.
constexpr std::size_t warnedLimit = 256;
// Bad lines told of at one reading: a corrupt file must not flood the output.
constexpr std::size_t badLinesTold = 5;

constexpr std::string_view header =
    "# Servers quorvik has met over TLS, one a line: HOST:PORT, then verified\n"
    "# (its certificate verified) or pinned (taken when first met), then the\n"
    "# SHA-256 fingerprint of the certificate. Delete a server's line to accept\n"
    "# a new certificate of it. See quorvik(1).\n";

std::vector<std::string_view> blankSeparated(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && isBlank(line[at])) ++at;
        std::size_t start = at;
        while (at < line.size() && !isBlank(line[at])) ++at;
        if (at > start) words.push_back(line.substr(start, at - start));
    }
    return words;
}

std::string lowerCase(std::string_view text) {
    std::string lower;
    for (char c : text) lower.push_back(lowerAscii(c));
    return lower;
}

bool isHexDigit(char c) { return isDigit(c) || (lowerAscii(c) >= 'a' && lowerAscii(c) <= 'f'); }

// A port of 1 to 65535, digits only.
std::optional<int> portOf(std::string_view digits) {
    if (digits.empty() || digits.size() > 5) return std::nullopt;
    int port = 0;
    for (char c : digits) {
        if (!isDigit(c)) return std::nullopt;
        port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535) return std::nullopt;
    return port;
}

std::optional<std::string> serverOf(std::string_view word) {
    std::size_t colon = word.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::optional<int> port = portOf(word.substr(colon + 1));
    std::string_view host = word.substr(0, colon);
    if (!port) return std::nullopt;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        if (host.find_first_of("[]") != std::string_view::npos) return std::nullopt;
    } else if (host.empty() || host.find_first_of(":[]") != std::string_view::npos) {
        return std::nullopt;
    }
    return knownServerName(host, *port);
}

std::optional<std::string> fingerprintOf(std::string_view word) {
    if (word == "none") return std::string(word);
    if (word.size() != 32 * 3 - 1) return std::nullopt;
    std::string upper;
    for (std::size_t at = 0; at < word.size(); ++at) {
        char c = word[at];
        if (at % 3 == 2 ? c != ':' : !isHexDigit(c)) return std::nullopt;
        upper.push_back(c >= 'a' && c <= 'f' ? static_cast<char>(c - 'a' + 'A') : c);
    }
    return upper;
}

struct Stamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    bool operator==(const Stamp& other) const {
        return exists == other.exists && device == other.device && inode == other.inode &&
               size == other.size && modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec;
    }
};

struct Remembered {
    KnownServer server;
    std::size_t line = 0;  // in the file, from 1; 0 when it could not be written there
};

// The file as last read, and what the monitor has learned and told since.
struct State {
    std::string path;
    bool read = false;
    Stamp stamp;
    std::vector<std::string> lines;
    std::map<std::string, Remembered> servers;  // the first line of each server
    bool writable = true;                       // false when it could not be read whole
    std::map<std::string, KnownServer> unsaved;
    std::set<std::string> reported;  // problems of the file
    std::set<std::string> warned;    // servers and certificates warned about
};

std::mutex stateLock;  // guards state, and keeps two workers' writes apart
State state;

void warnOnce(const std::string& key, const std::string& text) {
    if (state.warned.size() >= warnedLimit) state.warned.clear();
    if (!state.warned.insert(key).second) return;
    std::fputs(text.c_str(), stderr);
}

void reportOnce(const std::string& text) {
    if (!state.reported.insert(text).second) return;
    std::fputs(text.c_str(), stderr);
}

void reportNotRemembered(const char* what, const std::string& why) {
    reportOnce("quorvik warning : " + std::string(what) + " " + state.path + " (" + why +
               "); servers met now are remembered until the monitor ends\n");
}

Stamp stampOf(const struct stat& status) {
    return {true, status.st_dev, status.st_ino, status.st_size, status.st_mtim};
}

// Reads the file into the state: at most fileLimit bytes, up to the last line
// end within them.
void readFile(const Stamp& stamp) {
    state.lines.clear();
    state.servers.clear();
    state.writable = true;
    state.stamp = stamp;
    state.read = true;
    if (!stamp.exists) return;

    FileDescriptor file{open(state.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    struct stat status {};
    if (!file.isOpen() || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        state.writable = false;
        reportNotRemembered("cannot read", file.isOpen() && !S_ISREG(status.st_mode)
                                               ? "not a regular file"
                                               : std::strerror(errno));
        return;
    }
    std::string text;
    char chunk[8192];
    for (;;) {
        ssize_t got = read(file.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            state.writable = false;
            reportNotRemembered("cannot read", std::strerror(errno));
            return;
        }
        if (got == 0) break;
        text.append(chunk, static_cast<std::size_t>(got));
        if (text.size() > fileLimit) {
            state.writable = false;
            reportOnce("quorvik warning : " + state.path +
                       " is larger than 1 MiB: only its beginning is read, and servers met now "
                       "are remembered until the monitor ends\n");
            text.resize(fileLimit);
            text.resize(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
            break;
        }
    }

    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        state.lines.emplace_back(text, at, end - at);
        at = end + 1;
    }
    std::size_t told = 0;
    for (std::size_t index = 0; index < state.lines.size(); ++index) {
        ParsedServerLine parsed = parseKnownServerLine(state.lines[index]);
        if (parsed.kind == ServerLine::bad) {
            // Once for each line, not at every reading.
            if (told < badLinesTold &&
                state.reported.insert("line\n" + state.lines[index]).second) {
                ++told;
                std::fprintf(stderr,
                             "quorvik warning : line %zu of %s is not understood and is "
                             "ignored\n",
                             index + 1, state.path.c_str());
            }
        } else if (parsed.kind == ServerLine::server) {
            std::string name = parsed.server.server;
            state.servers.emplace(name, Remembered{std::move(parsed.server), index + 1});
        }
    }
}

// Brings the state up to the file as it is now.
void refresh() {
    std::string path = knownServersPath();
    if (path != state.path) {
        state = State{};
        state.path = path;
    }
    struct stat status {};
    Stamp now;
    if (stat(path.c_str(), &status) == 0) {
        now = stampOf(status);
    } else if (errno != ENOENT) {
        state.lines.clear();
        state.servers.clear();
        state.writable = false;
        state.read = false;
        reportNotRemembered("cannot read", std::strerror(errno));
        return;
    }
    if (state.read && now == state.stamp) return;
    readFile(now);
}

std::optional<Remembered> find(const std::string& server) {
    refresh();
    if (auto known = state.servers.find(server); known != state.servers.end()) return known->second;
    if (auto known = state.unsaved.find(server); known != state.unsaved.end())
        return Remembered{known->second, 0};
    return std::nullopt;
}

// Holds the file against the other monitors of the user (on another display,
// say) while one re-reads, merges and replaces it, so that neither drops what
// the other wrote. The lock is on the file itself, made empty when missing;
// one replaced while this waited is let go, and the new one locked. Holds
// nothing when the file cannot be opened: the write then tells why.
FileDescriptor lockFile(const std::string& target) {
    // Each replacement waited out is another monitor's learning: a few.
    constexpr int tries = 100;
    FileDescriptor file;
    for (int attempt = 0; attempt < tries; ++attempt) {
        file.reset(open(target.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600));
        if (!file.isOpen()) return file;
        int locked;
        do locked = flock(file.get(), LOCK_EX);
        while (locked != 0 && errno == EINTR);
        if (locked != 0) return FileDescriptor{};
        struct stat held {};
        struct stat named {};
        if (fstat(file.get(), &held) == 0 && stat(target.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino)
            break;
    }
    return file;
}

// Writes the lines to a new file beside the target, then puts it in the
// target's place: a reader sees the old file or the new, never a part. The
// target is the file that the links at the path lead to: links kept by the
// user (a dotfile manager's, say) stay as they are.
bool writeLines(const std::string& target, const std::vector<std::string>& lines,
                std::string& why) {
    std::string temporary = target + ".XXXXXX";
    FileDescriptor file{mkostemp(temporary.data(), O_CLOEXEC)};
    if (!file.isOpen()) {
        why = std::strerror(errno);
        return false;
    }
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    bool written = fchmod(file.get(), 0600) == 0;
    for (std::string_view rest = text; written && !rest.empty();) {
        ssize_t put = write(file.get(), rest.data(), rest.size());
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            written = false;
            break;
        }
        rest.remove_prefix(static_cast<std::size_t>(put));
    }
    written = written && fsync(file.get()) == 0;
    if (!written) why = std::strerror(errno != 0 ? errno : EIO);
    if (close(file.release()) != 0 && written) {
        why = std::strerror(errno);
        written = false;
    }
    if (written && rename(temporary.c_str(), target.c_str()) != 0) {
        why = std::strerror(errno);
        written = false;
    }
    if (!written) unlink(temporary.c_str());
    return written;
}

void learn(const KnownServer& server) {
    refresh();
    state.unsaved[server.server] = server;
    if (!state.writable) return;
    std::string target = followLinks(state.path);
    FileDescriptor lock = lockFile(target);
    // Read again under the lock, whatever the stamps say: what other
    // monitors wrote meanwhile is kept.
    state.read = false;
    refresh();
    if (!state.writable) return;
    std::vector<std::string> lines = state.lines;
    if (auto known = state.servers.find(server.server); known != state.servers.end()) {
        lines[known->second.line - 1] = formatKnownServerLine(server);
    } else {
        if (lines.empty()) {
            for (std::string_view rest = header; !rest.empty();) {
                std::size_t end = rest.find('\n');
                lines.emplace_back(rest.substr(0, end));
                rest.remove_prefix(end + 1);
            }
        }
        lines.push_back(formatKnownServerLine(server));
    }
    std::string why;
    if (!writeLines(target, lines, why)) {
        reportNotRemembered("cannot write", why);
        return;
    }
    state.unsaved.erase(server.server);
    state.read = false;
    refresh();
}

// How the user takes the new certificate.
std::string howToAccept(const Remembered& remembered) {
    if (remembered.line == 0) return "restart the monitor\n";
    return "delete line " + std::to_string(remembered.line) + " (" + remembered.server.server +
           ") of " + state.path + "\n";
}

}  // namespace

std::string knownServerName(std::string_view host, int port) {
    std::string name = lowerCase(host);
    if (name.find(':') != std::string::npos) name = "[" + name + "]";
    return name + ":" + std::to_string(port);
}

ParsedServerLine parseKnownServerLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::vector<std::string_view> words = blankSeparated(line);
    if (words.empty() || words[0].front() == '#') return {};
    ParsedServerLine parsed;
    parsed.kind = ServerLine::bad;
    if (words.size() != 3 || (words[1] != "verified" && words[1] != "pinned")) return parsed;
    std::optional<std::string> server = serverOf(words[0]);
    std::optional<std::string> fingerprint = fingerprintOf(words[2]);
    if (!server || !fingerprint) return parsed;
    parsed.kind = ServerLine::server;
    parsed.server = {*server, words[1] == "verified", *fingerprint};
    return parsed;
}

std::string formatKnownServerLine(const KnownServer& server) {
    return server.server + (server.verified ? " verified " : " pinned ") + server.fingerprint;
}

Meeting judgeMeeting(const std::optional<KnownServer>& remembered, const TlsPeer& peer) {
    if (peer.verified) {
        bool same =
            remembered && remembered->verified && remembered->fingerprint == peer.fingerprint;
        return same ? Meeting::known : Meeting::learned;
    }
    if (!remembered) return Meeting::learned;
    if (remembered->verified) return Meeting::unverified;
    return remembered->fingerprint == peer.fingerprint ? Meeting::known : Meeting::changed;
}

std::string knownServersPath() { return homeDirectory() + "/.quorvik-servers"; }

bool knownServerAccepts(const std::string& server, const TlsPeer& peer) {
    std::lock_guard hold(stateLock);
    std::optional<Remembered> remembered = find(server);
    std::optional<KnownServer> known;
    if (remembered) known = remembered->server;
    switch (judgeMeeting(known, peer)) {
    case Meeting::known:
        return true;
    case Meeting::learned:
        if (!peer.verified) {
            // The user is told once for each certificate, however many
            // servers show it.
            warnOnce("certificate\n" + peer.fingerprint,
                     peer.fingerprint == "none"
                         ? "quorvik warning : the server presented no certificate\n"
                         : "quorvik warning : the certificate of the server could not be "
                           "verified: " +
                               peer.problem + "\n");
        }
        learn({server, peer.verified, peer.fingerprint});
        return true;
    case Meeting::changed:
        warnOnce("refused\n" + server + "\n" + peer.fingerprint,
                 "quorvik warning : the certificate of " + server +
                     " has changed and cannot be verified (" + peer.problem + "): it was " +
                     known->fingerprint + ", it is now " + peer.fingerprint +
                     "; the password was not sent. To accept the new certificate, " +
                     howToAccept(*remembered));
        return false;
    case Meeting::unverified:
        warnOnce("refused\n" + server + "\n" + peer.fingerprint,
                 "quorvik warning : the certificate of " + server + " cannot be verified (" +
                     peer.problem + "), though the server's certificate was verified before: " +
                     "it was " + known->fingerprint + ", it is now " + peer.fingerprint +
                     "; the password was not sent. To accept the new certificate, " +
                     howToAccept(*remembered));
        return false;
    }
    return false;
}

bool knownServerRefusesPlainText(const std::string& server) {
    std::lock_guard hold(stateLock);
    std::optional<Remembered> remembered = find(server);
    if (!remembered) return false;
    std::string accept = howToAccept(*remembered);
    warnOnce("plain\n" + server,
             "quorvik warning : " + server +
                 " offers no STARTTLS, though it was met over TLS before; the password was not "
                 "sent in plain text. If the server no longer offers TLS, " +
                 accept);
    return true;
}

void forgetServerWarnings() {
    std::lock_guard hold(stateLock);
    state.warned.clear();
    state.reported.clear();
}
