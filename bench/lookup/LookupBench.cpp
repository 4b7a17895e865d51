// Lookups of item identifiers per second in nodes of 1,000 and 100,000 channels.
//
// Each node is one group "Line" below the top group "Plant" holding all channels
// (type 4, about 70 attributes each; names such as "TI100001.PV" contain a "."),
// built through the fake runtime. Identifiers of random attributes of random
// channels are resolved:
//   hot:  a working set of 1,000 identifiers resolved over and over, so the tree's
//         memory is in the processor's caches for both sizes: the cost of the
//         lookup itself, which must not grow with the number of channels;
//   cold: 200,000 identifiers spread over the whole node, so the large node's
//         lookups also pay for main-memory and address-translation misses that the
//         small node, which fits in the caches, does not.
//
// Also printed: the private bytes the tree takes, in all and per attribute (item).
//
// Usage: lookup_bench [small] [large] [seconds per measurement]
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "FakeRuntime.h"
#include "common/PrivateBytes.h"
#include "runtime/AddressSpace.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }


// Attribute nodes below the root.
std::size_t CountAttributes(const BranchNode& branch) {
    std::size_t n = 0;
    for (const auto& child : branch.Children())
        n += child->IsBranch() ? CountAttributes(static_cast<const BranchNode&>(*child)) : 1;
    return n;
}

std::shared_ptr<GroupNode> BuildNode(int channels, double& buildSeconds, double& treeBytes) {
    FakeRuntime fake;
    fake.CountKeys(false);
    fake.AddGroup(0, "Plant");
    std::vector<int> members;
    members.reserve(static_cast<std::size_t>(channels));
    for (int ch = 1; ch <= channels; ++ch) {
        fake.AddChannel(ch, 4, "TI" + std::to_string(100000 + ch) + ".PV");
        members.push_back(ch);
    }
    fake.AddGroup(40, "Line", 0).Channels(std::move(members));
    const double before = PrivateBytes();
    const auto start = Clock::now();
    auto root = BuildAddressSpace(fake);
    buildSeconds = Seconds(Clock::now() - start);
    treeBytes = PrivateBytes() - before;
    return root;
}

struct Rate {
    double perSecond;
    std::size_t found;
};

Rate Measure(const GroupNode& root, const std::vector<std::wstring>& ids, double seconds) {
    std::size_t found = 0;
    std::size_t done = 0;
    const auto start = Clock::now();
    double elapsed = 0;
    do {
        for (const std::wstring& id : ids) found += Resolve(root, id) != nullptr;
        done += ids.size();
        elapsed = Seconds(Clock::now() - start);
    } while (elapsed < seconds);
    return Rate{static_cast<double>(done) / elapsed, found};
}

struct NodeFigures {
    int channels;
    double build;
    double treeBytes;
    std::size_t attributes;
    Rate hotItems;
    Rate hotChannels;
    Rate coldItems;
    Rate coldChannels;
};

NodeFigures Run(int channels, double seconds) {
    NodeFigures f{};
    f.channels = channels;
    const auto root = BuildNode(channels, f.build, f.treeBytes);
    f.attributes = CountAttributes(*root);
    const auto& line = static_cast<const BranchNode&>(*root->Children().at(0));

    std::mt19937 random(12345);
    constexpr std::size_t kIds = 200000;
    std::vector<std::wstring> items, chans;
    items.reserve(kIds);
    chans.reserve(kIds);
    std::uniform_int_distribution<std::size_t> pickChannel(0, line.Children().size() - 1);
    for (std::size_t i = 0; i < kIds; ++i) {
        const auto& channel = static_cast<const BranchNode&>(*line.Children()[pickChannel(random)]);
        std::uniform_int_distribution<std::size_t> pickAttribute(0, channel.Children().size() - 1);
        items.push_back(FullName(*channel.Children()[pickAttribute(random)]));
        chans.push_back(FullName(channel));
    }
    f.coldItems = Measure(*root, items, seconds);
    f.coldChannels = Measure(*root, chans, seconds);
    items.resize(1000);
    chans.resize(1000);
    f.hotItems = Measure(*root, items, seconds);
    f.hotChannels = Measure(*root, chans, seconds);
    return f;
}

} // namespace

int main(int argc, char** argv) {
    const int small = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int large = argc > 2 ? std::atoi(argv[2]) : 100000;
    const double seconds = argc > 3 ? std::atof(argv[3]) : 2.0;

    std::printf("identifier lookups (Resolve) of random identifiers, %.1f s per figure, lookups per second\n",
                seconds);
    std::printf("%9s %8s %9s %8s %14s %14s %14s %14s\n", "channels", "build s", "tree MiB", "B/attr", "hot items",
                "hot channels", "cold items", "cold channels");
    NodeFigures figures[2];
    int i = 0;
    for (int n : {small, large}) {
        figures[i] = Run(n, seconds);
        const NodeFigures& f = figures[i++];
        std::printf("%9d %8.2f %9.1f %8.0f %14.0f %14.0f %14.0f %14.0f\n", f.channels, f.build,
                    f.treeBytes / 1048576.0, f.attributes ? f.treeBytes / static_cast<double>(f.attributes) : 0.0,
                    f.hotItems.perSecond,
                    f.hotChannels.perSecond, f.coldItems.perSecond, f.coldChannels.perSecond);
        if (f.hotItems.found == 0 || f.coldChannels.found == 0) {
            std::printf("error: identifiers did not resolve\n");
            return 1;
        }
        std::fflush(stdout);
    }
    const NodeFigures& s = figures[0];
    const NodeFigures& l = figures[1];
    std::printf("ratio %d/%d channels: hot items %.2f, hot channels %.2f (below 2 expected); "
                "cold items %.2f, cold channels %.2f\n",
                small, large, s.hotItems.perSecond / l.hotItems.perSecond,
                s.hotChannels.perSecond / l.hotChannels.perSecond, s.coldItems.perSecond / l.coldItems.perSecond,
                s.coldChannels.perSecond / l.coldChannels.perSecond);
    return 0;
}
