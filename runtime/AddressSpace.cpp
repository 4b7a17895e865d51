#include "runtime/AddressSpace.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <stdexcept>
#include <unordered_set>

#include "nrk/NRK_Server.h"
#include "opc/common/OpcErrors.h"
#include "runtime/ChannelTables.h"
#include "runtime/TextConversion.h"

// ---------------------------------------------------------------------------
// ChildNameIndex: open addressing with linear probing, at most 3/4 full. One slot per
// distinct name, holding the first child of that name; further children of the same
// name are chained in child order through next_.

namespace {

std::size_t TableSize(std::size_t children) {
    std::size_t capacity = 4;
    while (capacity * 3 < children * 4) capacity *= 2;
    return capacity;
}

} // namespace

void ChildNameIndex::Build(const Children& children) {
    table_.reset();
    if (children.empty()) return;
    auto table = std::make_shared<Table>();
    const std::size_t capacity = TableSize(children.size());
    table->slots.assign(capacity, Slot{0, npos});
    table->mask = static_cast<std::uint32_t>(capacity - 1);
    std::vector<std::uint32_t> last;  // per first child of a name: the last one so far
    for (std::uint32_t i = 0; i < children.size(); ++i) {
        const std::wstring& name = children[i]->Name();
        const std::uint32_t h = Hash(name);
        for (std::uint32_t pos = h & table->mask;; pos = (pos + 1) & table->mask) {
            Slot& slot = table->slots[pos];
            if (slot.index == npos) {
                slot = Slot{h, i};
                break;
            }
            if (slot.hash == h && children[slot.index]->Name() == name) {
                if (table->next.empty()) {
                    table->next.assign(children.size(), npos);
                    last.assign(children.size(), npos);
                }
                const std::uint32_t tail = last[slot.index] == npos ? slot.index : last[slot.index];
                table->next[tail] = i;
                last[slot.index] = i;
                break;
            }
        }
    }
    table_ = std::move(table);
}

std::uint32_t ChildNameIndex::First(const Children& children, std::wstring_view name,
                                    std::uint32_t hash) const noexcept {
    if (!table_) return npos;
    const Table& table = *table_;
    for (std::uint32_t pos = hash & table.mask;; pos = (pos + 1) & table.mask) {
        const Slot& slot = table.slots[pos];
        if (slot.index == npos) return npos;
        if (slot.hash == hash && children[slot.index]->Name() == name) return slot.index;
    }
}

// ---------------------------------------------------------------------------

const std::wstring* InternAttributeName(std::wstring name) {
    static std::mutex lock;
    static std::unordered_set<std::wstring>* names = new std::unordered_set<std::wstring>;  // never freed
    std::lock_guard<std::mutex> hold(lock);
    return &*names->insert(std::move(name)).first;  // elements never move
}

// ---------------------------------------------------------------------------

BranchNode::~BranchNode() = default;

const AddressSpaceNode* BranchNode::FindChild(std::wstring_view name) const noexcept {
    const std::uint32_t i = FirstChildNamed(name);
    return i == ChildNameIndex::npos ? nullptr : children_[i].get();
}

VARTYPE AttributeNode::CanonicalType(NRK_Server& runtime) const {
    return ChannelTypeTable::Lookup(ReadChannelType(runtime, channel_), attribute_);
}

namespace {
DWORD RightsOf(NRK_Server& runtime, int channel, int type, int attribute) {
    const bool half = ReadAttribute81Flag(runtime, channel);
    return AttributeWriteTable::Lookup(type, half, attribute) ? (OPC_READABLE | OPC_WRITEABLE) : OPC_READABLE;
}
} // namespace

DWORD AttributeNode::AccessRights(NRK_Server& runtime) const {
    return RightsOf(runtime, channel_, ReadChannelType(runtime, channel_), attribute_);
}

AttributeNode::Traits AttributeNode::CanonicalTypeAndRights(NRK_Server& runtime) const {
    const int type = ReadChannelType(runtime, channel_);
    const VARTYPE canonical = ChannelTypeTable::Lookup(type, attribute_);
    return Traits{canonical, RightsOf(runtime, channel_, type, attribute_)};
}

// ---------------------------------------------------------------------------
// Building

