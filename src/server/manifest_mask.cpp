#include "server/manifest_mask.hpp"

#include <string>

#include "core/tb_start.hpp"
#include "net/tb_manifest.hpp"
#include "net/tb_service.hpp"
#include "server/manifest_server.hpp"

namespace {

bool adapted_class(std::uint8_t service_class)
{
    return service_class == tb_class_room || service_class == tb_class_user || service_class == tb_class_source;
}

// Sets a string member when its text differs, in its place when it is a
// string already; true when it changed.
bool store(JsonNode* service, std::string_view name, const std::string& text)
{
    JsonNode* member = json_find_member(service, name);
    if (member && member->tag == JsonTag::string) {
        if (member->value.string == text) return false;
        member->value.string = json_mkstring(text)->value.string; // valid UTF-8, as every node text
        return true;
    }
    while ((member = json_find_member(service, name))) (void)json_remove_from_parent(member);
    json_append_member(service, name, json_mkstring(text));
    return true;
}

void adapt_file(tb_id id, int n)
{
    const std::string path = tb_start_config().manifest + "/" + tb_id_text(id) + ".kst";
    std::string text;
    if (!manifest_server_read_file(path, text)) return;
    const JsonPtr document = json_decode(text);
    if (!document || document->tag != JsonTag::object) return;
    if (!manifest_mask_adapt(document.get(), id, n)) return;
    // Written whole through a temporary file by the store's writer; the
    // store sees the new file and commits it to the service's owner.
    (void)manifest_server_queue_file(path, json_encode(document.get()));
}

} // namespace

std::string manifest_mask_text(std::string_view mask, tb_id id, int n)
{
    if (n < 0) n = 0;
    const auto slots = static_cast<std::size_t>(n);
    std::string out(mask.substr(0, std::min(mask.size(), manifest_mask_max)));
    if (out.size() > slots) {
        out.resize(slots);
    } else if (out.size() < slots) {
        out.resize(slots, tb_id_get_service_class(id) == tb_class_room ? '1' : '0');
        const std::size_t index = tb_id_get_service_index(id);
        if (index < slots) out[index] = '1';
    }
    return out;
}

std::string manifest_zone_text(std::string_view zone, int n)
{
    std::string out(zone);
    if (n > static_cast<int>(manifest_zone_short)) {
        if (out.size() < manifest_zone_long) out.resize(manifest_zone_long, '0');
    } else if (out.size() > manifest_zone_short) {
        out.resize(manifest_zone_short);
    }
    return out;
}

bool manifest_mask_adapt(JsonNode* document, tb_id id, int n)
{
    if (!document || document->tag != JsonTag::object) return false;
    bool changed = false;
    JsonNode* service = json_find_member(document, "service");
    if (!service || service->tag != JsonTag::object) {
        while (JsonNode* member = json_find_member(document, "service")) (void)json_remove_from_parent(member);
        service = json_append_member(document, "service", json_mkobject());
        changed = true;
    }
    const std::string_view mask = json_get_string(service, "mask").value_or(std::string_view{});
    changed |= store(service, "mask", manifest_mask_text(mask, id, n));
    if (tb_id_get_service_class(id) == tb_class_room) {
        const std::string_view zone = json_get_string(service, "zone").value_or(std::string_view{});
        changed |= store(service, "zone", manifest_zone_text(zone, n));
    }
    return changed;
}

void update_manifest_mask(int n)
{
    if (n < 1 || n > manifest_mask_max_slots) return;
    if (tb_start_config().manifest.empty()) return;
    for (auto* record = tb_service_get_next(nullptr); record; record = tb_service_get_next(record))
        if (adapted_class(tb_id_get_service_class(record->id))) adapt_file(record->id, n);
}
