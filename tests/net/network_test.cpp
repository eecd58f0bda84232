#include <gtest/gtest.h>

#include "core/tb_syslog.hpp"
#include "net/net_fixture.hpp"

namespace {

using tb_test::make_packet;
using tb_test::NetFixture;
using tb_test::packet_bytes;
using tb_test::peer_device;

// Counts the packets of one otherwise unused opcode that reach the tasks.
int probe_calls = 0;
void probe_exec(void*, const tb_packet& packet)
{
    if (packet.opcode() == 4) ++probe_calls;
}
constexpr tb_task_descriptor probe_task = {.exec_proc = probe_exec};

class NetworkTest : public NetFixture {
protected:
    void SetUp() override
    {
        NetFixture::SetUp();
        probe_calls = 0;
        tb_task_add(probe_task, tb_id{});
    }
};

TEST_F(NetworkTest, RepeatedPacketReachesTasksOnceUnrepeatedEveryTime)
{
    const packet_bytes repeated = make_packet(4, tb_id_broadcast(), peer_device(), 36, 77);
    for (int copy = 0; copy < 3; ++copy) receive(repeated);
    EXPECT_EQ(probe_calls, 1);

    const packet_bytes unrepeated = make_packet(4, tb_id_broadcast(), peer_device(), 36, 0);
    receive(unrepeated);
    receive(unrepeated);
    EXPECT_EQ(probe_calls, 3);

    // The first repeated packet of a new device registered it.
    EXPECT_NE(tb_device_get_data(peer_device()), nullptr);
}

TEST_F(NetworkTest, DestinationFilter)
{
    const tb_id own = tb_device_own_id();
    const tb_id own_service = tb_id_make_id(std::array<std::uint8_t, 6>{0x02, 0, 0, 0, 0, 0x01}, tb_class_user, 4);
    tb_id all_devices_room = tb_id_broadcast();
    all_devices_room.bytes[0] = tb_class_room;
    struct filter_case {
        tb_id destination;
        bool accepted;
    } cases[] = {
        {tb_id_broadcast(), true}, {own, true}, {own_service, true}, {all_devices_room, true},
        {peer_device(7), false},   {tb_id_unknown(), false},
    };
    for (const auto& c : cases) {
        probe_calls = 0;
        receive(make_packet(4, c.destination, peer_device(), 36));
        EXPECT_EQ(probe_calls, c.accepted ? 1 : 0) << tb_id_text(c.destination);
    }
}

TEST_F(NetworkTest, MalformedDatagramsAreDropped)
{
    packet_bytes good = make_packet(4, tb_id_broadcast(), peer_device(), 40);
    packet_bytes short_length = good;
    put_u16be(short_length, tb_off_length, 35);
    packet_bytes long_length = good;
    put_u16be(long_length, tb_off_length, 41);
    packet_bytes bad_magic = good;
    bad_magic[7] = '2';
    const packet_bytes magic_only(tb_packet_magic.begin(), tb_packet_magic.end() - 1);
    for (const packet_bytes* bad : std::array<const packet_bytes*, 4>{&short_length, &long_length, &bad_magic, &magic_only}) receive(*bad);
    EXPECT_EQ(probe_calls, 0);
    receive(packet_bytes(good.begin(), good.begin() + 35)); // truncated header
    EXPECT_EQ(probe_calls, 0);
    receive(good);
    EXPECT_EQ(probe_calls, 1);
}

TEST_F(NetworkTest, ExtraBytesBeyondTheLengthFieldAreNotHandedOn)
{
    static std::size_t seen_size = 0;
    tb_task_add(tb_task_descriptor{.exec_proc = [](void*, const tb_packet& p) {
                    if (p.opcode() == 4) seen_size = p.size();
                }},
                tb_id{});
    packet_bytes packet = make_packet(4, tb_id_broadcast(), peer_device(), 50);
    put_u16be(packet, tb_off_length, 44);
    receive(packet);
    EXPECT_EQ(seen_size, 44u);
}

TEST_F(NetworkTest, RepeatedPacketsLeaveThreeTimesInConsecutiveTicks)
{
    auto first = tb_network_new(4);
    put_u32be(first, 36, 1);
    tb_network_send(tb_id_broadcast(), 40);
    tb_network_new(4);
    tb_network_send_no_rubustness(tb_id_broadcast(), 36);
    run_ms(3 * 2);
    EXPECT_EQ(tb_network_test_take_sent().size(), 0u); // still repeating the first one
    run_ms(3);
    EXPECT_EQ(tb_network_test_take_sent().size(), 1u); // the first after its third copy
    run_ms(3);
    EXPECT_EQ(tb_network_test_take_sent().size(), 1u); // the unrepeated one leaves once
}

TEST_F(NetworkTest, FullRingKeepsQueuedPacketsAndDropsNewOnes)
{
    EXPECT_TRUE(tb_network_space_available(1023));
    tb_network_new(4);
    tb_network_send(tb_id_broadcast(), 36);
    EXPECT_FALSE(tb_network_space_available(1023));
    EXPECT_TRUE(tb_network_space_available(1022));
    for (int i = 1; i < 1100; ++i) {
        auto packet = tb_network_new(4);
        put_u32be(packet, 36, static_cast<std::uint32_t>(i));
        tb_network_send(tb_id_broadcast(), 40);
    }
    const auto queued = take();
    // 1023 slots hold packets; the first one logged the overflow (itself dropped
    // since the ring was full), every later one was dropped silently.
    ASSERT_EQ(queued.size(), 1023u);
    for (std::size_t i = 0; i < queued.size(); ++i)
        EXPECT_EQ(get_u32be(queued[i], 36), static_cast<std::uint32_t>(i)) << i;
}

TEST_F(NetworkTest, HeaderOfQueuedPackets)
{
    tb_network_new(4);
    tb_network_send(peer_device(), 36);
    tb_network_new(4);
    tb_network_send(peer_device(), 36);
    tb_network_new(4);
    tb_network_send_no_rubustness(tb_id_broadcast(), 36);
    const auto packets = take(4);
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(std::string(packets[0].begin(), packets[0].begin() + 8), "KESTOR01");
    EXPECT_EQ(get_id(packets[0], tb_off_source), tb_device_own_id());
    EXPECT_EQ(get_u32be(packets[0], tb_off_nonce), 0x11223344u);
    EXPECT_EQ(get_u32be(packets[1], tb_off_sequence), get_u32be(packets[0], tb_off_sequence) + 1);
    EXPECT_EQ(get_u32be(packets[2], tb_off_sequence), 0u);
}

TEST_F(NetworkTest, SyslogPacketText)
{
    const tb_id about = tb_id_make_id(std::array<std::uint8_t, 6>{0x02, 0, 0, 0, 0, 0x01}, tb_class_user, 1);
    tb_syslog_error("tb_service_set_name", about, "trying to set %s of unknown service", "name");
    tb_syslog_message("origin", tb_id_unknown(), "%s", std::string(300, 'x').c_str());
    tb_syslog_fatal(std::string(1100, 'o').c_str(), tb_id_unknown(), "m");
    const auto packets = take(tb_op_syslog);
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(syslog_text(packets[0]), "E #" + tb_id_text(tb_device_own_id()) + " #" + tb_id_text(about) +
                                           " tb_service_set_name:trying to set name of unknown service");
    EXPECT_EQ(get_u16be(packets[0], tb_off_length), 37 + syslog_text(packets[0]).size());
    EXPECT_EQ(get_u32be(packets[0], tb_off_sequence), 0u);
    EXPECT_EQ(get_id(packets[0], tb_off_destination), tb_id_broadcast());

    const std::string cut = syslog_text(packets[1]);
    EXPECT_EQ(cut.substr(0, 34), "M #" + tb_id_text(tb_device_own_id()) + " #00000000000000 ");
    EXPECT_EQ(cut.size(), 3 + 14 + 2 + 14 + 1 + 7 + 255u); // message cut at 255
    EXPECT_EQ(syslog_text(packets[2]).size(), 1023u);       // whole text cut at 1023
}

} // namespace
