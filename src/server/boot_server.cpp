#include "server/boot_server.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "core/tb_syslog.hpp"
#include "net/tb_device.hpp"
#include "net/tb_network.hpp"
#include "net/tb_socket.hpp"

namespace {

// The type byte of an erased (or missing) image: such an image updates nothing.
constexpr std::uint8_t no_image_type = 0xFF;

constexpr std::size_t off_address = 36;
constexpr std::size_t off_version = 40;
constexpr std::size_t off_command = 36;
constexpr std::size_t off_type = 40;
constexpr std::size_t off_block_length = 42;
constexpr std::size_t off_block_offset = 44;
constexpr std::size_t off_block_data = 48;
constexpr std::size_t device_answer_min = off_version + 4;

tb_boot_server_sender test_sender = nullptr;

constexpr std::array<std::uint16_t, 256> make_crc_table()
{
    std::array<std::uint16_t, 256> table{};
    for (std::size_t i = 0; i < table.size(); ++i) {
        auto crc = static_cast<std::uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        table[i] = crc;
    }
    return table;
}

constexpr auto crc_table = make_crc_table();

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

void load_firmware(tb_boot_server_state& state, std::string_view path)
{
    state.image.fill(0xFF);
    const std::string name(path);
    std::unique_ptr<std::FILE, file_closer> file(std::fopen(name.c_str(), "rb"));
    if (file)
        std::fread(state.image.data(), 1, state.image.size(), file.get());
    else
        tb_syslog_warning("load_firmware", tb_device_own_id(), "firmware file not readable");
    const std::uint16_t crc = compute_crc(std::span(state.image).subspan(tb_boot_app_start,
                                                                         tb_boot_crc_offset - tb_boot_app_start));
    put_u16be(state.image, tb_boot_crc_offset, crc);
    std::copy_n(state.image.begin() + tb_boot_version_offset, state.version.size(), state.version.begin());
}

// Fills the header of a packet that leaves at once, outside the transmit ring.
void put_direct_header(tb_mut_bytes packet, std::uint16_t opcode, std::size_t length)
{
    std::copy(tb_packet_magic.begin(), tb_packet_magic.end(), packet.begin());
    put_id(packet, tb_off_destination, tb_id_broadcast());
    put_id(packet, tb_off_source, tb_device_own_id());
    put_u32be(packet, tb_off_nonce, tb_device_own_nonce());
    put_u32be(packet, tb_off_sequence, 0);
    put_u16be(packet, tb_off_length, static_cast<std::uint16_t>(length));
    put_u16be(packet, tb_off_opcode, opcode);
}

void send_direct(std::uint32_t address, std::span<std::uint8_t> packet)
{
    if (test_sender) {
        test_sender(address, packet);
        return;
    }
    tb_socket_record& socket = tb_network_socket();
    if (socket.descriptor >= 0) tb_socket_send(socket, address, tb_network_port, packet);
}

void handle_device_answer(const tb_boot_server_state& state, const tb_packet& packet)
{
    if (packet.size() < device_answer_min) return;
    const std::uint32_t address = get_u32be(packet.bytes, off_address);
    tb_boot_version device_version{};
    for (std::size_t i = 0; i < device_version.size(); ++i) device_version[i] = get_u8(packet.bytes, off_version + i);
    if (address == 0 || !compare_version(state.version, device_version)) return;
    std::array<std::uint8_t, tb_boot_command_size> command{};
    put_direct_header(command, tb_op_boot_command, command.size());
    put_u16be(command, off_command, tb_boot_command_enter_loader);
    send_direct(address, command);
}

void handle_boot_request(const tb_boot_server_state& state, const tb_packet& packet)
{
    if (packet.size() < tb_boot_request_size) return;
    const std::uint32_t address = get_u32be(packet.bytes, off_address);
    const std::uint16_t type = get_u16be(packet.bytes, off_type);
    const std::uint16_t length = get_u16be(packet.bytes, off_block_length);
    const std::uint32_t offset = get_u32be(packet.bytes, off_block_offset);
    if (address == 0 || state.version[0] == no_image_type || type != state.version[0]) return;
    // A block that is empty, longer than 1024 bytes or not wholly inside the
    // image is not answered rather than cut: a shorter block than the one
    // asked for could be taken for it, and an unanswered loader asks again.
    if (length == 0 || length > tb_boot_block_max ||
        std::uint64_t{offset} + length > tb_boot_image_size)
        return;
    std::array<std::uint8_t, tb_boot_answer_size> answer{};
    put_direct_header(answer, tb_op_boot_answer, answer.size());
    put_u32be(answer, off_address, tb_socket_config().address);
    put_u16be(answer, off_type, type);
    put_u16be(answer, off_block_length, length);
    put_u32be(answer, off_block_offset, offset);
    std::copy_n(state.image.begin() + offset, length, answer.begin() + off_block_data);
    send_direct(address, answer);
}

void exec_proc(void* block, const tb_packet& packet)
{
    if (!block) return;
    const auto& state = *static_cast<const tb_boot_server_state*>(block);
    switch (packet.opcode()) {
    case tb_op_device_answer:
        handle_device_answer(state, packet);
        break;
    case tb_op_boot_request:
        handle_boot_request(state, packet);
        break;
    default:
        break;
    }
}

} // namespace

const tb_task_descriptor tb_boot_server_task = {
    .size = sizeof(tb_boot_server_state),
    .init_proc = nullptr,
    .task_proc = nullptr,
    .exec_proc = exec_proc,
};

tb_boot_server_state* start_boot_server(std::string_view path)
{
    auto* state = tb_task_add_state<tb_boot_server_state>(tb_boot_server_task, tb_device_own_id());
    if (state) tb_boot_server_setup(*state, path);
    return state;
}

void tb_boot_server_setup(tb_boot_server_state& state, std::string_view path) { load_firmware(state, path); }

std::uint16_t compute_crc(std::span<const std::uint8_t> data)
{
    std::uint16_t crc = 0;
    for (const std::uint8_t byte : data)
        crc = static_cast<std::uint16_t>((crc << 8) ^ crc_table[((crc >> 8) ^ byte) & 0xFF]);
    return crc;
}

bool compare_version(const tb_boot_version& image_version, const tb_boot_version& device_version)
{
    if (image_version[0] == no_image_type || device_version[0] != image_version[0]) return false;
    if (device_version[1] != image_version[1]) return true;
    if (device_version[2] != image_version[2]) return device_version[2] < image_version[2];
    return device_version[3] < image_version[3];
}

void tb_boot_server_test_set_sender(tb_boot_server_sender sender) { test_sender = sender; }
