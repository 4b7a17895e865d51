// libFuzzer target: a node file's bytes through the parser, then every value and
// simulation it yields through the value codec the runtime applies to them.
// Short inputs are also parsed as the text form of every numeric kind.
#include "AttributeTable.h"
#include "NodeFile.h"
#include "Simulation.h"
#include "ValueCodec.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using namespace nrk;

namespace {

const Kind kNumericKinds[] = {Kind::Bool, Kind::UI1, Kind::UI2, Kind::UI4, Kind::I2,
                              Kind::I4,   Kind::R4,  Kind::R8,  Kind::Date};

// What the runtime does with a stored or simulated value: clamp it into the kind,
// hand it out as every table type and as text.
void deliver(Kind kind, double v) {
    double stored;
    if (!numericFromDoubleClamped(kind, v, stored)) return;
    std::int32_t i;
    float f;
    double d;
    numericToInt(kind, stored, i);
    numericToFloat(kind, stored, f);
    numericToDouble(kind, stored, d);
    char text[64];
    if (formatNumeric(kind, stored, text, sizeof text)) {
        double back;
        parseNumeric(kind, text, back);
    }
    char tiny[4];
    formatNumeric(kind, stored, tiny, sizeof tiny);
    double again;
    numericFromInt(kind, i, again);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view content(reinterpret_cast<const char*>(data), size);
    if (size <= 80) {
        for (Kind k : kNumericKinds) {
            double v;
            if (parseNumeric(k, content, v)) deliver(k, v);
        }
        double v;
        if (parseDouble(content, v))
            for (Kind k : kNumericKinds) deliver(k, v);
    }
    NodeDefinition node;
    std::string error;
    if (!parseNodeFile(content, "fuzz.dbb", node, error)) return 0;
    const double period = node.scanPeriod / 1000.0;
    for (const ChannelDefinition& c : node.channels) {
        const TypeLayout* layout = layoutOf(c.type);
        if (!layout) __builtin_trap(); // the parser accepted an unknown type
        for (const AttributeSetting& s : c.settings)
            if (!s.isText) deliver(layout->kind[s.attr], s.number);
        for (const SimulationSetting& s : c.simulations) {
            double prev = simulationStart(s.sim, period);
            deliver(layout->kind[s.attr], prev);
            const std::int64_t steps[] = {1, 2, 3, 1000, 86400, 1LL << 31, 1LL << 40, INT64_MAX / 2};
            for (std::int64_t k : steps) {
                prev = simulate(s.sim, k, period, prev, static_cast<std::uint64_t>(c.id));
                deliver(layout->kind[s.attr], prev);
            }
        }
    }
    return 0;
}
