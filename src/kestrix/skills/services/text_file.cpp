#include "text_file.h"

#include <cstring>
#include <utility>

#include "module_state.h"
#include "rule_injector_texts.h"
#include "support/os/folder.h"
#include "support/os/journal.h"
#include "support/os/write.h"
#include "support/pathlib/plain_path.h"
#include "support/pathlib/text_mode.h"
#include "support/py/calls.h"
#include "support/py/errors.h"

namespace kestrix {

namespace {

using py::as_text;
using py::call_method;
using py::is_true;
using py::Ref;

/// obj.name(*positional, encoding="utf-8").
[[nodiscard]] Ref call_method_utf8(PyObject* obj, PyObject* name, PyObject* positional) noexcept {
    // Slot 0 is scratch space the callee may use (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* stack[4] = {nullptr, obj, positional, state.names.utf_8};
    size_t nargs = 1;
    if (positional == nullptr) {
        stack[2] = state.names.utf_8;
    } else {
        nargs = 2;
    }
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, state.encoding_kwnames));
}

/// The file calls as this module makes them: audited, interruptible, its temporary files
/// named after it.
[[nodiscard]] os::Hooks file_hooks() noexcept {
    return py::interpreter_hooks(texts::kTemporaryPrefix);
}

/// Times a write may find the file changed by someone else and read it again.
constexpr int kWriteAttempts = 8;

/// True when the first line end in `data` is CR LF.
[[nodiscard]] bool first_line_end_is_crlf(const char* data, std::size_t size) noexcept {
    if (size == 0) return false;  // a new file: no bytes, perhaps no buffer at all
    const auto* lf = static_cast<const char*>(std::memchr(data, '\n', size));
    return lf != nullptr && lf != data && lf[-1] == '\r';
}

/// "\n\n", the marker, "\n\n", the rule and "\n" in UTF-8 into `out`, with every LF that
/// has no CR before it written as CR LF when `crlf`. False when out of memory.
[[nodiscard]] bool build_block(os::Buffer& out, const char* marker, std::size_t marker_size,
                               const char* rule, std::size_t rule_size, bool crlf) noexcept {
    const os::Bytes pieces[] = {
        {"\n\n", 2}, {marker, marker_size}, {"\n\n", 2}, {rule, rule_size}, {"\n", 1}};
    std::size_t most = 0;
    for (const os::Bytes& piece : pieces) most += piece.size * (crlf ? 2 : 1);
    out.clear();
    if (!out.reserve(most)) return false;
    char previous = '\0';  // the block's own line ends: the text before it is not looked at
    for (const os::Bytes& piece : pieces) {
        if (!crlf) {
            std::memcpy(out.spare(), piece.data, piece.size);
            out.grow(piece.size);
            continue;
        }
        char* to = out.spare();
        for (std::size_t i = 0; i < piece.size; ++i) {
            if (piece.data[i] == '\n' && previous != '\r') *to++ = '\r';
            previous = *to++ = piece.data[i];
        }
        out.grow(static_cast<std::size_t>(to - out.spare()));
    }
    return true;
}

/// The file's old text, then the marker and the rule, each behind a blank line.
[[nodiscard]] Ref build_new_content(PyObject* existing, PyObject* marker, PyObject* rule) noexcept {
    Ref pieces = Ref::steal(PyTuple_New(6));
    if (!pieces) return {};
    PyObject* sources[6] = {existing, state.two_line_feeds, marker, state.two_line_feeds,
                            rule,     state.line_feed};
    for (Py_ssize_t i = 0; i < 6; ++i) {
        Ref text = as_text(sources[i]);
        if (!text) return {};
        PyTuple_SET_ITEM(pieces.get(), i, text.release());
    }
    // Join checks that the total length fits a str.
    return Ref::steal(PyUnicode_Join(state.empty_str, pieces.get()));
}

/// config_path.parent.mkdir(parents=True, exist_ok=True).
[[nodiscard]] int make_folder_through_methods(PyObject* config_path) noexcept {
    Ref folder = Ref::steal(PyObject_GetAttr(config_path, state.names.parent));
    if (!folder) return -1;
    PyObject* stack[4] = {nullptr, folder.get(), Py_True, Py_True};
    Ref made = Ref::steal(PyObject_VectorcallMethod(
        state.names.mkdir, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, state.mkdir_kwnames));
    return made ? 0 : -1;
}

