/* The benchmarks' C floor: the rule_injector module's shape and work in the plainest C on
 * the CPython API, as a yardstick for what a compiled module could cost per call.
 *
 * It does what a call needs and nothing more: the runtime looked up in one dict, the
 * configuration file's name built in a C buffer, the file read with open/fstat/read and
 * searched with memmem, the block appended with O_APPEND. It keeps what any honest
 * extension keeps: the GIL is released around file calls, reads and writes loop over short
 * counts and EINTR, errors come back as OSError with the file's name, the "open" audit
 * event is raised. It leaves out what the real module adds on purpose: no fsync, no lock, no
 * check that the file changed between read and write, no CRLF block, no decoding of the
 * configuration file, and it returns the path as a str instead of a Path.
 *
 * Built by bench/floor/__init__.py with the running interpreter's compiler settings.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define MARKER "<!-- KESTRIX_RULE:feedback_auto_submit -->"
#define RULE_RELATIVE "kestrix-feedback/data/FEEDBACK_RULE.md"

/* Everything lives as long as the process: the module is never unloaded. */
static PyObject *runtime_files;  /* RUNTIME_CONFIG_FILES */
static PyObject *builtin_rule;   /* the stripped rule as a str */
static PyObject *builtin_block;  /* "\n\n" marker "\n\n" rule "\n" as bytes */
static PyObject *name_templates_dir, *name_target_runtime, *name_target_skills_dir;
static PyObject *name_strip;
static PyTypeObject *injector_type;

/* ---- arguments ------------------------------------------------------------------------ */

/* Binds a vectorcall's arguments to `names` (interned str), positionally and then by
 * keyword; the first `required` must be given. Unbound slots stay NULL. */
static int bind(const char *function, PyObject *const *args, Py_ssize_t nargs,
                PyObject *kwnames, PyObject *const *names, Py_ssize_t count,
                Py_ssize_t required, PyObject **out)
{
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd arguments (%zd given)",
                     function, count, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < count; i++) out[i] = i < nargs ? args[i] : NULL;
    Py_ssize_t keywords = kwnames == NULL ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; k++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = 0;
        while (slot < count && names[slot] != key) slot++;
        if (slot == count) {
            /* Keyword names in code are interned and found above; any other str here. */
            slot = 0;
            while (slot < count && PyUnicode_Compare(names[slot], key) != 0) slot++;
        }
        if (slot == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         function, key);
            return -1;
        }
        if (out[slot] != NULL) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                         function, key);
            return -1;
        }
        out[slot] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < required; i++) {
        if (out[i] == NULL) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%U'", function,
                         names[i]);
            return -1;
        }
    }
    return 0;
}

/* ---- paths ---------------------------------------------------------------------------- */

/* os.fspath(path) as the bytes the file system takes; *holder keeps them alive. A str's
 * UTF-8 is cached in the object (free for ASCII); one with lone surrogates (undecodable
 * bytes of a name) goes through the file system encoding. */
static const char *fs_bytes(PyObject *path, Py_ssize_t *size, PyObject **holder)
{
    PyObject *text = PyOS_FSPath(path);
    if (text == NULL) return NULL;
    const char *bytes = NULL;
    if (PyUnicode_Check(text)) {
        bytes = PyUnicode_AsUTF8AndSize(text, size);
        if (bytes == NULL) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) goto failed;
            PyErr_Clear();
            Py_SETREF(text, PyUnicode_EncodeFSDefault(text));
            if (text == NULL) return NULL;
        }
    }
    if (bytes == NULL) {
        bytes = PyBytes_AS_STRING(text);
        *size = PyBytes_GET_SIZE(text);
    }
    if (strlen(bytes) != (size_t)*size) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        goto failed;
    }
    *holder = text;
    return bytes;
failed:
    Py_DECREF(text);
    return NULL;
}

/* A NUL-terminated path in `stack` when it fits, else on the heap (free with path_free). */
typedef struct {
    char *data;
    size_t size;
    char stack[1024];
} PathBuffer;

