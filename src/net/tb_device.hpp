#pragma once
// The device registry: the own device record and every device heard on the
// LAN, with announcement and ageing.

#include <array>
#include <cstdint>
#include <string_view>

#include "core/tb_task.hpp"

struct tb_device_record {
    std::array<std::uint8_t, 6> mac{};
    std::uint32_t nonce = 0;
    std::array<std::uint8_t, 4> version{};
    std::array<char, 256> url{};
    std::array<char, 8> locale{};
};

struct tb_device_entry {
    std::uint8_t used = 0;
    std::uint8_t local = 0;
    tb_id id{};
    std::uint32_t address = 0; // host order, 0 while unknown
    std::uint16_t countdown = 0;
    std::uint16_t requests = 0;
    std::uint32_t last_sequence = 0;
    std::uint32_t nonce = 0;
    std::array<std::uint8_t, 4> version{};
    std::array<char, 32> name{};
};

constexpr int tb_device_capacity = 64;
constexpr std::size_t tb_device_answer_base = 356; // bytes before the service ids

extern const tb_task_descriptor tb_device_task;

void tb_device_init(const tb_device_record& record);
tb_device_entry* tb_device_get_next(tb_device_entry* entry);
tb_device_entry* tb_device_get_data(tb_id id);
tb_device_entry* tb_device_register(tb_id id);
std::uint32_t tb_device_get_ip_addr(tb_id id);
void tb_device_set_name(tb_id id, std::string_view name);
// Copies the registered name, or the id text for an unknown or unnamed device.
void tb_device_get_name(tb_id id, std::array<char, 32>& buffer);

tb_id tb_device_own_id();
std::uint32_t tb_device_own_nonce();
const tb_device_record& tb_device_own_record();
std::string_view tb_device_own_url();
std::string_view tb_device_own_locale();
