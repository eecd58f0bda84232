#include "net/tb_manifest.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/tb_syslog.hpp"
#include "net/tb_network.hpp"
#include "net/tb_service.hpp"

namespace {

enum payload_offset : std::size_t {
    off_service = 36,
    off_stamp = 44, // commit and update
    off_key = 44,   // request and answer
    off_expected = 48,
    off_token = 52,
    off_chunk = 56, // answer only
    off_total = 60,
    off_data = tb_manifest_answer_data,
};

struct handler_entry {
    tb_manifest_proc procedure = nullptr;
    void *context = nullptr;
    tb_id filter{};
    std::uint32_t key = 0;
};

struct manifest_module {
    std::array<handler_entry, tb_manifest_handler_capacity> handlers{};
    int handler_count = 0;
    tb_service_record *cursor = nullptr; // the record visited last by the task
};

manifest_module tb_manifest;

const handler_entry *find_handler(tb_id id, std::uint32_t key) {
    for (int i = 0; i < tb_manifest.handler_count; ++i) {
        const auto &handler = tb_manifest.handlers[static_cast<std::size_t>(i)];
        if (handler.key == key && tb_id_compare_broadcast(handler.filter, id))
            return &handler;
    }
    return nullptr;
}

void call_handler(tb_id id, std::uint32_t key) {
    if (const handler_entry *handler = find_handler(id, key))
        handler->procedure(handler->context, id);
}

std::uint32_t limit_of(const tb_service_record &record) {
    return record.manifest.limit != 0 ? record.manifest.limit : tb_manifest_default_limit;
}

// The document and its NUL; false when the copy cannot be allocated.
bool copy_document(std::vector<char> &target, std::string_view document) {
    try {
        std::vector<char> copy;
        copy.reserve(document.size() + 1);
        copy.assign(document.begin(), document.end());
        copy.push_back('\0');
        target = std::move(copy);
        return true;
    } catch (const std::bad_alloc &) {
        target.clear();
        return false;
    }
}

bool same_document(const std::vector<char> &stored, std::string_view document) {
    return stored.size() == document.size() + 1 && stored.back() == '\0' &&
           std::equal(document.begin(), document.end(), stored.begin());
}

// A stamp that is never 0 (which announces "no document") and never the
// previous one, so that requests for the old version fail.
std::uint32_t new_stamp(std::uint32_t previous) {
    std::uint32_t stamp = 0;
    do {
        stamp = static_cast<std::uint32_t>(std::rand());
    } while (stamp == 0 || stamp == previous);
    return stamp;
}

void prepare_announce(tb_transfer &transfer, std::string_view document) {
    if (!copy_document(transfer.published, document)) {
        transfer.announce_pending = 0;
        return;
    }
    transfer.published_stamp = new_stamp(transfer.published_stamp);
    tb_timer_restart(transfer.announce_timer, tb_manifest_announce_delay_ms);
    transfer.announce_pending = 1;
}

void send_announce(tb_id service, std::uint16_t opcode, std::uint32_t stamp, tb_id destination) {
    auto packet = tb_network_new(opcode);
    put_id(packet, off_service, service);
    put_u32be(packet, off_stamp, stamp);
    tb_network_send(destination, tb_manifest_commit_size);
}

void send_request(tb_service_record &record, std::uint32_t key) {
    tb_transfer &transfer = record.manifest.transfer[key];
    auto packet = tb_network_new(tb_op_manifest_request);
    put_id(packet, off_service, record.id);
    put_u32be(packet, off_key, key);
    put_u32be(packet, off_expected, transfer.received_stamp);
    put_u32be(packet, off_token, transfer.received_token);
    tb_network_send(transfer.source, tb_manifest_request_size);
    tb_timer_restart(transfer.request_timer, tb_manifest_request_timeout_ms);
}

void start_transfer(tb_service_record &record, std::uint32_t key, tb_id source) {
    tb_transfer &transfer = record.manifest.transfer[key];
    transfer.received_token = 0;
    transfer.assembling = {};
    transfer.source = source;
    transfer.tries = tb_manifest_tries;
    send_request(record, key);
}

void stop_transfer(tb_transfer &transfer) {
    transfer.tries = 0;
    transfer.assembling = {};
}

void send_manifest_answer(tb_service_record &record, std::uint32_t key, tb_id destination) {
    const tb_transfer &transfer = record.manifest.transfer[key];
    if (transfer.published.empty())
        return;
    const std::size_t size = transfer.published.size();
    const std::size_t token = transfer.requested_token;
    if (token >= size) {
        tb_syslog_warning("send_manifest_answer", record.id, "wrong token size");
        return;
    }
    const std::size_t chunk = std::min(size - token, tb_manifest_chunk_size);
    auto packet = tb_network_new(tb_op_manifest_answer);
    put_id(packet, off_service, record.id);
    put_u32be(packet, off_key, key);
    put_u32be(packet, off_expected, transfer.published_stamp);
    put_u32be(packet, off_token, static_cast<std::uint32_t>(token));
    put_u32be(packet, off_chunk, static_cast<std::uint32_t>(chunk));
    put_u32be(packet, off_total, static_cast<std::uint32_t>(size));
    std::memcpy(packet.data() + off_data, transfer.published.data() + token, chunk);
    tb_network_send(destination, tb_manifest_answer_size);
}

void check_owner_restart(tb_service_record &record) {
    if (record.local || !find_handler(record.id, tb_manifest_key_update))
        return;
    if (record.announced_nonce == record.manifest.owner_nonce)
        return;
    record.manifest.owner_nonce = record.announced_nonce;
    // Stamp 0 announces that the owner has published nothing to fetch.
    if (record.announced_stamp == 0)
        return;
    record.manifest.transfer[tb_manifest_key_update].received_stamp = record.announced_stamp;
    start_transfer(record, tb_manifest_key_update, record.id);
}

void check_transfer_timeout(tb_service_record &record, std::uint32_t key) {
    tb_transfer &transfer = record.manifest.transfer[key];
    if (transfer.tries < 1 || !tb_timer_expired(transfer.request_timer))
        return;
    if (--transfer.tries < 1) {
        stop_transfer(transfer);
        tb_syslog_error("check_transfer_timeout", record.id, "transfer failed");
        return;
    }
    send_request(record, key);
    tb_syslog_warning("check_transfer_timeout", record.id, "transfer timeout, retry...");
}

void check_announce(tb_service_record &record) {
    tb_transfer &update = record.manifest.transfer[tb_manifest_key_update];
    if (update.announce_pending && tb_timer_expired(update.announce_timer)) {
        update.announce_pending = 0;
        send_announce(record.id, tb_op_manifest_update, update.published_stamp, tb_id_broadcast());
    }
    tb_transfer &commit = record.manifest.transfer[tb_manifest_key_commit];
    if (commit.announce_pending && tb_timer_expired(commit.announce_timer)) {
        commit.announce_pending = 0;
        send_announce(record.id, tb_op_manifest_commit, commit.published_stamp, record.id);
    }
}

void handle_manifest_announce(const tb_packet &packet, std::uint32_t key) {
    if (packet.size() < tb_manifest_commit_size)
        return;
    const tb_id id = get_id(packet.bytes, off_service);
    tb_service_record *record = tb_service_get_data(id);
    if (!record || !find_handler(id, key))
        return;
    record->manifest.transfer[key].received_stamp = get_u32be(packet.bytes, off_stamp);
    start_transfer(*record, key, tb_id_get_device_id(packet.source()));
}

void handle_manifest_request(const tb_packet &packet) {
    if (packet.size() < tb_manifest_request_size)
        return;
    const tb_id id = get_id(packet.bytes, off_service);
    const std::uint32_t key = get_u32be(packet.bytes, off_key);
    tb_service_record *record = tb_service_get_data(id);
    if (!record || key > tb_manifest_key_update)
        return;
    tb_transfer &transfer = record->manifest.transfer[key];
    if (get_u32be(packet.bytes, off_expected) != transfer.published_stamp) {
        tb_syslog_warning("handle_manifest_request", id, "stamp mismatch");
        return;
    }
    transfer.requested_token = get_u32be(packet.bytes, off_token);
    send_manifest_answer(*record, key, tb_id_get_device_id(packet.source()));
}

// Every field of an answer is checked against the fetch it claims to belong
// to and against the bytes received before anything is stored.
void handle_manifest_answer(const tb_packet &packet) {
    constexpr const char *origin = "handle_manifest_answer";
    if (packet.size() < tb_manifest_answer_data)
        return;
    const tb_id id = get_id(packet.bytes, off_service);
    const std::uint32_t key = get_u32be(packet.bytes, off_key);
    tb_service_record *record = tb_service_get_data(id);
    if (!record || key > tb_manifest_key_update)
        return;
    tb_transfer &transfer = record->manifest.transfer[key];
    // Stray answers (after completion, failure, or without any fetch) must
    // not touch the documents.
    if (transfer.tries < 1)
        return;

    if (!tb_id_compare_device(packet.source(), transfer.source)) {
        tb_syslog_warning(origin, id, "source id mismatch");
        return;
    }
    if (get_u32be(packet.bytes, off_expected) != transfer.received_stamp) {
        tb_syslog_warning(origin, id, "stamp mismatch");
        return;
    }
    const std::uint32_t token = get_u32be(packet.bytes, off_token);
    const std::uint32_t chunk = get_u32be(packet.bytes, off_chunk);
    const std::uint32_t total = get_u32be(packet.bytes, off_total);
    if (chunk < 1 || chunk > tb_manifest_chunk_size || chunk > packet.size() - off_data) {
        tb_syslog_warning(origin, id, "wrong chunk size");
        return;
    }
    if (total < 1 || total > limit_of(*record)) {
        tb_syslog_warning(origin, id, "wrong total size");
        return;
    }
    // Only the first chunk of a fetch starts the document; a repeated first
    // chunk later on is a stale copy and must not throw the progress away.
    if (token == 0 && transfer.received_token == 0) {
        try {
            transfer.assembling.assign(total, '\0');
        } catch (const std::bad_alloc &) {
            stop_transfer(transfer);
            tb_syslog_error(origin, id, "out of memory");
            return;
        }
    } else if (total != transfer.assembling.size()) {
        tb_syslog_warning(origin, id, "wrong total size");
        return;
    }
    if (token != transfer.received_token) {
        tb_syslog_warning(origin, id, "token mismatch");
        return;
    }
    const std::uint64_t end = std::uint64_t{token} + chunk;
    if (end > transfer.assembling.size()) {
        tb_syslog_warning(origin, id, "wrong token size");
        return;
    }
    const auto data = packet.bytes.subspan(off_data, chunk);
    std::copy(data.begin(), data.end(), transfer.assembling.begin() + token);
    transfer.received_token = static_cast<std::uint32_t>(end);
    if (end < transfer.assembling.size()) {
        send_request(*record, key);
        return;
    }
    if (transfer.assembling.back() != '\0') {
        stop_transfer(transfer);
        tb_syslog_warning(origin, id, "document not terminated");
        return;
    }
    transfer.received = std::move(transfer.assembling);
    stop_transfer(transfer);
    call_handler(id, key);
}

void init_proc(void *, tb_id) {
    tb_manifest.handlers = {};
    tb_manifest.handler_count = 0;
    tb_manifest.cursor = nullptr;
}

void task_proc(void *, std::uint32_t) {
    tb_service_record *record = tb_service_get_next(tb_manifest.cursor);
    if (!record)
        record = tb_service_get_next(nullptr);
    tb_manifest.cursor = record;
    if (!record)
        return;
    check_owner_restart(*record);
    check_transfer_timeout(*record, tb_manifest_key_commit);
    check_transfer_timeout(*record, tb_manifest_key_update);
    check_announce(*record);
}

void exec_proc(void *, const tb_packet &packet) {
    switch (packet.opcode()) {
    case tb_op_manifest_commit:
        handle_manifest_announce(packet, tb_manifest_key_commit);
        break;
    case tb_op_manifest_update:
        handle_manifest_announce(packet, tb_manifest_key_update);
        break;
    case tb_op_manifest_request:
        handle_manifest_request(packet);
        break;
    case tb_op_manifest_answer:
        handle_manifest_answer(packet);
        break;
    default:
        break;
    }
}

bool read_received(tb_id id, std::uint32_t key, std::string_view &out) {
    out = {};
    const tb_service_record *record = tb_service_get_data(id);
    if (!record)
        return false;
    const auto &received = record->manifest.transfer[key].received;
    if (received.empty())
        return false;
    out = std::string_view(received.data(), received.size() - 1);
    return true;
}

} // namespace

