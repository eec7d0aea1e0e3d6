#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace hs {

// Multi-dimensional arrays of the measurement data, stored with the FIRST index varying
// fastest (the order the waveform file is written in). Indexes start at 0; dimensions are
// element counts. Re-sizing zeroes every element.
template <typename T> class Array2 {
public:
    Array2() = default;
    Array2(std::size_t n0, std::size_t n1) { resize(n0, n1); }
    void resize(std::size_t n0, std::size_t n1)
    {
        n0_ = n0;
        n1_ = n1;
        data_.assign(n0 * n1, T{});
    }
    void zero() { std::fill(data_.begin(), data_.end(), T{}); }
    T& operator()(std::size_t i0, std::size_t i1) { return data_[i0 + n0_ * i1]; }
    const T& operator()(std::size_t i0, std::size_t i1) const { return data_[i0 + n0_ * i1]; }
    std::size_t dim0() const { return n0_; }
    std::size_t dim1() const { return n1_; }
    std::size_t size() const { return data_.size(); }
    T* data() { return data_.data(); }
    const T* data() const { return data_.data(); }

private:
    std::size_t n0_ = 0, n1_ = 0;
    std::vector<T> data_;
};

template <typename T> class Array3 {
public:
    Array3() = default;
    Array3(std::size_t n0, std::size_t n1, std::size_t n2) { resize(n0, n1, n2); }
    void resize(std::size_t n0, std::size_t n1, std::size_t n2)
    {
        n0_ = n0;
        n1_ = n1;
        n2_ = n2;
        data_.assign(n0 * n1 * n2, T{});
    }
    void zero() { std::fill(data_.begin(), data_.end(), T{}); }
    T& operator()(std::size_t i0, std::size_t i1, std::size_t i2)
    {
        return data_[i0 + n0_ * (i1 + n1_ * i2)];
    }
    const T& operator()(std::size_t i0, std::size_t i1, std::size_t i2) const
    {
        return data_[i0 + n0_ * (i1 + n1_ * i2)];
    }
    std::size_t dim0() const { return n0_; }
    std::size_t dim1() const { return n1_; }
    std::size_t dim2() const { return n2_; }
    std::size_t size() const { return data_.size(); }
    T* data() { return data_.data(); }
    const T* data() const { return data_.data(); }

private:
    std::size_t n0_ = 0, n1_ = 0, n2_ = 0;
    std::vector<T> data_;
};

} // namespace hs
