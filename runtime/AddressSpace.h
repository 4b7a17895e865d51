// The address-space tree of the loaded node: channel groups, channels and their
// attributes. Built once from the runtime after the node is accepted and never
// changed afterwards, so it may be read from any thread without a lock.
//
// An OPC item identifier is the "."-joined path of names from the root to an
// AttributeNode; names may themselves contain ".".
#pragma once

#include <windows.h>
#include <wtypes.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class NRK_Server;
class BranchNode;
class AddressSpaceBuilder;

class AddressSpaceNode {
public:
    virtual ~AddressSpaceNode() = default;
    AddressSpaceNode(const AddressSpaceNode&) = delete;
    AddressSpaceNode& operator=(const AddressSpaceNode&) = delete;

    // The name as the runtime gave it (empty when the runtime could not tell).
    const std::wstring& Name() const noexcept { return *name_; }
    bool IsBranch() const noexcept { return branch_ != 0; }
    // The parent branch; empty for the root (and once the tree is gone).
    std::shared_ptr<BranchNode> Parent() const noexcept { return parent_.lock(); }

protected:
    // name must outlive the node: a branch's own member, or an attribute name kept for the
    // life of the process (see InternAttributeName).
    AddressSpaceNode(bool branch, const std::wstring* name) : name_(name), branch_(branch ? 1 : 0) {}

private:
    friend class AddressSpaceBuilder;
    std::weak_ptr<BranchNode> parent_;
    const std::wstring* name_;
    std::int32_t branch_;
};

// The one copy of an attribute name, kept for the life of the process. Every channel of a
// type has the same attribute names, so a node of any size holds only a few hundred of them.
const std::wstring* InternAttributeName(std::wstring name);

// Index of a branch's children by name: finds the first child of a name and the
// further children of the same name in child order, at a cost that does not grow
// with the number of children. Names are hashed with NameHash, which can be carried
// on from a prefix to a longer text. The table holds child positions, not children,
// so branches whose children bear the same names in the same order (the channels of
// one type) share one table.
class ChildNameIndex {
public:
    static constexpr std::uint32_t npos = 0xFFFFFFFFu;
    using Children = std::vector<std::shared_ptr<AddressSpaceNode>>;

    struct NameHash {
        std::uint64_t state = 0xcbf29ce484222325ull;  // FNV-1a
        void Add(wchar_t c) noexcept { state = (state ^ static_cast<std::uint16_t>(c)) * 0x100000001b3ull; }
        void Add(std::wstring_view text) noexcept {
            for (wchar_t c : text) Add(c);
        }
        std::uint32_t Value() const noexcept { return static_cast<std::uint32_t>(state ^ (state >> 32)); }
    };
    static std::uint32_t Hash(std::wstring_view name) noexcept {
        NameHash h;
        h.Add(name);
        return h.Value();
    }

    void Build(const Children& children);
    // Takes over other's table; other was built for children bearing the same names in the same order.
    void Share(const ChildNameIndex& other) noexcept { table_ = other.table_; }
    // Starts loading the table slot of a hash into the cache.
    void Prefetch(std::uint32_t hash) const noexcept {
        if (table_) __builtin_prefetch(&table_->slots[hash & table_->mask]);
    }
    // Index of the first of children (those the table was built for) named name (whose hash is hash), or npos.
    std::uint32_t First(const Children& children, std::wstring_view name, std::uint32_t hash) const noexcept;
    std::uint32_t Next(std::uint32_t index) const noexcept {
        return !table_ || table_->next.empty() ? npos : table_->next[index];
    }

private:
    struct Slot {
        std::uint32_t hash;
        std::uint32_t index;  // npos: empty slot
    };
    struct Table {
        std::vector<Slot> slots;
        std::uint32_t mask = 0;
        std::vector<std::uint32_t> next;  // empty while no two children share a name
    };
    std::shared_ptr<const Table> table_;  // null: no children
};

enum class BranchKind : int { Group = 0, Channel = 1 };

