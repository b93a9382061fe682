#pragma once
// Shared by the fuzz targets: a scratch directory of the process, files
// written from an input, a check that stops the run loudly, and a
// connection whose server side was written beforehand.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

inline std::string_view bytes(const uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// A finding the sanitizers cannot see: a wrong result. abort() makes libFuzzer
// keep the input and the replay test fail.
// The sanitizers' summary line reaches their report file, which stays open
// when the fuzzer closes standard error.
extern "C" __attribute__((weak)) void __sanitizer_report_error_summary(const char* summary);

[[noreturn]] inline void fail(const char* what) {
    std::string summary = std::string("fuzz check failed: ") + what;
    if (__sanitizer_report_error_summary != nullptr)
        __sanitizer_report_error_summary(summary.c_str());
    else
        std::fprintf(stderr, "%s\n", summary.c_str());
    std::abort();
}

inline void check(bool ok, const char* what) {
    if (!ok) fail(what);
}

// A directory of this process, on tmpfs when there is one (the targets write
// a file or two at every input), removed when the process exits.
inline const std::string& scratchDirectory() {
    static const std::string path = [] {
        namespace fs = std::filesystem;
        std::error_code error;
        fs::path base =
            fs::is_directory("/dev/shm", error) ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string pattern = (base / "quorvik-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) fail("mkdtemp");
        static std::string removed;
        removed = pattern;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(removed, ignored);
        });
        return pattern;
    }();
    return path;
}

inline std::string scratchPath(std::string_view name) {
    return scratchDirectory() + "/" + std::string(name);
}

// Replaces the file's content with the bytes.
inline void writeFile(const std::string& path, std::string_view content) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) fail("open a scratch file");
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t put = ::write(fd, content.data() + done, content.size() - done);
        if (put <= 0) fail("write a scratch file");
        done += static_cast<std::size_t>(put);
    }
    ::close(fd);
}

// Splits an input into what a server sends in separate reads: a piece ends
// after each newline and at each 0x1f byte (which is dropped). The pieces
// past `limit` stay with the last one, so that the socket buffer holds them.
inline std::vector<std::string_view> serverPieces(std::string_view input, std::size_t limit) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (std::size_t at = 0; at < input.size() && pieces.size() + 1 < limit; ++at) {
        if (input[at] == '\n') {
            pieces.push_back(input.substr(start, at + 1 - start));
            start = at + 1;
        } else if (input[at] == '\x1f') {
            pieces.push_back(input.substr(start, at - start));
            start = at + 1;
        }
    }
    if (start < input.size()) pieces.push_back(input.substr(start));
    return pieces;
}

// A connection to a server that has said everything it will say: each piece
// arrives as one read (a SOCK_SEQPACKET pair keeps the bounds), then the end
// of the stream. The client's end is non-blocking, as a connected mail socket
// is; what the client sends is never read. Returns the client's descriptor.
inline int scriptedServer(const std::vector<std::string_view>& pieces) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) fail("socketpair");
    for (std::string_view piece : pieces) {
        if (piece.empty()) continue;  // an empty record would read as the end
        if (::send(ends[1], piece.data(), piece.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(piece.size()))
            fail("send a server piece");
    }
    ::shutdown(ends[1], SHUT_WR);
    // The server's end stays open until the client is done, so that the
    // client's commands are taken; closing the client's end frees both.
    static std::vector<int> serverEnds;
    for (int fd : serverEnds) ::close(fd);
    serverEnds.assign(1, ends[1]);
    int flags = ::fcntl(ends[0], F_GETFL);
    ::fcntl(ends[0], F_SETFL, flags | O_NONBLOCK);
    return ends[0];
}

}  // namespace fuzz
