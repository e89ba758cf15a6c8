// The JSON of list, plan and update, as real runs print it, against the
// schema that docs/json.md describes (docs/json-schema.json). The validator
// takes the part of JSON Schema the file uses: type, enum, const, pattern,
// minimum, maximum, required, properties, additionalProperties: false, items,
// anyOf, and "$ref" to "#/..." anywhere, also as a whole properties map.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <regex>
#include <string>
#include <vector>

#include "../support/update_bench.h"
#include "run_tool.h"

namespace {

using nlohmann::json;
using vesk::test::Quote;
using vesk::test::RunTool;

const std::string kCli = VESK_CLI;

class Validator {
public:
    explicit Validator(json root) : root_(std::move(root)) {}

    // The problems of value against schema, each with its place ("" when none).
    std::vector<std::string> Check(const json& value, const json& schema, const std::string& where = "$") const {
        std::vector<std::string> problems;
        Walk(value, Resolve(schema), where, problems);
        return problems;
    }
    const json& At(const std::string& pointer) const { return root_.at(json::json_pointer(pointer)); }

private:
    const json& Resolve(const json& s) const {
        if (s.is_object() && s.contains("$ref")) {
            const std::string ref = s["$ref"];
            return Resolve(root_.at(json::json_pointer(ref.substr(1))));
        }
        return s;
    }
    static bool IsType(const json& v, const std::string& t) {
        if (t == "string") return v.is_string();
        if (t == "integer") return v.is_number_integer();
        if (t == "boolean") return v.is_boolean();
        if (t == "array") return v.is_array();
        if (t == "object") return v.is_object();
        if (t == "null") return v.is_null();
        return false;
    }
    void Walk(const json& v, const json& s, const std::string& where, std::vector<std::string>& out) const {
        auto bad = [&](const std::string& why) { out.push_back(where + ": " + why + " (" + v.dump() + ")"); };
        if (s.contains("anyOf")) {
            for (const json& alt : s["anyOf"])
                if (Check(v, alt, where).empty()) return;
            return bad("matches none of anyOf");
        }
        if (s.contains("type")) {
            bool ok = false;
            if (s["type"].is_array())
                for (const json& t : s["type"]) ok = ok || IsType(v, t);
            else ok = IsType(v, s["type"]);
            if (!ok) return bad("not of type " + s["type"].dump());
        }
        if (s.contains("const") && v != s["const"]) return bad("not " + s["const"].dump());
        if (s.contains("enum") && std::find(s["enum"].begin(), s["enum"].end(), v) == s["enum"].end())
            return bad("not one of " + s["enum"].dump());
        if (s.contains("pattern") && (!v.is_string() || !std::regex_search(v.get<std::string>(), std::regex(s["pattern"].get<std::string>()))))
            return bad("does not match " + s["pattern"].get<std::string>());
        if (s.contains("minimum") && v.is_number() && v.get<double>() < s["minimum"].get<double>()) return bad("below minimum");
        if (s.contains("maximum") && v.is_number() && v.get<double>() > s["maximum"].get<double>()) return bad("above maximum");
        if (v.is_object()) {
            if (s.contains("required"))
                for (const json& r : s["required"])
                    if (!v.contains(r.get<std::string>())) bad("lacks " + r.get<std::string>());
            static const json kNone = json::object();
            const json& props = s.contains("properties") ? Resolve(s["properties"]) : kNone;
            for (const auto& [key, value] : v.items()) {
                if (props.contains(key)) Walk(value, Resolve(props[key]), where + "." + key, out);
                else if (s.value("additionalProperties", true) == false) bad("has undescribed field " + key);
            }
        }
        if (v.is_array() && s.contains("items"))
            for (size_t i = 0; i < v.size(); ++i) Walk(v[i], Resolve(s["items"]), where + "[" + std::to_string(i) + "]", out);
    }

    json root_;
};

class JsonSchema : public ::testing::Test {
protected:
    void SetUp() override {
        vesk::test::MakePellNetFolder(dir_);
        vesk::test::MakeFirmwareFile(dir_, "upd/_ACCESSORI/Pell_Acc0_010203.bin", 0, 0x100, "01.02.03");
        dir_.mkdir("bare/_BOOTER");
        dir_.mkdir("bare/_ACCESSORI");
        dir_.write("net.json", vesk::test::PellNet());
    }
    std::string Run(const std::string& args) {
        // Standard output alone: RunTool adds standard error outside the parentheses.
        return RunTool("(XDG_RUNTIME_DIR=" + Quote(dir_.file("locks")) + " XDG_STATE_HOME=" + Quote(dir_.file("state")) +
                       " " + kCli + " " + args + " < /dev/null 2>/dev/null)")
            .output;
    }
    std::string Net() { return " --simulate " + Quote(dir_.file("net.json")) + " "; }
    std::string Upd() { return " --folder " + Quote(dir_.file("upd")); }
    void Expect(const json& value, const json& schema, const std::string& what) {
        for (const std::string& p : validator_.Check(value, schema)) ADD_FAILURE() << what << ": " << p;
    }
    // Every line an event of a kind the schema names, valid against it; the
    // kinds met in order.
    std::vector<std::string> ExpectEvents(const std::string& output, const std::string& what) {
        std::vector<std::string> kinds;
        for (const json& e : vesk::test::JsonEvents(output)) {
            const std::string kind = e.value("event", "");
            kinds.push_back(kind);
            if (!validator_.At("/events").contains(kind)) {
                ADD_FAILURE() << what << ": event of no kind the schema names: " << e.dump();
                continue;
            }
            Expect(e, validator_.At("/events/" + kind), what + " " + kind);
        }
        return kinds;
    }

