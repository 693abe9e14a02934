#include "bus_client.h"

// setupapi.h needs windows.h first.
#include <setupapi.h>

#include <cstdio>
#include <cstdlib>

namespace bus {
namespace {

const GUID kBusInterfaceClass = {
    0x96E42B22, 0xF5E9, 0x42F8, {0xB0, 0x43, 0xED, 0x0F, 0x93, 0x2F, 0x01, 0x4F}};

// The path of the first interface of the class, or empty with the error in `error`.
std::wstring InterfacePath(DWORD& error) {
    HDEVINFO list = SetupDiGetClassDevsW(&kBusInterfaceClass, nullptr, nullptr,
                                         DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return {};
    }
    std::wstring path;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    DWORD size = 0;
    if (SetupDiEnumDeviceInterfaces(list, nullptr, &kBusInterfaceClass, 0, &data)) {
        SetupDiGetDeviceInterfaceDetailW(list, &data, nullptr, 0, &size, nullptr);
        std::vector<char> block(size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
                                    ? sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
                                    : size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(block.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (SetupDiGetDeviceInterfaceDetailW(list, &data, detail, size, nullptr, nullptr)) {
            path = detail->DevicePath;
        }
    }
    if (path.empty()) error = GetLastError();
    SetupDiDestroyDeviceInfoList(list);
    return path;
}

const char* Name(uint32_t code) {
    switch (code) {
        case kCheckVersion:
            return "CheckVersion";
        case kPlugIn:
            return "PlugIn";
        case kWaitReady:
            return "WaitReady";
        case kSubmitReport:
            return "SubmitReport";
        case kUnplug:
            return "Unplug";
        case kAwaitRumble:
            return "AwaitRumble";
        case kDs4Report:
            return "Ds4Report";
        case kDs4Feedback:
            return "Ds4Feedback";
        default:
            return "Unknown";
    }
}

std::string Hex(const uint8_t* bytes, uint32_t length) {
    std::string out;
    char digits[3];
    for (uint32_t i = 0; i < length && i < BUS_TEST_LOG_DATA; ++i) {
        if (i != 0 && i % 4 == 0) out += ' ';
        std::snprintf(digits, sizeof(digits), "%02x", bytes[i]);
        out += digits;
    }
    return out;
}

std::string Status(uint32_t status) {
    if (status == 0) return "";
    if (status == 0x103) return " pending";
    char text[24];
    std::snprintf(text, sizeof(text), " -> %08x", static_cast<unsigned>(status));
    return text;
}

}  // namespace

Control::Control() {
    // The device may still be starting when the first test runs.
    std::wstring path;
    for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
        if (attempt != 0) Sleep(50);
        path = InterfacePath(openError_);
    }
    if (path.empty()) return;
    handle_ =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) openError_ = GetLastError();
}

Control::~Control() {
    if (ok()) CloseHandle(handle_);
}

DWORD Control::Send(uint32_t code, const void* in, DWORD inSize, void* out, DWORD outSize,
                    DWORD* returned) {
    DWORD bytes = 0;
    const BOOL done = DeviceIoControl(handle_, code, const_cast<void*>(in), inSize, out, outSize,
                                      &bytes, nullptr);
    if (returned != nullptr) *returned = bytes;
    return done ? 0 : GetLastError();
}

DWORD Control::Reset() {
    return Send(BUS_TEST_RESET, nullptr, 0, nullptr, 0);
}

DWORD Control::Rule(uint32_t code, uint32_t action, uint32_t status, uint32_t count) {
    const BusTestRule rule = {code, action, status, count};
    return Send(BUS_TEST_RULE, &rule, sizeof(rule), nullptr, 0);
}

DWORD Control::Take(uint32_t serial) {
    return Send(BUS_TEST_TAKE, &serial, sizeof(serial), nullptr, 0);
}

DWORD Control::Rumble(uint32_t serial, uint8_t low, uint8_t high, uint16_t form) {
    const BusTestRumble rumble = {serial, low, high, form};
    return Send(BUS_TEST_RUMBLE, &rumble, sizeof(rumble), nullptr, 0);
}

DWORD Control::Feedback(uint32_t serial, uint8_t smallMotor, uint8_t largeMotor, uint8_t red,
                        uint8_t green, uint8_t blue) {
    const BusTestFeedback feedback = {serial, smallMotor, largeMotor, red, green, blue, {0, 0, 0}};
    return Send(BUS_TEST_FEEDBACK, &feedback, sizeof(feedback), nullptr, 0);
}

DWORD Control::Release(uint32_t code, uint32_t status, uint32_t* count) {
    const BusTestRelease release = {code, status};
    uint32_t released = 0;
    const DWORD error =
        Send(BUS_TEST_RELEASE, &release, sizeof(release), &released, sizeof(released));
    if (count != nullptr) *count = released;
    return error;
}

DWORD Control::State(BusTestState* state) {
    return Send(BUS_TEST_STATE, nullptr, 0, state, sizeof(*state));
}

std::vector<BusTestLogEntry> Control::Log() {
    std::vector<BusTestLogEntry> log;
    BusTestLogEntry page[64];
    for (;;) {
        const uint32_t first = static_cast<uint32_t>(log.size());
        DWORD returned = 0;
        if (Send(BUS_TEST_LOG, &first, sizeof(first), page, sizeof(page), &returned) != 0) break;
        const DWORD count = returned / sizeof(BusTestLogEntry);
        log.insert(log.end(), page, page + count);
        if (count < 64) break;
    }
    return log;
}

std::string Describe(const BusTestLogEntry& e) {
    switch (e.event) {
        case BUS_EVENT_REQUEST:
            return std::string(Name(e.code)) + " " + Hex(e.data, e.inLength) + Status(e.status);
        case BUS_EVENT_CANCELLED:
            return std::string("cancelled ") + Name(e.code);
        case BUS_EVENT_COMPLETED:
            // A rumble or feedback completion shows the record handed back; others only their
            // result.
            return std::string("completed ") + Name(e.code) +
                   (e.code == kAwaitRumble && e.status == 0 ? " " + Hex(e.data, 12) : "") +
                   (e.code == kDs4Feedback && e.status == 0 ? " " + Hex(e.data, 16) : "") +
                   Status(e.status);
        default:
            return "event " + std::to_string(e.event);
    }
}

std::vector<std::string> Describe(const std::vector<BusTestLogEntry>& log) {
    std::vector<std::string> lines;
    for (const BusTestLogEntry& entry : log) lines.push_back(Describe(entry));
    return lines;
}

}  // namespace bus
