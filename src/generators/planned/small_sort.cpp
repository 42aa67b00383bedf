#include "generators/planned/small_sort.hpp"

#include "generators/total_order.hpp"

namespace gapweave {

[[gnu::noinline]] void sort_crowd(double* values, std::uint32_t* rows, std::size_t first,
                                  std::size_t end, std::vector<KeyedRow>& scratch) {
    scratch.resize(end - first);
    for (std::size_t i = first; i < end; ++i)
        scratch[i - first] = {unsigned_order_key(values[i]), rows[i]};
    radix_sort(scratch);
    for (std::size_t i = first; i < end; ++i) {
        values[i] = value_of_unsigned_key(scratch[i - first].key);
        rows[i] = scratch[i - first].row;
    }
}

}  // namespace gapweave
