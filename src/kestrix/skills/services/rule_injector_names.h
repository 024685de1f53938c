// The names rule_injector uses: attribute, keyword, parameter and global names (interned,
// looked up by identity) and the texts it uses as values, each made once.
#pragma once

#include <Python.h>

#include "support/py/names.h"

namespace kestrix {

// X(field, text): one interned `str` per row, made and hashed once in exec.
#define RULE_INJECTOR_NAMES(X)                                \
    X(dunder_builtins, "__builtins__")                        \
    X(dunder_module, "__module__")                            \
    X(dunder_qualname, "__qualname__")                        \
    X(dunder_doc, "__doc__")                                  \
    X(dunder_init, "__init__")                                \
    X(dunder_test, "__test__")                                \
    X(Path, "Path")                                           \
    X(get_builtin_templates_dir, "get_builtin_templates_dir") \
    X(RUNTIME_CONFIG_FILES, "RUNTIME_CONFIG_FILES")           \
    X(RULE_MARKER, "RULE_MARKER")                             \
    X(_RULE_SOURCE_RELATIVE, "_RULE_SOURCE_RELATIVE")         \
    X(_DEFAULT_RULE_CONTENT, "_DEFAULT_RULE_CONTENT")         \
    X(RuleInjector, "RuleInjector")                           \
    X(inject, "inject")                                       \
    X(_load_rule_content, "_load_rule_content")               \
    X(self, "self")                                           \
    X(templates_dir, "templates_dir")                         \
    X(target_runtime, "target_runtime")                       \
    X(target_skills_dir, "target_skills_dir")                 \
    X(config_filename, "config_filename")                     \
    X(config_path, "config_path")                             \
    X(existing_content, "existing_content")                   \
    X(rule_content, "rule_content")                           \
    X(new_content, "new_content")                             \
    X(rule_file, "rule_file")                                 \
    X(get, "get")                                             \
    X(parent, "parent")                                       \
    X(exists, "exists")                                       \
    X(read_text, "read_text")                                 \
    X(write_text, "write_text")                               \
    X(mkdir, "mkdir")                                         \
    X(unlink, "unlink")                                       \
    X(with_name, "with_name")                                 \
    X(strip, "strip")                                         \
    X(encoding, "encoding")                                   \
    X(parents, "parents")                                     \
    X(exist_ok, "exist_ok")                                   \
    X(return_, "return")

// X(field, text): texts the module uses as values (module and qualified names, table entries,
// annotations): made and hashed once in exec, not interned.
#define RULE_INJECTOR_TEXTS(X)                                   \
    X(module_full_name, "kestrix.skills.services.rule_injector") \
    X(pathlib, "pathlib")                                        \
    X(host_packaging, "kestrix.skills.packaging")                \
    X(qualname_init, "RuleInjector.__init__")                    \
    X(qualname_inject, "RuleInjector.inject")                    \
    X(qualname_load, "RuleInjector._load_rule_content")          \
    X(claude, "claude")                                          \
    X(openclaw, "openclaw")                                      \
    X(codex, "codex")                                            \
    X(opencode, "opencode")                                      \
    X(claude_md, "CLAUDE.md")                                    \
    X(agents_md, "AGENTS.md")                                    \
    X(kestrix_feedback, "kestrix-feedback")                      \
    X(data, "data")                                              \
    X(feedback_rule_md, "FEEDBACK_RULE.md")                      \
    X(utf_8, "utf-8")                                            \
    X(ann_path_or_none, "Path | None")                           \
    X(ann_none, "None")                                          \
    X(ann_str, "str")                                            \
    X(ann_str_or_none, "str | None")

/// One `str` per row of the two lists, kept for the life of the process.
struct Names {
#define RULE_INJECTOR_NAME_FIELD(field, text) PyObject* field = nullptr;
    RULE_INJECTOR_NAMES(RULE_INJECTOR_NAME_FIELD)
    RULE_INJECTOR_TEXTS(RULE_INJECTOR_NAME_FIELD)
#undef RULE_INJECTOR_NAME_FIELD
};

/// The rows that make the names: interned first, then the value texts.
inline constexpr py::NameRow<Names> kNameRows[] = {
#define RULE_INJECTOR_NAME_ROW(field, text) {&Names::field, text, true},
#define RULE_INJECTOR_TEXT_ROW(field, text) {&Names::field, text, false},
    RULE_INJECTOR_NAMES(RULE_INJECTOR_NAME_ROW) RULE_INJECTOR_TEXTS(RULE_INJECTOR_TEXT_ROW)
#undef RULE_INJECTOR_TEXT_ROW
#undef RULE_INJECTOR_NAME_ROW
};

}  // namespace kestrix
