#include "space.h"

#include "failure.h"
#include "free_space.h"
#include "layout.h"
#include "saturate.h"

#include <algorithm>

namespace kelvol {
namespace {

using kel::DetFile;
using kel::DetState;

bool counted_by_allocator(const DetFile &file) {
    return kel::holds_recorded_data(file.state) || file.state == DetState::provisional || file.state == DetState::reservation;
}

int64_t saturated_sum(int64_t a, int64_t b) { return tio::saturate<int64_t>(static_cast<__int128>(a) + b); }

bool lies_within(const PlacedExtent &inner, const PlacedExtent &outer) {
    return inner.begin >= outer.begin && inner.end <= outer.end;
}

// The same extent in a reservation file and in the data file it is being added to.
bool recorded_twice(const PlacedExtent &a, const PlacedExtent &b) {
    if (a.file == b.file) return false;
    return (b.file->state == DetState::reservation && lies_within(b, a)) ||
           (a.file->state == DetState::reservation && lies_within(a, b));
}

struct Stretch {
    int64_t begin;
    int64_t end;
};

// Member bytes the allocator leaves to an entry: up to its per-member span raised to the
// chunk size, clipped to the members.
Stretch allocator_stretch(const Volume &volume, const DetEntry &entry) {
    const __int128 end = tio::reserved_end(volume.props.layout(), entry.offset, std::max<int64_t>(entry.length, 0));
    const int64_t limit = volume.member_size();
    return {std::min(entry.offset, limit), tio::saturate<int64_t>(std::min<__int128>(end, limit))};
}

}  // namespace

bool PlacedExtent::held_for_writer() const { return !kel::holds_recorded_data(file->state); }

SpaceModel space_of(const Volume &volume, const kel::HeaderDirScan &scan) {
    SpaceModel model;
    model.member_size = volume.member_size();
    const tio::StripeLayout layout = volume.props.layout();
    for (const DetFile &file : scan.det_files) {
        if (!counted_by_allocator(file)) continue;
        for (size_t i = 0; i < file.entries.size(); ++i) {
            const DetEntry &entry = file.entries[i];
            if (entry.offset < 0) continue;  // provisional: no place yet
            model.extents.push_back(
                {&file, i, entry.offset, tio::saturate<int64_t>(tio::extent_end(layout, entry.offset, entry.length))});
        }
    }
    std::sort(model.extents.begin(), model.extents.end(), [](const PlacedExtent &a, const PlacedExtent &b) {
        return a.begin != b.begin ? a.begin < b.begin : a.end < b.end;
    });
    // Each extent is compared with the one reaching furthest before it: every extent that
    // shares bytes with an earlier one is named once.
    const PlacedExtent *furthest = nullptr;
    for (const PlacedExtent &extent : model.extents) {
        if (extent.begin == extent.end) continue;  // holds no bytes
        if (furthest != nullptr && extent.begin < furthest->end && !recorded_twice(*furthest, extent))
            model.overlaps.push_back({furthest, &extent, extent.begin, std::min(extent.end, furthest->end)});
        if (furthest == nullptr || extent.end > furthest->end) furthest = &extent;
    }
    return model;
}

Usage usage_of(const Volume &volume, const kel::HeaderDirScan &scan) {
    Usage usage;
    usage.members = volume.props.members;
    usage.chunk_size = volume.props.chunk_bytes;
    usage.volume_size = volume.props.volume_bytes;
    usage.member_size = volume.member_size();
    std::vector<Stretch> taken;
    for (const DetFile &file : scan.det_files) {
        if (kel::holds_recorded_data(file.state)) usage.used = saturated_sum(usage.used, file.size);
        if (file.state == DetState::provisional || file.state == DetState::reservation)
            usage.provisional = saturated_sum(usage.provisional, file.size);
        if (!counted_by_allocator(file)) continue;
        for (const DetEntry &entry : file.entries)
            if (entry.offset >= 0) taken.push_back(allocator_stretch(volume, entry));
    }
    std::sort(taken.begin(), taken.end(), [](const Stretch &a, const Stretch &b) { return a.begin < b.begin; });
    int64_t free_per_member = 0, at = 0;
    auto free_until = [&](int64_t position) {
        if (position <= at) return;
        free_per_member += position - at;
        ++usage.gaps;
    };
    for (const Stretch &stretch : taken) {
        free_until(stretch.begin);
        at = std::max(at, stretch.end);
    }
    free_until(usage.member_size);
    usage.free = tio::saturate<int64_t>(static_cast<__int128>(free_per_member) * usage.members);

    take_engine_messages();
    usage.largest_request = kel::largest_grantable_request(volume.record());
    const std::string engine = take_engine_messages();
    if (usage.largest_request < 0 && !engine.empty()) throw Failure(volume.props.header_dir, engine);
    return usage;
}

}  // namespace kelvol
