#pragma once
// Identifiers of devices and services: service class, the owning device's
// MAC, service index. Kept in wire order; the text form has 14 characters.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

struct tb_id {
    std::array<std::uint8_t, 8> bytes{};
    friend bool operator==(const tb_id&, const tb_id&) = default;
};

enum tb_service_class : std::uint8_t {
    tb_class_none = 0,
    tb_class_room = 1,
    tb_class_user = 2,
    tb_class_source = 3,
    tb_class_menu = 5,
    tb_class_console = 6,
    tb_class_proxy = 7,
    tb_class_timer = 8,
    tb_class_knx = 9,
    tb_class_broadcast = 15,
};

constexpr std::size_t tb_id_text_size = 15; // 14 characters and the NUL
constexpr int tb_id_max_index = 35;         // one base-36 digit

tb_id tb_id_make_id(std::span<const std::uint8_t, 6> mac, std::uint8_t service_class,
                    std::uint8_t index);
std::uint8_t tb_id_get_service_class(tb_id id);
std::uint8_t tb_id_get_service_index(tb_id id);
tb_id tb_id_set_service_class(tb_id id, std::uint8_t service_class);
tb_id tb_id_get_device_id(tb_id id);
bool tb_id_compare(tb_id a, tb_id b);
bool tb_id_compare_broadcast(tb_id a, tb_id b);
bool tb_id_compare_device(tb_id a, tb_id b);
tb_id tb_id_unknown();
tb_id tb_id_broadcast();
bool tb_id_is_unknown(tb_id id);
inline tb_id tb_id_hton(tb_id id) { return id; }
inline tb_id tb_id_ntoh(tb_id id) { return id; }

// Writes the text form and its NUL into buffer (at least tb_id_text_size bytes).
void tb_id_sprint(std::span<char, tb_id_text_size> buffer, tb_id id);
std::string tb_id_text(tb_id id);
// Parses the first 14 characters; a shorter text stops at its end and the
// missing characters count as 0.
tb_id tb_id_sscan(std::string_view text);
