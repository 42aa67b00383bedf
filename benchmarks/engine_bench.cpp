// Times the engine's planned calls against the pass-by-pass reference on
// normally distributed tables: engine_bench ROWS COLS ALPHA [reference]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "generators/gauss.hpp"
#include "generators/mar.hpp"
#include "generators/matrix.hpp"
#include "generators/mnar.hpp"
#include "generators/mode.hpp"

using namespace gapweave;

namespace {

Matrix normal_table(std::size_t rows, std::size_t cols) {
    RandomSource rng = RandomSource::seed_from_u64(7);
    Matrix m{rows, cols, std::vector<double>(rows * cols)};
    for (std::size_t r = 0; r < rows; ++r) {
        const double base = Gauss::sample(rng, 0.0, 1.0);
        for (std::size_t c = 0; c < cols; ++c) m.at(r, c) = base + Gauss::sample(rng, 0.0, 0.5 + c);
    }
    return m;
}

double cpu_now() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Wall-clock seconds; the process's CPU seconds go to stderr-free `cpu`.
double g_cpu = 0.0;
template <class F>
double seconds(F&& f) {
    const double cpu = cpu_now();
    const auto start = std::chrono::steady_clock::now();
    f();
    g_cpu = cpu_now() - cpu;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s ROWS COLS ALPHA [reference]\n", argv[0]);
        return 2;
    }
    const std::size_t rows = std::strtoull(argv[1], nullptr, 10);
    const std::size_t cols = std::strtoull(argv[2], nullptr, 10);
    const double alpha = std::strtod(argv[3], nullptr);
    const bool reference = argc > 4 && std::string(argv[4]) == "reference";
    const Matrix table = normal_table(rows, cols);
    const auto quiet = [](const std::string&) {};

    for (Mode mode : {Mode::GM, Mode::MAX}) {
        const char* name = mode == Mode::GM ? "GM" : "MAX";
        MNAR mnar{0.5, 0.3, mode, RandomSource::seed_from_u64(1), ThreadPool(2)};
        MAR mar{0.5, 0.3, 0.5, mode, RandomSource::seed_from_u64(1), ThreadPool(2)};
        double wall = seconds([&] { mnar.punch(table, alpha); });
        std::printf("MNARrs %-3s planned   %9.4f s  (cpu %.4f s)\n", name, wall, g_cpu);
        wall = seconds([&] { mar.punch(table, alpha, quiet); });
        std::printf("MAR    %-3s planned   %9.4f s  (cpu %.4f s)\n", name, wall, g_cpu);
        if (reference) {
            std::printf("MNARrs %-3s reference %9.4f s\n", name,
                        seconds([&] { mnar.punch_passes(table, alpha); }));
            std::printf("MAR    %-3s reference %9.4f s\n", name,
                        seconds([&] { mar.punch_passes(table, alpha, quiet); }));
        }
    }
    return 0;
}