const tb_task_descriptor tb_manifest_task = {
    .size = -1,
    .init_proc = init_proc,
    .task_proc = task_proc,
    .exec_proc = exec_proc,
};

void tb_manifest_add_handler(tb_manifest_proc procedure, void *context, tb_id id,
                             std::uint32_t key) {
    if (find_handler(id, key)) {
        tb_syslog_fatal("tb_manifest_add_handler", id, "handler for this id already registered");
        return;
    }
    if (tb_manifest.handler_count >= tb_manifest_handler_capacity) {
        tb_syslog_fatal("tb_manifest_add_handler", id, "unable to add new handler");
        return;
    }
    tb_manifest.handlers[static_cast<std::size_t>(tb_manifest.handler_count++)] = {
        procedure, context, id, key};
}

bool tb_manifest_write_update(tb_id id, std::string_view document) {
    tb_service_record *record = tb_service_get_data(id);
    if (!record)
        return false;
    tb_transfer &update = record->manifest.transfer[tb_manifest_key_update];
    if (!update.published.empty() && same_document(update.published, document))
        return false;
    prepare_announce(update, document);
    return update.announce_pending != 0;
}

bool tb_manifest_write_commit(tb_id id, std::string_view document) {
    tb_service_record *record = tb_service_get_data(id);
    if (!record)
        return false;
    const tb_transfer &update = record->manifest.transfer[tb_manifest_key_update];
    if (!update.received.empty() && same_document(update.received, document))
        return false;
    tb_transfer &commit = record->manifest.transfer[tb_manifest_key_commit];
    prepare_announce(commit, document);
    return commit.announce_pending != 0;
}

