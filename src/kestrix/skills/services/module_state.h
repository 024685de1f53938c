// Everything rule_injector keeps for the life of the process, in one struct.
#pragma once

#include <Python.h>

#include <cstdint>

#include "rule_injector_names.h"
#include "support/pathlib/join.h"
#include "support/pathlib/plain_path.h"
#include "support/py/binding.h"
#include "support/py/direct_construction.h"
#include "support/py/globals.h"
#include "support/py/traceback.h"

namespace kestrix {

/// The module's process-wide state. The object fields are raw pointers on purpose: the
/// module is never unloaded, and an owning handle with a static destructor would run
/// Py_DECREF after the interpreter has been finalised.
struct ModuleState {
    // Set by the create and exec steps.
    std::int64_t interpreter_id = -1;  ///< the one interpreter allowed to load the module
    PyObject* module = nullptr;        ///< strong; dropped again if the exec step fails
    PyObject* module_dict = nullptr;   ///< strong; the module's namespace
    PyObject* builtins = nullptr;      ///< strong; the `builtins` module
    bool shut_down = false;            ///< the interpreter's shutdown took the module
    py::Globals globals;               ///< reads the namespace as the methods' code would
    py::TracebackEntries tracebacks;   ///< entries that name this module's source file

    // Made once by make_module_state, field by field.
    PyObject* empty_tuple = nullptr;
    PyObject* empty_str = nullptr;
    Names names;                       ///< interned names and value texts
    PyObject* rule_marker = nullptr;   ///< RULE_MARKER's text
    PyObject* default_rule = nullptr;  ///< _DEFAULT_RULE_CONTENT's text
    PyObject* class_doc = nullptr;
    PyObject* two_line_feeds = nullptr;
    PyObject* line_feed = nullptr;
    PyObject* encoding_kwnames = nullptr;  ///< ("encoding",)
    PyObject* mkdir_kwnames = nullptr;     ///< ("parents", "exist_ok")
    PyTypeObject* function_type = nullptr;
    PyObject* init_code = nullptr;
    PyObject* inject_code = nullptr;
    PyObject* load_code = nullptr;
    /// The methods' parameter lists; their names are filled in with the names.
    py::Signature init_signature{"__init__", 2, 1, {}};
    py::Signature inject_signature{"inject", 3, 3, {}};
    py::Signature load_signature{"_load_rule_content", 1, 1, {}};

    // Kept by the machinery that makes the common calls quick.
    py::DirectConstruction construction;  ///< RuleInjector(...) straight into __init__
    pathlib::PlainPaths plain_paths;      ///< what is known of pathlib's own path type

    // Kept by the writes: the last long text written directly and its UTF-8, both strong.
    PyObject* last_text = nullptr;
    PyObject* last_text_utf8 = nullptr;
    // Kept by _load_rule_content: the last str stripped and its stripped text (the built-in
    // rule is the same str every time), and the last rule file path joined from its parts'
    // texts; all strong, so that an address seen again is the same object.
    PyObject* last_unstripped = nullptr;
    PyObject* last_stripped = nullptr;
    pathlib::LastJoin last_join;
};

/// The one instance.
extern ModuleState state;

/// The collector's view of the state's references into the module's object graph (the
/// module, its namespace, the built-ins, the class, pathlib's path type), for the module
/// object that is the stored one. Only while the interpreter shuts down: until then they
/// are the roots a process-wide reference must be, so no collection can take the module
/// from a host that still holds its class; from then on the module and everything it holds
/// go in the collector's first pass over the unloaded modules, as a pure module's do, and
/// not in the costlier clearing of the modules still alive after it.
[[nodiscard]] int traverse_module_state(PyObject* module, visitproc visit, void* arg) noexcept;

/// Drops those references when the collector takes the module at shutdown; the methods then
/// meet NameError, as a pure module's functions do once their globals are cleared. 0.
int clear_module_state(PyObject* module) noexcept;

/// Makes every object of the second group that is not made yet, each on its own: an import
/// retried after a failure here finds the ones made and makes the rest, and never sees a
/// half-made one. 0, or -1 with an exception set.
[[nodiscard]] int make_module_state() noexcept;

}  // namespace kestrix
