#include "opc/server/BrowseFilter.h"

#include <boost/regex.hpp>

#include <map>
#include <optional>
#include <vector>

namespace opc::server {

namespace {

// Replaces every occurrence of `from`, left to right without overlap; replaced text is not searched again.
void ReplaceAll(std::wstring& text, std::wstring_view from, std::wstring_view to) {
    std::wstring out;
    out.reserve(text.size() + text.size() / 2);
    std::size_t pos = 0;
    for (;;) {
        std::size_t hit = text.find(from, pos);
        if (hit == std::wstring::npos) break;
        out.append(text, pos, hit - pos);
        out.append(to);
        pos = hit + from.size();
    }
    out.append(text, pos, std::wstring::npos);
    text.swap(out);
}

// Replaces each `wildcard` not directly preceded by a backslash.
void ReplaceWildcard(std::wstring& text, wchar_t wildcard, std::wstring_view to) {
    std::size_t pos = 0;
    while ((pos = text.find(wildcard, pos)) != std::wstring::npos) {
        if (pos > 0 && text[pos - 1] == L'\\') {
            ++pos;
            continue;
        }
        text.replace(pos, 1, to);
        pos += to.size();
    }
}

} // namespace

std::wstring BrowseFilterToRegex(std::wstring_view filter) {
    // A backslash stands for itself as the group "(\\)"; the group's own parentheses must not be
    // escaped by the rows that follow, so the text is split at backslashes, the rows run on each
    // piece (none of them contains a backslash), and the pieces are joined with the group.
    static constexpr std::wstring_view kLiterals[][2] = {
        {L".", L"\\."},   {L"(", L"\\("},    {L")", L"\\)"},
        {L"{", L"\\{"},     {L"}", L"\\}"},   {L"+", L"\\+"},    {L"|", L"\\|"},
        {L"^", L"\\^"},     {L"$", L"\\$"},   {L"[[]", L"(\\[)"}, {L"[]]", L"\\]"},
        {L"[#]", L"\\#"},   {L"[*]", L"\\*"}, {L"[?]", L"\\?"},  {L"[!", L"[^"},
    };
    std::wstring text;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = filter.find(L'\\', start);
        std::wstring piece(filter.substr(start, end == std::wstring_view::npos ? end : end - start));
        for (const auto& row : kLiterals) ReplaceAll(piece, row[0], row[1]);
        text += piece;
        if (end == std::wstring_view::npos) break;
        text += L"(\\\\)";
        start = end + 1;
    }
    ReplaceWildcard(text, L'#', L"\\d");
    ReplaceWildcard(text, L'*', L"([\\s\\S]{0,})");
    ReplaceWildcard(text, L'?', L"([\\s\\S])");
    return text;
}

namespace {

// One step of a compiled filter: a run of any characters, or a test of one character.
struct Step {
    enum class Kind : unsigned char { Run, Any, Literal, Class } kind;
    wchar_t literal = 0;
    std::size_t set = 0; // index into the pattern's sets for Kind::Class
};

// A character set of the pattern: a bracket expression or the digit class. Membership is the
// regular-expression engine's own answer for the set alone; ASCII answers are kept.
class CharSet {
public:
    explicit CharSet(const std::wstring& text) : regex_(text, boost::regex::extended) {
        for (wchar_t c = 0; c < 128; ++c) ascii_[c] = Ask(c);
    }
    bool Has(wchar_t c) const { return c < 128 ? ascii_[c] : Ask(c); }

private:
    bool Ask(wchar_t c) const { return boost::regex_match(&c, &c + 1, regex_); }
    boost::wregex regex_;
    bool ascii_[128];
};

constexpr std::wstring_view kRunGroup = L"([\\s\\S]{0,})";
constexpr std::wstring_view kAnyGroup = L"([\\s\\S])";
constexpr std::wstring_view kBackslashGroup = L"(\\\\)";
constexpr std::wstring_view kBracketGroup = L"(\\[)";

// The end (one past the closing ']') of the bracket expression that starts at `open`, or npos
// when it is not closed.
std::size_t BracketEnd(std::wstring_view text, std::size_t open) {
    std::size_t i = open + 1;
    if (i < text.size() && text[i] == L'^') ++i;
    if (i < text.size() && text[i] == L']') ++i; // a leading ']' is a member
    while (i < text.size()) {
        const wchar_t c = text[i];
        if (c == L']') return i + 1;
        if (c == L'[' && i + 1 < text.size() && (text[i + 1] == L':' || text[i + 1] == L'=' || text[i + 1] == L'.')) {
            const wchar_t close[] = {text[i + 1], L']', 0};
            const std::size_t end = text.find(close, i + 2);
            if (end == std::wstring_view::npos) return std::wstring_view::npos;
            i = end + 2;
            continue;
        }
        ++i;
    }
    return std::wstring_view::npos;
}

} // namespace

