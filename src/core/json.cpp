#include "core/json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace {

// Allocation failures surface as exceptions from the standard containers;
// every public entry point funnels them here.
[[noreturn]] void out_of_memory() noexcept {
    std::fputs("Out of memory.\n", stderr);
    std::exit(1);
}

template <typename F> auto oom_guard(F &&f) noexcept -> decltype(f()) {
    try {
        return f();
    } catch (const std::bad_alloc &) {
        out_of_memory();
    } catch (const std::length_error &) {
        out_of_memory();
    }
}

// Misuse of the tree interface is a programming error; stop in every build.
void json_check(bool ok, const char *where, const char *what) noexcept {
    if (!ok) {
        std::fprintf(stderr, "%s: %s\n", where, what);
        std::abort();
    }
}

bool is_container(const JsonNode *node) {
    return node != nullptr && (node->tag == JsonTag::array || node->tag == JsonTag::object);
}

JsonPtr make_node(JsonTag tag) {
    JsonPtr node(std::make_unique<JsonNode>().release());
    node->tag = tag;
    return node;
}

// Frees a detached subtree without recursion: always free the first child
// of the current container, climbing back when a container becomes empty.
void free_tree(JsonNode *root) {
    JsonNode *node = root;
    while (node != nullptr) {
        if (is_container(node) && node->value.first != nullptr) {
            node = node->value.first;
            continue;
        }
        if (node == root) {
            std::unique_ptr<JsonNode> owned(node);
            return;
        }
        JsonNode *up = node->parent;
        JsonNode *next = node->next;
        up->value.first = next;
        if (next != nullptr)
            next->prev = nullptr;
        else
            up->value.last = nullptr;
        std::unique_ptr<JsonNode> owned(node);
        node = next != nullptr ? next : up;
    }
}

void unlink(JsonNode *node) {
    JsonNode *up = node->parent;
    if (node->prev != nullptr)
        node->prev->next = node->next;
    else
        up->value.first = node->next;
    if (node->next != nullptr)
        node->next->prev = node->prev;
    else
        up->value.last = node->prev;
    node->parent = nullptr;
    node->prev = nullptr;
    node->next = nullptr;
    node->key.clear();
    node->key.shrink_to_fit();
}

void link_last(JsonNode *parent, JsonNode *node) {
    node->parent = parent;
    node->prev = parent->value.last;
    node->next = nullptr;
    if (parent->value.last != nullptr)
        parent->value.last->next = node;
    else
        parent->value.first = node;
    parent->value.last = node;
}

void link_first(JsonNode *parent, JsonNode *node) {
    node->parent = parent;
    node->prev = nullptr;
    node->next = parent->value.first;
    if (parent->value.first != nullptr)
        parent->value.first->prev = node;
    else
        parent->value.last = node;
    parent->value.first = node;
}

// ---- UTF-8 -------------------------------------------------------------

// Length of the well-formed UTF-8 sequence starting at text[pos], or 0.
std::size_t utf8_sequence_length(std::string_view text, std::size_t pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            lo = 0xA0;
        else if (lead == 0xED)
            hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            lo = 0x90;
        else if (lead == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - pos < length)
        return 0;
    const unsigned char second = byte(pos + 1);
    if (second < lo || second > hi)
        return 0;
    for (std::size_t i = 2; i < length; ++i) {
        const unsigned char c = byte(pos + i);
        if (c < 0x80 || c > 0xBF)
            return 0;
    }
    return length;
}

void append_utf8(std::string &out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Texts from callers may come from anywhere (stream titles, file names);
// keep the tree's promise of NUL-free, well-formed UTF-8.
std::string clean_text(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t length = utf8_sequence_length(text, pos);
        if (length == 0) {
            append_utf8(out, 0xFFFD);
            ++pos;
        } else {
            out.append(text.substr(pos, length));
            pos += length;
        }
    }
    return out;
}

// ---- Numbers -----------------------------------------------------------

