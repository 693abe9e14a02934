// Speed of the bridge's hot paths on the simulated machine, beside a general JSON parser doing
// the same extraction. Every case reports nanoseconds per line and lines per second; at the end
// the ratios of the medians (or of the single runs) are printed on one line.
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "lines.h"
#include "os/sim/sim.h"
#include "parsers.h"
#include "session.h"

namespace {

constexpr std::size_t kReadChunk = 2048;  // the main loop's largest read

void CountLines(benchmark::State& state, double linesPerIteration) {
    const double lines = linesPerIteration * static_cast<double>(state.iterations());
    state.counters["lines/s"] = benchmark::Counter(lines, benchmark::Counter::kIsRate);
}

// ---- Parsing alone: one `input` line to a GamepadFrame ----

using SimdjsonParse = bool (*)(simdjson::ondemand::parser&, const std::string&, std::size_t,
                               padbridge::GamepadFrame*, int*);

void ParseFieldReaders(benchmark::State& state, const std::string& line) {
    padbridge::GamepadFrame frame{};
    int player = -1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(line.data());
        if (!bench::ParseWithFieldReaders(line.c_str(), &frame, &player))
            state.SkipWithError("parse");
        benchmark::DoNotOptimize(frame);
    }
    CountLines(state, 1);
}

template <SimdjsonParse parse>
void ParseSimdjson(benchmark::State& state, const std::string& line) {
    std::string padded = line + std::string(simdjson::SIMDJSON_PADDING, '\0');
    simdjson::ondemand::parser parser;
    padbridge::GamepadFrame frame{};
    int player = -1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(padded.data());
        if (!parse(parser, padded, line.size(), &frame, &player)) state.SkipWithError("parse");
        benchmark::DoNotOptimize(frame);
    }
    CountLines(state, 1);
}

void BM_ParseFieldReaders(benchmark::State& state) {
    ParseFieldReaders(state, bench::InputLine(3));
}
void BM_ParseSimdjson(benchmark::State& state) {
    ParseSimdjson<bench::ParseWithSimdjson>(state, bench::InputLine(3));
}
void BM_ParseFieldReadersDs4(benchmark::State& state) {
    ParseFieldReaders(state, bench::Ds4InputLine(3));
}
void BM_ParseSimdjsonDs4(benchmark::State& state) {
    ParseSimdjson<bench::ParseDs4WithSimdjson>(state, bench::Ds4InputLine(3));
}

void BM_ParseNlohmann(benchmark::State& state) {
    const std::string line = bench::InputLine(3);
    padbridge::GamepadFrame frame{};
    int player = -1;
    for (auto _ : state) {
        if (!bench::ParseWithNlohmann(line, &frame, &player)) state.SkipWithError("parse");
        benchmark::DoNotOptimize(frame);
    }
    CountLines(state, 1);
}

// The same, over 64 lines whose values change from line to line: the branches of every parser
// see real variety, as they do with a moving controller.
constexpr std::size_t kVaryingLines = 64;

void ParseFieldReadersVarying(benchmark::State& state, bool dualShock4) {
    const std::vector<std::string> lines = bench::VaryingInputLines(kVaryingLines, dualShock4);
    padbridge::GamepadFrame frame{};
    int player = -1;
    std::size_t i = 0;
    for (auto _ : state) {
        const std::string& line = lines[i++ % kVaryingLines];
        if (!bench::ParseWithFieldReaders(line.c_str(), &frame, &player))
            state.SkipWithError("parse");
        benchmark::DoNotOptimize(frame);
    }
    CountLines(state, 1);
}

template <SimdjsonParse parse>
void ParseSimdjsonVarying(benchmark::State& state, bool dualShock4) {
    std::vector<std::string> padded;
    std::vector<std::size_t> lengths;
    for (const std::string& line : bench::VaryingInputLines(kVaryingLines, dualShock4)) {
        padded.push_back(line + std::string(simdjson::SIMDJSON_PADDING, '\0'));
        lengths.push_back(line.size());
    }
    simdjson::ondemand::parser parser;
    padbridge::GamepadFrame frame{};
    int player = -1;
    std::size_t i = 0;
    for (auto _ : state) {
        const std::size_t k = i++ % kVaryingLines;
        if (!parse(parser, padded[k], lengths[k], &frame, &player)) state.SkipWithError("parse");
        benchmark::DoNotOptimize(frame);
    }
    CountLines(state, 1);
}

void BM_ParseFieldReadersVarying(benchmark::State& state) {
    ParseFieldReadersVarying(state, false);
}
void BM_ParseSimdjsonVarying(benchmark::State& state) {
    ParseSimdjsonVarying<bench::ParseWithSimdjson>(state, false);
}
void BM_ParseFieldReadersDs4Varying(benchmark::State& state) {
    ParseFieldReadersVarying(state, true);
}
void BM_ParseSimdjsonDs4Varying(benchmark::State& state) {
    ParseSimdjsonVarying<bench::ParseDs4WithSimdjson>(state, true);
}

// ---- The whole path on the simulation ----