// The filter as steps: each step but a run stands for exactly one character, so a name is
// matched in time proportional to its length times the number of steps, without backtracking.
// Filters whose regular expression does not split into such steps (a bracket that swallows part
// of a wildcard's group) keep the whole expression.
struct BrowseFilter::Pattern {
    std::vector<Step> steps;
    std::vector<CharSet> sets;
    std::optional<boost::wregex> whole;

    // False when the text is not a sequence of steps.
    bool Split(std::wstring_view text) {
        std::map<std::wstring, std::size_t, std::less<>> known;
        auto addSet = [&](std::wstring setText) {
            auto found = known.find(setText);
            if (found == known.end()) {
                sets.emplace_back(setText);
                found = known.emplace(std::move(setText), sets.size() - 1).first;
            }
            steps.push_back({Step::Kind::Class, 0, found->second});
        };
        std::size_t i = 0;
        while (i < text.size()) {
            const std::wstring_view rest = text.substr(i);
            if (rest.substr(0, kRunGroup.size()) == kRunGroup) {
                // Adjacent runs are one run.
                if (steps.empty() || steps.back().kind != Step::Kind::Run) steps.push_back({Step::Kind::Run});
                i += kRunGroup.size();
            } else if (rest.substr(0, kAnyGroup.size()) == kAnyGroup) {
                steps.push_back({Step::Kind::Any});
                i += kAnyGroup.size();
            } else if (rest.substr(0, kBackslashGroup.size()) == kBackslashGroup) {
                steps.push_back({Step::Kind::Literal, L'\\'});
                i += kBackslashGroup.size();
            } else if (rest.substr(0, kBracketGroup.size()) == kBracketGroup) {
                steps.push_back({Step::Kind::Literal, L'['});
                i += kBracketGroup.size();
            } else if (rest[0] == L'\\') {
                if (rest.size() < 2) return false;
                if (rest[1] == L'd') addSet(L"\\d");
                else steps.push_back({Step::Kind::Literal, rest[1]});
                i += 2;
            } else if (rest[0] == L'[') {
                const std::size_t end = BracketEnd(text, i);
                if (end == std::wstring_view::npos) return false;
                addSet(std::wstring(text.substr(i, end - i)));
                i = end;
            } else if (rest[0] == L'(' || rest[0] == L')' || rest[0] == L'{' || rest[0] == L'}' || rest[0] == L'*' ||
                       rest[0] == L'+' || rest[0] == L'?' || rest[0] == L'|' || rest[0] == L'^' || rest[0] == L'$' ||
                       rest[0] == L'.') {
                return false; // an operator left over by a bracket that swallowed part of a group
            } else {
                steps.push_back({Step::Kind::Literal, rest[0]});
                ++i;
            }
        }
        return true;
    }

    bool StepMatches(const Step& step, wchar_t c) const {
        switch (step.kind) {
        case Step::Kind::Any: return true;
        case Step::Kind::Literal: return c == step.literal;
        case Step::Kind::Class: return sets[step.set].Has(c);
        case Step::Kind::Run: break;
        }
        return false;
    }

    // Wildcard matching with a single backtrack point, the last run seen: a later run makes
    // every earlier choice final, so each name position is tried at most once per run.
    bool Matches(std::wstring_view name) const {
        std::size_t s = 0, n = 0;
        std::size_t runStep = std::wstring_view::npos, runName = 0;
        while (n < name.size()) {
            if (s < steps.size() && steps[s].kind == Step::Kind::Run) {
                runStep = s++;
                runName = n;
            } else if (s < steps.size() && StepMatches(steps[s], name[n])) {
                ++s;
                ++n;
            } else if (runStep != std::wstring_view::npos) {
                s = runStep + 1;
                n = ++runName;
            } else {
                return false;
            }
        }
        while (s < steps.size() && steps[s].kind == Step::Kind::Run) ++s;
        return s == steps.size();
    }
};

BrowseFilter::BrowseFilter(std::wstring_view filter) {
    const std::wstring text = BrowseFilterToRegex(filter);
    auto pattern = std::make_unique<Pattern>();
    try {
        if (!pattern->Split(text)) {
            pattern->steps.clear();
            pattern->sets.clear();
            pattern->whole.emplace(text, boost::regex::extended);
        }
    } catch (const boost::regex_error& e) {
        throw InvalidBrowseFilter(e.what());
    }
    pattern_ = std::move(pattern);
}

BrowseFilter::~BrowseFilter() = default;
BrowseFilter::BrowseFilter(BrowseFilter&&) noexcept = default;
BrowseFilter& BrowseFilter::operator=(BrowseFilter&&) noexcept = default;

bool BrowseFilter::Matches(std::wstring_view name) const {
    if (pattern_->whole) return boost::regex_match(name.begin(), name.end(), *pattern_->whole);
    return pattern_->Matches(name);
}

} // namespace opc::server
