#include "net/tb_status.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "net/tb_network.hpp"
#include "net/tb_service.hpp"

namespace {

struct status_entry {
    tb_status_proc procedure = nullptr;
    tb_id id{};
    void* context = nullptr;
    std::uint32_t flags = 0;
};

struct status_state {
    std::array<status_entry, tb_status_capacity> entries{};
    int count = 0;
    int cursor = 0;
    std::array<char, tb_status_text_max + 1> text{};
    std::size_t length = 0;
    tb_id id{};
    std::uint16_t volume = 0;
    std::uint16_t volume_flag = 0;
    std::array<char, tb_status_wire_max + 1> format{};
    // Escaping at most doubles the formatted text.
    std::array<char, 2 * tb_status_wire_max + 1> escape{};
    std::array<char, tb_status_wire_max + 1> received{};
};

status_state tb_status;

// Appends the piece only when the whole string stays within its limit.
void append(std::string_view piece)
{
    if (tb_status.length + piece.size() > tb_status_text_max) return;
    std::memcpy(tb_status.text.data() + tb_status.length, piece.data(), piece.size());
    tb_status.length += piece.size();
    tb_status.text[tb_status.length] = '\0';
}

std::string_view escape(std::string_view text)
{
    auto& out = tb_status.escape;
    std::size_t n = 0;
    for (const char c : text) {
        const bool special = c == ':' || c == '\\';
        if (n + (special ? 2 : 1) > out.size() - 1) break;
        if (special) out[n++] = '\\';
        out[n++] = c;
    }
    out[n] = '\0';
    return {out.data(), n};
}

void send_status_answer(std::uint32_t kind)
{
    const std::size_t length = std::min(tb_status.length, tb_status_wire_max);
    auto packet = tb_network_new(tb_op_status_answer);
    put_id(packet, tb_status_off_id, tb_status.id);
    put_u32be(packet, tb_status_off_kind, kind);
    put_u16be(packet, tb_status_off_volume, tb_status.volume);
    put_u16be(packet, tb_status_off_volume_flag, tb_status.volume_flag);
    put_text(packet, tb_status_off_text, length + 1, std::string_view(tb_status.text.data(), length));
    tb_network_send_no_rubustness(tb_id_broadcast(), tb_status_answer_base + length);
}

void handle_status_answer(const tb_packet& packet)
{
    if (packet.size() < tb_status_answer_base) return;
    const tb_id id = get_id(packet.bytes, tb_status_off_id);
    const std::uint32_t kind = get_u32be(packet.bytes, tb_status_off_kind);
    const tb_volume volume{get_u16be(packet.bytes, tb_status_off_volume),
                           get_u16be(packet.bytes, tb_status_off_volume_flag)};
    tb_copy_text(tb_status.received, get_text(packet.bytes, tb_status_off_text, tb_status_wire_max));
    tb_service_set_volume(id, volume);
    const std::uint32_t flags = kind != 0 ? tb_status_reply : tb_status_answer;
    // Procedures may register further procedures; they are called as well.
    for (int i = 0; i < tb_status.count; ++i) {
        const status_entry entry = tb_status.entries[static_cast<std::size_t>(i)];
        if (entry.procedure && tb_id_compare_broadcast(entry.id, id))
            entry.procedure(entry.context, id, tb_status.received.data(), flags);
    }
}

void init_proc(void*, tb_id) { tb_status = status_state{}; }

void task_proc(void*, std::uint32_t)
{
    if (tb_status.count == 0) return;
    if (tb_status.cursor >= tb_status.count) tb_status.cursor = 0;
    auto& entry = tb_status.entries[static_cast<std::size_t>(tb_status.cursor++)];
    if (entry.flags == 0 || !entry.procedure) return;
    // Cleared before the call, so a procedure that flags itself again is
    // visited again on the next round.
    const std::uint32_t flags = entry.flags;
    entry.flags = 0;
    entry.procedure(entry.context, entry.id, nullptr, flags);
}

void exec_proc(void*, const tb_packet& packet)
{
    switch (packet.opcode()) {
    case tb_op_status_request:
        tb_status_update(packet.destination(), true);
        break;
    case tb_op_status_answer:
        handle_status_answer(packet);
        break;
    default:
        break;
    }
}

} // namespace

const tb_task_descriptor tb_status_task = {
    .size = -1,
    .init_proc = init_proc,
    .task_proc = task_proc,
    .exec_proc = exec_proc,
};

void tb_status_add_proc(tb_status_proc procedure, void* context, tb_id id)
{
    if (tb_status.count >= tb_status_capacity) {
        tb_syslog_fatal("tb_status_add_proc", id, "unable to add new handler");
        return;
    }
    tb_status.entries[static_cast<std::size_t>(tb_status.count++)] = {procedure, id, context, 0};
}

void tb_status_update(tb_id id, bool requested)
{
    const std::uint32_t flags = requested ? tb_status_publish | tb_status_requested : tb_status_publish;
    for (int i = 0; i < tb_status.count; ++i) {
        auto& entry = tb_status.entries[static_cast<std::size_t>(i)];
        if (tb_id_compare_broadcast(entry.id, id)) entry.flags |= flags;
    }
}

void tb_status_request(tb_id id)
{
    tb_network_new(tb_op_status_request);
    tb_network_send(id, tb_packet_header_size);
}

void tb_status_start(tb_id id)
{
    tb_status.id = id;
    tb_status.length = 0;
    tb_status.text[0] = '\0';
    std::array<char, tb_service_alias_size> alias{};
    tb_service_get_alias(id, alias);
    append("$");
    append(tb_text(alias));
}

void tb_status_printf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(tb_status.format.data(), tb_status.format.size(), format, args);
    va_end(args);
    if (n < 0) tb_status.format[0] = '\0';
    append(":");
    append(escape(tb_text(tb_status.format)));
}

void tb_status_volume(int volume, int flag)
{
    tb_status.volume = static_cast<std::uint16_t>(volume);
    tb_status.volume_flag = static_cast<std::uint16_t>(static_cast<unsigned>(flag) % 256u);
}

bool tb_status_send(tb_status_cache* cache, std::uint32_t kind)
{
    const std::string_view text(tb_status.text.data(), tb_status.length);
    if (cache) {
        if (tb_text(*cache) == text) return false;
        tb_copy_text(*cache, text);
    }
    send_status_answer(kind);
    return true;
}

void tb_status_clear(tb_status_cache* cache)
{
    if (cache) cache->fill('\0');
}

std::string_view tb_status_text() { return {tb_status.text.data(), tb_status.length}; }
