// Drives the LAN receive path (magic and length checks, destination filter,
// sequence check, fan-out to every task, device answer handling and ageing)
// with arbitrary datagrams, and checks what the server queues in return.
// Inputs hold several datagrams; run with -len_control=0 -max_len=6000 so
// that full-size device answers are tried from the start.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/tb_core.hpp"
#include "core/tb_task.hpp"
#include "net/tb_device.hpp"
#include "net/tb_network.hpp"

namespace {

std::uint32_t fake_now = 1000;
std::uint32_t fake_clock() { return fake_now; }

constexpr std::array<std::uint8_t, 6> own_mac = {0x02, 0x54, 0x42, 0xD5, 0x00, 0x01};
constexpr std::array<std::uint8_t, 6> peer_mac = {0x02, 0x54, 0x42, 0xD5, 0x00, 0x02};

void start_core()
{
    tb_network_config config;
    config.address = 0x0AD50001;
    config.netmask = 0xFFFFFF00;
    tb_device_record record;
    record.mac = own_mac;
    record.nonce = 0x11223344;
    record.version = {138, 2, 4, 9};
    tb_copy_text(record.url, "http://10.213.0.1/");
    tb_core_init(config, record);
}

// What the server sends must itself be well formed.
void check_queued()
{
    for (const auto& packet : tb_network_test_take_queued()) {
        if (packet.size() < tb_packet_header_size || packet.size() > tb_packet_max_size) std::abort();
        if (get_u16be(packet, tb_off_opcode) == tb_op_device_answer) {
            const std::uint32_t n = get_u32be(packet, 352);
            if (n > 120 || packet.size() != tb_device_answer_base + 8 * n) std::abort();
        }
    }
}

// Steers a share of the inputs past the early checks so that the handlers
// behind them are reached.
void shape(std::vector<std::uint8_t>& datagram, std::uint8_t control)
{
    if (datagram.size() < tb_packet_header_size) return;
    if (control & 1) std::copy(tb_packet_magic.begin(), tb_packet_magic.end(), datagram.begin());
    if (control & 2) {
        const tb_id destination = (control & 4) ? tb_id_broadcast() : tb_id_make_id(own_mac, 0, 0);
        put_id(datagram, tb_off_destination, destination);
    }
    if (control & 8) put_id(datagram, tb_off_source, tb_id_make_id(peer_mac, 0, 0));
    if (control & 16) put_u16be(datagram, tb_off_length, static_cast<std::uint16_t>(datagram.size()));
    if (control & 32)
        put_u16be(datagram, tb_off_opcode, (control & 64) ? tb_op_device_answer : tb_op_device_request);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    tb_clock_set_source(fake_clock);
    tb_network_test_set_socket_enabled(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    fake_now = 1000;
    start_core();
    check_queued();
    for (int n = 0; n < 64 && input.remaining_bytes() > 0; ++n) {
        const auto control = input.ConsumeIntegral<std::uint8_t>();
        const auto length = input.ConsumeIntegralInRange<std::size_t>(0, tb_packet_max_size + 16);
        std::vector<std::uint8_t> datagram = input.ConsumeBytes<std::uint8_t>(length);
        shape(datagram, control);
        tb_network_test_receive(datagram);
        if (control & 128) {
            // Let time pass: announcements, requests to silent devices, removal.
            fake_now += input.ConsumeIntegralInRange<std::uint32_t>(0, 20000);
            tb_core_task(fake_now);
        }
        check_queued();
    }
    return 0;
}
