#include "ValueCodec.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace nrk {
namespace {

bool rangeOf(Kind kind, double& lo, double& hi) {
    switch (kind) {
    case Kind::Bool: lo = 0; hi = 1; return true;
    case Kind::UI1: lo = 0; hi = 255; return true;
    case Kind::UI2: lo = 0; hi = 65535; return true;
    case Kind::UI4: lo = 0; hi = 4294967295.0; return true;
    case Kind::I2: lo = -32768; hi = 32767; return true;
    case Kind::I4: lo = -2147483648.0; hi = 2147483647.0; return true;
    case Kind::Date: lo = -2147483648.0; hi = 2147483647.0; return true;
    default: return false;
    }
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool equalsNoCase(std::string_view a, const char* b) {
    std::size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
    return true;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
long long daysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void civilFromDays(long long z, long long& y, unsigned& m, unsigned& d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<long long>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

bool parseDate(std::string_view s, double& out) {
    // "YYYY-MM-DD", optionally followed by " HH:MM" or " HH:MM:SS" (or "T").
    char buf[40];
    if (s.size() >= sizeof buf) return false;
    std::memcpy(buf, s.data(), s.size());
    buf[s.size()] = 0;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, se = 0, used = 0;
    if (std::sscanf(buf, "%4d-%2d-%2d%n", &y, &mo, &d, &used) != 3 || used != 10) return false;
    const char* rest = buf + used;
    if (*rest) {
        if (*rest != ' ' && *rest != 'T') return false;
        ++rest;
        int used2 = 0;
        if (std::sscanf(rest, "%2d:%2d:%2d%n", &h, &mi, &se, &used2) == 3 && rest[used2] == 0) {
        } else if (std::sscanf(rest, "%2d:%2d%n", &h, &mi, &used2) == 2 && rest[used2] == 0) {
            se = 0;
        } else {
            return false;
        }
    }
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 59 || h < 0 || mi < 0 || se < 0)
        return false;
    long long days = daysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
    long long y2; unsigned m2, d2;
    civilFromDays(days, y2, m2, d2);
    if (y2 != y || static_cast<int>(m2) != mo || static_cast<int>(d2) != d) return false; // 2026-02-31
    double t = static_cast<double>(days) * 86400.0 + h * 3600.0 + mi * 60.0 + se;
    if (t < -2147483648.0 || t > 2147483647.0) return false;
    out = t;
    return true;
}

} // namespace

bool numericFromInt(Kind kind, std::int32_t in, double& out) {
    switch (kind) {
    case Kind::UI4: out = static_cast<double>(static_cast<std::uint32_t>(in)); return true;
    case Kind::Bool: out = in != 0 ? 1 : 0; return true;
    case Kind::R4: out = static_cast<double>(static_cast<float>(in)); return true;
    case Kind::R8: out = in; return true;
    default: return numericFromDouble(kind, in, out);
    }
}

bool numericFromDouble(Kind kind, double in, double& out) {
    if (kind == Kind::R8) { out = in; return true; }
    if (kind == Kind::R4) {
        if (std::isfinite(in) && std::fabs(in) > FLT_MAX) {
            // Rounding may still land on FLT_MAX.
            if (std::fabs(in) > static_cast<double>(FLT_MAX) * (1 + FLT_EPSILON / 2)) return false;
        }
        out = static_cast<double>(static_cast<float>(in));
        return true;
    }
    if (!std::isfinite(in)) return false;
    if (kind == Kind::Bool) { out = in != 0 ? 1 : 0; return true; }
    double lo, hi;
    if (!rangeOf(kind, lo, hi)) return false;
    double r = std::nearbyint(in);
    if (std::fabs(in - std::trunc(in)) == 0.5) r = in < 0 ? std::floor(in) : std::ceil(in); // half away from zero
    if (r < lo || r > hi) return false;
    out = r;
    return true;
}

bool numericFromDoubleClamped(Kind kind, double in, double& out) {
    double lo, hi;
    if (kind == Kind::R4 && std::isfinite(in)) in = std::clamp(in, -static_cast<double>(FLT_MAX), static_cast<double>(FLT_MAX));
    if (rangeOf(kind, lo, hi) && kind != Kind::Bool && !std::isnan(in)) in = std::clamp(in, lo, hi);
    return numericFromDouble(kind, in, out);
}

bool numericToInt(Kind kind, double v, std::int32_t& out) {
    if (kind == Kind::UI4) {
        if (!(v >= 0 && v <= 4294967295.0)) return false;
        out = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
        return true;
    }
    if (!std::isfinite(v)) return false;
    double r = std::round(v);
    if (r < -2147483648.0 || r > 2147483647.0) return false;
    out = static_cast<std::int32_t>(r);
    return true;
}

bool numericToFloat(Kind, double v, float& out) {
    if (std::isfinite(v) && std::fabs(v) > FLT_MAX) return false;
    out = static_cast<float>(v);
    return true;
}

bool numericToDouble(Kind, double v, double& out) {
    out = v;
    return true;
}

bool formatNumeric(Kind kind, double v, char* text, std::size_t size) {
    if (!text || size == 0) return false;
    char buf[64];
    std::size_t n = 0;
    if (kind == Kind::R4 || kind == Kind::R8) {
        if (std::isnan(v)) n = static_cast<std::size_t>(std::snprintf(buf, sizeof buf, "nan"));
        else if (std::isinf(v)) n = static_cast<std::size_t>(std::snprintf(buf, sizeof buf, v < 0 ? "-inf" : "inf"));
        else {
            auto r = kind == Kind::R4 ? std::to_chars(buf, buf + sizeof buf, static_cast<float>(v))
                                      : std::to_chars(buf, buf + sizeof buf, v);
            n = static_cast<std::size_t>(r.ptr - buf);
        }
    } else if (kind == Kind::Date) {
        long long t = static_cast<long long>(v);
        long long days = t >= 0 ? t / 86400 : -((-t + 86399) / 86400);
        long long secs = t - days * 86400;
        long long y; unsigned m, d;
        civilFromDays(days, y, m, d);
        n = static_cast<std::size_t>(std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02lld:%02lld:%02lld", y, m, d,
                                                   secs / 3600, secs / 60 % 60, secs % 60));
    } else {
        n = static_cast<std::size_t>(std::snprintf(buf, sizeof buf, "%.0f", v));
    }
    if (n + 1 > size) {
        text[0] = 0;
        return false;
    }
    std::memcpy(text, buf, n);
    text[n] = 0;
    return true;
}

bool parseDouble(std::string_view text, double& out) {
    std::string_view s = trim(text);
    if (s.empty() || s.size() > 60) return false;
    char buf[64];
    std::memcpy(buf, s.data(), s.size());
    buf[s.size()] = 0;
    // Plain decimal or hex integers and reals; no locale-dependent forms.
    for (char c : s)
        if (!(std::isdigit(static_cast<unsigned char>(c)) || std::strchr("+-.eExXabcdefABCDEFinftyINFTYaN", c)))
            return false;
    if (s.size() > 2 && (s[0] == '0') && (s[1] == 'x' || s[1] == 'X')) {
        unsigned long long u = 0;
        auto r = std::from_chars(s.data() + 2, s.data() + s.size(), u, 16);
        if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return false;
        out = static_cast<double>(u);
        return true;
    }
    double d = 0;
    auto r = std::from_chars(s.data() + (s[0] == '+' ? 1 : 0), s.data() + s.size(), d);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return false;
    out = d;
    return true;
}

bool parseNumeric(Kind kind, std::string_view text, double& out) {
    std::string_view s = trim(text);
    if (kind == Kind::Bool) {
        if (equalsNoCase(s, "true") || equalsNoCase(s, "on") || equalsNoCase(s, "yes")) { out = 1; return true; }
        if (equalsNoCase(s, "false") || equalsNoCase(s, "off") || equalsNoCase(s, "no")) { out = 0; return true; }
    }
    if (kind == Kind::Date && parseDate(s, out)) return true;
    double d = 0;
    if (!parseDouble(s, d)) return false;
    if (kind != Kind::R4 && kind != Kind::R8 && kind != Kind::Bool && d != std::trunc(d)) return false;
    return numericFromDouble(kind, d, out);
}

} // namespace nrk
