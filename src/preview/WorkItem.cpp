#include "preview/WorkItem.h"

#include <utility>

namespace qv {

WorkItem::WorkItem(std::function<void()> work) : work_(std::move(work)) {}

void WorkItem::perform() {
    if (cancelled_.load() || performed_.exchange(true)) return;
    work_();
}

void WorkItem::cancel() {
    cancelled_.store(true);
}

}  // namespace qv
