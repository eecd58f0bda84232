// The floor of the idle figure: CPU used by a thread that does nothing but
// wake on an absolute 3 ms schedule, as the server's system thread does.
#include <sys/resource.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const long ticks = seconds * 1000L / 3;
    for (long i = 0; i < ticks; ++i) {
        deadline.tv_nsec += 3'000'000;
        if (deadline.tv_nsec > 999'999'999) {
            deadline.tv_nsec -= 1'000'000'000;
            ++deadline.tv_sec;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) != 0) {
        }
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                       usage.ru_stime.tv_usec / 1e6;
    std::printf("empty 3 ms loop: %.2f %% of one core (%.1f us per wake-up)\n", 100.0 * cpu / seconds,
                1e6 * cpu / static_cast<double>(ticks));
}
