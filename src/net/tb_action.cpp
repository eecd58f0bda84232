#include "net/tb_action.hpp"

#include <charconv>
#include <climits>

#include "core/tb_syslog.hpp"
#include "net/tb_network.hpp"
#include "net/tb_service.hpp"
#include "net/tb_status.hpp"

namespace {

struct action_entry {
    tb_action_proc procedure = nullptr;
    tb_id id{};
    void* context = nullptr;
};

struct action_state {
    std::array<action_entry, tb_action_capacity> entries{};
    std::uint16_t count = 0;
    bool handled = false;
    tb_action_ids ids{};
    std::array<char, tb_action_text_max + 1> text{};
    std::array<char, tb_action_text_max + 1> token_buffer{};
    tb_action_tokens tokens{};
    // Escaping at most doubles a text; longer texts are cut.
    std::array<char, 2 * (tb_action_text_max + 1) + 1> escape{};
};

action_state tb_action;

constexpr std::string_view zone_prefix = "@zone.";

void send_reply(std::span<const tb_id, 4> ids, std::string_view command, const char* result,
                const std::string_view* message)
{
    tb_status_start(ids[tb_action_target]);
    std::array<char, tb_service_alias_size> sender{};
    tb_service_get_alias(ids[tb_action_sender], sender);
    tb_status_printf("$%s", sender.data());
    tb_status_printf("[%.*s]", static_cast<int>(command.size()), command.data());
    tb_status_printf("%s", result);
    if (message) tb_status_printf("%.*s", static_cast<int>(message->size()), message->data());
    tb_status_send(nullptr, tb_status_kind_reply);
}

void send_command(std::span<const tb_id, 4> ids, std::string_view command)
{
    const tb_id target = ids[tb_action_target];
    if (tb_id_get_service_class(target) == tb_class_none) {
        constexpr std::string_view message = "unknown destination";
        send_reply(ids, command, "error", &message);
        return;
    }
    command = command.substr(0, std::min(command.size(), tb_action_text_max));
    auto packet = tb_network_new(tb_op_action);
    put_id(packet, tb_action_off_target, target);
    put_id(packet, tb_action_off_sender, ids[tb_action_sender]);
    put_id(packet, tb_action_off_room, ids[tb_action_room]);
    put_id(packet, tb_action_off_user, ids[tb_action_user]);
    put_text(packet, tb_action_off_text, command.size() + 1, command);
    tb_network_send(target, tb_action_packet_base + command.size());
}

// "@zone.N": every service with "1" at position N of its zone text; N of 0
// or below: every service with a zone text.
bool parse_zone(std::string_view target, int& zone)
{
    if (!target.starts_with(zone_prefix)) return false;
    const std::string_view number = target.substr(zone_prefix.size());
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), zone);
    if (error == std::errc::result_out_of_range) {
        zone = number.starts_with('-') ? -1 : INT_MAX;
        return true;
    }
    return error == std::errc{} && end != number.data();
}

bool zone_member(const tb_service_record& record, int zone)
{
    const std::string_view text = tb_text(record.zone);
    if (zone <= 0) return !text.empty();
    const auto position = static_cast<std::size_t>(zone);
    return position <= text.size() && text[position - 1] == '1';
}

void send_piece(tb_action_ids& ids, bool& zone_active, int& zone, std::string_view piece)
{
    std::string_view command = piece;
    const bool has_target = !piece.empty() && (piece[0] == '#' || piece[0] == '$' || piece[0] == '@');
    if (has_target) {
        const std::size_t colon = piece.find(':');
        const std::string_view target = piece.substr(0, colon);
        command = colon == std::string_view::npos ? std::string_view{} : piece.substr(colon + 1);
        zone_active = parse_zone(target, zone);
        if (!zone_active) ids[tb_action_target] = tb_action_get_id_ex(ids, target);
    } else if (piece.empty()) {
        return;
    }
    if (!zone_active) {
        send_command(ids, command);
        return;
    }
    bool found = false;
    for (auto* record = tb_service_get_next(nullptr); record; record = tb_service_get_next(record)) {
        if (!zone_member(*record, zone)) continue;
        found = true;
        tb_action_ids member = ids;
        member[tb_action_target] = record->id;
        send_command(member, command);
    }
    if (!found) {
        constexpr std::string_view message = "no zone member found";
        send_reply(ids, command, "warning", &message);
    }
}

