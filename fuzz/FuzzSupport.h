// FuzzSupport.h: what every fuzz target of the library shares.
#pragma once

#include "ZrGameDatabase/IDatabaseLogger.h"

namespace FuzzSupport {

// A broken invariant is a finding: stop the way libFuzzer records a crash.
inline void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

// Fuzzed inputs fail by the million; their log lines would only slow the campaign.
class SilentLogger : public Database::IDatabaseLogger {
public:
    void Log(const char*, int) override {}
};

}  // namespace FuzzSupport
