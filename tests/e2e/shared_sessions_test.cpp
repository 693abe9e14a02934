// The shared host sessions (tests/support/host_sessions.h) on padbridge.exe: vJoy through our
// stand-in library, and a PC with no driver at all. The bus's rows run beside the stand-in bus
// driver's tests; padbridge-sim runs every row natively.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host.h"
#include "host_sessions.h"

namespace e2e {
namespace {

using padbridge::test::HostSession;
using padbridge::test::SessionBackend;

std::vector<HostSession> RowsWithoutBus() {
    std::vector<HostSession> rows;
    for (const HostSession& row : padbridge::test::SharedSessions()) {
        if (row.backend != SessionBackend::kVigemBus) rows.push_back(row);
    }
    return rows;
}

class SharedSession : public testing::TestWithParam<HostSession> {};

TEST_P(SharedSession, GivesTheSimulatorsBytes) {
    const HostSession& row = GetParam();
    std::vector<std::wstring> args;
    if (row.backend == SessionBackend::kVjoyLibrary)
        args = {L"--vjoy-dll", WindowsPathFromUnix(E2E_VJOY_DOUBLE_UNIX_PATH)};
    const SessionResult r = RunSession(Options(PadbridgePath(), args), {Write(row.input)});
    ASSERT_TRUE(r.started) << "CreateProcessW error " << r.start_error;
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_EQ(Visible(r.output), Visible(row.output));
}

INSTANTIATE_TEST_SUITE_P(Exe, SharedSession, testing::ValuesIn(RowsWithoutBus()),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace e2e
