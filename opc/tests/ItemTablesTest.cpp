// The tables behind items and cached values: a group's items by server handle, and the
// update service's cached values by (channel, attribute) with removal during a sweep.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <set>

#include "opc/group/BlockPool.h"
#include "opc/group/CachedValueTable.h"
#include "opc/group/ItemTable.h"

namespace {

struct Entry {
    int channel;
    int attribute;
    int visits = 0;
};

using Table = opc::KeyedSlotTable<Entry>;

std::shared_ptr<Entry> Make(int channel, int attribute) { return std::make_shared<Entry>(Entry{channel, attribute}); }

// Random additions and sweeps that drop some entries, checked against a std::map of the same keys: every
// entry stays findable, a sweep visits each kept entry (at least once, at most twice) and drops exactly
// those asked for, and the table shrinks back once it is nearly empty.
TEST(CachedValueTable, SweepsDropWhatIsAskedAndFindTheRest) {
    Table table;
    std::map<std::pair<int, int>, std::shared_ptr<Entry>> held; // what "items" still hold
    std::mt19937 random(12345);
    for (int round = 0; round < 40; ++round) {
        // Keys crowd into few channels and attributes so that probe runs are long and wrap around.
        const int adds = round < 20 ? 700 : 50;
        for (int k = 0; k < adds; ++k) {
            const int channel = static_cast<int>(random() % 4000);
            const int attribute = static_cast<int>(random() % 3);
            auto [entry, made] = table.FindOrMake(channel, attribute, [&] { return Make(channel, attribute); });
            ASSERT_NE(entry, nullptr);
            EXPECT_EQ(made, held.count({channel, attribute}) == 0);
            held[{channel, attribute}] = *entry;
        }
        // Items go: about half of the keys in the second half of the rounds, a third before.
        for (auto it = held.begin(); it != held.end();)
            it = random() % (round < 20 ? 3 : 2) == 0 ? held.erase(it) : std::next(it);
        std::set<Entry*> dropped;
        table.Sweep(
            [&](Entry& e, long uses) {
                const bool drop = uses == 1;
                if (drop) dropped.insert(&e);
                return drop;
            },
            [](Entry& e) { ++e.visits; });
        ASSERT_EQ(table.size(), held.size());
        for (auto& [key, entry] : held) {
            const std::shared_ptr<Entry>* found = table.Find(key.first, key.second);
            ASSERT_NE(found, nullptr);
            EXPECT_EQ(found->get(), entry.get());
            EXPECT_GE(entry->visits, 1);
            EXPECT_LE(entry->visits, 2);
            EXPECT_EQ(dropped.count(entry.get()), 0u);
            entry->visits = 0;
        }
        EXPECT_LE(table.size() * 4, table.Capacity() * 3);
    }
    held.clear();
    table.Sweep([](Entry&, long uses) { return uses == 1; }, [](Entry&) {});
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(table.Capacity(), 0u); // the room goes back
    EXPECT_EQ(table.Find(1, 1), nullptr);
}

TEST(CachedValueTable, AFailedMakeLeavesNothingBehind) {
    Table table;
    ASSERT_TRUE(table.FindOrMake(1, 2, [] { return Make(1, 2); }).second);
    EXPECT_THROW(table.FindOrMake(3, 4, []() -> std::shared_ptr<Entry> { throw std::bad_alloc(); }), std::bad_alloc);
    EXPECT_EQ(table.size(), 1u);
    EXPECT_EQ(table.Find(3, 4), nullptr);
    auto [again, made] = table.FindOrMake(3, 4, [] { return Make(3, 4); });
    EXPECT_TRUE(made);
    EXPECT_EQ((*again)->channel, 3);
    EXPECT_NE(table.Find(1, 2), nullptr);
}

TEST(ItemTable, HandlesIndexSlotsAndFreeSlotsAreFoundAndGiven) {
    opc::ItemTable items;
    EXPECT_EQ(items.Find(0), nullptr);
    EXPECT_EQ(items.Find(1), nullptr);
    EXPECT_EQ(items.FreeFrom(0), 1u);
    for (opc::ItemHandle h : {1u, 2u, 3u, 5u}) {
        opc::GroupItem item;
        item.serverHandle = h;
        item.clientHandle = h * 10;
        items.Put(std::move(item));
    }
    EXPECT_EQ(items.size(), 4u);
    EXPECT_EQ(items.FreeFrom(1), 4u);
    EXPECT_EQ(items.FreeFrom(5), 6u);
    EXPECT_EQ(items.at(5).clientHandle, 50u);
    EXPECT_THROW(items.at(4), std::out_of_range);
    EXPECT_FALSE(items.Erase(4));
    EXPECT_TRUE(items.Erase(2));
    EXPECT_FALSE(items.Erase(2));
    EXPECT_EQ(items.FreeFrom(1), 2u);
    std::vector<opc::ItemHandle> order;
    items.ForEach([&](const opc::GroupItem& item) { order.push_back(item.serverHandle); });
    EXPECT_EQ(order, (std::vector<opc::ItemHandle>{1, 3, 5}));
    // The last item going takes the free slots before it along; the handles after it are free again.
    EXPECT_TRUE(items.Erase(5));
    EXPECT_EQ(items.FreeFrom(4), 4u);
    EXPECT_EQ(items.Find(5), nullptr);
    EXPECT_EQ(items.size(), 2u);
}

// Blocks come from chunks of their own; a chunk goes back to the system when its last block goes, and a
// block freed in a full chunk is given out again before a new chunk is taken.
TEST(BlockPool, ChunksGoBackWhenTheirLastBlockIsFreed) {
    opc::BlockPool pool(136, 8);
    const std::size_t perChunk = (opc::BlockPool::kChunkBytes - 64) / 136;
    std::vector<void*> blocks;
    for (std::size_t i = 0; i < perChunk * 3; ++i) {
        blocks.push_back(pool.Allocate());
        std::memset(blocks.back(), 0xAB, 136); // the whole block is the caller's
    }
    EXPECT_GE(pool.Chunks(), 3u);
    EXPECT_LE(pool.Chunks(), 4u);
    std::set<void*> distinct(blocks.begin(), blocks.end());
    EXPECT_EQ(distinct.size(), blocks.size());
    for (void* b : blocks) EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b) % 8, 0u);
    void* reused = blocks[5];
    pool.Free(reused);
    const std::size_t chunks = pool.Chunks();
    EXPECT_EQ(pool.Allocate(), reused);
    EXPECT_EQ(pool.Chunks(), chunks);
    for (void* b : blocks) pool.Free(b);
    EXPECT_EQ(pool.Chunks(), 0u);
    // Shared values made through the allocator live and die as usual.
    auto value = std::allocate_shared<Entry>(opc::PooledAllocator<Entry>(), Entry{7, 8});
    std::weak_ptr<Entry> weak = value;
    EXPECT_EQ(value->channel, 7);
    value.reset();
    EXPECT_TRUE(weak.expired());
}

} // namespace
