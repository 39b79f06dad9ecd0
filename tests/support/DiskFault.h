#pragma once

#include "files/FileIo.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <thread>

namespace qvtest {

// A disk that fills up or fails, for OwnedFiles' image writes. It takes `room` more bytes (negative:
// as many as the real disk), then fails the next `failures` writes (negative: all of them) with
// `error`, or makes no progress when `error` is 0; after that it writes again. A close fails with
// `closeError` when that is set. With `only` set, other threads see the real disk.
struct DiskFault {
    std::atomic<std::int64_t> room{-1};
    std::atomic<int> failures{-1};
    std::atomic<int> error{ENOSPC};
    std::atomic<int> closeError{0};
    std::atomic<std::thread::id> only{};
    std::atomic<int> closes{0};

    bool applies() const {
        return only.load() == std::thread::id() || only.load() == std::this_thread::get_id();
    }
};

inline qv::FileIo faultyIo(const std::shared_ptr<DiskFault>& fault) {
    return {[fault](int fd, const void* data, std::size_t count) -> ssize_t {
                const std::int64_t room = fault->room;
                if (room < 0 || fault->failures == 0 || !fault->applies()) return ::write(fd, data, count);
                if (room == 0) {
                    if (fault->failures > 0) --fault->failures;
                    errno = fault->error;
                    return fault->error == 0 ? 0 : -1;
                }
                const ssize_t written = ::write(fd, data, std::min<std::size_t>(count, room));
                if (written > 0) fault->room -= written;
                return written;
            },
            [fault](int fd) {
                ++fault->closes;
                const int result = ::close(fd);
                if (fault->closeError == 0 || !fault->applies()) return result;
                errno = fault->closeError;
                return -1;
            }};
}

}  // namespace qvtest
