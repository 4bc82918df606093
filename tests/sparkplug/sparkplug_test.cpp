// velkd's Sparkplug face without a broker: what it encodes for each tag type,
// the aliases and seq of a session, the writes a DCMD decodes into, the bdSeq
// kept on disk and the [sparkplug] table.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "sparkplug/birth_death_sequence.h"
#include "sparkplug/edge_node.h"
#include "sparkplug/snapshot_reading.h"
#include "sparkplug/sparkplug_settings.h"
#include "sparkplug_b.pb.h"

namespace velkd::sparkplug {
namespace {

using Payload = org::eclipse::tahu::protobuf::Payload;

Payload Decode(const Outgoing& message) {
  Payload payload;
  EXPECT_TRUE(payload.ParseFromString(message.payload)) << message.topic;
  return payload;
}

TEST(SparkplugMetric, EachTagTypeHasItsDatatypeAndField) {
  struct Row {
    int16_t velkType;
    bool scaled;
    MetricValue value;
    DataType type;
    Metric::ValueCase field;
    std::string wire;  // the field's value as text
  };
  const Row rows[] = {
      {velk::kTypeBit, false, true, kBoolean, Metric::kBooleanValue, "1"},
      {velk::kTypeBit, true, false, kBoolean, Metric::kBooleanValue, "0"},
      {velk::kTypeByte, false, int64_t{200}, kUInt8, Metric::kIntValue, "200"},
      // Negative numbers travel as the two's complement of 32 bits.
      {velk::kTypeShort, false, int64_t{-2}, kInt16, Metric::kIntValue, "4294967294"},
      {velk::kTypeWord, false, int64_t{65535}, kUInt16, Metric::kIntValue, "65535"},
      {velk::kTypeLong, false, int64_t{-100000}, kInt32, Metric::kIntValue, "4294867296"},
      {velk::kTypeFloat, false, 1.5, kFloat, Metric::kFloatValue, "1.5"},
      // A scaled value is the engineering value, a Double whatever the line's type.
      {velk::kTypeShort, true, 2.35, kDouble, Metric::kDoubleValue, "2.35"},
      {velk::kTypeFloat, true, 21.5, kDouble, Metric::kDoubleValue, "21.5"},
      {velk::kTypeString, false, std::string("pump"), kString, Metric::kStringValue, "pump"},
  };
  for (const Row& row : rows) {
    MetricFact fact{"t", row.velkType, row.scaled, "", false, nullptr};
    SCOPED_TRACE(ValueText(row.value));
    ASSERT_EQ(MetricDataType(fact), row.type);
    Payload::Metric metric;
    SetMetricValue(row.type, row.value, &metric);
    ASSERT_EQ(metric.value_case(), row.field);
    const std::string wire = metric.has_int_value()       ? std::to_string(metric.int_value())
                             : metric.has_boolean_value() ? std::to_string(metric.boolean_value())
                             : metric.has_string_value()  ? metric.string_value()
                             : metric.has_float_value()   ? ValueText(static_cast<double>(metric.float_value()))
                                                          : ValueText(metric.double_value());
    EXPECT_EQ(wire, row.wire);
  }
}

const hostlib::WriteField kThreeDecimals = {"", "AO", "a field of 6 characters: 0.000 to 99.999", 3, 0.0, 99.999};

std::vector<DeviceFacts> Plant() {
  return {{"bus1_thermo",
           {{"temperature", velk::kTypeFloat, true, "°C", false, nullptr},
            {"offset", velk::kTypeShort, false, "K", true, nullptr},
            {"level", velk::kTypeByte, false, "", true, nullptr}}},
          {"bus1_relays",
           {{"relay1", velk::kTypeBit, false, "", true, nullptr},
            {"label", velk::kTypeString, false, "", true, nullptr},
            {"output", velk::kTypeFloat, false, "V", true, &kThreeDecimals}}}};
}

// A node with both devices answering and born.
// What the face hands the edge node from a line's snapshot: a value only
// while it is good on a device that answers; never an old one.
TEST(SparkplugSnapshotReading, OnlyGoodReadingsOfAnsweringDevicesCarryAValue) {
  const auto value = [](Value::Kind kind, int64_t integer, double real, const char* text) {
    Value v;
    v.kind = kind;
    v.integer = integer;
    v.real = real;
    v.text = text;
    return v;
  };
  struct Row {
    bool good;
    Value engineering;
    bool online;
    bool expectGood;
    MetricValue expect;
  };
  const Row rows[] = {
      {true, value(Value::kReal, 0, 21.5, ""), true, true, 21.5},
      {true, value(Value::kBit, 1, 0, ""), true, true, true},
      {true, value(Value::kInteger, -3, 0, ""), true, true, int64_t{-3}},
      {true, value(Value::kText, 0, 0, "pump"), true, true, std::string("pump")},
      // The last good value kept by a reading gone bad, or by a device
      // that stopped answering, is not handed on.
      {false, value(Value::kReal, 0, 21.5, ""), true, false, {}},
      {true, value(Value::kReal, 0, 21.5, ""), false, false, {}},
      // A scaled value that is not finite has no value at all.
      {true, value(Value::kNone, 0, 0, ""), true, false, {}},
  };
  for (const Row& row : rows) {
    Reading reading;
    reading.good = row.good;
    reading.engineering = row.engineering;
    reading.readAt = std::chrono::system_clock::time_point(std::chrono::milliseconds(1700000000123));
    const MetricReading got = SnapshotReading(reading, row.online, 5);
    EXPECT_EQ(got.good, row.expectGood) << ValueText(row.expect);
    if (row.expectGood) { EXPECT_EQ(got.value, row.expect) << ValueText(row.expect); }
    EXPECT_EQ(got.timeMs, 1700000000123u);
  }
  EXPECT_EQ(SnapshotReading(Reading(), true, 5).timeMs, 5u) << "no reading yet: the time of asking";
}

struct BornNode {
  EdgeNode node{{"plant", "edge"}, "", {"1.0", 1, 1}, Plant()};
  std::vector<Outgoing> births;
  BornNode() {
    node.Observe(0, true, {{true, 21.5, 100}, {true, int64_t{-2}, 100}, {false, {}, 0}}, 100);
    node.Observe(1, true, {{true, false, 100}, {true, std::string("a"), 100}, {true, 1.0, 100}}, 100);
    births = node.Connected(7, 1000);
  }
};

TEST(SparkplugEdgeNode, BirthsCarryEveryTagWithAnAliasUniqueInTheNode) {
  BornNode born;
  ASSERT_EQ(born.births.size(), 3u);
  EXPECT_EQ(born.births[0].topic, "spBv1.0/plant/NBIRTH/edge");
  EXPECT_EQ(born.births[2].topic, "spBv1.0/plant/DBIRTH/edge/bus1_relays");
  std::set<uint64_t> aliases;
  for (const Outgoing& birth : born.births) {
    const Payload payload = Decode(birth);
    for (const Payload::Metric& metric : payload.metrics()) {
      if (metric.name() == "bdSeq") continue;
      EXPECT_TRUE(aliases.insert(metric.alias()).second) << metric.name();
    }
  }
  EXPECT_EQ(aliases.size(), 4u + 6u);  // the node's own, the tags
  const Payload nbirth = Decode(born.births[0]);
  EXPECT_EQ(nbirth.seq(), 0u);
  EXPECT_EQ(nbirth.metrics(0).name(), "bdSeq");
  EXPECT_EQ(nbirth.metrics(0).long_value(), 7u);
  // Never good: null, quality 0; the unit and quality as properties.
  const Payload thermo = Decode(born.births[1]);
  EXPECT_EQ(thermo.seq(), 1u);
  const Payload::Metric& level = thermo.metrics(2);
  EXPECT_TRUE(level.is_null());
  EXPECT_EQ(level.properties().keys(0), "Quality");
  EXPECT_EQ(level.properties().values(0).int_value(), 0u);
  const Payload::Metric& temperature = thermo.metrics(0);
  EXPECT_EQ(temperature.timestamp(), 100u);
  EXPECT_EQ(temperature.properties().keys(0), "engUnit");
  EXPECT_EQ(temperature.properties().values(1).int_value(), 192u);
}

TEST(SparkplugEdgeNode, DataByExceptionDeathAndRebirthFollowTheLine) {
  BornNode born;
  const uint64_t temperatureAlias = Decode(born.births[1]).metrics(0).alias();
  const uint64_t offsetAlias = Decode(born.births[1]).metrics(1).alias();
  // Nothing changed: nothing sent.
  EXPECT_TRUE(born.node.Observe(0, true, {{true, 21.5, 200}, {true, int64_t{-2}, 200}, {false, {}, 0}}, 200).empty());
  // One value changed, one went bad: only those, by alias, the bad one null.
  std::vector<Outgoing> out =
      born.node.Observe(0, true, {{true, 22.0, 300}, {false, int64_t{-2}, 300}, {false, {}, 0}}, 300);
  ASSERT_EQ(out.size(), 1u);
  Payload data = Decode(out[0]);
  ASSERT_EQ(data.metrics_size(), 2);
  EXPECT_FALSE(data.metrics(0).has_name());
  EXPECT_EQ(data.metrics(0).alias(), temperatureAlias);
  EXPECT_EQ(data.metrics(0).double_value(), 22.0);
  EXPECT_EQ(data.metrics(0).timestamp(), 300u);
  EXPECT_EQ(data.metrics(1).alias(), offsetAlias);
  EXPECT_TRUE(data.metrics(1).is_null());
  EXPECT_EQ(data.metrics(1).properties().values(0).int_value(), 0u);
  // Offline: a death; back: a birth that holds the bad reading as null.
  out = born.node.Observe(0, false, {}, 400);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].topic, "spBv1.0/plant/DDEATH/edge/bus1_thermo");
  EXPECT_TRUE(born.node.Observe(0, false, {}, 450).empty());
  out = born.node.Observe(0, true, {{true, 22.0, 500}, {false, int64_t{-2}, 300}, {false, {}, 0}}, 500);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].topic, "spBv1.0/plant/DBIRTH/edge/bus1_thermo");
  EXPECT_TRUE(Decode(out[0]).metrics(1).is_null());
  // Files read again: the node is born again at once, each device when seen.
  std::vector<DeviceFacts> fewer = Plant();
  fewer.pop_back();
  out = born.node.Reload({"1.0", 1, 1}, fewer, 550);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(Decode(out[0]).seq(), 0u);
  out = born.node.Observe(0, true, {{true, 22.0, 500}, {true, int64_t{1}, 500}, {true, int64_t{1}, 500}}, 560);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].topic, "spBv1.0/plant/DBIRTH/edge/bus1_thermo");
  EXPECT_TRUE(born.node.Observe(1, true, {}, 570).empty());
  EXPECT_EQ(DuplicateDeviceId(fewer), "");
  EXPECT_EQ(DuplicateDeviceId({{"bus1_a_b", {}}, {"bus1_a_b", {}}}), "bus1_a_b");
  born.node.Reload({"1.0", 1, 1}, Plant(), 580);
  born.node.Observe(0, true, {{true, 22.0, 500}, {true, int64_t{1}, 500}, {true, int64_t{1}, 500}}, 590);
  born.node.Observe(1, true, {{true, true, 500}, {true, std::string("b"), 500}, {true, 2.0, 500}}, 590);
  // A rebirth command: the node and both devices again, seq from 0.
  Payload rebirth;
  Payload::Metric* metric = rebirth.add_metrics();
  metric->set_name("Node Control/Rebirth");
  metric->set_boolean_value(true);
  const Received received = born.node.Receive("spBv1.0/plant/NCMD/edge", rebirth.SerializeAsString(), false, 600);
  ASSERT_EQ(received.publish.size(), 3u);
  EXPECT_EQ(Decode(received.publish[0]).seq(), 0u);
  EXPECT_EQ(Decode(received.publish[2]).seq(), 2u);
}

