#include "net/tb_service.hpp"

#include <algorithm>
#include <string>

#include "core/tb_syslog.hpp"
#include "net/tb_device.hpp"
#include "net/tb_network.hpp"

namespace {

struct proc_entry {
    tb_service_proc procedure = nullptr;
    void *context = nullptr;
    tb_id filter{};
};

// The record table holds the manifest transfer buffers, so it is a static
// record rather than a zero-filled task block.
struct service_state {
    std::array<tb_service_record, tb_service_capacity> records{};
    std::array<proc_entry, tb_service_capacity> procs{};
    std::uint16_t proc_count = 0;
    tb_service_record *cache = nullptr;
    std::uint32_t pending = 0;
    std::size_t visit = 0;      // table index of the next record to visit
    std::size_t list_start = 0; // table index where the next device answer list starts
};

service_state tb_service;

constexpr std::size_t list_max = 256; // ids accepted from one device answer
constexpr std::size_t off_service_id = 36;
constexpr std::size_t off_joined_id = 44;
constexpr std::size_t off_stamp = 52;
constexpr std::size_t off_type = 56;
constexpr std::size_t off_name = 72;
constexpr std::size_t off_info = 136;
constexpr std::size_t off_mask = 392;
constexpr std::size_t off_zone = 428;
constexpr std::size_t off_alias = 460;
constexpr std::size_t off_magic = 492;
constexpr std::size_t off_flag = 524;
constexpr std::size_t off_cover = 540;
constexpr std::size_t off_stream = 796;
constexpr std::size_t join_size = 52;
constexpr std::size_t leave_size = 44;
constexpr std::size_t off_list_count = 352;

std::size_t index_of(const tb_service_record &record) {
    return static_cast<std::size_t>(&record - tb_service.records.data());
}

void mark(tb_service_record &record, std::uint32_t bits) {
    record.pending |= bits;
    tb_service.pending |= bits;
}

// Stores text cut to the field; true when the stored text changed.
template <std::size_t N> bool store_text(std::array<char, N> &field, std::string_view text) {
    text = text.substr(0, std::min(text.size(), N - 1));
    if (tb_text(field) == text)
        return false;
    tb_copy_text(field, text);
    return true;
}

template <std::size_t N> void copy_out(std::array<char, N> &buffer, std::string_view text) {
    tb_copy_text(buffer, text);
}

tb_service_record *add_record(tb_id id) {
    for (auto &record : tb_service.records) {
        if (record.used)
            continue;
        record = tb_service_record{}; // also drops a previous occupant's manifest buffers
        record.used = 1;
        record.id = id;
        mark(record, tb_event_added);
        return &record;
    }
    return nullptr;
}

void remove_record(tb_service_record &record) {
    record.used = 0;
    mark(record, tb_event_added);
    if (tb_service.cache == &record)
        tb_service.cache = nullptr;
}

void set_joined(tb_service_record &record, tb_id joined) {
    if (record.joined == joined)
        return;
    record.joined = joined;
    mark(record, tb_event_joined);
}

std::uint32_t published_stamp(const tb_service_record &record) {
    const auto &update = record.manifest.transfer[tb_manifest_key_update];
    return update.published.empty() ? 0 : update.published_stamp;
}

void send_service_answer(const tb_service_record &record, tb_id destination) {
    auto packet = tb_network_new(tb_op_service_answer);
    tb_mut_bytes p(packet.data(), tb_service_answer_size);
    put_id(p, off_service_id, record.id);
    put_id(p, off_joined_id, record.joined);
    put_u32be(p, off_stamp, published_stamp(record));
    put_text(p, off_type, tb_service_type_size, tb_text(record.type));
    put_text(p, off_name, tb_service_name_size, tb_text(record.name));
    put_text(p, off_info, tb_service_info_size, tb_text(record.info));
    put_text(p, off_mask, tb_service_mask_size, tb_text(record.mask));
    put_text(p, off_zone, tb_service_zone_size, tb_text(record.zone));
    put_text(p, off_alias, tb_service_alias_size, tb_text(record.alias));
    put_text(p, off_magic, tb_service_magic_size, tb_text(record.magic));
    put_text(p, off_flag, tb_service_flag_size, tb_text(record.flag));
    put_text(p, off_cover, tb_service_cover_size, tb_text(record.cover));
    put_text(p, off_stream, tb_service_stream_size, tb_text(record.stream));
    tb_network_send(destination, tb_service_answer_size);
}

void send_service_request(tb_id id) {
    tb_network_new(tb_op_service_request);
    tb_network_send(id, tb_packet_header_size);
}

void handle_service_request(const tb_packet &packet) {
    const auto *record = tb_service_get_data(packet.destination());
    if (record && record->local)
        send_service_answer(*record, packet.source());
}

void handle_service_answer(const tb_packet &packet) {
    if (packet.size() < tb_service_answer_size)
        return;
    const tb_bytes b = packet.bytes;
    auto *record = tb_service_get_data(get_id(b, off_service_id));
    if (!record)
        return;
    if (packet.nonce() != record->announced_nonce) {
        set_joined(*record, get_id(b, off_joined_id));
        record->announced_nonce = packet.nonce();
    }
    if (record->local)
        return;
    record->announced_stamp = get_u32be(b, off_stamp);
    std::uint32_t bits = 0;
    if (store_text(record->type, get_text(b, off_type, tb_service_type_size)))
        bits |= tb_event_type;
    if (store_text(record->name, get_text(b, off_name, tb_service_name_size)))
        bits |= tb_event_name;
    if (store_text(record->info, get_text(b, off_info, tb_service_info_size)))
        bits |= tb_event_info;
    if (store_text(record->mask, get_text(b, off_mask, tb_service_mask_size)))
        bits |= tb_event_mask;
    if (store_text(record->zone, get_text(b, off_zone, tb_service_zone_size)))
        bits |= tb_event_zone;
    if (store_text(record->alias, get_text(b, off_alias, tb_service_alias_size)))
        bits |= tb_event_alias;
    if (store_text(record->magic, get_text(b, off_magic, tb_service_magic_size)))
        bits |= tb_event_magic;
    if (store_text(record->flag, get_text(b, off_flag, tb_service_flag_size)))
        bits |= tb_event_flag;
    if (store_text(record->cover, get_text(b, off_cover, tb_service_cover_size)))
        bits |= tb_event_cover;
    if (store_text(record->stream, get_text(b, off_stream, tb_service_stream_size)))
        bits |= tb_event_stream;
    if (bits)
        mark(*record, bits);
    record->dirty = 0;
}

void handle_service_join(tb_id id, tb_id joined_id) {
    auto *record = tb_service_get_data(id);
    if (!record || !tb_service_get_data(joined_id)) {
        tb_syslog_warning("handle_service_join", id, "trying to join with unknown service");
        return;
    }
    set_joined(*record, joined_id);
}

bool is_room(const tb_service_record &record) {
    return record.used && tb_id_get_service_class(record.id) == tb_class_room;
}

bool joined_through_user(const tb_service_record &record, tb_id target) {
    const auto *joined = tb_service_get_data(record.joined);
    return joined && tb_id_get_service_class(joined->id) == tb_class_user &&
           joined->joined == target;
}

void handle_service_leave(tb_id id) {
    const tb_id unknown = tb_id_unknown();
    switch (tb_id_get_service_class(id)) {
    case tb_class_room:
        if (auto *room = tb_service_get_data(id))
            set_joined(*room, unknown);
        break;
    case tb_class_user:
        for (auto &record : tb_service.records)
            if (is_room(record) && record.joined == id)
                set_joined(record, unknown);
        break;
    case tb_class_source:
        for (auto &record : tb_service.records)
            if (is_room(record) && (record.joined == id || joined_through_user(record, id)))
                set_joined(record, unknown);
        break;
    case tb_class_broadcast:
        for (auto &record : tb_service.records)
            if (is_room(record))
                set_joined(record, unknown);
        break;
    default:
        break;
    }
}

void init_proc(void *, tb_id) {
    for (auto &record : tb_service.records)
        record = tb_service_record{};
    tb_service.procs.fill(proc_entry{});
    tb_service.proc_count = 0;
    tb_service.cache = nullptr;
    tb_service.pending = 0;
    tb_service.visit = 0;
    tb_service.list_start = 0;
}

void visit_one_record() {
    for (std::size_t n = 0; n < tb_service_capacity; ++n) {
        const std::size_t i = (tb_service.visit + n) % tb_service_capacity;
        auto &record = tb_service.records[i];
        if (!record.used)
            continue;
        tb_service.visit = (i + 1) % tb_service_capacity;
        if (record.dirty) {
            if (record.local)
                send_service_answer(record, tb_id_broadcast());
            else
                send_service_request(record.id);
            record.dirty = 0;
        }
        return;
    }
}

void report_events() {
    if (!tb_service.pending)
        return;
    tb_service.pending = 0;
    // Bits taken first: whatever the procedures change now is reported next tick.
    std::array<std::uint32_t, tb_service_capacity> bits{};
    for (std::size_t i = 0; i < tb_service_capacity; ++i) {
        bits[i] = tb_service.records[i].pending;
        tb_service.records[i].pending = 0;
    }
    for (std::size_t i = 0; i < tb_service_capacity; ++i) {
        if (!bits[i])
            continue;
        auto &record = tb_service.records[i];
        const tb_id id = record.id;
        for (std::size_t p = 0; p < tb_service.proc_count; ++p) {
            const auto &entry = tb_service.procs[p];
            if (tb_id_compare_broadcast(entry.filter, id))
                entry.procedure(entry.context, record, bits[i]);
        }
    }
}

void task_proc(void *, std::uint32_t) {
    visit_one_record();
    report_events();
}

void exec_proc(void *, const tb_packet &packet) {
    switch (packet.opcode()) {
    case tb_op_service_request:
        handle_service_request(packet);
        break;
    case tb_op_service_answer:
        handle_service_answer(packet);
        break;
    case tb_op_service_join:
        if (packet.size() >= join_size)
            handle_service_join(get_id(packet.bytes, off_service_id),
                                get_id(packet.bytes, off_joined_id));
        break;
    case tb_op_service_leave:
        if (packet.size() >= leave_size)
            handle_service_leave(get_id(packet.bytes, off_service_id));
        break;
    default:
        break;
    }
}

// Finds a local record for a setter, logging why there is none.
tb_service_record *local_record(const char *origin, const char *what, tb_id id) {
    auto *record = tb_service_get_data(id);
    if (!record) {
        tb_syslog_error(origin, id, "trying to set %s of unknown service", what);
        return nullptr;
    }
    if (!record->local) {
        tb_syslog_error(origin, id, "trying to set %s of external service", what);
        return nullptr;
    }
    return record;
}

template <std::size_t N>
bool set_local_text(const char *origin, const char *what, tb_id id,
                    std::array<char, N> tb_service_record::*field, std::uint32_t bit,
                    std::string_view text) {
    auto *record = local_record(origin, what, id);
    if (!record || !store_text(record->*field, text))
        return false;
    mark(*record, bit);
    record->dirty = 1;
    return true;
}

int leading_number(std::string_view name) {
    long n = 0;
    for (char c : name) {
        if (c < '0' || c > '9')
            break;
        n = std::min(n * 10 + (c - '0'), 1000000000L);
    }
    return static_cast<int>(n);
}

bool sorts_before(const tb_service_record &a, const tb_service_record &b) {
    const std::string_view name_a = tb_text(a.name);
    const std::string_view name_b = tb_text(b.name);
    const int n_a = leading_number(name_a);
    const int n_b = leading_number(name_b);
    if (n_a && n_b && n_a != n_b)
        return n_a < n_b;
    if (name_a != name_b)
        return name_a < name_b;
    std::array<char, 32> device_a{};
    std::array<char, 32> device_b{};
    tb_device_get_name(a.id, device_a);
    tb_device_get_name(b.id, device_b);
    return tb_text(device_a) < tb_text(device_b);
}

// Merge sort: names with leading numbers do not form a strict weak order,
// which std::sort requires; merging stays in bounds with any comparison.
void merge_sort(std::span<tb_service_record *> items) {
    static std::array<tb_service_record *, tb_service_capacity> scratch;
    const std::size_t n = items.size();
    for (std::size_t width = 1; width < n; width *= 2) {
        for (std::size_t lo = 0; lo < n; lo += 2 * width) {
            const std::size_t mid = std::min(lo + width, n);
            const std::size_t hi = std::min(lo + 2 * width, n);
            std::size_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi)
                scratch[k++] = sorts_before(*items[j], *items[i]) ? items[j++] : items[i++];
            while (i < mid)
                scratch[k++] = items[i++];
            while (j < hi)
                scratch[k++] = items[j++];
        }
        std::copy_n(scratch.begin(), n, items.begin());
    }
}

} // namespace

