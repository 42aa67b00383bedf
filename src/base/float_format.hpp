// Shortest round-trip decimal rendering of doubles in positional notation.
#pragma once

#include <string>

namespace gapweave {

// The shortest decimal that reads back as the same double, never in
// exponent form: integral values without a fraction ("1", "-0",
// "1000000000000000000000"), others with their digits after a point
// ("0.0000001"), "NaN" for any NaN and "inf" / "-inf" for the infinities.
std::string format_float(double value);

}  // namespace gapweave
