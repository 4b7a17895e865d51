#include "FakeRuntime.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

bool Matches(int pattern, int value) { return pattern == FakeRuntime::kAny || pattern == value; }

int ToInt(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 2147483647.0) return INT_MAX;
    if (d <= -2147483648.0) return INT_MIN;
    return static_cast<int>(d);
}

std::string ToText(const FakeRuntime::Value& v) {
    char buffer[64];
    switch (v.index()) {
    case 0: std::snprintf(buffer, sizeof buffer, "%d", std::get<int>(v)); return buffer;
    case 1: std::snprintf(buffer, sizeof buffer, "%g", static_cast<double>(std::get<float>(v))); return buffer;
    case 2: std::snprintf(buffer, sizeof buffer, "%.15g", std::get<double>(v)); return buffer;
    default: return std::get<std::string>(v);
    }
}

double ToDouble(const FakeRuntime::Value& v) {
    switch (v.index()) {
    case 0: return std::get<int>(v);
    case 1: return std::get<float>(v);
    case 2: return std::get<double>(v);
    default: return std::strtod(std::get<std::string>(v).c_str(), nullptr);
    }
}

int ToIntValue(const FakeRuntime::Value& v) {
    if (v.index() == 0) return std::get<int>(v);
    if (v.index() == 3) return static_cast<int>(std::strtol(std::get<std::string>(v).c_str(), nullptr, 10));
    return ToInt(ToDouble(v));
}

} // namespace

FakeRuntime::FakeRuntime() {
    parameters_[NRK_PARAM_SCAN_PERIOD] = 100;
    properties_[NRK_PROP_NODE_ACCEPTED] = 1;
    nodeTexts_[NRK_ATTR_NAME] = "Node";
}

FakeRuntime::~FakeRuntime() = default;

// --- scripting --------------------------------------------------------------

FakeRuntime::ChannelScript& FakeRuntime::ChannelScript::Set(int attr, int value) {
    fake_.Store(ch_, attr, value);
    return *this;
}
FakeRuntime::ChannelScript& FakeRuntime::ChannelScript::Set(int attr, float value) {
    fake_.Store(ch_, attr, value);
    return *this;
}
FakeRuntime::ChannelScript& FakeRuntime::ChannelScript::Set(int attr, double value) {
    fake_.Store(ch_, attr, value);
    return *this;
}
FakeRuntime::ChannelScript& FakeRuntime::ChannelScript::Set(int attr, const char* text) {
    fake_.Store(ch_, attr, std::string(text));
    return *this;
}
FakeRuntime::ChannelScript& FakeRuntime::ChannelScript::Set(int attr, std::string text) {
    fake_.Store(ch_, attr, std::move(text));
    return *this;
}
FakeRuntime::ChannelScript& FakeRuntime::ChannelScript::Unset(int attr) {
    std::lock_guard<std::mutex> lock(fake_.mutex_);
    fake_.values_.erase({ch_, attr});
    return *this;
}
FakeRuntime::ChannelScript& FakeRuntime::ChannelScript::AttributeName(int attr, std::string name) {
    std::lock_guard<std::mutex> lock(fake_.mutex_);
    fake_.channelAttributeNames_[{ch_, attr}] = std::move(name);
    return *this;
}

FakeRuntime::GroupScript& FakeRuntime::GroupScript::Channels(std::vector<int> channels) {
    std::lock_guard<std::mutex> lock(fake_.mutex_);
    fake_.groups_[id_].channels = std::move(channels);
    return *this;
}
FakeRuntime::GroupScript& FakeRuntime::GroupScript::ParentText(std::string text) {
    std::lock_guard<std::mutex> lock(fake_.mutex_);
    fake_.groups_[id_].parentText = std::move(text);
    return *this;
}
FakeRuntime::GroupScript& FakeRuntime::GroupScript::NoParentText() {
    std::lock_guard<std::mutex> lock(fake_.mutex_);
    fake_.groups_[id_].parentText.reset();
    return *this;
}

void FakeRuntime::Store(int ch, int attr, Value value) {
    std::lock_guard<std::mutex> lock(mutex_);
    values_[{ch, attr}] = std::move(value);
    highestChannel_ = std::max(highestChannel_, ch);
}

FakeRuntime::ChannelScript FakeRuntime::AddChannel(int id, int type, std::string name) {
    Store(id, NRK_ATTR_TYPE, type);
    Store(id, NRK_ATTR_NAME, std::move(name));
    return ChannelScript(*this, id);
}

