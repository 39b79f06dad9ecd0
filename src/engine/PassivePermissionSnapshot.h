#pragma once

#include "base/Json.h"

#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace qv {

// Keeps repeated "status" polls while connected from querying the permission store every time:
// a reading is served again for less than maxAge seconds after the moment just before it was
// taken, and never across a backward or broken clock. Used on controlQueue only.
class PassivePermissionSnapshot {
public:
    using Clock = std::function<double()>;
    // Reads the permissions record {"video", "audio"} from the device layer.
    using Reader = std::function<Json()>;

    PassivePermissionSnapshot(Clock clock, Reader read);

    // A reading straight from the device layer; forgets any cached one.
    Json fresh();
    // The permissions for a status record: cached only for passive callers while connected.
    Json forStatus(bool connected, bool passive);

private:
    struct Cached {
        double started;
        Json value;
    };

    // The clock's value and whether it moved forward (or stayed) since the last look.
    std::pair<double, bool> observeClock();

    Clock clock_;
    Reader read_;
    std::optional<Cached> cached_;
    std::optional<double> lastClock_;
    double maxAge_ = 1.0;
};

}  // namespace qv
