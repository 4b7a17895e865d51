// opcclient.exe end to end against the stand-in server (--clsid): command line, COM, proxies, UTF-8 output.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "AcceptanceEnvironment.h"
#include "TestServerContract.h"

namespace acceptance {
namespace {

struct Result {
    DWORD code = static_cast<DWORD>(-1);
    std::wstring output;  // standard output and error, decoded from UTF-8
};

Result RunClient(const std::wstring& arguments) {
    Result result;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return result;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    const std::wstring exe = BinDir() + L"opcclient.exe";
    std::wstring command = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi = {};
    const BOOL started =
        CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        return result;
    }
    std::string bytes;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(readEnd, buffer, sizeof(buffer), &n, nullptr) && n > 0) bytes.append(buffer, n);
    CloseHandle(readEnd);
    WaitForSingleObject(pi.hProcess, 60000);
    GetExitCodeProcess(pi.hProcess, &result.code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    int wide = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    result.output.resize(static_cast<size_t>(wide));
    if (wide) MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &result.output[0], wide);
    return result;
}

TEST(OpcClient, CommandsAgainstTheStandInServer) {
    const std::wstring server = L" --clsid " + GuidText(kTestServerClsid);
    struct Case {
        std::wstring arguments;
        DWORD code;
        std::wstring expected;  // part of the output
    };
    const Case cases[] = {
        {L"errors 0xC0040007 --lcid 0x419" + server, 0, std::wstring(L"0xC0040007 ") + kKnownErrorRussian},
        {L"errors 3221487623" + server, 0, std::wstring(L"0xC0040007 ") + kKnownErrorEnglish},
        {L"errors 0x80004005" + server, 2, L"0x80004005: GetErrorString failed: 0x80070057"},
        {L"status" + server, 0, std::wstring(L"vendor:       ") + kVendorInfo},
        {L"status" + server, 0, L"state:        suspended (4)"},
        {L"errors 12x" + server, 1, L"not an error code: 12x"},
        {L"frobnicate", 1, L"usage: opcclient"},
        {L"read", 1, L"usage: opcclient"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.arguments.begin(), c.arguments.end()));
        const Result r = RunClient(c.arguments);
        EXPECT_EQ(r.code, c.code);
        EXPECT_NE(r.output.find(c.expected), std::wstring::npos) << "output: " << r.output.size() << " chars";
    }
}

TEST(OpcClient, CommandsAgainstTheOpcServer) {
    std::wstring why;
    if (!RealServerRegistered(&why)) GTEST_SKIP() << std::string(why.begin(), why.end());
    struct Case {
        std::wstring arguments;
        DWORD code;
        std::wstring expected;
    };
    const Case cases[] = {
        {L"status", 0, L"vendor:       Velmara 6 OPC Server"},
        {L"read Plant.Line.Temp.Value", 0, L"Plant.Line.Temp.Value = "},
        {L"read Plant.Line.Temp.Value No.Such.Item", 3,
         L"No.Such.Item: 0xC0040007 The item ID is not defined in the server address space"},
        {L"browse", 0, L"Temp"},
        {L"errors 0xC0040007 --lcid 1049", 0, L"0xC0040007 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.arguments.begin(), c.arguments.end()));
        const Result r = RunClient(c.arguments);
        if (r.code == 2 && r.output.find(L"0x80004002") != std::wstring::npos) {
            // The server object or its groups do not offer this interface yet.
            std::printf("[ SKIPPED  ] opcclient %ls: %ls", c.arguments.c_str(), r.output.c_str());
            continue;
        }
        EXPECT_EQ(r.code, c.code);
        EXPECT_NE(r.output.find(c.expected), std::wstring::npos) << std::string(r.output.begin(), r.output.end());
    }
    WaitForServerEnd();
}

}  // namespace
}  // namespace acceptance
