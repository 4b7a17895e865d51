// nrkcheck: checks a node file with the runtime library, prints its tree, or
// runs the node and watches attributes.
//
//   nrkcheck FILE                       exit 0 when the runtime loads it, else 1 ("file:line: problem")
//   nrkcheck --tree FILE                the group and channel tree as the OPC server shows it
//   nrkcheck --watch CH.ATTR[,CH.ATTR...] [--seconds N] FILE
//                                       starts the node and prints the attributes once a second
// CH is a channel id or name, ATTR an attribute id or name ("1.2", "Basin.Level.Value").
#include <nrk/NRK_Server.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

NRK_Server* rt = nullptr;

int usage() {
    std::fprintf(stderr,
                 "usage: nrkcheck FILE\n"
                 "       nrkcheck --tree FILE\n"
                 "       nrkcheck --watch CH.ATTR[,CH.ATTR...] [--seconds N] FILE\n");
    return 2;
}

std::string text(bool ok, const char* buf) { return ok ? std::string(buf) : std::string(); }

std::string channelName(int ch) {
    char buf[NRK_TEXT_SIZE];
    return text(rt->GetChannelString(ch, -1, buf, NRK_ATTR_NAME, 0), buf);
}

int channelType(int ch) {
    int t = -1;
    return rt->GetChannelInt(ch, -1, &t, NRK_ATTR_TYPE) ? t : -1;
}

bool load(const std::string& path) {
    std::string::size_type cut = path.find_last_of("\\/");
    std::string dir = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
    std::string file = cut == std::string::npos ? path : path.substr(cut + 1);
    if (dir.empty()) {
        char cwd[MAX_PATH];
        DWORD n = GetCurrentDirectoryA(sizeof cwd, cwd);
        if (n > 0 && n < sizeof cwd) dir = std::string(cwd) + "\\";
    }
    return rt->LoadNode(dir.c_str(), file.c_str()) == 0; // the runtime reports the reason on stderr
}

struct Tree {
    std::map<int, std::vector<int>> subgroups; // parent -> groups
    std::map<int, std::vector<int>> channels;  // group -> channels placed there
    std::map<int, std::vector<int>> alsoIn;    // channel -> further groups listing it
    std::vector<int> groups;
    std::vector<int> loose;
    bool top = false;
};

Tree buildTree() {
    Tree t;
    t.top = rt->IsGroup(0);
    int limit = rt->GetGroupLimit(1);
    for (int g = 32; g < limit; ++g)
        if (rt->IsGroup(g)) t.groups.push_back(g);
    std::set<int> ids(t.groups.begin(), t.groups.end());
    for (int g : t.groups) {
        char buf[NRK_TEXT_SIZE];
        if (!rt->GetObjectText(g + NRK_GROUP_OBJECT, NRK_ATTR_PARENT, buf, 0)) continue;
        int p = std::atoi(buf);
        t.subgroups[(p == 0 || !ids.count(p)) ? 0 : p].push_back(g);
    }
    std::set<int> placed;
    for (int g : t.groups) {
        int n = 0;
        if (!rt->GetGroupChannelCount(g, &n)) continue;
        for (int i = 0; i < n; ++i) {
            int ch = rt->GetGroupChannel(g, i);
            if (ch <= 0) continue;
            if (placed.insert(ch).second) t.channels[g].push_back(ch);
            else t.alsoIn[ch].push_back(g);
        }
    }
    int end = rt->GetNodeParameter(NRK_PARAM_CHANNEL_END);
    for (int ch = 1; ch < end; ++ch)
        if (channelType(ch) >= 0 && !placed.count(ch)) t.loose.push_back(ch);
    return t;
}

void printChannel(const Tree& t, int ch, int depth) {
    int type = channelType(ch);
    const char* note = "";
    int visible = 0;
    if (type == 0 || type == 7 || type == 9) note = "  (no items)";
    if (type == 11 && (!rt->GetChannelInt(ch, -1, &visible, NRK_ATTR_VISIBLE) || visible == 0)) note = "  (hidden)";
    std::string also;
    auto a = t.alsoIn.find(ch);
    if (a != t.alsoIn.end())
        for (int g : a->second) also += (also.empty() ? "  (also in group " : ", ") + std::to_string(g);
    if (!also.empty()) also += ")";
    std::printf("%*s%s  [channel %d, type %d]%s%s\n", depth * 2, "", channelName(ch).c_str(), ch, type, note,
                also.c_str());
}

void printGroup(const Tree& t, int g, int depth) {
    char buf[NRK_TEXT_SIZE];
    std::printf("%*s%s  (group %d)\n", depth * 2, "", text(rt->GetGroupName(g, buf), buf).c_str(), g);
    auto s = t.subgroups.find(g);
    if (s != t.subgroups.end())
        for (int sub : s->second) printGroup(t, sub, depth + 1);
    auto c = t.channels.find(g);
    if (c != t.channels.end())
        for (int ch : c->second) printChannel(t, ch, depth + 1);
}

