// Boot requests, device answers (version check) and syslog packets from the
// LAN, handed to the boot server and the syslog store as the packet network
// would. The first input byte picks the opcode so every handler is reached.

#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/tb_task.hpp"
#include "core/tb_wire.hpp"
#include "server/boot_server.hpp"
#include "server/syslog_server.hpp"

namespace {

constexpr std::array<std::uint16_t, 3> opcodes = {tb_op_boot_request, tb_op_device_answer, tb_op_syslog};

tb_boot_server_state* boot_state = nullptr;

void check_sent(std::uint32_t, std::span<const std::uint8_t> packet)
{
    const std::uint16_t opcode = get_u16be(packet, tb_off_opcode);
    const std::size_t expected = opcode == tb_op_boot_answer ? tb_boot_answer_size : tb_boot_command_size;
    if (packet.size() != expected || get_u16be(packet, tb_off_length) != expected) __builtin_trap();
    if (opcode == tb_op_boot_answer) {
        const std::size_t length = get_u16be(packet, 42);
        const std::size_t offset = get_u32be(packet, 44);
        if (length == 0 || length > tb_boot_block_max || offset + length > tb_boot_image_size) __builtin_trap();
    }
}

void setup()
{
    tb_task_init();
    tb_boot_server_test_set_sender(check_sent);
    boot_state = start_boot_server("/nonexistent/firmware.bin");
    if (!boot_state) std::abort();
    // A small known image so that requests of type 0x21 are answered.
    for (std::size_t i = 0; i < boot_state->image.size(); ++i) boot_state->image[i] = static_cast<std::uint8_t>(i);
    boot_state->version = {0x21, 2, 4, 9};

    // The lines go to /dev/null through a link, so the run does not fill the disk.
    std::string pattern = (std::filesystem::temp_directory_path() / "tb-boot-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    const std::filesystem::path directory = pattern;
    std::filesystem::create_symlink("/dev/null", directory / "syslog.log");
    if (!syslog_server_start(directory.string())) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool ready = (setup(), true);
    (void)ready;
    if (size < 1) return 0;
    const std::uint16_t opcode = opcodes[data[0] % opcodes.size()];
    std::vector<std::uint8_t> packet(data + 1, data + size);
    // The packet network hands over only datagrams with a whole header.
    if (packet.size() < tb_packet_header_size) packet.resize(tb_packet_header_size);
    if (packet.size() > tb_packet_max_size) packet.resize(tb_packet_max_size);
    put_u16be(packet, tb_off_opcode, opcode);
    put_u16be(packet, tb_off_length, static_cast<std::uint16_t>(packet.size()));
    tb_task_exec(tb_packet{packet});
    tb_task_task(0);
    return 0;
}