const tb_task_descriptor tb_service_task = {
    .size = -1,
    .init_proc = init_proc,
    .task_proc = task_proc,
    .exec_proc = exec_proc,
};

tb_id tb_service_make_id(std::uint8_t service_class, std::uint8_t index) {
    return tb_id_make_id(tb_device_own_record().mac, service_class, index);
}

tb_id tb_service_register_class(std::uint8_t service_class, std::string_view class_name) {
    for (int index = 0; index <= tb_id_max_index; ++index) {
        const tb_id id = tb_service_make_id(service_class, static_cast<std::uint8_t>(index));
        if (tb_service_get_data(id))
            continue;
        auto *record = add_record(id);
        if (!record) {
            tb_syslog_error("tb_service_register_class", id, "unable to register new service");
            return id;
        }
        record->local = 1;
        record->dirty = 1;
        const std::string magic = std::string(class_name) + "." + std::to_string(index + 1);
        tb_copy_text(record->magic, magic);
        return id;
    }
    tb_syslog_error("tb_service_register_class", tb_id_unknown(),
                    "unable to register new service class");
    return tb_id_unknown();
}

void tb_service_unregister_id(tb_id id) {
    auto *record = tb_service_get_data(id);
    if (!record) {
        tb_syslog_warning("tb_service_unregister_id", id, "trying to unregister unknown service");
        return;
    }
    remove_record(*record);
}

