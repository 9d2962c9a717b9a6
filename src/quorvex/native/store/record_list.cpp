#include "record_list.hpp"

#include <algorithm>
#include <stdexcept>
#include <unordered_set>

#include "paged.hpp"

namespace quorvex::packed {

void RecordList::push_back(const PackedRecord& record) {
    std::size_t room = 1;
    if (!slices_.empty()) {
        RecordSlice& last = slices_.back();
        RecordPage& page = *last.page;
        if (last.first == 0 && last.count == page.size() && page.size() < kRecordPageCapacity) {
            const bool alone = last.page.use_count() == 1;
            const bool made_here = last.page.get() == own_tail_;
            if (alone || (made_here && page.size() < page.capacity())) {
                // Only a page no one else reads may move to a larger allocation.
                if (alone) reserve_for(page, 1, kRecordPageCapacity);
                page.push_back(record);
                ++last.count;
                ++count_;
                ends_.back() = count_;
                return;
            }
            // Shared and full: the next page has twice the room, so that a
            // list copied after every append still fills pages geometrically.
            if (made_here) room = std::min<std::size_t>(page.capacity() * 2, kRecordPageCapacity);
        }
    }
    auto page = std::make_shared<RecordPage>();
    page->reserve(room);
    page->push_back(record);
    add_slice(page, 0, 1);
    own_tail_ = page.get();
}

void RecordList::add_slice(const RecordPageRef& page, std::uint32_t first, std::uint32_t count) {
    if (count == 0) return;
    if (!slices_.empty()) {
        RecordSlice& last = slices_.back();
        if (last.page == page && static_cast<std::uint64_t>(last.first) + last.count == first) {
            last.count += count;
            count_ += count;
            ends_.back() = count_;
            return;
        }
    }
    // Make room in both lists first so that a failed allocation changes nothing.
    if (slices_.size() == slices_.capacity()) slices_.reserve(std::max<std::size_t>(4, slices_.size() * 2));
    if (ends_.size() == ends_.capacity()) ends_.reserve(std::max<std::size_t>(4, ends_.size() * 2));
    slices_.push_back(RecordSlice{page, first, count});
    count_ += count;
    ends_.push_back(count_);
    own_tail_ = nullptr;
}

void RecordList::append_range(const RecordList& source, std::uint64_t first, std::uint64_t last) {
    if (first > last || last > source.count_) throw std::out_of_range("shared record range is out of bounds");
    if (first == last) return;
    // Appending a list to itself must read the slices as they were.
    const std::vector<RecordSlice> own_copy = (&source == this) ? slices_ : std::vector<RecordSlice>{};
    const std::vector<RecordSlice>& src = (&source == this) ? own_copy : source.slices_;
    std::uint64_t c = 0;
    for (const RecordSlice& s : src) {
        const std::uint64_t d = c + s.count;
        const std::uint64_t lo = std::max(first, c);
        const std::uint64_t hi = std::min(last, d);
        if (lo < hi) {
            add_slice(s.page, static_cast<std::uint32_t>(s.first + (lo - c)), static_cast<std::uint32_t>(hi - lo));
        }
        if (d >= last) break;
        c = d;
    }
}

PackedRecord RecordList::at(std::uint64_t index) const {
    if (index >= count_) throw std::out_of_range("gate index out of range");
    const auto it = std::upper_bound(ends_.begin(), ends_.end(), index);
    const std::size_t k = static_cast<std::size_t>(it - ends_.begin());
    if (k >= slices_.size()) throw_bad_subscript();
    const std::uint64_t start = k == 0 ? 0 : ends_[k - 1];
    const RecordSlice& s = slices_[k];
    const std::uint64_t pos = s.first + (index - start);
    if (pos >= s.page->size()) throw_bad_subscript();
    return (*s.page)[pos];
}

void RecordList::flatten_into(std::vector<PackedRecord>& out) const {
    reserve_total(out, out.size() + count_);
    for (const RecordSlice& s : slices_) {
        if (static_cast<std::uint64_t>(s.first) + s.count > s.page->size()) throw_bad_subscript();
        out.insert(out.end(), s.page->begin() + s.first, s.page->begin() + s.first + s.count);
    }
}

void RecordList::reserve_slices(std::uint64_t n) {
    reserve_total(slices_, n);
    reserve_total(ends_, n);
}

std::size_t RecordList::bytes() const {
    std::size_t total = sizeof(RecordSlice) * slices_.capacity() + sizeof(std::uint64_t) * ends_.capacity();
    std::unordered_set<const RecordPage*> seen;
    for (const RecordSlice& s : slices_) {
        if (seen.insert(s.page.get()).second) total += sizeof(RecordPage) + sizeof(PackedRecord) * s.page->capacity();
    }
    return total;
}

std::size_t RecordList::shared_pages() const {
    std::size_t shared = 0;
    std::unordered_set<const RecordPage*> seen;
    for (const RecordSlice& s : slices_) {
        if (seen.insert(s.page.get()).second && s.page.use_count() > 1) ++shared;
    }
    return shared;
}

}  // namespace quorvex::packed
