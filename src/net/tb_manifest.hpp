#pragma once
// Manifest transfer: configuration documents move between devices in
// 1024-byte chunks, one request and answer per chunk, identified by a random
// stamp per document version.

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/tb_task.hpp"

constexpr std::size_t tb_manifest_chunk_size = 1024;
constexpr std::size_t tb_manifest_commit_size = 48; // also the update
constexpr std::size_t tb_manifest_request_size = 56;
constexpr std::size_t tb_manifest_answer_size = 1088;
constexpr std::size_t tb_manifest_answer_data = 64; // offset of the chunk data
constexpr int tb_manifest_handler_capacity = 1024;
constexpr std::int32_t tb_manifest_tries = 5;
constexpr std::uint32_t tb_manifest_request_timeout_ms = 10000;
constexpr std::uint32_t tb_manifest_announce_delay_ms = 100;
// Size limit (NUL included) of a service's documents while its manifest has
// not set one; remote services always use it.
constexpr std::uint32_t tb_manifest_default_limit = 65536;
// No limit goes above this, so that a peer cannot make us allocate more.
constexpr std::uint32_t tb_manifest_max_limit = 4u * 1024u * 1024u;

enum tb_manifest_key : std::uint32_t {
    tb_manifest_key_commit = 0, // documents sent to the service's owner
    tb_manifest_key_update = 1, // the owner's published document
};

struct tb_transfer {
    std::vector<char> received; // last complete document, with its NUL
    std::uint32_t received_stamp = 0;
    std::uint32_t received_token = 0;
    std::vector<char> assembling; // the fetch in progress (its size is the total); replaces
                                  // received when complete
    std::vector<char> published;  // offered to others, with its NUL
    std::uint32_t published_stamp = 0;
    std::uint32_t requested_token = 0;
    std::int32_t tries = 0; // requests left; 0 = idle
    tb_timer request_timer;
    tb_id source{};
    std::uint8_t announce_pending = 0;
    tb_timer announce_timer;
};

struct tb_manifest_state {
    std::uint32_t owner_nonce = 0; // last handled owner nonce
    std::uint32_t limit = 0;       // 0: tb_manifest_default_limit
    std::array<tb_transfer, 2> transfer;
};

extern const tb_task_descriptor tb_manifest_task;

// Called when a document for (id, key) has been received, or for key 0 also
// when it was committed locally.
using tb_manifest_proc = void (*)(void *context, tb_id id);

// Registers the handler of (id, key); the broadcast id as filter matches
// every service. A second handler matching the same (id, key) is refused.
void tb_manifest_add_handler(tb_manifest_proc procedure, void *context, tb_id id,
                             std::uint32_t key);

// Documents are given as their text; the transfer adds the terminating NUL.
// Publishes the document as the owner's version when it differs from the one
// published; the update is announced 100 ms later. True when published.
bool tb_manifest_write_update(tb_id id, std::string_view document);
// Offers the document to the service's owner when it differs from the owner's
// last version known here; the commit is sent 100 ms later. True when sent.
bool tb_manifest_write_commit(tb_id id, std::string_view document);
// Replaces the committed document (empty: none) and runs the key-0 handler.
void tb_manifest_local_commit(tb_id id, std::string_view document);
// The last received commit or update document, without its NUL; valid until
// the next transfer of that kind. False when there is none.
bool tb_manifest_read_commit(tb_id id, std::string_view &out);
bool tb_manifest_read_update(tb_id id, std::string_view &out);
// Drops the published document, so that the next update publishes again.
void tb_manifest_clear_update(tb_id id);
// Size limit of the service's documents, NUL included; 0 restores the
// default and anything above tb_manifest_max_limit is cut to it.
void tb_manifest_set_limit(tb_id id, std::uint32_t limit);
std::uint32_t tb_manifest_get_limit(tb_id id);
