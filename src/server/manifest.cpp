#include "server/manifest.hpp"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/tb_syslog.hpp"
#include "core/tb_wire.hpp"
#include "net/tb_device.hpp"
#include "net/tb_manifest.hpp"
#include "net/tb_service.hpp"

namespace {

struct locale_row {
    const char *english;
    const char *german;
};

constexpr std::array<locale_row, locale_count> locale_table = {{
    {"User listening to %s", "Benutzer hört %s"},
    {"Source not selected", "Keine Musik selektiert"},
    {"Room used by %s", "Raum benutzt von %s"},
    {"Room playing %s", "Raum spielt %s"},
    {"Room not used", "Raum nicht benutzt"},
    {"No entries found", "Keine Einträge gefunden"},
    {"No information", "Keine Information"},
    {"%s - play %s (%s)", "%s - spiele %s (%s)"},
    {"%s - Room off", "%s - Raum aus"},
    {"System off", "System aus"},
    {"Volume", "Lautstärke"},
    {"Balance", "Balance"},
    {"Bass", "Tiefen"},
    {"Treble", "Höhen"},
    {"Room currently switched off", "Raum ist zur Zeit nicht eingeschaltet"},
    {"No room currently switched on", "Zur Zeit ist kein Raum eingeschaltet"},
    {"Connecting...", "Verbinden..."},
    {"Buffering...", "Puffern..."},
    {"Favorites", "Favoriten"},
    {"Add to favorites", "Zu Favoriten hinzufügen"},
    {"Remove from favorites", "Aus Favoriten entfernen"},
    {"Delete favorite permanently", "Favorit endgültig löschen"},
    {"Move left", "Nach links schieben"},
    {"Move right", "Nach rechts schieben"},
    {"Move to the beginning", "An den Anfang verschieben"},
    {"Move to the end", "An das Ende verschieben"},
    {"Not connected", "Nicht verbunden"},
    {"Login error", "Login Fehler"},
    {"Connected", "Verbunden"},
    {"Enable", "Aktivieren"},
    {"Disable", "Deaktivieren"},
    {"Name", "Name"},
    {"Create new playlist:", "Neue Playlist erstellen:"},
    {"Or add to an existing playlist:", "Zu vorhandener Playlist hinzufügen:"},
    {"Or replace an existing playlist:", "Oder vorhandene Playlist ersetzen:"},
    {"Set as default playlist", "Als Standard-Playliste festlegen"},
    {"Add to My Music", "Zu meiner Musiksammlung hinzufügen"},
    {"Remove from My Music", "Aus meiner Musiksammlung entfernen"},
    {"default", "standard"},
    {"Subscribe", "Abonnieren"},
    {"Subscribe to Premium+ to get unlimited skips.",
     "Für unbegrenzte Skips: Premium+ abonnieren."},
    {"This track is not available.", "Dieser Titel ist nicht verfügbar."},
    {"Incorrect password", "Passwort ist nicht korrekt"},
}};

bool is_object(const JsonNode *node) {
    return node != nullptr && node->tag == JsonTag::object;
}

// The buffer's text: up to its first NUL, never past its end.
std::string_view buffer_text(std::span<const char> buffer) {
    const auto nul = std::find(buffer.begin(), buffer.end(), '\0');
    return {buffer.data(), static_cast<std::size_t>(nul - buffer.begin())};
}

// Copies text into buffer with its NUL, cut so that no UTF-8 sequence is
// split.
void copy_cut(std::span<char> buffer, std::string_view text) {
    if (buffer.empty())
        return;
    std::size_t n = std::min(text.size(), buffer.size() - 1);
    if (n < text.size())
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
            --n;
    if (n > 0)
        std::memcpy(buffer.data(), text.data(), n);
    buffer[n] = '\0';
}

void remove_members(JsonNode *object, std::string_view name) {
    while (JsonNode *member = json_find_member(object, name))
        (void)json_remove_from_parent(member);
}

// name_format with index + 1 for its one integer conversion. Anything else
// that looks like a conversion is copied as it stands, so that no format
// can read arguments that are not there.
std::string format_name(std::string_view format, int number) {
    std::string out;
    bool converted = false;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            out += format[i];
            continue;
        }
        if (i + 1 < format.size() && format[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        while (j < format.size() && std::strchr("-+ 0#", format[j]) && format[j] != '\0')
            ++j;
        const std::size_t width_start = j;
        while (j < format.size() && j - width_start < 2 && format[j] >= '0' && format[j] <= '9')
            ++j;
        if (!converted && j < format.size() && (format[j] == 'i' || format[j] == 'd')) {
            const std::string conversion(format.substr(i, j - i + 1));
            std::array<char, 64> text{};
            std::snprintf(text.data(), text.size(), conversion.c_str(), number);
            out += text.data();
            converted = true;
            i = j;
            continue;
        }
        out += '%';
    }
    return out;
}

void set_default_mask_zone(manifest_object &object) {
    const std::uint8_t index = tb_id_get_service_index(object.id);
    object.default_mask = {};
    object.default_zone = {};
    switch (tb_id_get_service_class(object.id)) {
    case tb_class_room:
        tb_copy_text(object.default_mask, "1111111111");
        tb_copy_text(object.default_zone, "1000000000");
        break;
    case tb_class_user:
    case tb_class_source:
        tb_copy_text(object.default_mask, "0000000000");
        // The last byte stays the terminator.
        if (index < object.default_mask.size() - 1)
            object.default_mask[index] = '1';
        break;
    default:
        break;
    }
}

void service_proc(void *context, tb_service_record &record, std::uint32_t events) {
    auto &object = *static_cast<manifest_object *>(context);
    if (!(events & tb_event_name) || !object.document || record.id != object.id)
        return;
    JsonNode *service = json_default_member(object.document.get(), "service");
    std::array<char, tb_service_name_size> name{};
    tb_service_get_name(object.id, name, true);
    const auto current = json_get_string(service, "name");
    if (current && *current == tb_text(name))
        return;
    json_replace_string(service, "name", tb_text(name));
    manifest_save(object, false);
}

// Reads a `service` text member with its default and hands it to a setter.
template <typename Setter>
void apply_text(manifest_object &object, JsonNode *service, std::string_view name,
                std::string_view fallback, Setter setter) {
    std::array<char, manifest_text_size> text{};
    copy_cut(text, fallback);
    json_default_string(service, name, text);
    setter(object.id, buffer_text(text));
}

} // namespace

