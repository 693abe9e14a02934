// The trace (`--trace PATH`): its records against the schemas in schemas/, the bound of its
// writer, a destination that cannot be opened, and a host that sees the same bytes either way.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "os/sim/sim.h"
#include "session.h"
#include "version.h"
#include "vigem_fixture.h"
#include "vjoy_session.h"

namespace padbridge {
namespace {

using nlohmann::json;
using test::InputLine;
using test::Session;
using Strings = std::vector<std::string>;

const char16_t* const kTracePath = u"C:\\logs\\trace.jsonl";

// The JSON Schema subset schemas/ uses (as clients/node/test/schema.ts checks it); a keyword
// outside it fails the check, so a schema cannot ask for a check that is not made.
void Validate(const json& schema, const json& value, const std::string& path, Strings& errors) {
    static const std::set<std::string> kKnown = {
        "$schema",   "$id",      "title",      "description", "type",
        "const",     "enum",     "properties", "required",    "additionalProperties",
        "items",     "minItems", "maxItems",   "minimum",     "maximum",
        "maxLength", "pattern",  "oneOf"};
    for (const auto& [keyword, unused] : schema.items()) {
        if (kKnown.count(keyword) == 0) errors.push_back(path + ": unknown keyword " + keyword);
    }
    if (schema.contains("type")) {
        const std::string type = schema["type"];
        const bool matches = type == "object"    ? value.is_object()
                             : type == "array"   ? value.is_array()
                             : type == "string"  ? value.is_string()
                             : type == "boolean" ? value.is_boolean()
                             : type == "integer" ? value.is_number_integer()
                             : type == "number"  ? value.is_number()
                                                 : false;
        if (!matches) {
            errors.push_back(path + ": not " + type);
            return;
        }
    }
    if (schema.contains("const") && value != schema["const"])
        errors.push_back(path + ": not const");
    if (schema.contains("enum")) {
        bool found = false;
        for (const json& option : schema["enum"]) found = found || option == value;
        if (!found) errors.push_back(path + ": not in enum");
    }
    if (value.is_number()) {
        if (schema.contains("minimum") && value.get<double>() < schema["minimum"].get<double>())
            errors.push_back(path + ": below minimum");
        if (schema.contains("maximum") && value.get<double>() > schema["maximum"].get<double>())
            errors.push_back(path + ": above maximum");
    }
    if (value.is_string() && schema.contains("pattern") &&
        !std::regex_search(value.get<std::string>(),
                           std::regex(schema["pattern"].get<std::string>())))
        errors.push_back(path + ": does not match pattern");
    if (value.is_array()) {
        if (schema.contains("minItems") && value.size() < schema["minItems"].get<std::size_t>())
            errors.push_back(path + ": too few items");
        if (schema.contains("maxItems") && value.size() > schema["maxItems"].get<std::size_t>())
            errors.push_back(path + ": too many items");
        if (schema.contains("items")) {
            for (std::size_t i = 0; i < value.size(); ++i)
                Validate(schema["items"], value[i], path + "[" + std::to_string(i) + "]", errors);
        }
    }
    if (value.is_object()) {
        for (const json& name : schema.value("required", json::array())) {
            if (!value.contains(name.get<std::string>()))
                errors.push_back(path + ": missing " + name.get<std::string>());
        }
        const json properties = schema.value("properties", json::object());
        for (const auto& [name, item] : value.items()) {
            if (properties.contains(name)) {
                Validate(properties[name], item, path + "." + name, errors);
            } else if (schema.value("additionalProperties", true) == false) {
                errors.push_back(path + ": unexpected " + name);
            }
        }
    }
    if (schema.contains("oneOf")) {
        int passing = 0;
        for (const json& branch : schema["oneOf"]) {
            Strings branchErrors;
            Validate(branch, value, path, branchErrors);
            passing += branchErrors.empty() ? 1 : 0;
        }
        if (passing != 1)
            errors.push_back(path + ": matches " + std::to_string(passing) + " of oneOf");
    }
}

json LoadSchema(const std::string& kind) {
    std::ifstream file(std::string(PADBRIDGE_SOURCE_DIR) + "/schemas/trace-" + kind + ".json");
    EXPECT_TRUE(file.good()) << "no schema for the kind " << kind;
    return file.good() ? json::parse(file) : json::object();
}

Strings RecordLines(const std::string& bytes) {
    Strings lines;
    std::istringstream stream(bytes);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    EXPECT_TRUE(bytes.empty() || bytes.back() == '\n') << "a record cut short";
    return lines;
}

// Checks every record against the schema of its kind, and that each is one line of compact JSON
// whose keys come in the schema's order; returns the kinds seen.
std::set<std::string> CheckRecords(const std::string& bytes) {
    std::set<std::string> kinds;
    for (const std::string& line : RecordLines(bytes)) {
        SCOPED_TRACE(line);
        const json record = json::parse(line, nullptr, false);
        if (!record.is_object()) {
            ADD_FAILURE() << "not a JSON object";
            continue;
        }
        EXPECT_EQ(line.find(": "), std::string::npos);
        EXPECT_EQ(line.rfind("{\"t\":", 0), 0u);
        const std::string kind = record.value("kind", "");
        kinds.insert(kind);
        Strings errors;
        Validate(LoadSchema(kind), record, "$", errors);
        EXPECT_EQ(errors, Strings{});
    }
    return kinds;
}

// The records of one kind, as text.
Strings RecordsOf(const std::string& bytes, const std::string& kind) {
    Strings found;
    for (const std::string& line : RecordLines(bytes)) {
        if (line.find("\"kind\":\"" + kind + "\"") != std::string::npos) found.push_back(line);
    }
    return found;
}

// The record without its time, for comparing records of two runs.
std::string Untimed(const std::string& record) {
    return record.substr(record.find(",\"kind\""));
}

const char* const kGrant = R"({"type":"system-permission","enabled":true})";

// A session on the bus through many kinds: pads of both kinds, rumble, desktop input, a line
// that is not UTF-8, both lapses, and a host that stops reading long enough for its queue to drop.
void ScriptBusSession() {
    test::InstallBus();
    sim::Current().bus.Queue(sim::kAwaitRumble, sim::Rumble(128, 64, 30));
    sim::Current().outputPipe.writerBytes = 200;
    sim::SendLine(
        0, InputLine(0, {1, 0, -0.5, 0}, {1, 0, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 0, 1, 0, 0, 0}));
    sim::SendLine(5, R"({"type":"input","player":1,"pad":"dualshock4","axes":[0,1,0,-1],)"
                     R"("buttons":[0,1,0,0,0,0,0,1,0,0,0,0,0,0,0,1,1,0]})");
    sim::SendLine(10, kGrant);
    sim::SendLine(15, R"({"type":"system","action":"key","key":"KeyA","down":true})");
    sim::SendLine(20, R"({"type":"system","action":"scroll","y":-1})");
    sim::SendLine(25, "{\"type\":\"x\",\"q\":\"\\\"\t\x01\xC3\xA9\xFF\"}");
    // No heartbeat from here: the watchdog releases KeyA; no input: both pads lapse.
    sim::StopReading(3000, 3500);
    for (int i = 0; i < 200; ++i) sim::SendLine(3100, R"({"type":"probe"})");
    sim::CloseInput(4000);
}

TEST(TraceTest, EveryRecordOfABusSessionMatchesItsSchema) {
    Session session;
    ScriptBusSession();
    ASSERT_EQ(session.Run({u"--trace", kTracePath}), 0);
    const std::string& trace = sim::Current().trace;
    EXPECT_EQ(sim::Current().traceWriter.path, kTracePath);
    EXPECT_EQ(CheckRecords(trace), (std::set<std::string>{"start", "in", "out", "drop", "request",
                                                          "pad", "input", "probe", "lapse"}));
    const Strings records = RecordLines(trace);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records[0], "{\"t\":0,\"kind\":\"start\",\"version\":\"" PADBRIDGE_VERSION "\"}");
    EXPECT_EQ(Untimed(records[1]),
              R"(,"kind":"request","name":"CheckVersion","code":2793484,"result":0})");
    EXPECT_EQ(Untimed(records[2]), R"(,"kind":"probe","backend":"vigem"})");
    const Strings pads = RecordsOf(trace, "pad");
    ASSERT_GE(pads.size(), 2u);
    EXPECT_EQ(Untimed(pads[0]), R"(,"kind":"pad","player":0,"pad":"xbox360","buttons":[0,12],)"
                                R"("axes":[1,0,-0.5,0],"triggers":[0.498,0]})");
    EXPECT_EQ(Untimed(pads[1]),
              R"(,"kind":"pad","player":1,"pad":"dualshock4","buttons":[1,15,16],)"
              R"("axes":[0,1,0,-1],"triggers":[0,1]})");
    const Strings requests = RecordsOf(trace, "request");
    EXPECT_NE(std::find(requests.begin(), requests.end(), requests[1]), requests.end());
    bool plugIn = false;
    bool cancelled = false;
    for (const std::string& r : requests) {
        plugIn |=
            Untimed(r) ==
            R"(,"kind":"request","name":"PlugIn","code":2793476,"player":0,"serial":1,"result":0})";
        cancelled |=
            r.find(R"("name":"AwaitRumble","code":2811908,"player":0,"serial":1,"result":995})") !=
            std::string::npos;
    }
    EXPECT_TRUE(plugIn);
    EXPECT_TRUE(cancelled);  // the second rumble wait, cancelled as the pad goes
    EXPECT_EQ(
        Untimed(RecordsOf(trace, "input")[0]),
        R"(,"kind":"input","device":"keyboard","vk":65,"scan":30,"flags":0,"accepted":true})");
    EXPECT_EQ(
        Untimed(RecordsOf(trace, "input")[1]),
        R"(,"kind":"input","device":"mouse","dx":0,"dy":0,"data":-120,"flags":2048,"accepted":true})");
    const Strings in = RecordsOf(trace, "in");
    ASSERT_GE(in.size(), 6u);
    EXPECT_EQ(Untimed(in[5]),
              R"(,"kind":"in","line":"{\"type\":\"x\",\"q\":\"\\\"\t\u0001é\ufffd\"}"})");
    EXPECT_EQ(RecordsOf(trace, "lapse").size(), 3u);
    EXPECT_NE(trace.find(R"("kind":"lapse","keeper":"watchdog"})"), std::string::npos);
    EXPECT_NE(trace.find(R"("kind":"lapse","keeper":"player","player":1})"), std::string::npos);
    // Every line the host read was traced as handed over, in order, and nothing else was.
    Strings out;
    for (const std::string& r : RecordsOf(trace, "out")) out.push_back(json::parse(r)["line"]);
    EXPECT_EQ(out, session.Lines());
    EXPECT_EQ(RecordsOf(trace, "drop").size(),
              sim::Current().outputPipe.refusals > 0
                  ? session.bridge->output.dropped + session.bridge->output.replaced
                  : 0u);
    test::ExpectBusClean();
}

TEST(TraceTest, VjoyPadIsTheDeviceStateAfterEachLine) {
    Session session;
    test::InstallVjoy();
    sim::SendLine(0,
                  InputLine(2, {-1, 0.5, 0, 0}, test::Buttons({{3, 1}, {7, 1}, {13, 1}, {14, 1}})));
    sim::CloseInput(10);
    ASSERT_EQ(session.Run({u"--trace", u"-"}), 0);
    const std::string& trace = sim::Current().standardError;
    EXPECT_EQ(CheckRecords(trace), (std::set<std::string>{"start", "probe", "in", "out", "pad"}));
    EXPECT_EQ(sim::Current().trace, "");
    // The line's state, then the neutral state of the release at shutdown.
    const Strings pads = RecordsOf(trace, "pad");
    ASSERT_EQ(pads.size(), 2u);
    EXPECT_EQ(Untimed(pads[0]), R"(,"kind":"pad","player":2,"pad":"vjoy","buttons":[3,13,14],)"
                                R"("axes":[-1,0.5,0,0],"triggers":[0,1]})");
    EXPECT_EQ(Untimed(pads[1]), R"(,"kind":"pad","player":2,"pad":"vjoy","buttons":[],)"
                                R"("axes":[0,0,0,0],"triggers":[0,0]})");
    EXPECT_EQ(Untimed(RecordsOf(trace, "probe")[0]), R"(,"kind":"probe","backend":"vjoy"})");
}

// The host's bytes do not depend on the trace.
TEST(TraceTest, OutputIsTheSameWithAndWithoutTheTrace) {
    std::string plain;
    std::string traced;
    for (std::string* output : {&plain, &traced}) {
        Session session;
        ScriptBusSession();
        if (output == &plain) {
            EXPECT_EQ(session.Run(), 0);
        } else {
            EXPECT_EQ(session.Run({u"--vjoy-dll", u"C:\\v.dll", u"--trace", kTracePath}), 0);
            EXPECT_FALSE(sim::Current().trace.empty());
        }
        *output = sim::Current().output;
    }
    EXPECT_FALSE(plain.empty());
    EXPECT_EQ(traced, plain);
}

// A session of many lines, which makes far more records than the writer holds.
void ScriptBurst() {
    std::string burst;
    for (int i = 0; i < 1500; ++i) burst += InputLine(i % 8) + "\n";
    sim::Send(10, burst);
    sim::SendLine(3000, R"({"type":"probe"})");
    sim::CloseInput(3100);
}

TEST(TraceTest, AStalledWriterDropsRecordsThenSaysHowMany) {
    Strings whole;
    {
        Session session;
        ScriptBurst();
        ASSERT_EQ(session.Run({u"--trace", kTracePath}), 0);
        for (const std::string& r : RecordLines(sim::Current().trace)) whole.push_back(Untimed(r));
        EXPECT_EQ(sim::Current().traceWriter.refusals, 0u);
    }
    Session session;
    ScriptBurst();
    sim::StallTrace(0, 2000);
    ASSERT_EQ(session.Run({u"--trace", kTracePath}), 0);
    const std::string& trace = sim::Current().trace;
    EXPECT_LE(trace.size(), std::size_t{3} * os::kTraceWriterBytes);
    EXPECT_EQ(CheckRecords(trace),
              (std::set<std::string>{"start", "probe", "in", "out", "dropped"}));
    EXPECT_GT(sim::Current().traceWriter.refusals, 0u);
    const Strings dropped = RecordsOf(trace, "dropped");
    ASSERT_EQ(dropped.size(), 1u);
    const json note = json::parse(dropped[0]);
    EXPECT_GE(note["t"].get<int>(), 2000);  // written once room came back
    // The records kept are the whole run's, in order, but for the ones counted.
    Strings kept;
    for (const std::string& r : RecordLines(trace)) {
        if (r != dropped[0]) kept.push_back(Untimed(r));
    }
    EXPECT_EQ(kept.size() + note["count"].get<std::size_t>(), whole.size());
    std::size_t at = 0;
    for (const std::string& r : kept) {
        while (at < whole.size() && whole[at] != r) ++at;
        ASSERT_LT(at, whole.size()) << "not in the whole run, or out of order: " << r;
        ++at;
    }
    EXPECT_EQ(kept.back(), whole.back());  // the records after the stall all arrived
}

TEST(TraceTest, ATraceThatCannotBeOpenedEndsTheRunBeforeItStarts) {
    struct Case {
        std::vector<std::u16string> arguments;
        uint32_t openError;
        const char* message;
    };
    const Case cases[] = {
        {{u"--trace", u"C:\\no\\such\\dir\\t.jsonl"},
         3,
         "padbridge: cannot open the trace \"C:\\no\\such\\dir\\t.jsonl\" (error 3)\n"},
        {{u"--vjoy-dll", u"C:\\v.dll", u"--trace", u"C:\\caf\u00e9\\\U0001F3AE.jsonl"},
         5,
         "padbridge: cannot open the trace \"C:\\caf\xC3\xA9\\\xF0\x9F\x8E\xAE.jsonl\" (error "
         "5)\n"},
        {{u"--trace"}, 0, "padbridge: --trace needs a path, or - for standard error\n"},
        {{u"--vjoy-dll", u"C:\\v.dll", u"--trace"},
         0,
         "padbridge: --trace needs a path, or - for standard error\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        Session session;
        test::InstallBus();
        sim::Current().traceWriter.openError = c.openError;
        sim::SendLine(0, InputLine(0));
        sim::CloseInput(10);
        EXPECT_EQ(session.Run(c.arguments), kBadCommandLine);
        EXPECT_EQ(sim::Current().standardError, c.message);
        EXPECT_EQ(sim::Current().handed, "");
        EXPECT_FALSE(sim::Current().streamsPrepared);
        EXPECT_EQ(sim::Current().bus.enumCalls, 0u);
        EXPECT_FALSE(sim::Current().pipe.readerStarted);
        EXPECT_EQ(sim::Current().trace, "");
    }
}

}  // namespace
}  // namespace padbridge
