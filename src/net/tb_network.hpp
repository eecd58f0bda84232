#pragma once
// The packet network: transmit ring (one datagram per tick, repeated packets
// three times), receive filter, duplicate suppression, fan-out to tasks.

#include <cstdint>
#include <span>
#include <vector>

#include "core/tb_task.hpp"
#include "net/tb_socket.hpp"

constexpr std::uint16_t tb_network_port = 11246;
constexpr std::uint32_t tb_network_group = 0xEC0D0842; // 236.13.8.66
constexpr int tb_network_ring_size = 1024;

extern const tb_task_descriptor tb_network_task;

// The packet being built in the head slot, with its opcode written. The
// caller fills the payload from byte 36, then calls one of the sends.
std::span<std::uint8_t, tb_packet_max_size> tb_network_new(std::uint16_t opcode);
void tb_network_send(tb_id destination, std::size_t length);
void tb_network_send_no_rubustness(tb_id destination, std::size_t length);
bool tb_network_space_available(int n);
// The socket of the packet network (boot packets are sent on it directly).
tb_socket_record& tb_network_socket();
bool packet_for_me(const tb_packet& packet);
bool update_sequence(const tb_packet& packet);
void tb_opcode_print(const char* direction, const tb_packet& packet);

// Test hooks: run the network without a socket, and take the packets sent
// since the last call followed by those still queued (the ring is emptied).
void tb_network_test_set_socket_enabled(bool enabled);
// Runs one datagram through the receive path (checks, filter, sequence, fan-out).
void tb_network_test_receive(tb_bytes datagram);
std::vector<std::vector<std::uint8_t>> tb_network_test_take_queued();
// Only the packets whose last copy left since the last call.
std::vector<std::vector<std::uint8_t>> tb_network_test_take_sent();