/// The UTF-8 of `text`, as a bytes object the caller holds for as long as it uses the bytes.
/// The rule comes back as a new but equal str on every call, and a long text in Chinese
/// costs more to encode than to compare: the last long one is kept, with its text.
[[nodiscard]] Ref utf8_of(PyObject* text) noexcept {
    PyObject* last = state.last_text;
    if (last != nullptr && last == text) return Ref::borrow(state.last_text_utf8);
    if (last != nullptr && PyUnicode_CheckExact(text)) {
        // Equal exact strs compare as bytes (kind and length first), not character by character.
        const int same = PyObject_RichCompareBool(last, text, Py_EQ);
        if (same < 0) return {};
        if (same) return Ref::borrow(state.last_text_utf8);
    }
    Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(text));
    if (utf8 && PyBytes_GET_SIZE(utf8.get()) > 256) {
        Py_XSETREF(state.last_text, Py_NewRef(text));
        Py_XSETREF(state.last_text_utf8, Py_NewRef(utf8.get()));
    }
    return utf8;
}

/// True when the pending exception is one a read of a damaged file gives: the file could not
/// be read, or its bytes are no longer UTF-8.
[[nodiscard]] bool read_failed_on_the_file() noexcept {
    return PyErr_ExceptionMatches(PyExc_OSError) || PyErr_ExceptionMatches(PyExc_ValueError);
}

/// After a failed write_text: puts the file's old text back when it no longer holds it, or
/// removes what the write left of a new file (a cut-off block would carry the marker and stop
/// every later install). The write's error stays the one that propagates; when the file could
/// not be put back, it carries notes that say so and why.
void undo_failed_write(PyObject* config_path, PyObject* existing, bool existed) noexcept {
    py::HeldError write_error("putting the configuration file back");
    bool restored = true;
    if (existed) {
        // A write refused before it began left the file as it was: rewriting it would
        // only lose what read_text does not keep (CR LF line ends, say).
        Ref now = call_method_utf8(config_path, state.names.read_text, nullptr);
        int same = now ? PyObject_RichCompareBool(now.get(), existing, Py_EQ) : -1;
        if (same < 0 && read_failed_on_the_file()) {
            PyErr_Clear();  // unreadable now: the old text is written back regardless
            same = 0;
        }
        if (same == 0) {
            restored =
                static_cast<bool>(call_method_utf8(config_path, state.names.write_text, existing));
        } else if (same < 0) {
            restored = false;
        }
    } else {
        Ref written = call_method(config_path, state.names.exists);
        int left = written ? is_true(written.get()) : -1;
        if (left > 0) restored = static_cast<bool>(call_method(config_path, state.names.unlink));
        else restored = left == 0;
    }
    if (restored) return;
    Ref why = Ref::steal(PyErr_GetRaisedException());
    py::add_note(write_error.get(), PyUnicode_FromString(texts::kNotRestoredNote));
    if (why && !PyErr_Occurred()) {
        py::add_note(write_error.get(),
                     PyUnicode_FromFormat("Putting it back failed with %R", why.get()));
    }
}

}  // namespace

int TextFile::open(Ref path) noexcept {
    path_ = std::move(path);
    through_os_ = false;
    if (!py::kFilesAvailable || !state.plain_paths.accepts(path_.get())) return 0;
    int named = py::fs_name(state.plain_paths.text_of(path_.get()), name_);
    if (named < 0) return -1;
    through_os_ = named > 0;
    return 0;
}

int TextFile::open_named(Ref text) noexcept {
    path_ = Ref{};
    through_os_ = false;
    if (!py::kFilesAvailable) return 0;
    int named = py::fs_name(std::move(text), name_);
    through_os_ = named > 0;
    return named;
}

int TextFile::read(Stage& failed) noexcept {
    text_ = Ref{};
    return through_os_ ? read_through_os(failed) : read_through_methods(failed);
}

