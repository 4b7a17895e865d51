// The texts compiled into lx6opc.exe: the string tables in English and Russian and
// the message table of OPC result codes, against their sources.
#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

std::wstring Widen(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

// code -> text of a "hex<TAB>[symbol<TAB>]text" file of the resources folder.
std::map<DWORD, std::wstring> Texts(const char* file) {
    std::string path = std::string("Z:") + LX_SOURCE_DIR + "/resources/" + file;
    for (char& c : path) if (c == '/') c = '\\';
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    std::map<DWORD, std::wstring> texts;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const DWORD code = std::stoul(line.substr(0, line.find('\t')), nullptr, 16);
        texts[code] = Widen(line.substr(line.rfind('\t') + 1));
    }
    return texts;
}

class Resources : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t path[MAX_PATH];
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring exe(path);
        exe = exe.substr(0, exe.find_last_of(L'\\')) + L"\\lx6opc.exe";
        module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module, nullptr);
    }
    void TearDown() override {
        if (module) FreeLibrary(module);
    }

    // One string of the table in one language, read from its block.
    std::wstring String(UINT id, LANGID language) {
        HRSRC block = FindResourceExW(module, MAKEINTRESOURCEW(6), MAKEINTRESOURCEW(id / 16 + 1), language);
        if (!block) return L"<no block>";
        const auto* p = static_cast<const WCHAR*>(LockResource(LoadResource(module, block)));
        for (UINT i = 0; i < id % 16; ++i) p += 1 + *p;
        return std::wstring(p + 1, *p);
    }

    std::wstring Message(DWORD code, LANGID language) {
        wchar_t* text = nullptr;
        const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                           FORMAT_MESSAGE_IGNORE_INSERTS,
                                       module, code, language, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
        if (!n) return L"<none>";
        std::wstring out(text, n);
        LocalFree(text);
        while (!out.empty() && (out.back() == L'\n' || out.back() == L'\r')) out.pop_back();
        return out;
    }

    HMODULE module = nullptr;
};

TEST_F(Resources, StringTablesInBothLanguages) {
    const LANGID en = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), ru = MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT);
    struct Row {
        UINT id;
        const wchar_t* english;
        const char* russian;   // UTF-8
    };
    const Row rows[] = {
        {200, L"Velmara 6 OPC Server", u8"Velmara 6 OPC Сервер"},
        {1002, L"Name", u8"Имя"},
        {1003, L"Value", u8"Значение"},
        {2000, L"Exterior clients are connected to the OPC server. Are you sure that want to quit?",
         u8"К серверу подключены внешние клиенты. Вы уверены, что хотите завершить его работу?"},
        {4096, L"OPC server startup node not defined.", u8"Не задан стартовый узел OPC сервера."},
        {4097, L"OPC server startup node not found.", u8"Не найден стартовый узел OPC сервера."},
        {4098, L"Failed to load OPC server startup node.", u8"Ошибка при загрузке стартового узла OPC сервера."},
        {4099, L"Failed to start node.", u8"Ошибка при запуске узла."},
        {4100, L"Failed to stop node.", u8"Ошибка при остановке узла."},
        {4101, L"Out of memory.", u8"Недостаточно памяти."},
        {4103, L"Invalid node type.", u8"Неверный тип узла."},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(String(row.id, en), row.english) << row.id;
        EXPECT_EQ(String(row.id, ru), Widen(reinterpret_cast<const char*>(row.russian))) << row.id;
    }
}

TEST_F(Resources, PanelDialogsImagesAndIcons) {
    for (LANGID language : {MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT)})
        for (int dialog : {202, 213})
            EXPECT_NE(FindResourceExW(module, MAKEINTRESOURCEW(5), MAKEINTRESOURCEW(dialog), language), nullptr)
                << dialog << " in " << language;
    for (int bitmap : {203, 204, 205, 206, 207, 211, 212})
        EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(bitmap), MAKEINTRESOURCEW(2)), nullptr) << bitmap;
    for (int icon : {214, 215})
        EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(icon), MAKEINTRESOURCEW(14)), nullptr) << icon;
}

TEST_F(Resources, MessageTableHoldsEveryOpcCodeInBothLanguages) {
    const auto english = Texts("opc-errors-en.tsv");
    const auto russian = Texts("opc-errors-ru.tsv");
    ASSERT_EQ(english.size(), 112u);
    ASSERT_EQ(russian.size(), english.size());
    for (const auto& [code, text] : english) {
        EXPECT_EQ(Message(code, 1033), text) << std::hex << code;
        EXPECT_EQ(Message(code, 1049), russian.at(code)) << std::hex << code;
    }
    // The typographic apostrophe survives the UTF-8 source.
    EXPECT_NE(Message(0xC0040711, 1033).find(L'\u2019'), std::wstring::npos);
    EXPECT_EQ(Message(0xC0040002, 1033), L"<none>");   // not an OPC code
}

} // namespace
