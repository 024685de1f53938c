// The rule_injector extension module: its definition, create and exec steps, and the
// RuleInjector class, whose three methods behave as the Python source their line numbers
// come from (quoted above each step).
#include <Python.h>

#include <cassert>
#include <initializer_list>
#include <utility>

#include "module_state.h"
#include "rule_injector_lines.h"
#include "rule_injector_texts.h"
#include "support/pathlib/join.h"
#include "support/pathlib/plain_path.h"
#include "support/py/binding.h"
#include "support/py/calls.h"
#include "support/py/direct_construction.h"
#include "support/py/file_calls.h"
#include "support/py/function_type.h"
#include "support/py/module_steps.h"
#include "support/py/ref.h"
#include "text_file.h"

namespace kestrix {
namespace {

using py::call_method;
using py::is_true;
using py::Ref;
using py::Slots;
using texts::kInitFunction;
using texts::kInjectFunction;
using texts::kLoadFunction;

// ---------------------------------------------------------------------------
// What the bodies' steps share. Each sets the exception and returns empty on failure;
// the body that called it adds the traceback entry, with the line of its step.
// ---------------------------------------------------------------------------

/// Fails the current function: adds its traceback entry and returns empty.
[[nodiscard]] Ref fail(const char* function_name, int source_line) noexcept {
    state.tracebacks.add(function_name, source_line);
    return {};
}

/// The line a failed TextFile step reports: its existence test, its read, or its write steps.
[[nodiscard]] int line_of(TextFile::Stage stage, int test_line, int read_line) noexcept {
    switch (stage) {
        case TextFile::Stage::Test: return test_line;
        case TextFile::Stage::Read: return read_line;
        case TextFile::Stage::Build: return line::kNewContent;
        case TextFile::Stage::Folder: return line::kMakeDirectory;
        case TextFile::Stage::Write: return line::kWriteConfig;
    }
    return read_line;
}

/// `text.strip()`, which must give a str (or None) as the annotation says. An exact str's
/// strip cannot be overridden and gives the str itself when there is nothing to strip, and
/// the built-in rule is the same str on every call: neither is stripped again.
[[nodiscard]] Ref stripped_rule_text(PyObject* text) noexcept {
    const bool exact = PyUnicode_CheckExact(text);
    if (exact) {
        if (text == state.last_unstripped) return Ref::borrow(state.last_stripped);
        const Py_ssize_t size = PyUnicode_GET_LENGTH(text);
        if (size == 0 || (!Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(text, 0)) &&
                          !Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(text, size - 1)))) {
            return Ref::borrow(text);
        }
    }
    Ref stripped = call_method(text, state.names.strip);
    if (!stripped || py::check_str_or_none(stripped.get()) < 0) return {};
    if (exact) {
        Py_XSETREF(state.last_unstripped, Py_NewRef(text));
        Py_XSETREF(state.last_stripped, Py_NewRef(stripped.get()));
    }
    return stripped;
}

/// `templates_dir / relative` opened by its name alone when both are plain paths (the joined
/// path object would be made only to be named). 1 when opened; 0 when the path objects must
/// decide; -1.
[[nodiscard]] int open_joined_by_name(TextFile& file, PyObject* templates_dir,
                                      PyObject* relative) noexcept {
    if (!py::kFilesAvailable || !state.plain_paths.accepts(templates_dir) ||
        !state.plain_paths.accepts(relative)) {
        return 0;
    }
    Ref joined =
        pathlib::joined_path_text(state.plain_paths, templates_dir, relative, state.last_join);
    if (!joined) return -1;
    return joined.get() == Py_None ? 0 : file.open_named(std::move(joined));
}

/// RUNTIME_CONFIG_FILES.get(runtime). An exact dict's `get` cannot be overridden, so its
/// lookup is done directly; anything else is asked through its own `get`.
[[nodiscard]] Ref runtime_config_filename(PyObject* runtime) noexcept {
    Ref table = state.globals.lookup(state.names.RUNTIME_CONFIG_FILES);
    if (!table) return {};
    if (PyDict_CheckExact(table.get())) {
        PyObject* found = nullptr;
        if (state.globals.lookup_in_dict(table.get(), runtime, &found) < 0) return {};
        return Ref::steal(found != nullptr ? found : Py_NewRef(Py_None));
    }
    return Ref::steal(PyObject_CallMethodOneArg(table.get(), state.names.get, runtime));
}

