#include "store.hpp"

#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

namespace quorvex::packed {

namespace {

constexpr std::uint64_t kMaxTableIndex = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());

// Record and entry fields hold table indices as signed 32-bit values.
void check_table_room(std::size_t size, const char* what) {
    if (size >= kMaxTableIndex) throw std::overflow_error(std::string("packed ") + what + " exceeds int32 range");
}

// Copies src's tables (everything but the records and the repeat state) into dst.
void copy_tables(Store& dst, const Store& src) {
    dst.extras = src.extras;
    dst.block_extras = src.block_extras;
    dst.ints = src.ints;
    dst.doubles = src.doubles;
    dst.resources = src.resources;
    dst.resource_map = src.resource_map;
    dst.blocks = src.blocks;
    dst.block_sources = src.block_sources;
    dst.snapshots = src.snapshots;
    dst.strings = src.strings;
    dst.string_map = src.string_map;
    dst.nesting = src.nesting;
}

}  // namespace

void check_nesting(std::uint32_t nesting) {
    if (nesting + 1 > kMaxNesting) {
        PyErr_SetString(PyExc_RecursionError, "packed gate store nesting is too deep");
        throw py::error_already_set();
    }
}

void check_expansion(const char* what, std::uint64_t gates, std::uint64_t bytes_per_gate) {
    // One rule for every expansion of gates, native or not, kept in Python.
    py::module_::import("quorvex.backend.expansion").attr("check_expansion")(what, gates, bytes_per_gate);
}

std::uint64_t bytes_per_gate(std::uint64_t bytes, std::uint64_t gates) {
    if (gates == 0) return 1;
    const std::uint64_t each = bytes / gates + (bytes % gates != 0);
    return each == 0 ? 1 : each;
}

Store::~Store() {
    // Nested stores would each release the next from their destructor, one
    // C stack frame per level, too many for a thread with a small stack.
    // Those that this store alone holds are taken apart here instead: each
    // hands its own nested stores over before it goes, so its destructor
    // finds none. No Python code runs between the hand-over and the release.
    std::vector<StoreRef> doomed;
    auto hand_over = [&doomed](Store& s) {
        if (s.repeat_base) doomed.push_back(std::move(s.repeat_base));
        for (BlockResource& block : s.blocks) {
            if (block.snapshot) doomed.push_back(std::move(block.snapshot));
        }
    };
    try {
        hand_over(*this);
        while (!doomed.empty()) {
            StoreRef s = std::move(doomed.back());
            doomed.pop_back();
            if (s.use_count() == 1) hand_over(*s);
        }
    } catch (const std::bad_alloc&) {
        // No memory for the list: what is left is released level by level.
    }
}

void Store::check_writable() const {
    if (read_only) throw py::type_error("block snapshot store is read-only");
}

std::uint64_t Store::length() const {
    const std::uint64_t n = innermost().records.size();
    return n == 0 ? 0 : n * repeat_runs();
}

const Store& Store::innermost() const {
    const Store* s = this;
    while (s->repeat_base) s = s->repeat_base.get();
    return *s;
}

std::uint64_t Store::repeat_runs() const {
    std::uint64_t runs = 1;
    for (const Store* s = this; s->repeat_base; s = s->repeat_base.get()) runs *= s->repeat_times;
    return runs;
}

PackedRecord Store::record_at(std::uint64_t index, const Store** holder) const {
    const Store* s = this;
    if (s->repeat_base) {
        std::uint64_t len = s->length();
        if (index >= len) throw std::out_of_range("gate index out of range");
        while (s->repeat_base) {
            len /= s->repeat_times;
            index %= len;
            s = s->repeat_base.get();
        }
    }
    PackedRecord record = s->records.at(index);
    *holder = s;
    return record;
}

const std::string& Store::string_at(std::int32_t index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= strings.size()) throw_bad_subscript();
    return strings[static_cast<std::size_t>(index)];
}

const py::object& Store::resource_at(std::int32_t index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= resources.size()) throw_bad_subscript();
    return resources[static_cast<std::size_t>(index)];
}

const BlockResource& Store::block_at(std::uint32_t index) const {
    if (index >= blocks.size()) throw_bad_subscript();
    return blocks[index];
}