void handle_action(const tb_packet& packet)
{
    if (packet.size() < tb_action_packet_base) return;
    tb_action.ids = {get_id(packet.bytes, tb_action_off_target), get_id(packet.bytes, tb_action_off_sender),
                     get_id(packet.bytes, tb_action_off_room), get_id(packet.bytes, tb_action_off_user)};
    tb_copy_text(tb_action.text, get_text(packet.bytes, tb_action_off_text, tb_action_text_max));
    if (tb_action_tokenize(tb_text(tb_action.text), tb_action.token_buffer, tb_action.tokens) == 0) return;
    tb_action.handled = false;
    const tb_id target = tb_action.ids[tb_action_target];
    for (std::size_t i = 0; i < tb_action.count; ++i) {
        const action_entry entry = tb_action.entries[i];
        if (entry.procedure && tb_id_compare(entry.id, target))
            entry.procedure(entry.context, tb_action.ids, tb_action.tokens);
    }
    if (tb_id_compare(target, tb_id_broadcast())) return;
    if (!tb_action.handled) tb_action_error("command not found");
}

void init_proc(void*, tb_id) { tb_action = action_state{}; }

void exec_proc(void*, const tb_packet& packet)
{
    if (packet.opcode() == tb_op_action) handle_action(packet);
}

bool magic_matches(const tb_service_record& record, std::string_view name, std::size_t wildcard,
                   const tb_service_record* reference)
{
    const std::string_view magic = tb_text(record.magic);
    if (wildcard == std::string_view::npos) return magic == name;
    return magic.starts_with(name.substr(0, wildcard)) && tb_service_mask(&record, reference);
}

} // namespace

const tb_task_descriptor tb_action_task = {
    .size = -1,
    .init_proc = init_proc,
    .task_proc = nullptr,
    .exec_proc = exec_proc,
};

void tb_action_add_proc(tb_action_proc procedure, void* context, tb_id id)
{
    if (tb_action.count >= tb_action_capacity) {
        tb_syslog_fatal("tb_action_add_proc", id, "unable to add new handler");
        return;
    }
    tb_action.entries[tb_action.count++] = {procedure, id, context};
}

void tb_action_send(tb_id id, std::string_view text)
{
    const tb_action_ids ids{id, id, tb_id_unknown(), tb_id_unknown()};
    tb_action_send_ex(ids, text);
}

void tb_action_send_ex(std::span<const tb_id, 4> ids, std::string_view text)
{
    // The text travels as a C string: nothing after a NUL belongs to it.
    text = text.substr(0, text.find('\0'));
    tb_action_ids current{ids[0], ids[1], ids[2], ids[3]};
    bool zone_active = false;
    int zone = 0;
    tb_action_split(text, [&](std::string_view piece) { send_piece(current, zone_active, zone, piece); });
}

void tb_action_forward(std::span<const tb_id, 4> ids)
{
    tb_action.handled = true;
    if (tb_id_compare(ids[tb_action_target], tb_id_broadcast())) return;
    if (tb_id_compare(ids[tb_action_sender], ids[tb_action_target])) {
        tb_syslog_error("tb_action_forward", ids[tb_action_sender], "action feedback");
        return;
    }
    send_command(ids, tb_text(tb_action.text));
}

void tb_action_ok()
{
    tb_action.handled = true;
    send_reply(tb_action.ids, tb_text(tb_action.text), "ok", nullptr);
}

void tb_action_warning(std::string_view message)
{
    tb_action.handled = true;
    send_reply(tb_action.ids, tb_text(tb_action.text), "warning", &message);
}

void tb_action_error(std::string_view message)
{
    tb_action.handled = true;
    send_reply(tb_action.ids, tb_text(tb_action.text), "error", &message);
}