tb_service_record *tb_service_get_data(tb_id id) {
    auto *cached = tb_service.cache;
    if (cached && cached->used && cached->id == id)
        return cached;
    for (auto &record : tb_service.records) {
        if (record.used && record.id == id) {
            tb_service.cache = &record;
            return &record;
        }
    }
    return nullptr;
}

tb_service_record *tb_service_get_next(tb_service_record *record) {
    std::size_t i = 0;
    if (record) {
        i = index_of(*record) + 1;
        if (i > tb_service_capacity)
            return nullptr;
    }
    for (; i < tb_service_capacity; ++i)
        if (tb_service.records[i].used)
            return &tb_service.records[i];
    return nullptr;
}

void tb_service_remove_device(tb_id id) {
    for (auto &record : tb_service.records)
        if (record.used && tb_id_compare_device(record.id, id))
            remove_record(record);
}

void tb_service_add_proc(tb_service_proc procedure, void *context, tb_id id_filter) {
    if (tb_service.proc_count >= tb_service_capacity) {
        tb_syslog_fatal("tb_service_add_proc", id_filter, "unable to add new handler");
        return;
    }
    tb_service.procs[tb_service.proc_count++] = {procedure, context, id_filter};
}

std::uint32_t tb_service_get_device_answer(std::span<std::uint8_t> packet, std::size_t capacity) {
    if (packet.size() < tb_device_answer_base)
        return 0;
    capacity =
        std::min({capacity, tb_device_answer_max_ids, (packet.size() - tb_device_answer_base) / 8});
    std::size_t local = 0;
    for (const auto &record : tb_service.records)
        if (record.used && record.local)
            ++local;
    // With more local services than fit, each answer goes on where the last
    // one stopped, so every service is announced in turn.
    std::size_t start = local > capacity ? tb_service.list_start % tb_service_capacity : 0;
    std::uint32_t count = 0;
    for (std::size_t n = 0; n < tb_service_capacity && count < capacity; ++n) {
        const std::size_t i = (start + n) % tb_service_capacity;
        const auto &record = tb_service.records[i];
        if (!record.used || !record.local)
            continue;
        put_id(packet, tb_device_answer_base + 8 * count, record.id);
        ++count;
        tb_service.list_start = i + 1;
    }
    put_u32be(packet, off_list_count, count);
    return count;
}