int manifest_atoi(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            break;
    }
    if (negative)
        value = -value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

void manifest_init(manifest_object &object, tb_id id, std::string_view model,
                   std::string_view name_format, std::uint32_t limit) {
    object.id = id;
    object.limit = limit != 0 ? std::min(limit, tb_manifest_max_limit) : tb_manifest_default_limit;
    if (!name_format.empty() && name_format.front() == '#')
        tb_copy_text(object.default_name, tb_id_text(id));
    else
        tb_copy_text(object.default_name,
                     format_name(name_format, tb_id_get_service_index(id) + 1));
    set_default_mask_zone(object);
    std::array<char, tb_service_magic_size> magic{};
    tb_service_get_magic(id, magic);
    const std::string_view magic_text = tb_text(magic);
    const std::string type =
        std::string(model) + "." + std::string(magic_text.substr(0, magic_text.find('.')));
    tb_copy_text(object.type, type);
    tb_manifest_set_limit(id, object.limit);
    tb_service_add_proc(service_proc, &object, id);
}

void manifest_load(manifest_object &object) {
    object.setup = nullptr;
    object.state = nullptr;
    object.document.reset();

    std::string_view text;
    if (tb_manifest_read_commit(object.id, text))
        object.document = json_decode(text);
    if (!is_object(object.document.get())) {
        tb_manifest_clear_update(object.id);
        object.document = json_mkobject();
    }
    JsonNode *service = json_default_member(object.document.get(), "service");

    json_replace_string(service, "type", tb_text(object.type));
    tb_service_set_type(object.id, tb_text(object.type));
    apply_text(object, service, "name", tb_text(object.default_name), tb_service_set_name);
    apply_text(object, service, "alias", tb_id_text(object.id), tb_service_set_alias);
    apply_text(object, service, "password", "", tb_service_set_password);
    apply_text(object, service, "mask", tb_text(object.default_mask), tb_service_set_mask);
    apply_text(object, service, "zone", tb_text(object.default_zone), tb_service_set_zone);

    // A limit that is not a positive number, or beyond what the transfer
    // accepts, would lock the service out of its own manifest: it is
    // replaced by a usable one.
    int limit = static_cast<int>(std::min<std::uint32_t>(object.limit, INT_MAX));
    json_default_int(service, "limit", limit);
    std::uint32_t accepted =
        limit > 0 ? static_cast<std::uint32_t>(limit) : tb_manifest_default_limit;
    accepted = std::min(accepted, tb_manifest_max_limit);
    if (limit <= 0 || static_cast<std::uint32_t>(limit) != accepted)
        json_replace_int(service, "limit", static_cast<int>(accepted));
    object.limit = accepted;
    tb_manifest_set_limit(object.id, accepted);

    object.setup = json_default_member(object.document.get(), "setup");
    object.state = json_default_member(object.document.get(), "state");
}

