// Conventions shared by every bound class: the checked self argument, device calls without
// the interpreter lock, deprecation warnings, and the three-value rule for vectors.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace TamroBindings {

namespace py = pybind11;

// The native object behind self, or none when the Python object's constructor never ran
// (for example an object made with T.__new__(T)). Methods take self as Self<T> so such an
// object raises RuntimeError instead of reaching memory that was never constructed.
template <typename T>
struct Self {
    T* native = nullptr;

    T& get() const {
        if (native == nullptr) throw std::runtime_error("");
        return *native;
    }
};

// Runs a device call with the interpreter lock released, so other Python threads run while
// the port is written or waited on.
template <typename F>
decltype(auto) WithoutGil(F&& call) {
    py::gil_scoped_release released;
    return std::forward<F>(call)();
}

// Issues a DeprecationWarning attributed to the caller's line. The device call is made
// whatever the filters do; a warning that the filters turned into an error is raised
// afterwards by Rethrow().
class Deprecation {
public:
    explicit Deprecation(const char* message) {
        if (PyErr_WarnEx(PyExc_DeprecationWarning, message, 1) < 0) raised_.emplace();
    }

    void Rethrow() {
        if (raised_) {
            py::error_already_set error = std::move(*raised_);
            raised_.reset();
            throw error;
        }
    }

private:
    std::optional<py::error_already_set> raised_;
};

// Every vector on the wire has three components: refuse shorter sequences before anything
// is sent or read, so no read goes past what the caller gave.
inline void RequireThree(const std::vector<float>& values, const char* method) {
    if (values.size() < 3) {
        throw py::value_error(std::string(method) + ": three values are needed, got " +
                              std::to_string(values.size()));
    }
}

void RegisterStreamTypes(py::module_& m);
void RegisterModuleFunctions(py::module_& m);
void RegisterVelkin3(py::module_& m);
void RegisterHandle(py::module_& m);

}  // namespace TamroBindings

namespace pybind11::detail {

// Loads a registered instance of T without touching its value, so a missing value is seen
// as such; the generated signature shows T itself.
template <typename T>
struct type_caster<TamroBindings::Self<T>> {
    PYBIND11_TYPE_CASTER(TamroBindings::Self<T>, make_caster<T>::name);

    bool load(handle src, bool /*convert*/) {
        const type_info* info = get_type_info(typeid(T));
        if (info == nullptr || !isinstance(src, reinterpret_cast<PyObject*>(info->type))) {
            return false;
        }
        auto* inst = reinterpret_cast<instance*>(src.ptr());
        value_and_holder vh = inst->get_value_and_holder(info, false);
        value.native = (vh && vh.holder_constructed()) ? vh.template value_ptr<T>() : nullptr;
        return true;
    }

    static handle cast(const TamroBindings::Self<T>&, return_value_policy, handle) {
        return none().release();
    }
};

}  // namespace pybind11::detail
