#include "opc/server/FlatBrowse.h"

#include "opc/com/CallFrame.h"
#include "opc/common/ComMemory.h"
#include "opc/server/Enumerators.h"
#include "runtime/AddressSpace.h"

namespace opc::server {

FlatBrowse::FlatBrowse(std::shared_ptr<const BranchNode> top, LeafTest test)
    : top_(std::move(top)), test_(std::move(test)) {
    first_.id_ = FullName(*top_) + L'.';
    first_.frames_.push_back({top_.get(), 0, first_.id_.size()});
    Advance(first_);
}

void FlatBrowse::Advance(Cursor& cursor) const {
    auto& frames = cursor.frames_;
    std::wstring& id = cursor.id_;
    while (!frames.empty()) {
        Cursor::Frame& frame = frames.back();
        const auto& children = frame.branch->Children();
        if (frame.next >= children.size()) {
            frames.pop_back();
            continue;
        }
        const AddressSpaceNode& child = *children[frame.next++];
        id.resize(frame.prefix);
        id += child.Name();
        if (child.IsBranch()) {
            id += L'.';
            frames.push_back({static_cast<const BranchNode*>(&child), 0, id.size()});  // frame is stale now
            continue;
        }
        const auto& leaf = static_cast<const AttributeNode&>(child);
        if (test_.TypeAndRightsFit(leaf) && test_.Matches(id)) return;
    }
    id.clear();
}

FlatBrowseEnumerator::FlatBrowseEnumerator(std::shared_ptr<const FlatBrowse> browse, FlatBrowse::Cursor at)
    : browse_(std::move(browse)), at_(std::move(at)) {
    LiveEnumerators::Add(this, static_cast<IEnumString*>(this));
}

FlatBrowseEnumerator::~FlatBrowseEnumerator() { LiveEnumerators::Remove(this); }

STDMETHODIMP FlatBrowseEnumerator::Next(ULONG celt, LPOLESTR* elements, ULONG* fetched) {
    if (fetched) *fetched = 0;
    if (celt == 0) return E_INVALIDARG;
    if (!elements || (celt != 1 && !fetched)) return E_POINTER;
    return com::Guarded([&]() -> HRESULT {
        std::lock_guard<com::SlimLock> hold(lock_);
        FlatBrowse::Cursor at = at_;  // taken over only when the whole call succeeds
        ULONG made = 0;
        try {
            while (made < celt && !at.AtEnd()) {
                elements[made++] = TaskMemString(at.Id()).release();
                browse_->Advance(at);
            }
        } catch (...) {
            for (ULONG i = 0; i < made; ++i) {
                CoTaskMemFree(elements[i]);
                elements[i] = nullptr;
            }
            throw;
        }
        at_ = std::move(at);
        if (fetched) *fetched = made;
        return made < celt ? S_FALSE : S_OK;
    });
}

STDMETHODIMP FlatBrowseEnumerator::Skip(ULONG celt) {
    if (celt == 0) return E_INVALIDARG;
    return com::Guarded([&]() -> HRESULT {
        std::lock_guard<com::SlimLock> hold(lock_);
        FlatBrowse::Cursor at = at_;
        ULONG skipped = 0;
        for (; skipped < celt && !at.AtEnd(); ++skipped) browse_->Advance(at);
        at_ = std::move(at);
        return skipped < celt ? S_FALSE : S_OK;
    });
}

STDMETHODIMP FlatBrowseEnumerator::Reset() {
    return com::Guarded([&]() -> HRESULT {
        FlatBrowse::Cursor first = browse_->First();
        std::lock_guard<com::SlimLock> hold(lock_);
        at_ = std::move(first);
        return S_OK;
    });
}

STDMETHODIMP FlatBrowseEnumerator::Clone(IEnumString** result) {
    if (!result) return E_POINTER;
    *result = nullptr;
    return com::Guarded([&]() -> HRESULT {
        FlatBrowse::Cursor at;
        {
            std::lock_guard<com::SlimLock> hold(lock_);
            at = at_;
        }
        *result = com::MakeComObject<FlatBrowseEnumerator>(browse_, std::move(at)).Detach();
        return S_OK;
    });
}

HRESULT MakeFlatBrowseEnumerator(std::shared_ptr<const FlatBrowse> browse, IEnumString** result) {
    FlatBrowse::Cursor first = browse->First();
    auto enumerator = com::MakeComObject<FlatBrowseEnumerator>(std::move(browse), std::move(first));
    return enumerator->QueryInterface(IID_IEnumString, reinterpret_cast<void**>(result));
}

} // namespace opc::server
