#include "base/FaultInjection.h"

#include <atomic>
#include <cerrno>
#include <system_error>

namespace qv {

namespace {
std::atomic<std::uint64_t> counted{0};
std::atomic<std::uint64_t> failing{0};
std::atomic<bool> happened{false};
}  // namespace

bool FaultInjection::refuses(Kind kind) {
    const std::uint64_t nth = counted.fetch_add(1, std::memory_order_relaxed) + 1;
    const std::uint64_t chosen = failing.load(std::memory_order_relaxed);
    if (chosen == 0 || nth != chosen) return false;
    happened.store(true);
    errno = kind == Kind::thread ? EAGAIN : EMFILE;
    return true;
}

void FaultInjection::acquire(Kind kind) {
    if (refuses(kind))
        throw std::system_error(errno, std::generic_category(), "injected acquisition failure");
}

void FaultInjection::failAt(std::uint64_t nth) {
    failing.store(0);
    counted.store(0);
    happened.store(false);
    failing.store(nth);
}

std::uint64_t FaultInjection::count() {
    return counted.load();
}

bool FaultInjection::fired() {
    return happened.load();
}

}  // namespace qv
