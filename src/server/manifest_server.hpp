#pragma once
// The manifest store: one "<id>.kst" file per service on the LAN in one
// directory, the service list file, and a watcher thread that turns edited
// files into commits and restores deleted ones.

#include <cstdint>
#include <string>
#include <string_view>

#include "core/tb_task.hpp"

constexpr std::size_t manifest_server_path_max = 4095;
// Names of the store's own helper files: their first 14 characters do not
// read as an id, so the watcher ignores them.
constexpr std::string_view manifest_server_temp_prefix = ".tmp~~~~~~~~~~";
constexpr std::string_view manifest_server_backup_prefix = "wrong-json----";

extern const tb_task_descriptor manifest_server_task;

// Registers the store's task and handlers and starts watching directory.
// Call before the core threads run (or holding tamber_mutex); a second start
// first ends the running watcher, so it must not hold tamber_mutex then.
void manifest_server_start(std::string_view directory);
// Ends the watcher thread (it also ends on abort_signal) and the writer
// thread once it has written what is queued. Call without holding
// tamber_mutex.
void manifest_server_stop();
// Loads the stored manifest of a local service into its commit transfer,
// also when there is none (the service then builds its defaults). A file
// that is not a JSON object is kept as a backup first.
void manifest_server_load(tb_id id);
// "<directory>/<id text>.kst".
std::string manifest_server_path(tb_id id);
// Writes text to path now, through a temporary file in the same directory
// (permissions 0666, synced, renamed into place): a crash leaves the old
// file or the new one, never a mix.
bool manifest_server_write_file(const std::string &path, std::string_view text);
// Queues text for path on the store's writer thread (written as above, in
// the order queued; a newer text for the same file replaces one not yet
// written). Without the thread the file is written at once.
bool manifest_server_queue_file(const std::string &path, std::string_view text);
// What path holds once the queued writes are done: the queued text, or the
// file itself. False when it cannot be read or is too large for a manifest.
bool manifest_server_read_file(const std::string &path, std::string &out);
// Returns once every queued file is written.
void manifest_server_flush();

// The file of id, without a terminator; false when it cannot be read.
bool load_manifest(tb_id id, std::string &out);
bool save_manifest(tb_id id, std::string_view document);
// Commits the file to the service's owner; nothing is sent when it equals
// the owner's last version known here.
void commit_manifest(tb_id id);
// Writes the owner's last published version to the file; false when none.
bool update_manifest(tb_id id);
void manifest_handler(void *context, tb_id id);
bool save_service_list();
