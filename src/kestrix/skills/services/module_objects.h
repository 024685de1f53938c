// The module's own process-wide objects, made once in the exec step.
#pragma once

#include <Python.h>

namespace kestrix {

/// Kept for the life of the process (raw pointers for the same reason as ProcessState).
struct ModuleObjects {
    PyObject* rule_marker = nullptr;   ///< RULE_MARKER's text
    PyObject* default_rule = nullptr;  ///< _DEFAULT_RULE_CONTENT's text
    PyObject* class_doc = nullptr;
    PyObject* two_line_feeds = nullptr;
    PyObject* line_feed = nullptr;
    PyObject* encoding_kwnames = nullptr;  ///< ("encoding",)
    PyObject* mkdir_kwnames = nullptr;     ///< ("parents", "exist_ok")
    PyObject* init_code = nullptr;
    PyObject* inject_code = nullptr;
    PyObject* load_code = nullptr;
    /// The last long text written directly and its UTF-8, both held strongly.
    PyObject* last_text = nullptr;
    PyObject* last_text_utf8 = nullptr;
};

extern ModuleObjects objects;

}  // namespace kestrix
