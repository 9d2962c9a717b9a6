// The gate records of a store: slices over shared record pages. A page grows
// only while exactly one slice holds it and covers it from record 0, so
// copies and views never see a record change under them.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "records.hpp"

namespace quorvex::packed {

constexpr std::uint32_t kRecordPageCapacity = 16384;

using RecordPage = std::vector<PackedRecord>;
using RecordPageRef = std::shared_ptr<RecordPage>;

struct RecordSlice {
    RecordPageRef page;
    std::uint32_t first = 0;
    std::uint32_t count = 0;
};

// Reserve room for n elements, reporting an impossible size as exhausted
// memory rather than as a length error.
template <class Vec>
void reserve_total(Vec& v, std::uint64_t n) {
    if (n > v.max_size()) throw std::bad_alloc();
    v.reserve(static_cast<std::size_t>(n));
}

class RecordList {
public:
    RecordList() = default;
    // A copy reads the same pages but never adds to a page it did not make.
    RecordList(const RecordList& other) : slices_(other.slices_), ends_(other.ends_), count_(other.count_) {}
    RecordList& operator=(const RecordList& other) {
        if (this != &other) {
            slices_ = other.slices_;
            ends_ = other.ends_;
            count_ = other.count_;
            own_tail_ = nullptr;
        }
        return *this;
    }
    RecordList(RecordList&&) noexcept = default;
    RecordList& operator=(RecordList&&) noexcept = default;

    std::uint64_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const std::vector<RecordSlice>& slices() const { return slices_; }
    const std::vector<std::uint64_t>& slice_ends() const { return ends_; }

    // Appends one record: in place on a wholly covered, non-full last page
    // that this list holds alone, or that it made itself and has room
    // reserved for; otherwise on a new page.
    void push_back(const PackedRecord& record);

    // Adds the slice (page, first, count) at the end, merging it into the
    // last slice when it continues it on the same page.
    void add_slice(const RecordPageRef& page, std::uint32_t first, std::uint32_t count);

    // Appends source's records [first, last) as slices over its pages.
    void append_range(const RecordList& source, std::uint64_t first, std::uint64_t last);

    // Record at index, by value; IndexError text for an index past the end.
    PackedRecord at(std::uint64_t index) const;

    void flatten_into(std::vector<PackedRecord>& out) const;

    void reserve_slices(std::uint64_t n);

    // Allocated bytes of the slice list, slice ends and each distinct page.
    std::size_t bytes() const;
    std::size_t shared_pages() const;

private:
    std::vector<RecordSlice> slices_;
    std::vector<std::uint64_t> ends_;
    std::uint64_t count_ = 0;
    // The last page, when this list made it: copies of the list read only
    // the records their slices count, so this list may add records past
    // them into room the page already has (nothing moves, nothing they see
    // changes). Without this, a copy taken after every append (a sequence
    // view kept while gates are added) would give every record a page.
    const RecordPage* own_tail_ = nullptr;
};

}  // namespace quorvex::packed