void printTree() {
    Tree t = buildTree();
    char buf[NRK_TEXT_SIZE];
    if (t.top) std::printf("%s  (group 0)\n", text(rt->GetGroupName(0, buf), buf).c_str());
    else std::printf("%s  (node)\n", text(rt->GetNodeText(NRK_ATTR_NAME, buf), buf).c_str());
    auto s = t.subgroups.find(0);
    if (s != t.subgroups.end())
        for (int g : s->second) printGroup(t, g, 1);
    for (int ch : t.loose) printChannel(t, ch, 1);
}

struct Watched {
    std::string label;
    int ch = 0, attr = 0;
};

bool number(const std::string& s, int& out) {
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    out = std::atoi(s.c_str());
    return true;
}

int findChannel(const std::string& name) {
    int id;
    if (number(name, id) && channelType(id) >= 0) return id;
    int end = rt->GetNodeParameter(NRK_PARAM_CHANNEL_END);
    for (int ch = 1; ch < end; ++ch)
        if (channelType(ch) >= 0 && channelName(ch) == name) return ch;
    return 0;
}

int findAttribute(int ch, const std::string& name) {
    int id;
    char buf[NRK_TEXT_SIZE];
    if (number(name, id)) return rt->GetAttributeName(ch, id, buf) ? id : -1;
    for (int a = 0; a < 256; ++a)
        if (rt->GetAttributeName(ch, a, buf) && name == buf) return a;
    return -1;
}

bool parseWatch(const std::string& list, std::vector<Watched>& out) {
    std::string::size_type pos = 0;
    while (pos <= list.size()) {
        std::string::size_type comma = list.find(',', pos);
        std::string item = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        pos = comma == std::string::npos ? list.size() + 1 : comma + 1;
        std::string::size_type dot = item.rfind('.');
        Watched w;
        w.label = item;
        if (dot == std::string::npos || (w.ch = findChannel(item.substr(0, dot))) == 0) {
            std::fprintf(stderr, "nrkcheck: no channel for '%s' (CHANNEL.ATTRIBUTE)\n", item.c_str());
            return false;
        }
        if ((w.attr = findAttribute(w.ch, item.substr(dot + 1))) < 0) {
            std::fprintf(stderr, "nrkcheck: channel %d has no attribute '%s'\n", w.ch, item.substr(dot + 1).c_str());
            return false;
        }
        out.push_back(w);
    }
    return !out.empty();
}

int watch(const std::vector<Watched>& items, int seconds) {
    rt->StartNode();
    if (!rt->IsNodeRunning()) {
        std::fprintf(stderr, "nrkcheck: the node did not start\n");
        return 1;
    }
    std::printf("node running, scan period %d ms\n", rt->GetNodeParameter(NRK_PARAM_SCAN_PERIOD));
    // Samples fall between scan steps, 100 ms after each whole second.
    const ULONGLONG start = GetTickCount64();
    for (int s = 0; s <= seconds; ++s) {
        ULONGLONG due = start + 100 + static_cast<ULONGLONG>(s) * 1000, now = GetTickCount64();
        if (due > now) Sleep(static_cast<DWORD>(due - now));
        std::string line = "t=" + std::to_string(s) + "s";
        for (const Watched& w : items) {
            char buf[NRK_TEXT_SIZE];
            line += "  " + w.label + "=" + (rt->GetChannelString(w.ch, -1, buf, w.attr, 0) ? buf : "?");
        }
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    rt->StopNode();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    bool tree = false;
    std::string watchList, file;
    int seconds = 10;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--tree") tree = true;
        else if (a == "--watch" && i + 1 < argc) watchList = argv[++i];
        else if (a == "--seconds" && i + 1 < argc) {
            if (!number(argv[++i], seconds)) return usage();
        } else if (!a.empty() && a[0] == '-') return usage();
        else if (file.empty()) file = a;
        else return usage();
    }
    if (file.empty()) return usage();
    if (!NRK_GET_INTERFACE(0, &rt) || !rt) {
        std::fprintf(stderr, "nrkcheck: the runtime library gives no interface\n");
        return 1;
    }
    if (!load(file)) return 1;
    int type = 0, accepted = 0;
    rt->GetNodeProperty(NRK_PROP_NODE_TYPE, &type);
    rt->GetNodeProperty(NRK_PROP_NODE_ACCEPTED, &accepted);
    int status = 0;
    if (tree) {
        printTree();
    } else if (!watchList.empty()) {
        std::vector<Watched> items;
        status = parseWatch(watchList, items) ? watch(items, seconds) : 1;
    } else {
        char name[NRK_TEXT_SIZE];
        int channels = 0;
        int end = rt->GetNodeParameter(NRK_PARAM_CHANNEL_END);
        for (int ch = 1; ch < end; ++ch) channels += channelType(ch) >= 0;
        int groups = rt->IsGroup(0) ? 1 : 0;
        for (int g = 32; g < rt->GetGroupLimit(1); ++g) groups += rt->IsGroup(g);
        std::printf("%s: ok: node \"%s\", type %d%s, %d channels, %d groups, scan period %d ms, %d operators\n",
                    file.c_str(), text(rt->GetNodeText(NRK_ATTR_NAME, name), name).c_str(), type,
                    accepted == 1 ? "" : " (not the type the OPC server serves)", channels, groups,
                    rt->GetNodeParameter(NRK_PARAM_SCAN_PERIOD), rt->GetOperatorCount());
    }
    rt->UnloadNode();
    return status;
}
