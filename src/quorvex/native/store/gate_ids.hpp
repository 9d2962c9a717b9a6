// The 56-entry gate-id vocabulary: a record stores the position of its id in
// this table; code 0 means a custom id spelled out in the store's strings.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quorvex::packed {

constexpr std::size_t kGateIdCount = 56;

const std::array<std::string_view, kGateIdCount>& gate_name_table();
const std::unordered_map<std::string_view, std::uint16_t>& gate_id_map();

// Code of an id, byte for byte and case-sensitive; 0 when not in the table.
std::uint16_t gate_code(std::string_view id);

// "U" for "unitary", otherwise the id with a-z upper-cased.
std::string default_display_name(std::string_view id);

// ASCII-only case mapping; other bytes are left as they are so that UTF-8
// text is never damaged.
void ascii_upper_in_place(std::string& text);
void ascii_lower_in_place(std::string& text);

// Whether text is well-formed UTF-8 (what Python can decode back into str).
bool is_valid_utf8(std::string_view text);

}  // namespace quorvex::packed