/// `skills_dir.parent / filename`, made the cheaper way pathlib offers when it applies.
[[nodiscard]] Ref config_path_for(PyObject* skills_dir, PyObject* filename) noexcept {
    if (py::kFilesAvailable) {
        Ref sibling =
            pathlib::sibling_path(state.plain_paths, skills_dir, filename, state.names.with_name);
        if (sibling || PyErr_Occurred()) return sibling;
    }
    Ref parent = Ref::steal(PyObject_GetAttr(skills_dir, state.names.parent));
    if (!parent) return {};
    return Ref::steal(PyNumber_TrueDivide(parent.get(), filename));
}

/// `RULE_MARKER in <the text read>`: 1, 0, or -1.
[[nodiscard]] int contains_marker(TextFile& file) noexcept {
    Ref marker = state.globals.lookup(state.names.RULE_MARKER);
    return marker ? file.contains(marker.get()) : -1;
}

// ---------------------------------------------------------------------------
// RuleInjector bodies
// ---------------------------------------------------------------------------

/// RuleInjector.__init__: remember where the skill templates are.
[[nodiscard]] Ref init_body(PyObject* self, PyObject* templates_dir) noexcept {
    const Names& n = state.names;
    // if templates_dir is not None: self.templates_dir = templates_dir
    if (templates_dir != Py_None) {
        if (PyObject_SetAttr(self, n.templates_dir, templates_dir) < 0) {
            return fail(kInitFunction, line::kStoreGivenDir);
        }
        return Ref::borrow(Py_None);
    }
    // else: self.templates_dir = get_builtin_templates_dir()
    Ref locate = state.globals.lookup(n.get_builtin_templates_dir);
    if (!locate) return fail(kInitFunction, line::kStoreBuiltinDir);
    Ref builtin_dir = Ref::steal(PyObject_CallNoArgs(locate.get()));
    if (!builtin_dir || PyObject_SetAttr(self, n.templates_dir, builtin_dir.get()) < 0) {
        return fail(kInitFunction, line::kStoreBuiltinDir);
    }
    return Ref::borrow(Py_None);
}

/// RuleInjector._load_rule_content: the template's rule file, else the built-in text.
[[nodiscard]] Ref load_rule_content_body(PyObject* self) noexcept {
    const Names& n = state.names;
    // rule_file = self.templates_dir / _RULE_SOURCE_RELATIVE
    TextFile rule_file;
    {
        Ref templates_dir = Ref::steal(PyObject_GetAttr(self, n.templates_dir));
        if (!templates_dir) return fail(kLoadFunction, line::kRuleFile);
        Ref relative = state.globals.lookup(n._RULE_SOURCE_RELATIVE);
        if (!relative) return fail(kLoadFunction, line::kRuleFile);
        int named = open_joined_by_name(rule_file, templates_dir.get(), relative.get());
        if (named < 0) return fail(kLoadFunction, line::kRuleFile);
        if (named == 0) {
            Ref path = Ref::steal(PyNumber_TrueDivide(templates_dir.get(), relative.get()));
            if (!path) return fail(kLoadFunction, line::kRuleFile);
            if (rule_file.open(std::move(path)) < 0) {
                return fail(kLoadFunction, line::kRuleFileExists);
            }
        }
    }
    // if rule_file.exists(): return rule_file.read_text(encoding="utf-8").strip()
    TextFile::Stage failed = TextFile::Stage::Test;
    int present = rule_file.read(failed);
    if (present < 0) {
        return fail(kLoadFunction, line_of(failed, line::kRuleFileExists, line::kReadRuleFile));
    }
    if (present) {
        Ref text = rule_file.text();
        Ref rule = text ? stripped_rule_text(text.get()) : Ref{};
        if (!rule) return fail(kLoadFunction, line::kReadRuleFile);
        return rule;
    }
    // return _DEFAULT_RULE_CONTENT.strip()
    Ref builtin = state.globals.lookup(n._DEFAULT_RULE_CONTENT);
    Ref rule = builtin ? stripped_rule_text(builtin.get()) : Ref{};
    if (!rule) return fail(kLoadFunction, line::kBuiltinRule);
    return rule;
}