static int path_join(PathBuffer *out, const char *folder, size_t folder_size, const char *name,
                     size_t name_size)
{
    size_t size = folder_size + (folder_size > 0) + name_size;
    out->data = size < sizeof out->stack ? out->stack : PyMem_Malloc(size + 1);
    if (out->data == NULL) {
        PyErr_NoMemory();
        return -1;
    }
    char *to = out->data;
    if (folder_size > 0) {
        memcpy(to, folder, folder_size);
        to += folder_size;
        /* The root folder already ends in the separator. */
        if (folder_size != 1 || folder[0] != '/') *to++ = '/';
    }
    memcpy(to, name, name_size);
    to += name_size;
    *to = '\0';
    out->size = (size_t)(to - out->data);
    return 0;
}

static void path_free(PathBuffer *path)
{
    if (path->data != path->stack) PyMem_Free(path->data);
}

/* The size of the parent folder's text within `path` as pathlib gives it: trailing
 * separators and the last name dropped; 0 for "." (a bare name), 1 for the root. */
static size_t parent_size(const char *path, size_t size)
{
    while (size > 1 && path[size - 1] == '/') size--;
    while (size > 0 && path[size - 1] != '/') size--;
    while (size > 1 && path[size - 1] == '/') size--;
    return size;
}

static PyObject *fs_text(void *path) { return PyUnicode_DecodeFSDefault(path); }

static PyObject *raise_for(int error, const char *path)
{
    PyObject *name = PyUnicode_DecodeFSDefault(path);
    if (name == NULL) return NULL;
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
    Py_DECREF(name);
    return NULL;
}

/* ---- file calls, made without the GIL --------------------------------------------------- */

