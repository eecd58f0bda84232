#pragma once
// User services: one per user slot. Rooms join a user and the user joins a
// source; the user publishes a status line and an info text that follow its
// source, keeps a manifest with a reset action and sends that action to
// itself once, one second after start.

#include <array>
#include <cstdint>
#include <string_view>

#include "core/tb_task.hpp"
#include "net/tb_status.hpp"

constexpr std::string_view user_default_reset = "user:select:@server.?;stream:radio";
constexpr std::uint32_t user_reset_delay_ms = 1000;
constexpr std::size_t user_reset_size = 256;
constexpr std::size_t user_info_size = 256;

struct user_manifest_state {
    tb_id user{};
    std::array<char, user_reset_size> reset{};
    std::uint8_t armed = 0;
    tb_timer timer;
};

struct user_info_state {
    tb_id user{};
    tb_id joined{};
    std::array<char, user_info_size> info{};
};

struct user_status_state {
    tb_id user{};
    tb_id joined{};
    tb_status_cache cache{};
};

extern const tb_task_descriptor tb_user_task;
extern const tb_task_descriptor user_status_task;
extern const tb_task_descriptor user_info_task;
extern const tb_task_descriptor user_manifest_task;

// Creates the next user service with its tasks and loads its stored
// manifest. Returns the unknown id when no further user can be registered.
tb_id user_main(std::string_view model, std::string_view name_format);

// The reset action of a user as its manifest left it (empty when unknown).
std::string_view user_reset_action(tb_id user);
