// Times the local checks on generated data beside the plain tools that read
// the same data: the mbox scan beside `wc -l` and a 512-byte fgets loop, the
// Maildir count beside `ls -f new cur | wc -l`, the MH count beside `ls -f`.
// Every figure is the best of a few warm-cache runs.

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "monitor/checks/check.h"
#include "monitor/checks/maildir.h"
#include "monitor/checks/mbox.h"
#include "monitor/checks/mh.h"
#include "monitor/headers/headerfields.h"
#include "monitor/headers/headertext.h"
#include "monitor/state/boxes.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

double secondsOf(const std::function<void()>& work, int runs) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        work();
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

// Runs a shell line with its output thrown away.
void shell(const std::string& line) {
    const char* argv[] = {"/bin/sh", "-c", line.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    if (posix_spawn(&child, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ) == 0)
        waitpid(child, nullptr, 0);
    posix_spawn_file_actions_destroy(&actions);
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The reading the check would do with fgets and a 512-byte buffer.
int64_t fgetsScan(const std::string& path) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "r"));
    if (!file) return -1;
    char line[512];
    int64_t messages = 0, reads = 0;
    bool headers = false, continued = false;
    while (std::fgets(line, sizeof line, file.get()) != nullptr) {
        if (!continued) {
            if (std::strncmp(line, "From ", 5) == 0) {
                ++messages;
                headers = true;
            } else if (headers && std::strcmp(line, "\n") == 0) {
                headers = false;
            } else if (headers && std::strncmp(line, "Status:", 7) == 0 &&
                       std::strchr(line + 7, 'R') != nullptr) {
                ++reads;
            }
        }
        continued = std::strchr(line, '\n') == nullptr;
    }
    return messages - reads;
}

int64_t scannerScan(const std::string& path, int64_t& messages) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOATIME);
    if (fd < 0) fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return -1;
    MboxScanner scanner;
    scanMboxFile(fd, scanner, INT64_MAX);
    ::close(fd);
    messages = scanner.messages();
    return scanner.messages() - scanner.readMessages();
}

// About 1 GiB in 100,000 messages of 10.7 kB, every third one read.
void writeMbox(const std::string& path, int messages, int bodyLines) {
    std::string body;
    // Plain text lines, some beginning with F as real text does, and one
    // line longer than the 511 bytes that are examined of a line.
    for (int i = 0; i < bodyLines; ++i) {
        body += i % 20 == 0 ? "For example, lorem ipsum dolor sit amet, consectetur adipiscing"
                            : "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do";
        body += static_cast<char>('a' + i % 26);
        body += "\n";
    }
    body += std::string(600, '=') + "\n";
    body += "\n";
    std::string block;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "w"));
    for (int i = 0; i < messages; ++i) {
        block += "From sender" + std::to_string(i % 97) +
                 "@example.org Mon Jan  1 00:00:00 2024\n"
                 "Return-Path: <sender@example.org>\n"
                 "Received: from mail.example.org by mx.example.net; Mon, 1 Jan 2024\n"
                 "From: Sender <sender@example.org>\n"
                 "To: user@example.net\n"
                 "Subject: message " +
                 std::to_string(i) +
                 "\n"
                 "Message-ID: <" +
                 std::to_string(i) +
                 "@example.org>\n"
                 "Date: Mon, 1 Jan 2024 00:00:00 +0000\n"
                 "MIME-Version: 1.0\n"
                 "Content-Type: text/plain; charset=us-ascii\n";
        if (i % 3 == 0) block += "Status: RO\n";
        block += "\n";
        block += body;
        if (block.size() > (4u << 20)) {
            std::fwrite(block.data(), 1, block.size(), file.get());
            block.clear();
        }
    }
    std::fwrite(block.data(), 1, block.size(), file.get());
}

void touchFiles(const fs::path& directory, int count, const char* suffix) {
    fs::create_directories(directory);
    for (int i = 0; i < count; ++i) {
        std::string name = directory / ("1700000000." + std::to_string(i) + ".host" + suffix);
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT, 0600);
        if (fd >= 0) ::close(fd);
    }
}

