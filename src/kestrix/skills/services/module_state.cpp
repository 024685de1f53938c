// The module state and the one function that makes it.
#include <Python.h>

#include <cstddef>
#include <iterator>
#include <type_traits>
#include <utility>

#include "module_state.h"
#include "rule_injector_lines.h"
#include "rule_injector_texts.h"
#include "support/py/code_objects.h"
#include "support/py/function_type.h"
#include "support/py/names.h"
#include "support/py/ref.h"

namespace kestrix {

ModuleState state;

// Nothing of it runs at the process's end, after the interpreter is gone.
static_assert(std::is_trivially_destructible_v<ModuleState>);

namespace {

using py::Ref;

/// Makes `field` with `make` unless it was made before; 0, or -1 with the error set.
template <typename T, typename Make>
[[nodiscard]] int make_once(T*& field, Make make) noexcept {
    if (field == nullptr) field = make();
    return field != nullptr ? 0 : -1;
}

/// A hashed text that is not interned; null with the error set.
[[nodiscard]] PyObject* hashed_text(const char* utf8) noexcept {
    PyObject* made = nullptr;
    return py::make_name(made, utf8, false) < 0 ? nullptr : made;
}

/// One method's code object, its local-name tuple shared through `varnames_seen`.
[[nodiscard]] PyObject* code_object(PyObject* varnames_seen, int argcount, Ref varnames,
                                    int first_line, PyObject* name, const py::SourceSpan* spans,
                                    std::size_t count) noexcept {
    if (!varnames) return nullptr;
    PyObject* shared = PyDict_SetDefault(varnames_seen, varnames.get(), varnames.get());
    if (shared == nullptr) return nullptr;
    Ref table = py::make_location_table(first_line, spans, count);
    if (!table) return nullptr;
    Ref filename = Ref::steal(PyUnicode_FromString(texts::kSourceFile));
    if (!filename) return nullptr;
    return py::new_code_object(argcount, shared, first_line, filename.get(), name, table.get())
        .release();
}

[[nodiscard]] int make_code_objects() noexcept {
    const Names& n = state.names;
    Ref seen = Ref::steal(PyDict_New());
    if (!seen) return -1;
    if (state.init_code == nullptr) {
        state.init_code =
            code_object(seen.get(), 2, Ref::steal(PyTuple_Pack(2, n.self, n.templates_dir)),
                        line::kDefineInit, n.dunder_init, kInitSpans, std::size(kInitSpans));
        if (state.init_code == nullptr) return -1;
    }
    if (state.inject_code == nullptr) {
        state.inject_code =
            code_object(seen.get(), 3,
                        Ref::steal(PyTuple_Pack(8, n.self, n.target_runtime, n.target_skills_dir,
                                                n.config_filename, n.config_path,
                                                n.existing_content, n.rule_content, n.new_content)),
                        line::kDefineInject, n.inject, kInjectSpans, std::size(kInjectSpans));
        if (state.inject_code == nullptr) return -1;
    }
    if (state.load_code == nullptr) {
        state.load_code =
            code_object(seen.get(), 1, Ref::steal(PyTuple_Pack(2, n.self, n.rule_file)),
                        line::kDefineLoad, n._load_rule_content, kLoadSpans, std::size(kLoadSpans));
        if (state.load_code == nullptr) return -1;
    }
    return 0;
}

}  // namespace

int traverse_module_state(PyObject* module, visitproc visit, void* arg) noexcept {
    if (module != state.module || !Py_IsFinalizing()) return 0;
    Py_VISIT(state.module);
    Py_VISIT(state.module_dict);
    Py_VISIT(state.builtins);
    Py_VISIT(reinterpret_cast<PyObject*>(state.construction.cls));
    Py_VISIT(state.construction.init);
    Py_VISIT(reinterpret_cast<PyObject*>(state.plain_paths.held_type()));
    return 0;
}

int clear_module_state(PyObject* module) noexcept {
    if (module != state.module || !Py_IsFinalizing()) return 0;
    state.shut_down = true;
    // Unbound first: what the references' deallocators run must find nothing half gone.
    state.globals.unbind();
    state.tracebacks.bind(texts::kSourceFile, nullptr);
    py::forget_direct_construction(state.construction);
    state.plain_paths.forget();
    PyObject* dict = std::exchange(state.module_dict, nullptr);
    PyObject* builtins = std::exchange(state.builtins, nullptr);
    PyObject* own = std::exchange(state.module, nullptr);
    Py_XDECREF(dict);
    Py_XDECREF(builtins);
    Py_XDECREF(own);
    return 0;
}

int make_module_state() noexcept {
    ModuleState& s = state;
    if (make_once(s.empty_tuple, [] { return Py_GetConstant(Py_CONSTANT_EMPTY_TUPLE); }) < 0 ||
        make_once(s.empty_str, [] { return Py_GetConstant(Py_CONSTANT_EMPTY_STR); }) < 0 ||
        py::make_names(s.names, kNameRows) < 0 ||
        make_once(s.rule_marker, [] { return hashed_text(texts::kRuleMarker); }) < 0 ||
        make_once(s.default_rule, [] { return hashed_text(texts::kDefaultRuleContent); }) < 0 ||
        make_once(s.class_doc, [] { return hashed_text(texts::kClassDoc); }) < 0 ||
        make_once(s.two_line_feeds, [] { return hashed_text("\n\n"); }) < 0 ||
        make_once(s.line_feed, [] { return hashed_text("\n"); }) < 0 ||
        make_once(s.encoding_kwnames, [&] { return PyTuple_Pack(1, s.names.encoding); }) < 0 ||
        make_once(s.mkdir_kwnames,
                  [&] { return PyTuple_Pack(2, s.names.parents, s.names.exist_ok); }) < 0 ||
        make_once(s.function_type, [] { return py::create_function_type(texts::kFunctionType); }) <
            0 ||
        make_code_objects() < 0) {
        return -1;
    }
    const Names& n = s.names;
    s.init_signature.params[0] = n.self;
    s.init_signature.params[1] = n.templates_dir;
    s.inject_signature.params[0] = n.self;
    s.inject_signature.params[1] = n.target_runtime;
    s.inject_signature.params[2] = n.target_skills_dir;
    s.load_signature.params[0] = n.self;
    return 0;
}

}  // namespace kestrix