bool tb_action_handled()
{
    const bool previous = tb_action.handled;
    tb_action.handled = true;
    return previous;
}

tb_id tb_action_get_id(tb_id id, std::string_view target)
{
    const tb_action_ids ids{id, id, tb_id_unknown(), tb_id_unknown()};
    return tb_action_get_id_ex(ids, target);
}

tb_id tb_action_get_id_ex(std::span<const tb_id, 4> ids, std::string_view target)
{
    if (target.empty()) return tb_id_unknown();
    const std::string_view rest = target.substr(1);
    switch (target[0]) {
    case '#':
        return tb_id_sscan(rest);
    case '$':
        return tb_alias_get_id(rest, ids[tb_action_target]);
    case '@':
        return tb_magic_get_id(rest, ids[tb_action_target], ids[tb_action_sender]);
    default:
        return tb_id_unknown();
    }
}

std::string_view tb_action_escape(std::string_view text)
{
    auto& out = tb_action.escape;
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

tb_id tb_alias_get_id(std::string_view alias, tb_id reference)
{
    const std::size_t wildcard = alias.find(".?");
    // An empty alias names no service (records without alias keep it empty).
    if (wildcard == std::string_view::npos && alias.empty()) return tb_id_unknown();
    const tb_service_record* ref = tb_service_get_data(reference);
    for (auto* record = tb_service_get_next(nullptr); record; record = tb_service_get_next(record)) {
        const std::string_view text = tb_text(record->alias);
        if (wildcard == std::string_view::npos ? text == alias
                                               : text.starts_with(alias.substr(0, wildcard)) &&
                                                     tb_service_mask(record, ref))
            return record->id;
    }
    return tb_id_unknown();
}

tb_id tb_magic_get_id(std::string_view name, tb_id reference, tb_id sender)
{
    // A bare class name means its first service; the result is cut to the
    // field like every magic.
    std::array<char, tb_magic_max + 1> buffer{};
    std::size_t n = 0;
    const auto put = [&](std::string_view part) {
        for (const char c : part)
            if (n < tb_magic_max) buffer[n++] = c;
    };
    put(name);
    if (name.find('.') == std::string_view::npos) put(".1");
    const std::string_view full(buffer.data(), n);
    const std::size_t wildcard = full.find(".?");

    const tb_service_record* ref = tb_service_get_data(reference);
    const bool any_sender = tb_id_is_unknown(sender);
    for (auto* record = tb_service_get_next(nullptr); record; record = tb_service_get_next(record)) {
        if ((any_sender || tb_id_compare_device(record->id, sender)) && magic_matches(*record, full, wildcard, ref))
            return record->id;
    }
    if (any_sender) return tb_id_unknown();
    for (auto* record = tb_service_get_next(nullptr); record; record = tb_service_get_next(record)) {
        if (magic_matches(*record, full, wildcard, ref)) return record->id;
    }
    return tb_id_unknown();
}

std::size_t tb_action_tokenize(std::string_view command, std::span<char> buffer, tb_action_tokens& tokens)
{
    tokens.fill(std::string_view(""));
    if (command.empty() || buffer.empty()) return 0;
    const std::size_t capacity = buffer.size();
    std::size_t n = 0;
    std::size_t start = 0;
    std::size_t count = 0;
    // n < capacity holds whenever a token is closed: content stops one byte
    // short of the end, leaving room for its NUL.
    const auto close = [&] {
        buffer[n] = '\0';
        tokens[count++] = std::string_view(buffer.data() + start, n - start);
        start = ++n;
    };
    for (std::size_t i = 0; i < command.size(); ++i) {
        char c = command[i];
        if (c == '\\') {
            if (++i >= command.size()) break;
            c = command[i];
        } else if (c == ':') {
            close();
            if (count == tb_action_token_count || n >= capacity) return count;
            continue;
        }
        if (n + 1 < capacity) buffer[n++] = c;
    }
    close();
    return count;
}

std::string_view tb_action_text() { return tb_text(tb_action.text); }