int TextFile::read_through_os(Stage& failed) noexcept {
    text_ = Ref{};  // a text made from an earlier read would answer for the old bytes
    os::ReadStage stage = os::ReadStage::Test;
    // Only the configuration file is ever written by us; the rule file, opened by name, is
    // not, and needs no look for a journal.
    int error = os::read_whole_file(name_.c_str(), bytes_, identity_, stage, file_hooks(),
                                    /*written_by_us=*/static_cast<bool>(path_));
    if (error > 0 && stage == os::ReadStage::Test && state.plain_paths.exists_hides_errors()) {
        existed_ = false;  // as Path.exists() says there; the write meets the error itself
        return 0;
    }
    if (error != 0) {
        py::raise_file_error(error, name_.text.get());
        failed = stage == os::ReadStage::Test ? Stage::Test : Stage::Read;
        return -1;
    }
    existed_ = identity_.exists;
    if (!existed_) return 0;
    if (!pathlib::is_strict_utf8(bytes_.data(), bytes_.size())) {
        // The decoder says what is wrong, exactly as read_text would.
        text_ = pathlib::text_mode(bytes_.data(), bytes_.size());
        if (!text_) {
            failed = Stage::Read;
            return -1;
        }
    }
    return 1;
}

/// A change in place that a kill cut short (by either route, or the host command) is put
/// right before the path's own methods read the file, when the path gives a name the OS
/// can be given (os.fspath); a path that gives none is left to its methods. 0, or -1 with
/// an exception set.
[[nodiscard]] int recover_for_methods(PyObject* path) noexcept {
    if (!py::kFilesAvailable) return 0;
    Ref text = Ref::steal(PyOS_FSPath(path));
    if (!text) return py::clear_if(PyExc_Exception) ? 0 : -1;  // its methods will say
    py::FsName name;
    const int named = py::fs_name(std::move(text), name);
    if (named <= 0) return named;
    const int error = os::recover_beside(name.c_str(), file_hooks());
    if (error == 0) return 0;
    py::raise_file_error(error, name.text.get());
    return -1;
}

int TextFile::read_through_methods(Stage& failed) noexcept {
    if (recover_for_methods(path_.get()) < 0) {
        failed = Stage::Read;
        return -1;
    }
    Ref exists = call_method(path_.get(), state.names.exists);
    int present = exists ? is_true(exists.get()) : -1;
    if (present < 0) {
        failed = Stage::Test;
        return -1;
    }
    existed_ = present != 0;
    if (!existed_) return 0;
    text_ = call_method_utf8(path_.get(), state.names.read_text, nullptr);
    if (!text_) {
        failed = Stage::Read;
        return -1;
    }
    return 1;
}

Ref TextFile::text() noexcept {
    if (!text_) {
        text_ = existed_ && through_os_ ? pathlib::text_mode(bytes_.data(), bytes_.size())
                                        : Ref::borrow(state.empty_str);
    }
    return text_.dup();
}

int TextFile::contains(PyObject* marker) noexcept {
    if (through_os_ && !text_ && PyUnicode_CheckExact(marker)) {
        // The bytes answer as the text would, without making a str of the whole file.
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(marker, &size);
        if (utf8 == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
            PyErr_Clear();  // a lone surrogate: only the text can be asked
        } else if (std::memchr(utf8, '\r', static_cast<std::size_t>(size)) == nullptr &&
                   std::memchr(utf8, '\n', static_cast<std::size_t>(size)) == nullptr) {
            return pathlib::contains_bytes(bytes_.data(), bytes_.size(), utf8,
                                           static_cast<std::size_t>(size))
                       ? 1
                       : 0;
        }
    }
    Ref text = this->text();
    if (!text) return -1;
    return PySequence_Contains(text.get(), marker);
}

int TextFile::append_block(PyObject* marker, PyObject* rule, Stage& failed) noexcept {
    if (through_os_ && path_ && !state.plain_paths.accepts(path_.get())) {
        // Code of anyone's changed pathlib since the read: finish the way it now says.
        if (!text()) {
            failed = Stage::Build;
            return -1;
        }
        through_os_ = false;
    }
    return through_os_ ? append_through_os(marker, rule, failed)
                       : append_through_methods(marker, rule, failed);
}

