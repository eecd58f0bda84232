// Manifests and Airable/JSON-RPC answers reach the JSON parser from disk and
// the network. Checks that validation and decoding agree and that writing is
// stable: encode(decode(encode(x))) == encode(x), for compact and indented
// output alike.
#include "core/json.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void fail(const char *what, std::string_view text) {
    std::fprintf(stderr, "json_fuzz: %s: %.*s\n", what, static_cast<int>(text.size()), text.data());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const bool valid = json_validate(text);
    JsonPtr root = json_decode(text);
    if (valid != (root != nullptr))
        fail("json_validate and json_decode disagree", text);
    if (!root)
        return 0;

    const std::string first = json_encode(root.get());
    JsonPtr again = json_decode(first);
    if (!again)
        fail("encoded document does not decode", first);
    const std::string second = json_encode(again.get());
    if (second != first)
        fail("second encoding differs", second);

    const std::string pretty = json_stringify(root.get(), "  ");
    JsonPtr from_pretty = json_decode(pretty);
    if (!from_pretty || json_encode(from_pretty.get()) != first)
        fail("indented document does not read back", pretty);
    return 0;
}
