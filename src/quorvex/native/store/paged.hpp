// Copy-on-write paged lists: the extra and block-extra entry lists and the
// two arenas. Pages are shared between stores by reference count; only the
// last page is ever written, and only while this list holds it alone.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "records.hpp"

namespace quorvex::packed {

// Raised for a page or slot that consistent data never produces.
[[noreturn]] inline void throw_bad_subscript() {
    throw std::out_of_range("invalid vector subscript");
}

// Grow a page's allocation geometrically but never beyond the page capacity,
// so the storage accounting of a full page is exactly its capacity.
template <class Page>
inline void reserve_for(Page& page, std::size_t extra, std::size_t page_capacity) {
    std::size_t need = page.size() + extra;
    if (need <= page.capacity()) return;
    std::size_t grown = std::max<std::size_t>(need, page.capacity() * 2);
    page.reserve(std::min(grown, std::max(need, page_capacity)));
}

template <class T, std::uint32_t PageCapacity>
class PagedList {
public:
    using Page = std::vector<T>;
    using PageRef = std::shared_ptr<Page>;
    static constexpr std::uint32_t page_capacity = PageCapacity;
    static_assert((PageCapacity & (PageCapacity - 1)) == 0, "page capacity must be a power of two");

    std::uint64_t size() const { return size_; }
    const std::vector<PageRef>& pages() const { return pages_; }

    // Appends one entry; returns its index.
    std::uint64_t push_back(const T& value) {
        const Mark mark = this->mark();
        try {
            Page& tail = writable_tail();
            reserve_for(tail, 1, PageCapacity);
            tail.push_back(value);
        } catch (...) {
            rollback(mark);
            throw;
        }
        return size_++;
    }

    // Appends n values; nothing is appended if an allocation fails.
    void append(const T* values, std::size_t n) {
        const Mark mark = this->mark();
        try {
            std::size_t done = 0;
            while (done < n) {
                Page& tail = writable_tail();
                std::size_t take = std::min<std::size_t>(n - done, PageCapacity - tail.size());
                reserve_for(tail, take, PageCapacity);
                tail.insert(tail.end(), values + done, values + done + take);
                done += take;
            }
        } catch (...) {
            rollback(mark);
            throw;
        }
        size_ += n;
    }

    T at(std::uint64_t index) const {
        const std::uint64_t page = index / PageCapacity;
        if (page >= pages_.size()) throw_bad_subscript();
        const Page& p = *pages_[page];
        const std::uint64_t slot = index % PageCapacity;
        if (slot >= p.size()) throw_bad_subscript();
        return p[slot];
    }

    // Appends the values at positions offset .. offset+count-1 to out.
    template <class U>
    void read(std::uint64_t offset, std::uint64_t count, std::vector<U>& out) const {
        while (count > 0) {
            const std::uint64_t page = offset / PageCapacity;
            if (page >= pages_.size()) throw_bad_subscript();
            const Page& p = *pages_[page];
            const std::uint64_t slot = offset % PageCapacity;
            const std::uint64_t take = std::min<std::uint64_t>(count, PageCapacity - slot);
            if (slot + take > p.size()) throw_bad_subscript();
            out.insert(out.end(), p.begin() + slot, p.begin() + slot + take);
            offset += take;
            count -= take;
        }
    }

    // Bytes of allocated capacity: the page list and every page, shared or not.
    std::size_t bytes() const {
        std::size_t total = sizeof(PageRef) * pages_.capacity();
        for (const PageRef& p : pages_) total += sizeof(Page) + sizeof(T) * p->capacity();
        return total;
    }

private:
    struct Mark {
        std::size_t pages;
        std::size_t tail_size;
    };

    Mark mark() const { return {pages_.size(), pages_.empty() ? 0 : pages_.back()->size()}; }

    // Undo a partial append: every page touched since the mark is private.
    void rollback(const Mark& m) noexcept {
        while (pages_.size() > m.pages) pages_.pop_back();
        if (!pages_.empty() && pages_.back()->size() > m.tail_size) pages_.back()->resize(m.tail_size);
    }

    Page& writable_tail() {
        if (pages_.empty() || pages_.back()->size() >= PageCapacity) {
            pages_.push_back(std::make_shared<Page>());
        } else if (pages_.back().use_count() != 1) {
            auto own = std::make_shared<Page>();
            reserve_for(*own, pages_.back()->size(), PageCapacity);
            own->assign(pages_.back()->begin(), pages_.back()->end());
            pages_.back() = std::move(own);
        }
        return *pages_.back();
    }

    std::vector<PageRef> pages_;
    std::uint64_t size_ = 0;
};

// Largest number of values an arena may hold; the native unit tests lower it
// to reach the limit without gigabytes of data.
inline std::uint64_t& arena_value_limit() {
    static std::uint64_t limit = 0xFFFFFFFFull;
    return limit;
}

template <class T>
class Arena : public PagedList<T, 16384> {
public:
    ArenaRange append_values(const T* values, std::size_t n) {
        if (n == 0) return 0;
        const std::uint64_t limit = arena_value_limit();
        if (this->size() > limit || n > limit - this->size()) {
            throw std::overflow_error("packed auxiliary arena exceeds uint32 range");
        }
        const auto offset = static_cast<std::uint32_t>(this->size());
        this->append(values, n);
        return make_range(offset, static_cast<std::uint32_t>(n));
    }

    ArenaRange append_values(const std::vector<T>& values, std::size_t from = 0) {
        if (from >= values.size()) return 0;
        return append_values(values.data() + from, values.size() - from);
    }

    template <class U>
    void read_range(ArenaRange range, std::vector<U>& out) const {
        const std::uint32_t count = range_count(range);
        if (count == 0) return;
        out.reserve(out.size() + count);
        this->read(range_offset(range), count, out);
    }
};

using IntArena = Arena<std::int32_t>;
using DoubleArena = Arena<double>;
using ExtraPages = PagedList<ExtraEntry, 1024>;
using BlockExtraPages = PagedList<BlockExtraEntry, 1024>;

}  // namespace quorvex::packed
