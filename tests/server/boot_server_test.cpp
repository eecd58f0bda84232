#include "server/boot_server.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "net/net_fixture.hpp"
#include "net/tb_socket.hpp"

namespace {

using tb_test::packet_bytes;

constexpr std::uint32_t peer_address = 0x0AD50002; // 10.213.0.2
constexpr std::uint8_t image_type = 0x21;

struct sent_packet {
    std::uint32_t address;
    packet_bytes bytes;
};

std::vector<sent_packet> sent;

void capture(std::uint32_t address, std::span<const std::uint8_t> packet)
{
    sent.push_back({address, packet_bytes(packet.begin(), packet.end())});
}

TEST(BootServerCrc, MatchesTheXmodemCheckValue)
{
    const std::string check = "123456789";
    EXPECT_EQ(compute_crc(std::span(reinterpret_cast<const std::uint8_t*>(check.data()), check.size())), 0x31C3);
    EXPECT_EQ(compute_crc({}), 0x0000);
    const std::array<std::uint8_t, 1> zero{};
    EXPECT_EQ(compute_crc(zero), 0x0000);
    const std::array<std::uint8_t, 2> ff = {0xFF, 0xFF};
    EXPECT_EQ(compute_crc(ff), 0x1D0F);
}

TEST(BootServerVersion, DecidesWhichDevicesNeedTheImage)
{
    struct Case {
        tb_boot_version image;
        tb_boot_version device;
        bool update;
    };
    const std::vector<Case> cases = {
        {{image_type, 2, 4, 9}, {image_type, 2, 4, 8}, true},   // older patch
        {{image_type, 2, 4, 8}, {image_type, 2, 4, 8}, false},  // same version
        {{image_type, 3, 0, 0}, {image_type, 2, 4, 8}, true},   // newer major
        {{image_type, 1, 0, 0}, {image_type, 2, 4, 8}, true},   // any other major
        {{image_type, 2, 5, 0}, {image_type, 2, 4, 8}, true},   // older minor
        {{image_type, 2, 3, 9}, {image_type, 2, 4, 8}, false},  // newer minor on the device
        {{image_type, 2, 4, 7}, {image_type, 2, 4, 8}, false},  // newer patch on the device
        {{image_type, 2, 4, 200}, {image_type, 2, 4, 8}, true}, // bytes are unsigned
        {{image_type, 2, 4, 9}, {0x22, 2, 4, 8}, false},        // another type
        {{0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 1, 0, 0}, false},     // erased image updates nothing
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.image) + " / " + testing::PrintToString(c.device));
        EXPECT_EQ(compare_version(c.image, c.device), c.update);
    }
}

