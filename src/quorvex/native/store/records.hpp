// On-page layouts of the packed gate store. Their byte layout is what the
// pages hold and what copies share, so every size and offset is pinned here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

namespace quorvex::packed {

// Bits of PackedRecord::flags.
enum RecordFlag : std::uint16_t {
    kRecordOneControl = 0x01,  // control holds the only control, state 1
    kRecordParameter = 0x04,   // parameter holds the first parameter
    kRecordEmptyParams = 0x08, // parameters present and empty
    kRecordExtra = 0x10,       // extra indexes an ExtraEntry
    kRecordTarget2 = 0x20,     // target2 holds the second target
    kRecordMatrix = 0x40,      // aux is the resource index of the matrix
};

// Bits of ExtraEntry::flags; higher bits are ignored by every reader.
enum ExtraFlag : std::uint32_t {
    kExtraParamsAbsent = 0x01,
    kExtraName = 0x02,
    kExtraMatrix = 0x04,
    kExtraBlock = 0x08,
    kExtraClassical = 0x10,
};

enum class BlockMapping : std::uint8_t {
    listed = 0,      // targets stored like any other gate's
    identity = 1,    // 0, 1, ..., count-1
    contiguous = 2,  // offset, offset+1, ..., offset+count-1
};

// Offset in the low 32 bits, count in the high 32 bits; count 0 is value 0.
using ArenaRange = std::uint64_t;

inline std::uint32_t range_offset(ArenaRange r) { return static_cast<std::uint32_t>(r); }
inline std::uint32_t range_count(ArenaRange r) { return static_cast<std::uint32_t>(r >> 32); }
inline ArenaRange make_range(std::uint32_t offset, std::uint32_t count) {
    return count == 0 ? 0 : (static_cast<ArenaRange>(count) << 32) | offset;
}

struct PackedRecord {
    std::uint16_t id = 0;
    std::uint16_t flags = 0;
    std::int32_t target = -1;
    std::int32_t control = -1;
    std::int32_t extra = -1;
    double parameter = 0.0;
    std::int32_t aux = -1;
    std::int32_t target2 = 0;
};

struct ExtraEntry {
    ArenaRange targets = 0;
    ArenaRange controls = 0;
    ArenaRange control_states = 0;
    ArenaRange parameters = 0;
    ArenaRange classical_targets = 0;
    std::int32_t name = -1;
    std::int32_t matrix = -1;
    std::int32_t block_extra = -1;
    std::uint32_t flags = 0;
};

struct BlockExtraEntry {
    std::uint32_t block = 0;
    std::uint32_t target_count = 0;
    std::uint32_t offset = 0;
    BlockMapping kind = BlockMapping::listed;
};

static_assert(sizeof(PackedRecord) == 32 && alignof(PackedRecord) == 8);
static_assert(offsetof(PackedRecord, id) == 0 && offsetof(PackedRecord, flags) == 2 &&
              offsetof(PackedRecord, target) == 4 && offsetof(PackedRecord, control) == 8 &&
              offsetof(PackedRecord, extra) == 12 && offsetof(PackedRecord, parameter) == 16 &&
              offsetof(PackedRecord, aux) == 24 && offsetof(PackedRecord, target2) == 28);
static_assert(std::is_trivially_copyable_v<PackedRecord>);

static_assert(sizeof(ExtraEntry) == 56 && alignof(ExtraEntry) == 8);
static_assert(offsetof(ExtraEntry, targets) == 0 && offsetof(ExtraEntry, controls) == 8 &&
              offsetof(ExtraEntry, control_states) == 16 && offsetof(ExtraEntry, parameters) == 24 &&
              offsetof(ExtraEntry, classical_targets) == 32 && offsetof(ExtraEntry, name) == 40 &&
              offsetof(ExtraEntry, matrix) == 44 && offsetof(ExtraEntry, block_extra) == 48 &&
              offsetof(ExtraEntry, flags) == 52);
static_assert(std::is_trivially_copyable_v<ExtraEntry>);

static_assert(sizeof(BlockExtraEntry) == 16 && alignof(BlockExtraEntry) == 4);
static_assert(offsetof(BlockExtraEntry, block) == 0 && offsetof(BlockExtraEntry, target_count) == 4 &&
              offsetof(BlockExtraEntry, offset) == 8 && offsetof(BlockExtraEntry, kind) == 12);
static_assert(std::is_trivially_copyable_v<BlockExtraEntry>);

static_assert(sizeof(ArenaRange) == 8);

}  // namespace quorvex::packed
