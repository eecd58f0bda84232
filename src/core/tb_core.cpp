#include "core/tb_core.hpp"

#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <string>

#include "core/tb_syslog.hpp"
#include "core/tb_tick_stats.hpp"
#include "core/tb_task.hpp"
#include "net/tb_action.hpp"
#include "net/tb_manifest.hpp"
#include "net/tb_network.hpp"
#include "net/tb_service.hpp"
#include "net/tb_status.hpp"

namespace {
// Timers live in the task records of their owners; this entry only keeps the
// place of the timer module in the registration order.
constexpr tb_task_descriptor tb_timer_task = {};

std::atomic<tb_audio_tick> audio_tick{nullptr};
std::mutex audio_mutex;
std::condition_variable audio_started;
} // namespace

void tb_core_init(const tb_network_config& config, const tb_device_record& device)
{
    tb_task_init();
    tb_socket_init(config);
    tb_device_init(device);
    const tb_id own = tb_device_own_id();
    tb_task_add(tb_network_task, own);
    tb_task_add(tb_device_task, own);
    tb_task_add(tb_timer_task, own);
    tb_task_add(tb_status_task, own);
    tb_task_add(tb_service_task, own);
    tb_task_add(tb_manifest_task, own);
    tb_task_add(tb_action_task, own);
    tb_syslog_message("tb_core_init", own, "Halvo Tamber device started %03i-%02i.%02i.%02i %s %s", device.version[0],
                      device.version[1], device.version[2], device.version[3], __DATE__, __TIME__);
}

void tb_core_task(std::uint32_t tick_ms) { tb_task_task(tick_ms); }

void tb_core_set_audio_task(tb_audio_tick tick)
{
    {
        std::lock_guard lock(audio_mutex);
        audio_tick.store(tick);
    }
    audio_started.notify_all();
}

void tb_core_audio_task(std::uint32_t tick_ms)
{
    if (const tb_audio_tick tick = audio_tick.load()) tick(tick_ms);
}

namespace {
std::uint64_t monotonic_us()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}
} // namespace

void* tamber_system_thread_function(void*)
{
    const char* histogram_path = std::getenv("TAMBER_TICK_HISTOGRAM");
    std::unique_ptr<tb_tick_stats> stats;
    if (histogram_path && *histogram_path) stats = std::make_unique<tb_tick_stats>();
    std::uint64_t next_write = monotonic_us() + 10000000u;

    timespec deadline{};
    util_realtime_init(deadline);
    while (abort_signal.load() == 0) {
        const std::uint64_t start = stats ? monotonic_us() : 0;
        {
            std::lock_guard lock(tamber_mutex);
            tb_core_task(util_realtime_ms(deadline));
        }
        if (stats) {
            const std::uint64_t end = monotonic_us();
            tb_tick_stats_add(*stats, end - start);
            if (end >= next_write) {
                tb_tick_stats_write(*stats, histogram_path);
                next_write = end + 10000000u;
            }
        }
        util_realtime_wait(deadline, tb_system_period_us);
    }
    if (stats) tb_tick_stats_write(*stats, histogram_path);
    return nullptr;
}

void* tamber_audio_thread_function(void*)
{
    {
        std::unique_lock lock(audio_mutex);
        while (audio_tick.load() == nullptr && abort_signal.load() == 0)
            audio_started.wait_for(lock, std::chrono::milliseconds(250));
    }
    timespec deadline{};
    util_realtime_init(deadline);
    while (abort_signal.load() == 0) {
        tb_core_audio_task(util_realtime_ms(deadline));
        util_realtime_wait(deadline, tb_audio_period_us);
    }
    return nullptr;
}
