// One full check of one network box, as the monitor makes it, then exit:
//   quorvik-net-check [--risen] [--addresses A,B,...] 'IMAP localhost:993 alice secret [FOLDER]'
//   quorvik-net-check [--risen] [--addresses A,B,...] 'IMAP localhost:993 alice' password|token
//   COMMAND
// Prints "NEW TOTAL" and exits 0 when the box was counted, 1 otherwise.
// --addresses hands the server's name those addresses, in that order, in
// place of the name service's answer, to time the connect over addresses
// that do not answer. The second form signs in with PasswordCommand or
// TokenCommand set to the command. --risen has the box counted before with no
// new mail, so that the check finds its new count risen and reads who wrote
// the newest message (IMAP).

#include <arpa/inet.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "common/signals.h"
#include "monitor/checks/check.h"
#include "monitor/net/socket.h"
#include "monitor/state/boxes.h"
#include "monitor/state/options.h"

namespace {

std::vector<std::string> givenAddresses;

std::vector<SocketAddress> givenResolver(const std::string& /*host*/, int port) {
    std::vector<SocketAddress> addresses;
    for (const std::string& text : givenAddresses) {
        SocketAddress address;
        auto* four = reinterpret_cast<sockaddr_in*>(&address.storage);
        auto* six = reinterpret_cast<sockaddr_in6*>(&address.storage);
        if (inet_pton(AF_INET, text.c_str(), &four->sin_addr) == 1) {
            four->sin_family = AF_INET;
            four->sin_port = htons(static_cast<uint16_t>(port));
            address.size = sizeof *four;
        } else if (inet_pton(AF_INET6, text.c_str(), &six->sin6_addr) == 1) {
            six->sin6_family = AF_INET6;
            six->sin6_port = htons(static_cast<uint16_t>(port));
            address.size = sizeof *six;
        } else {
            continue;
        }
        addresses.push_back(address);
    }
    return addresses;
}

}  // namespace

int main(int argc, char** argv) {
    bool risen = argc > 1 && std::string_view{argv[1]} == "--risen";
    if (risen) {
        ++argv;
        --argc;
    }
    if (argc == 4 && std::strcmp(argv[1], "--addresses") == 0) {
        std::istringstream list(argv[2]);
        for (std::string address; std::getline(list, address, ',');)
            givenAddresses.push_back(address);
        setResolver(givenResolver);
        argv += 2;
        argc -= 2;
    }
    bool withCommand = argc == 4 && (std::string_view{argv[2]} == "password" ||
                                     std::string_view{argv[2]} == "token");
    if (argc != 2 && !withCommand) {
        std::fputs(
            "usage: quorvik-net-check [--risen] [--addresses A,B,...] 'TYPE HOST[:PORT] USER "
            "PASSWORD [FOLDER]'\n"
            "       quorvik-net-check [--risen] [--addresses A,B,...] 'TYPE HOST[:PORT] USER' "
            "password|token COMMAND\n",
            stderr);
        return 2;
    }
    if (withCommand) {
        TextSetting& command = std::string_view{argv[2]} == "password" ? settings::passwordCommand
                                                                       : settings::tokenCommand;
        command.reset(argv[3]);
    }
    // As in the monitor: no zombie of the commands' helper processes, and
    // no signal from a server that has gone.
    ignoreChildrenAndBrokenPipes();
    std::shared_ptr<Box> box = parseDefinition(argv[1]);
    if (box && risen) box->counted = true;
    if (!box || checkBox(*box) != 1) return 1;
    std::printf("%d %d\n", box->newCount.load(), box->totalCount.load());
    return 0;
}
