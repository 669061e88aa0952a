// The state file: fiscal memory and counters survive a restart; a damaged
// file is refused and left alone.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "tests/sim/sim_test_util.h"

namespace simtest {
namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

class StateFile : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/m301sim-state-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        directory = dir;
        path = directory + "/printer.state";
    }
    void TearDown() override {
        std::remove(path.c_str());
        std::remove((path + ".tmp").c_str());
        rmdir(directory.c_str());
    }

    // A day with a sale, cash in and a Z-report, then a second open day.
    void WorkADay(m301sim::Printer& p) {
        auto ok = [&p](const std::string& utf8) { ASSERT_EQ(Status(p.Command(ToPrinterText(utf8))), "DONE") << utf8; };
        ok("UPAS0000Іван");
        ASSERT_EQ(p.Control("key 8"), "OK");
        ok("HEADМагазин Ромашка");
        ASSERT_EQ(p.Control("key 1"), "OK");
        ok("CAIOI0000001000");
        ok("PREP1");
        Sale s;
        s.article = 7;
        ASSERT_EQ(Status(p.Command(ShortLine(p.config(), s))), "DONE");
        ok(Comp(1050, 0, 0, 0, 0, 1050));
        ok("NREP");
        ok("PREP1");
        ASSERT_EQ(Status(p.Command(ShortLine(p.config(), s))), "DONE");
        ok(Comp(1050, 0, 0, 0, 0, 2000));
    }

    std::string directory, path;
};

TEST_F(StateFile, FiscalMemoryAndCountersSurviveARestart) {
    std::string before;
    {
        m301sim::Printer first;
        std::string error;
        ASSERT_TRUE(first.AttachStateFile(path, &error)) << error;
        WorkADay(first);
        before = first.StateJson();
    }
    m301sim::Printer second;
    std::string error;
    ASSERT_TRUE(second.AttachStateFile(path, &error)) << error;
    const std::string after = second.StateJson();
    for (const char* key : {"\"z_number\":1", "\"last_check_number\":2", "\"last_doc_number\":4", "\"cash\":3100",
                            "\"day_sales\":1050", "\"fiscal_memory_records\":1", "\"shift_open\":true",
                            "\"articles\":1"}) {
        EXPECT_NE(before.find(key), std::string::npos) << key << " in " << before;
        EXPECT_NE(after.find(key), std::string::npos) << key << " in " << after;
    }
    EXPECT_EQ(after.find("\"cashier\":\"Iван\""), std::string::npos) << "a restart asks for the cashier again";
    EXPECT_EQ(Status(second.Command("PREP1")), "SOFTUPAS");

    std::string paper;
    second.SetJournalSink([&paper](const std::string& d) { paper += d; });
    ASSERT_EQ(Status(second.Command("COPY")), "SOFTUPAS");
    ASSERT_EQ(Status(second.Command(ToPrinterText("UPAS0000Іван"))), "DONE");
    ASSERT_EQ(Status(second.Command("FIRN")), "DONE");
    EXPECT_NE(paper.find("Z № 0001"), std::string::npos) << paper;
    EXPECT_NE(paper.find("Магазин Ромашка"), std::string::npos) << "programmed texts are kept";
    ASSERT_EQ(Status(second.Command("COPY")), "DONE");
    EXPECT_NE(paper.find("КОПІЯ"), std::string::npos);
    EXPECT_EQ(Data(second.Command("ARTD0007")).substr(41, 10), "0000000001") << "articles are kept";
}

TEST_F(StateFile, TheFileKeepsThePrintersIdentity) {
    {
        m301sim::Config c;
        c.serialNumber = "1111111111";
        c.fiscalized = false;
        m301sim::Printer first(c);
        ASSERT_TRUE(first.AttachStateFile(path, nullptr));
    }
    m301sim::Printer second;  // default identity on the command line
    ASSERT_TRUE(second.AttachStateFile(path, nullptr));
    EXPECT_EQ(second.config().serialNumber, "1111111111");
    EXPECT_FALSE(second.config().fiscalized);
    EXPECT_EQ(Data(second.Command("CONf")).substr(4, 10), "1111111111");
}

TEST_F(StateFile, DamagedFilesAreRefusedAndLeftAlone) {
    {
        m301sim::Printer first;
        ASSERT_TRUE(first.AttachStateFile(path, nullptr));
        WorkADay(first);
    }
    const std::string good = ReadFile(path);
    std::string flipped = good;
    flipped[flipped.find("counters ") + 9] ^= 1;
    std::string unknown = good;
    unknown.insert(unknown.find("counters"), "mystery 1\n");
    struct Case {
        const char* what;
        std::string content;
        const char* reason;
    } cases[] = {
        {"one byte changed", flipped, "checksum"},
        {"cut short", good.substr(0, good.size() / 2), "cut short"},
        {"not a state file", "hello\n", "not a m301sim state file"},
        {"empty", "", "not a m301sim state file"},
        {"an entry that was never written, with its checksum redone", "", "unknown entry"},
    };
    for (Case& c : cases) {
        if (std::string(c.reason) == "unknown entry") {
            // Rebuild the checksum so that only the content is wrong.
            const size_t end = unknown.rfind("\nend ");
            std::string content = unknown.substr(0, end + 1);
            uint64_t h = 1469598103934665603ull;
            for (char ch : content) {
                h ^= static_cast<unsigned char>(ch);
                h *= 1099511628211ull;
            }
            char line[40];
            std::snprintf(line, sizeof line, "end %016llx\n", static_cast<unsigned long long>(h));
            c.content = content + line;
        }
        WriteFile(path, c.content);
        m301sim::Printer p;
        std::string error;
        EXPECT_FALSE(p.AttachStateFile(path, &error)) << c.what;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.what << ": " << error;
        EXPECT_NE(error.find("damaged"), std::string::npos) << c.what << ": " << error;
        EXPECT_EQ(ReadFile(path), c.content) << c.what << ": the file is not overwritten";
        EXPECT_NE(p.StateJson().find("\"z_number\":0"), std::string::npos) << c.what << ": nothing was taken over";
    }
}

TEST_F(StateFile, AMissingFileIsCreatedAndAnUnwritablePlaceIsReported) {
    m301sim::Printer p;
    ASSERT_TRUE(p.AttachStateFile(path, nullptr));
    EXPECT_EQ(ReadFile(path).substr(0, 16), "m301sim-state 1\n");
    m301sim::Printer q;
    std::string error;
    EXPECT_FALSE(q.AttachStateFile(directory + "/no/such/dir/state", &error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace simtest
