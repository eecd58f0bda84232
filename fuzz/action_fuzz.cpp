// The action grammar and the action and status packet handlers. The first
// input byte picks what the rest is: a text sent with tb_action_send_ex
// (pieces, targets, lookups, zones), a command tokenised into a small
// buffer, or the payload of an action or status answer packet received from
// the LAN. Every packet the core queues is checked against its length rules.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/tb_core.hpp"
#include "net/tb_action.hpp"
#include "net/tb_network.hpp"
#include "net/tb_service.hpp"
#include "net/tb_status.hpp"

namespace {

tb_id user{};
tb_id room{};

// Replies, forwards or ignores according to the first token, so that every
// reply path sees texts from the input.
void action_proc(void*, std::span<const tb_id, 4> ids, const tb_action_tokens& tokens)
{
    for (const auto& token : tokens)
        if (token.data()[token.size()] != '\0') __builtin_trap();
    const std::string_view verb = tokens[0];
    if (verb == "ok") tb_action_ok();
    else if (verb == "w") tb_action_warning(tokens[1]);
    else if (verb == "e") tb_action_error(tokens[1]);
    else if (verb == "f") tb_action_forward(tb_action_ids{room, ids[tb_action_sender], ids[2], ids[3]});
    else if (verb == "s") tb_action_send_ex(ids, tokens[1]);
    else if (verb == "x") (void)tb_action_escape(tokens[1]);
}

void status_proc(void*, tb_id id, const char* text, std::uint32_t)
{
    if (text && std::string_view(text).size() > tb_status_wire_max) __builtin_trap();
    tb_status_start(id);
    tb_status_printf("%s", text ? text : "");
    tb_status_send(nullptr, 0);
}

void setup()
{
    tb_network_test_set_socket_enabled(false);
    tb_device_record record;
    record.mac = {0x02, 0, 0, 0, 0, 0x01};
    record.nonce = 1;
    tb_network_config config;
    config.address = 0x0AD50001;
    tb_core_init(config, record);

    user = tb_service_register_class(tb_class_user, "user");
    room = tb_service_register_class(tb_class_room, "room");
    const tb_id source = tb_service_register_class(tb_class_source, "server");
    tb_service_set_alias(user, "anna");
    tb_service_set_alias(room, "kitchen");
    tb_service_set_zone(room, "0101");
    tb_service_set_zone(user, "1");
    tb_service_set_mask(user, "11");
    tb_service_set_mask(source, "01");
    tb_action_add_proc(action_proc, nullptr, user);
    tb_action_add_proc(action_proc, nullptr, room);
    tb_action_add_proc(action_proc, nullptr, tb_id_broadcast());
    tb_status_add_proc(status_proc, nullptr, tb_id_broadcast());
}

void check_queued()
{
    for (const auto& p : tb_network_test_take_queued()) {
        const std::size_t length = get_u16be(p, tb_off_length);
        if (length != p.size() || length > tb_packet_max_size) __builtin_trap();
        const std::uint16_t opcode = get_u16be(p, tb_off_opcode);
        if (opcode == tb_op_action) {
            const std::string_view text = get_text(p, tb_action_off_text, p.size() - tb_action_off_text);
            if (text.size() > tb_action_text_max || length != tb_action_packet_base + text.size()) __builtin_trap();
        } else if (opcode == tb_op_status_answer) {
            const std::string_view text = get_text(p, tb_status_off_text, p.size() - tb_status_off_text);
            if (text.size() > tb_status_text_max || length != tb_status_answer_base + text.size()) __builtin_trap();
        }
    }
}

void receive(std::uint16_t opcode, tb_id destination, std::string_view payload)
{
    std::vector<std::uint8_t> packet(tb_packet_header_size);
    std::copy(tb_packet_magic.begin(), tb_packet_magic.end(), packet.begin());
    put_id(packet, tb_off_destination, destination);
    put_id(packet, tb_off_source, tb_id_make_id(std::array<std::uint8_t, 6>{2, 0, 0, 0, 0, 0x42}, 0, 0));
    packet.insert(packet.end(), payload.begin(), payload.end());
    packet.resize(std::min(packet.size(), tb_packet_max_size));
    put_u16be(packet, tb_off_length, static_cast<std::uint16_t>(packet.size()));
    put_u16be(packet, tb_off_opcode, opcode);
    tb_network_test_receive(packet);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool ready = (setup(), true);
    (void)ready;
    if (size == 0) return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 5) {
    case 0:
        tb_action_send_ex(tb_action_ids{user, room, tb_id_unknown(), user}, rest);
        break;
    case 1: {
        std::array<char, 16> buffer{};
        tb_action_tokens tokens;
        const std::size_t n = tb_action_tokenize(rest, buffer, tokens);
        if (n > tb_action_token_count) __builtin_trap();
        for (std::size_t i = 0; i < n; ++i) {
            const auto* end = tokens[i].data() + tokens[i].size();
            if (tokens[i].data() < buffer.data() || end >= buffer.data() + buffer.size() || *end != '\0')
                __builtin_trap();
        }
        break;
    }
    case 2: {
        // Either the raw payload (short or lying packets) or a well-formed
        // id set in front of the text, so that the procedures are reached.
        const tb_id target = data[0] & 0x80 ? tb_id_broadcast() : room;
        if (data[0] & 0x40) {
            receive(tb_op_action, target, rest);
            break;
        }
        std::vector<std::uint8_t> ids(32);
        put_id(ids, 0, target);
        put_id(ids, 8, user);
        std::string payload(ids.begin(), ids.end());
        payload.append(rest);
        receive(tb_op_action, target, payload);
        break;
    }
    case 3:
        receive(tb_op_status_answer, tb_id_broadcast(), rest);
        break;
    default:
        receive(tb_op_status_request, data[0] & 0x80 ? tb_id_broadcast() : user, rest);
        break;
    }
    tb_core_task(0);
    check_queued();
    return 0;
}
