#include "NodeFile.h"

#include "AttributeTable.h"
#include "TextCodec.h"
#include "ValueCodec.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cmath>
#include <cstdio>
#include <unordered_map>
#include <unordered_set>

namespace nrk {
namespace {

constexpr std::size_t kMaxLine = 64 * 1024;

struct Token {
    std::string text;
    bool quoted = false;
};

// A token as shown in a message: printable, at most 40 characters.
std::string show(std::string_view s) {
    std::string out = "'";
    std::size_t n = 0;
    for (unsigned char c : s) {
        if (++n > 40) {
            out += "...";
            break;
        }
        if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "'";
}

bool tokenize(std::string_view line, std::vector<Token>& out, std::string& problem) {
    out.clear();
    std::size_t i = 0;
    while (i < line.size()) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (c == ' ' || c == '\t' || c == '\r') { ++i; continue; }
        if (c == '#') break;
        Token t;
        if (c == '"') {
            t.quoted = true;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                unsigned char d = static_cast<unsigned char>(line[i]);
                if (d == '"') { closed = true; ++i; break; }
                if (d == '\\') {
                    if (i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
                        t.text += line[i + 1];
                        i += 2;
                        continue;
                    }
                    problem = "bad escape in quoted text (only \\\" and \\\\ are known)";
                    return false;
                }
                if (d < 0x20 && d != '\t') {
                    char buf[64];
                    std::snprintf(buf, sizeof buf, "control character 0x%02X in text", d);
                    problem = buf;
                    return false;
                }
                t.text += static_cast<char>(d);
                ++i;
            }
            if (!closed) { problem = "unterminated quoted text"; return false; }
            if (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '#') {
                problem = "missing blank after quoted text";
                return false;
            }
        } else {
            while (i < line.size()) {
                unsigned char d = static_cast<unsigned char>(line[i]);
                if (d == ' ' || d == '\t' || d == '\r') break;
                if (d < 0x20 || d == 0x7f) {
                    char buf[64];
                    std::snprintf(buf, sizeof buf, "control character 0x%02X", d);
                    problem = buf;
                    return false;
                }
                if (d == '"') { problem = "quote inside a word"; return false; }
                t.text += static_cast<char>(d);
                ++i;
            }
        }
        out.push_back(std::move(t));
    }
    return true;
}

bool parseInt(const Token& t, long long lo, long long hi, long long& v) {
    if (t.quoted || t.text.empty() || t.text.size() > 12) return false;
    std::size_t i = (t.text[0] == '-' || t.text[0] == '+') ? 1 : 0;
    if (i == t.text.size()) return false;
    long long x = 0;
    for (; i < t.text.size(); ++i) {
        char c = t.text[i];
        if (c < '0' || c > '9') return false;
        x = x * 10 + (c - '0');
    }
    if (t.text[0] == '-') x = -x;
    if (x < lo || x > hi) return false;
    v = x;
    return true;
}

struct Membership {
    int group, channel, line;
};

class Parser {
public:
    Parser(const std::string& label, NodeDefinition& node, std::string& error) : label_(label), node_(node), error_(error) {}

