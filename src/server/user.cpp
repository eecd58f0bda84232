#include "server/user.hpp"

#include <string>

#include "control/tb_action_base.hpp"
#include "core/tb_wire.hpp"
#include "net/tb_action.hpp"
#include "net/tb_manifest.hpp"
#include "net/tb_service.hpp"
#include "server/manifest.hpp"
#include "server/manifest_server.hpp"

namespace {

struct user_record {
    manifest_object object;
    user_manifest_state* task = nullptr;
};

// One record per user index; the manifest object's address is registered
// with the registry and the transfer, so records never move.
std::array<user_record, tb_id_max_index + 1> users;

// The locale text with its one "%s" replaced by name.
std::string with_name(std::string_view text, std::string_view name)
{
    const std::size_t at = text.find("%s");
    if (at == std::string_view::npos) return std::string(text);
    std::string out(text.substr(0, at));
    out += name;
    out += text.substr(at + 2);
    return out;
}

// Info text

void update_info(user_info_state& info)
{
    std::string text;
    if (!tb_id_is_unknown(info.joined)) {
        std::array<char, tb_service_name_size> name{};
        tb_service_get_name(info.joined, name, false);
        text = with_name(locale(0), tb_text(name));
    } else {
        text = locale(1);
    }
    tb_copy_text(info.info, text);
    tb_service_set_info(info.user, tb_text(info.info));
}

void info_service_proc(void* context, tb_service_record& record, std::uint32_t events)
{
    auto& info = *static_cast<user_info_state*>(context);
    if (record.id == info.user && (events & tb_event_joined)) {
        info.joined = record.joined;
        update_info(info);
    } else if (!tb_id_is_unknown(info.joined) && record.id == info.joined && (events & tb_event_name)) {
        update_info(info);
    }
}

void info_init_proc(void* block, tb_id id)
{
    if (!block) return;
    auto& info = *static_cast<user_info_state*>(block);
    info.user = id;
    tb_service_add_proc(info_service_proc, &info, tb_id_broadcast());
    // Announced from the start, not only after the first join.
    update_info(info);
}

// Status line

void status_service_proc(void* context, tb_service_record& record, std::uint32_t events)
{
    auto& status = *static_cast<user_status_state*>(context);
    if (record.id == status.user) {
        if (events & tb_event_joined) status.joined = record.joined;
        if (events & (tb_event_joined | tb_event_name)) tb_status_update(status.user, false);
    } else if (!tb_id_is_unknown(status.joined) && record.id == status.joined &&
               (events & (tb_event_info | tb_event_alias | tb_event_stream))) {
        tb_status_update(status.user, false);
    }
}

void status_proc(void* context, tb_id, const char*, std::uint32_t flags)
{
    auto& status = *static_cast<user_status_state*>(context);
    if (flags & tb_status_requested) tb_status_clear(&status.cache);
    if (!(flags & tb_status_publish)) return;
    std::array<char, tb_service_name_size> name{};
    std::array<char, tb_service_alias_size> source{};
    std::array<char, tb_service_stream_size> stream{};
    std::array<char, tb_service_info_size> info{};
    tb_service_get_name(status.user, name, false);
    tb_service_get_alias(status.joined, source);
    tb_service_get_stream(status.joined, stream);
    tb_service_get_info(status.joined, info);
    tb_status_start(status.user);
    tb_status_printf("status");
    tb_status_printf("name=%s", name.data());
    tb_status_printf("source=$%s", source.data());
    tb_status_printf("stream=%s", stream.data());
    tb_status_printf("info=%s", info.data());
    tb_status_send(&status.cache, tb_status_kind_status);
}

void status_init_proc(void* block, tb_id id)
{
    if (!block) return;
    auto& status = *static_cast<user_status_state*>(block);
    status.user = id;
    tb_service_add_proc(status_service_proc, &status, tb_id_broadcast());
    tb_status_add_proc(status_proc, &status, id);
}

// Manifest and reset

void manifest_init_proc(void* block, tb_id id)
{
    if (!block) return;
    auto& task = *static_cast<user_manifest_state*>(block);
    task.user = id;
    task.armed = 1;
    tb_timer_restart(task.timer, user_reset_delay_ms);
}

void manifest_task_proc(void* block, std::uint32_t)
{
    auto& task = *static_cast<user_manifest_state*>(block);
    if (!task.armed || !tb_timer_expired(task.timer)) return;
    task.armed = 0;
    tb_action_send(task.user, tb_text(task.reset));
}

void user_manifest_commit(user_manifest_state& task, manifest_object& object)
{
    tb_copy_text(task.reset, user_default_reset);
    JsonNode* user = manifest_default_member(object.setup, "user");
    manifest_default_string(user, "reset", task.reset);
}

void commit_handler(void* context, tb_id)
{
    auto& record = *static_cast<user_record*>(context);
    manifest_load(record.object);
    if (record.object.document && record.task) user_manifest_commit(*record.task, record.object);
    manifest_save(record.object, false);
}

user_record* find_user(tb_id id)
{
    if (tb_id_get_service_class(id) != tb_class_user) return nullptr;
    const std::size_t index = tb_id_get_service_index(id);
    if (index >= users.size() || users[index].object.id != id) return nullptr;
    return &users[index];
}

} // namespace

const tb_task_descriptor tb_user_task = {};

const tb_task_descriptor user_status_task = {
    .size = sizeof(user_status_state),
    .init_proc = status_init_proc,
    .task_proc = nullptr,
    .exec_proc = nullptr,
};

const tb_task_descriptor user_info_task = {
    .size = sizeof(user_info_state),
    .init_proc = info_init_proc,
    .task_proc = nullptr,
    .exec_proc = nullptr,
};

const tb_task_descriptor user_manifest_task = {
    .size = sizeof(user_manifest_state),
    .init_proc = manifest_init_proc,
    .task_proc = manifest_task_proc,
    .exec_proc = nullptr,
};

tb_id user_main(std::string_view model, std::string_view name_format)
{
    const tb_id id = tb_service_register_class(tb_class_user, "user");
    // A full class or a full registry: the id has no record to serve.
    if (tb_id_is_unknown(id) || !tb_service_get_data(id)) return tb_id_unknown();
    const std::size_t index = tb_id_get_service_index(id);
    if (index >= users.size()) return tb_id_unknown();

    auto& record = users[index];
    record = user_record{};
    record.object.user = &record;

    tb_task_add(tb_action_base_task, id);
    tb_task_add(tb_user_task, id);
    tb_task_add(user_status_task, id);
    tb_task_add(user_info_task, id);
    record.task = tb_task_add_state<user_manifest_state>(user_manifest_task, id);

    manifest_init(record.object, id, model, name_format, 0);
    tb_manifest_add_handler(commit_handler, &record, id, tb_manifest_key_commit);
    manifest_server_load(id);
    return id;
}

std::string_view user_reset_action(tb_id user)
{
    const user_record* record = find_user(user);
    return record && record->task ? tb_text(record->task->reset) : std::string_view{};
}
