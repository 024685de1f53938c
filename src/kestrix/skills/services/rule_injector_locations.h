// Source spans that the methods' code objects report, one row per run of instructions.
#pragma once

#include <Python.h>

#include <iterator>

#include "support/py/code_objects.h"

namespace kestrix {

// Rows are {line, start column, end column, code units}; the comment shows the token.
// Each table must encode to the length its method's code object is built for, and its
// code units must fill the byte code that length calls for (checked below).

/// `__init__`, first line 36.
inline constexpr support::SourceSpan kInitLocations[] = {
    {36, 0, 0, 1},    // the definition line, where the call enters
    {42, 11, 24, 1},  // templates_dir
    {42, 32, 36, 1},  // None
    {42, 11, 36, 1},  // templates_dir is not None
    {42, 11, 36, 2},  // templates_dir is not None
    {43, 33, 46, 1},  // templates_dir
    {43, 12, 16, 1},  // self
    {43, 12, 30, 8},  // self.templates_dir
    {43, 12, 30, 1},  // self.templates_dir
    {45, 33, 58, 8},  // get_builtin_templates_dir
    {45, 33, 60, 7},  // get_builtin_templates_dir()
    {45, 12, 16, 1},  // self
    {45, 12, 30, 8},  // self.templates_dir
    {45, 12, 30, 1},  // self.templates_dir
};

/// `inject`, first line 47.
inline constexpr support::SourceSpan kInjectLocations[] = {
    {47, 0, 0, 1},    // the definition line, where the call enters
    {63, 26, 46, 8},  // RUNTIME_CONFIG_FILES
    {63, 26, 50, 8},  // RUNTIME_CONFIG_FILES.get
    {63, 51, 65, 1},  // target_runtime
    {63, 26, 66, 6},  // RUNTIME_CONFIG_FILES.get(target_runtime)
    {63, 8, 23, 1},   // config_filename
    {64, 15, 30, 1},  // config_filename
    {64, 15, 30, 8},  // config_filename
    {65, 19, 23, 1},  // None
    {68, 22, 39, 1},  // target_skills_dir
    {68, 22, 46, 8},  // target_skills_dir.parent
    {68, 49, 64, 1},  // config_filename
    {68, 22, 64, 2},  // target_skills_dir.parent / config_fil...
    {68, 8, 19, 1},   // config_path
    {71, 27, 29, 1},  // ""
    {71, 8, 24, 1},   // existing_content
    {72, 11, 22, 1},  // config_path
    {72, 11, 29, 8},  // config_path.exists
    {72, 11, 31, 8},  // config_path.exists()
    {73, 31, 42, 1},  // config_path
    {73, 31, 52, 8},  // config_path.read_text
    {73, 62, 69, 1},  // "utf-8"
    {73, 31, 70, 1},  // config_path.read_text(encoding="utf-8")
    {73, 12, 28, 1},  // existing_content
    {74, 15, 26, 8},  // RULE_MARKER
    {74, 30, 46, 1},  // existing_content
    {74, 15, 46, 4},  // RULE_MARKER in existing_content
    {75, 23, 34, 1},  // config_path
    {75, 16, 34, 1},  // return config_path
    {78, 23, 27, 1},  // self
    {78, 23, 46, 8},  // self._load_rule_content
    {78, 23, 48, 4},  // self._load_rule_content()
    {78, 8, 20, 1},   // rule_content
    {79, 15, 27, 8},  // rule_content
    {80, 19, 23, 1},  // None
    {83, 22, 38, 1},  // existing_content
    {83, 43, 47, 1},  // \n\n
    {83, 48, 59, 8},  // RULE_MARKER
    {83, 47, 60, 1},  // {RULE_MARKER}
    {83, 60, 64, 1},  // \n\n
    {83, 65, 77, 1},  // rule_content
    {83, 64, 78, 1},  // {rule_content}
    {83, 78, 80, 1},  // \n
    {83, 41, 81, 1},  // f"\n\n{RULE_MARKER}\n\n{rule_content}\n"
    {83, 22, 81, 2},  // existing_content + f"\n\n{RULE_MARKER...
    {83, 8, 19, 1},   // new_content
    {84, 8, 19, 1},   // config_path
    {84, 8, 26, 8},   // config_path.parent
    {84, 8, 32, 8},   // config_path.parent.mkdir
    {84, 41, 45, 1},  // True
    {84, 56, 60, 1},  // True
    {84, 8, 32, 1},   // config_path.parent.mkdir
    {84, 8, 61, 2},   // config_path.parent.mkdir(parents=True...
    {85, 8, 19, 1},   // config_path
    {85, 8, 30, 8},   // config_path.write_text
    {85, 31, 42, 1},  // new_content
    {85, 53, 60, 1},  // "utf-8"
    {85, 8, 30, 1},   // config_path.write_text
    {85, 8, 61, 2},   // config_path.write_text(new_content, e...
    {86, 15, 26, 1},  // config_path
    {86, 8, 26, 1},   // return config_path
};

/// `_load_rule_content`, first line 88.
inline constexpr support::SourceSpan kLoadLocations[] = {
    {88, 0, 0, 1},    // the definition line, where the call enters
    {93, 20, 24, 1},  // self
    {93, 20, 38, 5},  // self.templates_dir
    {93, 41, 62, 5},  // _RULE_SOURCE_RELATIVE
    {93, 20, 62, 2},  // self.templates_dir / _RULE_SOURCE_REL...
    {93, 8, 17, 1},   // rule_file
    {94, 11, 27, 5},  // rule_file.exists
    {94, 11, 29, 5},  // rule_file.exists()
    {95, 19, 28, 1},  // rule_file
    {95, 19, 38, 5},  // rule_file.read_text
    {95, 19, 56, 1},  // rule_file.read_text(encoding="utf-8")
    {95, 19, 62, 5},  // rule_file.read_text(encoding="utf-8")...
    {95, 19, 64, 4},  // rule_file.read_text(encoding="utf-8")...
    {95, 12, 64, 1},  // return rule_file.read_text(encoding="...
    {98, 15, 36, 5},  // _DEFAULT_RULE_CONTENT
    {98, 15, 42, 6},  // _DEFAULT_RULE_CONTENT.strip
    {98, 15, 44, 4},  // _DEFAULT_RULE_CONTENT.strip()
    {98, 8, 44, 1},   // return _DEFAULT_RULE_CONTENT.strip()
};

namespace location_checks {
using support::locations::spans_are_valid;
using support::locations::spans_fill_code;
using support::locations::table_size;

static_assert(spans_are_valid(kInitLocations, std::size(kInitLocations)));
static_assert(spans_are_valid(kInjectLocations, std::size(kInjectLocations)));
static_assert(spans_are_valid(kLoadLocations, std::size(kLoadLocations)));
static_assert(table_size(36, kInitLocations, std::size(kInitLocations)) == 40);
static_assert(table_size(47, kInjectLocations, std::size(kInjectLocations)) == 173);
static_assert(table_size(88, kLoadLocations, std::size(kLoadLocations)) == 56);
static_assert(spans_fill_code(36, kInitLocations, std::size(kInitLocations)));
static_assert(spans_fill_code(47, kInjectLocations, std::size(kInjectLocations)));
static_assert(spans_fill_code(88, kLoadLocations, std::size(kLoadLocations)));
}  // namespace location_checks

}  // namespace kestrix
