#include "net/tb_device.hpp"

#include <algorithm>
#include <cstdlib>
#include <functional>

#include "core/tb_syslog.hpp"
#include "net/tb_network.hpp"
#include "net/tb_service.hpp"
#include "net/tb_socket.hpp"

namespace {

constexpr std::uint16_t silence_seconds = 12;
constexpr std::uint16_t request_count = 3;
constexpr std::uint32_t ageing_period_ms = 1000;
constexpr std::uint32_t announce_period_ms = 10000;

// Device answer payload offsets.
constexpr std::size_t off_address = 36;
constexpr std::size_t off_version = 40;
constexpr std::size_t off_name = 44;
constexpr std::size_t off_time = 76;
constexpr std::size_t off_url = 88;
constexpr std::size_t off_locale = 344;
constexpr std::size_t off_count = 352;

static_assert(tb_device_answer_max_ids == (tb_packet_max_size - tb_device_answer_base) / 8,
              "a device answer is one datagram");

constexpr std::size_t name_size = 32;
constexpr std::size_t url_size = 256;
constexpr std::size_t locale_size = 8;

struct device_state {
    tb_id own_id;
    tb_device_record record;
    std::array<tb_device_entry, tb_device_capacity> table;
    tb_timer ageing_timer;
    tb_timer announce_timer;
    bool url_set_locally = false;
    bool locale_set_locally = false;
};

device_state tb_device;

tb_device_entry& own_entry() { return tb_device.table[0]; }

// Device parts that name no single device: nothing may be registered for them.
bool is_device_part_usable(tb_id id)
{
    const tb_id device = tb_id_get_device_id(id);
    const tb_id all = tb_id_get_device_id(tb_id_broadcast());
    return !tb_id_is_unknown(device) && device != all;
}

// Brings the next announcement forward to a random moment within 0.9 s; an
// announcement that is due sooner anyway is left alone.
void announce_soon()
{
    const auto delay = static_cast<std::uint32_t>(std::rand() % 10) * 100u;
    if (tb_timer_expired_at(tb_device.announce_timer, tb_clock_ms() + delay)) return;
    tb_timer_restart(tb_device.announce_timer, delay);
}

void send_device_answer(tb_id destination)
{
    // The service list is written into a scratch packet first: a log call
    // made while the list is built takes the transmit ring's head slot.
    std::array<std::uint8_t, tb_packet_max_size> list{};
    const std::size_t count = std::min<std::size_t>(
        tb_service_get_device_answer(list, tb_device_answer_max_ids), tb_device_answer_max_ids);

    tb_time now;
    tb_time_get(now);

    const auto packet = tb_network_new(tb_op_device_answer);
    const tb_mut_bytes p{packet};
    put_u32be(p, off_address, tb_socket_config().address);
    for (std::size_t i = 0; i < 4; ++i) put_u8(p, off_version + i, tb_device.record.version[i]);
    put_text(p, off_name, name_size, tb_text(own_entry().name));
    tb_time_put(p, off_time, now);
    put_text(p, off_url, url_size, tb_text(tb_device.record.url));
    put_text(p, off_locale, locale_size, tb_text(tb_device.record.locale));
    put_u32be(p, off_count, static_cast<std::uint32_t>(count));
    std::copy_n(list.begin() + tb_device_answer_base, 8 * count, packet.begin() + tb_device_answer_base);
    tb_network_send(destination, tb_device_answer_base + 8 * count);
}

void send_device_request(tb_id destination)
{
    tb_network_new(tb_op_device_request);
    tb_network_send(destination, tb_packet_header_size);
}

// A claimed address that cannot be one device's unicast address is not
// used: packets to that device then go to the group.
std::uint32_t unicast_or_zero(std::uint32_t address)
{
    const bool any = (address >> 24) == 0;
    const bool multicast_or_broadcast = (address >> 29) == 7; // 224.0.0.0/3
    return any || multicast_or_broadcast ? 0 : address;
}

void handle_device_answer(const tb_packet& packet)
{
    const tb_id source = packet.source();
    if (tb_id_compare_device(source, tb_device.own_id)) return;
    // The fixed part must be complete; the sender must name a real device.
    if (packet.size() < tb_device_answer_base || !is_device_part_usable(source)) return;
    const tb_bytes b = packet.bytes;

    tb_device_entry* entry = tb_device_get_data(source);
    if (!entry) entry = tb_device_register(source);
    if (!entry) {
        // Services of a device that is not tracked would never age out, so
        // its list is not taken either.
        tb_syslog_error("handle_device_answer", tb_device.own_id, "unable to add new device");
    } else {
        entry->address = unicast_or_zero(get_u32be(b, off_address));
        tb_time_set(tb_time_read(b, off_time), source);
        entry->countdown = silence_seconds;
        entry->requests = request_count;

        // Read bounded by the received size; ids the sender may not announce
        // are skipped there.
        tb_service_set_device_answer(packet);

        if (packet.nonce() != entry->nonce) {
            entry->nonce = packet.nonce();
            announce_soon();
        }
        for (std::size_t i = 0; i < 4; ++i) entry->version[i] = get_u8(b, off_version + i);
        tb_copy_text(entry->name, get_text(b, off_name, name_size));
    }

    const std::string_view url = get_text(b, off_url, url_size);
    if (!tb_device.url_set_locally && !url.empty()) tb_copy_text(tb_device.record.url, url);
    const std::string_view locale = get_text(b, off_locale, locale_size);
    if (!tb_device.locale_set_locally && !locale.empty()) tb_copy_text(tb_device.record.locale, locale);
}

void age_devices()
{
    for (auto& entry : tb_device.table) {
        if (!entry.used || entry.local) continue;
        if (entry.countdown > 0) {
            --entry.countdown;
        } else if (entry.requests > 0) {
            --entry.requests;
            send_device_request(entry.id);
        } else {
            tb_service_remove_device(entry.id);
            entry = tb_device_entry{};
        }
    }
}

void task_proc(void*, std::uint32_t)
{
    if (tb_timer_expired(tb_device.ageing_timer)) {
        tb_timer_restart(tb_device.ageing_timer, ageing_period_ms);
        age_devices();
    }
    if (tb_timer_expired(tb_device.announce_timer)) {
        send_device_answer(tb_id_broadcast());
        tb_timer_restart(tb_device.announce_timer, announce_period_ms);
    }
}

void exec_proc(void*, const tb_packet& packet)
{
    switch (packet.opcode()) {
    case tb_op_device_request:
        if (!tb_id_compare_device(packet.source(), tb_device.own_id)) send_device_answer(packet.source());
        break;
    case tb_op_device_answer:
        handle_device_answer(packet);
        break;
    default:
        break;
    }
}

} // namespace

