// Objects whose __init__ never ran.
//
// `cls.__new__(cls)` makes an instance of a bound class without running its
// __init__: no C++ object exists behind it, and pybind11 hands a method raw,
// unconstructed memory as `self` (or as any argument of the class). Every
// bound class is therefore loaded through InitializedCaster, which raises
// TypeError for such an instance before any C++ code sees it. A class is
// bound safely by naming it once in CAMERA_PARAMETERS_PYTHON_INITIALIZED
// below its declaration, before it is bound or cast.
#pragma once

#include <pybind11/pybind11.h>

namespace camera_parameters_python {

// Raises TypeError naming the class of `v_h` unless its C++ object was made.
void requireConstructed(const pybind11::detail::value_and_holder& v_h);

template <typename T>
class InitializedCaster : public pybind11::detail::type_caster_base<T> {
 public:
  bool load(pybind11::handle src, bool convert) {
    return this->template load_impl<InitializedCaster>(src, convert);
  }
  // Called by load_impl with the instance's storage once its type matched.
  void load_value(pybind11::detail::value_and_holder&& v_h) {
    requireConstructed(v_h);
    pybind11::detail::type_caster_base<T>::load_value(std::move(v_h));
  }
};

}  // namespace camera_parameters_python

#define CAMERA_PARAMETERS_PYTHON_INITIALIZED(Type)                                       \
  namespace pybind11 {                                                                   \
  namespace detail {                                                                     \
  template <>                                                                            \
  class type_caster<Type> : public camera_parameters_python::InitializedCaster<Type> {}; \
  }                                                                                      \
  }