void manifest_save(manifest_object &object, bool local) {
    if (!object.document)
        return;
    const std::string text = json_encode(object.document.get());
    if (text.size() + 1 >= object.limit) {
        tb_syslog_error("manifest_save", object.id, "manifest size limit exceeded");
        return;
    }
    tb_manifest_write_update(object.id, text);
    if (local)
        tb_manifest_local_commit(object.id, text);
}

JsonNode *json_default_string(JsonNode *object, std::string_view name, std::span<char> buffer) {
    if (!is_object(object))
        return nullptr;
    JsonNode *member = json_find_member(object, name);
    if (member && member->tag == JsonTag::string) {
        copy_cut(buffer, member->value.string);
        return member;
    }
    remove_members(object, name);
    return json_append_member(object, name, json_mkstring(buffer_text(buffer)));
}

JsonNode *json_replace_string(JsonNode *object, std::string_view name, std::string_view text) {
    if (!is_object(object))
        return nullptr;
    remove_members(object, name);
    return json_append_member(object, name, json_mkstring(text));
}

JsonNode *json_default_member(JsonNode *object, std::string_view name) {
    if (!is_object(object))
        return nullptr;
    JsonNode *member = json_find_member(object, name);
    if (is_object(member))
        return member;
    remove_members(object, name);
    return json_append_member(object, name, json_mkobject());
}

JsonNode *json_replace_member(JsonNode *object, std::string_view name, JsonPtr node) {
    if (!is_object(object))
        return nullptr;
    remove_members(object, name);
    if (!node)
        return nullptr;
    return json_append_member(object, name, std::move(node));
}

JsonNode *json_default_int(JsonNode *object, std::string_view name, int &value) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%i", value);
    JsonNode *member = json_default_string(object, name, text);
    value = manifest_atoi(buffer_text(text));
    return member;
}

JsonNode *json_replace_int(JsonNode *object, std::string_view name, int value) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%i", value);
    return json_replace_string(object, name, text.data());
}

void json_string(const JsonNode *object, std::string_view name, std::span<char> buffer) {
    const auto text = json_get_string(object, name);
    copy_cut(buffer, text ? *text : std::string_view{});
}

double json_number(const JsonNode *object, std::string_view name) {
    return json_get_number(object, name).value_or(0.0);
}

bool json_bool(const JsonNode *object, std::string_view name) {
    return json_get_bool(object, name).value_or(false);
}

std::string json_object(const JsonNode *object, std::string_view name) {
    const JsonNode *member = json_find_member(object, name);
    return is_object(member) ? json_encode(member) : std::string("json error");
}

const char *locale_text(int index, bool german) {
    if (index < 0 || index >= locale_count)
        return "";
    const auto &row = locale_table[static_cast<std::size_t>(index)];
    return german ? row.german : row.english;
}

const char *locale(int index) {
    return locale_text(index, tb_device_own_locale().find("de") != std::string_view::npos);
}