const tb_task_descriptor tb_device_task = {
    .size = -1,
    .task_proc = task_proc,
    .exec_proc = exec_proc,
};

void tb_device_init(const tb_device_record& record)
{
    tb_device = device_state{};
    tb_device.record.mac = record.mac;
    tb_device.record.nonce = record.nonce != 0 ? record.nonce : static_cast<std::uint32_t>(std::rand());
    tb_device.record.version = record.version;
    tb_copy_text(tb_device.record.url, tb_text(record.url));
    tb_copy_text(tb_device.record.locale, tb_text(record.locale));
    tb_device.url_set_locally = !tb_text(tb_device.record.url).empty();
    tb_device.locale_set_locally = !tb_text(tb_device.record.locale).empty();
    tb_device.own_id = tb_id_make_id(tb_device.record.mac, tb_class_none, 0);

    tb_device_entry& own = own_entry();
    own.used = 1;
    own.local = 1;
    own.id = tb_device.own_id;
    own.address = tb_socket_config().address;
    own.nonce = tb_device.record.nonce;
    own.version = tb_device.record.version;
    tb_copy_text(own.name, tb_id_text(tb_device.own_id));
}

tb_device_entry* tb_device_get_next(tb_device_entry* entry)
{
    std::size_t i = 0;
    if (entry) {
        const auto* first = tb_device.table.data();
        const auto* end = first + tb_device.table.size();
        // Not an entry of the table: no next one.
        if (std::less<const tb_device_entry*>{}(entry, first) || !std::less<const tb_device_entry*>{}(entry, end))
            return nullptr;
        i = static_cast<std::size_t>(entry - first) + 1;
    }
    for (; i < tb_device.table.size(); ++i)
        if (tb_device.table[i].used) return &tb_device.table[i];
    return nullptr;
}

tb_device_entry* tb_device_get_data(tb_id id)
{
    for (auto& entry : tb_device.table)
        if (entry.used && tb_id_compare_device(entry.id, id)) return &entry;
    return nullptr;
}

tb_device_entry* tb_device_register(tb_id id)
{
    if (!is_device_part_usable(id)) return nullptr;
    if (tb_device_entry* known = tb_device_get_data(id)) return known;
    for (auto& entry : tb_device.table) {
        if (entry.used) continue;
        entry = tb_device_entry{};
        entry.used = 1;
        entry.id = tb_id_get_device_id(id);
        entry.countdown = silence_seconds;
        entry.requests = request_count;
        return &entry;
    }
    return nullptr;
}

std::uint32_t tb_device_get_ip_addr(tb_id id)
{
    const tb_device_entry* entry = tb_device_get_data(id);
    return entry ? entry->address : 0;
}

void tb_device_set_name(tb_id id, std::string_view name)
{
    tb_device_entry* entry = tb_device_get_data(id);
    if (!entry) {
        tb_syslog_error("tb_device_set_name", id, "trying to set name of unknown device");
        return;
    }
    if (!entry->local) {
        tb_syslog_error("tb_device_set_name", id, "trying to set name of external device");
        return;
    }
    const std::string_view old_name = tb_text(entry->name);
    if (old_name == name.substr(0, std::min(name.size(), entry->name.size() - 1))) return;
    tb_copy_text(entry->name, name);
    announce_soon();
}

void tb_device_get_name(tb_id id, std::array<char, 32>& buffer)
{
    const tb_device_entry* entry = tb_device_get_data(id);
    if (entry && !tb_text(entry->name).empty()) {
        buffer = entry->name;
        return;
    }
    tb_copy_text(buffer, tb_id_text(id));
}

tb_id tb_device_own_id() { return tb_device.own_id; }
std::uint32_t tb_device_own_nonce() { return tb_device.record.nonce; }
const tb_device_record& tb_device_own_record() { return tb_device.record; }
std::string_view tb_device_own_url() { return tb_text(tb_device.record.url); }
std::string_view tb_device_own_locale() { return tb_text(tb_device.record.locale); }
