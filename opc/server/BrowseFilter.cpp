#include "opc/server/BrowseFilter.h"

#include <boost/regex.hpp>

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

struct BrowseFilter::Pattern {
    boost::wregex regex;
};

BrowseFilter::BrowseFilter(std::wstring_view filter) {
    std::wstring text = BrowseFilterToRegex(filter);
    try {
        pattern_ = std::make_unique<Pattern>(Pattern{boost::wregex(text, boost::regex::extended)});
    } catch (const boost::regex_error& e) {
        throw InvalidBrowseFilter(e.what());
    }
}

BrowseFilter::~BrowseFilter() = default;
BrowseFilter::BrowseFilter(BrowseFilter&&) noexcept = default;
BrowseFilter& BrowseFilter::operator=(BrowseFilter&&) noexcept = default;

bool BrowseFilter::Matches(std::wstring_view name) const {
    return boost::regex_match(name.begin(), name.end(), pattern_->regex);
}

} // namespace opc::server
