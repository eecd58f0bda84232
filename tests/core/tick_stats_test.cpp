#include <gtest/gtest.h>

#include "core/tb_tick_stats.hpp"

namespace {

TEST(TickStats, QuantilesAndOverflow)
{
    auto stats = std::make_unique<tb_tick_stats>();
    for (int i = 0; i < 998; ++i) tb_tick_stats_add(*stats, 20);
    tb_tick_stats_add(*stats, 400);
    tb_tick_stats_add(*stats, 12000);
    EXPECT_EQ(stats->count, 1000u);
    EXPECT_EQ(tb_tick_stats_quantile(*stats, 0.5), 20u);
    EXPECT_EQ(tb_tick_stats_quantile(*stats, 0.998), 20u);
    EXPECT_EQ(tb_tick_stats_quantile(*stats, 0.999), 400u);
    EXPECT_EQ(tb_tick_stats_quantile(*stats, 1.0), 12000u); // beyond the last bucket: the maximum
    EXPECT_EQ(stats->over_300us, 2u);
    EXPECT_EQ(stats->over_3000us, 1u);
    const std::string text = tb_tick_stats_format(*stats);
    EXPECT_NE(text.find("p999_us 400\n"), std::string::npos);
    EXPECT_NE(text.find("bucket_us 3000+ 1\n"), std::string::npos);
}

TEST(TickStats, EmptyHistogram)
{
    const auto stats = std::make_unique<tb_tick_stats>();
    EXPECT_EQ(tb_tick_stats_quantile(*stats, 0.999), 0u);
}

} // namespace
