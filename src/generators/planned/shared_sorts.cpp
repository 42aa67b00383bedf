#include "generators/planned/shared_sorts.hpp"

#include <utility>

namespace gapweave {

SharedSorts::SharedSorts(std::span<const std::optional<KeyRange>> ranges)
    : entries_(ranges.size()), ranges_(ranges) {
    // At most one sorted column per column of the table: keeping one
    // never allocates, so a deleter that keeps it cannot throw.
    spares_.reserve(ranges.size());
}

SharedSorts::~SharedSorts() {
    for (Entry& entry : entries_) entry.sorted.reset();
}

std::shared_ptr<const SortedColumn> SharedSorts::acquire(const Matrix& matrix, std::size_t driver) {
    Entry& entry = entries_[driver];
    const std::lock_guard lock(entry.mutex);
    if (!entry.sorted) {
        entry.sorted = std::shared_ptr<SortedColumn>(
            new SortedColumn(sort_column(matrix, driver, ranges_[driver], take_spare())),
            GiveBack{this});
    }
    std::shared_ptr<const SortedColumn> sorted = entry.sorted;
    if (--entry.jobs_left == 0) entry.sorted.reset();
    return sorted;
}

void SharedSorts::drop_spares() {
    const std::lock_guard lock(spares_mutex_);
    spares_.clear();
}

std::size_t SharedSorts::spares() const {
    const std::lock_guard lock(spares_mutex_);
    return spares_.size();
}

void SharedSorts::GiveBack::operator()(SortedColumn* done) const {
    const std::unique_ptr<SortedColumn> owned(done);
    const std::lock_guard lock(sorts->spares_mutex_);
    sorts->spares_.push_back(std::move(*owned));
}

SortedColumn SharedSorts::take_spare() {
    const std::lock_guard lock(spares_mutex_);
    if (spares_.empty()) return {};
    SortedColumn spare = std::move(spares_.back());
    spares_.pop_back();
    return spare;
}

}  // namespace gapweave
