// Connecting: every address of a server in the resolver's order, and one
// bounded wait for a server whose addresses all drop packets.

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "monitor/accounts/accountstesting.h"
#include "monitor/checks/check.h"
#include "monitor/checks/imapcheck.h"
#include "monitor/checks/pop3check.h"
#include "monitor/net/imapclient.h"
#include "monitor/net/pop3client.h"
#include "monitor/net/socket.h"
#include "monitor/net/testing.h"
#include "tests/monitor/net/net_environment.h"
#include "tests/monitor/net/script_server.h"
#include "tests/monitor/net/test_certificate.h"

using namespace std::chrono_literals;
using namespace std::string_literals;
#include "tests/monitor/checks/scripted_peers.h"

namespace {

// Packets to this test network (TEST-NET-2) are routed to the loopback
// device, which drops them as not its own: a connect to it never completes,
// as to a server behind a firewall that drops. Each test has a network
// namespace of its own, so the route goes with it.
constexpr const char* droppedAddress = "198.51.100.7";

bool routeTestNetToNowhere() {
    return std::system("ip route replace 198.51.100.0/24 dev lo 2>/dev/null") == 0;
}

SocketAddress addressOf(const char* text, int port) {
    SocketAddress address;
    auto* six = reinterpret_cast<sockaddr_in6*>(&address.storage);
    auto* four = reinterpret_cast<sockaddr_in*>(&address.storage);
    if (inet_pton(AF_INET6, text, &six->sin6_addr) == 1) {
        six->sin6_family = AF_INET6;
        six->sin6_port = htons(static_cast<uint16_t>(port));
        address.size = sizeof *six;
    } else {
        inet_pton(AF_INET, text, &four->sin_addr);
        four->sin_family = AF_INET;
        four->sin_port = htons(static_cast<uint16_t>(port));
        address.size = sizeof *four;
    }
    return address;
}

// Names no name service knows, each with its addresses in the order given.
std::vector<SocketAddress> testResolver(const std::string& host, int port) {
    if (host == "dropped-first.test")
        return {addressOf(droppedAddress, port), addressOf("127.0.0.1", port)};
    if (host == "refused-first.test") return {addressOf("::1", port), addressOf("127.0.0.1", port)};
    if (host == "dropped.test")
        return {addressOf(droppedAddress, port), addressOf("198.51.100.8", port)};
    return systemResolver(host, port);
}

class Connect : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(routeTestNetToNowhere());
        setResolver(testResolver);
    }
    void TearDown() override { setResolver(nullptr); }
};

// Runs the check in a thread of its own and waits for it, far longer than
// the connect limits allow; the result, or -1 when it did not end.
int checkEnds(Box& box) {
    auto check = std::async(std::launch::async, [&] { return checkBox(box); });
    if (check.wait_for(60s) != std::future_status::ready) {
        ADD_FAILURE() << "the check did not end";
        check.wait();
        return -1;
    }
    return check.get();
}

}  // namespace

// Both families, in the resolver's order: an address that drops packets or
// refuses does not keep the check from the next one.
TEST_F(Connect, NextAddressAnswers) {
    const struct Case {
        const char* host;
        const char* listening;
    } cases[] = {
        {"dropped-first.test", "127.0.0.1"}, {"refused-first.test", "127.0.0.1"}, {"::1", "::1"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        auto box = networkBox(BOX_IMAP, 143, "alice", "secret");
        box->path = c.host;
        ImapCase dialogue{"", {}, 1, 3, 12, ""};
        ScriptedServer server(c.listening, 143, [&](Peer& peer) { playImap(peer, dialogue); });
        ASSERT_TRUE(server.ready());
        EXPECT_EQ(checkEnds(*box), 1);
        EXPECT_EQ(box->newCount, 3);
        EXPECT_EQ(box->totalCount, 12);
        EXPECT_NE(server.heard().find("A0002 LOGIN"), std::string::npos);
    }
}

// A server whose every address drops packets costs one bounded wait, and
// the box keeps its counts and fails as one that cannot be reached.
// (bench/net times it.)
TEST_F(Connect, DroppedAddressesEnd) {
    auto box = networkBox(BOX_IMAP, 993, "alice", "secret");
    box->path = "dropped.test";
    EXPECT_EQ(checkEnds(*box), 0);
    EXPECT_EQ(box->totalCount, 9);
    EXPECT_EQ(box->failure, BoxFailure::unreachable);
}