class AddressSpaceBuilder {
public:
    explicit AddressSpaceBuilder(NRK_Server& runtime) : rt_(runtime) {}

    std::shared_ptr<GroupNode> Build() {
        BuildChannels();
        BuildRoot();
        BuildGroups();
        BuildHierarchy();
        PlaceChannels();
        for (const auto& entry : channels_)
            if (entry.node && !entry.placed) Append(*root_, entry.node);
        Seal();
        return std::move(root_);
    }

private:
    struct ChannelEntry {
        std::shared_ptr<ChannelNode> node;  // null: no such channel in the tree
        bool placed = false;
    };

    // The attribute nodes of one channel, in one allocation that the channel's children share
    // (each child is an aliasing reference to its node in the block).
    class AttributeBlock {
    public:
        explicit AttributeBlock(std::size_t capacity)
            : nodes_(static_cast<AttributeNode*>(::operator new(capacity * sizeof(AttributeNode)))),
              capacity_(capacity) {}
        ~AttributeBlock() {
            for (std::size_t i = size_; i > 0; --i) nodes_[i - 1].~AttributeNode();
            ::operator delete(nodes_);
        }
        AttributeBlock(const AttributeBlock&) = delete;
        AttributeBlock& operator=(const AttributeBlock&) = delete;
        AttributeNode* Add(std::int32_t channel, std::int32_t attribute, const std::wstring* name) {
            if (size_ == capacity_) throw std::length_error("attribute block");
            AttributeNode* node = new (&nodes_[size_]) AttributeNode(channel, attribute, name);
            ++size_;
            return node;
        }

    private:
        AttributeNode* nodes_;
        std::size_t capacity_;
        std::size_t size_ = 0;
    };

    static void Append(BranchNode& parent, std::shared_ptr<AddressSpaceNode> child) {
        parent.children_.push_back(std::move(child));
    }

    // Text of a text getter: "" when it failed; stops at the buffer's end in any case.
    static std::wstring Text(bool ok, const char* buffer, std::size_t size) {
        if (!ok) return std::wstring();
        return NarrowToWide(std::string_view(buffer, strnlen(buffer, size)));
    }

    const std::wstring* AttributeName(int channel, int attribute) {
        char buffer[NRK_TEXT_SIZE] = {};
        const bool ok = rt_.GetAttributeName(channel, attribute, buffer);
        return InternAttributeName(Text(ok, buffer, sizeof buffer));
    }

    // A channel's name index: the table of an earlier channel whose attributes bear the same names in
    // the same order (names are interned, so equal names are equal pointers), else a new one.
    void IndexChannel(ChannelNode& node) {
        std::vector<const std::wstring*> names;
        names.reserve(node.children_.size());
        for (const auto& child : node.children_) names.push_back(&child->Name());
        const auto found = indexes_.find(names);
        if (found != indexes_.end()) {
            node.index_.Share(found->second);
            return;
        }
        node.index_.Build(node.children_);
        indexes_.emplace(std::move(names), node.index_);
    }

    void BuildChannels() {
        const int end = rt_.GetNodeParameter(NRK_PARAM_CHANNEL_END);
        if (end < 2) return;
        channels_.resize(static_cast<std::size_t>(end));
        for (int ch = 1; ch < end; ++ch) {
            const int type = ReadChannelType(rt_, ch);
            if (type < 0 || type >= kChannelTypeCount || type == 0 || type == 7 || type == 9) continue;
            if (type == 11) {
                int visible = 0;
                if (!rt_.GetChannelInt(ch, -1, &visible, NRK_ATTR_VISIBLE) || visible == 0) continue;
            }
            char buffer[NRK_TEXT_SIZE] = {};
            const bool ok = rt_.GetChannelString(ch, -1, buffer, NRK_ATTR_NAME, 0);
            auto node = std::make_shared<ChannelNode>(ch, Text(ok, buffer, sizeof buffer));
            // Type 11 keeps its own row, like every later lookup of its types and rights.
            const ChannelTypeTable::Row& row = ChannelTypeTable::Rows()[static_cast<std::size_t>(type)];
            std::size_t count = 0;
            for (VARTYPE vt : row) count += vt != VT_EMPTY;
            node->children_.reserve(count);
            auto block = std::make_shared<AttributeBlock>(count);
            for (int a = 0; a < kAttributeCount; ++a)
                if (row[static_cast<std::size_t>(a)] != VT_EMPTY)
                    Append(*node, std::shared_ptr<AddressSpaceNode>(block, block->Add(ch, a, AttributeName(ch, a))));
            IndexChannel(*node);  // a channel's children are final now
            channels_[static_cast<std::size_t>(ch)].node = std::move(node);
        }
    }

