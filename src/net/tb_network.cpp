#include "net/tb_network.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "core/tb_syslog.hpp"
#include "net/tb_device.hpp"

namespace {

using slot = std::array<std::uint8_t, tb_packet_max_size>;

struct network_state {
    tb_socket_record socket;
    std::array<std::uint8_t, tb_packet_max_size> receive{};
    std::array<slot, tb_network_ring_size> ring{};
    int head = 0;
    int tail = 0;
    std::uint32_t sequence = 0;
    int repeat = 0;
    std::uint32_t group = 0;
    bool overflow_logged = false;
    bool socket_enabled = true;
    std::vector<std::vector<std::uint8_t>> test_sent; // packets "sent" while the socket is disabled
};

network_state tb_network;

int used_slots() { return (tb_network.head - tb_network.tail + tb_network_ring_size) % tb_network_ring_size; }

void init_proc(void*, tb_id)
{
    const bool enabled = tb_network.socket_enabled;
    tb_socket_close(tb_network.socket);
    tb_network.head = tb_network.tail = 0;
    tb_network.sequence = 0;
    tb_network.repeat = 0;
    tb_network.overflow_logged = false;
    tb_network.group = tb_network_group;
    tb_network.socket = {};
    if (!enabled) return;
    tb_socket_open(tb_network.socket, tb_network_port);
    tb_socket_join(tb_network.socket, tb_network.group);
}

void queue(tb_id destination, std::size_t length, std::uint32_t sequence)
{
    // A full ring keeps what is queued: the new packet is dropped and the
    // overflow reported once until the ring drains.
    if (used_slots() >= tb_network_ring_size - 1) {
        if (!tb_network.overflow_logged) {
            tb_network.overflow_logged = true;
            tb_syslog_fatal("tb_network_send", destination, "transmit ring full, packet dropped");
        }
        return;
    }
    length = std::clamp<std::size_t>(length, tb_packet_header_size, tb_packet_max_size);
    auto& packet = tb_network.ring[static_cast<std::size_t>(tb_network.head)];
    std::copy(tb_packet_magic.begin(), tb_packet_magic.end(), packet.begin());
    put_id(packet, tb_off_destination, destination);
    put_id(packet, tb_off_source, tb_device_own_id());
    put_u32be(packet, tb_off_nonce, tb_device_own_nonce());
    put_u32be(packet, tb_off_sequence, sequence);
    put_u16be(packet, tb_off_length, static_cast<std::uint16_t>(length));
    tb_opcode_print("tx", tb_packet{tb_bytes(packet.data(), length)});
    tb_network.head = (tb_network.head + 1) % tb_network_ring_size;
}

// Checks one received datagram and hands it to every task when accepted.
void accept_datagram(tb_bytes datagram)
{
    // The length field may never reach beyond what was received.
    if (datagram.size() < tb_packet_header_size ||
        !std::equal(tb_packet_magic.begin(), tb_packet_magic.end(), datagram.begin()))
        return;
    const std::size_t length = get_u16be(datagram, tb_off_length);
    if (length < tb_packet_header_size || length > datagram.size()) return;
    const tb_packet packet{datagram.first(length)};
    if (!packet_for_me(packet) || !update_sequence(packet)) return;
    tb_opcode_print("rx", packet);
    tb_task_exec(packet);
}

void receive()
{
    for (;;) {
        const std::size_t size = tb_socket_recv(tb_network.socket, tb_network.receive);
        if (size == 0) return;
        accept_datagram(tb_bytes(tb_network.receive.data(), size));
    }
}

void transmit()
{
    if (tb_network.repeat == 0 && tb_network.tail != tb_network.head) {
        const auto& packet = tb_network.ring[static_cast<std::size_t>(tb_network.tail)];
        tb_network.repeat = get_u32be(packet, tb_off_sequence) != 0 ? 3 : 1;
    }
    if (tb_network.repeat <= 0) return;
    auto& packet = tb_network.ring[static_cast<std::size_t>(tb_network.tail)];
    const tb_id destination = get_id(packet, tb_off_destination);
    std::uint32_t address = tb_network.group;
    if (destination != tb_id_broadcast()) {
        const std::uint32_t unicast = tb_device_get_ip_addr(destination);
        if (unicast != 0) address = unicast;
    }
    if (tb_network.socket_enabled)
        tb_socket_send(tb_network.socket, address, tb_network_port, packet);
    if (--tb_network.repeat == 0) {
        if (!tb_network.socket_enabled && tb_network.test_sent.size() < 65536) {
            const std::size_t length = std::clamp<std::size_t>(get_u16be(packet, tb_off_length),
                                                               tb_packet_header_size, tb_packet_max_size);
            tb_network.test_sent.emplace_back(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(length));
        }
        tb_network.tail = (tb_network.tail + 1) % tb_network_ring_size;
        if (used_slots() == 0) tb_network.overflow_logged = false;
    }
}

void task_proc(void*, std::uint32_t)
{
    if (tb_network.socket_enabled) receive();
    transmit();
}

} // namespace

