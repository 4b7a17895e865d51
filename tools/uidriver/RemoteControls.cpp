#include "RemoteControls.h"

#include <commctrl.h>

#include <cstring>

namespace uidriver {

namespace {

// A block of memory in the process that owns a window, freed with the object.
class RemoteMemory {
public:
    RemoteMemory(HWND window, size_t size) : size_(size) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (process_) address_ = VirtualAllocEx(process_, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
    ~RemoteMemory() {
        if (address_) VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
        if (process_) CloseHandle(process_);
    }
    RemoteMemory(const RemoteMemory&) = delete;
    RemoteMemory& operator=(const RemoteMemory&) = delete;

    bool Ok() const { return address_ != nullptr; }
    char* At(size_t offset) const { return static_cast<char*>(address_) + offset; }
    bool Write(size_t offset, const void* data, size_t size) const {
        return offset + size <= size_ && WriteProcessMemory(process_, At(offset), data, size, nullptr);
    }
    bool Read(size_t offset, void* data, size_t size) const {
        return offset + size <= size_ && ReadProcessMemory(process_, At(offset), data, size, nullptr);
    }

private:
    HANDLE process_ = nullptr;
    void* address_ = nullptr;
    size_t size_;
};

constexpr int kTextChars = 512;
constexpr size_t kTextOffset = 256;  // the item structure first, the text after it

std::wstring RemoteText(const RemoteMemory& memory) {
    wchar_t text[kTextChars] = {};
    memory.Read(kTextOffset, text, sizeof(text) - sizeof(wchar_t));
    return text;
}

struct FindContext {
    std::wstring className;
    HWND found = nullptr;
};

BOOL CALLBACK MatchClass(HWND child, LPARAM context) {
    auto* find = reinterpret_cast<FindContext*>(context);
    wchar_t name[128] = {};
    GetClassNameW(child, name, 128);
    if (find->className == name) {
        find->found = child;
        return FALSE;
    }
    return TRUE;
}

bool TreeItem(HWND tree, const RemoteMemory& memory, HTREEITEM item, std::wstring& text, int& image) {
    TVITEMW tv{};
    tv.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_HANDLE;
    tv.hItem = item;
    tv.pszText = reinterpret_cast<wchar_t*>(memory.At(kTextOffset));
    tv.cchTextMax = kTextChars - 1;
    const wchar_t none = 0;
    if (!memory.Write(0, &tv, sizeof(tv)) || !memory.Write(kTextOffset, &none, sizeof(none))) return false;
    if (!SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(memory.At(0)))) return false;
    memory.Read(0, &tv, sizeof(tv));
    image = tv.iImage;
    text = RemoteText(memory);
    return true;
}

HTREEITEM Next(HWND tree, UINT relation, HTREEITEM item) {
    return reinterpret_cast<HTREEITEM>(
        SendMessageW(tree, TVM_GETNEXTITEM, relation, reinterpret_cast<LPARAM>(item)));
}

void Walk(HWND tree, const RemoteMemory& memory, HTREEITEM item, int depth, std::vector<TreeLine>& out) {
    for (; item; item = Next(tree, TVGN_NEXT, item)) {
        TreeLine line{item, depth, {}, -1};
        TreeItem(tree, memory, item, line.text, line.image);
        out.push_back(line);
        Walk(tree, memory, Next(tree, TVGN_CHILD, item), depth + 1, out);
    }
}

} // namespace

HWND FindDescendant(HWND window, const std::wstring& className) {
    FindContext find{className};
    EnumChildWindows(window, &MatchClass, reinterpret_cast<LPARAM>(&find));
    return find.found;
}

std::vector<TreeLine> ReadTree(HWND tree) {
    std::vector<TreeLine> lines;
    RemoteMemory memory(tree, kTextOffset + kTextChars * sizeof(wchar_t));
    if (memory.Ok()) Walk(tree, memory, Next(tree, TVGN_ROOT, nullptr), 0, lines);
    return lines;
}

bool SelectTreeItem(HWND tree, const std::wstring& path, wchar_t separator) {
    RemoteMemory memory(tree, kTextOffset + kTextChars * sizeof(wchar_t));
    if (!memory.Ok()) return false;
    HTREEITEM item = Next(tree, TVGN_ROOT, nullptr);
    HTREEITEM match = nullptr;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(separator, start);
        if (end == std::wstring::npos) end = path.size();
        const std::wstring name = path.substr(start, end - start);
        match = nullptr;
        for (; item; item = Next(tree, TVGN_NEXT, item)) {
            std::wstring text;
            int image = -1;
            if (TreeItem(tree, memory, item, text, image) && text == name) {
                match = item;
                break;
            }
        }
        if (!match) return false;
        start = end + 1;
        if (end == path.size()) break;
        item = Next(tree, TVGN_CHILD, match);
    }
    return SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(match)) != 0;
}

std::vector<std::vector<std::wstring>> ReadListRows(HWND list, int columns) {
    std::vector<std::vector<std::wstring>> rows;
    RemoteMemory memory(list, kTextOffset + kTextChars * sizeof(wchar_t));
    if (!memory.Ok()) return rows;
    const int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int r = 0; r < count; ++r) {
        std::vector<std::wstring> cells;
        for (int c = 0; c < columns; ++c) {
            LVITEMW item{};
            item.iSubItem = c;
            item.pszText = reinterpret_cast<wchar_t*>(memory.At(kTextOffset));
            item.cchTextMax = kTextChars - 1;
            const wchar_t none = 0;
            memory.Write(0, &item, sizeof(item));
            memory.Write(kTextOffset, &none, sizeof(none));
            SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(r), reinterpret_cast<LPARAM>(memory.At(0)));
            cells.push_back(RemoteText(memory));
        }
        rows.push_back(std::move(cells));
    }
    return rows;
}

bool EditListLabel(HWND list, int row, const std::wstring& text) {
    const HWND edit = reinterpret_cast<HWND>(SendMessageW(list, LVM_EDITLABELW, static_cast<WPARAM>(row), 0));
    if (!edit) return false;
    SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    PostMessageW(edit, WM_KEYDOWN, VK_RETURN, 0x001C0001);
    PostMessageW(edit, WM_KEYUP, VK_RETURN, static_cast<LPARAM>(0xC01C0001u));
    for (int i = 0; i < 100 && IsWindow(edit); ++i) Sleep(20);
    return !IsWindow(edit);
}

std::vector<std::uint32_t> WindowPixels(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    const int width = r.right - r.left, height = r.bottom - r.top;
    std::vector<std::uint32_t> pixels;
    if (width <= 0 || height <= 0) return pixels;
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap && bits) {
        const HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
        SelectObject(memory, old);
        pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
        std::memcpy(pixels.data(), bits, pixels.size() * sizeof(std::uint32_t));
        for (auto& p : pixels) p &= 0x00FFFFFFu;
    }
    if (bitmap) DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

} // namespace uidriver
