// The one place that names interpreter internals and private or deprecated interpreter API.
//
// Each entry says for which versions its fast form holds and what public API stands in for
// it elsewhere, so a new interpreter release means reading this file, not the whole tree.
// Nothing outside this file includes an internal header, reads a struct field the
// interpreter does not document, or calls an underscored or deprecated function.
//
// Supported: CPython 3.11, 3.12 and 3.13. Any other version builds with the public forms.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#if PY_VERSION_HEX < 0x030D0000
#include <frameobject.h>  // PyFrame_LocalsToFast (see frame_bind_locals)
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>

// ---- dict tables (3.11 only) ---------------------------------------------------------------
// The layout of a dict's table is internal. It is read in place only on 3.11, where its
// shape is pinned by the static_asserts below; on other versions the public PyDict_Next
// serves.
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000 && !defined(KESTRIM_PUBLIC_API_ONLY)
#define KESTRIM_DICT_TABLE_LAYOUT 1
#ifndef Py_BUILD_CORE
#define Py_BUILD_CORE 1
#define KESTRIM_UNDEF_BUILD_CORE 1
#endif
#include <internal/pycore_dict.h>
#ifdef KESTRIM_UNDEF_BUILD_CORE
#undef Py_BUILD_CORE
#undef KESTRIM_UNDEF_BUILD_CORE
#endif
#endif

namespace kestrim::compat {

// ---- strings -------------------------------------------------------------------------------

// Up to 3.11 a str made through the legacy wchar_t API may not be "ready": its length and
// data are not set until PyUnicode_READY runs. From 3.12 every str is ready and the call is
// deprecated. 0 on success, -1 with an exception set.
inline int unicode_ready(PyObject* s) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(s);
#else
    (void)s;
    return 0;
#endif
}

// ---- bytes ---------------------------------------------------------------------------------

// Gives *bytes (the only reference to a bytes object) the length n, keeping its first bytes;
// 0 on success, -1 with an exception set and *bytes freed and null.
//   3.11 to 3.13: _PyBytes_Resize (private), a realloc: a large block grows or shrinks by
//   moving its pages, not its bytes.
//   Elsewhere: a new object and a copy.
inline int resize_bytes(PyObject** bytes, Py_ssize_t n) noexcept {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(KESTRIM_PUBLIC_API_ONLY)
    return _PyBytes_Resize(bytes, n);
#else
    const Py_ssize_t kept = n < PyBytes_GET_SIZE(*bytes) ? n : PyBytes_GET_SIZE(*bytes);
    PyObject* fresh = PyBytes_FromStringAndSize(nullptr, n);
    if (fresh != nullptr) std::memcpy(PyBytes_AS_STRING(fresh), PyBytes_AS_STRING(*bytes), kept);
    Py_CLEAR(*bytes);
    *bytes = fresh;
    return fresh != nullptr ? 0 : -1;
#endif
}

// ---- ints ----------------------------------------------------------------------------------

// The sign of an exact int: -1, 0 or 1. Never fails.
//   3.11: _PyLong_Sign (private; reads the stored size).
//   3.12, 3.13: the unstable compact-value API for values of one digit, else the public
//   PyLong_AsLongLongAndOverflow, whose overflow flag carries the sign of larger values.
//   3.14+: PyLong_GetSign.
inline int long_sign(PyObject* v) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    int sign = 0;
    (void)PyLong_GetSign(v, &sign);
    return sign;
#elif PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000 && \
    !defined(KESTRIM_PUBLIC_API_ONLY)
    return _PyLong_Sign(v);
#else
#if PY_VERSION_HEX >= 0x030C0000 && !defined(KESTRIM_PUBLIC_API_ONLY)
    const auto* l = reinterpret_cast<const PyLongObject*>(v);
    if (PyUnstable_Long_IsCompact(l)) {
        const Py_ssize_t c = PyUnstable_Long_CompactValue(l);
        return (c > 0) - (c < 0);
    }