void tb_service_set_device_answer(const tb_packet &packet) {
    if (packet.size() < tb_device_answer_base)
        return;
    const std::uint32_t claimed = get_u32be(packet.bytes, off_list_count);
    if (claimed > list_max)
        return;
    const std::size_t n =
        std::min<std::size_t>(claimed, (packet.size() - tb_device_answer_base) / 8);
    const tb_id sender = packet.source();
    for (std::size_t k = 0; k < n; ++k) {
        const tb_id id = get_id(packet.bytes, tb_device_answer_base + 8 * k);
        const auto service_class = tb_id_get_service_class(id);
        // Ids of other devices would create records that no ageing removes.
        if (!tb_id_compare_device(id, sender) || service_class == tb_class_none ||
            service_class >= tb_class_broadcast)
            continue;
        auto *record = tb_service_get_data(id);
        if (!record) {
            record = add_record(id);
            if (!record) {
                tb_syslog_error("tb_service_set_device_answer", id, "unable to add new service");
                continue;
            }
            record->dirty = 1;
        }
        if (packet.nonce() != record->announced_nonce)
            record->dirty = 1;
    }
}

bool tb_service_set_type(tb_id id, std::string_view text) {
    return set_local_text("tb_service_set_type", "type", id, &tb_service_record::type,
                          tb_event_type, text);
}

