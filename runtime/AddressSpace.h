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

class AddressSpaceNode : public std::enable_shared_from_this<AddressSpaceNode> {
public:
    virtual ~AddressSpaceNode() = default;
    AddressSpaceNode(const AddressSpaceNode&) = delete;
    AddressSpaceNode& operator=(const AddressSpaceNode&) = delete;

    // The name as the runtime gave it (empty when the runtime could not tell).
    const std::wstring& Name() const noexcept { return name_; }
    bool IsBranch() const noexcept { return branch_ != 0; }
    // The parent branch; empty for the root (and once the tree is gone).
    std::shared_ptr<BranchNode> Parent() const noexcept { return parent_.lock(); }

protected:
    AddressSpaceNode(bool branch, std::wstring name) : branch_(branch ? 1 : 0), name_(std::move(name)) {}

private:
    friend class AddressSpaceBuilder;
    std::int32_t branch_;
    std::weak_ptr<BranchNode> parent_;
    std::wstring name_;
};

// Index of a branch's children by name: finds the first child of a name and the
// further children of the same name in child order, at a cost that does not grow
// with the number of children. Names are hashed with NameHash, which can be carried
// on from a prefix to a longer text.
class ChildNameIndex {
public:
    static constexpr std::uint32_t npos = 0xFFFFFFFFu;

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

    // Allocates the table for n children ahead of Build (to keep it near them in memory).
    void Reserve(std::size_t n);
    void Build(const std::vector<std::shared_ptr<AddressSpaceNode>>& children);
    // Starts loading the table slot of a hash into the cache.
    void Prefetch(std::uint32_t hash) const noexcept {
        if (!slots_.empty()) __builtin_prefetch(&slots_[hash & mask_]);
    }
    // Index of the first child named name (whose hash is hash), or npos.
    std::uint32_t First(std::wstring_view name, std::uint32_t hash) const noexcept;
    std::uint32_t Next(std::uint32_t index) const noexcept { return next_.empty() ? npos : next_[index]; }

private:
    struct Slot {
        const AddressSpaceNode* node;  // null: empty slot
        std::uint32_t hash;
        std::uint32_t index;
    };
    std::vector<Slot> slots_;
    std::uint32_t mask_ = 0;
    std::vector<std::uint32_t> next_;  // empty while no two children share a name
};

enum class BranchKind : int { Group = 0, Channel = 1 };

// Common part of GroupNode and ChannelNode.
class BranchNode : public AddressSpaceNode {
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
        return index_.First(name, ChildNameIndex::Hash(name));
    }
    std::uint32_t FirstChildNamed(std::wstring_view name, std::uint32_t hash) const noexcept {
        return index_.First(name, hash);
    }
    std::uint32_t NextChildNamed(std::uint32_t index) const noexcept { return index_.Next(index); }
    void PrefetchName(std::uint32_t hash) const noexcept { index_.Prefetch(hash); }

protected:
    BranchNode(std::int32_t id, std::wstring name) : AddressSpaceNode(true, std::move(name)), id_(id) {}

private:
    friend class AddressSpaceBuilder;
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
    AttributeNode(std::int32_t channel, std::int32_t attribute, std::wstring name)
        : AddressSpaceNode(false, std::move(name)), channel_(channel), attribute_(attribute) {}
    std::int32_t ChannelId() const noexcept { return channel_; }
    std::int32_t AttributeId() const noexcept { return attribute_; }

    // The canonical data type, from the channel's type as the runtime tells it now.
    // Raises std::out_of_range when the channel's type cannot be read or lies outside 0..15.
    VARTYPE CanonicalType(NRK_Server& runtime) const;
    // OPC_READABLE | OPC_WRITEABLE (3) or OPC_READABLE (1), read afresh; same failures.
    DWORD AccessRights(NRK_Server& runtime) const;

private:
    std::int32_t channel_;
    std::int32_t attribute_;
};

// Builds the tree from the loaded node. Failed runtime reads drop only the channel or
// group concerned; the build itself does not fail on them.
std::shared_ptr<GroupNode> BuildAddressSpace(NRK_Server& runtime);

// The node that an identifier names (exact, case-sensitive), or null.
std::shared_ptr<AddressSpaceNode> Resolve(const GroupNode& root, std::wstring_view id);

// The root's name for the root; otherwise the parent's full name, "." and the name.
std::wstring FullName(const AddressSpaceNode& node);
