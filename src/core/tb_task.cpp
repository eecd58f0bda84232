#include "core/tb_task.hpp"

#include <pthread.h>
#include <sys/time.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "core/tb_syslog.hpp"
#include "net/tb_device.hpp"

std::mutex tamber_mutex;
std::atomic<int> abort_signal{0};

namespace {

struct task_entry {
    std::byte* state = nullptr;
    tb_task_descriptor descriptor;
};

struct task_table {
    std::array<task_entry, tb_task_capacity> entries;
    int count = 0;
};

task_table tb_task;
// State blocks live for the whole process, also those of tasks that were
// never entered or were dropped by a later tb_task_init.
std::vector<std::unique_ptr<std::byte[]>> state_blocks;
tb_clock_source clock_source = nullptr;
tb_id time_provider{};

std::uint32_t monotonic_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                                      static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u);
}

} // namespace

void tb_task_init()
{
    for (auto& entry : tb_task.entries) entry = task_entry{};
    tb_task.count = 0;
}

void* tb_task_add(const tb_task_descriptor& descriptor, tb_id id)
{
    std::byte* block = nullptr;
    if (descriptor.size != -1) {
        const auto size = static_cast<std::size_t>(descriptor.size < 0 ? 0 : descriptor.size);
        std::unique_ptr<std::byte[]> state(new (std::nothrow) std::byte[size > 0 ? size : 1]());
        if (!state) {
            tb_syslog_fatal("tb_task_add", id, "out of memory");
            return nullptr;
        }
        block = state.get();
        state_blocks.push_back(std::move(state));
    }
    if (tb_task.count >= tb_task_capacity) {
        tb_syslog_fatal("tb_task_add", id, "unable to add new task");
    } else if (descriptor.task_proc || descriptor.exec_proc) {
        tb_task.entries[static_cast<std::size_t>(tb_task.count++)] = {block, descriptor};
    }
    if (descriptor.init_proc) descriptor.init_proc(block, id);
    return block;
}

int tb_task_count() { return tb_task.count; }

void tb_task_task(std::uint32_t tick_ms)
{
    for (int i = 0; i < tb_task.count; ++i) {
        auto& entry = tb_task.entries[static_cast<std::size_t>(i)];
        if (entry.descriptor.task_proc) entry.descriptor.task_proc(entry.state, tick_ms);
    }
}

void tb_task_exec(const tb_packet& packet)
{
    for (int i = 0; i < tb_task.count; ++i) {
        auto& entry = tb_task.entries[static_cast<std::size_t>(i)];
        if (entry.descriptor.exec_proc) entry.descriptor.exec_proc(entry.state, packet);
    }
}

std::uint32_t tb_clock_ms() { return clock_source ? clock_source() : monotonic_ms(); }

void tb_clock_set_source(tb_clock_source source) { clock_source = source; }

void tb_timer_restart(tb_timer& timer, std::uint32_t ms)
{
    timer.start = tb_clock_ms();
    timer.deadline = timer.start + ms;
}

bool tb_timer_expired_at(const tb_timer& timer, std::uint32_t now)
{
    const bool deadline_wrapped = timer.deadline < timer.start;
    const bool clock_wrapped = now < timer.start;
    if (deadline_wrapped != clock_wrapped) return clock_wrapped;
    return now >= timer.deadline;
}

bool tb_timer_expired(const tb_timer& timer) { return tb_timer_expired_at(timer, tb_clock_ms()); }

int tb_time_get(tb_time& record)
{
    timeval tv{};
    if (gettimeofday(&tv, nullptr) != 0) return errno;
    const time_t seconds = tv.tv_sec;
    tm local{};
    if (!localtime_r(&seconds, &local)) return EINVAL;
    record.hour = static_cast<std::uint8_t>(local.tm_hour);
    record.minute = static_cast<std::uint8_t>(local.tm_min);
    record.second = static_cast<std::uint8_t>(local.tm_sec);
    record.weekday = static_cast<std::uint8_t>(local.tm_wday);
    record.monthday = static_cast<std::uint8_t>(local.tm_mday);
    record.month = static_cast<std::uint8_t>(local.tm_mon);
    record.yearday = static_cast<std::uint16_t>(local.tm_yday);
    record.year = static_cast<std::uint16_t>(local.tm_year + 1900);
    record.valid = 1;
    return 0;
}

bool tb_time_set(const tb_time& record, tb_id source_id)
{
    if (record.valid && tb_device_get_data(time_provider) == nullptr) time_provider = tb_id_get_device_id(source_id);
    return tb_id_compare_device(source_id, time_provider) && !tb_id_is_unknown(time_provider);
}

void tb_time_put(tb_mut_bytes b, std::size_t off, const tb_time& record)
{
    if (!tb_wire_fits(b, off, tb_time_wire_size)) return;
    put_u8(b, off + 0, record.hour);
    put_u8(b, off + 1, record.minute);
    put_u8(b, off + 2, record.second);
    put_u8(b, off + 3, record.weekday);
    put_u8(b, off + 4, record.monthday);
    put_u8(b, off + 5, record.month);
    put_u16le(b, off + 6, record.yearday);
    put_u16le(b, off + 8, record.year);
    put_u8(b, off + 10, record.valid);
    put_u8(b, off + 11, 0);
}

tb_time tb_time_read(tb_bytes b, std::size_t off)
{
    tb_time record;
    if (!tb_wire_fits(b, off, tb_time_wire_size)) return record;
    record.hour = get_u8(b, off + 0);
    record.minute = get_u8(b, off + 1);
    record.second = get_u8(b, off + 2);
    record.weekday = get_u8(b, off + 3);
    record.monthday = get_u8(b, off + 4);
    record.month = get_u8(b, off + 5);
    record.yearday = get_u16le(b, off + 6);
    record.year = get_u16le(b, off + 8);
    record.valid = get_u8(b, off + 10);
    return record;
}

void util_realtime_init(timespec& ts) { clock_gettime(CLOCK_MONOTONIC, &ts); }

bool util_realtime_wait(timespec& ts, long us)
{
    ts.tv_nsec += us * 1000;
    while (ts.tv_nsec > 999999999) {
        ts.tv_nsec -= 1000000000;
        ++ts.tv_sec;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec > ts.tv_sec || (now.tv_sec == ts.tv_sec && now.tv_nsec >= ts.tv_nsec)) return false;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
    return true;
}

std::uint32_t util_realtime_ms(const timespec& ts)
{
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                                      static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u);
}

int util_create_thread(void* (*start)(void*), void* arg)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 262144);
    pthread_t thread;
    const int result = pthread_create(&thread, &attr, start, arg);
    pthread_attr_destroy(&attr);
    if (result == 0) {
        pthread_detach(thread);
    } else if (result == EAGAIN) {
        std::printf("Create thread failed with error: EAGAIN\n");
    } else {
        std::printf("Create thread failed with error: %d\n", result);
    }
    return result;
}
