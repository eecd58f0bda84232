#pragma once
// Core start and the two core threads: the system thread runs the task table
// every 3 ms under tamber_mutex, the audio thread runs the audio transport
// every 1 ms without it.

#include <cstdint>

#include "net/tb_device.hpp"
#include "net/tb_socket.hpp"

constexpr long tb_system_period_us = 3000;
constexpr long tb_audio_period_us = 1000;

void tb_core_init(const tb_network_config& config, const tb_device_record& device);
void tb_core_task(std::uint32_t tick_ms);
// The audio transport installs its tick here when it starts; until then the
// audio thread sleeps instead of waking every millisecond for nothing.
using tb_audio_tick = void (*)(std::uint32_t tick_ms);
void tb_core_set_audio_task(tb_audio_tick tick);
void tb_core_audio_task(std::uint32_t tick_ms);
void* tamber_system_thread_function(void* arg);
void* tamber_audio_thread_function(void* arg);
