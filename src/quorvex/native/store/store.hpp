// OpchainPackedNative: a gate sequence held as 32-byte records on shared
// copy-on-write pages, with overflow entries, two arenas and interned
// strings, Python objects and nested block snapshots.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "gate_ids.hpp"
#include "paged.hpp"
#include "record_list.hpp"
#include "records.hpp"
#include "signal_poll.hpp"

namespace quorvex::packed {

namespace py = pybind11;

class Store;
using StoreRef = std::shared_ptr<Store>;

// The longest chain of blocks of blocks and views of views that a store may
// hold; a longer one is refused with RecursionError. (The walks over such
// chains, and their release, keep their own stacks and use no more of the
// C stack for a deep chain than for a flat one.)
constexpr std::uint32_t kMaxNesting = 1000;

struct BlockResource {
    std::weak_ptr<Store> source;
    std::uint64_t source_version = 0;
    StoreRef snapshot;
};

// A gate in native form: what an insertion gathers from Python before it
// touches the store, and what decoding a record gives back.
struct DecodedGate {
    std::string id;
    std::vector<std::int32_t> targets;
    std::vector<std::int32_t> controls;
    std::vector<std::int32_t> control_states;
    std::vector<double> parameters;
    bool parameters_absent = true;
    bool has_name = false;
    std::string name;
    bool has_matrix = false;
    py::object matrix;  // null when there is none
    StoreRef block;
    bool has_classical = false;
    std::vector<std::int32_t> classical_targets;
};

class Store {
public:
    Store() = default;
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // --- members, in the order copies and destruction follow -------------
    RecordList records;
    ExtraPages extras;
    BlockExtraPages block_extras;
    IntArena ints;
    DoubleArena doubles;
    std::vector<py::object> resources;
    std::unordered_map<PyObject*, std::uint32_t> resource_map;
    std::vector<BlockResource> blocks;
    std::unordered_map<const Store*, std::pair<std::uint64_t, std::uint32_t>> block_sources;
    std::unordered_map<const Store*, std::uint32_t> snapshots;
    std::vector<std::string> strings;
    std::unordered_map<std::string, std::uint32_t> string_map;
    std::uint64_t version = 0;
    StoreRef repeat_base;
    std::uint64_t repeat_times = 0;
    // Block snapshots are shared by a parent and all its copies: never mutable.
    bool read_only = false;
    // Longest chain of nested blocks and repeat bases below this store.
    std::uint32_t nesting = 0;

    // --- reading ----------------------------------------------------------
    bool is_repeat_view() const { return static_cast<bool>(repeat_base); }
    std::uint64_t length() const;
    // The store whose records and tables the views above it read.
    const Store& innermost() const;
    // How often the innermost store's records recur here: the product of
    // the repeat counts down the chain, 1 for an ordinary store. Exact
    // whenever the innermost store has records, since repeat() bounds the
    // length.
    std::uint64_t repeat_runs() const;
    // Record at a position, resolved through repeat views; holder is the
    // store whose tables the record refers to.
    PackedRecord record_at(std::uint64_t index, const Store** holder) const;

    const std::string& string_at(std::int32_t index) const;
    const py::object& resource_at(std::int32_t index) const;
    const BlockResource& block_at(std::uint32_t index) const;
    // The overflow entry a record's extra field names, and the block entry
    // an overflow entry's block_extra field names.
    ExtraEntry extra_at(std::int32_t index) const;
    BlockExtraEntry block_extra_at(std::int32_t index) const;
    // A record's gate id, from the shared vocabulary or this store's strings.
    std::string_view gate_id(const PackedRecord& record) const;

    // --- interning ----------------------------------------------------------
    std::int32_t intern_string(const std::string& text);
    std::int32_t intern_resource(const py::object& object);
    std::uint32_t intern_block(const StoreRef& source);
    // Append an overflow entry; the index fits the record's 32-bit field.
    std::int32_t add_extra(const ExtraEntry& entry);
    std::int32_t add_block_extra(const BlockExtraEntry& entry);

    // --- structure ---------------------------------------------------------
    StoreRef copy() const;
    void clear();
    void materialize_repeat();
    std::vector<PackedRecord> flatten_records() const;
    // Replaces the content by exactly these records (whose indices refer to
    // this store's tables), keeping only what they use. The version rises by
    // version_increment before any Python reference of the old content is
    // released.
    void rebuild_from_records(const std::vector<PackedRecord>& records, std::uint64_t version_increment);
    // Appends source's records [first, last); this store's tables must begin
    // with the tables of the store that holds them.
    void append_record_range(const Store& source, std::uint64_t first, std::uint64_t last);

    // --- accounting -----------------------------------------------------
    std::size_t records_bytes() const;
    std::size_t auxiliary_bytes() const;
    std::size_t resources_bytes() const;
    std::size_t strings_bytes() const;
    std::size_t total_bytes() const;

    // Takes the content of fresh (records and tables; a store built apart
    // from this one's tables) and raises the version by version_increment;
    // fresh is left with the old content.
    void take_content(Store& fresh, std::uint64_t version_increment) noexcept;

    void check_writable() const;

private:
    void swap_content(Store& other) noexcept;
};

// Inline: the gate walk reads them for every gate that has an overflow entry.
inline ExtraEntry Store::extra_at(std::int32_t index) const {
    if (index < 0) throw_bad_subscript();
    return extras.at(static_cast<std::uint64_t>(index));
}

inline BlockExtraEntry Store::block_extra_at(std::int32_t index) const {
    if (index < 0) throw_bad_subscript();
    return block_extras.at(static_cast<std::uint64_t>(index));
}

// Inline too: the gate walk reads it for every gate.
inline std::string_view Store::gate_id(const PackedRecord& record) const {
    if (record.id == 0) return string_at(record.aux);
    if (record.id >= kGateIdCount) throw_bad_subscript();
    return gate_name_table()[record.id];
}

// Raises RecursionError when a store of this nesting may not gain a level.
void check_nesting(std::uint32_t nesting);

// Raises MemoryError, before anything is allocated, when expanding into
// this many gates, at bytes_per_gate each (a record, by default), would not
// fit in the memory this process can still allocate; what names the
// expansion in the message.
void check_expansion(const char* what, std::uint64_t gates, std::uint64_t bytes_per_gate = sizeof(PackedRecord));

// Bytes per gate, rounded up, of bytes spent on gates (at least one).
std::uint64_t bytes_per_gate(std::uint64_t bytes, std::uint64_t gates);

}  // namespace quorvex::packed