// Length of the JSON number at the start of text, or 0.
std::size_t number_length(std::string_view text) {
    std::size_t pos = 0;
    const auto digit = [&](std::size_t i) {
        return i < text.size() && text[i] >= '0' && text[i] <= '9';
    };
    if (pos < text.size() && text[pos] == '-')
        ++pos;
    if (!digit(pos))
        return 0;
    if (text[pos] == '0') {
        ++pos;
    } else {
        while (digit(pos))
            ++pos;
    }
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        if (!digit(pos))
            return 0;
        while (digit(pos))
            ++pos;
    }
    if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
        ++pos;
        if (pos < text.size() && (text[pos] == '+' || text[pos] == '-'))
            ++pos;
        if (!digit(pos))
            return 0;
        while (digit(pos))
            ++pos;
    }
    return pos;
}

// Whether a grammatically valid number text lies above the double range
// (rather than below it). Used only when the conversion reports a range error.
bool number_overflows(std::string_view text) {
    std::size_t pos = text.front() == '-' ? 1 : 0;
    long magnitude = 0;
    bool seen = false;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        if (seen)
            ++magnitude;
        else if (text[pos] != '0')
            seen = true;
    }
    if (pos < text.size() && text[pos] == '.') {
        for (++pos; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
            if (seen)
                break;
            --magnitude;
            if (text[pos] != '0')
                seen = true;
        }
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')
            ++pos;
    }
    long exponent = 0;
    if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
        ++pos;
        const bool negative = text[pos] == '-';
        if (text[pos] == '+' || text[pos] == '-')
            ++pos;
        for (; pos < text.size(); ++pos)
            exponent = std::min(exponent * 10 + (text[pos] - '0'), 100000000L);
        if (negative)
            exponent = -exponent;
    }
    return magnitude + exponent > 0;
}

double number_value(std::string_view text) {
    double value = 0.0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        const bool negative = text.front() == '-';
        if (number_overflows(text))
            value = negative ? -HUGE_VAL : HUGE_VAL;
        else
            value = negative ? -0.0 : 0.0;
    }
    return value;
}

// ---- Parser ------------------------------------------------------------

// Recursive descent over a bounded view. With build false it only checks
// the grammar, which is how json_validate shares every rule with json_decode.
class Parser {
  public:
    Parser(std::string_view text, bool build) : text_(text), build_(build) {}

    bool document(JsonPtr *out) {
        skip_space();
        if (!value(out))
            return false;
        skip_space();
        return pos_ == text_.size();
    }

  private:
    std::string_view text_;
    std::size_t pos_ = 0;
    int depth_ = 0;
    bool build_;

    bool at_end() const { return pos_ >= text_.size(); }
    char peek() const { return text_[pos_]; }

    void skip_space() {
        while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
            ++pos_;
    }

    bool accept(char c) {
        if (at_end() || peek() != c)
            return false;
        ++pos_;
        return true;
    }