/// RuleInjector.inject: append the rule block to the runtime's configuration file once.
[[nodiscard]] Ref inject_body(PyObject* self, PyObject* target_runtime,
                              PyObject* target_skills_dir) noexcept {
    // config_filename = RUNTIME_CONFIG_FILES.get(target_runtime)
    Ref config_filename = runtime_config_filename(target_runtime);
    if (!config_filename) return fail(kInjectFunction, line::kConfigFilename);
    // if not config_filename: return None
    int known = is_true(config_filename.get());
    if (known < 0) return fail(kInjectFunction, line::kUnknownRuntime);
    if (!known) return Ref::borrow(Py_None);

    // config_path = target_skills_dir.parent / config_filename
    Ref config_path = config_path_for(target_skills_dir, config_filename.get());
    if (!config_path) return fail(kInjectFunction, line::kConfigPath);

    // if config_path.exists(): existing_content = config_path.read_text(encoding="utf-8")
    TextFile config;
    if (config.open(config_path.dup()) < 0) return fail(kInjectFunction, line::kConfigExists);
    TextFile::Stage failed = TextFile::Stage::Test;
    int existed = config.read(failed);
    if (existed < 0) {
        return fail(kInjectFunction, line_of(failed, line::kConfigExists, line::kReadConfig));
    }
    //     if RULE_MARKER in existing_content: return config_path
    if (existed) {
        int has_marker = contains_marker(config);
        if (has_marker < 0) return fail(kInjectFunction, line::kMarkerPresent);
        if (has_marker) return config_path;
    }

    // rule_content = self._load_rule_content(); if not rule_content: return None
    Ref rule_content = call_method(self, state.names._load_rule_content);
    if (!rule_content) return fail(kInjectFunction, line::kLoadRule);
    int has_rule = is_true(rule_content.get());
    if (has_rule < 0) return fail(kInjectFunction, line::kNoRule);
    if (!has_rule) return Ref::borrow(Py_None);

    // new_content = existing_content + f"\n\n{RULE_MARKER}\n\n{rule_content}\n"
    // config_path.parent.mkdir(parents=True, exist_ok=True)
    // config_path.write_text(new_content, encoding="utf-8")
    Ref marker = state.globals.lookup(state.names.RULE_MARKER);
    if (!marker) return fail(kInjectFunction, line::kNewContent);
    if (config.append_block(marker.get(), rule_content.get(), failed) < 0) {
        return fail(kInjectFunction, line_of(failed, line::kReadConfig, line::kReadConfig));
    }
    return config_path;
}

// ---------------------------------------------------------------------------
// Entry functions: bind, check, run the body
// ---------------------------------------------------------------------------

/// Hands a body's result to the interpreter; debug builds check that an empty
/// result and a pending exception go together.
[[nodiscard]] PyObject* finish(Ref result) noexcept {
    assert(static_cast<bool>(result) == (PyErr_Occurred() == nullptr));
    return result.release();
}

// Each entry first takes the common call, every parameter given once in declaration
// order (positionally, then by the interned keyword names): the caller's references live
// for the whole call, so the body uses them as they are, with nothing bound or released.
// A call that does not bind adds the entry of the definition line, where it entered.

PyObject* init_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    const py::Signature& signature = state.init_signature;
    if ((kwnames == nullptr && nargs == 2) || py::binds_in_order(signature, nargs, kwnames)) {
        return finish(init_body(args[0], args[1]));
    }
    Slots<2> bound;
    if (py::bind_arguments(signature, args, nargs, kwnames, bound.items) < 0) {
        return finish(fail(kInitFunction, line::kDefineInit));
    }
    return finish(init_body(bound[0], bound[1]));
}

PyObject* inject_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    const py::Signature& signature = state.inject_signature;
    if (((kwnames == nullptr && nargs == 3) || py::binds_in_order(signature, nargs, kwnames)) &&
        PyUnicode_CheckExact(args[1])) {
        return finish(inject_body(args[0], args[1], args[2]));
    }
    Slots<3> bound;
    if (py::bind_arguments(signature, args, nargs, kwnames, bound.items) < 0) {
        return finish(fail(kInjectFunction, line::kDefineInject));
    }
    // The type check comes before the call enters, as a compiled signature's would.
    if (py::check_exact_str(bound[1], "target_runtime", texts::kSubclassNote) < 0) return nullptr;
    return finish(inject_body(bound[0], bound[1], bound[2]));
}

PyObject* load_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    const py::Signature& signature = state.load_signature;
    if ((kwnames == nullptr && nargs == 1) || py::binds_in_order(signature, nargs, kwnames)) {
        return finish(load_rule_content_body(args[0]));
    }
    Slots<1> bound;
    if (py::bind_arguments(signature, args, nargs, kwnames, bound.items) < 0) {
        return finish(fail(kLoadFunction, line::kDefineLoad));
    }
    return finish(load_rule_content_body(bound[0]));
}

