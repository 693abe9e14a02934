// padbridge-sim as a host runs it: a child process with pipes for its standard streams. The
// shared sessions must give the bytes padbridge.exe gives for them under Wine; the simulator's
// own lines must reach the host as the real driver's and system's answers would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "host_sessions.h"

extern char** environ;

namespace {

using padbridge::test::Crlf;
using padbridge::test::SessionBackend;

struct SimRun {
    std::string output;
    std::string error;
    int exitCode = -1;
};

// A signal to send once the output holds some text, with standard input kept open until then.
struct StopSignal {
    int number = 0;  // 0: none; standard input is closed once the input is written
    std::string after;
};

// Starts padbridge-sim with `arguments`, writes `input` and closes its standard input (or, with
// a stop signal, sends it once the output shows its text, and closes standard input only after
// the exit), then reads both of its output streams until it exits.
SimRun RunSimulator(const std::vector<std::string>& arguments, const std::string& input,
                    const StopSignal& stop = {}) {
    int in[2], out[2], err[2];
    SimRun run;
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
        posix_spawn_file_actions_addclose(&actions, fd);
    std::vector<char*> argv{const_cast<char*>(PADBRIDGE_SIM_PATH)};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = 0;
    const int spawned =
        posix_spawn(&child, PADBRIDGE_SIM_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (spawned != 0) return run;
    // The sessions are far smaller than a pipe's buffer: one write cannot block.
    EXPECT_EQ(write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    if (stop.number == 0) close(in[1]);
    bool signalled = false;
    pollfd streams[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* into[2] = {&run.output, &run.error};
    int open = 2;
    while (open > 0 && poll(streams, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (streams[i].fd < 0 || streams[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t got = read(streams[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                into[i]->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(streams[i].fd);
                streams[i].fd = -1;
                --open;
            }
        }
        if (stop.number != 0 && !signalled && run.output.find(stop.after) != std::string::npos) {
            kill(child, stop.number);
            signalled = true;
        }
    }
    if (stop.number != 0) close(in[1]);
    int status = 0;
    if (waitpid(child, &status, 0) == child && WIFEXITED(status))
        run.exitCode = WEXITSTATUS(status);
    return run;
}

const char* BackendName(SessionBackend backend) {
    switch (backend) {
        case SessionBackend::kVigemBus:
            return "vigem";
        case SessionBackend::kVjoyLibrary:
            return "vjoy";
        case SessionBackend::kNothing:
            return "none";
    }
    return "";
}

class SharedSession : public testing::TestWithParam<padbridge::test::HostSession> {};

TEST_P(SharedSession, GivesTheExesBytes) {
    const padbridge::test::HostSession& session = GetParam();
    const SimRun run = RunSimulator({"--sim-backend", BackendName(session.backend)}, session.input);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.error, "");
    EXPECT_EQ(run.output, session.output);
}

INSTANTIATE_TEST_SUITE_P(Simulator, SharedSession,
                         testing::ValuesIn(padbridge::test::SharedSessions()),
                         [](const auto& row) { return std::string(row.param.name); });

// The game's output and the secure desktop, played by the host through the simulator's lines.
// Each session keeps to one player or to the desktop: the pads' lines and the desktop's replies
// are ordered only by when the lines arrive.
TEST(SimLines, ReachTheHostAsTheDriversAndTheSystemsAnswers) {
    using namespace padbridge::test;
    const std::string keyQ =
        "{\"type\":\"system\",\"action\":\"key\",\"key\":\"KeyQ\",\"down\":true}\n";
    const struct {
        std::string input;
        std::string output;
    } sessions[] = {
        {kPadInput +
             std::string("{\"type\":\"sim-rumble\",\"player\":0,\"low\":0.5,\"high\":0.25}\n"),
         Crlf(kBusReady, DeviceCreated(0), RumbleLine(0, "0.501961", "0.250980"), ZeroRumble(0),
              DeviceRemoved(0))},
        {kDs4Input +
             std::string(
                 "{\"type\":\"sim-lightbar\",\"player\":2,\"red\":255,\"green\":0,\"blue\":7}\n"),
         Crlf(kBusReady, DeviceCreated(2, kDualShock4), LightbarLine(2, 255, 0, 7), ZeroRumble(2),
              DeviceRemoved(2))},
        {kGranted + std::string("\n{\"type\":\"sim-desktop\",\"blocked\":true}\n") + keyQ +
             "{\"type\":\"sim-desktop\",\"blocked\":false}\n" + keyQ,
         Crlf(kBusReady, kGranted, BlockedLine(5), kUnblocked)},
    };
    for (const auto& session : sessions) {
        // --vjoy-dll is taken and ignored, whatever the path.
        const SimRun run =
            RunSimulator({"--vjoy-dll", "C:\\elsewhere\\vJoyInterface.dll"}, session.input);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.output, session.output);
    }
}

// Each stop request ends a session whose host still holds standard input open: the pad is torn
// down as at the input's end, and the exit is clean.
TEST(StopRequests, TearDownAndExitZero) {
    using namespace padbridge::test;
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        const SimRun run = RunSimulator({}, kPadInput, {number, DeviceCreated(0)});
        EXPECT_EQ(run.exitCode, 0) << number;
        EXPECT_EQ(run.output, Crlf(kBusReady, DeviceCreated(0), ZeroRumble(0), DeviceRemoved(0)))
            << number;
    }
}

TEST(CommandLine, AnUnknownBackendIsRefusedBeforeAnythingElse) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--sim-backend", "xinput"}, {"--sim-backend"}}) {
        const SimRun run = RunSimulator(arguments, padbridge::test::kProbeLine);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.output, "");
        EXPECT_EQ(run.error, "padbridge-sim: --sim-backend must be vigem, vjoy or none\n");
    }
}

}  // namespace
