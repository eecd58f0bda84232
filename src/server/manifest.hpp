#pragma once
// The manifest of a local service: a JSON document with the members
// `service`, `setup` and `state`, loaded from the manifest transfer and
// published again; helpers that read members with defaults and replace
// them; the fixed texts in English and German.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/json.hpp"
#include "core/tb_id.hpp"

constexpr std::size_t manifest_text_size = 256; // members are read into buffers of this size
constexpr int locale_count = 43;

// Embedded in each service module's own record; its address must stay fixed
// once manifest_init has registered it.
struct manifest_object {
    tb_id id{};
    std::uint32_t limit = 0; // size limit of the encoded document, NUL included
    JsonPtr document;
    JsonNode *setup = nullptr; // point into document, invalid after the next load
    JsonNode *state = nullptr;
    std::array<char, 64> default_name{};
    std::array<char, 36> default_mask{};
    std::array<char, 16> type{};
    std::array<char, 36> default_zone{};
    void *user = nullptr; // the owning module's record
};

// Sets the defaults of the service id. name_format starting with "#" gives
// the id text as default name; otherwise it is a text with at most one
// integer conversion ("User %02i"), which receives index + 1. limit 0 means
// 65536. Registers the procedure that keeps `service` -> `name` in step
// with the registry's name.
void manifest_init(manifest_object &object, tb_id id, std::string_view model,
                   std::string_view name_format, std::uint32_t limit);
// Rebuilds the document from the last commit and applies `service` to the
// service's registry record; missing or broken members get their defaults.
void manifest_load(manifest_object &object);
// Publishes the document when its encoding is below the limit; local also
// commits it here at once (the service's commit handler runs).
void manifest_save(manifest_object &object, bool local);

// The object's member as text: a string member is copied into buffer (cut
// to its size - 1 at a character boundary); a missing member, or one that is
// not a string, becomes a string member holding the buffer's text.
JsonNode *json_default_string(JsonNode *object, std::string_view name, std::span<char> buffer);
// Removes the members of that name and appends a string member at the end.
JsonNode *json_replace_string(JsonNode *object, std::string_view name, std::string_view text);
// The object member of that name; a missing or non-object member is
// replaced by a new empty object. Null when object is not an object.
JsonNode *json_default_member(JsonNode *object, std::string_view name);
// Removes the members of that name and appends node when it is not null.
JsonNode *json_replace_member(JsonNode *object, std::string_view name, JsonPtr node);
// json_default_string with the decimal text of value as default; value then
// holds the number of the resulting text (0 when it has none, clamped).
JsonNode *json_default_int(JsonNode *object, std::string_view name, int &value);
JsonNode *json_replace_int(JsonNode *object, std::string_view name, int value);
// Copies a string member's text into buffer, else an empty text.
void json_string(const JsonNode *object, std::string_view name, std::span<char> buffer);
double json_number(const JsonNode *object, std::string_view name);
bool json_bool(const JsonNode *object, std::string_view name);
// The encoded object member, or "json error" when there is none.
std::string json_object(const JsonNode *object, std::string_view name);

inline JsonNode *manifest_default_string(JsonNode *object, std::string_view name,
                                         std::span<char> buffer) {
    return json_default_string(object, name, buffer);
}
inline JsonNode *manifest_replace_string(JsonNode *object, std::string_view name,
                                         std::string_view text) {
    return json_replace_string(object, name, text);
}
inline JsonNode *manifest_default_member(JsonNode *object, std::string_view name) {
    return json_default_member(object, name);
}
inline JsonNode *manifest_replace_member(JsonNode *object, std::string_view name, JsonPtr node) {
    return json_replace_member(object, name, std::move(node));
}
inline JsonNode *manifest_default_int(JsonNode *object, std::string_view name, int &value) {
    return json_default_int(object, name, value);
}
inline JsonNode *manifest_replace_int(JsonNode *object, std::string_view name, int value) {
    return json_replace_int(object, name, value);
}

// The decimal number at the start of text, as atoi reads it but clamped to
// the int range instead of overflowing.
int manifest_atoi(std::string_view text);

// Fixed text of index (UTF-8): German when the device's locale contains
// "de", English otherwise; empty for an index outside the table.
const char *locale(int index);
const char *locale_text(int index, bool german);
