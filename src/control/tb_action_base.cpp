#include "control/tb_action_base.hpp"

#include <array>
#include <string>
#include <string_view>

#include "net/tb_action.hpp"
#include "net/tb_service.hpp"
#include "net/tb_status.hpp"

namespace {

using state = tb_action_base_state;

std::uint8_t class_of(tb_id id) { return tb_id_get_service_class(id); }

bool is_class(tb_id id, std::uint8_t service_class) { return class_of(id) == service_class; }

tb_id resolve(std::span<const tb_id, 4> ids, std::string_view argument)
{
    return tb_action_get_id_ex(ids, argument);
}

void join_or_leave(state& base, tb_id id)
{
    if (!tb_id_is_unknown(id))
        tb_service_join(base.service, id);
    else
        tb_service_leave(base.service);
    base.previous = base.current;
}

// A text that reaches the receiver's tokenizer as one token: ":" and "\"
// keep their meaning as data, and ";" cannot start a new action piece.
void append_token(std::string& text, std::string_view token)
{
    for (const char c : token) {
        if (c == ':' || c == '\\' || c == ';') text += '\\';
        text += c;
    }
}

void forward(const state& base, std::span<const tb_id, 4> ids)
{
    if (!tb_action_base_may_forward(base.service, base.current)) {
        tb_action_warning("cannot forward action");
        return;
    }
    tb_action_ids next{base.current, ids[tb_action_sender], ids[tb_action_room], ids[tb_action_user]};
    if (is_class(base.service, tb_class_room)) next[tb_action_room] = base.service;
    if (is_class(base.service, tb_class_user)) next[tb_action_user] = base.service;
    tb_action_forward(next);
}

// Each room joined to the user gets the action being handled (text empty)
// or a new text.
void to_joined_rooms(const state& base, std::span<const tb_id, 4> ids, std::string_view text)
{
    bool found = false;
    for (auto* record = tb_service_get_next(nullptr); record; record = tb_service_get_next(record)) {
        if (record->joined != base.service || !is_class(record->id, tb_class_room)) continue;
        found = true;
        const tb_action_ids next{record->id, ids[tb_action_sender], ids[tb_action_room], base.service};
        if (text.empty()) {
            tb_action_forward(next);
        } else {
            tb_action_send_ex(next, text);
            tb_action_handled();
        }
    }
    if (!found) tb_action_warning("no matching room found");
}

// "revert" and "off"; false when the verb is not one of them.
bool base_verbs(state& base, std::span<const tb_id, 4> ids, const tb_action_tokens& tokens)
{
    const std::string_view verb = tokens[1];
    const std::string_view argument = tokens[2];
    if (verb == "revert") {
        if (!argument.empty() && resolve(ids, argument) != base.current) {
            tb_action_warning("service does not match");
            return true;
        }
        join_or_leave(base, base.previous);
        tb_action_ok();
        return true;
    }
    if (verb == "off") {
        if (!argument.empty() && resolve(ids, argument) != base.current) {
            tb_action_warning("service does not match");
            return true;
        }
        tb_service_leave(base.service);
        tb_action_ok();
        return true;
    }
    return false;
}

void room_verbs(state& base, std::span<const tb_id, 4> ids, const tb_action_tokens& tokens)
{
    const std::string_view verb = tokens[1];
    if (verb == "select") {
        const tb_id id = resolve(ids, tokens[2]);
        if (!is_class(id, tb_class_source) && !is_class(id, tb_class_user)) {
            tb_action_error("service cannot be selected");
            return;
        }
        join_or_leave(base, id);
        tb_action_ok();
    } else if (verb == "refer") {
        const tb_id id = resolve(ids, tokens[2]);
        if (!is_class(id, tb_class_room) && !is_class(id, tb_class_user)) {
            tb_action_error("service cannot be referenced");
            return;
        }
        join_or_leave(base, tb_service_get_join_id(id));
        tb_action_ok();
    } else if (verb == "on") {
        if (tb_id_is_unknown(base.last)) {
            tb_action_error("don't know what service to select");
            return;
        }
        join_or_leave(base, base.last);
        tb_action_ok();
    }
}

void user_verbs(state& base, std::span<const tb_id, 4> ids, const tb_action_tokens& tokens)
{
    const std::string_view verb = tokens[1];
    if (verb == "select") {
        const tb_id id = resolve(ids, tokens[2]);
        if (!is_class(id, tb_class_source)) {
            tb_action_error("service cannot be selected");
            return;
        }
        join_or_leave(base, id);
        tb_action_ok();
    } else if (verb == "refer") {
        const tb_id id = resolve(ids, tokens[2]);
        if (!is_class(id, tb_class_room) && !is_class(id, tb_class_user)) {
            tb_action_error("service cannot be referenced");
            return;
        }
        tb_id joined = tb_service_get_join_id(id);
        if (is_class(joined, tb_class_user)) joined = tb_service_get_join_id(joined);
        // A user only ever joins a source; anything else would be a loop in
        // the join graph.
        if (!tb_id_is_unknown(joined) && !is_class(joined, tb_class_source)) {
            tb_action_error("service cannot be referenced");
            return;
        }
        join_or_leave(base, joined);
        tb_action_ok();
    } else if (verb == "volume") {
        const std::string_view step = tokens[2];
        std::string text;
        if (step == "minus" || step == "plus") {
            text = "room:volume:relative:";
            text += step;
        } else if (step == "set") {
            text = "room:volume:relative:set:";
            append_token(text, tokens[3]);
        } else {
            return;
        }
        to_joined_rooms(base, ids, text);
    }
}

void stream_join(std::span<const tb_id, 4> ids, tb_id source)
{
    const tb_id room = ids[tb_action_room];
    const tb_id user = ids[tb_action_user];
    const bool has_room = is_class(room, tb_class_room);
    if (tb_id_is_unknown(user)) {
        if (has_room) tb_service_join(room, source);
        return;
    }
    if (!is_class(user, tb_class_user)) return;
    tb_service_join(user, source);
    if (has_room) tb_service_join(room, user);
}

void action_proc(void* context, std::span<const tb_id, 4> ids, const tb_action_tokens& tokens)
{
    auto& base = *static_cast<state*>(context);
    base.current = tb_service_get_join_id(base.service);
    const std::string_view module = tokens[0];
    const std::string_view verb = tokens[1];

    if (module == "system") {
        if (verb == "off") {
            tb_service_leave(tb_id_broadcast());
            tb_action_ok();
        }
        return;
    }
    if (module == "debug") return;
    if (module == "name") {
        if (verb == "set") {
            tb_service_set_name(base.service, tokens[2]);
            tb_action_ok();
        } else if (verb == "get") {
            std::array<char, tb_service_name_size> name{};
            tb_service_get_name(base.service, name, false);
            tb_status_start(base.service);
            tb_status_printf("name=%s", name.data());
            tb_status_send(nullptr, tb_status_kind_reply);
            tb_action_handled();
        }
        return;
    }

    switch (class_of(base.service)) {
    case tb_class_room:
        if (module == "room" || (module == "user" && !is_class(base.current, tb_class_user))) {
            if (!base_verbs(base, ids, tokens)) room_verbs(base, ids, tokens);
        } else {
            forward(base, ids);
        }
        break;
    case tb_class_user:
        if (module == "user") {
            if (!base_verbs(base, ids, tokens)) user_verbs(base, ids, tokens);
        } else if (module == "room") {
            to_joined_rooms(base, ids, {});
        } else {
            forward(base, ids);
        }
        break;
    case tb_class_source:
        if (module == "stream") stream_join(ids, base.service);
        break;
    default:
        break;
    }
}

void service_proc(void* context, tb_service_record& record, std::uint32_t events)
{
    auto& base = *static_cast<state*>(context);
    if ((events & tb_event_joined) && record.id == base.service && !tb_id_is_unknown(record.joined))
        base.last = record.joined;
}

void init_proc(void* block, tb_id id)
{
    if (!block) return;
    auto& base = *static_cast<state*>(block);
    base = state{};
    base.service = id;
    tb_action_add_proc(action_proc, &base, id);
    tb_service_add_proc(service_proc, &base, id);
}

} // namespace

const tb_task_descriptor tb_action_base_task = {
    .size = sizeof(tb_action_base_state),
    .init_proc = init_proc,
    .task_proc = nullptr,
    .exec_proc = nullptr,
};

bool tb_action_base_may_forward(tb_id from, tb_id to)
{
    switch (class_of(from)) {
    case tb_class_room:
        return is_class(to, tb_class_user) || is_class(to, tb_class_source);
    case tb_class_user:
        return is_class(to, tb_class_source);
    default:
        return false;
    }
}
