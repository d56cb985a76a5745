#pragma once
// Move-only callables. The standard library's wrapper serves where the
// compiler has it; the alias keeps every signature in one spelling.
#include <functional>

namespace std23 {
template <class Signature>
using move_only_function = std::move_only_function<Signature>;
}  // namespace std23