int TextFile::append_through_methods(PyObject* marker, PyObject* rule, Stage& failed) noexcept {
    Ref existing = text();
    Ref new_content = existing ? build_new_content(existing.get(), marker, rule) : Ref{};
    if (!new_content) {
        failed = Stage::Build;
        return -1;
    }
    if (make_folder_through_methods(path_.get()) < 0) {
        failed = Stage::Folder;
        return -1;
    }
    Ref written = call_method_utf8(path_.get(), state.names.write_text, new_content.get());
    if (!written) {
        undo_failed_write(path_.get(), existing.get(), existed_);
        failed = Stage::Write;
        return -1;
    }
    return 0;
}

int TextFile::make_folder_through_os() noexcept {
    const char* path = name_.c_str();
    const char* slash = std::strrchr(path, '/');
    os::Text folder;
    const bool named = slash == nullptr ? folder.assign(".", 1)
                       : slash == path
                           ? folder.assign("/", 1)
                           : folder.assign(path, static_cast<std::size_t>(slash - path));
    if (!named) {
        PyErr_NoMemory();
        return -1;
    }
    int error = os::make_folder(folder.c_str(), file_hooks());
    if (error == 0) return 0;
    if (error == os::kRefused) return -1;
    // More than one folder to make, or something in the way: the path's own mkdir, for its
    // exact behaviour.
    if (!path_) {
        py::raise_file_error(error, name_.text.get());
        return -1;
    }
    return make_folder_through_methods(path_.get());
}

int TextFile::append_through_os(PyObject* marker, PyObject* rule, Stage& failed) noexcept {
    failed = Stage::Build;
    // The UTF-8 bytes objects are held for as long as their bytes are used.
    Ref marker_text = as_text(marker);
    if (!marker_text) return -1;
    Ref rule_text = as_text(rule);
    if (!rule_text) return -1;
    Ref marker_utf8_bytes = utf8_of(marker_text.get());
    if (!marker_utf8_bytes) return -1;
    Ref rule_utf8_bytes = utf8_of(rule_text.get());
    if (!rule_utf8_bytes) return -1;
    const char* marker_utf8 = PyBytes_AS_STRING(marker_utf8_bytes.get());
    const char* rule_utf8 = PyBytes_AS_STRING(rule_utf8_bytes.get());
    const Py_ssize_t marker_size = PyBytes_GET_SIZE(marker_utf8_bytes.get());
    const Py_ssize_t rule_size = PyBytes_GET_SIZE(rule_utf8_bytes.get());
    const auto utf8_size = [](Py_ssize_t n) { return static_cast<std::size_t>(n); };

    os::Buffer block;
    bool crlf = first_line_end_is_crlf(bytes_.data(), bytes_.size());
    if (!build_block(block, marker_utf8, utf8_size(marker_size), rule_utf8, utf8_size(rule_size),
                     crlf)) {
        PyErr_NoMemory();
        return -1;
    }
    if (bytes_.size() > static_cast<std::size_t>(PY_SSIZE_T_MAX) - block.size()) {
        PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
        return -1;
    }
    failed = Stage::Folder;
    if (make_folder_through_os() < 0) return -1;

    failed = Stage::Write;
    const os::Hooks hooks = file_hooks();
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        const os::Bytes old{bytes_.data(), bytes_.size()};
        bool write_error = false;
        int error = os::write_whole_file(name_.c_str(), os::Expected{identity_, old}, old,
                                         os::Bytes{block.data(), block.size()}, write_error, hooks);
        if (error == 0) return 0;
        if (error != os::kChanged) {
            py::raise_file_error(error, name_.text.get(),
                                 write_error ? py::ErrorSource::Writing : py::ErrorSource::Naming);
            return -1;
        }
        // Someone changed the file since it was read: read it again. The marker there now
        // means another injector got in first, and there is nothing left to do.
        Stage ignored = Stage::Read;
        if (read_through_os(ignored) < 0) return -1;
        if (existed_) {
            int has = contains(marker);
            if (has != 0) return has < 0 ? -1 : 0;
        }
        if (first_line_end_is_crlf(bytes_.data(), bytes_.size()) != crlf) {
            crlf = !crlf;
            if (!build_block(block, marker_utf8, utf8_size(marker_size), rule_utf8,
                             utf8_size(rule_size), crlf)) {
                PyErr_NoMemory();
                return -1;
            }
        }
    }
    py::raise_file_error(os::kUnsettled, name_.text.get());
    return -1;
}

}  // namespace kestrix
