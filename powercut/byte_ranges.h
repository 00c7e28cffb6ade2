// A set of byte ranges [begin, end) of a file: the bytes written since its last sync.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>

namespace powercut {

class ByteRanges {
public:
    // Adds [begin, end), merged with the ranges it touches.
    void add(int64_t begin, int64_t end) {
        if (begin >= end) return;
        auto next = ranges_.upper_bound(begin);
        if (next != ranges_.begin()) {
            const auto before = std::prev(next);
            if (before->second >= begin) {
                begin = before->first;
                end = std::max(end, before->second);
                next = ranges_.erase(before);
            }
        }
        while (next != ranges_.end() && next->first <= end) {
            end = std::max(end, next->second);
            next = ranges_.erase(next);
        }
        ranges_[begin] = end;
    }

    // Forgets every byte at or past size.
    void cut_at(int64_t size) {
        ranges_.erase(ranges_.lower_bound(size), ranges_.end());
        if (!ranges_.empty() && ranges_.rbegin()->second > size) ranges_.rbegin()->second = size;
    }

    void clear() { ranges_.clear(); }
    bool empty() const { return ranges_.empty(); }

    // Calls visit(begin, end) for every range's part within [begin, end), in order.
    template <typename Visit>
    void for_each_within(int64_t begin, int64_t end, Visit visit) const {
        auto range = ranges_.upper_bound(begin);
        if (range != ranges_.begin()) --range;
        for (; range != ranges_.end() && range->first < end; ++range) {
            const int64_t from = std::max(begin, range->first), to = std::min(end, range->second);
            if (from < to) visit(from, to);
        }
    }

    template <typename Visit>
    void for_each(Visit visit) const {
        for (const auto &[begin, end] : ranges_) visit(begin, end);
    }

private:
    std::map<int64_t, int64_t> ranges_;  // begin -> end, disjoint and not touching
};

}  // namespace powercut
