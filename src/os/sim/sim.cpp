#include "os/sim/sim.h"

#include <cstring>
#include <memory>

namespace sim {
namespace {

std::unique_ptr<Machine>& Slot() {
    static std::unique_ptr<Machine> machine = std::make_unique<Machine>();
    return machine;
}

}  // namespace

Machine& Current() {
    return *Slot();
}
void Reset() {
    Slot() = std::make_unique<Machine>();
}
uint64_t Elapsed() {
    return Current().now - kStartTick;
}

void Send(uint64_t atMs, std::string_view bytes) {
    HostPipe& pipe = Current().pipe;
    pipe.bytes.append(bytes);
    pipe.deliveries.push_back({atMs, pipe.bytes.size()});
}

void SendLine(uint64_t atMs, std::string_view line) {
    Send(atMs, std::string(line) + "\n");
}

void CloseInput(uint64_t atMs) {
    Current().pipe.closeAt = atMs;
    Current().pipe.closeScheduled = true;
}

void SendConsoleControl(uint64_t atMs) {
    Current().console.scheduled = true;
    Current().console.at = atMs;
}

void SetEnvironment(std::u16string_view name, std::u16string_view value) {
    Current().environment.emplace_back(std::u16string(name), std::u16string(value));
}

std::vector<std::string> OutputLines() {
    std::vector<std::string> lines;
    const std::string& out = Current().output;
    std::size_t start = 0;
    while (start < out.size()) {
        const std::size_t end = out.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(out.substr(start));
            break;
        }
        lines.push_back(out.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

}  // namespace sim

// ---- The seam, as the simulated machine answers it ----
namespace os {

using sim::Current;

uint32_t GetLastError() {
    return Current().lastError;
}

uint64_t GetTickCount64() {
    return Current().now;
}

bool SetDefaultDllDirectories(uint32_t flags) {
    Current().defaultDllDirectories = flags;
    return true;
}

void PrepareStandardStreams() {
    Current().streamsPrepared = true;
}

uint32_t GetEnvironmentVariableW(const WideChar* name, WideChar* buffer, uint32_t capacity) {
    for (const auto& [key, value] : Current().environment) {
        if (key != name) continue;
        if (value.size() + 1 > capacity) return static_cast<uint32_t>(value.size() + 1);
        std::memcpy(buffer, value.data(), value.size() * sizeof(WideChar));
        buffer[value.size()] = 0;
        return static_cast<uint32_t>(value.size());
    }
    Current().lastError = 203;  // ERROR_ENVVAR_NOT_FOUND
    return 0;
}

}  // namespace os
