// The update service's index of its cached values by (channel, attribute), which the scan
// walks too: open addressing with linear probing in one array of slots, the key beside the
// entry, so that an entry costs a slot and no node of its own, and a look-up reads
// neighbouring slots. The table grows at three quarters full and shrinks when a sweep leaves
// it mostly empty. Used under the service's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace opc {

template <class Value>
class KeyedSlotTable {
public:
    std::size_t size() const noexcept { return count_; }
    std::size_t Capacity() const noexcept { return slots_.size(); }

    // The entry of (channel, attribute), or null.
    const std::shared_ptr<Value>* Find(int channel, int attribute) const noexcept {
        if (slots_.empty()) return nullptr;
        const std::uint64_t key = Key(channel, attribute);
        for (std::size_t i = Home(key);; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (!slot.value) return nullptr;
            if (slot.key == key) return &slot.value;
        }
    }

    // The entry of (channel, attribute) and false, or a new entry made by make() and true.
    // Throws what make() or the growth of the table throws; nothing changes then.
    template <class Make>
    std::pair<const std::shared_ptr<Value>*, bool> FindOrMake(int channel, int attribute, Make&& make) {
        if ((count_ + 1) * 4 > slots_.size() * 3) Rehash(slots_.empty() ? kMinimumSlots : slots_.size() * 2);
        const std::uint64_t key = Key(channel, attribute);
        std::size_t i = Home(key);
        for (; slots_[i].value; i = (i + 1) & mask_)
            if (slots_[i].key == key) return {&slots_[i].value, false};
        Slot& slot = slots_[i];
        slot.value = make(); // the slot stays free when it throws
        if (!slot.value) throw std::bad_alloc();
        slot.key = key;
        ++count_;
        return {&slot.value, true};
    }

    // Walks every entry: drops those for which drop(Value&, use count) is true and calls
    // visit(Value&) on the others. An entry moved by a removal is visited again at most
    // once more; none is missed. After every kSweepStep slots it calls pause(), during
    // which others may add entries; when the table grew meanwhile the walk begins again
    // (the entries moved), so that none is missed then either. Afterwards a table left
    // mostly empty is made smaller.
    static constexpr std::size_t kSweepStep = 256;
    template <class Drop, class Visit, class Pause>
    void Sweep(Drop&& drop, Visit&& visit, Pause&& pause) {
        std::size_t step = 0;
        for (std::size_t i = 0; i < slots_.size();) {
            if (++step == kSweepStep) {
                step = 0;
                const std::size_t layout = layout_;
                pause();
                if (layout_ != layout) i = 0;
                if (i >= slots_.size()) break;
            }
            Slot& slot = slots_[i];
            if (!slot.value) {
                ++i;
                continue;
            }
            if (drop(*slot.value, slot.value.use_count())) {
                EraseAt(i); // a later entry may now sit in slot i: look at it again
                continue;
            }
            visit(*slot.value);
            ++i;
        }
        ShrinkToFit();
    }
    template <class Drop, class Visit>
    void Sweep(Drop&& drop, Visit&& visit) {
        Sweep(std::forward<Drop>(drop), std::forward<Visit>(visit), [] {});
    }

    // Makes the table smaller when it is less than an eighth full (keeps it when that fails).
    void ShrinkToFit() noexcept {
        if (slots_.size() <= kMinimumSlots || count_ * 8 >= slots_.size()) return;
        std::size_t size = kMinimumSlots;
        while (count_ * 2 > size) size *= 2;
        try {
            if (count_ == 0) {
                std::vector<Slot>().swap(slots_);
                mask_ = 0;
            } else {
                Rehash(size);
            }
        } catch (...) {
        }
    }

    template <class F>
    void ForEach(F&& f) const {
        for (const Slot& slot : slots_)
            if (slot.value) f(*slot.value);
    }

private:
    static constexpr std::size_t kMinimumSlots = 64;

    struct Slot {
        std::uint64_t key = 0;
        std::shared_ptr<Value> value; // null: a free slot
    };

    static std::uint64_t Key(int channel, int attribute) noexcept {
        return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(channel)) << 32) |
               static_cast<std::uint32_t>(attribute);
    }
    static std::size_t Mix(std::uint64_t key) noexcept {
        key ^= key >> 33; // the finaliser of MurmurHash3: neighbouring channels spread out
        key *= 0xff51afd7ed558ccdull;
        key ^= key >> 33;
        key *= 0xc4ceb9fe1a85ec53ull;
        key ^= key >> 33;
        return static_cast<std::size_t>(key);
    }
    std::size_t Home(std::uint64_t key) const noexcept { return Mix(key) & mask_; }

    // Removal without markers: the entries after the freed slot that would no longer be
    // found from their home slot move back into it.
    void EraseAt(std::size_t hole) noexcept {
        slots_[hole].value.reset();
        --count_;
        for (std::size_t j = (hole + 1) & mask_; slots_[j].value; j = (j + 1) & mask_) {
            const std::size_t home = Home(slots_[j].key);
            // The entry at j stays when its home lies cyclically in (hole, j].
            const bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
            if (stays) continue;
            slots_[hole] = std::move(slots_[j]);
            slots_[j].value.reset();
            hole = j;
        }
    }

    // Throws std::bad_alloc (nothing changed).
    void Rehash(std::size_t size) {
        std::vector<Slot> fresh(size);
        const std::size_t mask = size - 1;
        for (Slot& slot : slots_) {
            if (!slot.value) continue;
            std::size_t i = Mix(slot.key) & mask;
            while (fresh[i].value) i = (i + 1) & mask;
            fresh[i] = std::move(slot);
        }
        slots_.swap(fresh);
        mask_ = mask;
        ++layout_;
    }

    std::vector<Slot> slots_; // a power of two in size, or empty
    std::size_t mask_ = 0;
    std::size_t count_ = 0;
    std::size_t layout_ = 0; // counts the rehashes
};

} // namespace opc
