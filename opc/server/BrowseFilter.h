// The browse filter language: '*' any run of characters, '?' one character, '#' one digit,
// [list] and [!list] one character from or not from a list, [[] []] [#] [*] [?] the bracketed
// character itself; every other character stands for itself. Letter case counts, and a name
// passes only when the whole name matches.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace opc::server {

// The regular-expression text that a filter turns into.
std::wstring BrowseFilterToRegex(std::wstring_view filter);

// The filter text does not form a valid pattern (for example an unclosed '[').
class InvalidBrowseFilter : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

class BrowseFilter {
public:
    // Throws InvalidBrowseFilter when the text does not compile, std::bad_alloc when memory runs out.
    explicit BrowseFilter(std::wstring_view filter);
    ~BrowseFilter();
    BrowseFilter(BrowseFilter&&) noexcept;
    BrowseFilter& operator=(BrowseFilter&&) noexcept;

    // True when the whole name matches. Throws std::runtime_error when the regular-expression
    // engine gives up on a match that grows too complex.
    bool Matches(std::wstring_view name) const;

private:
    struct Pattern;
    std::unique_ptr<Pattern> pattern_;
};

} // namespace opc::server
