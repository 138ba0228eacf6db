// How a rig is measured: the highest rate it sustains (bisection, two of three tries
// decide, three runs), the relay's CPU time per delivery, and latency at 1000/s.
#pragma once

#include "bench/relay_bench/rig.h"

namespace relay_bench {

struct Figures {
    double forwarded[3];  // per second, three runs, sorted
    double p50_us, p99_us;
    double cpu_us_per_delivery;  // of the relay process; 0 where not measured
};

// Offers `rate` messages per second for one try; true when every receiver got at
// least 99% of them.
bool Try(Rig& rig, int receivers, double rate);
Figures Measure(const RigMaker& make, int receivers);

}  // namespace relay_bench
