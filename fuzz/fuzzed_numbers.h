// Numbers read off the end of a fuzz input, in turn; zeros once it is used up.
#pragma once

#include <Eigen/Core>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

class FuzzedNumbers {
 public:
  FuzzedNumbers(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  template <typename T>
  T next() {
    T value{};
    const size_t n = std::min(sizeof(T), size_);
    std::memcpy(&value, data_, n);
    data_ += n;
    size_ -= n;
    return value;
  }
  float f() { return next<float>(); }
  int i() { return next<int32_t>(); }
  Eigen::Vector2f v2() { return {f(), f()}; }
  Eigen::Vector3f v3() { return {f(), f(), f()}; }
  // An upper-triangular K from five floats: fx, skew, cx, fy, cy.
  Eigen::Matrix3f K() {
    Eigen::Matrix3f m = Eigen::Matrix3f::Identity();
    for (const auto& [r, c] : {std::pair{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}}) m(r, c) = f();
    return m;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};
