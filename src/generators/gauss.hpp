// Normal draws of selection targets.
#pragma once

#include <cmath>

namespace gapweave {

// Normal draws by the Box-Muller transform, cosine branch only, so every
// call consumes a fixed number of uniforms (plus one per rejected u1) and
// seeded runs stay reproducible.
struct Gauss {
    // `Source` provides `double uniform_f64()` in [0, 1). NaN mean or std
    // give NaN; the caller checks for it.
    template <class Source>
    static double sample(Source& rng, double mean, double std) {
        double u1 = rng.uniform_f64();
        // ln(0) would be -inf; redraw the (exceedingly rare) zero.
        while (u1 < 1e-17) u1 = rng.uniform_f64();
        const double u2 = rng.uniform_f64();
        const double z = std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
        return mean + std * z;
    }

    // True when every sample is `mean` itself: a zero `std` times the
    // finite z adds a zero, which leaves a finite mean other than zero
    // unchanged (at zero the sign of the sum would depend on z).
    static bool constant(double mean, double std) noexcept {
        return std == 0.0 && std::isfinite(mean) && mean != 0.0;
    }

    // Takes the uniforms of one sample from `rng`, exactly as sample()
    // does, without computing it.
    template <class Source>
    static void skip(Source& rng) {
        double u1 = rng.uniform_f64();
        while (u1 < 1e-17) u1 = rng.uniform_f64();
        static_cast<void>(rng.uniform_f64());
    }
};

}  // namespace gapweave