bool tb_service_set_name(tb_id id, std::string_view text) {
    return set_local_text("tb_service_set_name", "name", id, &tb_service_record::name,
                          tb_event_name, text);
}

bool tb_service_set_info(tb_id id, std::string_view text) {
    return set_local_text("tb_service_set_info", "info", id, &tb_service_record::info,
                          tb_event_info, text);
}

bool tb_service_set_mask(tb_id id, std::string_view text) {
    return set_local_text("tb_service_set_mask", "mask", id, &tb_service_record::mask,
                          tb_event_mask, text);
}

bool tb_service_set_alias(tb_id id, std::string_view text) {
    return set_local_text("tb_service_set_alias", "alias", id, &tb_service_record::alias,
                          tb_event_alias, text);
}

bool tb_service_set_password(tb_id id, std::string_view text) {
    return set_local_text("tb_service_set_password", "password", id, &tb_service_record::password,
                          tb_event_password, text);
}

bool tb_service_set_stream(tb_id id, std::string_view text) {
    return set_local_text("tb_service_set_stream", "stream", id, &tb_service_record::stream,
                          tb_event_stream, text);
}

bool tb_service_set_cover(tb_id id, std::string_view text) {
    return set_local_text("tb_service_set_cover", "cover", id, &tb_service_record::cover,
                          tb_event_cover, text);
}

bool tb_service_set_zone(tb_id id, std::string_view text) {
    return set_local_text("tb_service_set_zone", "zone", id, &tb_service_record::zone,
                          tb_event_zone, text);
}

