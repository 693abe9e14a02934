#include "parsers.h"

#include <simdjson.h>

#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "protocol/fields.h"

namespace bench {
namespace {

double Clamp(double value, double low, double high) {
    return value < low ? low : (value > high ? high : value);
}

bool WholePlayer(double value, int* player) {
    if (!(value >= 0.0 && value <= padbridge::kPlayerCount - 1) || value != std::floor(value)) {
        return false;
    }
    *player = static_cast<int>(value);
    return true;
}

void ClampFrame(padbridge::GamepadFrame* frame) {
    for (double& axis : frame->axes) axis = Clamp(axis, -1.0, 1.0);
    for (double& button : frame->buttons) button = Clamp(button, 0.0, 1.0);
}

// `minCount` to `maxCount` finite numbers: how many, or -1.
template <typename Array>
int SimdjsonList(Array array, double* values, int minCount, int maxCount) {
    int k = 0;
    for (auto element : array) {
        double value = 0;
        if (k == maxCount || element.get_double().get(value) || !std::isfinite(value)) return -1;
        values[k++] = value;
    }
    return k >= minCount ? k : -1;
}

template <typename Array>
bool SimdjsonNumbers(Array array, double* values, int count) {
    return SimdjsonList(array, values, count, count) == count;
}

// An optional array field of `minCount` to `maxCount` numbers: how many (0 when absent), or -1.
int SimdjsonOptional(simdjson::ondemand::document& doc, const char* name, double* values,
                     int minCount, int maxCount) {
    simdjson::ondemand::value value;
    const simdjson::error_code error = doc[name].get(value);
    if (error == simdjson::NO_SUCH_FIELD) return 0;
    simdjson::ondemand::array array;
    if (error || value.get_array().get(array)) return -1;
    return SimdjsonList(array, values, minCount, maxCount);
}

bool NlohmannNumbers(const nlohmann::json& array, double* values, int count) {
    if (!array.is_array() || array.size() != static_cast<std::size_t>(count)) return false;
    for (int k = 0; k < count; ++k) {
        const nlohmann::json& element = array[static_cast<std::size_t>(k)];
        if (!element.is_number()) return false;
        values[k] = element.get<double>();
    }
    return true;
}

}  // namespace

// The bridge's route: a walk for `type` and `player` as the line arrives (it ends once both are
// found), the dispatcher's reads, then a walk for the `input` handler's keys and its parse.
bool ParseWithFieldReaders(const char* line, padbridge::GamepadFrame* frame, int* player) {
    constexpr const char* kRouting[] = {"type", "player"};
    const char* routing[2];
    padbridge::FindValues(line, kRouting, 2, routing);
    char type[32];
    if (!padbridge::ReadStringAt(routing[0], type, sizeof type) || std::strcmp(type, "input") != 0)
        return false;
    if (!WholePlayer(padbridge::ReadNumberAt(routing[1], -1.0), player)) return false;
    const char* values[padbridge::kInputKeyCount];
    padbridge::FindValues(line, padbridge::kInputKeys, padbridge::kInputKeyCount, values);
    return padbridge::ParseGamepadValues(values, frame);
}

// What every pad's line has first: `type` "input", a whole `player` and exactly four axes.
bool SimdjsonRouteAndAxes(simdjson::ondemand::document& doc, padbridge::GamepadFrame* frame,
                          int* player) {
    std::string_view type;
    if (doc["type"].get_string().get(type) || type != "input") return false;
    double number = 0;
    if (doc["player"].get_double().get(number) || !WholePlayer(number, player)) return false;
    simdjson::ondemand::array axes;
    if (doc["axes"].get_array().get(axes)) return false;
    return SimdjsonNumbers(axes, frame->axes, padbridge::kAxisCount);
}

bool ParseWithSimdjson(simdjson::ondemand::parser& parser, const std::string& padded,
                       std::size_t length, padbridge::GamepadFrame* frame, int* player) {
    simdjson::ondemand::document doc;
    if (parser.iterate(padded.data(), length, padded.size()).get(doc)) return false;
    if (!SimdjsonRouteAndAxes(doc, frame, player)) return false;
    simdjson::ondemand::array buttons;
    if (doc["buttons"].get_array().get(buttons)) return false;
    if (!SimdjsonNumbers(buttons, frame->buttons, padbridge::kButtonCount)) return false;
    ClampFrame(frame);
    return true;
}

bool ParseDs4WithSimdjson(simdjson::ondemand::parser& parser, const std::string& padded,
                          std::size_t length, padbridge::GamepadFrame* frame, int* player) {
    *frame = padbridge::GamepadFrame{};
    simdjson::ondemand::document doc;
    if (parser.iterate(padded.data(), length, padded.size()).get(doc)) return false;
    if (!SimdjsonRouteAndAxes(doc, frame, player)) return false;
    simdjson::ondemand::array buttons;
    if (doc["buttons"].get_array().get(buttons)) return false;
    if (SimdjsonList(buttons, frame->buttons, padbridge::kButtonCount, padbridge::kMaxButtonCount) <
        0)
        return false;
    frame->kind = padbridge::PadKind::kXbox360;
    std::string_view text;
    const simdjson::error_code padError = doc["pad"].get_string().get(text);
    if (padError != simdjson::NO_SUCH_FIELD) {
        if (padError || (text != "xbox360" && text != "dualshock4")) return false;
        if (text == "dualshock4") frame->kind = padbridge::PadKind::kDualShock4;
    }
    frame->accel[1] = padbridge::kStandardGravity;
    if (SimdjsonOptional(doc, "gyro", frame->gyro, padbridge::kMotionAxes, padbridge::kMotionAxes) <
        0)
        return false;
    if (SimdjsonOptional(doc, "accel", frame->accel, padbridge::kMotionAxes,
                         padbridge::kMotionAxes) < 0)
        return false;
    const int touch = SimdjsonOptional(doc, "touch", frame->touch, 0, 2 * padbridge::kMaxFingers);
    if (touch < 0 || touch % 2 != 0) return false;
    frame->fingerCount = touch / 2;
    ClampFrame(frame);
    for (double& coordinate : frame->touch) coordinate = Clamp(coordinate, 0.0, 1.0);
    return true;
}

bool ParseWithNlohmann(const std::string& line, padbridge::GamepadFrame* frame, int* player) {
    const nlohmann::json doc = nlohmann::json::parse(line, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) return false;
    const auto type = doc.find("type");
    if (type == doc.end() || !type->is_string() || type->get_ref<const std::string&>() != "input")
        return false;
    const auto number = doc.find("player");
    if (number == doc.end() || !number->is_number() || !WholePlayer(number->get<double>(), player))
        return false;
    const auto axes = doc.find("axes");
    if (axes == doc.end() || !NlohmannNumbers(*axes, frame->axes, padbridge::kAxisCount))
        return false;
    const auto buttons = doc.find("buttons");
    if (buttons == doc.end() || !NlohmannNumbers(*buttons, frame->buttons, padbridge::kButtonCount))
        return false;
    ClampFrame(frame);
    return true;
}

}  // namespace bench
