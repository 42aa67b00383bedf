// Sorted drivers, shared by the column jobs that need them.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "generators/column_facts.hpp"
#include "generators/matrix.hpp"
#include "generators/planned/sorted_column.hpp"

namespace gapweave {

// The first of a driver's jobs sorts it (the others wait for it, needing
// it too), and the last one to start takes the only reference left, so
// that the sorted column goes as soon as its jobs are done. Its buffers
// then wait for the next sort, which writes into them rather than into
// fresh pages.
class SharedSorts {
public:
    // `ranges`: each column's range where known, which its sort then
    // takes instead of finding it.
    explicit SharedSorts(std::span<const std::optional<KeyRange>> ranges);
    // A sort whose later jobs never ran (an interrupted or failed call) is
    // still held by its entry; its deleter needs the spares, which members
    // declared later would already have lost. Every job is done by now.
    ~SharedSorts();
    SharedSorts(const SharedSorts&) = delete;
    SharedSorts& operator=(const SharedSorts&) = delete;

    // One more job will acquire `driver`; before any job starts.
    void expect_job(std::size_t driver) { ++entries_[driver].jobs_left; }

    // Column `driver` of the matrix, sorted; by the first job to ask.
    std::shared_ptr<const SortedColumn> acquire(const Matrix& matrix, std::size_t driver);

    // Frees the buffers no sort has taken; once every job is done.
    void drop_spares();

    // Buffers kept for the next sort.
    std::size_t spares() const;

private:
    struct Entry {
        std::mutex mutex;
        std::shared_ptr<const SortedColumn> sorted;
        std::size_t jobs_left = 0;
    };
    // Deletes a sorted column no job holds any more, keeping its buffers.
    struct GiveBack {
        SharedSorts* sorts;
        void operator()(SortedColumn* done) const;
    };

    SortedColumn take_spare();

    std::vector<Entry> entries_;
    std::span<const std::optional<KeyRange>> ranges_;
    mutable std::mutex spares_mutex_;
    std::vector<SortedColumn> spares_;
};

}  // namespace gapweave
