#pragma once
// The action base: the standard verbs of a hosted room, user, source or KNX
// service (system, debug, name, select, refer, revert, on, off, volume,
// stream joining) and the passing on of every other action along the join
// graph: a room to its user or source, a user to its source or its rooms.

#include "core/tb_task.hpp"

struct tb_action_base_state {
    tb_id service{};  // the service this base serves
    tb_id current{};  // its joined id, read at the start of each action
    tb_id previous{}; // the joined id before the last join-or-leave made here
    tb_id last{};     // the last known id the service was joined to
};

// Registered with the served service's id; the state block is a
// tb_action_base_state.
extern const tb_task_descriptor tb_action_base_task;

// Whether a service of class from may pass actions on to one of class to:
// a room to a user or a source, a user to a source.
bool tb_action_base_may_forward(tb_id from, tb_id to);
