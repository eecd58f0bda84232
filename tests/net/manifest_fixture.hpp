#pragma once
// Manifest packets as a peer builds them, a recorder for manifest handlers,
// and a loopback pump that hands the server's own packets back to it the way
// multicast loopback does.

#include <algorithm>
#include <string>
#include <vector>

#include "net/net_fixture.hpp"
#include "net/tb_manifest.hpp"
#include "net/tb_service.hpp"

namespace tb_test {

struct manifest_answer_fields {
    tb_id service{};
    std::uint32_t key = 0;
    std::uint32_t stamp = 0;
    std::uint32_t token = 0;
    std::uint32_t chunk = 0;
    std::uint32_t total = 0;
    std::string data; // the chunk bytes written from byte 64
};

inline packet_bytes manifest_announce(std::uint16_t opcode, tb_id destination, tb_id source,
                                      tb_id service, std::uint32_t stamp) {
    auto packet = make_packet(opcode, destination, source, tb_manifest_commit_size);
    put_id(packet, 36, service);
    put_u32be(packet, 44, stamp);
    return packet;
}

inline packet_bytes manifest_request(tb_id destination, tb_id source, tb_id service,
                                     std::uint32_t key, std::uint32_t stamp, std::uint32_t token) {
    auto packet =
        make_packet(tb_op_manifest_request, destination, source, tb_manifest_request_size);
    put_id(packet, 36, service);
    put_u32be(packet, 44, key);
    put_u32be(packet, 48, stamp);
    put_u32be(packet, 52, token);
    return packet;
}

inline packet_bytes manifest_answer(tb_id destination, tb_id source,
                                    const manifest_answer_fields &f,
                                    std::size_t size = tb_manifest_answer_size) {
    auto packet = make_packet(tb_op_manifest_answer, destination, source, tb_manifest_answer_size);
    put_id(packet, 36, f.service);
    put_u32be(packet, 44, f.key);
    put_u32be(packet, 48, f.stamp);
    put_u32be(packet, 52, f.token);
    put_u32be(packet, 56, f.chunk);
    put_u32be(packet, 60, f.total);
    std::copy_n(f.data.begin(), std::min(f.data.size(), tb_manifest_chunk_size),
                packet.begin() + 64);
    packet.resize(size);
    put_u16be(packet, tb_off_length, static_cast<std::uint16_t>(size));
    return packet;
}

inline manifest_answer_fields read_answer(const packet_bytes &packet) {
    manifest_answer_fields f;
    f.service = get_id(packet, 36);
    f.key = get_u32be(packet, 44);
    f.stamp = get_u32be(packet, 48);
    f.token = get_u32be(packet, 52);
    f.chunk = get_u32be(packet, 56);
    f.total = get_u32be(packet, 60);
    const std::size_t n =
        std::min<std::size_t>(f.chunk, packet.size() > 64 ? packet.size() - 64 : 0);
    f.data.assign(packet.begin() + 64, packet.begin() + 64 + static_cast<std::ptrdiff_t>(n));
    return f;
}

// Calls of a manifest handler.
struct handler_log {
    std::vector<tb_id> calls;
    static void record(void *context, tb_id id) {
        static_cast<handler_log *>(context)->calls.push_back(id);
    }
};

inline tb_id peer_service_id(std::uint8_t service_class, std::uint8_t index,
                             tb_id device = peer_device()) {
    std::array<std::uint8_t, 6> mac{};
    std::copy_n(device.bytes.begin() + 1, 6, mac.begin());
    return tb_id_make_id(mac, service_class, index);
}

// Makes a peer's service known as a remote record, as its device answer does.
inline void list_peer_services(tb_id device, const std::vector<tb_id> &ids,
                               std::uint32_t nonce = 0x55667788) {
    auto packet = make_packet(tb_op_device_answer, tb_id_broadcast(), device,
                              tb_device_answer_base + 8 * ids.size(), 0, nonce);
    put_u32be(packet, 352, static_cast<std::uint32_t>(ids.size()));
    for (std::size_t k = 0; k < ids.size(); ++k)
        put_id(packet, tb_device_answer_base + 8 * k, ids[k]);
    tb_service_set_device_answer(tb_packet{packet});
}

// Everything the server queued during some ticks, with helpers to pick.
struct sent_packets {
    std::vector<packet_bytes> all;

    std::vector<packet_bytes> with(std::uint16_t opcode) const {
        std::vector<packet_bytes> out;
        for (const auto &p : all)
            if (get_u16be(p, tb_off_opcode) == opcode)
                out.push_back(p);
        return out;
    }
    std::vector<std::string> logs() const {
        std::vector<std::string> out;
        for (const auto &p : with(tb_op_syslog))
            out.emplace_back(get_text(p, tb_off_payload, p.size() - tb_off_payload));
        return out;
    }
    int count_log(const std::string &text) const {
        const auto lines = logs();
        return static_cast<int>(
            std::count_if(lines.begin(), lines.end(), [&](const std::string &line) {
                return line.find(text) != std::string::npos;
            }));
    }
    bool logged(const std::string &text) const { return count_log(text) > 0; }
    void append(const sent_packets &more) {
        all.insert(all.end(), more.all.begin(), more.all.end());
    }
};

class ManifestFixture : public NetFixture {
  protected:
    static sent_packets take_sent() {
        sent_packets sent;
        sent.all = take();
        return sent;
    }

    // Runs ms of ticks; every packet the server sends to itself or to all is
    // handed back to it at once, as multicast loopback does.
    static sent_packets pump(std::uint32_t ms) {
        sent_packets sent;
        for (std::uint32_t t = 0; t < ms; t += 3) {
            run_ms(3);
            for (auto &packet : take()) {
                if (packet_for_me(tb_packet{packet}))
                    receive(packet);
                sent.all.push_back(std::move(packet));
            }
        }
        return sent;
    }
};

} // namespace tb_test
