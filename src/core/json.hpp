// JSON documents: a strict parser, a tree of JsonNode records, a compact
// writer. Manifests, source sections, Airable answers and JSON-RPC messages
// all pass through here.
//
// Ownership: a detached node is owned by a JsonPtr; once attached it is owned
// by its parent, and json_delete/JsonPtr free a node with all descendants.
// Tree links are non-owning pointers. Running out of memory prints
// "Out of memory.\n" and ends the process with status 1.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

enum class JsonTag : std::uint8_t {
    null = 0,
    boolean = 1,
    string = 2,
    number = 3,
    array = 4,
    object = 5,
};

// Deepest nesting of arrays and objects the parser accepts, so that a
// hostile document cannot exhaust a thread's stack.
inline constexpr int json_max_depth = 64;

struct JsonNode;

struct JsonValue {
    bool boolean = false;
    double number = 0.0;
    std::string string;        // valid UTF-8, no NUL
    JsonNode *first = nullptr; // children of an array or object, owned
    JsonNode *last = nullptr;
};

struct JsonNode {
    JsonNode *parent = nullptr;
    JsonNode *prev = nullptr;
    JsonNode *next = nullptr;
    std::string key; // set only while a member of an object
    JsonTag tag = JsonTag::null;
    JsonValue value;

    JsonNode() = default;
    JsonNode(const JsonNode &) = delete;
    JsonNode &operator=(const JsonNode &) = delete;
};

void json_delete(JsonNode *node) noexcept;

struct JsonDeleter {
    void operator()(JsonNode *node) const noexcept { json_delete(node); }
};
using JsonPtr = std::unique_ptr<JsonNode, JsonDeleter>;

// Parses a whole document (bounded by text.size()); null on any error.
JsonPtr json_decode(std::string_view text) noexcept;
// The same test as json_decode without building a tree.
bool json_validate(std::string_view text) noexcept;
// Compact text of the tree; empty for a null node.
std::string json_encode(const JsonNode *node) noexcept;
// As json_encode when space is empty, otherwise one value per line, each
// level indented by space.
std::string json_stringify(const JsonNode *node, std::string_view space) noexcept;

// Lookups yield null when the node is not of the right kind.
JsonNode *json_find_member(JsonNode *object, std::string_view key) noexcept;
const JsonNode *json_find_member(const JsonNode *object, std::string_view key) noexcept;
JsonNode *json_find_element(JsonNode *array, std::size_t index) noexcept;
const JsonNode *json_find_element(const JsonNode *array, std::size_t index) noexcept;
JsonNode *json_first_child(JsonNode *node) noexcept;
const JsonNode *json_first_child(const JsonNode *node) noexcept;

// New detached nodes. Texts are cut at the first NUL and ill-formed UTF-8
// bytes are replaced by U+FFFD, so every tree can be written and read back.
JsonPtr json_mknull() noexcept;
JsonPtr json_mkbool(bool b) noexcept;
JsonPtr json_mkstring(std::string_view text) noexcept;
JsonPtr json_mknumber(double x) noexcept;
JsonPtr json_mkarray() noexcept;
JsonPtr json_mkobject() noexcept;

// Attach a detached node; the tree takes ownership and the attached node is
// returned. A wrong kind of parent, a node that already has a parent or a
// node that contains the parent stops the process.
JsonNode *json_append_element(JsonNode *array, JsonPtr node) noexcept;
JsonNode *json_prepend_element(JsonNode *array, JsonPtr node) noexcept;
JsonNode *json_append_member(JsonNode *object, std::string_view key, JsonPtr node) noexcept;
JsonNode *json_prepend_member(JsonNode *object, std::string_view key, JsonPtr node) noexcept;

// Unlinks the node and hands its ownership back to the caller. A node
// without a parent is left alone and null is returned (its owner keeps it).
[[nodiscard]] JsonPtr json_remove_from_parent(JsonNode *node) noexcept;

// Convenience readers of object members; nullopt when the member is missing
// or of another kind.
std::optional<std::string_view> json_get_string(const JsonNode *object,
                                                std::string_view key) noexcept;
std::optional<double> json_get_number(const JsonNode *object, std::string_view key) noexcept;
std::optional<bool> json_get_bool(const JsonNode *object, std::string_view key) noexcept;

// Converts a JSON number to an integer without undefined behaviour: the
// fraction is dropped, NaN counts as 0, and the result is clamped to
// [lo, hi] (infinities and out-of-range values give the bound).
std::int64_t json_number_to_int(double x, std::int64_t lo = INT64_MIN,
                                std::int64_t hi = INT64_MAX) noexcept;
// A numeric member clamped to [lo, hi]; fallback when missing, not a number
// or NaN.
int json_get_int(const JsonNode *object, std::string_view key, int fallback, int lo = INT_MIN,
                 int hi = INT_MAX) noexcept;

// Range over the children of an array or object (empty for other nodes), for
// range-for loops. Do not unlink the current child while iterating.
template <typename Node> class JsonChildRange {
  public:
    class iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Node *;
        using difference_type = std::ptrdiff_t;
        using pointer = Node **;
        using reference = Node *;

        iterator() = default;
        explicit iterator(Node *node) : node_(node) {}
        Node *operator*() const { return node_; }
        iterator &operator++() {
            node_ = node_->next;
            return *this;
        }
        iterator operator++(int) {
            iterator old = *this;
            node_ = node_->next;
            return old;
        }
        bool operator==(const iterator &) const = default;

      private:
        Node *node_ = nullptr;
    };

    explicit JsonChildRange(Node *first) : first_(first) {}
    iterator begin() const { return iterator(first_); }
    iterator end() const { return iterator(); }

  private:
    Node *first_;
};

inline JsonChildRange<JsonNode> json_children(JsonNode *node) noexcept {
    return JsonChildRange<JsonNode>(json_first_child(node));
}

inline JsonChildRange<const JsonNode> json_children(const JsonNode *node) noexcept {
    return JsonChildRange<const JsonNode>(json_first_child(node));
}
