// How long an offline printer is left alone between two tries to open its
// line: a delay that doubles from the first up to a cap, each one moved by
// a random share, so that printers that went away together (a switched-off
// hub) do not all knock again in the same millisecond. No clock and no
// randomness of its own: the worker gives both, a test gives its own.
#pragma once

#include <algorithm>
#include <cstdint>

namespace brenvikd {

struct BackoffSchedule {
    int64_t firstMs = 1000;
    int64_t capMs = 60000;
    double jitter = 0.2;  // each delay is moved by up to this share of it, either way
};

class Backoff {
public:
    using Schedule = BackoffSchedule;

    explicit Backoff(Schedule schedule = Schedule()) : schedule_(schedule) {}

    // A try failed: the delay before the next one. random: a number in
    // [0, 1) that places it within the jitter.
    int64_t Failed(double random) {
        int64_t base = schedule_.firstMs;
        for (int i = 0; i < failures_ && base < schedule_.capMs; ++i) base *= 2;
        base = std::min(base, schedule_.capMs);
        ++failures_;
        const double moved = static_cast<double>(base) * (1.0 + schedule_.jitter * (2.0 * random - 1.0));
        return std::clamp(static_cast<int64_t>(moved), int64_t{1}, schedule_.capMs);
    }
    // A try worked: the next failure starts again from the first delay.
    void Succeeded() { failures_ = 0; }
    // Tries that failed since the last that worked.
    int failures() const { return failures_; }

private:
    Schedule schedule_;
    int failures_ = 0;
};

}  // namespace brenvikd
