#pragma once
// The service registry: one record for every service on the LAN, local or
// remote, its texts, its join and its volume; change bits reach the
// registered service-event procedures once per tick.

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/tb_task.hpp"
#include "net/tb_manifest.hpp"

struct tb_volume {
    std::int32_t volume = 0;
    std::int32_t flag = 0;
    friend bool operator==(const tb_volume&, const tb_volume&) = default;
};

struct tb_service_record {
    std::uint8_t used = 0;
    std::uint8_t local = 0;
    tb_id id{};
    tb_id joined{};
    std::uint32_t announced_nonce = 0;
    std::uint32_t announced_stamp = 0;
    std::array<char, 16> type{};
    std::array<char, 64> name{};
    std::array<char, 256> info{};
    std::array<char, 36> mask{};
    std::array<char, 32> zone{};
    std::array<char, 32> alias{};
    std::array<char, 32> password{};
    std::array<char, 32> magic{};
    std::array<char, 16> flag{};
    std::array<char, 256> cover{};
    std::array<char, 16> stream{};
    std::uint8_t dirty = 0;
    tb_volume volume;
    tb_manifest_state manifest;
    std::uint32_t pending = 0;
};

enum tb_service_event : std::uint32_t {
    tb_event_added = 1,
    tb_event_joined = 2,
    tb_event_type = 4,
    tb_event_name = 8,
    tb_event_info = 16,
    tb_event_mask = 32,
    tb_event_alias = 64,
    tb_event_magic = 128,
    tb_event_flag = 256,
    tb_event_cover = 512,
    tb_event_zone = 1024,
    tb_event_stream = 2048,
    tb_event_volume = 4096,
    tb_event_password = 8192,
};

constexpr int tb_service_capacity = 1024;
constexpr std::size_t tb_service_answer_size = 812;

extern const tb_task_descriptor tb_service_task;

// Called with (context, record, event bits) for every record whose id
// matches the filter (the broadcast filter sees every service).
using tb_service_proc = void (*)(void* context, tb_service_record& record, std::uint32_t events);

tb_id tb_service_make_id(std::uint8_t service_class, std::uint8_t index);
tb_id tb_service_register_class(std::uint8_t service_class, std::string_view class_name);
void tb_service_unregister_id(tb_id id);
tb_service_record* tb_service_get_data(tb_id id);
tb_service_record* tb_service_get_next(tb_service_record* record);
void tb_service_remove_device(tb_id id);
void tb_service_add_proc(tb_service_proc procedure, void* context, tb_id id_filter);

// The service list of device answers: writes the count and as many local ids
// as fit into the packet (capacity in ids); returns the count written.
std::uint32_t tb_service_get_device_answer(std::span<std::uint8_t> packet, std::size_t capacity);
// Reads the list of a received device answer, bounded by the received bytes.
void tb_service_set_device_answer(const tb_packet& packet);

// Text field sizes, NUL included (the getters copy into buffers of these sizes).
constexpr std::size_t tb_service_type_size = 16;
constexpr std::size_t tb_service_name_size = 64;
constexpr std::size_t tb_service_info_size = 256;
constexpr std::size_t tb_service_mask_size = 36;
constexpr std::size_t tb_service_zone_size = 32;
constexpr std::size_t tb_service_alias_size = 32;
constexpr std::size_t tb_service_password_size = 32;
constexpr std::size_t tb_service_magic_size = 32;
constexpr std::size_t tb_service_flag_size = 16;
constexpr std::size_t tb_service_cover_size = 256;
constexpr std::size_t tb_service_stream_size = 16;
// A cover address: the web base URL (256) followed by a relative cover (256).
constexpr std::size_t tb_service_cover_url_size = 512;
constexpr int tb_service_flag_count = 15;
constexpr std::size_t tb_device_answer_max_ids = 120; // what fits in one datagram

// Setters for local records: the text is cut to its field; a change adds the
// event bit and marks the record for announcement. They return whether the
// value changed; remote and unknown ids are refused with an error log.
bool tb_service_set_type(tb_id id, std::string_view text);
bool tb_service_set_name(tb_id id, std::string_view text);
bool tb_service_set_info(tb_id id, std::string_view text);
bool tb_service_set_mask(tb_id id, std::string_view text);
bool tb_service_set_alias(tb_id id, std::string_view text);
bool tb_service_set_password(tb_id id, std::string_view text);
bool tb_service_set_stream(tb_id id, std::string_view text);
bool tb_service_set_cover(tb_id id, std::string_view text);
bool tb_service_set_zone(tb_id id, std::string_view text);
bool tb_service_set_flag(tb_id id, int position, bool on);
bool tb_service_set_magic(tb_id id, std::string_view text); // always refused
// Any record, local or remote; volume is not announced by the registry.
bool tb_service_set_volume(tb_id id, const tb_volume& volume);

// Getters with their fallbacks for unknown ids and empty texts.
void tb_service_get_type(tb_id id, std::array<char, tb_service_type_size>& buffer);
void tb_service_get_name(tb_id id, std::array<char, tb_service_name_size>& buffer, bool full);
void tb_service_get_info(tb_id id, std::array<char, tb_service_info_size>& buffer);
void tb_service_get_mask(tb_id id, std::array<char, tb_service_mask_size>& buffer);
void tb_service_get_zone(tb_id id, std::array<char, tb_service_zone_size>& buffer);
void tb_service_get_alias(tb_id id, std::array<char, tb_service_alias_size>& buffer);
void tb_service_get_magic(tb_id id, std::array<char, tb_service_magic_size>& buffer);
void tb_service_get_password(tb_id id, std::array<char, tb_service_password_size>& buffer);
void tb_service_get_stream(tb_id id, std::array<char, tb_service_stream_size>& buffer);
void tb_service_get_cover(tb_id id, std::array<char, tb_service_cover_url_size>& buffer);
bool tb_service_get_flag(tb_id id, int position);
void tb_service_get_volume(tb_id id, tb_volume& volume);
tb_id tb_service_get_join_id(tb_id id);
// The loudest room (volume above 0) joined to a user, or through its users
// to a server source; false and zeros when there is none.
bool tb_service_get_master_volume(tb_id id, tb_volume& volume);

// Broadcast a join or leave and apply it here at once.
void tb_service_join(tb_id id, tb_id joined_id);
void tb_service_leave(tb_id id);

// True when a record is missing or the masks share a position where the
// candidate's digit is above "0" and the reference's is at least as high.
bool tb_service_mask(const tb_service_record* candidate, const tb_service_record* reference);

using tb_service_filter = bool (*)(void* context, const tb_service_record& record);
struct tb_service_list {
    std::int32_t count = 0;
    std::array<tb_service_record*, tb_service_capacity> records{};
};
// Fills the list with every record in use that passes the filter and sorts
// it by leading name number, name, then device name.
void tb_service_sort_list(tb_service_list& list, tb_service_filter filter, void* context);
// The id of entry index (which becomes the cached record), or the unknown id.
tb_id tb_service_get_sorted_id(tb_service_list& list, int index);
