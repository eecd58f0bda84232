#pragma once
// Runs the LAN core without a socket: tasks registered as at start-up,
// packets fed through the receive path, queued packets taken from the ring,
// and a clock the test steps by hand.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/tb_core.hpp"
#include "core/tb_task.hpp"
#include "net/tb_device.hpp"
#include "net/tb_network.hpp"

namespace tb_test {

inline std::uint32_t fake_now = 1000;
inline std::uint32_t fake_clock() { return fake_now; }

inline tb_device_record test_device_record()
{
    tb_device_record record;
    record.mac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    record.nonce = 0x11223344;
    record.version = {138, 2, 4, 9};
    const std::string url = "http://10.213.0.1/tamber/";
    std::copy(url.begin(), url.end(), record.url.begin());
    return record;
}

using packet_bytes = std::vector<std::uint8_t>;

// Builds a datagram header the way a peer would.
inline packet_bytes make_packet(std::uint16_t opcode, tb_id destination, tb_id source, std::size_t length,
                                std::uint32_t sequence = 0, std::uint32_t nonce = 0x55667788)
{
    packet_bytes packet(length, 0);
    std::copy(tb_packet_magic.begin(), tb_packet_magic.end(), packet.begin());
    put_id(packet, tb_off_destination, destination);
    put_id(packet, tb_off_source, source);
    put_u32be(packet, tb_off_nonce, nonce);
    put_u32be(packet, tb_off_sequence, sequence);
    put_u16be(packet, tb_off_length, static_cast<std::uint16_t>(length));
    put_u16be(packet, tb_off_opcode, opcode);
    return packet;
}

inline tb_id peer_device(std::uint8_t last = 0x42)
{
    const std::array<std::uint8_t, 6> mac = {0x02, 0x00, 0x00, 0x00, 0x00, last};
    return tb_id_make_id(mac, 0, 0);
}

class NetFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_now = 1000;
        tb_clock_set_source(fake_clock);
        tb_network_test_set_socket_enabled(false);
        tb_network_config config;
        config.address = 0x0AD50001; // 10.213.0.1
        config.netmask = 0xFFFFFF00;
        tb_core_init(config, test_device_record());
        (void)tb_network_test_take_queued();
    }

    void TearDown() override { tb_clock_set_source(nullptr); }

    static void receive(const packet_bytes& packet) { tb_network_test_receive(packet); }
    static std::vector<packet_bytes> take() { return tb_network_test_take_queued(); }

    static std::vector<packet_bytes> take(std::uint16_t opcode)
    {
        std::vector<packet_bytes> matching;
        for (auto& packet : take())
            if (get_u16be(packet, tb_off_opcode) == opcode) matching.push_back(std::move(packet));
        return matching;
    }

    // Advances the clock by ms in 3 ms ticks, running the task table.
    static void run_ms(std::uint32_t ms)
    {
        for (std::uint32_t t = 0; t < ms; t += 3) {
            fake_now += 3;
            tb_core_task(fake_now);
        }
    }

    static std::string syslog_text(const packet_bytes& packet)
    {
        return std::string(get_text(packet, tb_off_payload, packet.size() - tb_off_payload));
    }
};

} // namespace tb_test
