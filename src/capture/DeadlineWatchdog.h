#pragma once
// PLACEHOLDER until the foundation lands; never merged.
#include <functional>
namespace qv {
class DeadlineWatchdog {
public:
    DeadlineWatchdog(double, double, std::function<void()>, std::function<void()>) {}
    void cancel() {}
};
}  // namespace qv
