#pragma once
// The task table, millisecond timers, the wall-clock time record and the
// absolute-schedule helpers of the two core threads.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <span>

#include "core/tb_id.hpp"
#include "core/tb_wire.hpp"

using tb_init_proc = void (*)(void* state, tb_id id);
using tb_task_proc = void (*)(void* state, std::uint32_t tick_ms);
using tb_exec_proc = void (*)(void* state, const tb_packet& packet);

struct tb_task_descriptor {
    std::int64_t size = -1; // bytes of the zero-filled state block; -1: none
    tb_init_proc init_proc = nullptr;
    tb_task_proc task_proc = nullptr;
    tb_exec_proc exec_proc = nullptr;
};

constexpr int tb_task_capacity = 1024;

// The one process-wide lock every thread takes before touching module state,
// and the flag set by SIGINT/SIGTERM that ends every loop.
extern std::mutex tamber_mutex;
extern std::atomic<int> abort_signal;

void tb_task_init();
void* tb_task_add(const tb_task_descriptor& descriptor, tb_id id);
template <typename State>
State* tb_task_add_state(const tb_task_descriptor& descriptor, tb_id id)
{
    static_assert(std::is_trivially_copyable_v<State>, "state blocks are zero-filled memory");
    return static_cast<State*>(tb_task_add(descriptor, id));
}
int tb_task_count();
void tb_task_task(std::uint32_t tick_ms);
void tb_task_exec(const tb_packet& packet);

// Millisecond clock: the monotonic clock truncated to 32 bits. Tests may
// replace its source to step time without waiting.
std::uint32_t tb_clock_ms();
using tb_clock_source = std::uint32_t (*)();
void tb_clock_set_source(tb_clock_source source); // nullptr: the monotonic clock

struct tb_timer {
    std::uint32_t start = 0;
    std::uint32_t deadline = 0;
};

void tb_timer_restart(tb_timer& timer, std::uint32_t ms);
bool tb_timer_expired(const tb_timer& timer);
bool tb_timer_expired_at(const tb_timer& timer, std::uint32_t now);

// Wall-clock record carried in device answers; 12 bytes on the wire.
struct tb_time {
    std::uint8_t hour = 0, minute = 0, second = 0, weekday = 0, monthday = 0, month = 0;
    std::uint16_t yearday = 0, year = 0;
    std::uint8_t valid = 0;
};
constexpr std::size_t tb_time_wire_size = 12;

int tb_time_get(tb_time& record);
bool tb_time_set(const tb_time& record, tb_id source_id);
void tb_time_put(tb_mut_bytes b, std::size_t off, const tb_time& record);
tb_time tb_time_read(tb_bytes b, std::size_t off);

// Absolute schedule on the monotonic clock.
void util_realtime_init(timespec& ts);
// Advances the deadline by us and sleeps until it; returns false without
// sleeping when the deadline has already passed (a late loop catches up).
bool util_realtime_wait(timespec& ts, long us);
std::uint32_t util_realtime_ms(const timespec& ts);
int util_create_thread(void* (*start)(void*), void* arg);
