#pragma once

#include "common/Arrays.h"

#include <array>
#include <cstddef>
#include <vector>

namespace hs {

// Reading the measurement arrays for drawing: an index outside the array's present shape (an
// order the analysis did not size, a feeder above LastFeeder, data not sized yet) reads as 0,
// so that a view draws what it can instead of reading past an array.

template <typename T> double valueAt(const std::vector<T>& values, int i)
{
    if (i < 0 || static_cast<std::size_t>(i) >= values.size())
        return 0.0;
    return static_cast<double>(values[static_cast<std::size_t>(i)]);
}

template <typename T, std::size_t N> double valueAt(const std::array<T, N>& values, int i)
{
    if (i < 0 || static_cast<std::size_t>(i) >= N)
        return 0.0;
    return static_cast<double>(values[static_cast<std::size_t>(i)]);
}

template <typename T> bool holds(const Array2<T>& values, int i0, int i1)
{
    return i0 >= 0 && i1 >= 0 && static_cast<std::size_t>(i0) < values.dim0() &&
           static_cast<std::size_t>(i1) < values.dim1();
}

template <typename T> double valueAt(const Array2<T>& values, int i0, int i1)
{
    if (!holds(values, i0, i1))
        return 0.0;
    return static_cast<double>(values(static_cast<std::size_t>(i0), static_cast<std::size_t>(i1)));
}

template <typename T> double valueAt(const Array3<T>& values, int i0, int i1, int i2)
{
    if (i0 < 0 || i1 < 0 || i2 < 0 || static_cast<std::size_t>(i0) >= values.dim0() ||
        static_cast<std::size_t>(i1) >= values.dim1() ||
        static_cast<std::size_t>(i2) >= values.dim2())
        return 0.0;
    return static_cast<double>(values(static_cast<std::size_t>(i0), static_cast<std::size_t>(i1),
                                      static_cast<std::size_t>(i2)));
}

} // namespace hs
