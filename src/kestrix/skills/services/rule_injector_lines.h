// The source lines of rule_injector as a Python module would have them: the line each
// failing statement reports in a traceback, and the spans the methods' code objects map
// their instructions to, built from those lines.
#pragma once

#include <iterator>

#include "support/py/code_objects.h"

namespace kestrix {

// Source lines that traceback entries report, one per statement.
namespace line {
// Module body.
inline constexpr int kModule = 1;
inline constexpr int kImportPath = 9;
inline constexpr int kImportHost = 11;
inline constexpr int kBindRuntimeTable = 14;
inline constexpr int kBuildRuntimeTable = 15;
inline constexpr int kBindMarker = 22;
inline constexpr int kRuleSource = 25;
inline constexpr int kClass = 28;
inline constexpr int kDefineInit = 36;
inline constexpr int kDefineInject = 47;
inline constexpr int kDefineLoad = 88;
inline constexpr int kDefaultRule = 102;
// __init__.
inline constexpr int kGivenDir = 42;
inline constexpr int kStoreGivenDir = 43;
inline constexpr int kStoreBuiltinDir = 45;
// inject.
inline constexpr int kConfigFilename = 63;
inline constexpr int kUnknownRuntime = 64;
inline constexpr int kReturnUnknown = 65;
inline constexpr int kConfigPath = 68;
inline constexpr int kEmptyContent = 71;
inline constexpr int kConfigExists = 72;
inline constexpr int kReadConfig = 73;
inline constexpr int kMarkerPresent = 74;
inline constexpr int kReturnExisting = 75;
inline constexpr int kLoadRule = 78;
inline constexpr int kNoRule = 79;
inline constexpr int kReturnNoRule = 80;
inline constexpr int kNewContent = 83;
inline constexpr int kMakeDirectory = 84;
inline constexpr int kWriteConfig = 85;
inline constexpr int kReturnPath = 86;
// _load_rule_content.
inline constexpr int kRuleFile = 93;
inline constexpr int kRuleFileExists = 94;
inline constexpr int kReadRuleFile = 95;
inline constexpr int kBuiltinRule = 98;
}  // namespace line

// Rows are {line, start column, end column, code units}; the comment shows the token.
// Each table must encode to the length its method's code object is built for, and its
// code units must fill the byte code that length calls for (checked below).

/// `__init__`.
inline constexpr py::SourceSpan kInitSpans[] = {
    {line::kDefineInit, 0, 0, 1},         // the definition line, where the call enters
    {line::kGivenDir, 11, 24, 1},         // templates_dir
    {line::kGivenDir, 32, 36, 1},         // None
    {line::kGivenDir, 11, 36, 1},         // templates_dir is not None
    {line::kGivenDir, 11, 36, 2},         // templates_dir is not None
    {line::kStoreGivenDir, 33, 46, 1},    // templates_dir
    {line::kStoreGivenDir, 12, 16, 1},    // self
    {line::kStoreGivenDir, 12, 30, 8},    // self.templates_dir
    {line::kStoreGivenDir, 12, 30, 1},    // self.templates_dir
    {line::kStoreBuiltinDir, 33, 58, 8},  // get_builtin_templates_dir
    {line::kStoreBuiltinDir, 33, 60, 7},  // get_builtin_templates_dir()
    {line::kStoreBuiltinDir, 12, 16, 1},  // self
    {line::kStoreBuiltinDir, 12, 30, 8},  // self.templates_dir
    {line::kStoreBuiltinDir, 12, 30, 1},  // self.templates_dir
};

/// `inject`.
inline constexpr py::SourceSpan kInjectSpans[] = {
    {line::kDefineInject, 0, 0, 1},      // the definition line, where the call enters
    {line::kConfigFilename, 26, 46, 8},  // RUNTIME_CONFIG_FILES
    {line::kConfigFilename, 26, 50, 8},  // RUNTIME_CONFIG_FILES.get
    {line::kConfigFilename, 51, 65, 1},  // target_runtime
    {line::kConfigFilename, 26, 66, 6},  // RUNTIME_CONFIG_FILES.get(target_runtime)
    {line::kConfigFilename, 8, 23, 1},   // config_filename
    {line::kUnknownRuntime, 15, 30, 1},  // config_filename
    {line::kUnknownRuntime, 15, 30, 8},  // config_filename
    {line::kReturnUnknown, 19, 23, 1},   // None
    {line::kConfigPath, 22, 39, 1},      // target_skills_dir
    {line::kConfigPath, 22, 46, 8},      // target_skills_dir.parent
    {line::kConfigPath, 49, 64, 1},      // config_filename
    {line::kConfigPath, 22, 64, 2},      // target_skills_dir.parent / config_fil...
    {line::kConfigPath, 8, 19, 1},       // config_path
    {line::kEmptyContent, 27, 29, 1},    // ""
    {line::kEmptyContent, 8, 24, 1},     // existing_content
    {line::kConfigExists, 11, 22, 1},    // config_path
    {line::kConfigExists, 11, 29, 8},    // config_path.exists
    {line::kConfigExists, 11, 31, 8},    // config_path.exists()
    {line::kReadConfig, 31, 42, 1},      // config_path
    {line::kReadConfig, 31, 52, 8},      // config_path.read_text
    {line::kReadConfig, 62, 69, 1},      // "utf-8"
    {line::kReadConfig, 31, 70, 1},      // config_path.read_text(encoding="utf-8")
    {line::kReadConfig, 12, 28, 1},      // existing_content
    {line::kMarkerPresent, 15, 26, 8},   // RULE_MARKER
    {line::kMarkerPresent, 30, 46, 1},   // existing_content
    {line::kMarkerPresent, 15, 46, 4},   // RULE_MARKER in existing_content
    {line::kReturnExisting, 23, 34, 1},  // config_path
    {line::kReturnExisting, 16, 34, 1},  // return config_path
    {line::kLoadRule, 23, 27, 1},        // self
    {line::kLoadRule, 23, 46, 8},        // self._load_rule_content
    {line::kLoadRule, 23, 48, 4},        // self._load_rule_content()
    {line::kLoadRule, 8, 20, 1},         // rule_content
    {line::kNoRule, 15, 27, 8},          // rule_content
    {line::kReturnNoRule, 19, 23, 1},    // None
    {line::kNewContent, 22, 38, 1},      // existing_content
    {line::kNewContent, 43, 47, 1},      // \n\n
    {line::kNewContent, 48, 59, 8},      // RULE_MARKER
    {line::kNewContent, 47, 60, 1},      // {RULE_MARKER}
    {line::kNewContent, 60, 64, 1},      // \n\n
    {line::kNewContent, 65, 77, 1},      // rule_content
    {line::kNewContent, 64, 78, 1},      // {rule_content}
    {line::kNewContent, 78, 80, 1},      // \n
    {line::kNewContent, 41, 81, 1},      // f"\n\n{RULE_MARKER}\n\n{rule_content}\n"
    {line::kNewContent, 22, 81, 2},      // existing_content + f"\n\n{RULE_MARKER...
    {line::kNewContent, 8, 19, 1},       // new_content
    {line::kMakeDirectory, 8, 19, 1},    // config_path
    {line::kMakeDirectory, 8, 26, 8},    // config_path.parent
    {line::kMakeDirectory, 8, 32, 8},    // config_path.parent.mkdir
    {line::kMakeDirectory, 41, 45, 1},   // True
    {line::kMakeDirectory, 56, 60, 1},   // True
    {line::kMakeDirectory, 8, 32, 1},    // config_path.parent.mkdir
    {line::kMakeDirectory, 8, 61, 2},    // config_path.parent.mkdir(parents=True...
    {line::kWriteConfig, 8, 19, 1},      // config_path
    {line::kWriteConfig, 8, 30, 8},      // config_path.write_text
    {line::kWriteConfig, 31, 42, 1},     // new_content
    {line::kWriteConfig, 53, 60, 1},     // "utf-8"
    {line::kWriteConfig, 8, 30, 1},      // config_path.write_text
    {line::kWriteConfig, 8, 61, 2},      // config_path.write_text(new_content, e...
    {line::kReturnPath, 15, 26, 1},      // config_path
    {line::kReturnPath, 8, 26, 1},       // return config_path
};

/// `_load_rule_content`.
inline constexpr py::SourceSpan kLoadSpans[] = {
    {line::kDefineLoad, 0, 0, 1},        // the definition line, where the call enters
    {line::kRuleFile, 20, 24, 1},        // self
    {line::kRuleFile, 20, 38, 5},        // self.templates_dir
    {line::kRuleFile, 41, 62, 5},        // _RULE_SOURCE_RELATIVE
    {line::kRuleFile, 20, 62, 2},        // self.templates_dir / _RULE_SOURCE_REL...
    {line::kRuleFile, 8, 17, 1},         // rule_file
    {line::kRuleFileExists, 11, 27, 5},  // rule_file.exists
    {line::kRuleFileExists, 11, 29, 5},  // rule_file.exists()
    {line::kReadRuleFile, 19, 28, 1},    // rule_file
    {line::kReadRuleFile, 19, 38, 5},    // rule_file.read_text
    {line::kReadRuleFile, 19, 56, 1},    // rule_file.read_text(encoding="utf-8")
    {line::kReadRuleFile, 19, 62, 5},    // rule_file.read_text(encoding="utf-8")...
    {line::kReadRuleFile, 19, 64, 4},    // rule_file.read_text(encoding="utf-8")...
    {line::kReadRuleFile, 12, 64, 1},    // return rule_file.read_text(encoding="...
    {line::kBuiltinRule, 15, 36, 5},     // _DEFAULT_RULE_CONTENT
    {line::kBuiltinRule, 15, 42, 6},     // _DEFAULT_RULE_CONTENT.strip
    {line::kBuiltinRule, 15, 44, 4},     // _DEFAULT_RULE_CONTENT.strip()
    {line::kBuiltinRule, 8, 44, 1},      // return _DEFAULT_RULE_CONTENT.strip()
};

namespace span_checks {
using py::locations::spans_are_valid;
using py::locations::spans_fill_code;
using py::locations::table_size;

static_assert(spans_are_valid(kInitSpans, std::size(kInitSpans)));
static_assert(spans_are_valid(kInjectSpans, std::size(kInjectSpans)));
static_assert(spans_are_valid(kLoadSpans, std::size(kLoadSpans)));
static_assert(table_size(line::kDefineInit, kInitSpans, std::size(kInitSpans)) == 40);
static_assert(table_size(line::kDefineInject, kInjectSpans, std::size(kInjectSpans)) == 173);
static_assert(table_size(line::kDefineLoad, kLoadSpans, std::size(kLoadSpans)) == 56);
static_assert(spans_fill_code(line::kDefineInit, kInitSpans, std::size(kInitSpans)));
static_assert(spans_fill_code(line::kDefineInject, kInjectSpans, std::size(kInjectSpans)));
static_assert(spans_fill_code(line::kDefineLoad, kLoadSpans, std::size(kLoadSpans)));
// Each method's spans start at its definition line, where a call enters.
static_assert(kInitSpans[0].line == line::kDefineInit);
static_assert(kInjectSpans[0].line == line::kDefineInject);
static_assert(kLoadSpans[0].line == line::kDefineLoad);
// The lines a method reports lie inside it: after its own definition, before the next one.
static_assert(line::kStoreBuiltinDir < line::kDefineInject);
static_assert(line::kReturnPath < line::kDefineLoad);
static_assert(line::kBuiltinRule < line::kDefaultRule);
}  // namespace span_checks

}  // namespace kestrix