    bool literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word)
            return false;
        pos_ += word.size();
        return true;
    }

    bool value(JsonPtr *out) {
        if (at_end())
            return false;
        switch (peek()) {
        case '"': {
            std::string text;
            if (!string(build_ ? &text : nullptr))
                return false;
            if (build_) {
                *out = make_node(JsonTag::string);
                (*out)->value.string = std::move(text);
            }
            return true;
        }
        case '[':
            return array(out);
        case '{':
            return object(out);
        case 'f':
            return literal("false") && (!build_ || (*out = json_mkbool(false), true));
        case 't':
            return literal("true") && (!build_ || (*out = json_mkbool(true), true));
        case 'n':
            return literal("null") && (!build_ || (*out = json_mknull(), true));
        default:
            return number(out);
        }
    }

    bool number(JsonPtr *out) {
        const std::size_t length = number_length(text_.substr(pos_));
        if (length == 0)
            return false;
        if (build_) {
            *out = make_node(JsonTag::number);
            (*out)->value.number = number_value(text_.substr(pos_, length));
        }
        pos_ += length;
        return true;
    }

    bool enter() {
        ++pos_;
        return ++depth_ <= json_max_depth;
    }

    bool array(JsonPtr *out) {
        if (!enter())
            return false;
        JsonPtr node = build_ ? make_node(JsonTag::array) : nullptr;
        skip_space();
        if (!accept(']')) {
            do {
                skip_space();
                JsonPtr element;
                if (!value(&element))
                    return false;
                if (build_)
                    link_last(node.get(), element.release());
                skip_space();
            } while (accept(','));
            if (!accept(']'))
                return false;
        }
        --depth_;
        if (build_)
            *out = std::move(node);
        return true;
    }

    bool object(JsonPtr *out) {
        if (!enter())
            return false;
        JsonPtr node = build_ ? make_node(JsonTag::object) : nullptr;
        skip_space();
        if (!accept('}')) {
            do {
                skip_space();
                std::string key;
                if (at_end() || peek() != '"' || !string(build_ ? &key : nullptr))
                    return false;
                skip_space();
                if (!accept(':'))
                    return false;
                skip_space();
                JsonPtr member;
                if (!value(&member))
                    return false;
                if (build_) {
                    member->key = std::move(key);
                    link_last(node.get(), member.release());
                }
                skip_space();
            } while (accept(','));
            if (!accept('}'))
                return false;
        }
        --depth_;
        if (build_)
            *out = std::move(node);
        return true;
    }

    bool hex4(std::uint32_t &cp) {
        if (text_.size() - pos_ < 4)
            return false;
        cp = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[pos_++];
            cp <<= 4;
            if (c >= '0' && c <= '9')
                cp |= static_cast<std::uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                cp |= static_cast<std::uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                cp |= static_cast<std::uint32_t>(c - 'A' + 10);
            else
                return false;
        }
        return true;
    }

    // After a backslash-u: the code point, joining a surrogate pair.
    bool unicode_escape(std::uint32_t &cp) {
        if (!hex4(cp) || cp == 0)
            return false;
        if (cp >= 0xDC00 && cp <= 0xDFFF)
            return false;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            std::uint32_t low = 0;
            if (!literal("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF)
                return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        return true;
    }

    bool string(std::string *out) {
        ++pos_;
        for (;;) {
            if (at_end())
                return false;
            const auto c = static_cast<unsigned char>(peek());
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (c < 0x20)
                return false;
            if (c == '\\') {
                ++pos_;
                if (at_end())
                    return false;
                const char e = text_[pos_++];
                char plain = 0;
                switch (e) {
                case '"':
                    plain = '"';
                    break;
                case '\\':
                    plain = '\\';
                    break;
                case '/':
                    plain = '/';
                    break;
                case 'b':
                    plain = '\b';
                    break;
                case 'f':
                    plain = '\f';
                    break;
                case 'n':
                    plain = '\n';
                    break;
                case 'r':
                    plain = '\r';
                    break;
                case 't':
                    plain = '\t';
                    break;
                case 'u': {
                    std::uint32_t cp = 0;
                    if (!unicode_escape(cp))
                        return false;
                    if (out != nullptr)
                        append_utf8(*out, cp);
                    continue;
                }
                default:
                    return false;
                }
                if (out != nullptr)
                    *out += plain;
                continue;
            }
            const std::size_t length = utf8_sequence_length(text_, pos_);
            if (length == 0)
                return false;
            if (out != nullptr)
                out->append(text_.substr(pos_, length));
            pos_ += length;
        }
    }
};

// ---- Writer ------------------------------------------------------------

void write_string(std::string &out, std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    out += '"';
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xF];
            } else {
                out += ch;
            }
        }
    }
    out += '"';
}

void write_number(std::string &out, double x) {
    // Same text as printf("%.16g") in the C locale, whatever the process locale.
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::general, 16);
    const std::string_view text(buffer, result.ec == std::errc() ? result.ptr - buffer : 0);
    if (!text.empty() && number_length(text) == text.size())
        out += text;
    else
        out += "null";
}

void write_scalar(std::string &out, const JsonNode *node) {
    switch (node->tag) {
    case JsonTag::null:
        out += "null";
        break;
    case JsonTag::boolean:
        out += node->value.boolean ? "true" : "false";
        break;
    case JsonTag::string:
        write_string(out, node->value.string);
        break;
    case JsonTag::number:
        write_number(out, node->value.number);
        break;
    case JsonTag::array:
        out += "[]";
        break;
    case JsonTag::object:
        out += "{}";
        break;
    }
}

