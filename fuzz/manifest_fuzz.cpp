// Drives the manifest transfer's packet handlers (commit, update, request,
// answer) and its task with arbitrary datagrams. One input is a sequence of
// datagrams, so that a fetch can be started and then fed with answers; each
// datagram lives in a buffer of exactly its size so that a read past the
// received bytes is caught by the sanitizers.
//
// Input: records of [selector, length, payload...]. The selector picks the
// opcode (bits 0-1), whether the service id is replaced by a known one (bit
// 2, which one by bits 3-4), the sending device (bit 5), and whether time
// moves on afterwards (bit 6: 10 s, bit 7: one tick).

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/tb_core.hpp"
#include "core/tb_task.hpp"
#include "net/tb_device.hpp"
#include "net/tb_manifest.hpp"
#include "net/tb_network.hpp"
#include "net/tb_service.hpp"

namespace {

constexpr std::array<std::uint8_t, 6> peer_mac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x42};
constexpr std::array<std::uint8_t, 6> other_mac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x77};

std::uint32_t now = 1000;
std::uint32_t fake_clock() {
    return now;
}

std::array<tb_id, 4> known{};
int handled = 0;

void count_handler(void *, tb_id id) {
    // A completed document must end in its terminator.
    std::string_view text;
    if (tb_manifest_read_update(id, text) && text.size() + 1 > tb_manifest_get_limit(id))
        std::abort();
    ++handled;
}

void reset() {
    tb_clock_set_source(fake_clock);
    tb_network_test_set_socket_enabled(false);
    tb_network_config config;
    config.address = 0x0AD50001;
    tb_device_record device;
    device.mac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    device.nonce = 1;
    tb_core_init(config, device);
    known[0] = tb_service_register_class(tb_class_user, "user");
    known[1] = tb_service_register_class(tb_class_source, "server");
    known[2] = tb_id_make_id(peer_mac, tb_class_room, 0);
    known[3] = tb_id_make_id(peer_mac, tb_class_room, 1);

    std::vector<std::uint8_t> answer(tb_device_answer_base + 16, 0);
    put_id(answer, tb_off_source, tb_id_make_id(peer_mac, 0, 0));
    put_u32be(answer, 352, 2);
    put_id(answer, tb_device_answer_base, known[2]);
    put_id(answer, tb_device_answer_base + 8, known[3]);
    tb_service_set_device_answer(tb_packet{answer});

    tb_manifest_add_handler(count_handler, nullptr, known[0], tb_manifest_key_commit);
    tb_manifest_add_handler(count_handler, nullptr, tb_id_broadcast(), tb_manifest_key_update);
    tb_manifest_set_limit(known[3], 3000);
    tb_manifest_write_update(known[0], std::string(2500, 'u'));
    tb_manifest_write_commit(known[2], "{\"c\":1}");
    (void)tb_network_test_take_queued();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    reset();
    std::size_t pos = 0;
    while (pos + 2 <= size) {
        const std::uint8_t selector = data[pos];
        const std::size_t length = std::min<std::size_t>(data[pos + 1] * 8u, tb_packet_max_size);
        pos += 2;
        const std::size_t body = std::min(size - pos, length);

        const std::size_t total =
            std::max<std::size_t>(tb_packet_header_size, tb_packet_header_size + body);
        auto packet = std::make_unique<std::uint8_t[]>(total);
        std::fill_n(packet.get(), total, 0);
        const tb_mut_bytes bytes(packet.get(), total);
        std::copy_n(data + pos, body, packet.get() + tb_packet_header_size);
        pos += body;
        std::copy(tb_packet_magic.begin(), tb_packet_magic.end(), bytes.begin());
        put_id(bytes, tb_off_destination, tb_device_own_id());
        put_id(bytes, tb_off_source, tb_id_make_id((selector & 0x20) ? other_mac : peer_mac, 0, 0));
        put_u16be(bytes, tb_off_length, static_cast<std::uint16_t>(total));
        put_u16be(bytes, tb_off_opcode,
                  static_cast<std::uint16_t>(tb_op_manifest_commit + (selector & 3)));
        if (selector & 4)
            put_id(bytes, 36, known[(selector >> 3) & 3]);
        tb_network_test_receive(bytes);

        if (selector & 0x40)
            now += 10000;
        if (selector & 0xC0)
            tb_core_task(now += 3);
        (void)tb_network_test_take_queued();
    }
    return 0;
}