    void BuildRoot() {
        char buffer[NRK_TEXT_SIZE] = {};
        if (rt_.IsGroup(0)) {
            const bool ok = rt_.GetGroupName(0, buffer);
            root_ = std::make_shared<GroupNode>(0, Text(ok, buffer, sizeof buffer));
        } else {
            const bool ok = rt_.GetNodeText(NRK_ATTR_NAME, buffer);
            root_ = std::make_shared<GroupNode>(-1, Text(ok, buffer, sizeof buffer));
        }
    }

    void BuildGroups() {
        const int limit = rt_.GetGroupLimit(1);
        for (int id = 32; id < limit; ++id) {
            if (!rt_.IsGroup(id)) continue;
            char buffer[NRK_TEXT_SIZE] = {};
            const bool ok = rt_.GetGroupName(id, buffer);
            groups_.emplace(id, std::make_shared<GroupNode>(id, Text(ok, buffer, sizeof buffer)));
        }
    }

    void BuildHierarchy() {
        for (auto& [id, group] : groups_) {
            char buffer[NRK_TEXT_SIZE] = {};
            if (!rt_.GetObjectText(id + NRK_GROUP_OBJECT, NRK_ATTR_PARENT, buffer, 0))
                continue;  // attached nowhere: not in the tree
            buffer[sizeof buffer - 1] = '\0';
            const long parent = std::strtol(buffer, nullptr, 10);
            const auto found = parent == 0 ? groups_.end() : groups_.find(static_cast<int>(parent));
            if (found == groups_.end())
                Append(*root_, group);
            else
                Append(*found->second, group);
        }
    }

    void PlaceChannels() {
        for (auto& [id, group] : groups_) {
            int count = 0;
            if (!rt_.GetGroupChannelCount(id, &count) || count <= 0) continue;
            for (int i = 0; i < count; ++i) {
                const int ch = rt_.GetGroupChannel(id, i);
                if (ch <= 0 || static_cast<std::size_t>(ch) >= channels_.size()) continue;
                ChannelEntry& entry = channels_[static_cast<std::size_t>(ch)];
                if (!entry.node || entry.placed) continue;
                Append(*group, entry.node);
                entry.placed = true;
            }
        }
    }

    // Parent links and name indexes of everything reachable from the root. Groups that
    // are not reachable (no parent text, or parents in a cycle) lose their children, so
    // that no cycle of shared references outlives the build.
    void Seal() {
        std::vector<BranchNode*> stack{root_.get()};
        while (!stack.empty()) {
            BranchNode* branch = stack.back();
            stack.pop_back();
            if (branch->Kind() == BranchKind::Group) branch->index_.Build(branch->children_);
            const std::shared_ptr<BranchNode> self = branch->shared_from_this();
            for (const auto& child : branch->children_) {
                child->parent_ = self;
                if (child->IsBranch()) stack.push_back(static_cast<BranchNode*>(child.get()));
            }
        }
        for (auto& [id, group] : groups_)
            if (group.get() != root_.get() && group->parent_.expired()) group->children_.clear();
    }

    NRK_Server& rt_;
    std::vector<ChannelEntry> channels_;           // by channel id
    std::map<int, std::shared_ptr<GroupNode>> groups_;  // ids 32 and up, ascending
    std::shared_ptr<GroupNode> root_;
    std::map<std::vector<const std::wstring*>, ChildNameIndex> indexes_;  // of channels, by their attribute names
};

std::shared_ptr<GroupNode> BuildAddressSpace(NRK_Server& runtime) { return AddressSpaceBuilder(runtime).Build(); }

// ---------------------------------------------------------------------------
// Resolving

