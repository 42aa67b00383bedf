// UTF-8 text to and from Python str objects.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "python/pyref.hpp"

namespace gapweave::py {

// The UTF-8 bytes of a str; ErrorSet when it is not a str or cannot be
// encoded (surrogates). The view lives as long as the str object.
std::string_view utf8_view(PyObject* text);

// As above, but copies and returns nullopt (clearing the error) on failure.
std::optional<std::string> utf8_of(PyObject* text);

// A new str from UTF-8 bytes.
Owned make_str(std::string_view text);

// Python's str(object) as UTF-8; ErrorSet on failure.
std::string str_of(PyObject* object);

}  // namespace gapweave::py
