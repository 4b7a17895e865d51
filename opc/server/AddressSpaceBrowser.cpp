#include "opc/server/AddressSpaceBrowser.h"

#include <stdexcept>

#include "opc/common/OpcErrors.h"
#include "opc/server/BrowseFilter.h"
#include "opc/server/FlatBrowse.h"
#include "opcda.h"
#include "runtime/AddressSpace.h"

namespace opc::server {

namespace {

bool Empty(const wchar_t* text) noexcept { return text == nullptr || *text == L'\0'; }

} // namespace

AddressSpaceBrowser::AddressSpaceBrowser(std::shared_ptr<GroupNode> root) noexcept : root_(std::move(root)) {}

std::shared_ptr<AddressSpaceNode> AddressSpaceBrowser::ResolveAbsolute(std::wstring_view text) const {
    if (!root_) return nullptr;
    return Resolve(*root_, text);
}

std::shared_ptr<AddressSpaceNode> AddressSpaceBrowser::ResolveRelative(std::wstring_view text) const {
    if (!position_) return ResolveAbsolute(text);
    return ResolveBelow(static_cast<const BranchNode&>(*position_), text);
}

std::shared_ptr<AddressSpaceNode> AddressSpaceBrowser::FindItem(std::wstring_view id) const {
    std::shared_ptr<AddressSpaceNode> node = ResolveRelative(id);
    if (!node) node = ResolveAbsolute(id);
    if (!node || node->IsBranch()) return nullptr;
    return node;
}

HRESULT AddressSpaceBrowser::ChangePosition(DWORD direction, const wchar_t* text) {
    switch (direction) {
    case OPC_BROWSE_UP:
        if (!position_) return E_FAIL;
        position_ = position_->Parent();  // empty above the root
        return S_OK;
    case OPC_BROWSE_DOWN: {
        if (Empty(text)) return E_INVALIDARG;
        std::shared_ptr<AddressSpaceNode> node = ResolveRelative(text);
        if (!node || !node->IsBranch()) return E_FAIL;
        position_ = std::move(node);
        return S_OK;
    }
    case OPC_BROWSE_TO: {
        if (Empty(text)) {
            position_.reset();
            return S_OK;
        }
        std::shared_ptr<AddressSpaceNode> node = ResolveAbsolute(text);
        if (!node || !node->IsBranch()) return E_FAIL;
        position_ = std::move(node);
        return S_OK;
    }
    default:
        return E_INVALIDARG;
    }
}

LeafTest::LeafTest(NRK_Server& runtime, std::shared_ptr<const BrowseFilter> pattern, VARTYPE dataType,
                   DWORD rights)
    : runtime_(&runtime), pattern_(std::move(pattern)), dataType_(dataType), rights_(rights) {}

bool LeafTest::TypeAndRightsFit(const AttributeNode& leaf) const {
    try {
        if (dataType_ != VT_EMPTY && leaf.CanonicalType(*runtime_) != dataType_) return false;
        if ((rights_ & OPC_WRITEABLE) && !(leaf.AccessRights(*runtime_) & OPC_WRITEABLE)) return false;
    } catch (const std::out_of_range&) {
        return false;  // the channel's type cannot be read now: not a leaf to offer
    }
    return true;
}

bool LeafTest::Matches(std::wstring_view text) const { return !pattern_ || pattern_->Matches(text); }

HRESULT AddressSpaceBrowser::BrowseNames(NRK_Server& runtime, DWORD filterType, const wchar_t* filter,
                                         VARTYPE dataType, DWORD accessRights, std::vector<std::wstring>& names,
                                         std::shared_ptr<const FlatBrowse>* flat) const {
    names.clear();
    if (flat) flat->reset();
    std::shared_ptr<const BrowseFilter> pattern;
    if (!Empty(filter) && std::wstring_view(filter) != L"*") {
        try {
            pattern = std::make_shared<const BrowseFilter>(filter);
        } catch (const InvalidBrowseFilter&) {
            return OPC_E_INVALIDFILTER;
        }
    }
    const LeafTest test(runtime, std::move(pattern), dataType, accessRights & (OPC_READABLE | OPC_WRITEABLE));
    // The matcher may give up on a pattern that grows too complex; the filter is then at fault.
    try {
        switch (filterType) {
        case OPC_BRANCH:
            if (!position_) {
                if (root_ && test.Matches(root_->Name())) names.push_back(root_->Name());
                return names.empty() ? S_FALSE : S_OK;
            }
            for (const auto& child : static_cast<const BranchNode&>(*position_).Children()) {
                if (child->IsBranch() && test.Matches(child->Name())) names.push_back(child->Name());
            }
            break;
        case OPC_LEAF:
            if (!position_) return S_FALSE;
            for (const auto& child : static_cast<const BranchNode&>(*position_).Children()) {
                if (child->IsBranch()) continue;
                const auto& leaf = static_cast<const AttributeNode&>(*child);
                if (test.TypeAndRightsFit(leaf) && test.Matches(leaf.Name())) names.push_back(leaf.Name());
            }
            break;
        case OPC_FLAT: {
            // Every leaf below the position; above the root, every leaf of the tree.
            std::shared_ptr<const BranchNode> top = root_;
            if (position_) top = std::static_pointer_cast<const BranchNode>(position_);
            if (!top) return S_FALSE;
            auto walk = std::make_shared<const FlatBrowse>(std::move(top), test);
            if (flat) {
                const bool any = !walk->First().AtEnd();
                *flat = std::move(walk);
                return any ? S_OK : S_FALSE;
            }
            for (FlatBrowse::Cursor at = walk->First(); !at.AtEnd(); walk->Advance(at)) names.push_back(at.Id());
            break;
        }
        default:
            return E_INVALIDARG;
        }
    } catch (const std::runtime_error&) {
        names.clear();
        if (flat) flat->reset();
        return OPC_E_INVALIDFILTER;
    }
    return names.empty() ? S_FALSE : S_OK;
}

HRESULT AddressSpaceBrowser::ItemId(const wchar_t* itemDataId, std::wstring& id) const {
    id.clear();
    if (Empty(itemDataId)) {
        if (position_) id = FullName(*position_);
        return S_OK;
    }
    std::shared_ptr<AddressSpaceNode> node = ResolveRelative(itemDataId);
    if (!node) return E_FAIL;
    id = FullName(*node);
    return S_OK;
}

} // namespace opc::server
