#include "Runtime.h"

#include "LoadedNode.h"
#include "NodeFile.h"
#include "TextCodec.h"
#include "ValueCodec.h"

#include <windows.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>

namespace nrk {
namespace {

bool validElement(int elem) { return elem == -1 || elem == 0; }
bool validAttribute(int attr) { return attr >= 0 && attr < kAttributes; }

// Shortest text of a float or double that reads back to the same value.
template <class T> std::string shortest(T v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

} // namespace

// Keeps the current node alive while one operation reads it: the reader counts
// itself in the stripe of its thread, and a new node is published only after
// every stripe has been seen empty once (readers that come later see the new node).
class Runtime::Reader {
public:
    explicit Reader(Runtime& r) : stripe_(r.stripes_[(GetCurrentThreadId() >> 2) % kStripes]) {
        stripe_.readers.fetch_add(1, std::memory_order_seq_cst);
        node_ = r.current_.load(std::memory_order_seq_cst);
    }
    ~Reader() { stripe_.readers.fetch_sub(1, std::memory_order_seq_cst); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    LoadedNode* node() const { return node_; }

private:
    Stripe& stripe_;
    LoadedNode* node_;
};

Runtime::Runtime(RuntimeOptions options) : options_(std::move(options)) {}

Runtime::~Runtime() { UnloadNode(); }

std::int64_t Runtime::now() const {
    if (options_.clock) return options_.clock();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Runtime::publish(std::unique_ptr<LoadedNode> next) {
    std::unique_ptr<LoadedNode> old = std::move(owned_);
    owned_ = std::move(next);
    current_.store(owned_.get(), std::memory_order_seq_cst);
    for (Stripe& s : stripes_)
        while (s.readers.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
    old.reset();
}

void Runtime::fail(std::string message) {
    if (options_.reportErrors) {
        std::string ansi;
        if (!utf8ToAnsi(message, ansi)) {
            ansi = message;
            for (char& c : ansi)
                if (static_cast<unsigned char>(c) >= 0x80) c = '?';
        }
        std::fprintf(stderr, "%s\n", ansi.c_str());
        std::fflush(stderr);
    }
    std::lock_guard<std::mutex> lock(errorLock_);
    lastError_ = std::move(message);
}

std::string Runtime::LastError() const {
    std::lock_guard<std::mutex> lock(errorLock_);
    return lastError_;
}

bool Runtime::CopyLastError(char* text, int size) const {
    if (!text || size <= 0) return false;
    text[0] = 0;
    try {
        std::string message = LastError();
        if (message.empty()) return false;
        std::string ansi;
        if (!utf8ToAnsi(message, ansi)) {
            ansi = message;
            for (char& c : ansi)
                if (static_cast<unsigned char>(c) >= 0x80) c = '?';
        }
        return copyOut(ansi, text, size);
    } catch (...) {
        return false;
    }
}

// ---- lifecycle -------------------------------------------------------------

void Runtime::SetRootDirectory(const char* directory) {
    try {
        std::lock_guard<std::mutex> lock(lifecycle_);
        root_ = directory ? directory : "";
    } catch (...) {
    }
}

int Runtime::LoadNode(const char* directory, const char* fileName) {
    try {
        if (!fileName || !*fileName) {
            fail("(no file): no node file name given");
            return 1;
        }
        std::string file = fileName;
        std::string dir = directory ? directory : "";
        if (dir.empty()) {
            std::lock_guard<std::mutex> lock(lifecycle_);
            dir = root_;
        }
        const bool absolute = (file.size() >= 2 && file[1] == ':') || file[0] == '\\' || file[0] == '/';
        std::string path = file;
        if (!absolute && !dir.empty()) path = dir + ((dir.back() == '\\' || dir.back() == '/') ? "" : "\\") + file;
        std::string label;
        if (!ansiToUtf8(file, label)) label = file;
        std::wstring widePath;
        if (!ansiToWide(path, widePath)) {
            fail(label + ": the file name is not valid text");
            return 1;
        }
        NodeDefinition def;
        std::string error;
        if (!readNodeFile(widePath, label, def, error)) {
            fail(error);
            return 1;
        }
        auto node = std::make_unique<LoadedNode>(def);
        std::lock_guard<std::mutex> lock(lifecycle_);
        stopLocked();
        publish(std::move(node));
        loggedIn_.store(0);
        return 0;
    } catch (const std::bad_alloc&) {
        fail(std::string(fileName ? fileName : "") + ": out of memory");
        return 2;
    } catch (...) {
        fail(std::string(fileName ? fileName : "") + ": the node could not be loaded");
        return 3;
    }
}

void Runtime::UnloadNode() {
    std::lock_guard<std::mutex> lock(lifecycle_);
    unloadLocked();
}

void Runtime::unloadLocked() {
    stopLocked();
    publish(nullptr);
    loggedIn_.store(0);
}

void Runtime::StartNode() {
    std::lock_guard<std::mutex> lock(lifecycle_);
    if (!owned_ || running_.load()) return;
    {
        std::lock_guard<std::mutex> sim(simulation_);
        runStart_ = now();
        stepBase_ = owned_->stepsDone;
        stopSimulation_ = false;
    }
    running_.store(true);
    if (options_.simulationThread) {
        try {
            simulationThread_ = std::thread(&Runtime::simulationLoop, this);
        } catch (...) {
            running_.store(false); // no thread, no start: IsNodeRunning tells the caller
        }
    }
}

void Runtime::StopNode() {
    std::lock_guard<std::mutex> lock(lifecycle_);
    stopLocked();
}

void Runtime::stopLocked() {
    if (!running_.load()) return;
    {
        std::lock_guard<std::mutex> sim(simulation_);
        stopSimulation_ = true;
    }
    wake_.notify_all();
    if (simulationThread_.joinable()) simulationThread_.join();
    running_.store(false);
}

void Runtime::simulationLoop() {
    LoadedNode& node = *owned_; // stays until this thread is joined
    std::unique_lock<std::mutex> lock(simulation_);
    const std::int64_t period = node.scanPeriod;
    while (!stopSimulation_) {
        advanceLocked(node);
        std::int64_t next = runStart_ + (node.stepsDone - stepBase_ + 1) * period;
        std::int64_t wait = std::clamp<std::int64_t>(next - now(), 1, period);
        wake_.wait_for(lock, std::chrono::milliseconds(wait), [this] { return stopSimulation_; });
    }
}

void Runtime::AdvanceSimulation() {
    std::lock_guard<std::mutex> lock(lifecycle_);
    if (!owned_ || !running_.load()) return;
    std::lock_guard<std::mutex> sim(simulation_);
    advanceLocked(*owned_);
}

void Runtime::advanceLocked(LoadedNode& node) {
    const std::int64_t period = node.scanPeriod;
    const std::int64_t elapsed = now() - runStart_;
    const std::int64_t target = stepBase_ + (elapsed > 0 ? elapsed / period : 0);
    if (target <= node.stepsDone) return;
    const double seconds = period / 1000.0;
    const auto& sims = node.simulations();
    // A walk needs every step; after a very long pause only the last ones are taken.
    constexpr std::int64_t kMaxWalkSteps = 10000;
    for (std::size_t i = 0; i < sims.size(); ++i) {
        if (node.manual(i)) continue;
        const SimulatedValue& s = sims[i];
        const double old = node.loadNumeric(s.slot);
        double value = old;
        if (s.sim.kind == SimKind::Walk) {
            for (std::int64_t k = std::max(node.stepsDone + 1, target - kMaxWalkSteps + 1); k <= target; ++k) {
                double stored;
                if (numericFromDoubleClamped(s.kind, simulate(s.sim, k, seconds, value, s.salt), stored)) value = stored;
            }
        } else {
            double stored;
            if (numericFromDoubleClamped(s.kind, simulate(s.sim, target, seconds, old, s.salt), stored)) value = stored;
        }
        // A write that came in meanwhile wins.
        if (value != old && !node.manual(i)) node.replaceNumeric(s.slot, old, value);
    }
    node.stepsDone = target;
}

bool Runtime::IsNodeLoaded() { return current_.load(std::memory_order_acquire) != nullptr; }
bool Runtime::IsNodeRunning() { return running_.load(std::memory_order_acquire); }

// ---- node ------------------------------------------------------------------

bool Runtime::GetNodeText(int attr, char* text) {
    if (!text) return false;
    text[0] = 0;
    try {
        Reader r(*this);
        if (!r.node() || attr != NRK_ATTR_NAME) return false;
        std::string ansi;
        return utf8ToAnsi(r.node()->name, ansi) && copyText(ansi, text);
    } catch (...) {
        return false;
    }
}

bool Runtime::GetNodeProperty(int property, int* value) {
    if (!value) return false;
    Reader r(*this);
    if (!r.node()) return false;
    switch (property) {
    case NRK_PROP_NODE_ACCEPTED: *value = r.node()->nodeType == kServedNodeType ? 1 : 0; return true;
    case NRK_PROP_NODE_TYPE: *value = r.node()->nodeType; return true;
    default: return false;
    }
}

int Runtime::GetNodeParameter(int parameter) {
    Reader r(*this);
    if (!r.node()) return 0;
    switch (parameter) {
    case NRK_PARAM_CHANNEL_END: return r.node()->channelEnd;
    case NRK_PARAM_SCAN_PERIOD: return r.node()->scanPeriod;
    default: return 0;
    }
}

// ---- groups ----------------------------------------------------------------

int Runtime::GetGroupLimit(int which) {
    Reader r(*this);
    return (r.node() && which == 1) ? r.node()->groupLimit : 0;
}

bool Runtime::IsGroup(int group) {
    Reader r(*this);
    return r.node() && r.node()->group(group);
}

bool Runtime::GetGroupName(int group, char* text) {
    if (!text) return false;
    text[0] = 0;
    try {
        Reader r(*this);
        const LoadedGroup* g = r.node() ? r.node()->group(group) : nullptr;
        std::string ansi;
        return g && utf8ToAnsi(g->name, ansi) && copyText(ansi, text);
    } catch (...) {
        return false;
    }
}

bool Runtime::GetGroupChannelCount(int group, int* count) {
    if (!count) return false;
    Reader r(*this);
    const LoadedGroup* g = r.node() ? r.node()->group(group) : nullptr;
    if (!g) return false;
    *count = static_cast<int>(g->channels.size());
    return true;
}

int Runtime::GetGroupChannel(int group, int index) {
    Reader r(*this);
    const LoadedGroup* g = r.node() ? r.node()->group(group) : nullptr;
    if (!g || index < 0 || static_cast<std::size_t>(index) >= g->channels.size()) return -1;
    return g->channels[static_cast<std::size_t>(index)];
}

bool Runtime::GetObjectText(int object, int attr, char* text, int flags) {
    if (!text) return false;
    text[0] = 0;
    if (object < NRK_GROUP_OBJECT) return GetChannelString(object, -1, text, attr, flags);
    try {
        Reader r(*this);
        const LoadedGroup* g = r.node() ? r.node()->group(object - NRK_GROUP_OBJECT) : nullptr;
        if (!g) return false;
        if (attr == NRK_ATTR_PARENT) return copyText(std::to_string(g->parent), text);
        std::string ansi;
        if (attr == NRK_ATTR_NAME) return utf8ToAnsi(g->name, ansi) && copyText(ansi, text);
        return false;
    } catch (...) {
        return false;
    }
}

// ---- channels --------------------------------------------------------------

bool Runtime::GetAttributeName(int ch, int attr, char* text) {
    if (!text) return false;
    text[0] = 0;
    Reader r(*this);
    const LoadedChannel* c = r.node() ? r.node()->channel(ch) : nullptr;
    const char* name = c ? attributeName(c->type, attr) : nullptr;
    return name && copyText(name, text);
}

namespace {

// Reads a text attribute as a number (under the channel's text lock).
bool textAsDouble(const LoadedNode& n, const LoadedChannel& c, int attr, double& out) {
    std::lock_guard<std::mutex> lock(n.textLock(c));
    return parseDouble(n.text(c.textBase + c.layout->slot[attr]), out);
}

} // namespace

bool Runtime::readNumber(int ch, int elem, int attr, Kind& kind, double& value) {
    if (!validElement(elem) || !validAttribute(attr)) return false;
    Reader r(*this);
    const LoadedNode* n = r.node();
    const LoadedChannel* c = n ? n->channel(ch) : nullptr;
    if (!c) return false;
    kind = c->layout->kind[attr];
    if (kind == Kind::None) return false;
    if (kind == Kind::Text) return textAsDouble(*n, *c, attr, value);
    value = n->loadNumeric(c->numericBase + c->layout->slot[attr]);
    return true;
}

bool Runtime::GetChannelInt(int ch, int elem, int* value, int attr) {
    Kind k;
    double v;
    if (!value || !readNumber(ch, elem, attr, k, v)) return false;
    std::int32_t out;
    // A number parsed from a text converts as a 32-bit signed integer.
    if (!numericToInt(k == Kind::Text ? Kind::I4 : k, v, out)) return false;
    *value = out;
    return true;
}

bool Runtime::GetChannelFloat(int ch, int elem, float* value, int attr) {
    Kind k;
    double v;
    if (!value || !readNumber(ch, elem, attr, k, v)) return false;
    return numericToFloat(k, v, *value);
}

bool Runtime::GetChannelDouble(int ch, int elem, double* value, int attr) {
    Kind k;
    return value && readNumber(ch, elem, attr, k, *value);
}

bool Runtime::GetChannelString(int ch, int elem, char* text, int attr, int) {
    if (!text) return false;
    text[0] = 0;
    if (!validElement(elem) || !validAttribute(attr)) return false;
    try {
        Reader r(*this);
        const LoadedNode* n = r.node();
        const LoadedChannel* c = n ? n->channel(ch) : nullptr;
        if (!c) return false;
        const Kind k = c->layout->kind[attr];
        if (k == Kind::None) return false;
        if (k != Kind::Text)
            return formatNumeric(k, n->loadNumeric(c->numericBase + c->layout->slot[attr]), text,
                                 static_cast<std::size_t>(NRK_TEXT_SIZE));
        std::string utf8;
        {
            std::lock_guard<std::mutex> lock(n->textLock(*c));
            utf8 = n->text(c->textBase + c->layout->slot[attr]);
        }
        std::string ansi;
        return utf8ToAnsi(utf8, ansi) && copyText(ansi, text);
    } catch (...) {
        text[0] = 0;
        return false;
    }
}

bool Runtime::storeNumeric(LoadedNode& n, const LoadedChannel& c, int attr, double stored) {
    const std::uint32_t slot = c.numericBase + c.layout->slot[attr];
    if (attr == NRK_ATTR_TYPE) return stored == c.type; // the type fixes the channel's attributes
    const int sim = n.simulationOf(slot);
    if (sim >= 0) n.setManual(sim);
    n.storeNumeric(slot, stored);
    return true;
}

namespace {

bool storeText(LoadedNode& n, const LoadedChannel& c, int attr, const std::string& utf8) {
    if (attr == NRK_ATTR_NAME && utf8.empty()) return false; // a channel keeps a name
    std::lock_guard<std::mutex> lock(n.textLock(c));
    n.text(c.textBase + c.layout->slot[attr]) = utf8;
    return true;
}

} // namespace

template <class Convert> bool Runtime::setNumeric(int ch, int elem, int attr, Convert convert) {
    if (!validElement(elem) || !validAttribute(attr)) return false;
    try {
        Reader r(*this);
        LoadedNode* n = r.node();
        const LoadedChannel* c = n ? n->channel(ch) : nullptr;
        if (!c) return false;
        const Kind k = c->layout->kind[attr];
        if (k == Kind::None) return false;
        if (k == Kind::Text) {
            std::string text;
            if (!convert(k, nullptr, &text)) return false;
            return storeText(*n, *c, attr, text);
        }
        double stored;
        return convert(k, &stored, nullptr) && storeNumeric(*n, *c, attr, stored);
    } catch (...) {
        return false;
    }
}

bool Runtime::SetChannelInt(int ch, int elem, int value, int attr) {
    return setNumeric(ch, elem, attr, [value](Kind k, double* stored, std::string* text) {
        if (text) return (*text = std::to_string(value)), true;
        return numericFromInt(k, value, *stored);
    });
}

bool Runtime::SetChannelFloat(int ch, int elem, float value, int attr) {
    return setNumeric(ch, elem, attr, [value](Kind k, double* stored, std::string* text) {
        if (text) return (*text = shortest(value)), true;
        return numericFromDouble(k, value, *stored);
    });
}

bool Runtime::SetChannelDouble(int ch, int elem, double value, int attr) {
    return setNumeric(ch, elem, attr, [value](Kind k, double* stored, std::string* text) {
        if (text) return (*text = shortest(value)), true;
        return numericFromDouble(k, value, *stored);
    });
}

bool Runtime::SetChannelString(int ch, int elem, const char* text, int attr) {
    if (!text) return false;
    const std::size_t length = std::strlen(text);
    if (length > static_cast<std::size_t>(kMaxText)) return false;
    return setNumeric(ch, elem, attr, [text, length](Kind k, double* stored, std::string* out) {
        if (out) return ansiToUtf8(std::string_view(text, length), *out);
        return parseNumeric(k, std::string_view(text, length), *stored);
    });
}

// ---- operators -------------------------------------------------------------

int Runtime::Login(const CredentialPair& credentials) {
    try {
        if (!credentials.user || !credentials.password) return -1;
        Reader r(*this);
        if (!r.node()) return -1;
        std::string user, password;
        if (!ansiToUtf8(credentials.user, user) || !ansiToUtf8(credentials.password, password)) return -1;
        for (const OperatorAccount& a : r.node()->operators) {
            if (a.user == user && a.password == password) {
                loggedIn_.store(1);
                return 0;
            }
        }
        return -1;
    } catch (...) {
        return -1;
    }
}

void Runtime::Logout(int, int) { loggedIn_.store(0); }

int Runtime::GetOperatorCount() {
    Reader r(*this);
    return r.node() ? static_cast<int>(r.node()->operators.size()) : 0;
}

bool Runtime::CanStart() {
    Reader r(*this);
    return r.node() && !running_.load() && (!r.node()->loginToStart || loggedIn_.load() != 0);
}

bool Runtime::CanStop() {
    Reader r(*this);
    return r.node() && running_.load() && (!r.node()->loginToStop || loggedIn_.load() != 0);
}

bool Runtime::CanViewValues() {
    Reader r(*this);
    return r.node() && (!r.node()->loginToView || loggedIn_.load() != 0);
}

} // namespace nrk