PyMethodDef method_records[] = {
    {"__init__", py::as_pycfunction(init_entry), METH_FASTCALL | METH_KEYWORDS, texts::kInitDoc},
    {"inject", py::as_pycfunction(inject_entry), METH_FASTCALL | METH_KEYWORDS, texts::kInjectDoc},
    {"_load_rule_content", py::as_pycfunction(load_entry), METH_FASTCALL | METH_KEYWORDS,
     texts::kLoadDoc},
};

// ---------------------------------------------------------------------------
// Exec step
// ---------------------------------------------------------------------------

/// Builds one method's function object and stores it in the class namespace.
[[nodiscard]] int define_method(PyObject* namespace_, PyMethodDef* record, PyObject* name,
                                PyObject* qualname, PyObject* code, Ref annotations,
                                bool default_none) noexcept {
    if (!annotations) return -1;
    Ref func = py::new_function(state.function_type, record, qualname, state.names.module_full_name,
                                state.module_dict, code);
    if (!func) return -1;
    if (default_none) {
        Ref defaults = Ref::steal(PyTuple_Pack(1, Py_None));
        if (!defaults || py::store_function_defaults(func.get(), defaults.get()) < 0) return -1;
    }
    if (py::store_function_annotations(func.get(), annotations.get()) < 0) return -1;
    return PyDict_SetItem(namespace_, name, func.get());
}

/// A dict from the (key, value) pairs, in order.
[[nodiscard]] Ref make_dict(std::initializer_list<std::pair<PyObject*, PyObject*>> items) noexcept {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return {};
    for (const auto& [key, value] : items) {
        if (PyDict_SetItem(d.get(), key, value) < 0) return {};
    }
    return d;
}

/// class RuleInjector: its namespace, its three methods, and the class made by `type`.
[[nodiscard]] int define_class(PyObject* globals, int& failed_line) noexcept {
    const Names& n = state.names;
    failed_line = line::kClass;
    Ref namespace_ = make_dict({{n.dunder_module, n.module_full_name},
                                {n.dunder_qualname, n.RuleInjector},
                                {n.dunder_doc, state.class_doc}});
    if (!namespace_) return -1;
    failed_line = line::kDefineInit;
    if (define_method(namespace_.get(), &method_records[0], n.dunder_init, n.qualname_init,
                      state.init_code,
                      make_dict({{n.templates_dir, n.ann_path_or_none}, {n.return_, n.ann_none}}),
                      true) < 0) {
        return -1;
    }
    failed_line = line::kDefineInject;
    if (define_method(namespace_.get(), &method_records[1], n.inject, n.qualname_inject,
                      state.inject_code,
                      make_dict({{n.target_runtime, n.ann_str},
                                 {n.target_skills_dir, n.Path},
                                 {n.return_, n.ann_path_or_none}}),
                      false) < 0) {
        return -1;
    }
    failed_line = line::kDefineLoad;
    if (define_method(namespace_.get(), &method_records[2], n._load_rule_content, n.qualname_load,
                      state.load_code, make_dict({{n.return_, n.ann_str_or_none}}), false) < 0) {
        return -1;
    }
    failed_line = line::kClass;
    Ref cls = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type),
                                                      n.RuleInjector, state.empty_tuple,
                                                      namespace_.get(), nullptr));
    if (!cls || PyDict_SetItem(globals, n.RuleInjector, cls.get()) < 0) return -1;
    // Class and __init__ are kept for the life of the process (the module never goes).
    PyObject* init = PyDict_GetItemWithError(namespace_.get(), n.dunder_init);
    if (init != nullptr && PyType_Check(cls.get()) &&
        py::add_direct_construction(state.construction, reinterpret_cast<PyTypeObject*>(cls.get()),
                                    init) < 0) {
        return -1;
    }
    return 0;
}

