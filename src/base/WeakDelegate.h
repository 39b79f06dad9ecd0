#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace qv {

// A delegate held weakly and swapped from any thread: a data output looks it up again for every
// delivery, so one cleared or gone receives nothing more.
template <typename Delegate>
class WeakDelegate {
public:
    void set(std::weak_ptr<Delegate> delegate) {
        std::lock_guard lock(mutex_);
        delegate_ = std::move(delegate);
    }
    void clear() {
        std::lock_guard lock(mutex_);
        delegate_.reset();
    }
    std::shared_ptr<Delegate> get() {
        std::lock_guard lock(mutex_);
        return delegate_.lock();
    }

private:
    std::mutex mutex_;
    std::weak_ptr<Delegate> delegate_;
};

}  // namespace qv