#endif
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow != 0) return overflow;
    PyErr_Clear();  // an exact int cannot fail here; keep the state clean all the same
    return (value > 0) - (value < 0);
#endif
}

// The magnitude and sign of an exact int small enough to read without a call, or false
// (the caller then takes the public path).
//   3.11: up to two 30-bit digits, read from ob_size and ob_digit (the int's storage).
//   3.12, 3.13: up to two digits, read from lv_tag (digit count and sign) and ob_digit, the
//               layout cpython/longintrepr.h describes; a time in milliseconds takes two.
//   elsewhere: never; PyLong_AsLongLongAndOverflow serves.
inline bool small_int(PyObject* obj, std::uint64_t& magnitude, bool& negative) noexcept {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000 && !defined(KESTRIM_PUBLIC_API_ONLY)
    const Py_ssize_t size = Py_SIZE(obj);
    if (size < -2 || size > 2) return false;
    const digit* digits = reinterpret_cast<PyLongObject*>(obj)->ob_digit;
    magnitude = size == 0 ? 0 : digits[0];
    if (size == 2 || size == -2) magnitude |= std::uint64_t{digits[1]} << PyLong_SHIFT;
    negative = size < 0;
    return true;
#elif PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && \
    !defined(KESTRIM_PUBLIC_API_ONLY)
    const _PyLongValue& value = reinterpret_cast<const PyLongObject*>(obj)->long_value;
    const std::uintptr_t count = value.lv_tag >> _PyLong_NON_SIZE_BITS;
    if (count > 2) return false;
    magnitude = count == 0 ? 0 : value.ob_digit[0];
    if (count == 2) magnitude |= std::uint64_t{value.ob_digit[1]} << PyLong_SHIFT;
    negative = (value.lv_tag & _PyLong_SIGN_MASK) == 2;
    return true;
#else
    (void)obj;
    (void)magnitude;
    (void)negative;
    return false;
#endif
}

// ---- exceptions ----------------------------------------------------------------------------

// Takes the pending exception as one normalised object with its traceback attached, leaving
// none pending; nullptr if none was pending.
//   3.11: PyErr_Fetch + PyErr_NormalizeException (deprecated from 3.12).
//   3.12+: PyErr_GetRaisedException.
inline PyObject* take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Makes `exc` (an exception instance; the reference is stolen) the pending exception, its
// traceback included.
//   3.11: PyErr_Restore.  3.12+: PyErr_SetRaisedException.
inline void restore_exception(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyObject* traceback = PyException_GetTraceback(exc);
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, traceback);
#endif
}

// ---- frames --------------------------------------------------------------------------------

// Gives a frame made by PyFrame_New for an optimised code object the values of its first
// locals, `names` (a tuple of str) in order, as a call binds its parameters: what debuggers,
// `pytest --showlocals` and `capture_locals` read from f_locals. A null value is left unbound.
// 0, or -1 with an exception set. Calls none of the caller's code (the keys are exact str),
// though making the locals' dict or proxy may start a collection, as making the frame may.
//   3.11, 3.12: through the f_locals dict, written back with PyFrame_LocalsToFast; without
//     that, the next read of f_locals would rebuild the dict from the still empty fast locals.
//   3.13+: through the write-through proxy PyFrame_GetLocals returns (PyFrame_LocalsToFast
//     does nothing there).
inline int frame_bind_locals(PyFrameObject* frame, PyObject* names,
                             PyObject* const* values) noexcept {
    PyObject* const locals = PyFrame_GetLocals(frame);
    if (!locals) return -1;
    int status = 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names) && status == 0; ++i) {
        if (values[i] != nullptr)
            status = PyObject_SetItem(locals, PyTuple_GET_ITEM(names, i), values[i]);
    }
    Py_DECREF(locals);
#if PY_VERSION_HEX < 0x030D0000
    if (status == 0) PyFrame_LocalsToFast(frame, 0);
