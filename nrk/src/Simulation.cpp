#include "Simulation.h"

#include <algorithm>
#include <cmath>

namespace nrk {
namespace {

std::uint64_t splitmix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

double fraction(double x) { return x - std::floor(x); }

constexpr double kPi = 3.14159265358979323846;

} // namespace

double simulate(const Simulation& s, std::int64_t k, double period, double previous, std::uint64_t salt) {
    const double t = static_cast<double>(k) * period;
    switch (s.kind) {
    case SimKind::Constant: return s.p[0];
    case SimKind::Ramp: return s.p[0] + (s.p[1] - s.p[0]) * fraction(t / s.p[2]);
    case SimKind::Sine: return s.p[0] + s.p[1] * std::sin(2 * kPi * t / s.p[2] + s.p[3] * kPi / 180);
    case SimKind::Square: return fraction(t / s.p[2]) * 100 < s.p[3] ? s.p[1] : s.p[0];
    case SimKind::Counter: {
        if (!s.hasLimit || s.p[1] == 0) return s.p[0] + s.p[1] * static_cast<double>(k);
        // Values START, START+STEP, ... up to LIMIT, then START again.
        double n = std::floor((s.p[2] - s.p[0]) / s.p[1]) + 1;
        if (!(n >= 1)) n = 1;
        return s.p[0] + s.p[1] * std::fmod(static_cast<double>(k), n);
    }
    case SimKind::Walk: {
        if (k <= 0) return s.p[0];
        std::uint64_t r = splitmix(s.seed ^ splitmix(salt) ^ splitmix(static_cast<std::uint64_t>(k) * 0x2545F4914F6CDD1Dull));
        double u = static_cast<double>(r >> 11) / 9007199254740992.0; // [0, 1)
        double v = previous + s.p[1] * (2 * u - 1);
        return std::clamp(v, s.p[2], s.p[3]);
    }
    }
    return previous;
}

double simulationStart(const Simulation& s, double period) {
    return simulate(s, 0, period, s.p[0], 0);
}

const char* simKindName(SimKind kind) {
    switch (kind) {
    case SimKind::Constant: return "constant";
    case SimKind::Ramp: return "ramp";
    case SimKind::Sine: return "sine";
    case SimKind::Square: return "square";
    case SimKind::Walk: return "walk";
    case SimKind::Counter: return "counter";
    }
    return "?";
}

} // namespace nrk