TEST(SparkplugEdgeNode, SeqRunsOnEveryMessageAndWrapsAfter255) {
  BornNode born;
  uint64_t expected = 3;  // after NBIRTH and two DBIRTHs
  for (int i = 0; i < 600; ++i) {
    const std::vector<Outgoing> out =
        i % 100 == 99 ? born.node.ObservePortsOpen(static_cast<uint32_t>(i), 0)
                      : born.node.Observe(1, true, {{true, false, 0}, {true, std::to_string(i), 0}, {true, 1.0, 0}}, 0);
    ASSERT_EQ(out.size(), 1u) << i;
    ASSERT_EQ(Decode(out[0]).seq(), expected) << i;
    expected = (expected + 1) % 256;
  }
}

TEST(SparkplugEdgeNode, BirthsWaitForThePrimaryHost) {
  EdgeNode node({"plant", "edge"}, "scada", {"1.0", 1, 1}, Plant());
  node.Observe(0, true, {{true, 1.0, 1}, {true, int64_t{1}, 1}, {true, int64_t{1}, 1}}, 1);
  EXPECT_TRUE(node.Connected(3, 10).empty());
  struct Row {
    std::string state;
    size_t messages;  // published in answer
    bool born;
  };
  const Row rows[] = {
      {R"({"online": true, "timestamp": 100})", 2, true},  // NBIRTH, DBIRTH
      {R"({"online": true, "timestamp": 101})", 0, true},
      {R"({"online": false, "timestamp": 50})", 0, true},  // older than what was seen
      {R"(ONLINE)", 0, true},
      {R"({"online": false, "timestamp": 200})", 1, false},  // NDEATH, then a new session
      {R"({"online": true, "timestamp": 300})", 2, true},
  };
  for (const Row& row : rows) {
    const Received received = node.Receive("spBv1.0/STATE/scada", row.state, true, 0);
    EXPECT_EQ(received.publish.size(), row.messages) << row.state;
    EXPECT_EQ(node.born(), row.born) << row.state;
    EXPECT_EQ(received.reconnect, !row.born) << row.state;
  }
}

