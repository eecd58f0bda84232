#pragma once
// The status channel: services publish their state as one escaped text line
// ("$alias:field:field…") in unrepeated status answers to every device;
// status procedures are told when to publish and when answers arrive.

#include <array>
#include <cstdint>
#include <string_view>

#include "core/tb_syslog.hpp"
#include "core/tb_task.hpp"

constexpr int tb_status_capacity = 1024;
constexpr std::size_t tb_status_text_max = 1022;  // the string under construction
constexpr std::size_t tb_status_wire_max = 1023;  // a received or sent string
constexpr std::size_t tb_status_answer_base = 53; // header, id, kind, volume, flag, NUL

enum tb_status_offset : std::size_t {
    tb_status_off_id = 36,
    tb_status_off_kind = 44,
    tb_status_off_volume = 48,
    tb_status_off_volume_flag = 50,
    tb_status_off_text = 52,
};

enum tb_status_flag : std::uint32_t {
    tb_status_publish = 1,   // send the status if it changed
    tb_status_requested = 2, // someone asked: send even if unchanged
    tb_status_answer = 4,    // an ordinary status answer arrived
    tb_status_reply = 8,     // an event or action reply arrived
};

enum tb_status_kind : std::uint32_t {
    tb_status_kind_status = 0,
    tb_status_kind_reply = 1,
};

// A caller-owned copy of the last string sent, so unchanged status is not
// sent again.
using tb_status_cache = std::array<char, 1024>;

// Called with (context, registered id, nullptr, 1 or 3) from the status task,
// and with (context, id the answer is about, string, 4 or 8) on answers. The
// string is NUL-terminated and valid for the duration of the call only.
using tb_status_proc = void (*)(void* context, tb_id id, const char* text, std::uint32_t flags);

extern const tb_task_descriptor tb_status_task;

// Registers a procedure for id; the broadcast id watches every service.
void tb_status_add_proc(tb_status_proc procedure, void* context, tb_id id);
// Flags every procedure whose id matches (broadcast matching) with publish,
// and also with requested when requested is true.
void tb_status_update(tb_id id, bool requested);
// Queues a status request to id (repeated).
void tb_status_request(tb_id id);
// Begins the shared string for id with "$" and the alias of id.
void tb_status_start(tb_id id);
// Appends ":" and the formatted text (at most 1023 characters) escaped; a
// piece that would take the string past 1022 characters is dropped.
void tb_status_printf(const char* format, ...) TB_PRINTF_FORMAT(1, 2);
// Volume and volume flag sent with the following answers (flag modulo 256).
void tb_status_volume(int volume, int flag);
// Sends the string as a status answer of this kind. With a cache, an
// unchanged string is not sent (returns false); a sent one is kept in it.
bool tb_status_send(tb_status_cache* cache, std::uint32_t kind);
// Empties a cache so that the next send with it goes out.
void tb_status_clear(tb_status_cache* cache);

// The string under construction (for tests and diagnostics).
std::string_view tb_status_text();