FakeRuntime::GroupScript FakeRuntime::AddGroup(int id, std::string name, int parent) {
    std::lock_guard<std::mutex> lock(mutex_);
    GroupData& g = groups_[id];
    g.name = std::move(name);
    g.parentText = std::to_string(parent);
    return GroupScript(*this, id);
}

void FakeRuntime::RemoveGroup(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    groups_.erase(id);
}

void FakeRuntime::SetNodeName(std::string name) { SetNodeText(NRK_ATTR_NAME, std::move(name)); }
void FakeRuntime::SetNodeText(int attr, std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    nodeTexts_[attr] = std::move(text);
}
void FakeRuntime::SetAttributeName(int attr, std::string name) {
    std::lock_guard<std::mutex> lock(mutex_);
    attributeNames_[attr] = std::move(name);
}
void FakeRuntime::SetRunning(bool running) {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = running;
}
bool FakeRuntime::Running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}
void FakeRuntime::SetLoaded(bool loaded) {
    std::lock_guard<std::mutex> lock(mutex_);
    loaded_ = loaded;
}
void FakeRuntime::SetParameter(int id, int value) {
    std::lock_guard<std::mutex> lock(mutex_);
    parameters_[id] = value;
}
void FakeRuntime::SetGroupLimit(int limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    groupLimit_ = limit;
}
void FakeRuntime::SetProperty(int id, int value) {
    std::lock_guard<std::mutex> lock(mutex_);
    properties_[id] = value;
}
void FakeRuntime::SetAnswer(const std::string& op, int value) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[op] = value;
}

std::optional<FakeRuntime::Value> FakeRuntime::Get(int ch, int attr) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Value* v = Find(ch, attr);
    if (!v) return std::nullopt;
    return *v;
}

void FakeRuntime::Fail(const std::string& op, int first, int second) {
    std::lock_guard<std::mutex> lock(mutex_);
    injections_.push_back(Injection{op, first, second, false});
}
void FakeRuntime::Throw(const std::string& op, int first, int second) {
    std::lock_guard<std::mutex> lock(mutex_);
    injections_.push_back(Injection{op, first, second, true});
}
void FakeRuntime::Heal() {
    std::lock_guard<std::mutex> lock(mutex_);
    injections_.clear();
}
void FakeRuntime::Hook(const std::string& op, std::function<void()> action) {
    std::lock_guard<std::mutex> lock(mutex_);
    hooks_[op] = std::move(action);
}

int FakeRuntime::Calls(const std::string& op) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = calls_.find(op);
    return it == calls_.end() ? 0 : it->second;
}
int FakeRuntime::Calls(const std::string& op, int first, int second) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int total = 0;
    for (const auto& [key, count] : keyedCalls_)
        if (std::get<0>(key) == op && Matches(first, std::get<1>(key)) && Matches(second, std::get<2>(key)))
            total += count;
    return total;
}
void FakeRuntime::CountKeys(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    countKeys_ = on;
}
void FakeRuntime::ResetCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
    keyedCalls_.clear();
}

std::string FakeRuntime::RootDirectory() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rootDirectory_;
}
std::string FakeRuntime::LoadedDirectory() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return loadedDirectory_;
}
std::string FakeRuntime::LoadedFile() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return loadedFile_;
}
std::vector<std::pair<std::string, std::string>> FakeRuntime::Logins() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return logins_;
}
std::vector<std::pair<int, int>> FakeRuntime::Logouts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return logouts_;
}

// --- internals ----------------------------------------------------------------

FakeRuntime::Outcome FakeRuntime::Enter(std::unique_lock<std::mutex>& lock, const char* op, int first, int second) {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!hooks_.empty()) {
            const auto it = hooks_.find(std::string_view(op));
            if (it != hooks_.end()) hook = it->second;
        }
    }
    if (hook) hook();
    lock = std::unique_lock<std::mutex>(mutex_);
    if (const auto it = calls_.find(std::string_view(op)); it != calls_.end())
        ++it->second;
    else
        calls_.emplace(op, 1);
    if (countKeys_) ++keyedCalls_[{op, first, second}];
    for (const Injection& inj : injections_) {
        if (inj.op != op || !Matches(inj.first, first) || !Matches(inj.second, second)) continue;
        if (inj.raise) throw std::runtime_error(std::string("FakeRuntime: injected failure of ") + op);
        return Outcome::Fail;
    }
    return Outcome::Pass;
}

std::optional<int> FakeRuntime::Answer(const char* op) const {
    const auto it = answers_.find(std::string_view(op));
    if (it == answers_.end()) return std::nullopt;
    return it->second;
}