TEST(SparkplugEdgeNode, DeviceCommandsDecodeIntoWritesOrRefusals) {
  struct Row {
    const char* name;  // null: by alias
    uint64_t alias;
    uint32_t datatype;  // 0: none given
    std::function<void(Payload::Metric*)> value;
    std::string outcome;  // the written value, or what the note says
  };
  const Row rows[] = {
      {"offset", 0, kInt16, [](Payload::Metric* m) { m->set_int_value(static_cast<uint32_t>(-7)); }, "-7"},
      {nullptr, 7, 0, [](Payload::Metric* m) { m->set_int_value(255); }, "255"},
      {"offset", 0, kInt16, [](Payload::Metric* m) { m->set_int_value(40000); }, "takes -32768 to 32767"},
      {"level", 0, kUInt8, [](Payload::Metric* m) { m->set_long_value(256); }, "takes 0 to 255, not 256"},
      {"offset", 0, kInt32, [](Payload::Metric* m) { m->set_int_value(1); }, "takes Int16, not datatype 3"},
      {"relay1", 0, kBoolean, [](Payload::Metric* m) { m->set_int_value(1); }, "takes a Boolean value"},
      {"relay1", 0, 0, [](Payload::Metric* m) { m->set_is_null(true); }, "takes a Boolean value"},
      {"label", 0, kString, [](Payload::Metric* m) { m->set_string_value("valve"); }, "valve"},
      {"output", 0, kFloat, [](Payload::Metric* m) { m->set_float_value(2.5f); }, "2.5"},
      {"output", 0, kFloat, [](Payload::Metric* m) { m->set_double_value(NAN); }, "takes a finite number"},
      {"output", 0, kFloat, [](Payload::Metric* m) { m->set_double_value(100.0); }, "0.000 to 99.999"},
      {"temperature", 0, kDouble, [](Payload::Metric* m) { m->set_double_value(1.0); }, "is not writable"},
      {"nothing", 0, kInt32, [](Payload::Metric* m) { m->set_int_value(1); }, "no metric 'nothing'"},
  };
  for (const Row& row : rows) {
    BornNode born;
    Payload command;
    Payload::Metric* metric = command.add_metrics();
    if (row.name != nullptr) metric->set_name(row.name);
    if (row.alias != 0) metric->set_alias(row.alias);
    if (row.datatype != 0) metric->set_datatype(row.datatype);
    row.value(metric);
    const std::string device = row.alias == 7 || std::string(row.name) == "offset" ||
                                       std::string(row.name) == "level" || std::string(row.name) == "temperature"
                                   ? "bus1_thermo"
                                   : "bus1_relays";
    const Received received =
        born.node.Receive("spBv1.0/plant/DCMD/edge/" + device, command.SerializeAsString(), false, 0);
    SCOPED_TRACE(row.outcome);
    if (received.writes.size() == 1) {
      EXPECT_EQ(ValueText(received.writes[0].value), row.outcome);
      EXPECT_TRUE(received.notes.empty());
    } else {
      ASSERT_EQ(received.notes.size(), 1u);
      EXPECT_NE(received.notes[0].find(row.outcome), std::string::npos) << received.notes[0];
    }
  }
}

