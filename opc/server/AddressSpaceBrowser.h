// Browsing the address space: one browse position per server object, moved up and
// down the branches, and the names of the branches and leaves below it.
//
// The position is a branch of the tree or empty; empty stands for the level above the
// root, where the root is the only node.
#pragma once

#include <windows.h>
#include <wtypes.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

class NRK_Server;
class AddressSpaceNode;
class AttributeNode;
class BranchNode;
class GroupNode;

namespace opc::server {

class BrowseFilter;

// The tests that a LEAF or FLAT browse makes of a leaf: the data type, the writability and
// the filter pattern. Shared by the enumerators of a FLAT browse, so read-only once made.
class LeafTest {
public:
    // pattern: null lets every text pass. rights: only OPC_WRITEABLE restricts.
    LeafTest(NRK_Server& runtime, std::shared_ptr<const BrowseFilter> pattern, VARTYPE dataType, DWORD rights);

    // False when the leaf's data type or rights do not fit, or cannot be told now.
    bool TypeAndRightsFit(const AttributeNode& leaf) const;
    // True when there is no pattern or it matches the whole text. Throws std::runtime_error
    // when the matcher gives up.
    bool Matches(std::wstring_view text) const;

private:
    NRK_Server* runtime_;
    std::shared_ptr<const BrowseFilter> pattern_;
    VARTYPE dataType_;
    DWORD rights_;
};

class FlatBrowse;

class AddressSpaceBrowser {
public:
    explicit AddressSpaceBrowser(std::shared_ptr<GroupNode> root) noexcept;

    const std::shared_ptr<AddressSpaceNode>& Position() const noexcept { return position_; }

    // Resolution relative to the position (absolute when the position is empty).
    std::shared_ptr<AddressSpaceNode> ResolveRelative(std::wstring_view text) const;
    // Resolution from the root; the root's name is the first component.
    std::shared_ptr<AddressSpaceNode> ResolveAbsolute(std::wstring_view text) const;
    // Item lookup of the property methods: relative first, then absolute; null when neither
    // finds a node or the node found first is a branch.
    std::shared_ptr<AddressSpaceNode> FindItem(std::wstring_view id) const;

    // OPC_BROWSE_UP / DOWN / TO. A failed call leaves the position as it was.
    HRESULT ChangePosition(DWORD direction, const wchar_t* text);

    // The names below the position for OPC_BRANCH / OPC_LEAF, in child order. For OPC_FLAT,
    // names stays empty and flat receives the walk over every leaf below the position, with
    // its fully qualified identifier (the pattern applies to that identifier).
    // OPC_E_INVALIDFILTER for a filter that does not compile (or that the matcher gives up
    // on), E_INVALIDARG for an unknown filter type. A leaf whose data type or rights
    // cannot be told while those filters apply is left out. S_FALSE when nothing is found.
    HRESULT BrowseNames(NRK_Server& runtime, DWORD filterType, const wchar_t* filter, VARTYPE dataType,
                        DWORD accessRights, std::vector<std::wstring>& names,
                        std::shared_ptr<const FlatBrowse>* flat = nullptr) const;

    // The full name of what itemDataId names relative to the position, or of the position
    // itself when itemDataId is NULL or empty ("" above the root); E_FAIL when nothing is found.
    HRESULT ItemId(const wchar_t* itemDataId, std::wstring& id) const;

private:
    std::shared_ptr<GroupNode> root_;
    std::shared_ptr<AddressSpaceNode> position_;
};

} // namespace opc::server