class BootServerTest : public tb_test::NetFixture {
protected:
    void SetUp() override
    {
        NetFixture::SetUp();
        sent.clear();
        tb_boot_server_test_set_sender(capture);
        std::string pattern = (std::filesystem::temp_directory_path() / "tb-boot-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        directory = pattern;
    }

    void TearDown() override
    {
        tb_boot_server_test_set_sender(nullptr);
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
        NetFixture::TearDown();
    }

    // An image file whose byte i is i * 7 + (i >> 8), with the given version.
    std::string write_image(std::size_t size, tb_boot_version version)
    {
        std::vector<std::uint8_t> bytes(size);
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
        for (std::size_t i = 0; i < version.size() && tb_boot_version_offset + i < size; ++i)
            bytes[tb_boot_version_offset + i] = version[i];
        const std::string path = (directory / "firmware.bin").string();
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    tb_boot_server_state* start_with_image(tb_boot_version version = {image_type, 2, 4, 9})
    {
        return start_boot_server(write_image(tb_boot_image_size, version));
    }

    static packet_bytes device_answer(tb_boot_version version, std::size_t length = tb_device_answer_base)
    {
        packet_bytes packet =
            tb_test::make_packet(tb_op_device_answer, tb_id_broadcast(), tb_test::peer_device(), length, 7);
        put_u32be(packet, 36, peer_address);
        for (std::size_t i = 0; i < version.size(); ++i) put_u8(packet, 40 + i, version[i]);
        return packet;
    }

    static packet_bytes boot_request(std::uint32_t offset, std::uint16_t length, std::uint16_t type = image_type,
                                     std::size_t size = tb_boot_request_size, std::uint32_t address = peer_address)
    {
        packet_bytes packet = tb_test::make_packet(tb_op_boot_request, tb_id_broadcast(), tb_test::peer_device(),
                                                   size);
        put_u32be(packet, 36, address);
        put_u16be(packet, 40, type);
        put_u16be(packet, 42, length);
        put_u32be(packet, 44, offset);
        return packet;
    }

    static void deliver(const packet_bytes& packet) { tb_task_exec(tb_packet{packet}); }

    static void expect_direct_header(const packet_bytes& packet, std::uint16_t opcode, std::size_t length)
    {
        ASSERT_EQ(packet.size(), length);
        EXPECT_TRUE(std::equal(tb_packet_magic.begin(), tb_packet_magic.end(), packet.begin()));
        EXPECT_EQ(get_id(packet, tb_off_destination), tb_id_broadcast());
        EXPECT_EQ(get_id(packet, tb_off_source), tb_device_own_id());
        EXPECT_EQ(get_u32be(packet, tb_off_nonce), tb_device_own_nonce());
        EXPECT_EQ(get_u32be(packet, tb_off_sequence), 0u);
        EXPECT_EQ(get_u16be(packet, tb_off_length), length);
        EXPECT_EQ(get_u16be(packet, tb_off_opcode), opcode);
    }

    std::filesystem::path directory;
};

TEST_F(BootServerTest, LoadsTheImageWithItsCrcAndVersion)
{
    tb_boot_server_state* state = start_with_image({image_type, 2, 4, 9});
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->version, (tb_boot_version{image_type, 2, 4, 9}));
    EXPECT_EQ(state->image[1000], static_cast<std::uint8_t>(1000 * 7 + (1000 >> 8)));
    const std::uint16_t crc = compute_crc(std::span(state->image).subspan(0x10000, 458750));
    EXPECT_EQ(get_u16be(state->image, 0x7FFFE), crc);
}

TEST_F(BootServerTest, ShortOrMissingFileIsPaddedWithErasedBytes)
{
    tb_boot_server_state* state = start_boot_server(write_image(0x20000, {image_type, 1, 2, 3}));
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->version, (tb_boot_version{image_type, 1, 2, 3}));
    EXPECT_EQ(state->image[0x1FFFF], static_cast<std::uint8_t>(0x1FFFF * 7 + (0x1FFFF >> 8)));
    EXPECT_EQ(state->image[0x20000], 0xFF);
    EXPECT_EQ(state->image[0x7FFFD], 0xFF);

