#include "protocol/line_reader.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace padbridge {
namespace {

struct Collector {
    std::unique_ptr<LineAssembler> assembler = std::make_unique<LineAssembler>();
    std::vector<std::string> lines;

    void Feed(const std::string& bytes) {
        FeedLines(*assembler, bytes.data(), bytes.size(), &Collect, this);
    }
    static void Collect(void* context, const char* line) {
        static_cast<Collector*>(context)->lines.emplace_back(line);
    }
};

TEST(LineReaderTest, CutsAtLineFeedsAcrossReads) {
    struct Case {
        std::vector<std::string> reads;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {{"a\nb\nc\n"}, {"a", "b", "c"}},
        {{"ab", "c", "d\n"}, {"abcd"}},
        {{"one\ntw", "o\nthr"}, {"one", "two"}},  // a partial line is never dispatched
        {{"x\r\n"}, {"x\r"}},                     // the carriage return stays in the line
        {{"\n\n"}, {"", ""}},
        {{"\r"}, {}},
    };
    for (const Case& c : cases) {
        Collector collector;
        for (const std::string& read : c.reads) collector.Feed(read);
        EXPECT_EQ(collector.lines, c.expected) << c.reads.front();
    }
}

TEST(LineReaderTest, LongestLineFitsAndLongerOneIsDroppedWhole) {
    Collector collector;
    const std::string fits(kMaxLineBytes, 'a');
    const std::string tooLong(kMaxLineBytes + 1, 'b');
    collector.Feed(fits + "\n");
    // The long line arrives in pieces; everything up to its line feed goes.
    collector.Feed(tooLong.substr(0, 10000));
    collector.Feed(tooLong.substr(10000) + "\nnext\n");
    ASSERT_EQ(collector.lines.size(), 2u);
    EXPECT_EQ(collector.lines[0], fits);
    EXPECT_EQ(collector.lines[1], "next");
}

TEST(LineReaderTest, BufferFilledExactlyByOneReadThenEndedOrOverrunByTheNext) {
    const std::string full(kMaxLineBytes, 'a');
    Collector ended;
    ended.Feed(full);
    ended.Feed("\nx\n");
    EXPECT_EQ(ended.lines, (std::vector<std::string>{full, "x"}));

    Collector overrun;
    overrun.Feed(full);
    overrun.Feed("b");
    overrun.Feed("c\nx\n");
    EXPECT_EQ(overrun.lines, (std::vector<std::string>{"x"}));
}

TEST(LineReaderTest, ZeroByteIsStoredButEndsTheString) {
    Collector collector;
    collector.Feed(std::string("ab\0cd\nef\n", 9));
    EXPECT_EQ(collector.lines, (std::vector<std::string>{"ab", "ef"}));
}

}  // namespace
}  // namespace padbridge
