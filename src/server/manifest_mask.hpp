#pragma once
// Start-up adaptation of stored manifests to the number of user slots: the
// masks of rooms, users and sources get one position per slot, and the zones
// of rooms ten or thirty positions.

#include <cstdint>
#include <string>
#include <string_view>

#include "core/json.hpp"
#include "core/tb_id.hpp"

constexpr int manifest_mask_max_slots = 35;
constexpr std::size_t manifest_mask_max = 35;     // characters of a mask
constexpr std::size_t manifest_zone_short = 10;   // zone of up to ten slots
constexpr std::size_t manifest_zone_long = 30;    // zone of eleven slots or more

// The mask for n slots: cut to n, or extended to n ("1" for rooms, "0"
// otherwise) with "1" at the service's own index.
std::string manifest_mask_text(std::string_view mask, tb_id id, int n);
// A room's zone for n slots.
std::string manifest_zone_text(std::string_view zone, int n);
// Adapts the `service` object of a parsed manifest (created when missing);
// true when the document changed.
bool manifest_mask_adapt(JsonNode* document, tb_id id, int n);

// Rewrites the stored manifest of every registered room, user and source
// whose mask or zone does not fit n slots; nothing unless 1 <= n <= 35.
// Call with tamber_mutex held.
void update_manifest_mask(int n);