bool tb_service_set_flag(tb_id id, int position, bool on) {
    auto *record = local_record("tb_service_set_flag", "flag", id);
    if (!record)
        return false;
    std::array<char, tb_service_flag_size> flag = record->flag;
    if (tb_text(flag).empty())
        tb_copy_text(flag, "000000000000000");
    if (position >= 0 && position < tb_service_flag_count &&
        static_cast<std::size_t>(position) < tb_text(flag).size())
        flag[static_cast<std::size_t>(position)] = on ? '1' : '0';
    if (!store_text(record->flag, tb_text(flag)))
        return false;
    mark(*record, tb_event_flag);
    record->dirty = 1;
    return true;
}

bool tb_service_set_magic(tb_id id, std::string_view) {
    tb_syslog_error("tb_service_set_magic", id, "trying to change magic of service");
    return false;
}

bool tb_service_set_volume(tb_id id, const tb_volume &volume) {
    auto *record = tb_service_get_data(id);
    if (!record || record->volume == volume)
        return false;
    record->volume = volume;
    mark(*record, tb_event_volume);
    return true;
}

void tb_service_get_type(tb_id id, std::array<char, tb_service_type_size> &buffer) {
    const auto *record = tb_service_get_data(id);
    if (!record)
        copy_out(buffer, "unknown type");
    else if (tb_text(record->type).empty())
        copy_out(buffer, "type not set");
    else
        copy_out(buffer, tb_text(record->type));
}

void tb_service_get_name(tb_id id, std::array<char, tb_service_name_size> &buffer, bool full) {
    const auto *record = tb_service_get_data(id);
    if (!record) {
        copy_out(buffer, "Unknown Service");
        return;
    }
    std::string_view name = tb_text(record->name);
    if (name.empty()) {
        copy_out(buffer, tb_id_text(id));
        return;
    }
    const auto colon = name.find(':');
    if (!full && name[0] >= '0' && name[0] <= '9' && colon != std::string_view::npos)
        name.remove_prefix(colon + 1);
    copy_out(buffer, name);
}

void tb_service_get_info(tb_id id, std::array<char, tb_service_info_size> &buffer) {
    const auto *record = tb_service_get_data(id);
    copy_out(buffer, record ? tb_text(record->info) : std::string_view{});
}

void tb_service_get_mask(tb_id id, std::array<char, tb_service_mask_size> &buffer) {
    const auto *record = tb_service_get_data(id);
    copy_out(buffer, record ? tb_text(record->mask) : std::string_view{});
}

void tb_service_get_zone(tb_id id, std::array<char, tb_service_zone_size> &buffer) {
    const auto *record = tb_service_get_data(id);
    copy_out(buffer, record ? tb_text(record->zone) : std::string_view{});
}

void tb_service_get_alias(tb_id id, std::array<char, tb_service_alias_size> &buffer) {
    if (tb_id_is_unknown(id))
        return copy_out(buffer, "unknown");
    const auto *record = tb_service_get_data(id);
    if (!record || tb_text(record->alias).empty())
        return copy_out(buffer, tb_id_text(id));
    copy_out(buffer, tb_text(record->alias));
}

void tb_service_get_magic(tb_id id, std::array<char, tb_service_magic_size> &buffer) {
    if (tb_id_is_unknown(id))
        return copy_out(buffer, "unknown");
    const auto *record = tb_service_get_data(id);
    if (!record || tb_text(record->magic).empty())
        return copy_out(buffer, tb_id_text(id));
    copy_out(buffer, tb_text(record->magic));
}

void tb_service_get_password(tb_id id, std::array<char, tb_service_password_size> &buffer) {
    const auto *record = tb_service_get_data(id);
    copy_out(buffer, record ? tb_text(record->password) : std::string_view{});
}