// Common part of GroupNode and ChannelNode.
class BranchNode : public AddressSpaceNode, public std::enable_shared_from_this<BranchNode> {
public:
    ~BranchNode() override;
    virtual BranchKind Kind() const noexcept = 0;
    std::int32_t Id() const noexcept { return id_; }
    const std::vector<std::shared_ptr<AddressSpaceNode>>& Children() const noexcept { return children_; }

    // The first child named exactly name, or null.
    const AddressSpaceNode* FindChild(std::wstring_view name) const noexcept;
    // Index of the first child named exactly name, or ChildNameIndex::npos; NextChildNamed
    // gives the next child of the same name in child order.
    std::uint32_t FirstChildNamed(std::wstring_view name) const noexcept {
        return index_.First(children_, name, ChildNameIndex::Hash(name));
    }
    std::uint32_t FirstChildNamed(std::wstring_view name, std::uint32_t hash) const noexcept {
        return index_.First(children_, name, hash);
    }
    std::uint32_t NextChildNamed(std::uint32_t index) const noexcept { return index_.Next(index); }
    void PrefetchName(std::uint32_t hash) const noexcept { index_.Prefetch(hash); }

protected:
    BranchNode(std::int32_t id, std::wstring name)
        : AddressSpaceNode(true, &ownName_), ownName_(std::move(name)), id_(id) {}

private:
    friend class AddressSpaceBuilder;
    std::wstring ownName_;
    std::vector<std::shared_ptr<AddressSpaceNode>> children_;
    std::int32_t id_;
    ChildNameIndex index_;
};

// A channel group; the root is a GroupNode with id 0 (group 0 exists) or -1.
class GroupNode final : public BranchNode {
public:
    GroupNode(std::int32_t id, std::wstring name) : BranchNode(id, std::move(name)) {}
    BranchKind Kind() const noexcept override { return BranchKind::Group; }
};

class ChannelNode final : public BranchNode {
public:
    ChannelNode(std::int32_t channel, std::wstring name) : BranchNode(channel, std::move(name)) {}
    BranchKind Kind() const noexcept override { return BranchKind::Channel; }
};

// One attribute of one channel: an OPC item.
class AttributeNode final : public AddressSpaceNode {
public:
    // name: from InternAttributeName.
    AttributeNode(std::int32_t channel, std::int32_t attribute, const std::wstring* name)
        : AddressSpaceNode(false, name), channel_(channel), attribute_(attribute) {}
    std::int32_t ChannelId() const noexcept { return channel_; }
    std::int32_t AttributeId() const noexcept { return attribute_; }

    // The canonical data type, from the channel's type as the runtime tells it now.
    // Raises std::out_of_range when the channel's type cannot be read or lies outside 0..15.
    VARTYPE CanonicalType(NRK_Server& runtime) const;
    // OPC_READABLE | OPC_WRITEABLE (3) or OPC_READABLE (1), read afresh; same failures.
    DWORD AccessRights(NRK_Server& runtime) const;
    // Both of the above from one read of the channel's type; same failures.
    struct Traits {
        VARTYPE canonical;
        DWORD rights;
    };
    Traits CanonicalTypeAndRights(NRK_Server& runtime) const;

private:
    std::int32_t channel_;
    std::int32_t attribute_;
};

// Builds the tree from the loaded node. Failed runtime reads drop only the channel or
// group concerned; the build itself does not fail on them.
std::shared_ptr<GroupNode> BuildAddressSpace(NRK_Server& runtime);

// The node that an identifier names (exact, case-sensitive), or null.
std::shared_ptr<AddressSpaceNode> Resolve(const GroupNode& root, std::wstring_view id);

// The node that text names below a branch: the first child of that name, else, for each
// branch child whose name followed by "." begins text, the rest resolved below that child.
std::shared_ptr<AddressSpaceNode> ResolveBelow(const BranchNode& branch, std::wstring_view text);

// The root's name for the root; otherwise the parent's full name, "." and the name.
std::wstring FullName(const AddressSpaceNode& node);