// Eight players' lines in reads of at most 2048 bytes (one for the Xbox lines, two for the longer
// DualShock 4 ones), fed to the line reader, dispatched, parsed, clamped, mapped and accepted;
// then the tick's PumpPad submits each newest report to a bus that completes it at once.
void InputPath(benchmark::State& state, bool dualShock4) {
    padbridge::Bridge* bridge = bench::ReadyBridge(dualShock4);
    if (bridge == nullptr) {
        state.SkipWithError("set-up did not create eight pads");
        return;
    }
    std::string chunk;
    for (int player = 0; player < padbridge::kPlayerCount; ++player)
        chunk += (dualShock4 ? bench::Ds4InputLine(player) : bench::InputLine(player)) + "\n";
    if (!dualShock4 && chunk.size() > kReadChunk)
        state.SkipWithError("eight lines exceed one read");
    std::size_t submitsBefore = sim::Current().bus.requests.size();
    std::size_t submits = 0;
    for (auto _ : state) {
        for (std::size_t at = 0; at < chunk.size(); at += kReadChunk) {
            const std::size_t count =
                chunk.size() - at < kReadChunk ? chunk.size() - at : kReadChunk;
            bench::Feed(*bridge, chunk.data() + at, count);
        }
        bench::RunTick(*bridge);
        // The simulation records every request; keep that record short. Amortised, and counted.
        if (bench::RecordingsNearlyFull()) {
            submits += sim::Current().bus.requests.size() - submitsBefore;
            submitsBefore = 0;
            bench::ForgetRecordings();
        }
    }
    submits += sim::Current().bus.requests.size() - submitsBefore;
    if (submits != static_cast<std::size_t>(state.iterations()) * padbridge::kPlayerCount)
        state.SkipWithError("not every line reached the bus");
    CountLines(state, padbridge::kPlayerCount);
}

void BM_InputPath(benchmark::State& state) {
    InputPath(state, false);
}
void BM_InputPathDs4(benchmark::State& state) {
    InputPath(state, true);
}

// The path up to AcceptReport, without the tick: what the core does before the simulation's bus
// is involved (the pads are ready, so accepting a report only stores it).
void BM_InputNoTick(benchmark::State& state) {
    padbridge::Bridge* bridge = bench::ReadyBridge();
    if (bridge == nullptr) {
        state.SkipWithError("set-up did not create eight pads");
        return;
    }
    std::string chunk;
    for (int player = 0; player < padbridge::kPlayerCount; ++player)
        chunk += bench::InputLine(player) + "\n";
    for (auto _ : state) bench::Feed(*bridge, chunk.data(), chunk.size());
    CountLines(state, padbridge::kPlayerCount);
}

// The simulation's own share of the path: one request issued and collected, recorded by the sim.
void BM_SimulatedSubmit(benchmark::State& state) {
    padbridge::Bridge* bridge = bench::ReadyBridge();
    if (bridge == nullptr) {
        state.SkipWithError("set-up");
        return;
    }
    uint8_t record[28] = {28};
    os::Overlapped overlapped{};
    overlapped.event = os::CreateManualResetEvent();
    for (auto _ : state) {
        uint32_t bytes = 0;
        os::DeviceIoControl(bridge->bus.handle, sim::kSubmitReport, record, sizeof record, nullptr,
                            0, &bytes, &overlapped);
        os::GetOverlappedResult(bridge->bus.handle, &overlapped, &bytes, false);
        if (bench::RecordingsNearlyFull()) bench::ForgetRecordings();
    }
    os::CloseHandle(overlapped.event);
    CountLines(state, 1);
}

// One line fed and dispatched per iteration, in reads of at most 2048 bytes.
void FeedEach(benchmark::State& state, const std::string& line) {
    padbridge::Bridge* bridge = bench::ReadyBridge();
    if (bridge == nullptr) {
        state.SkipWithError("set-up");
        return;
    }
    const std::string bytes = line + "\n";
    for (auto _ : state) {
        for (std::size_t at = 0; at < bytes.size(); at += kReadChunk) {
            const std::size_t count =
                bytes.size() - at < kReadChunk ? bytes.size() - at : kReadChunk;
            bench::Feed(*bridge, bytes.data() + at, count);
        }
        // A few stores: keeps the simulation's records small and in warm memory.
        bench::ForgetRecordings();
    }
    CountLines(state, 1);
}

void BM_SystemMove(benchmark::State& state) {
    FeedEach(state, bench::kMoveLine);
}
void BM_SystemKey(benchmark::State& state) {
    FeedEach(state, bench::kKeyLine);
}
void BM_Text1024(benchmark::State& state) {
    FeedEach(state, bench::TextLine());
}
void BM_DroppedLine16K(benchmark::State& state) {
    FeedEach(state, bench::JunkLine());
}