const tb_task_descriptor tb_network_task = {
    .size = -1,
    .init_proc = init_proc,
    .task_proc = task_proc,
    .exec_proc = nullptr,
};

std::span<std::uint8_t, tb_packet_max_size> tb_network_new(std::uint16_t opcode)
{
    auto& packet = tb_network.ring[static_cast<std::size_t>(tb_network.head)];
    std::fill(packet.begin(), packet.end(), 0);
    put_u16be(packet, tb_off_opcode, opcode);
    return packet;
}

void tb_network_send(tb_id destination, std::size_t length)
{
    ++tb_network.sequence;
    if (tb_network.sequence == 0) ++tb_network.sequence; // 0 means unrepeated
    queue(destination, length, tb_network.sequence);
}

void tb_network_send_no_rubustness(tb_id destination, std::size_t length) { queue(destination, length, 0); }

bool tb_network_space_available(int n) { return n < tb_network_ring_size - used_slots(); }

tb_socket_record& tb_network_socket() { return tb_network.socket; }

bool packet_for_me(const tb_packet& packet)
{
    const tb_id destination = packet.destination();
    return tb_id_compare_device(destination, tb_id_broadcast()) ||
           tb_id_compare_device(destination, tb_device_own_id());
}

bool update_sequence(const tb_packet& packet)
{
    const std::uint32_t sequence = packet.sequence();
    if (sequence == 0) return true;
    const tb_id source = tb_id_get_device_id(packet.source());
    tb_device_entry* entry = tb_device_get_data(source);
    if (!entry) entry = tb_device_register(source);
    if (!entry) {
        tb_syslog_warning("update_sequence", source, "packet received from unknown device");
        return true;
    }
    if (entry->last_sequence == sequence) return false;
    entry->last_sequence = sequence;
    return true;
}

void tb_opcode_print(const char*, const tb_packet&) {}

void tb_network_test_receive(tb_bytes datagram)
{
    // The caller's buffer is used as it is, so that a handler reading past
    // the datagram is caught by the sanitizers.
    accept_datagram(datagram.first(std::min(datagram.size(), tb_packet_max_size)));
}

void tb_network_test_set_socket_enabled(bool enabled) { tb_network.socket_enabled = enabled; }

std::vector<std::vector<std::uint8_t>> tb_network_test_take_sent()
{
    std::vector<std::vector<std::uint8_t>> packets = std::move(tb_network.test_sent);
    tb_network.test_sent.clear();
    return packets;
}

std::vector<std::vector<std::uint8_t>> tb_network_test_take_queued()
{
    std::vector<std::vector<std::uint8_t>> packets = tb_network_test_take_sent();
    while (tb_network.tail != tb_network.head) {
        const auto& packet = tb_network.ring[static_cast<std::size_t>(tb_network.tail)];
        const std::size_t length = std::clamp<std::size_t>(get_u16be(packet, tb_off_length),
                                                           tb_packet_header_size, tb_packet_max_size);
        packets.emplace_back(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(length));
        tb_network.tail = (tb_network.tail + 1) % tb_network_ring_size;
    }
    tb_network.repeat = 0;
    tb_network.overflow_logged = false;
    return packets;
}

