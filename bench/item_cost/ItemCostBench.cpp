// The steps of AddItems for N distinct items, each timed over all N in process, against the node
// runtime (the stand-in library's code, linked in) with a generated node of type-4 channels:
//   resolve:    the item identifier to its attribute node;
//   type+rights: the canonical type and access rights (read from the runtime);
//   cache:      the update service's cached value, made and read at once (new attributes);
//   item+table: the group item in its slot of the group's item table (handles as indices);
//   release:    the items and then the cached values (the next scan) released.
// Each step as wall time and as this thread's processor time, per item.
// Also the heap bytes per item of the item, the map entry and the cached value.
//
// Usage: item_cost_bench [channels (default 2000)]
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "Runtime.h"
#include "opc/group/GroupItem.h"
#include "opc/group/ItemTable.h"
#include "opc/group/UpdateService.h"
#include "runtime/AddressSpace.h"
#include "common/PrivateBytes.h"

namespace opc {
UpdateService::AttributeReader RuntimeAttributeReader(NRK_Server* runtime);
}

namespace {

using Clock = std::chrono::steady_clock;
double Micro(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// A moment: the wall clock and this thread's processor time (which the other programs of a busy
// machine do not inflate; the system counts it in ticks of some milliseconds).
struct Mark {
    Clock::time_point wall;
    double cpu;  // microseconds
};
Mark Now() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto us = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10;
    };
    return Mark{Clock::now(), us(kernel) + us(user)};
}


} // namespace

int main(int argc, char** argv) {
    const int channels = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
    char dir[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, dir);
    const std::string file = "item_cost_bench.dbb";
    {
        std::ofstream out(std::string(dir) + file);
        out << "node \"Bench Node\" type 1\nscan 100\ngroup 0 \"Plant\"\ngroup 40 \"Line\" parent 0\n";
        for (int ch = 1; ch <= channels; ++ch) out << "channel " << ch << " type 4 \"C" << ch << "\" in 40\n";
    }
    nrk::RuntimeOptions options;
    options.simulationThread = false;
    nrk::Runtime runtime(options);
    if (runtime.LoadNode(dir, file.c_str()) != 0) {
        std::printf("cannot load the node\n");
        return 1;
    }
    DeleteFileA((std::string(dir) + file).c_str());
    const std::shared_ptr<GroupNode> root = BuildAddressSpace(runtime);

    // Every attribute of every channel, by its identifier.
    std::vector<std::wstring> ids;
    for (int ch = 1; ch <= channels; ++ch) {
        const auto* channel = root->FindChild(L"Line") ? static_cast<const BranchNode*>(root->FindChild(L"Line")) : nullptr;
        if (!channel) break;
        const auto* node = static_cast<const BranchNode*>(channel->FindChild(L"C" + std::to_wstring(ch)));
        for (const auto& child : node->Children()) ids.push_back(L"Plant.Line.C" + std::to_wstring(ch) + L"." + child->Name());
    }
    const std::size_t n = ids.size();
    std::printf("%d channels, %zu items\n", channels, n);

    opc::UpdateService::Options serviceOptions;
    serviceOptions.runtime = &runtime;
    serviceOptions.reader = opc::RuntimeAttributeReader(&runtime);
    const bool frozen = argc > 2;  // no scans run while the items are added
    if (frozen) opc::ServiceClock::SetManual(UtcNow());
    auto service = opc::UpdateService::Create(serviceOptions);

    std::vector<std::shared_ptr<AttributeNode>> nodes(n);
    std::vector<VARTYPE> types(n);
    std::vector<DWORD> rights(n);
    std::vector<std::shared_ptr<opc::CachedValue>> caches(n);
    opc::ItemTable items;

    const double bytes0 = PrivateBytes();
    std::vector<std::pair<const char*, Mark>> steps;  // each step's end
    Mark start = Now();
    for (std::size_t i = 0; i < n; ++i) nodes[i] = std::static_pointer_cast<AttributeNode>(Resolve(*root, ids[i]));
    steps.push_back({"resolve", Now()});
    for (std::size_t i = 0; i < n; ++i) {
        const AttributeNode::Traits traits = nodes[i]->CanonicalTypeAndRights(runtime);
        types[i] = traits.canonical;
        rights[i] = traits.rights;
    }
    steps.push_back({"type+rights", Now()});
    // The parts of a new cached value alone: the first read and the clock.
    for (std::size_t i = 0; i < n; ++i) (void)opc::ReadAttribute(runtime, nodes[i]->ChannelId(), nodes[i]->AttributeId(), types[i]);
    steps.push_back({"(first reads alone)", Now()});
    for (std::size_t i = 0; i < n; ++i) (void)opc::ServiceClock::now();
    steps.push_back({"(service clock alone)", Now()});
    for (std::size_t i = 0; i < n; ++i) caches[i] = service->GetCachedValue(nodes[i], types[i]);
    steps.push_back({"cache (made, read at once)", Now()});
    const double bytes1 = PrivateBytes();
    // The same again: every cached value is found (the service's lock and the table's look-up alone).
    for (std::size_t i = 0; i < n; ++i) (void)service->GetCachedValue(nodes[i], types[i]);
    steps.push_back({"(cache found again)", Now()});
    items.ReserveHandles(n);
    for (std::size_t i = 0; i < n; ++i) {
        opc::GroupItem item;
        item.cache = std::move(caches[i]);
        item.clientHandle = static_cast<opc::ItemHandle>(i + 1);
        item.serverHandle = items.FreeFrom(static_cast<opc::ItemHandle>(items.size() + 1));
        item.requestedType = types[i];
        items.Put(std::move(item));
    }
    steps.push_back({"item+table", Now()});
    const double bytes2 = PrivateBytes();
    nodes.clear();
    items.clear();
    steps.push_back({"release items", Now()});
    if (frozen) opc::ServiceClock::SetReal();
    service->WaitIdle();
    Sleep(300);  // a scan drops the cached values
    const double bytes3 = PrivateBytes();

    const double per = static_cast<double>(n);
    std::printf("%-30s %12s %10s %12s %10s\n", "step (in brackets: parts alone)", "wall us", "us/item", "thread cpu us",
                "us/item");
    Mark previous = start;
    double all[2] = {0, 0};
    for (const auto& [what, end] : steps) {
        const double wall = Micro(end.wall - previous.wall);
        const double cpu = end.cpu - previous.cpu;
        std::printf("%-30s %12.0f %10.3f %12.0f %10.3f\n", what, wall, wall / per, cpu, cpu / per);
        if (what[0] != '(' && std::string(what) != "release items") {
            all[0] += wall;
            all[1] += cpu;
        }
        previous = end;
    }
    std::printf("%-30s %12.0f %10.3f %12.0f %10.3f\n", "all but release", all[0], all[0] / per, all[1], all[1] / per);
    std::printf("%-32s %10.0f bytes/item\n", "cached values", (bytes1 - bytes0) / per);
    std::printf("%-32s %10.0f bytes/item\n", "items and table", (bytes2 - bytes1) / per);
    std::printf("%-32s %10.0f bytes/item\n", "kept after release", (bytes3 - bytes0) / per);
    std::printf("cache entries left: %zu\n", service->CacheSize());
    return 0;
}