void new_line(std::string &out, std::string_view space, int depth) {
    if (space.empty())
        return;
    out += '\n';
    for (int i = 0; i < depth; ++i)
        out += space;
}

// Walks the tree without recursion so that no tree built by code can
// exhaust the stack; the root's own key and siblings are not written.
std::string write_tree(const JsonNode *root, std::string_view space) {
    std::string out;
    if (root == nullptr)
        return out;
    const JsonNode *node = root;
    int depth = 0;
    for (;;) {
        if (node != root && node->parent->tag == JsonTag::object) {
            write_string(out, node->key);
            out += space.empty() ? ":" : ": ";
        }
        if (is_container(node) && node->value.first != nullptr) {
            out += node->tag == JsonTag::array ? '[' : '{';
            ++depth;
            new_line(out, space, depth);
            node = node->value.first;
            continue;
        }
        write_scalar(out, node);
        while (node != root && node->next == nullptr) {
            node = node->parent;
            --depth;
            new_line(out, space, depth);
            out += node->tag == JsonTag::array ? ']' : '}';
        }
        if (node == root)
            return out;
        out += ',';
        new_line(out, space, depth);
        node = node->next;
    }
}

JsonNode *attach(const char *where, JsonNode *parent, JsonTag kind, JsonPtr node, bool first) {
    json_check(parent != nullptr && parent->tag == kind, where, "parent of the wrong kind");
    json_check(node != nullptr, where, "no node");
    json_check(node->parent == nullptr, where, "node already has a parent");
    json_check(parent != node.get(), where, "node contains the parent");
    // Only a node with children can be an ancestor of the parent; skipping
    // the walk keeps building deep trees leaf by leaf linear.
    if (json_first_child(node.get()) != nullptr) {
        for (const JsonNode *up = parent->parent; up != nullptr; up = up->parent)
            json_check(up != node.get(), where, "node contains the parent");
    }
    JsonNode *raw = node.release();
    if (first)
        link_first(parent, raw);
    else
        link_last(parent, raw);
    return raw;
}

} // namespace

void json_delete(JsonNode *node) noexcept {
    if (node == nullptr)
        return;
    if (node->parent != nullptr)
        unlink(node);
    free_tree(node);
}

JsonPtr json_decode(std::string_view text) noexcept {
    return oom_guard([&] {
        JsonPtr root;
        Parser parser(text, true);
        if (!parser.document(&root))
            root.reset();
        return root;
    });
}

bool json_validate(std::string_view text) noexcept {
    return oom_guard([&] {
        Parser parser(text, false);
        return parser.document(nullptr);
    });
}

std::string json_encode(const JsonNode *node) noexcept {
    return oom_guard([&] { return write_tree(node, {}); });
}

std::string json_stringify(const JsonNode *node, std::string_view space) noexcept {
    return oom_guard([&] { return write_tree(node, space); });
}

const JsonNode *json_find_member(const JsonNode *object, std::string_view key) noexcept {
    if (object == nullptr || object->tag != JsonTag::object)
        return nullptr;
    for (const JsonNode *member = object->value.first; member != nullptr; member = member->next) {
        if (member->key == key)
            return member;
    }
    return nullptr;
}

JsonNode *json_find_member(JsonNode *object, std::string_view key) noexcept {
    return const_cast<JsonNode *>(json_find_member(static_cast<const JsonNode *>(object), key));
}

const JsonNode *json_find_element(const JsonNode *array, std::size_t index) noexcept {
    if (array == nullptr || array->tag != JsonTag::array)
        return nullptr;
    const JsonNode *element = array->value.first;
    for (; element != nullptr && index > 0; --index)
        element = element->next;
    return element;
}

JsonNode *json_find_element(JsonNode *array, std::size_t index) noexcept {
    return const_cast<JsonNode *>(json_find_element(static_cast<const JsonNode *>(array), index));
}

const JsonNode *json_first_child(const JsonNode *node) noexcept {
    return is_container(node) ? node->value.first : nullptr;
}