std::int32_t Store::intern_string(const std::string& text) {
    auto it = string_map.find(text);
    if (it != string_map.end()) return static_cast<std::int32_t>(it->second);
    check_table_room(strings.size(), "string table");
    const auto index = static_cast<std::uint32_t>(strings.size());
    strings.push_back(text);
    try {
        string_map.emplace(text, index);
    } catch (...) {
        strings.pop_back();
        throw;
    }
    return static_cast<std::int32_t>(index);
}

std::int32_t Store::intern_resource(const py::object& object) {
    auto it = resource_map.find(object.ptr());
    if (it != resource_map.end()) return static_cast<std::int32_t>(it->second);
    check_table_room(resources.size(), "resource table");
    const auto index = static_cast<std::uint32_t>(resources.size());
    resources.push_back(object);
    try {
        resource_map.emplace(object.ptr(), index);
    } catch (...) {
        resources.pop_back();  // the reference is still held by the caller
        throw;
    }
    return static_cast<std::int32_t>(index);
}

std::uint32_t Store::intern_block(const StoreRef& source) {
    if (auto it = snapshots.find(source.get()); it != snapshots.end()) return it->second;
    if (auto it = block_sources.find(source.get()); it != block_sources.end()) {
        const auto [seen_version, index] = it->second;
        StoreRef live = block_at(index).source.lock();
        if (live && live.get() == source.get() && source->version == seen_version) return index;
        block_sources.erase(it);
    }
    check_nesting(source->nesting);
    check_table_room(blocks.size(), "block table");
    StoreRef snapshot = source->copy();
    snapshot->read_only = true;
    const auto index = static_cast<std::uint32_t>(blocks.size());
    blocks.push_back(BlockResource{source, source->version, snapshot});
    block_sources[source.get()] = {source->version, index};
    snapshots[snapshot.get()] = index;
    if (snapshot->nesting + 1 > nesting) nesting = snapshot->nesting + 1;
    return index;
}

std::int32_t Store::add_extra(const ExtraEntry& entry) {
    check_table_room(extras.size(), "extra entry table");
    return static_cast<std::int32_t>(extras.push_back(entry));
}

std::int32_t Store::add_block_extra(const BlockExtraEntry& entry) {
    check_table_room(block_extras.size(), "block entry table");
    return static_cast<std::int32_t>(block_extras.push_back(entry));
}

StoreRef Store::copy() const {
    auto c = std::make_shared<Store>();
    c->records = records;
    copy_tables(*c, *this);
    c->version = version;
    c->repeat_base = repeat_base;
    c->repeat_times = repeat_times;
    return c;
}

void Store::swap_content(Store& other) noexcept {
    std::swap(records, other.records);
    std::swap(extras, other.extras);
    std::swap(block_extras, other.block_extras);
    std::swap(ints, other.ints);
    std::swap(doubles, other.doubles);
    std::swap(resources, other.resources);
    std::swap(resource_map, other.resource_map);
    std::swap(blocks, other.blocks);
    std::swap(block_sources, other.block_sources);
    std::swap(snapshots, other.snapshots);
    std::swap(strings, other.strings);
    std::swap(string_map, other.string_map);
    std::swap(repeat_base, other.repeat_base);
    std::swap(repeat_times, other.repeat_times);
    std::swap(nesting, other.nesting);
}

void Store::take_content(Store& fresh, std::uint64_t version_increment) noexcept {
    swap_content(fresh);
    version += version_increment;
}

void Store::clear() {
    Store old;
    swap_content(old);
    ++version;
    // old releases its Python references here, when this store is already
    // empty and consistent for any code that runs from a finaliser.
}

void Store::materialize_repeat() {
    if (!repeat_base) return;
    const Store* inner = &innermost();
    const std::uint64_t runs = repeat_runs();
    Store fresh;
    copy_tables(fresh, *inner);
    const std::uint64_t n = inner->records.size();
    if (n > 0) {
        const std::uint64_t per_run = inner->records.slices().size();
        if (per_run != 0 && runs > std::numeric_limits<std::uint64_t>::max() / per_run) throw std::bad_alloc();
        // Each run costs a slice and its end for every slice of the base:
        // counted before any room is taken.
        check_expansion("Writing out the repeated sequence", n * runs,
                        bytes_per_gate(per_run * (sizeof(RecordSlice) + sizeof(std::uint64_t)), n));
        fresh.records.reserve_slices(per_run * runs);
        for (std::uint64_t t = 0; t < runs; ++t) fresh.records.append_range(inner->records, 0, n);
    }
    swap_content(fresh);
    // fresh now holds the former repeat base, released on return.
}

