#include <gtest/gtest.h>

#include <vector>

#include "core/tb_task.hpp"

namespace {

std::uint32_t fake_now = 0;
std::uint32_t fake_clock() { return fake_now; }

class TimerTest : public ::testing::Test {
protected:
    void SetUp() override { tb_clock_set_source(fake_clock); }
    void TearDown() override { tb_clock_set_source(nullptr); }
};

TEST_F(TimerTest, ZeroInitialisedTimerIsExpired)
{
    fake_now = 12345;
    EXPECT_TRUE(tb_timer_expired(tb_timer{}));
}

TEST_F(TimerTest, ExpiresAtItsDeadline)
{
    fake_now = 1000;
    tb_timer timer;
    tb_timer_restart(timer, 100);
    fake_now = 1099;
    EXPECT_FALSE(tb_timer_expired(timer));
    fake_now = 1100;
    EXPECT_TRUE(tb_timer_expired(timer));
}

TEST_F(TimerTest, DeadlinePastTheWrap)
{
    fake_now = 0xFFFFFF00u;
    tb_timer timer;
    tb_timer_restart(timer, 0x200); // deadline 0x100 after the wrap
    EXPECT_EQ(timer.deadline, 0x100u);
    for (const std::uint32_t now : {0xFFFFFF00u, 0xFFFFFFFFu, 0u, 0xFFu}) {
        fake_now = now;
        EXPECT_FALSE(tb_timer_expired(timer)) << now;
    }
    for (const std::uint32_t now : {0x100u, 0x101u, 0x7FFFFFFFu}) {
        fake_now = now;
        EXPECT_TRUE(tb_timer_expired(timer)) << now;
    }
}

TEST_F(TimerTest, ClockWrappedBeforeTheDeadline)
{
    // Start just before the wrap, deadline still before it: once the clock
    // has wrapped the deadline has certainly passed.
    tb_timer timer{0xFFFFFF00u, 0xFFFFFFF0u};
    EXPECT_FALSE(tb_timer_expired_at(timer, 0xFFFFFF80u));
    EXPECT_TRUE(tb_timer_expired_at(timer, 0xFFFFFFF0u));
    EXPECT_TRUE(tb_timer_expired_at(timer, 5u));
}

struct probe_state {
    int inits;
    int ticks;
    int packets;
};

std::vector<int> call_order;

void probe_init(void* state, tb_id) { if (state) ++static_cast<probe_state*>(state)->inits; }
void probe_task(void* state, std::uint32_t) { ++static_cast<probe_state*>(state)->ticks; }
void probe_exec(void* state, const tb_packet&) { ++static_cast<probe_state*>(state)->packets; }
void order_one(void*, std::uint32_t) { call_order.push_back(1); }
void order_two(void*, std::uint32_t) { call_order.push_back(2); }
int init_only_calls = 0;
void count_init(void*, tb_id) { ++init_only_calls; }

constexpr tb_task_descriptor probe_task_descriptor = {
    .size = sizeof(probe_state), .init_proc = probe_init, .task_proc = probe_task, .exec_proc = probe_exec};

TEST(TaskTable, StateBlocksAndEntries)
{
    tb_task_init();
    auto* probe = tb_task_add_state<probe_state>(probe_task_descriptor, tb_id{});
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(probe->inits, 1);
    EXPECT_EQ(tb_task_add(tb_task_descriptor{.size = -1, .task_proc = order_one}, tb_id{}), nullptr);
    EXPECT_NE(tb_task_add(tb_task_descriptor{.size = 0, .task_proc = order_one}, tb_id{}), nullptr);

    init_only_calls = 0;
    tb_task_add(tb_task_descriptor{.size = 8, .init_proc = count_init}, tb_id{});
    EXPECT_EQ(init_only_calls, 1);
    EXPECT_EQ(tb_task_count(), 3); // the init-only descriptor is never entered

    tb_task_task(0);
    tb_task_exec(tb_packet{});
    EXPECT_EQ(probe->ticks, 1);
    EXPECT_EQ(probe->packets, 1);
}

TEST(TaskTable, RunsInRegistrationOrderAndStopsAtCapacity)
{
    tb_task_init();
    call_order.clear();
    tb_task_add(tb_task_descriptor{.task_proc = order_two}, tb_id{});
    tb_task_add(tb_task_descriptor{.task_proc = order_one}, tb_id{});
    tb_task_task(0);
    EXPECT_EQ(call_order, (std::vector<int>{2, 1}));

    tb_task_init();
    for (int i = 0; i < tb_task_capacity; ++i) tb_task_add(tb_task_descriptor{.task_proc = order_one}, tb_id{});
    init_only_calls = 0;
    auto* extra = tb_task_add_state<probe_state>(probe_task_descriptor, tb_id{});
    ASSERT_NE(extra, nullptr);
    EXPECT_EQ(extra->inits, 1); // initialised although never entered
    EXPECT_EQ(tb_task_count(), tb_task_capacity);
    tb_task_task(0);
    EXPECT_EQ(extra->ticks, 0);
    tb_task_init();
}

TEST(Realtime, LateLoopCatchesUpWithoutSleeping)
{
    timespec deadline{};
    util_realtime_init(deadline);
    deadline.tv_sec -= 1; // a tick loop that fell one second behind
    int immediate = 0;
    while (!util_realtime_wait(deadline, 3000) && immediate < 1000) ++immediate;
    // About 333 late ticks ran back to back before the first sleep.
    EXPECT_GE(immediate, 300);
    EXPECT_LE(immediate, 340);
}

TEST(Realtime, NanosecondsCarryIntoSeconds)
{
    timespec ts{5, 999'999'000};
    util_realtime_wait(ts, 3); // in the past: returns at once
    EXPECT_EQ(ts.tv_sec, 6);
    EXPECT_EQ(ts.tv_nsec, 2000);
    EXPECT_EQ(util_realtime_ms(ts), 6000u);
}

TEST(TimeRecord, WireLayout)
{
    tb_time record{.hour = 10, .minute = 16, .second = 3, .weekday = 1, .monthday = 13, .month = 5,
                   .yearday = 163, .year = 2022, .valid = 1};
    std::array<std::uint8_t, 12> wire{};
    tb_time_put(wire, 0, record);
    EXPECT_EQ(wire, (std::array<std::uint8_t, 12>{10, 16, 3, 1, 13, 5, 163, 0, 0xE6, 0x07, 1, 0}));
    const tb_time back = tb_time_read(wire, 0);
    EXPECT_EQ(back.year, 2022);
    EXPECT_EQ(back.yearday, 163);
    EXPECT_EQ(tb_time_read(std::span(wire).first(11), 0).valid, 0); // truncated: not read
}

} // namespace
