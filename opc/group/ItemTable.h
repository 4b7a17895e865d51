// The items of a group by server handle: one slot per handle in one array (handle h in
// slot h - 1), each item held in its slot, so that an item costs its slot and no heap
// block of its own, and a look-up by handle is an index.
//
// Server handles are the number of items plus one, counted up past taken handles (see
// AddItems), so they stay dense: the array never holds more than twice as many slots as
// the group has had items at most, and trailing free slots are dropped as items go.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <utility>
#include <vector>

#include "opc/group/GroupItem.h"

namespace opc {

class ItemTable {
public:
    ItemTable() = default;
    ItemTable(const ItemTable&) = delete;
    ItemTable& operator=(const ItemTable&) = delete;

    std::size_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }

    // The item of a handle, or null.
    GroupItem* Find(ItemHandle handle) noexcept {
        return handle != 0 && handle <= slots_.size() && slots_[handle - 1].serverHandle != 0 ? &slots_[handle - 1]
                                                                                             : nullptr;
    }
    const GroupItem* Find(ItemHandle handle) const noexcept { return const_cast<ItemTable*>(this)->Find(handle); }
    std::size_t count(ItemHandle handle) const noexcept { return Find(handle) ? 1 : 0; }
    GroupItem& at(ItemHandle handle) {
        if (GroupItem* item = Find(handle)) return *item;
        throw std::out_of_range("no item of this server handle");
    }
    const GroupItem& at(ItemHandle handle) const { return const_cast<ItemTable*>(this)->at(handle); }

    // The lowest free handle not below `from` (at least 1).
    ItemHandle FreeFrom(ItemHandle from) const noexcept {
        if (from == 0) from = 1;
        while (from <= slots_.size() && slots_[from - 1].serverHandle != 0) ++from;
        return from;
    }
    // Room for the handles up to `last` without a further allocation. Throws std::bad_alloc.
    void ReserveHandles(std::size_t last) {
        if (last > slots_.capacity()) slots_.reserve(last);
    }
    // Puts the item in the slot of its server handle (not 0), in place of an item there.
    // Throws std::bad_alloc (nothing changed).
    GroupItem& Put(GroupItem item) {
        const ItemHandle handle = item.serverHandle;
        if (handle == 0) throw std::invalid_argument("server handle 0");
        if (handle > slots_.size()) slots_.resize(handle); // free slots up to it
        GroupItem& slot = slots_[handle - 1];
        if (slot.serverHandle == 0) ++count_;
        slot = std::move(item);
        return slot;
    }
    // Removes the item of a handle; false when there is none.
    bool Erase(ItemHandle handle) noexcept {
        GroupItem* item = Find(handle);
        if (!item) return false;
        *item = GroupItem{};
        --count_;
        while (!slots_.empty() && slots_.back().serverHandle == 0) slots_.pop_back();
        return true;
    }
    // Gives back the room of free slots once most of the array is free (after removals).
    void Compact() noexcept {
        if (slots_.capacity() > 1024 && slots_.capacity() / 4 > slots_.size()) {
            try {
                slots_.shrink_to_fit();
            } catch (...) {
                // keeps the room it has
            }
        }
    }
    void clear() noexcept {
        std::vector<GroupItem>().swap(slots_);
        count_ = 0;
    }
    void swap(ItemTable& other) noexcept {
        slots_.swap(other.slots_);
        std::swap(count_, other.count_);
    }

    // f(GroupItem&) for every item, in the order of their handles.
    template <class F>
    void ForEach(F&& f) {
        for (GroupItem& item : slots_)
            if (item.serverHandle != 0) f(item);
    }
    template <class F>
    void ForEach(F&& f) const {
        for (const GroupItem& item : slots_)
            if (item.serverHandle != 0) f(item);
    }

private:
    std::vector<GroupItem> slots_; // serverHandle 0: a free slot
    std::size_t count_ = 0;
};

} // namespace opc