    bool run(std::string_view content) {
        node_ = NodeDefinition{};
        std::size_t pos = 0;
        while (pos < content.size()) {
            ++line_;
            std::size_t end = content.find('\n', pos);
            if (end == std::string_view::npos) end = content.size();
            std::string_view text = content.substr(pos, end - pos);
            pos = end + 1;
            if (line_ == 1 && text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
            if (text.size() > kMaxLine) return fail("line longer than 65536 bytes");
            if (text.find('\0') != std::string_view::npos) return fail("NUL byte in line (not a text file?)");
            if (!validUtf8(text)) return fail("text is not valid UTF-8");
            std::string problem;
            if (!tokenize(text, tokens_, problem)) return fail(problem);
            if (tokens_.empty()) continue;
            if (!directive()) return false;
        }
        if (!seenNode_) {
            line_ = 1;
            return fail(content.empty() ? "empty file: a node file starts with 'node NAME type N'"
                                        : "no node line: a node file starts with 'node NAME type N'");
        }
        return finish();
    }

private:
    bool fail(const std::string& problem) {
        error_ = label_ + ":" + std::to_string(line_) + ": " + problem;
        return false;
    }
    bool failAt(int line, const std::string& problem) {
        line_ = line;
        return fail(problem);
    }

    bool expect(bool ok, const char* usage) { return ok ? true : fail(std::string("expected: ") + usage); }

    bool integer(std::size_t i, long long lo, long long hi, long long& v, const char* what) {
        if (parseInt(tokens_[i], lo, hi, v)) return true;
        long long any;
        if (parseInt(tokens_[i], -999999999999LL, 999999999999LL, any))
            return fail(std::string(what) + " " + tokens_[i].text + " out of range (" + std::to_string(lo) + ".." +
                        std::to_string(hi) + ")");
        return fail(std::string("bad number ") + show(tokens_[i].text) + " for " + what);
    }

    bool name(std::size_t i, std::string& out, const char* what) {
        const std::string& t = tokens_[i].text;
        if (t.empty()) return fail(std::string("empty ") + what);
        if (t.size() > static_cast<std::size_t>(kMaxText)) return fail(std::string(what) + " longer than 255 bytes");
        out = t;
        return true;
    }

    bool directive() {
        const std::string& kw = tokens_[0].text;
        const std::size_t n = tokens_.size();
        if (tokens_[0].quoted) return fail("directive expected, found quoted text");
        if (kw == "node") {
            if (seenNode_) return fail("second node line (first on line " + std::to_string(nodeLine_) + ")");
            if (!expect(n == 4 && tokens_[2].text == "type" && !tokens_[2].quoted, "node NAME type N")) return false;
            long long t;
            if (!name(1, node_.name, "node name") || !integer(3, 0, 65535, t, "node type")) return false;
            node_.nodeType = static_cast<int>(t);
            seenNode_ = true;
            nodeLine_ = line_;
            return true;
        }
        if (!seenNode_) return fail("the node line ('node NAME type N') must come first, found " + show(kw));
        if (kw == "scan") {
            long long ms;
            if (!expect(n == 2, "scan MILLISECONDS") || !integer(1, kMinScanPeriod, kMaxScanPeriod, ms, "scan period"))
                return false;
            node_.scanPeriod = static_cast<int>(ms);
            return true;
        }
        if (kw == "operator") {
            if (!expect(n == 3, "operator USER PASSWORD")) return false;
            OperatorAccount a;
            if (!name(1, a.user, "user name")) return false;
            if (tokens_[2].text.size() > static_cast<std::size_t>(kMaxText)) return fail("password longer than 255 bytes");
            a.password = tokens_[2].text;
            for (auto& o : node_.operators)
                if (o.user == a.user) return fail("duplicate operator " + show(a.user));
            node_.operators.push_back(std::move(a));
            return true;
        }
        if (kw == "login-required") {
            if (!expect(n >= 2, "login-required start|stop|view...")) return false;
            for (std::size_t i = 1; i < n; ++i) {
                const std::string& w = tokens_[i].text;
                if (w == "start") node_.loginToStart = true;
                else if (w == "stop") node_.loginToStop = true;
                else if (w == "view") node_.loginToView = true;
                else return fail("unknown login-required action " + show(w) + " (start, stop or view)");
            }
            return true;
        }
        if (kw == "group") return group();
        if (kw == "channel") return channel();
        if (kw == "members") {
            if (!expect(n >= 3, "members GROUP CHANNEL...")) return false;
            long long g;
            if (!integer(1, 0, kMaxGroupId, g, "group id")) return false;
            for (std::size_t i = 2; i < n; ++i) {
                long long c;
                if (!integer(i, 1, kMaxChannelId, c, "channel id")) return false;
                members_.push_back({static_cast<int>(g), static_cast<int>(c), line_});
            }
            return true;
        }
        if (kw == "set") return set();
        if (kw == "sim") return sim();
        return fail("unknown directive " + show(kw));
    }

    bool group() {
        const std::size_t n = tokens_.size();
        if (!expect(n == 3 || (n == 5 && tokens_[3].text == "parent" && !tokens_[3].quoted), "group ID NAME [parent ID]"))
            return false;
        long long id;
        if (!integer(1, 0, kMaxGroupId, id, "group id")) return false;
        if (id > 0 && id < kFirstGroupId)
            return fail("group id " + std::to_string(id) + " is reserved (use 0 for the top group or 32..65535)");
        auto found = node_.groups.find(static_cast<int>(id));
        if (found != node_.groups.end())
            return fail("duplicate group id " + std::to_string(id) + " (first on line " + std::to_string(found->second.line) + ")");
        GroupDefinition g;
        g.id = static_cast<int>(id);
        g.line = line_;
        if (!name(2, g.name, "group name")) return false;
        if (n == 5) {
            if (id == 0) return fail("the top group 0 has no parent");
            long long p;
            if (!integer(4, 0, kMaxGroupId, p, "parent group id")) return false;
            g.parent = static_cast<int>(p);
        }
        node_.groups.emplace(g.id, std::move(g));
        return true;
    }

    bool channel() {
        const std::size_t n = tokens_.size();
        if (!expect(n >= 5 && tokens_[2].text == "type" && !tokens_[2].quoted &&
                        (n == 5 || (tokens_[5].text == "in" && !tokens_[5].quoted && n >= 7)),
                    "channel ID type TYPE NAME [in GROUP...]"))
            return false;
        long long id, type;
        if (!integer(1, 1, kMaxChannelId, id, "channel id")) return false;
        auto dup = channelIndex_.find(static_cast<int>(id));
        if (dup != channelIndex_.end())
            return fail("duplicate channel id " + std::to_string(id) + " (first on line " +
                        std::to_string(node_.channels[dup->second].line) + ")");
        if (!parseInt(tokens_[3], 0, 15, type)) {
            long long any;
            if (parseInt(tokens_[3], -999999999999LL, 999999999999LL, any)) return fail("unknown channel type " + tokens_[3].text);
            return fail("bad number " + show(tokens_[3].text) + " for channel type");
        }
        ChannelDefinition c;
        c.id = static_cast<int>(id);
        c.type = static_cast<int>(type);
        c.line = line_;
        if (!name(4, c.name, "channel name")) return false;
        for (std::size_t i = 6; i < n; ++i) {
            long long g;
            if (!integer(i, 0, kMaxGroupId, g, "group id")) return false;
            members_.push_back({static_cast<int>(g), c.id, line_});
        }
        channelIndex_.emplace(c.id, node_.channels.size());
        node_.channels.push_back(std::move(c));
        return true;
    }

    // The channel that set/sim lines apply to, and the attribute they name.
    bool attribute(const char* directive, ChannelDefinition*& ch, int& attr) {
        if (node_.channels.empty()) return fail(std::string("'") + directive + "' before any channel line");
        ch = &node_.channels.back();
        const Token& t = tokens_[1];
        attr = attributeByName(ch->type, t.text);
        if (attr < 0) {
            long long id;
            if (parseInt(t, 0, 9999, id))
                return fail("channel " + std::to_string(ch->id) + " (type " + std::to_string(ch->type) +
                            ") has no attribute " + t.text);
            return fail("channel " + std::to_string(ch->id) + " (type " + std::to_string(ch->type) +
                        ") has no attribute named " + show(t.text));
        }
        if (attr == 48) return fail("attribute 48 (Type) is given by the channel line");
        return true;
    }

    std::string describe(int type, int attr) {
        return std::to_string(attr) + " (" + attributeName(type, attr) + ", " + kindName(layoutOf(type)->kind[attr]) + ")";
    }

    bool set() {
        if (!expect(tokens_.size() == 3, "set ATTRIBUTE VALUE")) return false;
        ChannelDefinition* ch;
        int attr;
        if (!attribute("set", ch, attr)) return false;
        Kind kind = layoutOf(ch->type)->kind[attr];
        AttributeSetting s;
        s.attr = attr;
        const std::string& v = tokens_[2].text;
        if (kind == Kind::Text) {
            if (v.size() > static_cast<std::size_t>(kMaxText)) return fail("text longer than 255 bytes");
            if (attr == 127 && v.empty()) return fail("empty channel name");
            s.isText = true;
            s.text = v;
            if (attr == 127) ch->name = v;
        } else if (!parseNumeric(kind, v, s.number)) {
            return fail("bad value " + show(v) + " for attribute " + describe(ch->type, attr));
        }
        ch->settings.push_back(std::move(s));
        return true;
    }

    bool sim() {
        const std::size_t n = tokens_.size();
        if (!expect(n >= 3, "sim ATTRIBUTE KIND PARAMETERS...")) return false;
        ChannelDefinition* ch;
        int attr;
        if (!attribute("sim", ch, attr)) return false;
        Kind kind = layoutOf(ch->type)->kind[attr];
        if (kind == Kind::Text) return fail("attribute " + describe(ch->type, attr) + " is text and cannot be simulated");
        for (auto& s : ch->simulations)
            if (s.attr == attr) return fail("attribute " + std::to_string(attr) + " is already simulated");
        struct Form {
            const char* name;
            SimKind kind;
            std::size_t required, optional;
            const char* usage;
        };
        static const Form forms[] = {
            {"constant", SimKind::Constant, 1, 0, "sim ATTRIBUTE constant VALUE"},
            {"ramp", SimKind::Ramp, 3, 0, "sim ATTRIBUTE ramp FROM TO SECONDS"},
            {"sine", SimKind::Sine, 3, 1, "sim ATTRIBUTE sine OFFSET AMPLITUDE SECONDS [PHASE_DEGREES]"},
            {"square", SimKind::Square, 3, 1, "sim ATTRIBUTE square LOW HIGH SECONDS [DUTY_PERCENT]"},
            {"walk", SimKind::Walk, 4, 1, "sim ATTRIBUTE walk START STEP MIN MAX [SEED]"},
            {"counter", SimKind::Counter, 2, 1, "sim ATTRIBUTE counter START STEP [LIMIT]"},
        };
        const Form* form = nullptr;
        for (auto& f : forms)
            if (tokens_[2].text == f.name) form = &f;
        if (!form || tokens_[2].quoted)
            return fail("unknown simulation " + show(tokens_[2].text) + " (constant, ramp, sine, square, walk, counter)");
        const std::size_t args = n - 3;
        if (args < form->required || args > form->required + form->optional) return fail(std::string("expected: ") + form->usage);
        SimulationSetting s;
        s.attr = attr;
        s.sim.kind = form->kind;
        if (form->kind == SimKind::Square) s.sim.p[3] = 50;
        for (std::size_t i = 0; i < args; ++i) {
            if (form->kind == SimKind::Walk && i == 4) {
                long long seed;
                if (!integer(3 + i, 0, 999999999999LL, seed, "seed")) return false;
                s.sim.seed = static_cast<std::uint64_t>(seed);
                continue;
            }
            double d;
            if (!parseDouble(tokens_[3 + i].text, d) || !std::isfinite(d) || tokens_[3 + i].quoted)
                return fail("bad number " + show(tokens_[3 + i].text) + " in " + form->name + " parameters");
            s.sim.p[i] = d;
        }
        if (form->kind == SimKind::Walk && args < 5)
            s.sim.seed = static_cast<std::uint64_t>(ch->id) * 256u + static_cast<std::uint64_t>(attr);
        if (form->kind == SimKind::Counter && args == 3) s.sim.hasLimit = true;
        if ((form->kind == SimKind::Ramp || form->kind == SimKind::Sine || form->kind == SimKind::Square) &&
            !(s.sim.p[2] >= 0.001))
            return fail("the period must be at least 0.001 seconds");
        if (form->kind == SimKind::Square && !(s.sim.p[3] >= 0 && s.sim.p[3] <= 100))
            return fail("the duty must lie in 0..100 percent");
        if (form->kind == SimKind::Walk) {
            if (!(s.sim.p[2] <= s.sim.p[3])) return fail("walk: MIN above MAX");
            if (!(s.sim.p[0] >= s.sim.p[2] && s.sim.p[0] <= s.sim.p[3])) return fail("walk: START outside MIN..MAX");
            if (!(s.sim.p[1] >= 0)) return fail("walk: STEP must not be negative");
        }
        if (form->kind == SimKind::Counter && s.sim.hasLimit && s.sim.p[1] > 0 && s.sim.p[2] < s.sim.p[0])
            return fail("counter: LIMIT below START");
        // The values must fit the attribute: check the extremes the simulation reaches.
        double extremes[2] = {s.sim.p[0], s.sim.p[0]};
        switch (form->kind) {
        case SimKind::Ramp: extremes[1] = s.sim.p[1]; break;
        case SimKind::Sine: extremes[0] = s.sim.p[0] - std::fabs(s.sim.p[1]); extremes[1] = s.sim.p[0] + std::fabs(s.sim.p[1]); break;
        case SimKind::Square: extremes[1] = s.sim.p[1]; break;
        case SimKind::Walk: extremes[0] = s.sim.p[2]; extremes[1] = s.sim.p[3]; break;
        case SimKind::Counter: if (s.sim.hasLimit) extremes[1] = s.sim.p[2]; break;
        default: break;
        }
        for (double e : extremes) {
            double stored;
            if (!numericFromDouble(kind, e, stored))
            {
                char value[32];
                std::snprintf(value, sizeof value, "%g", e);
                return fail(std::string("simulated value ") + value + " does not fit attribute " + describe(ch->type, attr));
            }
        }
        ch->simulations.push_back(s);
        return true;
    }

    bool finish() {
        // Parents exist and form no loop.
        for (auto& [id, g] : node_.groups) {
            if (id == 0 || g.parent == 0) continue;
            if (!node_.groups.count(g.parent))
                return failAt(g.line, "group " + std::to_string(id) + ": parent group " + std::to_string(g.parent) +
                                          " does not exist");
            int p = g.parent;
            std::size_t steps = 0;
            while (p != 0 && steps++ <= node_.groups.size()) {
                if (p == id) return failAt(g.line, "group " + std::to_string(id) + ": the parent chain forms a loop");
                p = node_.groups.at(p).parent;
            }
        }
        // Without loops every chain ends at the top; keep trees shallow enough for recursive readers.
        for (auto& [id, g] : node_.groups) {
            int depth = 1;
            for (int p = g.parent; p != 0; p = node_.groups.at(p).parent)
                if (++depth > kMaxGroupDepth)
                    return failAt(g.line, "group " + std::to_string(id) + ": groups nested deeper than " +
                                              std::to_string(kMaxGroupDepth) + " levels");
        }
        for (auto& m : members_) {
            auto g = node_.groups.find(m.group);
            if (g == node_.groups.end())
                return failAt(m.line, "group " + std::to_string(m.group) + " does not exist");
            if (!channelIndex_.count(m.channel))
                return failAt(m.line, "group " + std::to_string(m.group) + " lists unknown channel " + std::to_string(m.channel));
            auto& list = g->second.channels;
            if (std::find(list.begin(), list.end(), m.channel) != list.end())
                return failAt(m.line, "channel " + std::to_string(m.channel) + " is listed twice in group " +
                                          std::to_string(m.group));
            list.push_back(m.channel);
        }
        std::sort(node_.channels.begin(), node_.channels.end(),
                  [](const ChannelDefinition& a, const ChannelDefinition& b) { return a.id < b.id; });
        return true;
    }

    const std::string& label_;
    NodeDefinition& node_;
    std::string& error_;
    int line_ = 0;
    bool seenNode_ = false;
    int nodeLine_ = 0;
    std::vector<Token> tokens_;
    std::vector<Membership> members_;
    std::unordered_map<int, std::size_t> channelIndex_;
};

} // namespace

bool parseNodeFile(std::string_view content, const std::string& label, NodeDefinition& node, std::string& error) {
    Parser p(label, node, error);
    return p.run(content);
}

#ifdef _WIN32
bool readNodeFile(const std::wstring& path, const std::string& label, NodeDefinition& node, std::string& error) {
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f) {
        error = label + ": cannot open the file (" + std::string(errno == ENOENT ? "no such file" : std::strerror(errno)) + ")";
        return false;
    }
    std::string content;
    char buf[65536];
    std::size_t got;
    bool tooLarge = false;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) {
        if (content.size() + got > kMaxFileSize) { tooLarge = true; break; }
        content.append(buf, got);
    }
    bool readError = std::ferror(f) != 0;
    std::fclose(f);
    if (tooLarge) { error = label + ": the file is larger than 256 MiB"; return false; }
    if (readError) { error = label + ": cannot read the file"; return false; }
    return parseNodeFile(content, label, node, error);
}
#endif

} // namespace nrk
