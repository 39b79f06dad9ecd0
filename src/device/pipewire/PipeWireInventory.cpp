#include "device/pipewire/PipeWireInventory.h"

#include "base/Utf8.h"

#include <spa/utils/dict.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>

namespace qv {

namespace {

// A property as text for the host, which takes UTF-8 only.
std::string text(const spa_dict* props, const char* key) {
    const char* value = props != nullptr ? spa_dict_lookup(props, key) : nullptr;
    return value != nullptr ? replacingInvalidUtf8(value) : "";
}

// One node being described: its registry properties, then its params as they arrive.
struct PendingNode {
    PipeWireNode node;
    std::string nodeName;
    std::string description;
    std::string deviceId;
    pw_proxy* proxy = nullptr;
    spa_hook listener{};
    pw_node_events events{};
    std::vector<V4l2Format> running;
    std::optional<PipeWireAudioFormat> runningAudio;
    std::optional<PipeWireAudioFormat> offeredAudio;
};

struct Walk {
    pw_registry* registry = nullptr;
    spa_hook listener{};
    pw_registry_events events{};
    std::map<std::string, std::string> productNames;  // device global id → device.product.name
    std::vector<std::unique_ptr<PendingNode>> nodes;
};

void onParam(void* data, int /*seq*/, uint32_t id, uint32_t /*index*/, uint32_t /*next*/,
             const spa_pod* param) {
    auto& pending = *static_cast<PendingNode*>(data);
    if (pending.node.media == MediaType::video) {
        auto formats = videoFormatsOf(param);
        auto& into = id == SPA_PARAM_Format ? pending.running : pending.node.formats;
        into.insert(into.end(), formats.begin(), formats.end());
    } else if (const auto audio = audioFormatOf(param)) {
        (id == SPA_PARAM_Format ? pending.runningAudio : pending.offeredAudio) = audio;
    }
}

void onGlobal(void* data, uint32_t id, uint32_t /*permissions*/, const char* type, uint32_t /*version*/,
              const spa_dict* props) {
    auto& walk = *static_cast<Walk*>(data);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Device) == 0) {
        walk.productNames[std::to_string(id)] = text(props, PW_KEY_DEVICE_PRODUCT_NAME);
        return;
    }
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0) return;
    const std::string mediaClass = text(props, PW_KEY_MEDIA_CLASS);
    if (mediaClass != "Video/Source" && mediaClass != "Audio/Source") return;

    auto pending = std::make_unique<PendingNode>();
    pending->node.media = mediaClass == "Video/Source" ? MediaType::video : MediaType::audio;
    pending->node.serial = text(props, PW_KEY_OBJECT_SERIAL);
    pending->nodeName = text(props, PW_KEY_NODE_NAME);
    pending->description = text(props, PW_KEY_NODE_DESCRIPTION);
    pending->deviceId = text(props, PW_KEY_DEVICE_ID);
    pending->proxy = static_cast<pw_proxy*>(
        pw_registry_bind(walk.registry, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
    if (pending->proxy == nullptr) return;
    pending->events.version = PW_VERSION_NODE_EVENTS;
    pending->events.param = onParam;
    auto* node = reinterpret_cast<pw_node*>(pending->proxy);
    pw_node_add_listener(node, &pending->listener, &pending->events, pending.get());
    pw_node_enum_params(node, 0, SPA_PARAM_EnumFormat, 0, UINT32_MAX, nullptr);
    pw_node_enum_params(node, 0, SPA_PARAM_Format, 0, UINT32_MAX, nullptr);
    walk.nodes.push_back(std::move(pending));
}

}  // namespace

std::vector<PipeWireNode> listPipeWireNodes(PipeWireConnection& connection, double timeoutSeconds) {
    Walk walk;
    std::vector<PipeWireNode> found;
    PipeWireConnection::Lock lock(connection);
    walk.registry = pw_core_get_registry(connection.core(), PW_VERSION_REGISTRY, 0);
    if (walk.registry == nullptr) return found;
    walk.events.version = PW_VERSION_REGISTRY_EVENTS;
    walk.events.global = onGlobal;
    pw_registry_add_listener(walk.registry, &walk.listener, &walk.events, &walk);
    // The first round trip brings the globals; the second the params asked for on binding, which
    // a node running in another process may answer only after the first has come back.
    const bool complete = connection.roundTrip(timeoutSeconds) && connection.roundTrip(timeoutSeconds);
    spa_hook_remove(&walk.listener);

    std::set<std::string> ids;
    for (auto& pending : walk.nodes) {
        spa_hook_remove(&pending->listener);
        pw_proxy_destroy(pending->proxy);
        if (!complete) continue;
        auto& node = pending->node;
        const auto product = walk.productNames.find(pending->deviceId);
        node.name = product != walk.productNames.end() && !product->second.empty() ? product->second
                                                                                   : pending->description;
        node.uniqueId = "pipewire:" + pending->nodeName;
        if (!ids.insert(node.uniqueId).second) {
            node.uniqueId.append("/").append(node.serial);
            ids.insert(node.uniqueId);
        }
        if (node.media == MediaType::video) {
            // The running format, with the rate ranges its size has in EnumFormat.
            for (const auto& format : node.formats) {
                const bool runs =
                    pending->running.empty() || (format.pixelFormat == pending->running.front().pixelFormat &&
                                                 format.width == pending->running.front().width &&
                                                 format.height == pending->running.front().height);
                if (runs) {
                    node.active = format;
                    break;
                }
            }
        } else {
            node.audio =
                pending->runningAudio.value_or(pending->offeredAudio.value_or(PipeWireAudioFormat{}));
        }
        found.push_back(std::move(node));
    }
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(walk.registry));
    return found;
}

}  // namespace qv
