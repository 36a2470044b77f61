// Native entry points of kestrim_substrate._jcs for other extensions.
//
// The table lives in the capsule attribute `_C_API` of kestrim_substrate._jcs. It lets a
// sibling extension hash without the cost of a Python-level call; the results are exactly
// those of kestrim_substrate.sha256_jcs. Every entry is called with the GIL held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define KESTRIM_JCS_CAPSULE_NAME "kestrim_substrate._jcs._C_API"
#define KESTRIM_JCS_ABI_VERSION 2

// Opaque: member names encoded once by prepare_members.
struct KestrimJcsMembers;

struct KestrimJcsApi {
    int abi_version;  // KESTRIM_JCS_ABI_VERSION
    // Borrowed: the genuine sha256_jcs function object, valid while the capsule lives
    // (compare by identity to recognise it).
    PyObject* sha256_jcs;
    // 64 lower-case hex digits (no terminator) of SHA-256 over the canonical form of obj;
    // 0 on success, -1 with an exception set (the same exceptions as sha256_jcs).
    int (*sha256_hex)(PyObject* obj, char out_hex[64]);
    // The same for an object given as n members. keys[i] are str, already in canonical
    // (UTF-16 code unit) order and distinct; values are any JSON values. Gives exactly the
    // hash sha256_jcs gives for a dict of those members. Keys out of order or repeated raise
    // ValueError rather than hash something else.
    int (*sha256_members_hex)(PyObject* const* keys, PyObject* const* values, Py_ssize_t n,
                              char out_hex[64]);
    // Member names prepared once: keys are str, in canonical (UTF-16) order and distinct
    // (ValueError/TypeError otherwise). The returned handle stays valid for the life of the
    // process (never freed); nullptr with an exception set on failure.
    const struct KestrimJcsMembers* (*prepare_members)(PyObject* const* keys, Py_ssize_t n);
    // SHA-256 hex of the object whose members are the prepared keys with these values, exactly as
    // sha256_jcs would give for a dict of them.
    int (*sha256_prepared_hex)(const struct KestrimJcsMembers* members, PyObject* const* values,
                               char out_hex[64]);
    // Version 2: n objects of the prepared members at once, values holding n rows of
    // members->count values one after another; out_hex[k] is what sha256_prepared_hex gives
    // for row k. The messages are hashed side by side with the best kernel the CPU offers.
    // On the first row that sha256_prepared_hex would refuse, -1 with that row's exception
    // and nothing else is known: call row by row to learn more.
    int (*sha256_prepared_batch)(const struct KestrimJcsMembers* members, PyObject* const* values,
                                 Py_ssize_t n, char (*out_hex)[64]);
};