    tb_boot_server_state* missing = start_boot_server((directory / "absent.bin").string());
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(missing->version, (tb_boot_version{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_TRUE(std::all_of(missing->image.begin(), missing->image.begin() + 0x7FFFE,
                            [](std::uint8_t b) { return b == 0xFF; }));
}

TEST_F(BootServerTest, OutdatedDeviceOfTheImageTypeGetsABootCommand)
{
    ASSERT_NE(start_with_image({image_type, 2, 4, 9}), nullptr);
    deliver(device_answer({image_type, 2, 4, 8}));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].address, peer_address);
    expect_direct_header(sent[0].bytes, tb_op_boot_command, tb_boot_command_size);
    EXPECT_EQ(get_u16be(sent[0].bytes, 36), 2);
    EXPECT_TRUE(take().empty()) << "boot packets bypass the transmit ring";
}

TEST_F(BootServerTest, DeviceAnswersThatGetNoBootCommand)
{
    ASSERT_NE(start_with_image({image_type, 2, 4, 9}), nullptr);
    packet_bytes no_address = device_answer({image_type, 2, 4, 8});
    put_u32be(no_address, 36, 0);
    const std::vector<packet_bytes> answers = {
        device_answer({image_type, 2, 4, 9}),     // up to date
        device_answer({0x22, 2, 4, 8}),           // another type
        device_answer({image_type, 2, 4, 8}, 43), // too short to hold the version
        no_address,
    };
    for (const auto& answer : answers) deliver(answer);
    EXPECT_TRUE(sent.empty());
}

TEST_F(BootServerTest, BlockRequestIsAnsweredWithThoseImageBytes)
{
    tb_boot_server_state* state = start_with_image();
    ASSERT_NE(state, nullptr);
    deliver(boot_request(1024, 1024));
    ASSERT_EQ(sent.size(), 1u);
    const packet_bytes& answer = sent[0].bytes;
    EXPECT_EQ(sent[0].address, peer_address);
    expect_direct_header(answer, tb_op_boot_answer, tb_boot_answer_size);
    EXPECT_EQ(get_u32be(answer, 36), tb_socket_config().address);
    EXPECT_EQ(get_u16be(answer, 40), image_type);
    EXPECT_EQ(get_u16be(answer, 42), 1024);
    EXPECT_EQ(get_u32be(answer, 44), 1024u);
    EXPECT_TRUE(std::equal(answer.begin() + 48, answer.end(), state->image.begin() + 1024));
}

TEST_F(BootServerTest, BlocksAtTheEdgesOfTheImage)
{
    tb_boot_server_state* state = start_with_image();
    ASSERT_NE(state, nullptr);
    deliver(boot_request(tb_boot_image_size - 1024, 1024)); // the last block, with the CRC
    deliver(boot_request(5, 1));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_TRUE(std::equal(sent[0].bytes.begin() + 48, sent[0].bytes.end(), state->image.end() - 1024));
    EXPECT_EQ(sent[1].bytes[48], state->image[5]);
    EXPECT_TRUE(std::all_of(sent[1].bytes.begin() + 49, sent[1].bytes.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(BootServerTest, RequestsThatAreNotAnswered)
{
    ASSERT_NE(start_with_image(), nullptr);
    const std::vector<packet_bytes> requests = {
        boot_request(0, 0),                                          // empty block
        boot_request(0, 1025),                                       // longer than a block
        boot_request(0, 0xFFFF),
        boot_request(tb_boot_image_size - 1023, 1024),               // reaches past the image
        boot_request(tb_boot_image_size, 1),
        boot_request(0xFFFFFC00, 1024),                              // offset + length wraps in 32 bits
        boot_request(0, 1024, 0x22),                                 // another type
        boot_request(0, 1024, 0x0100 | image_type),                  // type is 16 bits wide
        boot_request(0, 1024, image_type, tb_boot_request_size - 1), // truncated request
        boot_request(0, 1024, image_type, tb_boot_request_size, 0),  // nowhere to answer
    };
    for (const auto& request : requests) deliver(request);
    EXPECT_TRUE(sent.empty());
}

TEST_F(BootServerTest, ErasedImageAnswersNothing)
{
    ASSERT_NE(start_boot_server((directory / "absent.bin").string()), nullptr);
    deliver(device_answer({0xFF, 1, 0, 0}));
    deliver(boot_request(0, 1024, 0xFF));
    EXPECT_TRUE(sent.empty());
}

TEST_F(BootServerTest, LongerRequestAndAnswerPacketsStillWork)
{
    // Fields are read at their offsets; extra bytes after them do not matter.
    ASSERT_NE(start_with_image({image_type, 2, 4, 9}), nullptr);
    deliver(boot_request(0, 16, image_type, 60));
    deliver(device_answer({image_type, 2, 4, 8}, tb_device_answer_base + 16));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(get_u16be(sent[0].bytes, tb_off_opcode), tb_op_boot_answer);
    EXPECT_EQ(get_u16be(sent[1].bytes, tb_off_opcode), tb_op_boot_command);
}

} // namespace
