// Sorted drivers shared by the column jobs: one sort per driver for all of
// its jobs, gone once the last of them lets go, its buffers kept for the
// next sort until they are dropped.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "generators/matrix.hpp"
#include "generators/planned/shared_sorts.hpp"
#include "generators/planned/sorted_column.hpp"
#include "pool/job_scope.hpp"
#include "pool/thread_pool.hpp"

namespace gapweave {
namespace {

Matrix table() {
    Matrix m{5, 2, {}};
    for (double v : {3.0, 9.0, 1.0, 8.0, 2.0, 7.0, 5.0, 6.0, 4.0, 5.0}) m.data.push_back(v);
    return m;
}

bool same_sort(const SortedColumn& got, const SortedColumn& want) {
    return std::vector<double>(got.values.begin(), got.values.end()) ==
               std::vector<double>(want.values.begin(), want.values.end()) &&
           std::vector<std::uint32_t>(got.rows.begin(), got.rows.end()) ==
               std::vector<std::uint32_t>(want.rows.begin(), want.rows.end());
}

TEST(SharedSorts, OneSortPerDriverGoneAfterItsLastJob) {
    const Matrix m = table();
    const std::vector<std::optional<KeyRange>> ranges(m.cols);
    SharedSorts sorts(ranges);
    sorts.expect_job(1);
    sorts.expect_job(1);
    auto first = sorts.acquire(m, 1);
    EXPECT_TRUE(same_sort(*first, sort_column(m, 1)));
    auto second = sorts.acquire(m, 1);
    EXPECT_EQ(first.get(), second.get());  // sorted once, shared
    first.reset();
    EXPECT_EQ(sorts.spares(), 0u);  // still held by a job
    second.reset();
    EXPECT_EQ(sorts.spares(), 1u);  // the last job let go: its buffers wait
    // The next driver's sort takes the spare buffers, and sorts correctly.
    sorts.expect_job(0);
    auto other = sorts.acquire(m, 0);
    EXPECT_EQ(sorts.spares(), 0u);
    EXPECT_TRUE(same_sort(*other, sort_column(m, 0)));
    other.reset();
    sorts.drop_spares();
    EXPECT_EQ(sorts.spares(), 0u);
}

TEST(SharedSorts, JobsOnSeveralWorkersShareOneSort) {
    const Matrix m = table();
    const std::vector<std::optional<KeyRange>> ranges(m.cols);
    constexpr std::size_t kJobs = 16;
    SharedSorts sorts(ranges);
    for (std::size_t i = 0; i < kJobs; ++i) sorts.expect_job(0);
    std::vector<const SortedColumn*> seen(kJobs);
    std::vector<std::shared_ptr<const SortedColumn>> held(kJobs);
    ThreadPool pool(4);
    parallel_for(
        pool, kJobs,
        [&](std::size_t i) {
            held[i] = sorts.acquire(m, 0);
            seen[i] = held[i].get();
        },
        "a sharing job failed");
    for (const SortedColumn* sorted : seen) EXPECT_EQ(sorted, seen[0]);
    EXPECT_TRUE(same_sort(*seen[0], sort_column(m, 0)));
}

// A call that fails before every job ran leaves a sort behind in its
// entry; ending the cache still returns it (the sanitizers see any leak).
TEST(SharedSorts, EndsWithASortStillHeld) {
    const Matrix m = table();
    const std::vector<std::optional<KeyRange>> ranges(m.cols);
    SharedSorts sorts(ranges);
    sorts.expect_job(1);
    sorts.expect_job(1);
    EXPECT_EQ(sorts.acquire(m, 1)->size(), m.rows);
}

}  // namespace
}  // namespace gapweave
