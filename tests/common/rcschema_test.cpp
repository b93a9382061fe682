// Every key of the rc schema through both programs: the monitor reads it
// from a file and from its letter alike, the editor reads it and writes it
// back, and the monitor reads what the editor wrote as the user's own line.

#include "common/rcschema.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "editor/rcmodel.h"
#include "monitor/cycle/rcfile.h"
#include "monitor/state/options.h"
#include "tests/editor/testfiles.h"

// The key names the cases.
void PrintTo(const RcKey& key, std::ostream* out) { *out << key.key; }

namespace {

using editortest::readFile;
using editortest::TempDir;
using editortest::writeFile;

// What a setting of the monitor holds, as text.
struct ValueText {
    std::string operator()(std::monostate) const { return "(no setting)"; }
    template <typename Number>
    std::string operator()(std::atomic<Number>* number) const {
        return std::to_string(number->load());
    }
    std::string operator()(TextSetting* text) const { return text->get().value_or("(none)"); }
    std::string operator()(DefinitionList* list) const {
        std::string joined;
        for (const std::string& definition : *list) joined += "[" + definition + "]";
        return joined;
    }
};

class EveryKey : public testing::TestWithParam<RcKey> {
protected:
    void SetUp() override {
        resetSettings();
        resetEditorSettings();
    }
    void TearDown() override {
        resetSettings();
        resetEditorSettings();
    }

    const RcKey& key() const { return GetParam(); }

    // The monitor's setting of the key; the key has one row in its table.
    std::string monitorValue() const {
        const Option* found = nullptr;
        for (const Option& row : optionTable()) {
            if (row.key != key().key) continue;
            EXPECT_EQ(found, nullptr) << "two rows of the option table read the key";
            found = &row;
        }
        if (found == nullptr) {
            ADD_FAILURE() << "no row of the option table reads the key";
            return "";
        }
        return std::visit(ValueText{}, found->target);
    }

    // A value other than the default, as a user writes it.
    std::string otherValue() const {
        switch (key().type) {
        case RcType::boolean:
            return toBoolean(key().defaultValue.value_or("")) ? "off" : "on";
        case RcType::integer:
            return "42";
        case RcType::text:
            return "some text";
        case RcType::definition:
            break;
        }
        return "IMAP mail.example.org alice secret Lists";
    }

    // Reads the file into fresh settings of the monitor; what it said.
    static std::string monitorReads(const std::string& path) {
        resetSettings();
        testing::internal::CaptureStderr();
        EXPECT_TRUE(readRcFile(optionTable(), path, 1));
        return testing::internal::GetCapturedStderr();
    }

    TempDir directory;
};

TEST_P(EveryKey, BothProgramsReadItAndTheEditorWritesItBackAsTheMonitorReadIt) {
    const std::string rc = directory.path("rc"), saved = directory.path("saved");
    const std::string defaultValue = monitorValue();
    writeFile(rc, std::string(key().key) + " = " + otherValue() + "\n");
    EXPECT_EQ(monitorReads(rc), "");
    const std::string read = monitorValue();
    EXPECT_NE(read, defaultValue);

    if (key().letter) {
        resetSettings();
        std::vector<std::string> words{"quorvik", std::string("-") + *key().letter};
        // A boolean option inverts its default.
        if (key().type != RcType::boolean) words.push_back(otherValue());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        scanCommandLine(optionTable(), static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(monitorValue(), read) << "the letter sets what the key sets";
    }

    editorSettings().rcPath = rc;
    testing::internal::CaptureStderr();
    loadRcFile();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "the editor knows the key";
    editorSettings().rcPath = saved;
    ASSERT_TRUE(saveRcFile());
    EXPECT_NE(readFile(saved).find("\n" + std::string(key().key) + " = "), std::string::npos);
    EXPECT_EQ(monitorReads(saved), "");
    EXPECT_EQ(monitorValue(), read);
}

// A file the editor saves untouched leaves the monitor as it starts: both
// programs take the same defaults, through parsers that know them.
TEST_P(EveryKey, TheEditorsDefaultIsTheMonitors) {
    testing::internal::CaptureStderr();
    resetSettings();
    const std::string defaultValue = monitorValue();
    resetEditorSettings();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    const std::string saved = directory.path("saved");
    editorSettings().rcPath = saved;
    ASSERT_TRUE(saveRcFile());
    EXPECT_EQ(monitorReads(saved), "");
    EXPECT_EQ(monitorValue(), defaultValue);
}

INSTANTIATE_TEST_SUITE_P(RcSchema, EveryKey, testing::ValuesIn(rcSchema),
                         [](const testing::TestParamInfo<RcKey>& info) {
                             return std::string(info.param.key);
                         });

}  // namespace
