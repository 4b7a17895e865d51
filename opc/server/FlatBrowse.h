// The flat view of the address space: every leaf below one branch, depth-first in the
// order of the tree's children, each named by its fully qualified item identifier, and an
// IEnumString that produces them as the client asks for them.
//
// A node of 100,000 channels has millions of leaves, so the identifiers are never all
// held at once: an enumerator keeps only its place in the walk (one frame per level).
// The tree never changes once built, so a walk needs no lock; the top branch keeps the
// walked part of the tree alive.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "opc/com/ComObject.h"
#include "opc/com/ModuleLock.h"
#include "opc/server/AddressSpaceBrowser.h"

namespace opc::server {

class FlatBrowse {
public:
    // A place in the walk: at one leaf that passes the test (Id() is its identifier), or at
    // the end.
    class Cursor {
    public:
        bool AtEnd() const noexcept { return frames_.empty(); }
        const std::wstring& Id() const noexcept { return id_; }

    private:
        friend class FlatBrowse;
        struct Frame {
            const BranchNode* branch;
            std::size_t next;    // the child to look at next
            std::size_t prefix;  // length of the branch's identifier and "." in id_
        };
        std::vector<Frame> frames_;
        std::wstring id_;
    };

    // The leaves below top that pass test; the pattern applies to the identifier. Walks to
    // the first of them. Throws std::runtime_error when the matcher gives up.
    FlatBrowse(std::shared_ptr<const BranchNode> top, LeafTest test);

    const Cursor& First() const noexcept { return first_; }
    // Moves cursor on to the next leaf that passes, or to the end. Throws like the constructor;
    // the cursor is then somewhere between.
    void Advance(Cursor& cursor) const;

private:
    std::shared_ptr<const BranchNode> top_;
    LeafTest test_;
    Cursor first_;
};

// IEnumString over a flat browse. Next, Skip, Reset and Clone as for every enumerator; a
// call that fails (the matcher gives up: E_FAIL; out of memory) hands out nothing and
// leaves the enumerator where it was.
class FlatBrowseEnumerator : public IEnumString, public com::ComObjectRoot {
public:
    FlatBrowseEnumerator(std::shared_ptr<const FlatBrowse> browse, FlatBrowse::Cursor at);
    ~FlatBrowseEnumerator() override;

    LX_COM_UNKNOWN

    void* FindInterface(REFIID riid) noexcept { return com::InterfaceList<IEnumString>::Find(this, riid); }

    STDMETHODIMP Next(ULONG celt, LPOLESTR* elements, ULONG* fetched) override;
    STDMETHODIMP Skip(ULONG celt) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumString** result) override;

private:
    com::ModuleLock moduleLock_;
    std::shared_ptr<const FlatBrowse> browse_;
    com::SlimLock lock_;
    FlatBrowse::Cursor at_;
};

// Makes an enumerator at the first leaf of browse.
HRESULT MakeFlatBrowseEnumerator(std::shared_ptr<const FlatBrowse> browse, IEnumString** result);

} // namespace opc::server
