#pragma once
// UDP sockets of the LAN protocol and the audio transport: protocol magic on
// send, magic filter on receive, repair of a socket gone bad.

#include <cstdint>
#include <span>

#include "core/tb_wire.hpp"

struct tb_network_config {
    std::uint32_t address = 0; // IPv4, host order
    std::uint32_t zero1 = 0;
    std::uint32_t netmask = 0; // host order
    std::uint32_t broadcast = 0;
    std::uint32_t zero2 = 0;
};

struct tb_socket_record {
    int descriptor = -1;
    int port = 0;
    std::uint32_t group = 0; // host order, 0: none joined
};

tb_network_config* tb_socket_init(const tb_network_config& config);
const tb_network_config& tb_socket_config();
int tb_socket_open(tb_socket_record& socket, int port);
void tb_socket_close(tb_socket_record& socket);
int tb_socket_join(tb_socket_record& socket, std::uint32_t group);
// Sends the packet's length-field bytes (36..1316, else refused with -1).
long tb_socket_send(tb_socket_record& socket, std::uint32_t address, int port, std::span<std::uint8_t> packet);
// Reads one datagram without waiting; returns its size when its magic is
// right, 0 when nothing (usable) was read.
std::size_t tb_socket_recv(tb_socket_record& socket, std::span<std::uint8_t, tb_packet_max_size> buffer);