JsonNode *json_first_child(JsonNode *node) noexcept {
    return is_container(node) ? node->value.first : nullptr;
}

JsonPtr json_mknull() noexcept {
    return oom_guard([] { return make_node(JsonTag::null); });
}

JsonPtr json_mkbool(bool b) noexcept {
    return oom_guard([&] {
        JsonPtr node = make_node(JsonTag::boolean);
        node->value.boolean = b;
        return node;
    });
}

JsonPtr json_mkstring(std::string_view text) noexcept {
    return oom_guard([&] {
        JsonPtr node = make_node(JsonTag::string);
        node->value.string = clean_text(text);
        return node;
    });
}

JsonPtr json_mknumber(double x) noexcept {
    return oom_guard([&] {
        JsonPtr node = make_node(JsonTag::number);
        node->value.number = x;
        return node;
    });
}

JsonPtr json_mkarray() noexcept {
    return oom_guard([] { return make_node(JsonTag::array); });
}

JsonPtr json_mkobject() noexcept {
    return oom_guard([] { return make_node(JsonTag::object); });
}

JsonNode *json_append_element(JsonNode *array, JsonPtr node) noexcept {
    JsonNode *raw = attach("json_append_element", array, JsonTag::array, std::move(node), false);
    raw->key.clear();
    return raw;
}

JsonNode *json_prepend_element(JsonNode *array, JsonPtr node) noexcept {
    JsonNode *raw = attach("json_prepend_element", array, JsonTag::array, std::move(node), true);
    raw->key.clear();
    return raw;
}

JsonNode *json_append_member(JsonNode *object, std::string_view key, JsonPtr node) noexcept {
    return oom_guard([&] {
        std::string copy = clean_text(key);
        JsonNode *raw =
            attach("json_append_member", object, JsonTag::object, std::move(node), false);
        raw->key = std::move(copy);
        return raw;
    });
}

JsonNode *json_prepend_member(JsonNode *object, std::string_view key, JsonPtr node) noexcept {
    return oom_guard([&] {
        std::string copy = clean_text(key);
        JsonNode *raw =
            attach("json_prepend_member", object, JsonTag::object, std::move(node), true);
        raw->key = std::move(copy);
        return raw;
    });
}

JsonPtr json_remove_from_parent(JsonNode *node) noexcept {
    if (node == nullptr || node->parent == nullptr)
        return nullptr;
    unlink(node);
    return JsonPtr(node);
}

std::optional<std::string_view> json_get_string(const JsonNode *object,
                                                std::string_view key) noexcept {
    const JsonNode *member = json_find_member(object, key);
    if (member == nullptr || member->tag != JsonTag::string)
        return std::nullopt;
    return std::string_view(member->value.string);
}

std::optional<double> json_get_number(const JsonNode *object, std::string_view key) noexcept {
    const JsonNode *member = json_find_member(object, key);
    if (member == nullptr || member->tag != JsonTag::number)
        return std::nullopt;
    return member->value.number;
}

std::optional<bool> json_get_bool(const JsonNode *object, std::string_view key) noexcept {
    const JsonNode *member = json_find_member(object, key);
    if (member == nullptr || member->tag != JsonTag::boolean)
        return std::nullopt;
    return member->value.boolean;
}

std::int64_t json_number_to_int(double x, std::int64_t lo, std::int64_t hi) noexcept {
    if (hi < lo)
        return lo;
    if (std::isnan(x))
        return std::clamp<std::int64_t>(0, lo, hi);
    x = std::trunc(x);
    // Both bounds are powers of two, so the comparisons are exact.
    if (x < -9223372036854775808.0)
        return lo;
    if (x >= 9223372036854775808.0)
        return hi;
    return std::clamp(static_cast<std::int64_t>(x), lo, hi);
}

int json_get_int(const JsonNode *object, std::string_view key, int fallback, int lo,
                 int hi) noexcept {
    const std::optional<double> x = json_get_number(object, key);
    if (!x || std::isnan(*x))
        return fallback;
    return static_cast<int>(json_number_to_int(*x, lo, hi));
}
