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
// Also printed: the private bytes the tree takes, in all and per attribute (item), and
// a flat browse of the whole node as a client makes it: BrowseNames(OPC_FLAT) above the
// root, then IEnumString::Next in batches of 1,000 identifiers (each freed at once), with
// no filter and with the filter "*.Attr2" (one attribute of each channel) and the
// data type VT_R4; the time to the
// enumerator, the time for all identifiers, the leaves walked per second, and the private
// bytes the walk added at its largest (against the text of all identifiers, which a list
// made up front would hold).
// Then the time of one BrowseOPCItemIDs listing (the small node's channels as branches, one
// channel's attributes as leaves) for short filters and for long runs of '*', which must stay
// in proportion to the filter's length.
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
#include "opc/server/AddressSpaceBrowser.h"
#include "opc/server/FlatBrowse.h"
#include "opcda.h"
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

std::shared_ptr<GroupNode> BuildNode(FakeRuntime& fake, int channels, double& buildSeconds, double& treeBytes) {
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

struct FlatFigures {
    double toEnumerator;  // s
    double total;         // s, to the last identifier
    std::size_t ids;
    double textBytes;     // of all identifiers, with their terminators
    double addedBytes;    // private bytes the walk added at its largest
};

// A flat browse of the whole node, fetched as a client fetches it.
FlatFigures FlatBrowseOf(FakeRuntime& fake, const std::shared_ptr<GroupNode>& root, const wchar_t* filter,
                         VARTYPE dataType) {
    FlatFigures f{};
    const double before = PrivateBytes();
    const auto start = Clock::now();
    opc::server::AddressSpaceBrowser browser(root);
    std::vector<std::wstring> names;
    std::shared_ptr<const opc::server::FlatBrowse> flat;
    if (FAILED(browser.BrowseNames(fake, OPC_FLAT, filter, dataType, 0, names, &flat)) || !flat) return f;
    Microsoft::WRL::ComPtr<IEnumString> e;
    if (FAILED(opc::server::MakeFlatBrowseEnumerator(std::move(flat), e.GetAddressOf()))) return f;
    f.toEnumerator = Seconds(Clock::now() - start);
    LPOLESTR batch[1000];
    ULONG fetched = 0;
    double largest = 0;
    do {
        fetched = 0;
        e->Next(1000, batch, &fetched);
        for (ULONG i = 0; i < fetched; ++i) {
            f.textBytes += static_cast<double>((wcslen(batch[i]) + 1) * sizeof(wchar_t));
            CoTaskMemFree(batch[i]);
        }
        f.ids += fetched;
        if (f.ids % 100000 < 1000) largest = std::max(largest, PrivateBytes() - before);
    } while (fetched == 1000);
    f.total = Seconds(Clock::now() - start);
    f.addedBytes = std::max(largest, PrivateBytes() - before);
    return f;
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
    FlatFigures flatAll;
    FlatFigures flatFiltered;
};

NodeFigures Run(int channels, double seconds) {
    NodeFigures f{};
    f.channels = channels;
    FakeRuntime fake;
    const auto root = BuildNode(fake, channels, f.build, f.treeBytes);
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
    items = {};
    chans = {};
    f.flatAll = FlatBrowseOf(fake, root, L"", VT_EMPTY);
    f.flatFiltered = FlatBrowseOf(fake, root, L"*.Attr2", VT_R4);
    return f;
}

// Milliseconds per listing of the names below `position` with `filter`.
void PrintBrowse(const std::shared_ptr<GroupNode>& root, const wchar_t* position, DWORD type,
                 const std::wstring& label, const std::wstring& filter, double seconds) {
    FakeRuntime unused; // no data-type or rights filter: the runtime is not asked
    opc::server::AddressSpaceBrowser browser(root);
    browser.ChangePosition(OPC_BROWSE_TO, position);
    std::vector<std::wstring> names;
    std::size_t done = 0;
    HRESULT hr = S_OK;
    const auto start = Clock::now();
    double elapsed = 0;
    do {
        hr = browser.BrowseNames(unused, type, filter.c_str(), VT_EMPTY, 0, names);
        ++done;
        elapsed = Seconds(Clock::now() - start);
    } while (elapsed < seconds);
    std::printf("%-7s %-22ls %8zu names %12.3f ms per listing (hr 0x%08lx)\n", type == OPC_BRANCH ? "branch" : "leaf",
                label.c_str(), names.size(), elapsed * 1000.0 / static_cast<double>(done),
                static_cast<unsigned long>(hr));
}

void BrowseFigures(int channels, double seconds) {
    double build = 0, bytes = 0;
    FakeRuntime fake;
    const auto root = BuildNode(fake, channels, build, bytes);
    const std::wstring stars300(300, L'*'), stars1000(1000, L'*');
    std::printf("browse listings, %d channels, %.1f s per figure\n", channels, seconds / 4);
    for (DWORD type : {DWORD{OPC_BRANCH}, DWORD{OPC_LEAF}}) {
        const wchar_t* position = type == OPC_BRANCH ? L"Plant.Line" : L"Plant.Line.TI100001.PV";
        PrintBrowse(root, position, type, L"(none)", L"", seconds / 4);
        PrintBrowse(root, position, type, L"TI10*", L"TI10*", seconds / 4);
        PrintBrowse(root, position, type, L"*1?#", L"*1?#", seconds / 4);
        PrintBrowse(root, position, type, L"300 x '*', then '#'", stars300 + L"#", seconds / 4);
        PrintBrowse(root, position, type, L"1000 x '*', then '#'", stars1000 + L"#", seconds / 4);
        std::fflush(stdout);
    }
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
    std::printf("flat browse of the whole node (BrowseNames OPC_FLAT, then Next in batches of 1,000)\n");
    std::printf("%9s %-14s %10s %10s %8s %12s %10s %10s\n", "channels", "filter", "ids", "to enum s", "all s",
                "leaves/s", "text MiB", "added MiB");
    for (const NodeFigures& f : figures) {
        for (const auto& [name, flat] : {std::pair{"none", f.flatAll}, std::pair{"*.Attr2 VT_R4", f.flatFiltered}}) {
            std::printf("%9d %-14s %10zu %10.3f %8.2f %12.0f %10.1f %10.1f\n", f.channels, name, flat.ids,
                        flat.toEnumerator, flat.total, flat.total > 0 ? f.attributes / flat.total : 0.0,
                        flat.textBytes / 1048576.0, flat.addedBytes / 1048576.0);
        }
        if (f.flatAll.ids != f.attributes) {
            std::printf("error: the flat browse gave %zu identifiers for %zu attributes\n", f.flatAll.ids,
                        f.attributes);
            return 1;
        }
    }
    BrowseFigures(small, seconds);
    const NodeFigures& s = figures[0];
    const NodeFigures& l = figures[1];
    std::printf("ratio %d/%d channels: hot items %.2f, hot channels %.2f (below 2 expected); "
                "cold items %.2f, cold channels %.2f\n",
                small, large, s.hotItems.perSecond / l.hotItems.perSecond,
                s.hotChannels.perSecond / l.hotChannels.perSecond, s.coldItems.perSecond / l.coldItems.perSecond,
                s.coldChannels.perSecond / l.coldChannels.perSecond);
    return 0;
}