#endif
    return status;
}

// ---- namespace stamps ----------------------------------------------------------------------

// A number that changes whenever a watched dict may have changed, so that values found in
// it can be kept until then. Stamps are never 0. A cache keeps the dict it read beside the
// stamp: on 3.12+ one counter serves every watched dict.
//   3.11: the dict's version tag (ma_version_tag), drawn from one process-wide counter on
//   every change to any dict; no registration needed.
//   3.12+: the tag is deprecated (and gone in 3.14). A dict watcher (PyDict_AddWatcher,
//   public API) bumps one counter of ours on every event of every dict we watch: a change,
//   a clear, a clone or its deallocation. A stamp is that counter whatever the dict, so it
//   means something only for a dict we watch: it is asked only of our functions' namespaces,
//   and those are only ever their module's dict, watched as the module is made (a native
//   function cannot be made from Python, and its __globals__ cannot be set).
#if PY_VERSION_HEX >= 0x030C0000
#define KESTRIM_DICT_WATCHERS 1
namespace detail {
inline std::uint64_t g_watched_generation = 1;
inline int g_watcher_id = -1;
inline int bump_generation(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++g_watched_generation;
    return 0;
}
}  // namespace detail
#endif

// Starts stamping `dict`. 0 on success, -1 with an exception set.
inline int watch_namespace(PyObject* dict) noexcept {
#ifdef KESTRIM_DICT_WATCHERS
    if (detail::g_watcher_id < 0) {
        const int id = PyDict_AddWatcher(detail::bump_generation);
        if (id < 0) return -1;
        detail::g_watcher_id = id;
    }
    ++detail::g_watched_generation;  // what was seen before watching began is stale
    return PyDict_Watch(detail::g_watcher_id, dict);
#else
    (void)dict;
    return 0;
#endif
}

// The current stamp of a dict passed to watch_namespace (see above).
inline std::uint64_t namespace_stamp(PyObject* dict) noexcept {
#ifdef KESTRIM_DICT_WATCHERS
    // Only our own watched dicts carry a meaningful stamp; the caller keys its cache by the
    // dict as well, since the counter is shared by every dict we watch.
    (void)dict;
    return detail::g_watched_generation;
#else
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
#endif
}

// ---- dict tables ---------------------------------------------------------------------------

// One slot of a str-keyed table; value is null where an item was deleted.
struct DictSlot {
    PyObject* key;
    PyObject* value;
};

// The slots of a dict's table, or none (begin == end) when they cannot be read in place.
// Valid while the dict is unchanged.
struct DictItems {
    const DictSlot* begin = nullptr;
    const DictSlot* end = nullptr;
    bool readable() const noexcept { return begin != end; }
};

#ifdef KESTRIM_DICT_TABLE_LAYOUT
static_assert(sizeof(DictSlot) == sizeof(PyDictUnicodeEntry), "str-keyed slot layout");
static_assert(offsetof(DictSlot, key) == offsetof(PyDictUnicodeEntry, me_key),
              "str-keyed slot layout");
static_assert(offsetof(DictSlot, value) == offsetof(PyDictUnicodeEntry, me_value),
              "str-keyed slot layout");
#endif

// The slots of `dict` (a dict or a subclass) if its table is a combined one keyed by exact
// str only, in insertion order (the order PyDict_Next gives). Split tables (instance
// dicts), tables with other keys and empty dicts give none.
//   3.11: read from the table (pycore_dict.h).  Elsewhere: always none; use PyDict_Next.
inline DictItems dict_items(PyObject* dict) noexcept {
    DictItems items;
#ifdef KESTRIM_DICT_TABLE_LAYOUT
    const auto* d = reinterpret_cast<const PyDictObject*>(dict);
    if (d->ma_values != nullptr || d->ma_used == 0) return items;
    PyDictKeysObject* const keys = d->ma_keys;
    if (keys->dk_kind != DICT_KEYS_UNICODE) return items;
    items.begin = reinterpret_cast<const DictSlot*>(DK_UNICODE_ENTRIES(keys));
    items.end = items.begin + keys->dk_nentries;
#else
    (void)dict;
#endif
    return items;
}

