// Helpers for the runtime tests: node files in a temporary folder, a manual clock.
#pragma once

#include "Runtime.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace nrk::test {

// A node file written to the temporary folder; removed again at the end.
class TempNodeFile {
public:
    TempNodeFile(const std::string& name, const std::string& content) : name_(name) {
        char dir[MAX_PATH];
        DWORD n = GetTempPathA(sizeof dir, dir);
        directory_ = std::string(dir, n) + "nrk-tests-" + std::to_string(GetCurrentProcessId()) + "\\";
        CreateDirectoryA(directory_.c_str(), nullptr);
        FILE* f = std::fopen(path().c_str(), "wb");
        if (f) {
            std::fwrite(content.data(), 1, content.size(), f);
            std::fclose(f);
        }
    }
    ~TempNodeFile() {
        DeleteFileA(path().c_str());
        RemoveDirectoryA(directory_.c_str());
    }
    TempNodeFile(const TempNodeFile&) = delete;
    TempNodeFile& operator=(const TempNodeFile&) = delete;
    const std::string& directory() const { return directory_; }
    const std::string& name() const { return name_; }
    std::string path() const { return directory_ + name_; }

private:
    std::string name_;
    std::string directory_;
};

// A clock that moves only when told.
struct ManualClock {
    std::shared_ptr<std::atomic<std::int64_t>> ms = std::make_shared<std::atomic<std::int64_t>>(1000000);
    void advance(std::int64_t delta) { ms->fetch_add(delta); }
    std::function<std::int64_t()> function() const {
        auto p = ms;
        return [p] { return p->load(); };
    }
};

inline RuntimeOptions quietOptions(const ManualClock& clock) {
    RuntimeOptions o;
    o.clock = clock.function();
    o.simulationThread = false;
    o.reportErrors = false;
    return o;
}

} // namespace nrk::test
