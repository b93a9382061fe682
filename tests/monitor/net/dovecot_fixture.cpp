#include "tests/monitor/net/dovecot_fixture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "tests/monitor/net/net_environment.h"

namespace {

const std::string script = QUORVIK_SOURCE_DIR "/tests/monitor/net/dovecot-fixture.sh";

class DovecotEnvironment : public testing::Environment {
public:
    const std::string& start() {
        if (!started) {
            started = true;
            directory = (std::filesystem::temp_directory_path() /
                         ("quorvik-dovecot-" + std::to_string(getpid())))
                            .string();
            std::string command = script + " start " + directory + " " + std::to_string(getpid());
            running = std::system(command.c_str()) == 0;
        }
        return directory;
    }
    bool isRunning() const { return running; }
    void TearDown() override {
        if (!started) return;
        std::string command = script + " stop " + directory;
        [[maybe_unused]] int ignored = std::system(command.c_str());
        started = running = false;
    }

private:
    bool started = false;
    bool running = false;
    std::string directory;
};

DovecotEnvironment* environment =
    static_cast<DovecotEnvironment*>(testing::AddGlobalTestEnvironment(new DovecotEnvironment));

}  // namespace

const std::string& dovecotDirectory() {
    const std::string& directory = environment->start();
    EXPECT_TRUE(environment->isRunning()) << "dovecot did not start";
    return directory;
}
