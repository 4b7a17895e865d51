#include "LoadedNode.h"

#include "ValueCodec.h"

#include <algorithm>

namespace nrk {

LoadedNode::LoadedNode(const NodeDefinition& def)
    : name(def.name), nodeType(def.nodeType), scanPeriod(def.scanPeriod), operators(def.operators),
      loginToStart(def.loginToStart), loginToStop(def.loginToStop), loginToView(def.loginToView) {
    channelEnd = def.channels.empty() ? 1 : def.channels.back().id + 1;
    index_.assign(static_cast<std::size_t>(channelEnd), -1);
    channels_.reserve(def.channels.size());
    std::size_t numeric = 0, texts = 0;
    for (const ChannelDefinition& c : def.channels) {
        LoadedChannel lc;
        lc.id = c.id;
        lc.type = c.type;
        lc.layout = layoutOf(c.type);
        lc.numericBase = static_cast<std::uint32_t>(numeric);
        lc.textBase = static_cast<std::uint32_t>(texts);
        numeric += static_cast<std::size_t>(lc.layout->numericCount);
        texts += static_cast<std::size_t>(lc.layout->textCount);
        index_[static_cast<std::size_t>(c.id)] = static_cast<std::int32_t>(channels_.size());
        channels_.push_back(lc);
    }
    numeric_ = std::make_unique<std::atomic<std::uint64_t>[]>(numeric);
    for (std::size_t i = 0; i < numeric; ++i) numeric_[i].store(toBits(0.0), std::memory_order_relaxed);
    texts_.resize(texts);

    for (const ChannelDefinition& c : def.channels) {
        const LoadedChannel& lc = channels_[static_cast<std::size_t>(index_[static_cast<std::size_t>(c.id)])];
        const TypeLayout& l = *lc.layout;
        storeNumeric(lc.numericBase + l.slot[48], c.type);
        texts_[lc.textBase + l.slot[127]] = c.name;
        for (const AttributeSetting& s : c.settings) {
            if (s.isText) texts_[lc.textBase + l.slot[s.attr]] = s.text;
            else storeNumeric(lc.numericBase + l.slot[s.attr], s.number);
        }
        for (const SimulationSetting& s : c.simulations) {
            SimulatedValue v;
            v.slot = lc.numericBase + l.slot[s.attr];
            v.kind = l.kind[s.attr];
            v.salt = static_cast<std::uint64_t>(c.id) << 8 | static_cast<std::uint64_t>(s.attr);
            v.sim = s.sim;
            double stored;
            if (numericFromDoubleClamped(v.kind, simulationStart(s.sim, scanPeriod / 1000.0), stored))
                storeNumeric(v.slot, stored);
            simBySlot_.emplace(v.slot, static_cast<std::uint32_t>(sims_.size()));
            sims_.push_back(v);
        }
    }
    manual_ = std::make_unique<std::atomic<bool>[]>(sims_.size());
    for (std::size_t i = 0; i < sims_.size(); ++i) manual_[i].store(false, std::memory_order_relaxed);

    int highest = kFirstGroupId - 1;
    for (auto& [id, g] : def.groups) highest = std::max(highest, id);
    groupLimit = highest + 1;
    groups_.resize(static_cast<std::size_t>(groupLimit));
    for (auto& [id, g] : def.groups) {
        LoadedGroup& lg = groups_[static_cast<std::size_t>(id)];
        lg.id = id;
        lg.parent = g.parent;
        lg.name = g.name;
        lg.channels = g.channels;
    }
}

} // namespace nrk