void tb_manifest_local_commit(tb_id id, std::string_view document) {
    tb_service_record *record = tb_service_get_data(id);
    if (!record)
        return;
    auto &received = record->manifest.transfer[tb_manifest_key_commit].received;
    if (document.empty()) {
        received = {};
    } else if (!copy_document(received, document)) {
        tb_syslog_error("tb_manifest_local_commit", id, "out of memory");
    }
    call_handler(id, tb_manifest_key_commit);
}

bool tb_manifest_read_commit(tb_id id, std::string_view &out) {
    return read_received(id, tb_manifest_key_commit, out);
}

bool tb_manifest_read_update(tb_id id, std::string_view &out) {
    return read_received(id, tb_manifest_key_update, out);
}

void tb_manifest_clear_update(tb_id id) {
    tb_service_record *record = tb_service_get_data(id);
    if (!record)
        return;
    tb_transfer &update = record->manifest.transfer[tb_manifest_key_update];
    update.published = {};
    update.announce_pending = 0;
}

void tb_manifest_set_limit(tb_id id, std::uint32_t limit) {
    if (tb_service_record *record = tb_service_get_data(id))
        record->manifest.limit = std::min(limit, tb_manifest_max_limit);
}

std::uint32_t tb_manifest_get_limit(tb_id id) {
    const tb_service_record *record = tb_service_get_data(id);
    return record ? limit_of(*record) : tb_manifest_default_limit;
}
