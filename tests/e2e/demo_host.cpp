// A short, readable host session with the real padbridge.exe: every line that crosses
// either pipe is printed with its line end shown, in the order it crossed.
//
//   demo_host.exe [PATH-OF-padbridge.exe [PATH-OF-vJoyInterface.dll]]
//
// With a vJoy library (our stand-in from tests/vjoy_double), the bridge serves the pad through it,
// so the session shows a pad appear and go.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "host.h"

namespace {

struct Event {
    double ms;
    int order;  // ties keep the order of recording
    std::string text;
};

}  // namespace

int main(int argc, char** argv) {
    using namespace e2e;
    SessionOptions options = Options(argc > 1 ? WindowsPathFromUnix(argv[1]) : PadbridgePath());
    if (argc > 2) options.args = {L"--vjoy-dll", WindowsPathFromUnix(argv[2])};
    options.capture_input = true;

    // Each write is followed by a short pause so the answer lands before the next line.
    constexpr DWORD kBeat = 300;
    std::vector<Step> script = {
        WaitOutput("\"capabilities\""),
        Write("{\"type\":\"probe\"}\n"),
        Pause(kBeat),
        Write("{\"type\":\"input\",\"player\":0,\"axes\":[0,0,0,0],"
              "\"buttons\":[1,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]}\n"),
        Pause(kBeat),
        Write("{\"type\":\"remove\",\"player\":0}\n"),
        Pause(kBeat),
        Write(kGrant),
        Pause(kBeat),
        Write("{\"type\":\"system\",\"action\":\"move\",\"x\":10,\"y\":5}\n"),
        Pause(kBeat),
        CloseStdin(),
    };
    SessionResult r = RunSession(options, script);
    if (!r.started) {
        std::printf("could not start %ls (error %lu)\n", options.program.c_str(), r.start_error);
        return 1;
    }

    std::vector<Event> events;
    int order = 0;
    for (const auto& w : r.writes) {
        events.push_back({w.ms, order++, "host -> bridge: " + Visible(w.bytes)});
    }
    // An output line is shown at the time its line feed arrived.
    std::string pending;
    for (const auto& chunk : r.chunks) {
        for (char c : chunk.bytes) {
            pending += c;
            if (c == '\n') {
                events.push_back({chunk.ms, order++, "bridge -> host: " + Visible(pending)});
                pending.clear();
            }
        }
    }
    if (!pending.empty()) {
        events.push_back({r.chunks.back().ms, order++, "bridge -> host: " + Visible(pending)});
    }
    for (const auto& m : r.mice) {
        if (m.message != WM_MOUSEMOVE || (m.flags & LLMHF_INJECTED) == 0) continue;
        char text[96];
        std::snprintf(text, sizeof text,
                      "desktop hook:   injected mouse move, pointer now at (%ld, %ld)", m.pt.x,
                      m.pt.y);
        events.push_back({m.ms, order++, text});
    }
    std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
        return a.ms < b.ms || (a.ms == b.ms && a.order < b.order);
    });

    std::printf("host: started %ls", options.program.c_str());
    for (const auto& arg : options.args) std::printf(" %ls", arg.c_str());
    std::printf("\n");
    for (const auto& e : events) std::printf("%s\n", e.text.c_str());
    std::printf("host: closed the bridge's stdin\n");
    if (r.timed_out) {
        std::printf("host: the bridge did not exit in time and was killed\n");
        return 1;
    }
    std::printf("host: bridge exited with code %lu\n", r.exit_code);
    return r.exit_code == 0 ? 0 : 1;
}