/* The whole file into a malloc'ed buffer (*data, *size). 0, or an errno value. */
static int read_whole(const char *path, char **data, size_t *size)
{
    int fd;
    do fd = open(path, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    struct stat info;
    int error = 0;
    char *bytes = NULL;
    size_t used = 0, capacity = 0;
    if (fstat(fd, &info) < 0) {
        error = errno;
        goto done;
    }
    /* One byte more than the size: a file that grew is seen to have grown. */
    capacity = (size_t)info.st_size + 1;
    bytes = malloc(capacity);
    for (;;) {
        if (bytes == NULL) {
            error = ENOMEM;
            break;
        }
        ssize_t got = read(fd, bytes + used, capacity - used);
        if (got < 0) {
            if (errno == EINTR) continue;
            error = errno;
            break;
        }
        if (got == 0) break;
        used += (size_t)got;
        /* A short read that reaches the size fstat gave is the end: no read to see it. */
        if (info.st_size > 0 && used == (size_t)info.st_size) break;
        if (used == capacity) {
            char *grown = realloc(bytes, capacity *= 2);
            if (grown == NULL) free(bytes);
            bytes = grown;
        }
    }
done:
    close(fd);
    if (error != 0) {
        free(bytes);
        return error;
    }
    *data = bytes;
    *size = used;
    return 0;
}

/* Appends `block` to the file, creating it. 0, or an errno value. */
static int append(const char *path, const char *block, size_t size)
{
    int fd;
    do fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    int error = 0;
    while (size > 0) {
        ssize_t done = write(fd, block, size);
        if (done < 0) {
            if (errno == EINTR) continue;
            error = errno;
            break;
        }
        block += done;
        size -= (size_t)done;
    }
    /* A write error may only show at close (NFS, quotas). */
    if (close(fd) < 0 && error == 0 && errno != EINTR) error = errno;
    return error;
}

/* ---- RuleInjector ----------------------------------------------------------------------- */

static PyObject *load_rule(PyObject *self)
{
    PyObject *templates = PyObject_GetAttr(self, name_templates_dir);
    if (templates == NULL) return NULL;
    PyObject *holder = NULL;
    Py_ssize_t folder_size = 0;
    const char *folder = fs_bytes(templates, &folder_size, &holder);
    Py_DECREF(templates);
    if (folder == NULL) return NULL;
    /* "" is pathlib's "."; a trailing separator is not doubled. */
    while (folder_size > 1 && folder[folder_size - 1] == '/') folder_size--;
    PathBuffer path;
    int joined = path_join(&path, folder, (size_t)folder_size, RULE_RELATIVE,
                           sizeof RULE_RELATIVE - 1);
    Py_DECREF(holder);
    if (joined < 0) return NULL;

    struct stat info;
    int error = 0;
    Py_BEGIN_ALLOW_THREADS
    if (stat(path.data, &info) < 0) error = errno;
    Py_END_ALLOW_THREADS
    PyObject *result = NULL;
    if (error == ENOENT || error == ENOTDIR || error == EBADF || error == ELOOP) {
        /* What pathlib's exists() takes for "not there". */
        result = Py_NewRef(builtin_rule);
    } else if (error != 0) {
        raise_for(error, path.data);
    } else if (PySys_Audit("open", "O&si", fs_text, path.data, "r", O_RDONLY | O_CLOEXEC) == 0) {
        char *data = NULL;
        size_t size = 0;
        Py_BEGIN_ALLOW_THREADS
        error = read_whole(path.data, &data, &size);
        Py_END_ALLOW_THREADS
        if (error != 0) {
            raise_for(error, path.data);
        } else {
            PyObject *text = PyUnicode_DecodeUTF8(data, (Py_ssize_t)size, "strict");
            /* read_text's universal newlines, paid only by a file that has a CR. */
            if (text != NULL && memchr(data, '\r', size) != NULL) {
                PyObject *crlf = PyUnicode_FromString("\r\n"), *cr = PyUnicode_FromString("\r");
                PyObject *lf = PyUnicode_FromString("\n");
                if (crlf != NULL && cr != NULL && lf != NULL) {
                    Py_SETREF(text, PyUnicode_Replace(text, crlf, lf, -1));
                    if (text != NULL) Py_SETREF(text, PyUnicode_Replace(text, cr, lf, -1));
                } else {
                    Py_CLEAR(text);
                }
                Py_XDECREF(crlf);
                Py_XDECREF(cr);
                Py_XDECREF(lf);
            }
            free(data);
            if (text != NULL) {
                result = PyObject_CallMethodNoArgs(text, name_strip);
                Py_DECREF(text);
            }
        }
    }
    path_free(&path);
    return result;
}

static PyObject *injector_load_rule_content(PyObject *self, PyObject *Py_UNUSED(ignored))
{
    return load_rule(self);
}

/* "\n\n" marker "\n\n" rule "\n" for a rule read from a templates folder. */
static PyObject *block_for(PyObject *rule)
{
    Py_ssize_t rule_size = 0;
    const char *rule_utf8 = PyUnicode_AsUTF8AndSize(rule, &rule_size);
    if (rule_utf8 == NULL) return NULL;
    const size_t marker_size = sizeof MARKER - 1;
    PyObject *block = PyBytes_FromStringAndSize(NULL, (Py_ssize_t)(marker_size + 5) + rule_size);
    if (block == NULL) return NULL;
    char *to = PyBytes_AS_STRING(block);
    memcpy(to, "\n\n" MARKER "\n\n", marker_size + 4);
    memcpy(to + marker_size + 4, rule_utf8, (size_t)rule_size);
    to[marker_size + 4 + (size_t)rule_size] = '\n';
    return block;
}

/* The configuration file did not hold the marker (or was not there): append the block. */
static PyObject *write_block(PyObject *self, PathBuffer *config, size_t folder_size)
{
    PyObject *rule = load_rule(self);
    if (rule == NULL) return NULL;
    int has_rule = PyObject_IsTrue(rule);
    if (has_rule <= 0) {
        Py_DECREF(rule);
        return has_rule < 0 ? NULL : Py_NewRef(Py_None);
    }
    PyObject *block = rule == builtin_rule ? Py_NewRef(builtin_block) : block_for(rule);
    Py_DECREF(rule);
    if (block == NULL) return NULL;
    const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
    PyObject *result = NULL;
    if (PySys_Audit("open", "O&si", fs_text, config->data, "a", flags) < 0) goto done;
    for (int attempt = 0;; attempt++) {
        int error;
        Py_BEGIN_ALLOW_THREADS
        error = append(config->data, PyBytes_AS_STRING(block), (size_t)PyBytes_GET_SIZE(block));
        Py_END_ALLOW_THREADS
        if (error == 0) break;
        if (error != ENOENT || attempt > 0 || folder_size == 0) {
            raise_for(error, config->data);
            goto done;
        }
        /* The folder is missing: made as mkdir(parents=True, exist_ok=True) would, once. */
        PyObject *folder = PyUnicode_DecodeFSDefaultAndSize(config->data, (Py_ssize_t)folder_size);
        PyObject *os = folder == NULL ? NULL : PyImport_ImportModule("os");
        PyObject *made = os == NULL ? NULL
                                    : PyObject_CallMethod(os, "makedirs", "OO", folder, Py_True);
        Py_XDECREF(folder);
        Py_XDECREF(os);
        if (made == NULL) goto done;
        Py_DECREF(made);
    }
    result = PyUnicode_DecodeFSDefaultAndSize(config->data, (Py_ssize_t)config->size);
done:
    Py_DECREF(block);
    return result;
}

static PyObject *injector_inject(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                 PyObject *kwnames)
{
    PyObject *const names[] = {name_target_runtime, name_target_skills_dir};
    PyObject *bound[2];
    if (bind("inject", args, nargs, kwnames, names, 2, 2, bound) < 0) return NULL;
    PyObject *runtime = bound[0], *skills = bound[1];
    if (!PyUnicode_CheckExact(runtime)) {
        PyErr_Format(PyExc_TypeError,
                     "Argument 'target_runtime' has incorrect type (expected str, got %s)",
                     Py_TYPE(runtime)->tp_name);
        return NULL;
    }
    PyObject *filename = PyDict_GetItemWithError(runtime_files, runtime); /* borrowed */
    if (filename == NULL) return PyErr_Occurred() ? NULL : Py_NewRef(Py_None);
    Py_ssize_t name_size = 0;
    const char *name = PyUnicode_AsUTF8AndSize(filename, &name_size);
    if (name == NULL) return NULL;

    PyObject *holder = NULL;
    Py_ssize_t skills_size = 0;
    const char *skills_text = fs_bytes(skills, &skills_size, &holder);
    if (skills_text == NULL) return NULL;
    size_t folder_size = parent_size(skills_text, (size_t)skills_size);
    PathBuffer config;
    int joined = path_join(&config, skills_text, folder_size, name, (size_t)name_size);
    Py_DECREF(holder);
    if (joined < 0) return NULL;

    PyObject *result = NULL;
    if (PySys_Audit("open", "O&si", fs_text, config.data, "r", O_RDONLY | O_CLOEXEC) < 0) {
        goto done;
    }
    char *data = NULL;
    size_t size = 0;
    int error;
    Py_BEGIN_ALLOW_THREADS
    error = read_whole(config.data, &data, &size);
    Py_END_ALLOW_THREADS
    if (error == 0) {
        int found = memmem(data, size, MARKER, sizeof MARKER - 1) != NULL;
        free(data);
        if (found) {
            result = PyUnicode_DecodeFSDefaultAndSize(config.data, (Py_ssize_t)config.size);
            goto done;
        }
    } else if (error != ENOENT) {
        raise_for(error, config.data);
        goto done;
    }
    result = write_block(self, &config, folder_size);
done:
    path_free(&config);
    return result;
}

/* RuleInjector(templates_dir=None) for the class itself: allocation and the one
 * attribute, without building the argument tuple and dict that tp_new and tp_init take. */
static PyObject *injector_vectorcall(PyObject *cls, PyObject *const *args, size_t nargsf,
                                     PyObject *kwnames)
{
    PyObject *const names[] = {name_templates_dir};
    PyObject *templates = NULL;
    if (bind("RuleInjector", args, PyVectorcall_NARGS(nargsf), kwnames, names, 1, 0,
             &templates) < 0) {
        return NULL;
    }
    PyTypeObject *type = (PyTypeObject *)cls;
    PyObject *self = type->tp_alloc(type, 0);
    if (self == NULL) return NULL;
    /* Without a folder the real module asks the package for its built-in one; the floor
     * has no package and stores None. */
    if (PyObject_GenericSetAttr(self, name_templates_dir,
                                templates != NULL ? templates : Py_None) < 0) {
        Py_DECREF(self);
        return NULL;
    }
    return self;
}

static int injector_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static char *keywords[] = {"templates_dir", NULL};
    PyObject *templates = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:RuleInjector", keywords, &templates)) {
        return -1;
    }
    return PyObject_SetAttr(self, name_templates_dir, templates);
}

