#include "engine/EngineState.h"

namespace qv {

const char* protocolName(Connection connection) {
    switch (connection) {
        case Connection::disconnected:
            return "disconnected";
        case Connection::connecting:
            return "connecting";
        case Connection::connected:
            return "connected";
        case Connection::stopping:
            return "stopping";
        case Connection::failed:
            return "failed";
        case Connection::closed:
            return "closed";
    }
    return "failed";
}

}  // namespace qv
