// The POSIX adapter's trace writer: bounded whatever its reader does, and a path it cannot open
// refused with the system's error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "os/os.h"

namespace {

std::u16string Wide(const std::string& path) {
    return std::u16string(path.begin(), path.end());
}

TEST(PosixTrace, APathThatCannotBeOpenedGivesItsErrno) {
    EXPECT_FALSE(os::OpenTrace(Wide("/nonexistent-dir/trace.jsonl").c_str()));
    EXPECT_EQ(os::GetLastError(), static_cast<uint32_t>(ENOENT));
    EXPECT_FALSE(os::OfferTrace("x\n", 2));  // no trace open: nothing is taken
    EXPECT_TRUE(os::FlushTrace(0));
}

// A reader that stops: the writer blocks in its write, then refuses once its buffer is full,
// and takes again once the reader has caught up.
TEST(PosixTrace, AStalledReaderBoundsWhatTheWriterTakes) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_TRUE(os::OpenTrace(Wide("/dev/fd/" + std::to_string(ends[1])).c_str()));
    const std::string record(1000, 'r');
    std::size_t taken = 0;
    // Offers until one is refused while the writer cannot finish its write: the pipe is full.
    for (;;) {
        if (os::OfferTrace(record.data(), record.size())) {
            taken += record.size();
            ASSERT_LT(taken, std::size_t{16} << 20) << "the writer never refused";
        } else if (!os::FlushTrace(50)) {
            break;
        }
    }
#ifdef F_GETPIPE_SZ
    const long pipeBytes = fcntl(ends[0], F_GETPIPE_SZ);
#else
    const long pipeBytes = 64 * 1024;  // macOS grows a pipe to at most this
#endif
    EXPECT_LE(taken, 2 * os::kTraceWriterBytes + static_cast<std::size_t>(pipeBytes));
    // The reader catches up: every byte taken arrives, whole and in order, and room returns.
    std::vector<char> buffer(taken);
    std::size_t read = 0;
    while (read < taken) {
        const ssize_t got = ::read(ends[0], buffer.data() + read, taken - read);
        ASSERT_GT(got, 0);
        read += static_cast<std::size_t>(got);
    }
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()).find_first_not_of('r'), std::string::npos);
    EXPECT_TRUE(os::FlushTrace(5000));
    EXPECT_TRUE(os::OfferTrace(record.data(), record.size()));
}

}  // namespace
