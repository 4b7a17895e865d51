// A node in memory: its structure is fixed once built; its attribute values
// change (numeric values in lock-free atomics, texts under striped locks).
#pragma once

#include "AttributeTable.h"
#include "NodeFile.h"
#include "Simulation.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace nrk {

struct LoadedChannel {
    int id = 0;
    int type = 0;
    const TypeLayout* layout = nullptr;
    std::uint32_t numericBase = 0;
    std::uint32_t textBase = 0;
};

struct LoadedGroup {
    int id = -1; // -1: no such group
    int parent = 0;
    std::string name;
    std::vector<int> channels;
};

struct SimulatedValue {
    std::uint32_t slot = 0; // numeric slot
    Kind kind = Kind::None;
    std::uint64_t salt = 0;
    Simulation sim;
};

class LoadedNode {
public:
    explicit LoadedNode(const NodeDefinition& def);
    LoadedNode(const LoadedNode&) = delete;
    LoadedNode& operator=(const LoadedNode&) = delete;

    std::string name;
    int nodeType = 0;
    int scanPeriod = 1000;
    std::vector<OperatorAccount> operators;
    bool loginToStart = false, loginToStop = false, loginToView = false;

    int channelEnd = 1; // one past the highest channel id
    int groupLimit = kFirstGroupId;

    // The channel with this id, or nullptr.
    const LoadedChannel* channel(int id) const {
        if (id <= 0 || id >= channelEnd) return nullptr;
        std::int32_t i = index_[static_cast<std::size_t>(id)];
        return i < 0 ? nullptr : &channels_[static_cast<std::size_t>(i)];
    }
    const LoadedGroup* group(int id) const {
        if (id < 0 || id >= groupLimit) return nullptr;
        const LoadedGroup& g = groups_[static_cast<std::size_t>(id)];
        return g.id < 0 ? nullptr : &g;
    }

    double loadNumeric(std::uint32_t slot) const {
        std::uint64_t bits = numeric_[slot].load(std::memory_order_acquire);
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    void storeNumeric(std::uint32_t slot, double v) { numeric_[slot].store(toBits(v), std::memory_order_release); }
    // Stores the value unless the slot changed since `expected` was read.
    bool replaceNumeric(std::uint32_t slot, double expected, double v) {
        std::uint64_t e = toBits(expected);
        return numeric_[slot].compare_exchange_strong(e, toBits(v), std::memory_order_acq_rel);
    }

    // Texts; the lock guards the text slots of one channel (striped).
    std::mutex& textLock(const LoadedChannel& c) const { return textLocks_[static_cast<std::size_t>(c.id) % kStripes].m; }
    std::string& text(std::uint32_t slot) { return texts_[slot]; }
    const std::string& text(std::uint32_t slot) const { return texts_[slot]; }

    // Simulation: the simulated value in this numeric slot, or -1.
    int simulationOf(std::uint32_t slot) const {
        auto it = simBySlot_.find(slot);
        return it == simBySlot_.end() ? -1 : static_cast<int>(it->second);
    }
    // A written simulated value leaves the simulation for good (manual value).
    void setManual(int sim) { manual_[static_cast<std::size_t>(sim)].store(true, std::memory_order_release); }
    bool manual(std::size_t sim) const { return manual_[sim].load(std::memory_order_acquire); }
    const std::vector<SimulatedValue>& simulations() const { return sims_; }

    std::int64_t stepsDone = 0; // simulation steps applied; owned by the runtime's simulation lock

private:
    static std::uint64_t toBits(double v) {
        std::uint64_t b;
        std::memcpy(&b, &v, sizeof b);
        return b;
    }
    static constexpr std::size_t kStripes = 64;
    struct alignas(64) PaddedMutex {
        std::mutex m;
    };

    std::vector<std::int32_t> index_;
    std::vector<LoadedChannel> channels_;
    std::vector<LoadedGroup> groups_;
    std::unique_ptr<std::atomic<std::uint64_t>[]> numeric_;
    std::vector<std::string> texts_;
    mutable std::array<PaddedMutex, kStripes> textLocks_;
    std::vector<SimulatedValue> sims_;
    std::unique_ptr<std::atomic<bool>[]> manual_;
    std::unordered_map<std::uint32_t, std::uint32_t> simBySlot_;
};

} // namespace nrk