std::vector<PackedRecord> Store::flatten_records() const {
    std::vector<PackedRecord> out;
    const Store& inner = innermost();
    if (!repeat_base) {
        records.flatten_into(out);
        return out;
    }
    const std::uint64_t n = inner.records.size();
    const std::uint64_t total = length();
    reserve_total(out, total);
    for (std::uint64_t done = 0; done < total; done += n) inner.records.flatten_into(out);
    return out;
}

void Store::rebuild_from_records(const std::vector<PackedRecord>& source_records, std::uint64_t version_increment) {
    Store fresh;
    std::unordered_map<std::int32_t, std::int32_t> extra_map;
    std::vector<std::int32_t> int_buffer;
    std::vector<double> double_buffer;
    auto move_ints = [&](ArenaRange range) {
        int_buffer.clear();
        ints.read_range(range, int_buffer);
        return fresh.ints.append_values(int_buffer);
    };
    for (PackedRecord record : source_records) {
        if (record.id == 0) {
            record.aux = fresh.intern_string(string_at(record.aux));
        } else if (record.flags & kRecordMatrix) {
            record.aux = fresh.intern_resource(resource_at(record.aux));
        }
        if (record.flags & kRecordExtra) {
            if (auto it = extra_map.find(record.extra); it != extra_map.end()) {
                record.extra = it->second;
            } else {
                ExtraEntry entry = extra_at(record.extra);
                entry.targets = move_ints(entry.targets);
                entry.controls = move_ints(entry.controls);
                entry.control_states = move_ints(entry.control_states);
                double_buffer.clear();
                doubles.read_range(entry.parameters, double_buffer);
                entry.parameters = fresh.doubles.append_values(double_buffer);
                entry.classical_targets = move_ints(entry.classical_targets);
                if (entry.flags & kExtraName) entry.name = fresh.intern_string(string_at(entry.name));
                if (entry.flags & kExtraMatrix) entry.matrix = fresh.intern_resource(resource_at(entry.matrix));
                if (entry.flags & kExtraBlock) {
                    BlockExtraEntry block_entry = block_extra_at(entry.block_extra);
                    const BlockResource& resource = block_at(block_entry.block);
                    StoreRef chosen = resource.source.lock();
                    if (!chosen || chosen->version != resource.source_version) chosen = resource.snapshot;
                    block_entry.block = fresh.intern_block(chosen);
                    entry.block_extra = fresh.add_block_extra(block_entry);
                }
                const std::int32_t new_index = fresh.add_extra(entry);
                extra_map.emplace(record.extra, new_index);
                record.extra = new_index;
            }
        }
        fresh.records.push_back(record);
    }
    swap_content(fresh);
    version += version_increment;
    // fresh holds the old content; its Python references go on return.
}

void Store::append_record_range(const Store& source, std::uint64_t first, std::uint64_t last) {
    if (first > last || last > source.length()) throw std::out_of_range("shared record range is out of bounds");
    if (first == last) return;
    if (source.repeat_base) {
        for (std::uint64_t i = first; i < last; ++i) {
            const Store* holder = nullptr;
            records.push_back(source.record_at(i, &holder));
        }
        return;
    }
    records.append_range(source.records, first, last);
}

std::size_t Store::records_bytes() const {
    std::size_t views = 0;
    const Store* s = this;
    while (s->repeat_base) {
        views += sizeof(Store);
        s = s->repeat_base.get();
    }
    return views + sizeof(Store) + s->records.bytes();
}

std::size_t Store::auxiliary_bytes() const {
    const Store& s = innermost();
    return s.extras.bytes() + s.block_extras.bytes() + s.ints.bytes() + s.doubles.bytes();
}

std::size_t Store::resources_bytes() const {
    const Store& s = innermost();
    return sizeof(py::object) * s.resources.capacity() + sizeof(BlockResource) * s.blocks.capacity();
}

std::size_t Store::strings_bytes() const {
    const Store& s = innermost();
    std::size_t total = 0;
    for (const std::string& text : s.strings) total += sizeof(std::string) + text.capacity();
    return total;
}

std::size_t Store::total_bytes() const {
    return records_bytes() + auxiliary_bytes() + resources_bytes() + strings_bytes();
}

}  // namespace quorvex::packed
