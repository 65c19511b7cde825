// What the benchmark programs report about themselves: wall time, processor
// time of every thread, context switches and the peak resident size, as one
// "key=value" line that bench/run.py reads.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

namespace bench {

struct Sample {
    double wall = 0;      // seconds
    double cpu = 0;       // user + system seconds, all threads
    long voluntary = 0;   // context switches: waits that blocked
    long involuntary = 0; // context switches: preemptions
};

inline Sample Now()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    Sample s;
    s.wall = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    s.cpu = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
            static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    s.voluntary = u.ru_nvcsw;
    s.involuntary = u.ru_nivcsw;
    return s;
}

// The peak resident set of this process in KiB (VmHWM).
inline long PeakKiB()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        long value = 0;
        if (key == "VmHWM:" && status >> value)
            return value;
        status.ignore(1 << 16, '\n');
    }
    return -1;
}

// One result line: the difference between two samples, and the peak memory.
inline void Report(const char* what, long count, const Sample& a, const Sample& b)
{
    std::printf("result what=%s count=%ld wall=%.6f cpu=%.6f vcsw=%ld ivcsw=%ld hwm_kib=%ld\n", what, count,
                b.wall - a.wall, b.cpu - a.cpu, b.voluntary - a.voluntary, b.involuntary - a.involuntary,
                PeakKiB());
    std::fflush(stdout);
}

}  // namespace bench
