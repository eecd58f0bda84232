#pragma once
// The boot server: keeps one firmware image for one type of room device,
// tells devices of that type with an older version to enter their boot
// loader, and answers the boot loader's block requests.

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/tb_task.hpp"

constexpr std::size_t tb_boot_image_size = 0x80000;      // 512 KiB
constexpr std::size_t tb_boot_app_start = 0x10000;       // below: boot area, not checked
constexpr std::size_t tb_boot_crc_offset = 0x7FFFE;      // CRC of the application area, high byte first
constexpr std::size_t tb_boot_version_offset = 0x100E4;  // type, major, minor, patch
constexpr std::size_t tb_boot_block_max = 1024;
constexpr std::size_t tb_boot_command_size = 38;
constexpr std::size_t tb_boot_request_size = 48;
constexpr std::size_t tb_boot_answer_size = 1072;
constexpr std::uint16_t tb_boot_command_enter_loader = 2;

using tb_boot_version = std::array<std::uint8_t, 4>;

// The task's state block.
struct tb_boot_server_state {
    std::array<std::uint8_t, tb_boot_image_size> image;
    tb_boot_version version;
};
static_assert(sizeof(tb_boot_server_state) == tb_boot_image_size + 4);

extern const tb_task_descriptor tb_boot_server_task;
inline constexpr const tb_task_descriptor& boot_server_task = tb_boot_server_task;

// Registers the boot server and loads the image; null when the state block
// could not be allocated.
tb_boot_server_state* start_boot_server(std::string_view path);
void tb_boot_server_setup(tb_boot_server_state& state, std::string_view path);

// CRC-16/XMODEM: polynomial 0x1021, initial 0, MSB first, no final XOR.
std::uint16_t compute_crc(std::span<const std::uint8_t> data);

// True when a device announcing device_version needs the image: same type,
// and another major, or an older minor, or an older patch of the same minor.
bool compare_version(const tb_boot_version& image_version, const tb_boot_version& device_version);

// Tests replace the socket send to see the boot packets; nullptr restores it.
using tb_boot_server_sender = void (*)(std::uint32_t address, std::span<const std::uint8_t> packet);
void tb_boot_server_test_set_sender(tb_boot_server_sender sender);
