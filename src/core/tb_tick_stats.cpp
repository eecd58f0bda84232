#include "core/tb_tick_stats.hpp"

#include <cstdio>
#include <unistd.h>

void tb_tick_stats_add(tb_tick_stats& stats, std::uint64_t us)
{
    ++stats.histogram[us < tb_tick_stats::buckets - 1 ? us : tb_tick_stats::buckets - 1];
    ++stats.count;
    if (us > stats.max_us) stats.max_us = us;
    if (us > 300) ++stats.over_300us;
    if (us > 3000) ++stats.over_3000us;
}

std::uint64_t tb_tick_stats_quantile(const tb_tick_stats& stats, double q)
{
    if (stats.count == 0) return 0;
    const auto wanted = static_cast<std::uint64_t>(q * static_cast<double>(stats.count) + 0.999999);
    std::uint64_t seen = 0;
    for (std::size_t us = 0; us < tb_tick_stats::buckets; ++us) {
        seen += stats.histogram[us];
        if (seen >= wanted) return us == tb_tick_stats::buckets - 1 ? stats.max_us : us;
    }
    return stats.max_us;
}

std::string tb_tick_stats_format(const tb_tick_stats& stats)
{
    std::string text;
    auto line = [&text](const char* key, std::uint64_t value) {
        std::array<char, 64> buffer{};
        std::snprintf(buffer.data(), buffer.size(), "%s %llu\n", key, static_cast<unsigned long long>(value));
        text += buffer.data();
    };
    line("count", stats.count);
    line("max_us", stats.max_us);
    line("p50_us", tb_tick_stats_quantile(stats, 0.5));
    line("p99_us", tb_tick_stats_quantile(stats, 0.99));
    line("p999_us", tb_tick_stats_quantile(stats, 0.999));
    line("over_300us", stats.over_300us);
    line("over_3000us", stats.over_3000us);
    for (std::size_t us = 0; us < tb_tick_stats::buckets; ++us) {
        if (stats.histogram[us] == 0) continue;
        std::array<char, 64> buffer{};
        std::snprintf(buffer.data(), buffer.size(), "bucket_us %zu%s %llu\n", us,
                      us == tb_tick_stats::buckets - 1 ? "+" : "", static_cast<unsigned long long>(stats.histogram[us]));
        text += buffer.data();
    }
    return text;
}

bool tb_tick_stats_write(const tb_tick_stats& stats, const std::string& path)
{
    const std::string temporary = path + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "w");
    if (!file) return false;
    const std::string text = tb_tick_stats_format(stats);
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0 || !written) return false;
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}