static int injector_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    return PyObject_VisitManagedDict(self, visit, arg);
}

static int injector_clear(PyObject *self)
{
    PyObject_ClearManagedDict(self);
    return 0;
}

static void injector_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearManagedDict(self);
    type->tp_free(self);
    Py_DECREF(type);
}

static PyMethodDef injector_methods[] = {
    {"inject", (PyCFunction)(void (*)(void))injector_inject, METH_FASTCALL | METH_KEYWORDS,
     "inject(target_runtime, target_skills_dir): the configuration file's path as a str, "
     "or None for an unknown runtime."},
    {"_load_rule_content", injector_load_rule_content, METH_NOARGS,
     "The templates folder's rule file, stripped, else the built-in rule."},
    {NULL, NULL, 0, NULL},
};

/* A heap type made at run time gets the managed dict's storage but no __dict__ attribute
   to reach it. */
static PyGetSetDef injector_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, NULL, NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyType_Slot injector_slots[] = {
    {Py_tp_doc, "The rule injector's C floor."},
    {Py_tp_methods, injector_methods},
    {Py_tp_getset, injector_getset},
    {Py_tp_init, injector_init},
    {Py_tp_new, PyType_GenericNew},
    {Py_tp_traverse, injector_traverse},
    {Py_tp_clear, injector_clear},
    {Py_tp_dealloc, injector_dealloc},
    {0, NULL},
};

