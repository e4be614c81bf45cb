#include "initialized.h"

#include <string>

namespace camera_parameters_python {

void requireConstructed(const pybind11::detail::value_and_holder& v_h) {
  if (v_h.holder_constructed()) return;
  const std::string name = Py_TYPE(reinterpret_cast<PyObject*>(v_h.inst))->tp_name;
  throw pybind11::type_error("this " + name +
                             " was never initialized: make it by calling the class, not __new__");
}

}  // namespace camera_parameters_python