bool FakeRuntime::PutText(const std::string& value, char* text) {
    if (!text) return false;
    const std::size_t n = std::min(value.size(), static_cast<std::size_t>(NRK_TEXT_SIZE - 1));
    std::memcpy(text, value.data(), n);
    text[n] = '\0';
    return true;
}

const FakeRuntime::Value* FakeRuntime::Find(int ch, int attr) const {
    const auto it = values_.find({ch, attr});
    return it == values_.end() ? nullptr : &it->second;
}

// --- NRK_Server -----------------------------------------------------------------

void FakeRuntime::UnloadNode() {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "UnloadNode") == Outcome::Pass) {
        loaded_ = false;
        running_ = false;
    }
}

void FakeRuntime::SetRootDirectory(const char* directory) {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "SetRootDirectory") == Outcome::Pass) rootDirectory_ = directory ? directory : "";
}

int FakeRuntime::LoadNode(const char* directory, const char* fileName) {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "LoadNode") == Outcome::Fail) return 1;
    loadedDirectory_ = directory ? directory : "";
    loadedFile_ = fileName ? fileName : "";
    const int result = Answer("LoadNode").value_or(0);
    if (result == 0) loaded_ = true;
    return result;
}

void FakeRuntime::StartNode() {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "StartNode") == Outcome::Pass) running_ = true;
}

void FakeRuntime::StopNode() {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "StopNode") == Outcome::Pass) running_ = false;
}

bool FakeRuntime::GetNodeText(int attr, char* text) {
    std::unique_lock<std::mutex> lock;
    if (text) text[0] = '\0';
    if (Enter(lock, "GetNodeText", attr) == Outcome::Fail) return false;
    const auto it = nodeTexts_.find(attr);
    return it != nodeTexts_.end() && PutText(it->second, text);
}

bool FakeRuntime::GetAttributeName(int ch, int attr, char* text) {
    std::unique_lock<std::mutex> lock;
    if (text) text[0] = '\0';
    if (Enter(lock, "GetAttributeName", ch, attr) == Outcome::Fail) return false;
    if (const auto it = channelAttributeNames_.find({ch, attr}); it != channelAttributeNames_.end())
        return PutText(it->second, text);
    if (const auto it = attributeNames_.find(attr); it != attributeNames_.end())
        return PutText(it->second, text);
    return PutText("Attr" + std::to_string(attr), text);
}

bool FakeRuntime::IsNodeLoaded() {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "IsNodeLoaded") == Outcome::Fail) return false;
    if (const auto a = Answer("IsNodeLoaded")) return *a != 0;
    return loaded_;
}

bool FakeRuntime::IsNodeRunning() {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "IsNodeRunning") == Outcome::Fail) return false;
    if (const auto a = Answer("IsNodeRunning")) return *a != 0;
    return running_;
}

bool FakeRuntime::GetNodeProperty(int property, int* value) {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "GetNodeProperty", property) == Outcome::Fail) return false;
    const auto it = properties_.find(property);
    if (it == properties_.end() || !value) return false;
    *value = it->second;
    return true;
}

bool FakeRuntime::GetObjectText(int object, int attr, char* text, int /*flags*/) {
    std::unique_lock<std::mutex> lock;
    if (text) text[0] = '\0';
    if (Enter(lock, "GetObjectText", object, attr) == Outcome::Fail) return false;
    if (attr != NRK_ATTR_PARENT) return false;
    const auto it = groups_.find(object - NRK_GROUP_OBJECT);
    if (it == groups_.end() || !it->second.parentText) return false;
    return PutText(*it->second.parentText, text);
}

bool FakeRuntime::GetChannelString(int ch, int /*elem*/, char* text, int attr, int /*flags*/) {
    std::unique_lock<std::mutex> lock;
    if (text) text[0] = '\0';
    if (Enter(lock, "GetChannelString", ch, attr) == Outcome::Fail) return false;
    const Value* v = Find(ch, attr);
    return v && PutText(ToText(*v), text);
}

bool FakeRuntime::GetChannelFloat(int ch, int /*elem*/, float* value, int attr) {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "GetChannelFloat", ch, attr) == Outcome::Fail) return false;
    const Value* v = Find(ch, attr);
    if (!v || !value) return false;
    *value = v->index() == 1 ? std::get<float>(*v) : static_cast<float>(ToDouble(*v));
    return true;
}

