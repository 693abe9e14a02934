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
    std::vector<std::size_t> lengths;
    std::vector<uint64_t> stamps;

    // One read, arrived at tick 7.
    void Feed(const std::string& bytes) {
        const os::InputArrival arrival{static_cast<uint32_t>(bytes.size()), 7};
        Feed(bytes, {arrival});
    }
    void Feed(const std::string& bytes, const std::vector<os::InputArrival>& arrivals) {
        FeedLines(*assembler, bytes.data(), bytes.size(), arrivals.data(),
                  static_cast<uint32_t>(arrivals.size()), &Collect, this);
    }
    static void Collect(void* context, const char* line, std::size_t length, uint64_t stamp) {
        auto& collector = *static_cast<Collector*>(context);
        collector.lines.emplace_back(line);
        collector.lengths.push_back(length);
        collector.stamps.push_back(stamp);
    }
};

// A line is stamped with the arrival of its line feed, whichever read brought its first bytes.
TEST(LineReaderTest, EachLineCarriesItsLineFeedsArrival) {
    struct Case {
        std::string bytes;
        std::vector<os::InputArrival> arrivals;
        std::vector<uint64_t> stamps;
    };
    const Case cases[] = {
        {"a\nb\n", {{4, 10}}, {10, 10}},
        {"a\nb\n", {{2, 10}, {4, 20}}, {10, 20}},
        {"a\nb\n", {{1, 10}, {4, 20}}, {20, 20}},             // a's line feed came with b
        {"ab\n\ncd\n", {{3, 5}, {4, 6}, {7, 9}}, {5, 6, 9}},  // an empty line has a stamp too
        {"x\ny\n", {{1, 3}, {2, 4}, {3, 5}, {4, 6}}, {4, 6}},
    };
    for (const Case& c : cases) {
        Collector collector;
        collector.Feed(c.bytes, c.arrivals);
        EXPECT_EQ(collector.stamps, c.stamps) << c.bytes;
    }
    // The start of a line kept from an earlier read does not decide its stamp.
    Collector split;
    split.Feed("one\ntw", {{4, 1}, {6, 2}});
    split.Feed("o\n", {{2, 30}});
    EXPECT_EQ(split.lines, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(split.stamps, (std::vector<uint64_t>{1, 30}));
}

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
    EXPECT_EQ(collector.lengths, (std::vector<std::size_t>{5, 2}));
}

}  // namespace
}  // namespace padbridge
