// The configuration file and the rule file as the bodies see them: read the old text,
// test it, write the new. Behind it, one of two routes, chosen per call: the path
// object's own methods, or, for a plain pathlib path, the OS directly (the user's bytes
// and line ends kept, the file replaced safely).
#pragma once

#include <Python.h>

#include "support/os/buffer.h"
#include "support/os/read.h"
#include "support/py/file_calls.h"
#include "support/py/ref.h"

namespace kestrix {

class TextFile {
 public:
    /// Where a step failed, for the caller's traceback entry.
    enum class Stage {
        Test,    ///< the existence test
        Read,    ///< reading the text
        Build,   ///< making the new text
        Folder,  ///< making the folder
        Write,   ///< writing the file
    };

    /// Reaches `path` directly when it is a plain pathlib path the OS can be given the name
    /// of, else through its methods. 0, or -1 with an exception set.
    [[nodiscard]] int open(py::Ref path) noexcept;
    /// Reaches the file named `text` directly, with no path object (the caller knows the
    /// path is plain). 1 when it does; 0 when the OS cannot be given that name; -1.
    [[nodiscard]] int open_named(py::Ref text) noexcept;

    /// The existence test and the read. 1 when there is a file (its text kept), 0 when
    /// there is none, -1 with an exception set and `failed` saying where.
    [[nodiscard]] int read(Stage& failed) noexcept;
    /// The text read, as read_text gives it. Empty with an exception set.
    [[nodiscard]] py::Ref text() noexcept;
    /// `marker in text`: 1, 0, or -1 with an exception set.
    [[nodiscard]] int contains(PyObject* marker) noexcept;

    /// Appends "\n\n", the marker, "\n\n", the rule and "\n" to the text read (an empty one
    /// when there was no file), making the folder first. Code of anyone's may have run since
    /// the read (it may have changed pathlib): the route is checked again first. 0, or -1
    /// with an exception set and `failed` saying where.
    [[nodiscard]] int append_block(PyObject* marker, PyObject* rule, Stage& failed) noexcept;

 private:
    [[nodiscard]] int read_through_os(Stage& failed) noexcept;
    [[nodiscard]] int read_through_methods(Stage& failed) noexcept;
    [[nodiscard]] int append_through_os(PyObject* marker, PyObject* rule, Stage& failed) noexcept;
    [[nodiscard]] int append_through_methods(PyObject* marker, PyObject* rule,
                                             Stage& failed) noexcept;
    [[nodiscard]] int make_folder_through_os() noexcept;

    bool through_os_ = false;
    bool existed_ = false;
    py::Ref path_;  ///< the path object (null when opened by name)
    py::FsName name_;
    os::Buffer bytes_;       ///< the file's bytes, on the direct route
    os::Identity identity_;  ///< which file they came from
    py::Ref text_;           ///< the text, once made (always, on the methods route)
};

}  // namespace kestrix
