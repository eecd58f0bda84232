#include "net/tb_socket.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {
tb_network_config tb_socket;
}

tb_network_config* tb_socket_init(const tb_network_config& config)
{
    tb_socket = config;
    tb_socket.zero1 = 0;
    tb_socket.zero2 = 0;
    tb_socket.broadcast = config.address | ~config.netmask;
    return &tb_socket;
}

const tb_network_config& tb_socket_config() { return tb_socket; }

int tb_socket_open(tb_socket_record& socket, int port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    socket.descriptor = fd;
    if (fd < 0) return fd;
    socket.port = port;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    (void)::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    const int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    const unsigned char loop = 1;
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
    const unsigned char ttl = 1;
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    return fd;
}

void tb_socket_close(tb_socket_record& socket)
{
    if (socket.descriptor >= 0) ::close(socket.descriptor);
    socket.descriptor = -1;
}

int tb_socket_join(tb_socket_record& socket, std::uint32_t group)
{
    if (socket.group != 0) {
        ip_mreq leave{};
        leave.imr_multiaddr.s_addr = htonl(socket.group);
        leave.imr_interface.s_addr = htonl(INADDR_ANY);
        setsockopt(socket.descriptor, IPPROTO_IP, IP_DROP_MEMBERSHIP, &leave, sizeof leave);
    }
    socket.group = group;
    if (group == 0) return 0;
    ip_mreq join{};
    join.imr_multiaddr.s_addr = htonl(group);
    join.imr_interface.s_addr = htonl(INADDR_ANY);
    return setsockopt(socket.descriptor, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join);
}

long tb_socket_send(tb_socket_record& socket, std::uint32_t address, int port, std::span<std::uint8_t> packet)
{
    if (packet.size() < tb_packet_header_size) return -1;
    std::copy(tb_packet_magic.begin(), tb_packet_magic.end(), packet.begin());
    const std::size_t length = get_u16be(packet, tb_off_length);
    if (length < tb_packet_header_size || length > tb_packet_max_size || length > packet.size()) return -1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(address);
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    const ssize_t sent = ::sendto(socket.descriptor, packet.data(), length, 0,
                                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (sent != -1) return sent;
    // A socket that went bad (closed from outside, interface reset) is
    // reopened and rejoined; the packet itself is left to the repetition.
    int error = ENOTCONN;
    socklen_t len = sizeof error;
    if (getsockopt(socket.descriptor, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = ENOTCONN;
    if (error != ENOTCONN) return error;
    const std::uint32_t group = socket.group;
    tb_socket_close(socket);
    tb_socket_open(socket, socket.port);
    socket.group = 0;
    return tb_socket_join(socket, group);
}

std::size_t tb_socket_recv(tb_socket_record& socket, std::span<std::uint8_t, tb_packet_max_size> buffer)
{
    for (;;) {
        if (socket.descriptor < 0) return 0;
        const ssize_t n = ::recv(socket.descriptor, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n <= 0) return 0;
        const auto size = static_cast<std::size_t>(n);
        if (size >= tb_packet_magic.size() &&
            std::memcmp(buffer.data(), tb_packet_magic.data(), tb_packet_magic.size()) == 0)
            return size;
        // Wrong magic: dropped, the next datagram is read.
    }
}
