#pragma once
// Tick-time histogram of the system thread, a debug aid for measuring the
// tick budget. Enabled by the environment variable TAMBER_TICK_HISTOGRAM
// naming the file that is rewritten every 10 s and when the thread ends.

#include <array>
#include <cstdint>
#include <string>

struct tb_tick_stats {
    static constexpr std::size_t buckets = 3001; // 1 us each up to 3 ms; the last holds longer ticks
    std::array<std::uint64_t, buckets> histogram{};
    std::uint64_t count = 0;
    std::uint64_t max_us = 0;
    std::uint64_t over_300us = 0;
    std::uint64_t over_3000us = 0;
};

void tb_tick_stats_add(tb_tick_stats& stats, std::uint64_t us);
// The smallest tick time (us) that at least the fraction q of ticks do not exceed.
std::uint64_t tb_tick_stats_quantile(const tb_tick_stats& stats, double q);
std::string tb_tick_stats_format(const tb_tick_stats& stats);
bool tb_tick_stats_write(const tb_tick_stats& stats, const std::string& path);