static PyType_Spec injector_spec = {
    .name = "rule_injector_floor.RuleInjector",
    .basicsize = sizeof(PyObject),
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
             Py_TPFLAGS_MANAGED_DICT,
    .slots = injector_slots,
};

/* ---- module --------------------------------------------------------------------------- */

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    .m_name = "rule_injector_floor",
    .m_doc = "The rule injector's C floor, for the benchmarks.",
    .m_size = -1,
};

static int set_constants(PyObject *module)
{
    PyObject *claude = PyUnicode_FromString("CLAUDE.md");
    PyObject *agents = PyUnicode_FromString("AGENTS.md");
    runtime_files = PyDict_New();
    int failed = claude == NULL || agents == NULL || runtime_files == NULL ||
                 PyDict_SetItemString(runtime_files, "claude", claude) < 0 ||
                 PyDict_SetItemString(runtime_files, "openclaw", agents) < 0 ||
                 PyDict_SetItemString(runtime_files, "codex", agents) < 0 ||
                 PyDict_SetItemString(runtime_files, "opencode", agents) < 0;
    Py_XDECREF(claude);
    Py_XDECREF(agents);
    if (failed) return -1;
    /* The built-in rule, stripped: the text the pure module beside it holds (kept in one
       place in bench/; taken once, at import, so no call pays for it). */
    PyObject *pure = PyImport_ImportModule("pure_rule_injector");
    PyObject *text = pure != NULL ? PyObject_GetAttrString(pure, "_DEFAULT_RULE_CONTENT") : NULL;
    Py_XDECREF(pure);
    builtin_rule = text != NULL ? PyObject_CallMethod(text, "strip", NULL) : NULL;
    Py_XDECREF(text);
    if (builtin_rule == NULL) return -1;
    builtin_block = block_for(builtin_rule);
    name_templates_dir = PyUnicode_InternFromString("templates_dir");
    name_target_runtime = PyUnicode_InternFromString("target_runtime");
    name_target_skills_dir = PyUnicode_InternFromString("target_skills_dir");
    name_strip = PyUnicode_InternFromString("strip");
    if (builtin_block == NULL || name_templates_dir == NULL || name_target_runtime == NULL ||
        name_target_skills_dir == NULL || name_strip == NULL) {
        return -1;
    }
    injector_type = (PyTypeObject *)PyType_FromModuleAndSpec(module, &injector_spec, NULL);
    if (injector_type == NULL) return -1;
    injector_type->tp_vectorcall = injector_vectorcall;
    return PyModule_AddObjectRef(module, "RUNTIME_CONFIG_FILES", runtime_files) < 0 ||
                   PyModule_AddStringConstant(module, "RULE_MARKER", MARKER) < 0 ||
                   PyModule_AddObjectRef(module, "_DEFAULT_RULE_CONTENT", builtin_rule) < 0 ||
                   PyModule_AddObjectRef(module, "RuleInjector", (PyObject *)injector_type) < 0
               ? -1
               : 0;
}

PyMODINIT_FUNC PyInit_rule_injector_floor(void)
{
    PyObject *module = PyModule_Create(&module_def);
    if (module != NULL && set_constants(module) < 0) Py_CLEAR(module);
    return module;
}