// ---- str internals (added for the substrate) -----------------------------------------------

// Whether a str's length and data can be read. Before 3.12 a str made through the legacy
// wchar_t API may not be (see unicode_ready); from 3.12 every str is, and the macro is kept
// only for compatibility.
inline bool unicode_is_ready(PyObject* s) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_IS_READY(s);
#else
    (void)s;
    return true;
#endif
}

// The text of a compact ASCII str (PyUnicode_IS_COMPACT_ASCII), which follows its object
// header: what PyUnicode_DATA finds after testing for that case, without the tests.
//   3.11-3.13: read after the PyASCIIObject header (that layout is how the interpreter
//   stores such strings).  Elsewhere: PyUnicode_DATA.
inline const Py_UCS1* compact_ascii_text(PyObject* s) noexcept {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(KESTRIM_PUBLIC_API_ONLY)
    return reinterpret_cast<const Py_UCS1*>(reinterpret_cast<PyASCIIObject*>(s) + 1);
#else
    return static_cast<const Py_UCS1*>(PyUnicode_DATA(s));
#endif
}

// The UTF-8 form of a str that is not ASCII, if the interpreter already holds it, with its
// length in *n; else nullptr. It never makes one: the interpreter keeps it once anything has
// asked (PyUnicode_AsUTF8AndSize, which other extensions call), and copying it is how str.encode
// itself writes such a str. It is made strictly, so it never holds a surrogate.
//   3.11-3.13: the utf8 fields that every str that is not compact ASCII carries (its
//   PyCompactUnicodeObject part).  Elsewhere, or without the GIL: none.
inline const std::uint8_t* cached_utf8(PyObject* s, Py_ssize_t* n) noexcept {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && \
    !defined(KESTRIM_PUBLIC_API_ONLY) && !defined(Py_GIL_DISABLED)
    if (PyUnicode_IS_ASCII(s)) return nullptr;
    const auto* compact = reinterpret_cast<const PyCompactUnicodeObject*>(s);
    *n = compact->utf8_length;
    return reinterpret_cast<const std::uint8_t*>(compact->utf8);
#else
    (void)s;
    (void)n;
    return nullptr;
#endif
}

// ---- nesting depth -------------------------------------------------------------------------

// One level of nesting counted as a Python call is: bounded by sys.getrecursionlimit() and
// shared with the Python frames below, so a document or a chain of rebound calls fails with
// the same RecursionError at the same depth on every version. 0, or -1 with RecursionError
// set ("maximum recursion depth exceeded" + where).
//   3.11: Py_EnterRecursiveCall, which counts against that limit.
//   3.12+: Py_EnterRecursiveCall counts against a separate, fixed C limit instead (1,500 on
//   3.12, 10,000 on 3.13) that sys.setrecursionlimit does not move; the Python limit is the
//   thread state's py_recursion_remaining (a field of the public PyThreadState struct, not
//   part of the stable API), decremented here as a Python frame would. The callers bound
//   their own C stack use with fixed caps of their own.
//   The thread state is the caller's, from PyThreadState_Get() while it holds the GIL: a
//   caller that enters many levels in one call asks for it once. On 3.11 the count has room
//   nearly always, and is then taken here as Py_EnterRecursiveCall would take it; where it
//   has none, that function is called, so that the error, with its headroom for handling
//   it, is the interpreter's own.
inline int enter_python_level(PyThreadState* ts, const char* where) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (ts->py_recursion_remaining <= 0) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return -1;
    }
    --ts->py_recursion_remaining;
    return 0;
#else
    if (ts->recursion_remaining > 0) {
        --ts->recursion_remaining;
        return 0;
    }
    return Py_EnterRecursiveCall(where);