BENCHMARK(BM_ParseFieldReaders);
BENCHMARK(BM_ParseSimdjson);
BENCHMARK(BM_ParseNlohmann);
BENCHMARK(BM_ParseFieldReadersVarying);
BENCHMARK(BM_ParseSimdjsonVarying);
BENCHMARK(BM_ParseFieldReadersDs4);
BENCHMARK(BM_ParseSimdjsonDs4);
BENCHMARK(BM_ParseFieldReadersDs4Varying);
BENCHMARK(BM_ParseSimdjsonDs4Varying);
BENCHMARK(BM_InputPath);
BENCHMARK(BM_InputPathDs4);
BENCHMARK(BM_InputNoTick);
BENCHMARK(BM_SimulatedSubmit);
BENCHMARK(BM_SystemMove);
BENCHMARK(BM_SystemKey);
BENCHMARK(BM_Text1024);
BENCHMARK(BM_DroppedLine16K);

// Keeps each case's lines per second: the median when repetitions were asked for (else the one
// run), and the best repetition, which a busy machine disturbs least. The console shows the
// aggregates only.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}  // plain text: logs and pipes read it

    void ReportRuns(const std::vector<Run>& runs) override {
        std::vector<Run> shown;
        for (const Run& run : runs) {
            const bool repetition = run.run_type != Run::RT_Aggregate && run.repetitions > 1;
            if (!repetition) shown.push_back(run);
            if (run.error_occurred) continue;
            const auto counter = run.counters.find("lines/s");
            if (counter == run.counters.end() || counter->second.value <= 0) continue;
            const double rate = counter->second.value;
            const std::string name = run.run_name.function_name;
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") medians_[name] = rate;
            } else {
                if (!repetition) medians_[name] = rate;
                if (rate > best_[name]) best_[name] = rate;
            }
        }
        if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
    }

    // Nanoseconds per line, of the median or of the best run; 0 when the case did not run.
    double NsPerLine(const std::string& name, bool best = false) const {
        const std::map<std::string, double>& rates = best ? best_ : medians_;
        const auto found = rates.find(name);
        return found == rates.end() || found->second <= 0 ? 0.0 : 1e9 / found->second;
    }

    void PrintSummary() const {
        std::printf("\n%-28s %14s %14s %14s\n", "case", "ns/line", "best ns/line", "lines/s");
        for (const auto& [name, rate] : medians_) {
            std::printf("%-28s %14.1f %14.1f %14.0f\n", name.c_str(), 1e9 / rate,
                        NsPerLine(name, true), rate);
        }
    }

  private:
    std::map<std::string, double> medians_;
    std::map<std::string, double> best_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    reporter.PrintSummary();

    const double parse = reporter.NsPerLine("BM_ParseFieldReaders");
    const double path = reporter.NsPerLine("BM_InputPath");
    const double simdjson = reporter.NsPerLine("BM_ParseSimdjson");
    const double nlohmann = reporter.NsPerLine("BM_ParseNlohmann");
    const double ds4 = reporter.NsPerLine("BM_ParseFieldReadersDs4");
    const double ds4Simdjson = reporter.NsPerLine("BM_ParseSimdjsonDs4");
    if (parse <= 0 || path <= 0 || simdjson <= 0 || nlohmann <= 0 || ds4 <= 0 || ds4Simdjson <= 0) {
        std::printf("speed: incomplete (a case failed or was filtered out)\n");
        return 1;
    }
    // Ratios of time per line: below 1 means the bridge is faster.
    auto ratio = [&reporter](const char* a, const char* b, bool best) {
        return reporter.NsPerLine(a, best) / reporter.NsPerLine(b, best);
    };
    std::printf(
        "best runs: parse/simdjson=%.2f varying parse/simdjson=%.2f path/simdjson=%.2f "
        "path/nlohmann=%.3f\n",
        ratio("BM_ParseFieldReaders", "BM_ParseSimdjson", true),
        ratio("BM_ParseFieldReadersVarying", "BM_ParseSimdjsonVarying", true),
        ratio("BM_InputPath", "BM_ParseSimdjson", true),
        ratio("BM_InputPath", "BM_ParseNlohmann", true));
    std::printf("medians: varying parse/simdjson=%.2f; path without the tick/simdjson=%.2f\n",
                ratio("BM_ParseFieldReadersVarying", "BM_ParseSimdjsonVarying", false),
                ratio("BM_InputNoTick", "BM_ParseSimdjson", false));
    std::printf(
        "DualShock 4: varying parse/simdjson=%.2f path/simdjson=%.2f; best runs: "
        "parse/simdjson=%.2f varying parse/simdjson=%.2f\n",
        ratio("BM_ParseFieldReadersDs4Varying", "BM_ParseSimdjsonDs4Varying", false),
        ratio("BM_InputPathDs4", "BM_ParseSimdjsonDs4", false),
        ratio("BM_ParseFieldReadersDs4", "BM_ParseSimdjsonDs4", true),
        ratio("BM_ParseFieldReadersDs4Varying", "BM_ParseSimdjsonDs4Varying", true));
    std::printf("speed: parse/simdjson=%.2f path/simdjson=%.2f path/nlohmann=%.3f\n",
                parse / simdjson, path / simdjson, path / nlohmann);
    std::printf("ds4: ds4/simdjson=%.2f\n", ds4 / ds4Simdjson);
    return 0;
}