bool FakeRuntime::GetChannelInt(int ch, int /*elem*/, int* value, int attr) {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "GetChannelInt", ch, attr) == Outcome::Fail) return false;
    const Value* v = Find(ch, attr);
    if (!v || !value) return false;
    *value = ToIntValue(*v);
    return true;
}

bool FakeRuntime::GetChannelDouble(int ch, int /*elem*/, double* value, int attr) {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "GetChannelDouble", ch, attr) == Outcome::Fail) return false;
    const Value* v = Find(ch, attr);
    if (!v || !value) return false;
    *value = ToDouble(*v);
    return true;
}

bool FakeRuntime::SetChannelString(int ch, int /*elem*/, const char* text, int attr) {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "SetChannelString", ch, attr) == Outcome::Fail || !text) return false;
    values_[{ch, attr}] = std::string(text);
    return true;
}

bool FakeRuntime::SetChannelFloat(int ch, int /*elem*/, float value, int attr) {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "SetChannelFloat", ch, attr) == Outcome::Fail) return false;
    values_[{ch, attr}] = value;
    return true;
}

bool FakeRuntime::SetChannelInt(int ch, int /*elem*/, int value, int attr) {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "SetChannelInt", ch, attr) == Outcome::Fail) return false;
    values_[{ch, attr}] = value;
    return true;
}

bool FakeRuntime::SetChannelDouble(int ch, int /*elem*/, double value, int attr) {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "SetChannelDouble", ch, attr) == Outcome::Fail) return false;
    values_[{ch, attr}] = value;
    return true;
}

int FakeRuntime::GetGroupLimit(int which) {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "GetGroupLimit", which) == Outcome::Fail) return 0;
    if (groupLimit_) return *groupLimit_;
    const int highest = groups_.empty() ? 0 : groups_.rbegin()->first;
    return std::max(32, highest + 1);
}

bool FakeRuntime::IsGroup(int group) {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "IsGroup", group) == Outcome::Fail) return false;
    return groups_.count(group) != 0;
}

bool FakeRuntime::GetGroupName(int group, char* text) {
    std::unique_lock<std::mutex> lock;
    if (text) text[0] = '\0';
    if (Enter(lock, "GetGroupName", group) == Outcome::Fail) return false;
    const auto it = groups_.find(group);
    return it != groups_.end() && PutText(it->second.name, text);
}

bool FakeRuntime::GetGroupChannelCount(int group, int* count) {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "GetGroupChannelCount", group) == Outcome::Fail) return false;
    const auto it = groups_.find(group);
    if (it == groups_.end() || !count) return false;
    *count = static_cast<int>(it->second.channels.size());
    return true;
}

int FakeRuntime::GetGroupChannel(int group, int index) {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "GetGroupChannel", group, index) == Outcome::Fail) return 0;
    const auto it = groups_.find(group);
    if (it == groups_.end() || index < 0 || static_cast<std::size_t>(index) >= it->second.channels.size()) return 0;
    return it->second.channels[static_cast<std::size_t>(index)];
}

int FakeRuntime::GetNodeParameter(int parameter) {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "GetNodeParameter", parameter) == Outcome::Fail) return 0;
    if (const auto it = parameters_.find(parameter); it != parameters_.end()) return it->second;
    if (parameter == NRK_PARAM_CHANNEL_END) return highestChannel_ + 1;
    return 0;
}

int FakeRuntime::Login(const CredentialPair& credentials) {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "Login") == Outcome::Fail) return -1;
    logins_.emplace_back(credentials.user ? credentials.user : "", credentials.password ? credentials.password : "");
    return Answer("Login").value_or(0);
}

void FakeRuntime::Logout(int login, int flags) {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "Logout", login, flags) == Outcome::Pass) logouts_.emplace_back(login, flags);
}

int FakeRuntime::GetOperatorCount() {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "GetOperatorCount") == Outcome::Fail) return 0;
    return Answer("GetOperatorCount").value_or(0);
}

bool FakeRuntime::CanStart() {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "CanStart") == Outcome::Fail) return false;
    if (const auto a = Answer("CanStart")) return *a != 0;
    return loaded_ && !running_;
}

bool FakeRuntime::CanStop() {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "CanStop") == Outcome::Fail) return false;
    if (const auto a = Answer("CanStop")) return *a != 0;
    return running_;
}

bool FakeRuntime::CanViewValues() {
    std::unique_lock<std::mutex> lock;
    if (Enter(lock, "CanViewValues") == Outcome::Fail) return false;
    if (const auto a = Answer("CanViewValues")) return *a != 0;
    return true;
}
