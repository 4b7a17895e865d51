// The node runtime: one node loaded from a node file, started and stopped,
// its attribute values read, written and simulated. Every operation may be
// called from any number of threads at once.
#pragma once

#include <nrk/NRK_Server.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace nrk {

enum class Kind : std::uint8_t; // AttributeTable.h

class LoadedNode;
struct LoadedChannel;

struct RuntimeOptions {
    // Milliseconds of a monotonic clock; the steady clock when empty.
    std::function<std::int64_t()> clock;
    // Advance the simulation on an own thread while the node runs. Without it
    // the owner calls AdvanceSimulation().
    bool simulationThread = true;
    // Print load failures on standard error.
    bool reportErrors = true;
};

class Runtime final : public NRK_Server {
public:
    explicit Runtime(RuntimeOptions options = {});
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    void UnloadNode() override;
    void SetRootDirectory(const char* directory) override;
    int LoadNode(const char* directory, const char* fileName) override;
    void StartNode() override;
    void StopNode() override;
    bool GetNodeText(int attr, char* text) override;
    bool GetAttributeName(int ch, int attr, char* text) override;
    bool IsNodeLoaded() override;
    bool IsNodeRunning() override;
    bool GetNodeProperty(int property, int* value) override;
    bool GetObjectText(int object, int attr, char* text, int flags) override;
    bool GetChannelString(int ch, int elem, char* text, int attr, int flags) override;
    bool GetChannelFloat(int ch, int elem, float* value, int attr) override;
    bool GetChannelInt(int ch, int elem, int* value, int attr) override;
    bool GetChannelDouble(int ch, int elem, double* value, int attr) override;
    bool SetChannelString(int ch, int elem, const char* text, int attr) override;
    bool SetChannelFloat(int ch, int elem, float value, int attr) override;
    bool SetChannelInt(int ch, int elem, int value, int attr) override;
    bool SetChannelDouble(int ch, int elem, double value, int attr) override;
    int GetGroupLimit(int which) override;
    bool IsGroup(int group) override;
    bool GetGroupName(int group, char* text) override;
    bool GetGroupChannelCount(int group, int* count) override;
    int GetGroupChannel(int group, int index) override;
    int GetNodeParameter(int parameter) override;
    int Login(const CredentialPair& credentials) override;
    void Logout(int login, int flags) override;
    int GetOperatorCount() override;
    bool CanStart() override;
    bool CanStop() override;
    bool CanViewValues() override;

    // Applies the simulation steps that the clock says are due (node running).
    void AdvanceSimulation();
    // The reason of the last failed load ("file:line: problem"), UTF-8; empty when none.
    std::string LastError() const;
    // The same in the ANSI code page into a buffer; false when none or it does not fit.
    bool CopyLastError(char* text, int size) const;

private:
    class Reader;
    struct alignas(128) Stripe { // two cache lines: no false sharing through the adjacent-line prefetch
        std::atomic<long> readers{0};
    };
    static constexpr int kStripes = 64;

    std::int64_t now() const;
    void publish(std::unique_ptr<LoadedNode> next);
    void stopLocked();
    void unloadLocked();
    void simulationLoop();
    void advanceLocked(LoadedNode& node);
    bool storeNumeric(LoadedNode& node, const LoadedChannel& c, int attr, double stored);
    // The attribute's stored value as a number (a text attribute parsed) and its kind; false when the
    // channel or attribute does not exist or a text is no number.
    bool readNumber(int ch, int elem, int attr, Kind& kind, double& value);
    template <class Convert> bool setNumeric(int ch, int elem, int attr, Convert convert);
    void fail(std::string message);

    RuntimeOptions options_;
    Stripe stripes_[kStripes];
    std::atomic<LoadedNode*> current_{nullptr};
    std::atomic<bool> running_{false};
    std::atomic<int> loggedIn_{0};

    std::mutex lifecycle_; // load, unload, start, stop
    std::unique_ptr<LoadedNode> owned_;
    std::string root_;

    std::mutex simulation_; // the simulation step state
    std::condition_variable wake_;
    bool stopSimulation_ = false;
    std::thread simulationThread_;
    std::int64_t runStart_ = 0;
    std::int64_t stepBase_ = 0;

    mutable std::mutex errorLock_;
    std::string lastError_;
};

} // namespace nrk
