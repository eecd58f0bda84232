#pragma once
// Actions: textual commands between services. A text is a sequence of
// ";"-separated pieces, each an optional target ("#" id text, "$" alias,
// "@" magic name, "@zone." number) and ":"-separated tokens. Received
// actions go to the procedures registered for the target id; replies
// (ok, warning, error) travel back as status answers of kind 1.

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/tb_task.hpp"

constexpr int tb_action_capacity = 1024;
constexpr std::size_t tb_action_text_max = 1023;  // command text of a packet, piece buffer
constexpr std::size_t tb_action_packet_base = 69; // header, four ids, NUL
constexpr std::size_t tb_action_token_count = 8;
constexpr std::size_t tb_magic_max = 31;

enum tb_action_offset : std::size_t {
    tb_action_off_target = 36,
    tb_action_off_sender = 44,
    tb_action_off_room = 52,
    tb_action_off_user = 60,
    tb_action_off_text = 68,
};

// The id set of an action, in this order.
enum tb_action_id_index : std::size_t {
    tb_action_target = 0,
    tb_action_sender = 1,
    tb_action_room = 2,
    tb_action_user = 3,
};
using tb_action_ids = std::array<tb_id, 4>;

// The eight tokens of a received command. Missing tokens are empty. Every
// token's data() is NUL-terminated, so it may also be used as a C string;
// the tokens are valid for the duration of the procedure call only.
using tb_action_tokens = std::array<std::string_view, tb_action_token_count>;

using tb_action_proc = void (*)(void* context, std::span<const tb_id, 4> ids, const tb_action_tokens& tokens);

extern const tb_task_descriptor tb_action_task;

// Registers a procedure for exactly this id (no broadcast matching).
void tb_action_add_proc(tb_action_proc procedure, void* context, tb_id id);

// Sends text with the id set {id, id, unknown, unknown}.
void tb_action_send(tb_id id, std::string_view text);
// Sends text with the given id set; targets in the text replace the target.
// Pieces without a target go to the previous piece's target (the first to
// ids[0]); empty pieces without a target are skipped. A piece longer than
// 1023 characters is cut.
void tb_action_send_ex(std::span<const tb_id, 4> ids, std::string_view text);
// Sends the action being handled again, unchanged, with the given id set;
// nothing for the broadcast target, the error "action feedback" when the
// sender is the target. Marks the action handled.
void tb_action_forward(std::span<const tb_id, 4> ids);

// Reply to the action being handled and mark it handled. The message is
// sent as it is (never used as a format).
void tb_action_ok();
void tb_action_warning(std::string_view message);
void tb_action_error(std::string_view message);
// Returns the previous handled flag and sets it.
bool tb_action_handled();

// The id named by a target text ("#", "$" or "@"), unknown otherwise.
tb_id tb_action_get_id(tb_id id, std::string_view target);
tb_id tb_action_get_id_ex(std::span<const tb_id, 4> ids, std::string_view target);
// The text with ":" and "\" preceded by "\", for use as one token. The
// result lives in a module buffer until the next call.
std::string_view tb_action_escape(std::string_view text);

// "alias", or "prefix.?" (first alias with that prefix whose mask matches the
// reference's); the unknown id when nothing matches.
tb_id tb_alias_get_id(std::string_view alias, tb_id reference);
// "class.n" (a name without "." means "class.1"), or "prefix.?"; the
// sender's device is searched first, then every device.
tb_id tb_magic_get_id(std::string_view name, tb_id reference, tb_id sender);

// Splits a command into at most eight tokens at unescaped ":"; a backslash
// takes the next character literally. Tokens point into buffer, each
// NUL-terminated; returns the number of tokens (0 for an empty command).
std::size_t tb_action_tokenize(std::string_view command, std::span<char> buffer, tb_action_tokens& tokens);
// Calls piece(text) for each ";"-separated piece ("\;" is a ";" inside the
// piece, other escapes stay, a final lone backslash is dropped); pieces are
// cut to 1023 characters. Empty pieces are passed on as well.
template <typename Piece>
void tb_action_split(std::string_view text, Piece&& piece);

// The last action received (for tests and diagnostics).
std::string_view tb_action_text();

template <typename Piece>
void tb_action_split(std::string_view text, Piece&& piece)
{
    std::array<char, tb_action_text_max + 1> buffer{};
    std::size_t n = 0;
    const auto put = [&](char c) {
        if (n < tb_action_text_max) buffer[n++] = c;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\') {
            if (i + 1 >= text.size()) break;
            const char next = text[++i];
            if (next != ';') put('\\');
            put(next);
        } else if (c == ';') {
            buffer[n] = '\0';
            piece(std::string_view(buffer.data(), n));
            n = 0;
        } else {
            put(c);
        }
    }
    buffer[n] = '\0';
    piece(std::string_view(buffer.data(), n));
}