/// Runs the module body; on failure returns the line of the failing statement.
[[nodiscard]] int run_module_body() noexcept {
    const Names& n = state.names;
    PyObject* globals = state.module_dict;

    // from pathlib import Path; from kestrix.skills.packaging import get_builtin_templates_dir
    if (state.globals.import_name(n.pathlib, n.Path) < 0) return line::kImportPath;
    if (state.globals.import_name(n.host_packaging, n.get_builtin_templates_dir) < 0) {
        return line::kImportHost;
    }
    // RUNTIME_CONFIG_FILES = {...}
    {
        Ref table = make_dict({{n.claude, n.claude_md},
                               {n.openclaw, n.agents_md},
                               {n.codex, n.agents_md},
                               {n.opencode, n.agents_md}});
        if (!table) return line::kBuildRuntimeTable;
        if (PyDict_SetItem(globals, n.RUNTIME_CONFIG_FILES, table.get()) < 0) {
            return line::kBindRuntimeTable;
        }
    }
    // RULE_MARKER = "..."
    if (PyDict_SetItem(globals, n.RULE_MARKER, state.rule_marker) < 0) return line::kBindMarker;
    // _RULE_SOURCE_RELATIVE = Path("kestrix-feedback") / "data" / "FEEDBACK_RULE.md"
    {
        Ref path_type = state.globals.lookup(n.Path);
        if (!path_type) return line::kRuleSource;
        Ref source = Ref::steal(PyObject_CallOneArg(path_type.get(), n.kestrix_feedback));
        if (!source) return line::kRuleSource;
        source = Ref::steal(PyNumber_TrueDivide(source.get(), n.data));
        if (!source) return line::kRuleSource;
        source = Ref::steal(PyNumber_TrueDivide(source.get(), n.feedback_rule_md));
        if (!source || PyDict_SetItem(globals, n._RULE_SOURCE_RELATIVE, source.get()) < 0) {
            return line::kRuleSource;
        }
    }
    // class RuleInjector: ...
    int class_line = 0;
    if (define_class(globals, class_line) < 0) return class_line;
    // _DEFAULT_RULE_CONTENT = """..."""
    if (PyDict_SetItem(globals, n._DEFAULT_RULE_CONTENT, state.default_rule) < 0) {
        return line::kDefaultRule;
    }
    Ref tests = Ref::steal(PyDict_New());
    if (!tests || PyDict_SetItem(globals, n.dunder_test, tests.get()) < 0) return line::kModule;
    return 0;
}

/// Forgets the module after a failed exec step, so a later import runs it again.
void drop_module() noexcept {
    Py_CLEAR(state.module_dict);
    Py_CLEAR(state.module);
}

/// Stores the module and checks the version.
[[nodiscard]] int prepare(PyObject* module) noexcept {
    state.module = Py_NewRef(module);
    state.module_dict = Py_XNewRef(PyModule_GetDict(module));
    if (state.module_dict == nullptr) return -1;
    if (state.builtins == nullptr &&
        (state.builtins = PyImport_AddModuleRef("builtins")) == nullptr) {
        return -1;
    }
    if (PyModule_AddObjectRef(module, "__builtins__", state.builtins) < 0) return -1;
    state.globals.bind(state.module_dict, state.builtins);
    state.tracebacks.bind(texts::kSourceFile, state.module_dict);
    return py::warn_unless_built_for(texts::kModuleName, texts::kCompiledMajor,
                                     texts::kCompiledMinor);
}

int module_exec(PyObject* module) noexcept {
    if (state.module != nullptr) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError, texts::kReimported);
        return -1;
    }
    if (prepare(module) < 0) {
        drop_module();
        return -1;
    }
    int inserted = 0;
    int failed_line =
        make_module_state() < 0 ||
                (inserted = py::add_to_sys_modules(state.names.module_full_name, module)) < 0
            ? line::kModule
            : run_module_body();
    if (failed_line == 0) return 0;

    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, texts::kExecFunction);
    state.tracebacks.add(texts::kExecFunction, failed_line);
    if (inserted > 0) py::remove_from_sys_modules(state.names.module_full_name, module);
    drop_module();
    return -1;
}

// ---------------------------------------------------------------------------
// Create step and module definition
// ---------------------------------------------------------------------------

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    std::int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (current == -1) return nullptr;
    if (state.interpreter_id == -1) {
        state.interpreter_id = current;
    } else if (state.interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError, texts::kOtherInterpreter);
        return nullptr;
    }
    if (state.module != nullptr) return Py_NewRef(state.module);
    if (state.shut_down) {
        PyErr_SetString(PyExc_ImportError, texts::kShutDown);
        return nullptr;
    }

    return py::module_from_spec(spec).release();
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "rule_injector",    // m_name
    texts::kModuleDoc,  // m_doc
    0,                  // m_size: all state is process-wide
    nullptr,            // m_methods
    module_slots,       // m_slots
    // The process-wide state lives on; these give it up at the interpreter's shutdown only.
    traverse_module_state,  // m_traverse
    clear_module_state,     // m_clear
    nullptr,                // m_free
};

}  // namespace
}  // namespace kestrix

PyMODINIT_FUNC PyInit_rule_injector(void) { return PyModuleDef_Init(&kestrix::module_def); }