// The speed ratio is the reference's time over ours: above 1 is faster.
void report(const char* what, double ours, const char* against, double reference, double goal) {
    double ratio = reference / ours;
    std::printf("%-30s %8.1f ms   %-24s %8.1f ms   speed ratio %5.2f (goal >= %.2f: %s)\n", what,
                ours * 1e3, against, reference * 1e3, ratio, goal,
                ratio >= goal ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
    const char* base =
        argc > 1 ? argv[1] : (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
    std::string pattern = std::string(base) + "/quorvik-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    fs::path root = pattern;
    int status = 0;

    {
        std::string mbox = root / "mbox";
        writeMbox(mbox, 100000, 150);
        struct stat size {};
        ::stat(mbox.c_str(), &size);
        std::printf("mbox: %.2f GiB, 100000 messages\n", size.st_size / double(1 << 30));
        int64_t messages = 0, unread = 0;
        shell("cat '" + mbox + "'");  // warm the cache
        double ours = secondsOf([&] { unread = scannerScan(mbox, messages); }, 5);
        double wc = secondsOf([&] { shell("wc -l < '" + mbox + "'"); }, 5);
        int64_t reference = 0;
        double fgets = secondsOf([&] { reference = fgetsScan(mbox); }, 2);
        if (messages != 100000 || unread != reference) {
            std::printf("mbox counts differ: %lld messages, %lld vs %lld new\n",
                        static_cast<long long>(messages), static_cast<long long>(unread),
                        static_cast<long long>(reference));
            status = 1;
        }
        std::printf("mbox scan throughput %.2f GB/s\n", size.st_size / ours / 1e9);
        report("mbox scan", ours, "wc -l", wc, 0.7);
        report("mbox scan", ours, "fgets, 512-byte buffer", fgets, 3.0);

        // The check itself: a count, then the check of the unchanged file.
        Box box;
        box.path = mbox;
        box.type = BOX_MBOX;
        double first = secondsOf([&] { checkBox(box); }, 1);
        struct stat before {
        }, after{};
        ::stat(mbox.c_str(), &before);
        int again = 0;
        double second = secondsOf([&] { again = checkBox(box); }, 1);
        ::stat(mbox.c_str(), &after);
        // What a count now adds: the newest new message's header block, read
        // and decoded once per count.
        MboxScanner last;
        int fd = ::open(mbox.c_str(), O_RDONLY);
        scanMboxFile(fd, last, INT64_MAX);
        MessageSummary newest;
        double summary =
            secondsOf([&] { newest = readMessageSummary(fd, last.lastNewMessage()); }, 20);
        ::close(fd);
        std::printf("mbox newest message (\"%s\"): %.3f ms, %.3f%% of the scan\n",
                    newest.subject.c_str(), summary * 1e3, 100 * summary / ours);
        std::printf(
            "mbox check: count %.1f ms, unchanged file %.3f ms (%s, ctime %s)\n", first * 1e3,
            second * 1e3, again == 0 ? "not read" : "read again",
            before.st_ctim.tv_nsec == after.st_ctim.tv_nsec && before.st_ctime == after.st_ctime
                ? "kept"
                : "changed");
        fs::remove(mbox);
    }

    {
        fs::path maildir = root / "Maildir";
        touchFiles(maildir / "new", 50000, "");
        touchFiles(maildir / "cur", 50000, ":2,S");
        fs::create_directories(maildir / "tmp");
        std::string cur = maildir / "cur", fresh = maildir / "new";
        int32_t seen = 0, total = 0;
        countMaildirDir(cur.c_str(), seen, total);
        double ours = secondsOf(
            [&] {
                seen = total = 0;
                countMaildirDir(cur.c_str(), seen, total);
                countMaildirDir(fresh.c_str(), seen, total);
            },
            20);
        double ls =
            secondsOf([&] { shell("cd '" + maildir.string() + "' && ls -f new cur | wc -l"); }, 20);
        if (total != 100000 || seen != 50000) status = 1;
        report("Maildir count, 100000 entries", ours, "ls -f new cur | wc -l", ls, 1.25);
        // Today's count also keeps the newest unseen name: beside the count
        // without it, as it was.
        double plain = secondsOf(
            [&] {
                seen = total = 0;
                countMaildirDir(cur.c_str(), seen, total, nullptr);
                countMaildirDir(fresh.c_str(), seen, total, nullptr);
            },
            20);
        std::printf("Maildir count with the newest unseen %.1f ms, without %.1f ms (%+.1f%%)\n",
                    ours * 1e3, plain * 1e3, 100 * (ours - plain) / plain);
        fs::remove_all(maildir);
    }

    {
        fs::path mail = root / "Mail";
        fs::path folder = mail / "inbox";
        fs::create_directories(folder);
        for (int i = 1; i <= 10000; ++i) {
            std::string name = folder / std::to_string(i);
            int fd = ::open(name.c_str(), O_WRONLY | O_CREAT, 0600);
            if (fd >= 0) ::close(fd);
        }
        {
            std::unique_ptr<std::FILE, FileCloser> sequences(
                std::fopen((folder / ".mh_sequences").c_str(), "w"));
            std::fputs("unseen: 1-100 200 300-400\n", sequences.get());
            std::unique_ptr<std::FILE, FileCloser> profile(
                std::fopen((root / "profile").c_str(), "w"));
            std::fprintf(profile.get(), "Path: %s\n", mail.c_str());
        }
        setenv("MH", (root / "profile").c_str(), 1);
        Box box;
        box.path = "inbox";
        box.type = BOX_MH;
        checkBox(box);
        double ours = secondsOf([&] { checkBox(box); }, 20);
        double ls = secondsOf([&] { shell("ls -f '" + folder.string() + "'"); }, 20);
        if (box.totalCount != 10000 || box.newCount != 202) status = 1;
        report("MH check, 10000 messages", ours, "ls -f", ls, 0.5);
        fs::remove_all(root / "Mail");
    }

    {
        // The decoding of one header text, plain and encoded.
        const std::string
            plain = "Re: [quorvik] the display of the counts",
            encoded =
                "=?UTF-8?Q?Gr=C3=BC=C3=9Fe_aus_K=C3=B6ln?= =?iso-8859-1?q?_und_D=FCsseldorf?=";
        std::string out;
        double ascii = secondsOf(
            [&] {
                for (int i = 0; i < 10000; ++i) out = decodeHeaderText(plain);
            },
            5);
        double words = secondsOf(
            [&] {
                for (int i = 0; i < 10000; ++i) out = decodeHeaderText(encoded);
            },
            5);
        double sender = secondsOf(
            [&] {
                for (int i = 0; i < 10000; ++i)
                    out = decodeSender("=?UTF-8?B?w4VzYQ==?= <asa@example.org>");
            },
            5);
        std::printf("header decoding: plain %.2f us, encoded words %.2f us, sender %.2f us\n",
                    ascii * 1e2, words * 1e2, sender * 1e2);
    }

    fs::remove_all(root);
    if (status != 0) std::printf("counts came out wrong\n");
    return status;
}