namespace {

struct Candidate {
    std::uint32_t child;
    std::size_t dot;  // position of the "." after the child's name in the rest
};

// The owning reference (in its parent's children) of the node rest names below branch, or null.
const std::shared_ptr<AddressSpaceNode>* FindBelow(const BranchNode& branch, std::wstring_view rest) {
    const auto& children = branch.Children();
    // Start loading the table slots of the whole rest and of its first "."-prefixes at
    // once: in a large branch each is a miss of its own, and they overlap this way.
    {
        ChildNameIndex::NameHash prefix;
        std::size_t hashed = 0;
        int prefetched = 0;
        for (std::size_t dot = rest.find(L'.'); dot != std::wstring_view::npos && prefetched < 4;
             dot = rest.find(L'.', dot + 1), ++prefetched) {
            prefix.Add(rest.substr(hashed, dot - hashed));
            branch.PrefetchName(prefix.Value());
            prefix.Add(L'.');
            hashed = dot + 1;
        }
    }
    const std::uint32_t restHash = ChildNameIndex::Hash(rest);
    branch.PrefetchName(restHash);
    const std::uint32_t exact = branch.FirstChildNamed(rest, restHash);
    if (exact != ChildNameIndex::npos) return &children[exact];

    // Every branch child whose name is a prefix of rest followed by ".", in child order.
    // The hash of each prefix is carried on from the one before.
    Candidate fixed[8];
    std::vector<Candidate> more;
    std::size_t count = 0;
    ChildNameIndex::NameHash hash;
    std::size_t hashed = 0;
    for (std::size_t dot = rest.find(L'.'); dot != std::wstring_view::npos; dot = rest.find(L'.', dot + 1)) {
        hash.Add(rest.substr(hashed, dot - hashed));
        const std::wstring_view prefix = rest.substr(0, dot);
        for (std::uint32_t i = branch.FirstChildNamed(prefix, hash.Value()); i != ChildNameIndex::npos;
             i = branch.NextChildNamed(i)) {
            if (!children[i]->IsBranch()) continue;
            if (count < std::size(fixed)) {
                fixed[count] = Candidate{i, dot};
            } else {
                if (more.empty()) more.assign(fixed, fixed + count);
                more.push_back(Candidate{i, dot});
            }
            ++count;
        }
        hash.Add(L'.');
        hashed = dot + 1;
    }
    Candidate* begin = more.empty() ? fixed : more.data();
    Candidate* end = begin + count;
    if (count > 1)
        std::sort(begin, end, [](const Candidate& a, const Candidate& b) { return a.child < b.child; });
    for (Candidate* c = begin; c != end; ++c) {
        const auto& child = static_cast<const BranchNode&>(*children[c->child]);
        if (const auto* found = FindBelow(child, rest.substr(c->dot + 1))) return found;
    }
    return nullptr;
}

} // namespace

std::shared_ptr<AddressSpaceNode> Resolve(const GroupNode& root, std::wstring_view id) {
    const std::wstring& rootName = root.Name();
    if (id == rootName) return std::const_pointer_cast<BranchNode>(root.shared_from_this());
    if (id.size() > rootName.size() && id.compare(0, rootName.size(), rootName) == 0 && id[rootName.size()] == L'.') {
        if (const auto* found = FindBelow(root, id.substr(rootName.size() + 1))) return *found;
    }
    return nullptr;
}

std::shared_ptr<AddressSpaceNode> ResolveBelow(const BranchNode& branch, std::wstring_view text) {
    const auto* found = FindBelow(branch, text);
    return found ? *found : nullptr;
}

std::wstring FullName(const AddressSpaceNode& node) {
    std::vector<const AddressSpaceNode*> chain{&node};
    std::shared_ptr<BranchNode> top;  // keeps the chain alive: every branch owns its children
    for (std::shared_ptr<BranchNode> parent = node.Parent(); parent; parent = parent->Parent()) {
        chain.push_back(parent.get());
        top = parent;
    }
    std::size_t length = chain.size() - 1;
    for (const AddressSpaceNode* n : chain) length += n->Name().size();
    std::wstring name;
    name.reserve(length);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (it != chain.rbegin()) name += L'.';
        name += (*it)->Name();
    }
    return name;
}
