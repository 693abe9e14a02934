// The simulated bus driver behind the device-interface and overlapped-I/O operations.
//
// Requests complete on the virtual clock: a pending request whose time has come is completed
// (its OVERLAPPED, byte count and output written, its event set) at the bus's next operation,
// which is the first moment the bridge could observe it.
#include <cstring>
#include <optional>

#include "os/sim/sim.h"

namespace sim {

Answer AtOnce(uint32_t result) {
    Answer answer;
    answer.result = result;
    return answer;
}

Answer Later(uint64_t afterMs, uint32_t result) {
    Answer answer;
    answer.kind = Answer::Kind::kLater;
    answer.result = result;
    answer.afterMs = afterMs;
    return answer;
}

Answer Never() {
    Answer answer;
    answer.kind = Answer::Kind::kNever;
    return answer;
}

Answer Rumble(uint8_t low, uint8_t high, uint64_t afterMs) {
    Answer answer = Later(afterMs);
    answer.low = low;
    answer.high = high;
    return answer;
}

Answer Feedback(uint8_t low, uint8_t high, uint8_t red, uint8_t green, uint8_t blue,
                uint64_t afterMs) {
    Answer answer = Rumble(low, high, afterMs);
    answer.red = red;
    answer.green = green;
    answer.blue = blue;
    return answer;
}

std::vector<Request> Bus::RequestsOf(uint32_t code) const {
    std::vector<Request> matching;
    for (const Request& r : requests) {
        if (r.code == code) matching.push_back(r);
    }
    return matching;
}

namespace {

constexpr os::Handle kDeviceInfoList = 0x200;
constexpr uint32_t kInvalidHandleError = 6;
constexpr uint32_t kInsufficientBuffer = 122;
constexpr uint32_t kInvalidUserBuffer = 1784;
constexpr uint32_t kNotFound = 1168;

void Fault(const std::string& what) {
    Current().bus.faults.push_back(what);
}

void PutU32(uint8_t* out, uint32_t value) {
    std::memcpy(out, &value, 4);
}

// What a completed request leaves behind: status and count in the OVERLAPPED, a successful
// AwaitRumble's record in its output buffer, and the event set.
void Finish(InFlight& io, uint32_t result, uint32_t bytes) {
    io.done = true;
    io.result = result;
    io.bytes = bytes;
    io.overlapped->internal = result;
    io.overlapped->internalHigh = bytes;
    Bus& bus = Current().bus;
    if (bus.events.count(io.event) != 0) bus.events[io.event] = true;
}

uint32_t WriteRumble(uint8_t* output, uint32_t outputSize, uint32_t echoedSerial, const Answer& a) {
    if (output != nullptr && outputSize >= 12) {
        PutU32(output, a.size.value_or(12));
        PutU32(output + 4, a.serial.value_or(echoedSerial));
        output[8] = a.low;
        output[9] = a.high;
        output[10] = 0;
        output[11] = 0;
    }
    return a.bytes.value_or(outputSize);
}

// A DualShock 4's feedback record: size, serial, small motor, large motor, red, green, blue,
// three bytes of padding.
uint32_t WriteDs4Feedback(uint8_t* output, uint32_t outputSize, uint32_t echoedSerial,
                          const Answer& a) {
    if (output != nullptr && outputSize >= 16) {
        PutU32(output, a.size.value_or(16));
        PutU32(output + 4, a.serial.value_or(echoedSerial));
        const uint8_t motorsAndColour[8] = {a.high, a.low, a.red, a.green, a.blue, 0, 0, 0};
        std::memcpy(output + 8, motorsAndColour, sizeof motorsAndColour);
    }
    return a.bytes.value_or(outputSize);
}

// What a successful completion writes back, and how many bytes it returns.
uint32_t WriteReply(uint32_t code, uint8_t* output, uint32_t outputSize, uint32_t echoedSerial,
                    const Answer& a) {
    if (code == kAwaitRumble) return WriteRumble(output, outputSize, echoedSerial, a);
    if (code == kAwaitDs4Feedback) return WriteDs4Feedback(output, outputSize, echoedSerial, a);
    return 0;
}

void Complete(InFlight& io) {
    uint32_t bytes = 0;
    if (io.answer.result == 0) {
        bytes = WriteReply(io.code, io.output, io.outputSize, io.echoedSerial, io.answer);
    }
    Finish(io, io.answer.result, bytes);
}

// Completes every pending request whose time has come.
void Settle() {
    Machine& m = Current();
    for (InFlight& io : m.bus.inFlight) {
        if (!io.done && !io.never && io.completeAt <= m.now) Complete(io);
    }
}

InFlight* FindRequest(const os::Overlapped* overlapped) {
    for (InFlight& io : Current().bus.inFlight) {
        if (io.overlapped == overlapped) return &io;
    }
    return nullptr;
}

void Forget(const InFlight* io) {
    auto& list = Current().bus.inFlight;
    list.erase(list.begin() + (io - list.data()));
}

Answer ChooseAnswer(Bus& bus, os::Handle device, uint32_t code) {
    if (code == kCheckVersion)
        return bus.interfaces[static_cast<std::size_t>(bus.devices[device])].checkVersion;
    auto queued = bus.answers.find(code);
    if (queued != bus.answers.end() && !queued->second.empty()) {
        const Answer answer = queued->second.front();
        queued->second.pop_front();
        return answer;
    }
    auto fallback = bus.defaults.find(code);
    return fallback != bus.defaults.end() ? fallback->second : AtOnce();
}

const DeviceInterface* InterfaceOf(const os::DeviceInterfaceData* data) {
    const Bus& bus = Current().bus;
    if (data == nullptr || data->reserved == 0 || data->reserved > bus.interfaces.size()) {
        return nullptr;
    }
    return &bus.interfaces[data->reserved - 1];
}

bool IsFeedbackRequest(uint32_t code) {
    return code == kAwaitRumble || code == kAwaitDs4Feedback;
}

Answer FeedbackAnswer(const PadOutput& out, uint64_t afterMs) {
    return Feedback(out.low, out.high, out.red, out.green, out.blue, afterMs);
}

// The pads the game sees come and go with PlugIn and Unplug; a feedback request of a pad that
// the game has set something for since its last one is answered with it.
void TrackGamePad(Bus& bus, uint32_t code, const uint8_t* input, uint32_t inSize, uint32_t serial,
                  Answer& answer) {
    if (code == kPlugIn && inSize >= 12 && answer.result == 0) {
        GamePad pad;
        pad.dualShock4 = input[8] == 2;  // the target type
        bus.gamePads[serial] = pad;
    } else if (code == kUnplug) {
        bus.gamePads.erase(serial);
    } else if (IsFeedbackRequest(code)) {
        auto pad = bus.gamePads.find(serial);
        if (pad == bus.gamePads.end() || !pad->second.owed) return;
        pad->second.owed = false;
        answer = FeedbackAnswer(pad->second.output, 0);
    }
}

// Completes the pad's pending feedback request with what the game has set, or owes it to the
// next one.
bool Deliver(uint32_t serial, GamePad& pad) {
    Machine& m = Current();
    pad.owed = true;
    for (InFlight& io : m.bus.inFlight) {
        if (io.done || io.echoedSerial != serial || !IsFeedbackRequest(io.code) ||
            io.answer.kind != Answer::Kind::kNever)
            continue;
        io.answer = FeedbackAnswer(pad.output, 0);
        io.never = false;
        io.completeAt = m.now;
        pad.owed = false;
    }
    Settle();
    return true;
}

}  // namespace

bool SetPadMotors(uint32_t serial, uint8_t low, uint8_t high) {
    auto pad = Current().bus.gamePads.find(serial);
    if (pad == Current().bus.gamePads.end()) return false;
    pad->second.output.low = low;
    pad->second.output.high = high;
    return Deliver(serial, pad->second);
}

bool SetPadLightbar(uint32_t serial, uint8_t red, uint8_t green, uint8_t blue) {
    auto pad = Current().bus.gamePads.find(serial);
    if (pad == Current().bus.gamePads.end() || !pad->second.dualShock4) return false;
    pad->second.output.red = red;
    pad->second.output.green = green;
    pad->second.output.blue = blue;
    return Deliver(serial, pad->second);
}

void SettleBus() {
    Settle();
}

bool IsBusEvent(os::Handle event) {
    return Current().bus.events.count(event) != 0;
}

std::optional<uint64_t> BusEventSignalTime(os::Handle event) {
    const Machine& m = Current();
    auto it = m.bus.events.find(event);
    if (it == m.bus.events.end()) return std::nullopt;
    if (it->second) return m.now;
    std::optional<uint64_t> first;
    for (const InFlight& io : m.bus.inFlight) {
        if (io.event != event || io.done || io.never) continue;
        if (!first || io.completeAt < *first) first = io.completeAt;
    }
    return first;
}
}  // namespace sim

