// Console clients send any bytes in any pieces. Feeds them to the line
// assembler in chunks (the first input byte picks the chunk size) and checks
// it against a plain model of the rules: CR ends a line, other control bytes
// vanish, a line keeps 1023 characters and reports its overflow once.
#include "control/tb_action_server.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct event {
    bool overflow;
    std::string line;
    friend bool operator==(const event&, const event&) = default;
};

void record(void* context, tb_action_server_input input, std::string_view line)
{
    auto& events = *static_cast<std::vector<event>*>(context);
    events.push_back({input == tb_action_server_input::overflow, std::string(line)});
    // Whatever a line holds is what an action text may hold.
    (void)tb_action_server_line_action(line);
}

std::vector<event> model(std::span<const std::uint8_t> bytes)
{
    std::vector<event> events;
    std::string line;
    bool overflow = false;
    for (const std::uint8_t byte : bytes) {
        if (byte == '\r') {
            events.push_back({false, line});
            line.clear();
            overflow = false;
        } else if (byte >= 0x20) {
            if (line.size() < tb_action_server_line_max) {
                line += static_cast<char>(byte);
            } else if (!overflow) {
                overflow = true;
                events.push_back({true, {}});
            }
        }
    }
    return events;
}

void fail(const char* what)
{
    std::fprintf(stderr, "console_fuzz: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    const std::size_t chunk = std::size_t{data[0]} * 8 + 1;
    const std::span<const std::uint8_t> input(data + 1, size - 1);

    tb_action_server_line line;
    std::vector<event> events;
    for (std::size_t start = 0; start < input.size();) {
        auto piece = input.subspan(start, std::min(chunk, input.size() - start));
        while (!piece.empty()) {
            const std::size_t used = tb_action_server_assemble(line, piece, record, &events);
            if (used == 0 || used > piece.size()) fail("consumed count out of range");
            piece = piece.subspan(used);
        }
        start += std::min(chunk, input.size() - start);
        if (line.length > tb_action_server_line_max) fail("line longer than 1023 characters");
    }
    if (events != model(input)) fail("assembled lines differ from the rules");
    for (const auto& e : events)
        for (const char c : e.line)
            if (static_cast<unsigned char>(c) < 0x20) fail("control byte in a line");
    return 0;
}