void tb_service_get_stream(tb_id id, std::array<char, tb_service_stream_size> &buffer) {
    const auto *record = tb_service_get_data(id);
    if (!record || tb_text(record->stream).empty())
        return copy_out(buffer, "unknown");
    copy_out(buffer, tb_text(record->stream));
}

void tb_service_get_cover(tb_id id, std::array<char, tb_service_cover_url_size> &buffer) {
    const auto *record = tb_service_get_data(id);
    if (!record)
        return copy_out(buffer, "");
    const std::string_view cover = tb_text(record->cover);
    if (cover.find("http://") != std::string_view::npos ||
        cover.find("https://") != std::string_view::npos)
        return copy_out(buffer, cover);
    // Both parts are bounded by their fields (255 characters each), so the
    // joined address fits the buffer; tb_copy_text cuts it regardless.
    std::string address(tb_device_own_url());
    address.append(cover);
    copy_out(buffer, address);
}

bool tb_service_get_flag(tb_id id, int position) {
    const auto *record = tb_service_get_data(id);
    if (!record || position < 0 || position >= tb_service_flag_count)
        return false;
    const std::string_view flag = tb_text(record->flag);
    return static_cast<std::size_t>(position) < flag.size() &&
           flag[static_cast<std::size_t>(position)] == '1';
}

void tb_service_get_volume(tb_id id, tb_volume &volume) {
    const auto *record = tb_service_get_data(id);
    volume = record ? record->volume : tb_volume{};
}

tb_id tb_service_get_join_id(tb_id id) {
    const auto *record = tb_service_get_data(id);
    return record ? record->joined : tb_id_unknown();
}

bool tb_service_get_master_volume(tb_id id, tb_volume &volume) {
    volume = tb_volume{};
    const auto service_class = tb_id_get_service_class(id);
    if (service_class != tb_class_user && service_class != tb_class_source)
        return false;
    const tb_service_record *loudest = nullptr;
    for (const auto &record : tb_service.records) {
        if (!is_room(record) || record.volume.volume <= 0)
            continue;
        const bool member =
            service_class == tb_class_user ? record.joined == id : joined_through_user(record, id);
        if (member && (!loudest || record.volume.volume > loudest->volume.volume))
            loudest = &record;
    }
    if (!loudest)
        return false;
    volume = loudest->volume;
    return true;
}

void tb_service_join(tb_id id, tb_id joined_id) {
    auto packet = tb_network_new(tb_op_service_join);
    put_id(packet, off_service_id, id);
    put_id(packet, off_joined_id, joined_id);
    tb_network_send(tb_id_broadcast(), join_size);
    handle_service_join(id, joined_id);
}

void tb_service_leave(tb_id id) {
    auto packet = tb_network_new(tb_op_service_leave);
    put_id(packet, off_service_id, id);
    tb_network_send(tb_id_broadcast(), leave_size);
    handle_service_leave(id);
}

bool tb_service_mask(const tb_service_record *candidate, const tb_service_record *reference) {
    if (!candidate || !reference)
        return true;
    const std::string_view c = tb_text(candidate->mask);
    const std::string_view r = tb_text(reference->mask);
    for (std::size_t i = 0; i < c.size() && i < r.size(); ++i)
        if (c[i] > '0' && r[i] >= c[i])
            return true;
    return false;
}

void tb_service_sort_list(tb_service_list &list, tb_service_filter filter, void *context) {
    list.count = 0;
    for (auto &record : tb_service.records)
        if (record.used && (!filter || filter(context, record)))
            list.records[static_cast<std::size_t>(list.count++)] = &record;
    merge_sort(std::span(list.records.data(), static_cast<std::size_t>(list.count)));
}

tb_id tb_service_get_sorted_id(tb_service_list &list, int index) {
    if (index < 0 || index >= list.count || index >= tb_service_capacity)
        return tb_id_unknown();
    auto *record = list.records[static_cast<std::size_t>(index)];
    if (!record)
        return tb_id_unknown();
    tb_service.cache = record;
    return record->id;
}
