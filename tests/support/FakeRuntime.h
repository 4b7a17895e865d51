// A scripted stand-in for the runtime's operation table, for tests.
//
//   FakeRuntime fake;
//   fake.AddChannel(7, /*type*/ 4, "Temp").Set(2, 21.5f).Set(8, 0);
//   fake.AddGroup(40, "Line", /*parent*/ 0).Channels({7});
//   fake.Fail("GetChannelInt", 7, 48);       // that read returns false
//   fake.Throw("GetChannelFloat", 7);        // any attribute of channel 7 raises
//   EXPECT_EQ(fake.Calls("SetChannelInt"), 1);
//
// Failure and call keys are the operation's first two integer arguments:
// channel operations and GetAttributeName (channel, attribute); GetObjectText
// (object, attribute); GetNodeText (attribute); group operations (group, index);
// GetNodeParameter and GetNodeProperty (id). FakeRuntime::kAny matches anything.
//
// Values: getters convert what is stored (int, float, double or text) the way the
// runtime does: numbers to text with printf formats, text to numbers with strtol /
// strtod, floating values to int by truncation. An attribute never set fails to read.
// Setters store the value with the setter's own type. Every operation is counted,
// and the whole object is safe to use from several threads at once.
#pragma once

#include <climits>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>
#include <vector>

#include "nrk/NRK_Server.h"

class FakeRuntime : public NRK_Server {
public:
    using Value = std::variant<int, float, double, std::string>;
    static constexpr int kAny = INT_MIN;

    FakeRuntime();
    virtual ~FakeRuntime();
    FakeRuntime(const FakeRuntime&) = delete;
    FakeRuntime& operator=(const FakeRuntime&) = delete;

    class ChannelScript {
    public:
        ChannelScript& Set(int attr, int value);
        ChannelScript& Set(int attr, float value);
        ChannelScript& Set(int attr, double value);
        ChannelScript& Set(int attr, const char* text);
        ChannelScript& Set(int attr, std::string text);
        ChannelScript& Unset(int attr);
        // Name of one attribute of this channel (GetAttributeName).
        ChannelScript& AttributeName(int attr, std::string name);
        int Id() const noexcept { return ch_; }

    private:
        friend class FakeRuntime;
        ChannelScript(FakeRuntime& fake, int ch) : fake_(fake), ch_(ch) {}
        FakeRuntime& fake_;
        int ch_;
    };

    class GroupScript {
    public:
        // The group's channels, in the order GetGroupChannel hands them out (may hold
        // ids of channels that do not exist, 0 or negative values).
        GroupScript& Channels(std::vector<int> channels);
        // The parent text that GetObjectText(id + 0x10000000, 125) returns.
        GroupScript& ParentText(std::string text);
        // GetObjectText fails for this group.
        GroupScript& NoParentText();

    private:
        friend class FakeRuntime;
        GroupScript(FakeRuntime& fake, int id) : fake_(fake), id_(id) {}
        FakeRuntime& fake_;
        int id_;
    };

    // A channel of the given type (attribute 48) and name (attribute 127).
    ChannelScript AddChannel(int id, int type, std::string name);
    // Scripts attributes of a channel id without setting type or name.
    ChannelScript Channel(int id) { return ChannelScript(*this, id); }
    // A channel group; the parent is given as its decimal text.
    GroupScript AddGroup(int id, std::string name, int parent = 0);
    GroupScript Group(int id) { return GroupScript(*this, id); }
    void RemoveGroup(int id);

    void SetNodeName(std::string name);                 // GetNodeText(127)
    void SetNodeText(int attr, std::string text);       // GetNodeText(attr)
    void SetAttributeName(int attr, std::string name);  // for every channel without its own
    void SetRunning(bool running);
    bool Running() const;
    void SetLoaded(bool loaded);
    void SetParameter(int id, int value);  // GetNodeParameter; default: 1 = highest channel + 1, 104 = 100
    void SetGroupLimit(int limit);         // default: highest group id + 1, at least 32
    void SetProperty(int id, int value);   // GetNodeProperty; default: 129 = 1
    // Fixed answer of an operation without key arguments: LoadNode, Login, GetOperatorCount,
    // CanStart, CanStop, CanViewValues, IsNodeLoaded, IsNodeRunning.
    void SetAnswer(const std::string& op, int value);

    // The stored value of an attribute, if any.
    std::optional<Value> Get(int ch, int attr) const;

    // Failure injection: the operation fails (false, or its failure value) / raises
    // std::runtime_error for the matching keys, until Heal.
    void Fail(const std::string& op, int first = kAny, int second = kAny);
    void Throw(const std::string& op, int first = kAny, int second = kAny);
    void Heal();
    // Runs before every call of op, outside the fake's lock (to block or count).
    void Hook(const std::string& op, std::function<void()> action);

    int Calls(const std::string& op) const;
    // Counting per key (on by default) can be switched off for very large scripted nodes.
    void CountKeys(bool on);
    int Calls(const std::string& op, int first, int second = kAny) const;
    void ResetCalls();

    std::string RootDirectory() const;
    std::string LoadedDirectory() const;
    std::string LoadedFile() const;
    std::vector<std::pair<std::string, std::string>> Logins() const;
    std::vector<std::pair<int, int>> Logouts() const;

    // NRK_Server
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

private:
    enum class Outcome { Pass, Fail };
    struct Injection {
        std::string op;
        int first;
        int second;
        bool raise;
    };
    struct GroupData {
        std::string name;
        std::optional<std::string> parentText;
        std::vector<int> channels;
    };

    // Counts the call and applies injections; raises for a Throw injection. Runs the
    // hook first. Returns with the lock held (for Pass and Fail).
    Outcome Enter(std::unique_lock<std::mutex>& lock, const char* op, int first = kAny, int second = kAny);
    std::optional<int> Answer(const char* op) const;
    // Into a getter's buffer of NRK_TEXT_SIZE bytes, a longer text cut short (byte-wise).
    static bool PutText(const std::string& value, char* text);
    const Value* Find(int ch, int attr) const;
    void Store(int ch, int attr, Value value);

    mutable std::mutex mutex_;
    std::map<std::pair<int, int>, Value> values_;
    std::map<std::pair<int, int>, std::string> channelAttributeNames_;
    std::map<int, std::string> attributeNames_;
    std::map<int, std::string> nodeTexts_;
    std::map<int, GroupData> groups_;
    std::map<int, int> parameters_;
    std::map<int, int> properties_;
    std::map<std::string, int, std::less<>> answers_;
    std::optional<int> groupLimit_;
    std::vector<Injection> injections_;
    std::map<std::string, std::function<void()>, std::less<>> hooks_;
    std::map<std::string, int, std::less<>> calls_;
    bool countKeys_ = true;
    std::map<std::tuple<std::string, int, int>, int> keyedCalls_;
    int highestChannel_ = 0;
    bool running_ = false;
    bool loaded_ = true;
    std::string rootDirectory_;
    std::string loadedDirectory_;
    std::string loadedFile_;
    std::vector<std::pair<std::string, std::string>> logins_;
    std::vector<std::pair<int, int>> logouts_;
};