namespace os {

using sim::Current;

Handle SetupDiGetClassDevsW(const Guid& classGuid, uint32_t flags) {
    sim::Machine& m = Current();
    m.bus.classGuid = classGuid;
    m.bus.classFlags = flags;
    if (m.bus.classListFails) {
        m.lastError = m.bus.classListError;
        return kInvalidHandle;
    }
    ++m.bus.openDeviceInfoLists;
    return sim::kDeviceInfoList;
}

bool SetupDiEnumDeviceInterfaces(Handle list, const Guid& classGuid, uint32_t memberIndex,
                                 DeviceInterfaceData* data) {
    sim::Machine& m = Current();
    ++m.bus.enumCalls;
    if (list != sim::kDeviceInfoList || m.bus.openDeviceInfoLists == 0)
        sim::Fault("enumeration on no list");
    if (data == nullptr || data->cbSize != sizeof(DeviceInterfaceData)) {
        sim::Fault("enumeration record without cbSize 32");
        m.lastError = sim::kInvalidUserBuffer;
        return false;
    }
    // Members are numbered among the interfaces installed by now.
    uint32_t member = 0;
    for (std::size_t i = 0; i < m.bus.interfaces.size(); ++i) {
        const sim::DeviceInterface& entry = m.bus.interfaces[i];
        if (entry.presentFromMs > sim::Elapsed()) continue;
        if (member++ != memberIndex) continue;
        if (entry.enumError != 0) {
            m.lastError = entry.enumError;
            return false;
        }
        data->interfaceClassGuid = classGuid;
        data->flags = 1;  // SPINT_ACTIVE
        data->reserved = i + 1;
        return true;
    }
    m.lastError = m.bus.enumEndError;
    return false;
}

bool SetupDiGetDeviceInterfaceDetailW(Handle, DeviceInterfaceData* data, void* detail,
                                      uint32_t detailSize, uint32_t* requiredSize) {
    sim::Machine& m = Current();
    const sim::DeviceInterface* entry = sim::InterfaceOf(data);
    if (entry == nullptr) {
        sim::Fault("detail of an interface that was not enumerated");
        m.lastError = kErrorInvalidParameter;
        return false;
    }
    const uint32_t fits = static_cast<uint32_t>(4 + 2 * (entry->path.size() + 1));
    const uint32_t needed = entry->detailSize.value_or(fits);
    if (requiredSize != nullptr) *requiredSize = needed;
    if (detail == nullptr) {
        m.lastError = sim::kInsufficientBuffer;
        return false;
    }
    uint32_t cbSize = 0;
    std::memcpy(&cbSize, detail, sizeof cbSize);
    if (cbSize != 8) {
        sim::Fault("detail block without cbSize 8");
        m.lastError = sim::kInvalidUserBuffer;
        return false;
    }
    if (entry->describeError != 0) {
        m.lastError = entry->describeError;
        return false;
    }
    if (detailSize < needed || detailSize < fits) {
        m.lastError = sim::kInsufficientBuffer;
        return false;
    }
    std::memcpy(static_cast<uint8_t*>(detail) + 4, entry->path.c_str(), fits - 4);
    return true;
}

bool SetupDiDestroyDeviceInfoList(Handle list) {
    sim::Machine& m = Current();
    if (list != sim::kDeviceInfoList || m.bus.openDeviceInfoLists == 0) {
        sim::Fault("destroy of no device information list");
        return false;
    }
    --m.bus.openDeviceInfoLists;
    return true;
}

Handle CreateFileW(const WideChar* path, uint32_t access, uint32_t shareMode, uint32_t disposition,
                   uint32_t flagsAndAttributes) {
    sim::Machine& m = Current();
    m.bus.opens.push_back({path, access, shareMode, disposition, flagsAndAttributes});
    for (std::size_t i = 0; i < m.bus.interfaces.size(); ++i) {
        const sim::DeviceInterface& entry = m.bus.interfaces[i];
        if (entry.path != path) continue;
        if (entry.openError != 0) break;
        const Handle handle = m.bus.nextHandle++;
        m.bus.devices[handle] = static_cast<int>(i);
        return handle;
    }
    uint32_t error = 2;  // ERROR_FILE_NOT_FOUND
    for (const sim::DeviceInterface& entry : m.bus.interfaces) {
        if (entry.path == path && entry.openError != 0) error = entry.openError;
    }
    m.lastError = error;
    return kInvalidHandle;
}

bool CloseHandle(Handle handle) {
    sim::Machine& m = Current();
    sim::Settle();
    if (m.bus.devices.erase(handle) != 0) {
        for (const sim::InFlight& io : m.bus.inFlight) {
            if (io.device == handle && !io.done)
                sim::Fault("device closed under a running request");
        }
        return true;
    }
    if (m.bus.events.erase(handle) != 0) {
        for (std::size_t i = m.bus.inFlight.size(); i-- > 0;) {
            if (m.bus.inFlight[i].event != handle) continue;
            if (!m.bus.inFlight[i].done) sim::Fault("event closed under a running request");
            m.bus.inFlight.erase(m.bus.inFlight.begin() + static_cast<std::ptrdiff_t>(i));
        }
        return true;
    }
    sim::Fault("CloseHandle of a handle that is not open");
    m.lastError = sim::kInvalidHandleError;
    return false;
}

bool DeviceIoControl(Handle device, uint32_t code, const void* inBuffer, uint32_t inSize,
                     void* outBuffer, uint32_t outSize, uint32_t* bytesReturned,
                     Overlapped* overlapped) {
    sim::Machine& m = Current();
    sim::Bus& bus = m.bus;
    sim::Settle();
    const auto* input = static_cast<const uint8_t*>(inBuffer);
    bus.requests.push_back(
        {code, std::vector<uint8_t>(input, input + inSize), outSize, sim::Elapsed()});
    if (bus.devices.count(device) == 0) {
        sim::Fault("request on a device handle that is not open");
        m.lastError = sim::kInvalidHandleError;
        return false;
    }
    if (overlapped == nullptr || bus.events.count(overlapped->event) == 0) {
        sim::Fault("request without an open event");
    }
    if (sim::InFlight* old = sim::FindRequest(overlapped); old != nullptr) {
        if (!old->done) sim::Fault("OVERLAPPED reused while its request runs");
        sim::Forget(old);
    }
    uint32_t serial = 0;
    if (inSize >= 8) std::memcpy(&serial, input + 4, 4);
    sim::CheckRecord(code, input, inSize, outSize);
    const bool refused =
        code == sim::kSubmitDs4Report && inSize == 71 && bus.fullDs4ReportRefusal != 0;
    sim::Answer answer =
        refused ? sim::AtOnce(bus.fullDs4ReportRefusal) : sim::ChooseAnswer(bus, device, code);
    sim::TrackGamePad(bus, code, input, inSize, serial, answer);
    if (answer.kind == sim::Answer::Kind::kAtOnce) {
        if (answer.result != 0) {
            m.lastError = answer.result;
            return false;
        }
        const uint32_t bytes =
            sim::WriteReply(code, static_cast<uint8_t*>(outBuffer), outSize, serial, answer);
        *bytesReturned = bytes;
        if (overlapped != nullptr && bus.events.count(overlapped->event) != 0) {
            bus.events[overlapped->event] = true;
        }
        return true;
    }
    sim::InFlight io{overlapped,
                     device,
                     overlapped != nullptr ? overlapped->event : kNullHandle,
                     code,
                     static_cast<uint8_t*>(outBuffer),
                     outSize,
                     serial,
                     answer,
                     answer.kind == sim::Answer::Kind::kNever,
                     m.now + answer.afterMs};
    bus.inFlight.push_back(io);
    m.lastError = kErrorIoPending;
    return false;
}

bool GetOverlappedResult(Handle, Overlapped* overlapped, uint32_t* bytesTransferred, bool wait) {
    sim::Machine& m = Current();
    sim::Settle();
    sim::InFlight* io = sim::FindRequest(overlapped);
    if (io == nullptr) {
        sim::Fault("GetOverlappedResult on no request");
        m.lastError = kErrorInvalidParameter;
        return false;
    }
    if (!io->done && !wait) {
        m.lastError = kErrorIoIncomplete;
        return false;
    }
    if (!io->done && io->never) {
        sim::Fault("waited for a request that never ends");
        sim::Finish(*io, kErrorOperationAborted, 0);
    } else if (!io->done) {
        m.now = io->completeAt;
        sim::Settle();
    }
    const uint32_t result = io->result;
    *bytesTransferred = io->bytes;
    sim::Forget(io);
    if (result == 0) return true;
    m.lastError = result;
    return false;
}

bool CancelIoEx(Handle, Overlapped* overlapped) {
    sim::Machine& m = Current();
    sim::Settle();
    sim::InFlight* io = sim::FindRequest(overlapped);
    if (io == nullptr || io->done) {
        m.lastError = sim::kNotFound;
        return false;
    }
    ++m.bus.cancels;
    const uint64_t cancelMs = io->answer.cancelMs.value_or(m.bus.cancelMs);
    if (m.bus.cancelNeverFinishes || io->answer.cancelNever) {
        io->never = true;  // only the process's end would let go of it
    } else if (cancelMs == 0) {
        sim::Finish(*io, kErrorOperationAborted, 0);
    } else {
        io->answer = sim::Later(cancelMs, kErrorOperationAborted);
        io->never = false;
        io->completeAt = m.now + cancelMs;
    }
    return true;
}

Handle CreateManualResetEvent() {
    sim::Machine& m = Current();
    const uint32_t number = m.bus.eventCreations++;
    for (uint32_t failing : m.bus.failingEventCreations) {
        if (failing == number) {
            m.lastError = m.bus.eventError;
            return kNullHandle;
        }
    }
    const Handle handle = m.bus.nextHandle++;
    m.bus.events[handle] = false;
    return handle;
}

bool ResetEvent(Handle event) {
    sim::Machine& m = Current();
    auto it = m.bus.events.find(event);
    if (it == m.bus.events.end()) {
        sim::Fault("ResetEvent of an event that is not open");
        m.lastError = sim::kInvalidHandleError;
        return false;
    }
    it->second = false;
    return true;
}

}  // namespace os
