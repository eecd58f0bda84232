// Drives the service registry's packet handlers (service request, answer,
// join, leave and the service list of device answers) with arbitrary
// datagrams. Each datagram lives in a buffer of exactly its size so that a
// read past the received bytes is caught by the sanitizers.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/tb_core.hpp"
#include "core/tb_task.hpp"
#include "net/tb_device.hpp"
#include "net/tb_network.hpp"
#include "net/tb_service.hpp"

namespace {

constexpr std::array<std::uint8_t, 6> peer_mac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x42};
constexpr std::uint16_t opcodes[] = {tb_op_service_join, tb_op_service_leave, tb_op_service_request,
                                     tb_op_service_answer, tb_op_device_answer};

std::uint32_t now = 1000;
std::uint32_t fake_clock() {
    return now;
}
int inputs = 0;

void count_events(void *context, tb_service_record &, std::uint32_t events) {
    *static_cast<std::uint32_t *>(context) |= events;
}

std::uint32_t seen_events = 0;

void reset() {
    tb_clock_set_source(fake_clock);
    tb_network_test_set_socket_enabled(false);
    tb_network_config config;
    config.address = 0x0AD50001;
    tb_device_record device;
    device.mac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    device.nonce = 1;
    tb_core_init(config, device);
    const tb_id user = tb_service_register_class(tb_class_user, "user");
    const tb_id source = tb_service_register_class(tb_class_source, "server");
    tb_service_set_name(user, "1:User");
    tb_service_join(user, source);
    tb_service_add_proc(count_events, &seen_events, tb_id_broadcast());
    (void)tb_network_test_take_queued();
}

// Ids of the peer device, of the server or raw, chosen by the input, so
// that handlers meet both known and unknown services.
tb_id pick_id(std::uint8_t selector, std::uint8_t service_class, std::uint8_t index) {
    switch (selector % 3) {
    case 0:
        return tb_id_make_id(peer_mac, service_class % 16, index % 40);
    case 1:
        return tb_service_make_id(service_class % 16, index % 4);
    default:
        return tb_id_broadcast();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (inputs++ % 1000 == 0)
        reset();
    if (size < 2)
        return 0;
    const std::uint8_t mode = data[0];
    const std::uint16_t opcode = opcodes[mode % std::size(opcodes)];
    data += 1;
    size -= 1;

    // The body comes from the input; the header is made valid so that the
    // datagram reaches the handlers.
    const std::size_t length =
        std::max<std::size_t>(tb_packet_header_size, std::min(size, tb_packet_max_size));
    auto packet = std::make_unique<std::uint8_t[]>(length);
    std::fill_n(packet.get(), length, 0);
    std::copy_n(data, std::min(size, length), packet.get());
    tb_mut_bytes p(packet.get(), length);
    std::copy(tb_packet_magic.begin(), tb_packet_magic.end(), p.begin());
    put_u16be(p, tb_off_length, static_cast<std::uint16_t>(length));
    put_u16be(p, tb_off_opcode, opcode);
    put_u32be(p, tb_off_sequence, 0);
    if (mode & 0x10) {
        put_id(p, tb_off_source, tb_id_make_id(peer_mac, 0, 0));
        put_id(p, tb_off_destination, tb_id_broadcast());
    }
    if (mode & 0x20) {
        // Structured ids: byte triples of the body select the ids written.
        for (std::size_t off = 36; off + 8 <= length && off < 36 + 8 * 130; off += 8)
            put_id(p, off, pick_id(packet[off], packet[off + 1], packet[off + 7]));
        if (opcode == tb_op_device_answer)
            put_u32be(p, 352, get_u8(p, 353));
    }

    const tb_bytes datagram(packet.get(), length);
    tb_network_test_receive(datagram);
    if (opcode == tb_op_device_answer)
        tb_service_set_device_answer(tb_packet{datagram});
    if (mode & 0x40) {
        now += 3;
        tb_core_task(now);
    }
    if (mode & 0x80) {
        std::array<std::uint8_t, tb_packet_max_size> answer{};
        tb_service_get_device_answer(answer, 256);
        tb_service_list list;
        tb_service_sort_list(list, nullptr, nullptr);
        tb_volume volume;
        tb_service_get_master_volume(tb_service_make_id(tb_class_source, 0), volume);
        std::array<char, tb_service_cover_url_size> cover{};
        tb_service_get_cover(tb_service_get_sorted_id(list, list.count / 2), cover);
    }
    (void)tb_network_test_take_queued();
    return 0;
}
