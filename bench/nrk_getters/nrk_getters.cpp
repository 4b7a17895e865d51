// Benchmark: numeric getter calls per second on a 100,000-channel node, with 1 and 2 threads.
//
//   nrk_getters [--channels N] [--seconds S]
//
// Writes a node file of N type 4 channels (every tenth one simulated) to the temporary folder, loads it
// through the library's entry point, starts it, and calls GetChannelInt/Float/Double for attribute 2 over
// all channels in turn. Prints calls per second per getter and thread count, and the 2-thread speed-up.
#include <nrk/NRK_Server.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

NRK_Server* rt = nullptr;

bool writeNode(const std::string& path, int channels) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    std::fprintf(f, "node \"Bench\" type 1\nscan 100\ngroup 0 Top\n");
    for (int g = 0; g < 100; ++g) std::fprintf(f, "group %d G%d\n", 32 + g, g);
    for (int ch = 1; ch <= channels; ++ch) {
        std::fprintf(f, "channel %d type 4 C%d in %d\n", ch, ch, 32 + ch % 100);
        if (ch % 10 == 0) std::fprintf(f, "  sim Value sine 50 40 10\n");
    }
    return std::fclose(f) == 0;
}

enum class Getter { Int, Float, Double };

double threadCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    auto value = [](const FILETIME& f) { return (static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
    return static_cast<double>(value(kernel) + value(user)) / 1e7;
}

struct Rate {
    double wall = 0; // calls per second of wall time, all threads together
    double cpu = 0;  // calls per second of CPU time used by the calling threads
};

// Calls per second of one getter with `threads` threads for `seconds`.
Rate measure(Getter g, int threads, int channels, double seconds) {
    std::atomic<bool> go{false}, stop{false};
    std::atomic<long long> calls{0}, failures{0};
    std::atomic<long long> cpuMicros{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            const double cpu0 = threadCpuSeconds();
            long long n = 0, bad = 0;
            int ch = 1 + t * (channels / 2);
            int iv;
            float fv;
            double dv;
            while (!stop.load(std::memory_order_relaxed)) {
                for (int i = 0; i < 1024; ++i) {
                    bool ok = g == Getter::Int     ? rt->GetChannelInt(ch, -1, &iv, NRK_ATTR_VALUE)
                              : g == Getter::Float ? rt->GetChannelFloat(ch, -1, &fv, NRK_ATTR_VALUE)
                                                   : rt->GetChannelDouble(ch, -1, &dv, NRK_ATTR_VALUE);
                    bad += !ok;
                    if (++ch > channels) ch = 1;
                }
                n += 1024;
            }
            calls += n;
            failures += bad;
            cpuMicros += static_cast<long long>((threadCpuSeconds() - cpu0) * 1e6);
        });
    auto start = std::chrono::steady_clock::now();
    go.store(true);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop.store(true);
    for (auto& t : pool) t.join();
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (failures.load()) std::fprintf(stderr, "nrk_getters: %lld failed calls\n", failures.load());
    Rate r;
    r.wall = static_cast<double>(calls.load()) / elapsed;
    r.cpu = cpuMicros.load() > 0 ? static_cast<double>(calls.load()) / (cpuMicros.load() / 1e6) : 0;
    return r;
}

} // namespace

int main(int argc, char** argv) {
    int channels = 100000;
    double seconds = 1.0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--channels")) channels = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--seconds")) seconds = std::atof(argv[i + 1]);
    }
    if (channels < 1 || channels > 1000000 || !(seconds > 0)) {
        std::fprintf(stderr, "usage: nrk_getters [--channels 1..1000000] [--seconds S]\n");
        return 2;
    }
    char dir[MAX_PATH];
    DWORD n = GetTempPathA(sizeof dir, dir);
    std::string name = "nrk_getters_" + std::to_string(GetCurrentProcessId()) + ".dbb";
    std::string folder(dir, n);
    if (!writeNode(folder + name, channels)) {
        std::fprintf(stderr, "nrk_getters: cannot write %s%s\n", folder.c_str(), name.c_str());
        return 1;
    }
    if (!NRK_GET_INTERFACE(0, &rt) || !rt) return 1;
    auto t0 = std::chrono::steady_clock::now();
    int rc = rt->LoadNode(folder.c_str(), name.c_str());
    double loadSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    DeleteFileA((folder + name).c_str());
    if (rc != 0) return 1;
    rt->StartNode();
    unsigned cores = std::thread::hardware_concurrency();
    std::printf("node: %d channels of type 4 (every tenth simulated, scan 100 ms), loaded in %.2f s; %u hardware threads\n",
                channels, loadSeconds, cores);
    std::printf("calls/s: all threads together per second of wall time; per CPU-s: per second of CPU time the\n"
                "calling threads got (the machine may be shared; equal per-CPU-s figures mean the getters scale)\n");
    std::printf("%-18s %14s %14s %9s %16s %16s\n", "getter", "1 thread", "2 threads", "speed-up", "1 thr per CPU-s",
                "2 thr per CPU-s");
    measure(Getter::Int, 2, channels, seconds / 2); // warm-up: caches, clock speed
    const char* names[] = {"GetChannelInt", "GetChannelFloat", "GetChannelDouble"};
    for (int g = 0; g < 3; ++g) {
        Rate one = measure(static_cast<Getter>(g), 1, channels, seconds);
        Rate two = measure(static_cast<Getter>(g), 2, channels, seconds);
        std::printf("%-18s %14.0f %14.0f %8.2fx %16.0f %16.0f\n", names[g], one.wall, two.wall, two.wall / one.wall,
                    one.cpu, two.cpu);
        std::fflush(stdout);
    }
    rt->StopNode();
    rt->UnloadNode();
    return 0;
}