TEST(SparkplugEdgeNode, RetainedAndMalformedCommandsAreSaidOnceAndIgnored) {
  BornNode born;
  Payload write;
  Payload::Metric* metric = write.add_metrics();
  metric->set_name("relay1");
  metric->set_boolean_value(true);
  const std::string topic = "spBv1.0/plant/DCMD/edge/bus1_relays";
  for (int i = 0; i < 2; ++i) {
    const Received retained = born.node.Receive(topic, write.SerializeAsString(), true, 0);
    const Received malformed = born.node.Receive(topic, "\xff\xff\xff\x0f", false, 0);
    const Received stranger = born.node.Receive("spBv1.0/plant/DCMD/edge/bus9_x", write.SerializeAsString(), false, 0);
    EXPECT_TRUE(retained.writes.empty() && malformed.writes.empty() && stranger.writes.empty());
    EXPECT_EQ(retained.notes.size() + malformed.notes.size() + stranger.notes.size(), i == 0 ? 3u : 0u);
  }
}

TEST(SparkplugBirthDeathSequence, CountsOnFromTheFileAndWraps) {
  struct Row {
    const char* before;  // null: no file
    uint64_t first;
    bool problem;
  };
  const Row rows[] = {
      {nullptr, 0, false}, {"41\n", 42, false}, {"255\n", 0, false}, {"junk\n", 0, true}, {"300\n", 0, true}};
  const std::string path = ::testing::TempDir() + "velkd-bdseq-" + std::to_string(getpid());
  for (const Row& row : rows) {
    unlink(path.c_str());
    if (row.before != nullptr) std::ofstream(path) << row.before;
    BirthDeathSequence sequence(path);
    std::string problem;
    EXPECT_EQ(sequence.Next(&problem), row.first) << row.before;
    EXPECT_EQ(!problem.empty(), row.problem) << problem;
    EXPECT_EQ(sequence.Next(&problem), (row.first + 1) % 256);
    // A restart goes on from what is on disk.
    EXPECT_EQ(BirthDeathSequence(path).Next(&problem), (row.first + 2) % 256);
  }
  unlink(path.c_str());
  std::string problem;
  BirthDeathSequence nowhere("/nonexistent/velkd/bdseq");
  EXPECT_EQ(nowhere.Next(&problem), 0u);
  EXPECT_NE(problem.find("cannot write"), std::string::npos);
  EXPECT_EQ(nowhere.Next(&problem), 1u);
}

