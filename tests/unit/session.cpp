#include "session.h"

#include <cstdio>

namespace padbridge::test {

Session::Session(sim::ClockMode clock) : bridge(std::make_unique<Bridge>()) {
    sim::Reset();
    sim::SetClockMode(clock);
}

int Session::Run(std::vector<std::u16string> commandLine) {
    arguments = std::move(commandLine);
    std::vector<const os::WideChar*> argv{u"padbridge.exe"};
    for (const std::u16string& argument : arguments) argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    return RunBridge(*bridge, static_cast<int>(argv.size() - 1), argv.data());
}

namespace {
std::string NumberList(const std::vector<double>& values) {
    std::string text;
    for (double value : values) {
        char number[32];
        std::snprintf(number, sizeof number, "%.17g", value);
        text += (text.empty() ? "" : ",") + std::string(number);
    }
    return text;
}
}  // namespace

std::string InputLine(int player, const std::vector<double>& axes,
                      const std::vector<double>& buttons) {
    return "{\"type\":\"input\",\"player\":" + std::to_string(player) + ",\"axes\":[" +
           NumberList(axes) + "],\"buttons\":[" + NumberList(buttons) + "]}";
}

}  // namespace padbridge::test
