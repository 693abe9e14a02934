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

template <typename Array>
bool SimdjsonNumbers(Array array, double* values, int count) {
    int k = 0;
    for (auto element : array) {
        double value = 0;
        if (k == count || element.get_double().get(value) || !std::isfinite(value)) return false;
        values[k++] = value;
    }
    return k == count;
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

// The bridge's route: the dispatcher's `type` and `player` reads, then the `input` handler's parse.
bool ParseWithFieldReaders(const char* line, padbridge::GamepadFrame* frame, int* player) {
    char type[32];
    if (!padbridge::ReadString(line, "type", type, sizeof type) || std::strcmp(type, "input") != 0)
        return false;
    if (!WholePlayer(padbridge::ReadNumber(line, "player", -1.0), player)) return false;
    return padbridge::ParseGamepadFrame(line, frame);
}

bool ParseWithSimdjson(simdjson::ondemand::parser& parser, const std::string& padded,
                       std::size_t length, padbridge::GamepadFrame* frame, int* player) {
    simdjson::ondemand::document doc;
    if (parser.iterate(padded.data(), length, padded.size()).get(doc)) return false;
    std::string_view type;
    if (doc["type"].get_string().get(type) || type != "input") return false;
    double number = 0;
    if (doc["player"].get_double().get(number) || !WholePlayer(number, player)) return false;
    simdjson::ondemand::array axes;
    if (doc["axes"].get_array().get(axes)) return false;
    if (!SimdjsonNumbers(axes, frame->axes, padbridge::kAxisCount)) return false;
    simdjson::ondemand::array buttons;
    if (doc["buttons"].get_array().get(buttons)) return false;
    if (!SimdjsonNumbers(buttons, frame->buttons, padbridge::kButtonCount)) return false;
    ClampFrame(frame);
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
