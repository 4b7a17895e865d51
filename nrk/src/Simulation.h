// Value simulation while the node runs: every scan step k (k = 0 at load) gives
// each simulated attribute a new value. Everything is a function of the step
// number, the scan period and, for the random walk, the previous value and the
// seed, so a simulation is reproducible for a given clock.
#pragma once

#include <cstdint>

namespace nrk {

enum class SimKind : std::uint8_t { Constant, Ramp, Sine, Square, Walk, Counter };

struct Simulation {
    SimKind kind = SimKind::Constant;
    // constant VALUE
    // ramp FROM TO SECONDS                 sawtooth from FROM towards TO, restarting every SECONDS
    // sine OFFSET AMPLITUDE SECONDS [PHASE_DEGREES]
    // square LOW HIGH SECONDS [DUTY_PERCENT] HIGH for the first DUTY percent of each period
    // walk START STEP MIN MAX [SEED]       each step adds a uniform amount in [-STEP, STEP], kept in [MIN, MAX]
    // counter START STEP [LIMIT]           START + k*STEP; past LIMIT it starts again at START
    double p[4] = {0, 0, 0, 0};
    std::uint64_t seed = 0;
    bool hasLimit = false; // counter with LIMIT
};

// The value at step k (seconds = k * period). `previous` is the value at step
// k-1 (used by the walk only); `salt` separates walks that share a seed.
double simulate(const Simulation& sim, std::int64_t k, double periodSeconds, double previous, std::uint64_t salt);

// The value at step 0.
double simulationStart(const Simulation& sim, double periodSeconds);

const char* simKindName(SimKind kind);

} // namespace nrk