    vesk::test::TempDir dir_;
    Validator validator_{json::parse(vesk::test::read_file(VESK_JSON_SCHEMA))};
};

TEST_F(JsonSchema, ListAndPlan) {
    const struct {
        const char* what;
        std::string args;
        const char* schema;
    } cases[] = {
        {"list", "list --json" + Net(), "/list"},
        {"list with the catalogue", "list --json --ident" + Net() + Upd(), "/list"},
        {"plan", "plan --json" + Net() + Upd(), "/plan"},
        {"plan, advanced", "plan --json --advanced --choose 71=01.05.10" + Net() + Upd(), "/plan"},
        {"plan without files", "plan --json" + Net() + " --folder " + Quote(dir_.file("bare")), "/plan"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const json out = json::parse(Run(c.args), nullptr, false);
        ASSERT_FALSE(out.is_discarded()) << Run(c.args);
        Expect(out, validator_.At(c.schema), c.what);
    }
}

TEST_F(JsonSchema, UpdateEventsEndWithAResult) {
    const std::vector<std::string> run = ExpectEvents(Run("update --json --yes" + Net() + Upd()), "update");
    for (const char* kind : {"plan", "message", "status", "progress", "wait", "write", "result"})
        EXPECT_NE(std::find(run.begin(), run.end(), kind), run.end()) << kind;
    EXPECT_EQ(run.back(), "result");

    // Every update --json ends with its result, also when nothing was written.
    dir_.write("net.json", vesk::test::PellNet());
    const struct {
        const char* what;
        std::string args;
        const char* outcome;
    } endings[] = {
        {"refused without --yes", "update --json" + Net() + Upd(), "refused"},
        {"nothing pending", "update --json" + Net() + " --folder " + Quote(dir_.file("bare")), "nothing_pending"},
        {"rehearsal only", "update --json --rehearse-only" + Net() + Upd(), "rehearsed"},
    };
    for (const auto& e : endings) {
        SCOPED_TRACE(e.what);
        const std::string output = Run(e.args);
        const std::vector<std::string> kinds = ExpectEvents(output, e.what);
        ASSERT_FALSE(kinds.empty());
        EXPECT_EQ(kinds.back(), "result");
        EXPECT_EQ(vesk::test::JsonEvents(output).back()["outcome"], e.outcome) << output;
    }
}

// A bench: every instrument's events with its serial, then the bench event;
// one instrument written and one with nothing to write.
TEST_F(JsonSchema, BenchEventsEndWithTheBench) {
    dir_.write("bench.json", R"({"instruments": [
        {"code": 65, "serial": 10, "firmware": "46.03.00", "net_rebuild_ms": 0, "present_until_ms": 600000},
        {"code": 65, "serial": 0, "firmware": "46.05.00", "present_from_ms": 700000}]})");
    const std::string output =
        Run("update --each --count 2 --json --yes --simulate " + Quote(dir_.file("bench.json")) + Upd());
    const std::vector<std::string> kinds = ExpectEvents(output, "bench");
    ASSERT_FALSE(kinds.empty());
    EXPECT_EQ(kinds.back(), "bench");
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "result"), 2) << output;
    EXPECT_EQ(vesk::test::JsonEvents(output).back()["rows"].size(), 2u) << output;
}

// The schema catches what it should: a value of the old forms fails.
TEST_F(JsonSchema, OldFormsFail) {
    json row = {{"row", "1"}, {"kind", "slave"}, {"device", "Display Unit"}, {"id", "71"}, {"booter", "01.02"},
                {"firmware", "01.00.00"}, {"available", "01.05.10"}, {"action", ""}, {"serial", 71},
                {"versions", json::array()}};
    EXPECT_TRUE(validator_.Check(row, validator_.At("/defs/row")).empty());
    for (const auto& [key, old] : std::vector<std::pair<std::string, json>>{
             {"firmware", " 1.00.00"}, {"row", 1}, {"serial", "71"}, {"shape", "round"}}) {
        json changed = row;
        changed[key] = old;
        EXPECT_FALSE(validator_.Check(changed, validator_.At("/defs/row")).empty()) << key;
    }
}

}  // namespace
