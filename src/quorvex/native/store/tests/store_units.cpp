// Unit tests of the pieces of the packed store that need no interpreter:
// the gate-id table, paged entry lists, arenas and record slices. Exit code
// 0 on success.
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "../gate_ids.hpp"
#include "../paged.hpp"
#include "../record_list.hpp"
#include "../../unit_check.hpp"

using namespace quorvex::packed;


namespace {

template <class F>
void expect_throw(F&& f, const char* message) {
    try {
        f();
    } catch (const std::exception& e) {
        CHECK(std::string(e.what()) == message);
        return;
    }
    CHECK(!"expected an exception");
}

// Stored records carry these codes, so the table order is part of the format.
void gate_id_codes_and_display_names() {
    const auto& table = gate_name_table();
    CHECK(table.size() == 56 && table[0].empty());
    CHECK(gate_id_map().size() == 55);
    for (std::uint16_t code = 1; code < 56; ++code) CHECK(gate_code(table[code]) == code);
    const std::pair<const char*, int> pinned[] = {
        {"i", 1},   {"s_dag", 7},        {"sqrty_dag", 13}, {"gp", 15},    {"gphase", 16}, {"global_phase", 17},
        {"u", 21},  {"unitary", 22},     {"swap", 23},      {"cx", 24},    {"cnot", 25},   {"crz", 34},
        {"mcx", 35}, {"mcrz", 44},       {"measure", 45},   {"block", 47}, {"xyarb", 49},  {"b", 54},
        {"rzz", 55}, {"", 0},            {"CX", 0},         {"cx ", 0},
    };
    for (const auto& [id, code] : pinned) CHECK(gate_code(id) == code);
    CHECK(default_display_name("unitary") == "U" && default_display_name("u") == "U");
    CHECK(default_display_name("sqrtx_dag") == "SQRTX_DAG" && default_display_name("y2m") == "Y2M");
    CHECK(default_display_name("\xc3\xa4" "b") == "\xc3\xa4" "B");  // bytes outside a-z are kept
    std::string id = "My\xc3\x84Gate_2";
    ascii_lower_in_place(id);
    CHECK(id == "my\xc3\x84gate_2");
    CHECK(is_valid_utf8("\xc3\xa4") && !is_valid_utf8("\xff") && !is_valid_utf8("\xed\xa0\x80") &&
          !is_valid_utf8("\xc3"));
}

PackedRecord rec(int target) {
    PackedRecord r;
    r.id = 2;
    r.target = target;
    return r;
}

void paged_list_indices_and_pages() {
    PagedList<int, 1024> list;
    for (int i = 0; i < 1024; ++i) CHECK(list.push_back(i) == static_cast<std::uint64_t>(i));
    CHECK(list.pages().size() == 1 && list.pages()[0]->capacity() == 1024);
    CHECK(list.push_back(1024) == 1024);
    CHECK(list.pages().size() == 2 && list.pages()[1]->size() == 1);
    CHECK(list.at(1023) == 1023 && list.at(1024) == 1024);
    expect_throw([&] { list.at(1025); }, "invalid vector subscript");
    expect_throw([&] { list.at(5000); }, "invalid vector subscript");
}

void paged_list_copy_on_write() {
    PagedList<int, 1024> a;
    for (int i = 0; i < 10; ++i) a.push_back(i);
    PagedList<int, 1024> b = a;  // shares the page
    CHECK(a.pages()[0] == b.pages()[0] && a.pages()[0].use_count() == 2);
    b.push_back(99);
    CHECK(a.pages()[0] != b.pages()[0]);
    CHECK(a.size() == 10 && a.pages()[0]->size() == 10);
    CHECK(b.size() == 11 && b.at(10) == 99 && b.at(3) == 3);
    a.push_back(7);  // now alone on its page: written in place
    CHECK(a.pages()[0].use_count() == 1 && a.at(10) == 7);
}

void arena_ranges_and_limit() {
    IntArena arena;
    CHECK(arena.append_values(std::vector<int>{}) == 0 && arena.pages().empty());
    std::vector<int> values(20000);
    for (int i = 0; i < 20000; ++i) values[i] = i;
    ArenaRange r = arena.append_values(values);
    CHECK(range_offset(r) == 0 && range_count(r) == 20000);
    CHECK(arena.pages().size() == 2 && arena.pages()[0]->size() == 16384);
    std::vector<long long> out;
    arena.read_range(make_range(16380, 8), out);
    CHECK(out.size() == 8 && out[0] == 16380 && out[7] == 16387);
    expect_throw([&] { std::vector<int> o; arena.read_range(make_range(19999, 2), o); }, "invalid vector subscript");

    const std::uint64_t saved = arena_value_limit();
    arena_value_limit() = 20005;
    ArenaRange last = arena.append_values(std::vector<int>{1, 2, 3, 4, 5});  // exactly at the limit
    CHECK(range_offset(last) == 20000 && arena.size() == 20005);
    expect_throw([&] { arena.append_values(std::vector<int>{1}); }, "packed auxiliary arena exceeds uint32 range");
    CHECK(arena.size() == 20005);
    arena_value_limit() = saved;
}

void record_list_pages_and_slices() {
    RecordList list;
    for (int i = 0; i < 16384; ++i) list.push_back(rec(i));
    CHECK(list.slices().size() == 1);
    list.push_back(rec(16384));
    CHECK(list.slices().size() == 2 && list.size() == 16385);
    CHECK(list.at(16384).target == 16384 && list.at(7).target == 7);
    expect_throw([&] { list.at(16385); }, "gate index out of range");

    RecordList copy = list;  // shares both pages
    copy.push_back(rec(-1));
    CHECK(copy.slices().size() == 3 && list.slices().size() == 2);
    CHECK(list.slices()[1].page->size() == 1);
}

void record_list_ranges() {
    RecordList src;
    for (int i = 0; i < 10; ++i) src.push_back(rec(i));
    RecordList dst;
    dst.append_range(src, 2, 5);
    dst.append_range(src, 5, 8);  // continues the same page: merged
    CHECK(dst.slices().size() == 1 && dst.size() == 6 && dst.at(0).target == 2 && dst.at(5).target == 7);
    dst.append_range(src, 0, 2);
    CHECK(dst.slices().size() == 2 && dst.slice_ends().back() == 8);
    dst.append_range(src, 10, 10);
    CHECK(dst.size() == 8);
    expect_throw([&] { dst.append_range(src, 3, 2); }, "shared record range is out of bounds");
    expect_throw([&] { dst.append_range(src, 0, 11); }, "shared record range is out of bounds");
    std::vector<PackedRecord> flat;
    dst.flatten_into(flat);
    CHECK(flat.size() == 8 && flat[6].target == 0 && flat[7].target == 1);
    // The shared page is never grown by the list that shares it.
    dst.push_back(rec(42));
    CHECK(src.slices()[0].page->size() == 10 && dst.size() == 9);
}

}  // namespace

int main() {
    gate_id_codes_and_display_names();
    paged_list_indices_and_pages();
    paged_list_copy_on_write();
    arena_ranges_and_limit();
    record_list_pages_and_slices();
    record_list_ranges();
    std::puts("store unit tests passed");
    return 0;
}
