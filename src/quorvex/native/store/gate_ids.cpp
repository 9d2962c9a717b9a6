#include "gate_ids.hpp"

namespace quorvex::packed {

const std::array<std::string_view, kGateIdCount>& gate_name_table() {
    static const std::array<std::string_view, kGateIdCount> table = {
        "",          "i",       "x",        "y",        "z",       "h",       "s",
        "s_dag",     "t",       "t_dag",    "sqrtx",    "sqrtx_dag", "sqrty", "sqrty_dag",
        "p",         "gp",      "gphase",   "global_phase", "rx",  "ry",      "rz",
        "u",         "unitary", "swap",     "cx",       "cnot",    "cy",      "cz",
        "ch",        "cs",      "ct",       "cp",       "crx",     "cry",     "crz",
        "mcx",       "mcy",     "mcz",      "mch",      "mcs",     "mct",     "mcp",
        "mcrx",      "mcry",    "mcrz",     "measure",  "barrier", "block",   "rxy",
        "xyarb",     "x2p",     "x2m",      "y2p",      "y2m",     "b",       "rzz",
    };
    return table;
}

const std::unordered_map<std::string_view, std::uint16_t>& gate_id_map() {
    static const std::unordered_map<std::string_view, std::uint16_t> map = [] {
        std::unordered_map<std::string_view, std::uint16_t> m;
        const auto& table = gate_name_table();
        for (std::uint16_t code = 1; code < kGateIdCount; ++code) m.emplace(table[code], code);
        return m;
    }();
    return map;
}

std::uint16_t gate_code(std::string_view id) {
    const auto& map = gate_id_map();
    auto it = map.find(id);
    return it == map.end() ? 0 : it->second;
}

void ascii_upper_in_place(std::string& text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
}

void ascii_lower_in_place(std::string& text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
}

std::string default_display_name(std::string_view id) {
    if (id == "unitary") return "U";
    std::string name(id);
    ascii_upper_in_place(name);
    return name;
}

bool is_valid_utf8(std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;  // no UTF-16 surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (i + len > n) return false;
        if (s[i + 1] < lo || s[i + 1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k) {
            if (s[i + k] < 0x80 || s[i + k] > 0xBF) return false;
        }
        i += len;
    }
    return true;
}

}  // namespace quorvex::packed