TEST(SparkplugSettings, ProblemsAtTheirLines) {
  struct Row {
    std::string toml;
    std::string problem;  // empty: none
    int line;
  };
  const Row rows[] = {
      {"[sparkplug]\ngroup_id = \"plant\"\nedge_node_id = \"edge\"\n", "", 0},
      {"[sparkplug]\ngroup_id = \"plant\"\n", "needs edge_node_id", 1},
      {"[sparkplug]\ngroup_id = \"a/b\"\nedge_node_id = \"e\"\n", "cannot stand in a Sparkplug topic", 2},
      {"[sparkplug]\ngroup_id = \"g\"\nedge_node_id = \"e\"\nuser = \"u\"\n", "without a broker", 1},
      {"[sparkplug]\ngroup_id = \"g\"\nedge_node_id = \"e\"\nbroker = \"mqtt://h:0\"\n", "port '0'", 4},
      {"[sparkplug]\ngroup_id = \"g\"\nedge_node_id = \"e\"\nprimary_host = \"s\"\n", "unknown key", 4},
  };
  for (const Row& row : rows) {
    const toml::table root = toml::parse(row.toml);
    SparkplugSettings settings;
    std::vector<std::pair<int, std::string>> problems;
    ReadSparkplugTable(*root["sparkplug"].as_table(), &settings, &problems);
    if (row.problem.empty()) {
      EXPECT_TRUE(problems.empty()) << row.toml;
      EXPECT_FALSE(settings.ownBroker);
      continue;
    }
    ASSERT_EQ(problems.size(), 1u) << row.toml;
    EXPECT_EQ(problems[0].first, row.line) << problems[0].second;
    EXPECT_NE(problems[0].second.find(row.problem), std::string::npos) << problems[0].second;
  }
}

}  // namespace
}  // namespace velkd::sparkplug