#endif
}

inline void leave_python_level(PyThreadState* ts) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    ++ts->py_recursion_remaining;
#else
    ++ts->recursion_remaining;  // what Py_LeaveRecursiveCall does
#endif
}

}  // namespace kestrim::compat

// ---- the running builtins ------------------------------------------------------------------

namespace kestrim::compat {

// The builtins dict of the code now running (the calling frame's, else the interpreter's),
// as a new reference; nullptr with an exception set.
//   up to 3.12: PyEval_GetBuiltins (a borrowed reference; deprecated from 3.13).
//   3.13+: PyEval_GetFrameBuiltins.
inline PyObject* current_builtins() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyEval_GetFrameBuiltins();
#else
    PyObject* builtins = PyEval_GetBuiltins();
    if (!builtins && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "no builtins");
    }
    return Py_XNewRef(builtins);
#endif
}

// How deep calls of native functions by one another may nest. Each level takes C stack (some
// hundreds of bytes, more where a Python frame entered from C lies between), which the
// recursion limit does not measure: raised far enough (sys.setrecursionlimit(10**6)) it would
// let rebound names that call each other run the stack out, where functions written in
// Python get RecursionError. 3.12's own C limit is this number; 3.13's (10,000) is meant for
// the interpreter's smaller frames. Only runaway recursion comes near it.
constexpr int kMaxNativeNesting = 1500;

// What one native level took from the thread's recursion budget, to be given back.
struct NativeLevel {
    PyThreadState* ts = nullptr;
    int weight = 0;
};

// Python levels one native level counts as under `limit`: one, unless the limit is above
// kMaxNativeNesting, and then enough that the limit is reached before that many native
// levels are. The count lives in the thread state, so it is the interpreter's own: saved and
// restored with it (by greenlet, say) and untouched at any usual limit.
inline int native_level_weight(int limit) noexcept {
    return limit <= kMaxNativeNesting ? 1 : (limit + kMaxNativeNesting - 1) / kMaxNativeNesting;
}

// A call of one native function by another, counted as Python calls are (native_level_weight
// of them), and, from 3.12, against the interpreter's C recursion limit, since each level
// takes C stack here while Python-to-Python calls take none. 0, or -1 with RecursionError set;
// on 0, leave_native_call(level) undoes it.
//   The counters are the public PyThreadState fields that Py_EnterRecursiveCall and
//   Py_LeaveRecursiveCall count with (3.11: recursion_remaining; 3.12+: c_recursion_remaining,
//   beside py_recursion_remaining). Where a count has room it is taken here, as those
//   functions would take it without a check; where it has none they are called, so that the
//   error, with its headroom for handling it, is the interpreter's own.
inline int enter_native_call(const char* where, NativeLevel& level) noexcept {
    PyThreadState* const ts = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030C0000
    const int weight = native_level_weight(ts->py_recursion_limit);
    if (ts->py_recursion_remaining < weight) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return -1;
    }
    if (ts->c_recursion_remaining > 0) {
        --ts->c_recursion_remaining;
    } else if (Py_EnterRecursiveCall(where) != 0) {
        return -1;
    }
    ts->py_recursion_remaining -= weight;
#else
    const int weight = native_level_weight(ts->recursion_limit);
    if (ts->recursion_remaining >= weight) {
        ts->recursion_remaining -= weight;
    } else {
        if (Py_EnterRecursiveCall(where) != 0) return -1;
        // The first level taken; what is left of the budget is short of the rest.
        if (weight > 1) {
            Py_LeaveRecursiveCall();
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return -1;
        }
    }
#endif
    level.ts = ts;
    level.weight = weight;
    return 0;
}

inline void leave_native_call(const NativeLevel& level) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    ++level.ts->c_recursion_remaining;
    level.ts->py_recursion_remaining += level.weight;
#else
    level.ts->recursion_remaining += level.weight;
#endif
}

}  // namespace kestrim::compat
