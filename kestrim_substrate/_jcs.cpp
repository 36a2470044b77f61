// RFC 8785 canonical JSON and its SHA-256: the content hash behind every reference. This
// file is the boundary: the functions the module exports, the C API other extensions call,
// and the module itself. What they write is in the headers below, which make one
// translation unit with this file (the writer's hot path was tuned as one).
//
//   text_kernels.hpp  escapes, word and SSE2 operations, hex (no Python)
//   utf8_kernels.hpp  Latin-1, UCS-2 and UCS-4 text to escaped UTF-8 (no Python)
//   key_order.hpp     UTF-16 code-unit order of keys (no Python)
//   sha256.hpp        the streaming SHA-256 (SHA-NI or OpenSSL, from the kernels library)
//   buffers.hpp       the output buffer, the member stacks, the nesting bound
//   stack_room.hpp    whether the thread's C stack is nearly used up (no Python)
//   member.hpp        members being written and their order
//   errors.hpp        what is refused, and the messages
//   encoder.hpp       scalars, strings, arrays
//   object_order.hpp  objects: their keys put in canonical order
//   objects.hpp       objects: reading and writing members
//   plain_rows.hpp    rows of short ASCII str and safe ints, written in one pass
#include "common/compat.hpp"
#include "common/py_ref.hpp"
#include "kestrim_substrate/jcs_capi.hpp"
#include "kestrim_substrate/objects.hpp"
#include "kestrim_substrate/plain_rows.hpp"
#include "kestrim_substrate/sha256.hpp"
#include "kestrim_substrate/text_kernels.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace kestrim {
namespace {

// No C++ exception may reach the interpreter.
template <typename R, typename F>
R guarded(R on_error, F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in kestrim_substrate._jcs");
    }
    return on_error;
}

void hash_failed() { PyErr_SetString(PyExc_RuntimeError, "OpenSSL failed to compute SHA-256"); }

// The SHA-256 of what write(encoder, position) writes with an encoder streaming into the
// hash; false with an exception set if it fails.
template <typename Write>
bool digest_of(unsigned char digest[Sha256::kDigestBytes], Write&& write) {
    Sha256 hash;
    Encoder encoder(&hash);
    char* const end = write(encoder, encoder.out().start());
    if (end == nullptr) return false;
    if (encoder.out().finish(end, digest)) return true;
    hash_failed();
    return false;
}

template <typename Write>
int hash_hex(char out_hex[64], Write&& write) noexcept {
    return guarded(-1, [&] {
        unsigned char digest[Sha256::kDigestBytes];
        if (!digest_of(digest, write)) return -1;
        to_hex(digest, out_hex);
        return 0;
    });
}

int api_sha256_hex(PyObject* obj, char out_hex[64]) {
    return hash_hex(out_hex, [obj](Encoder& e, char* p) { return e.value(obj, p); });
}

int api_sha256_members_hex(PyObject* const* keys, PyObject* const* values, Py_ssize_t n,
                           char out_hex[64]) {
    if (n < 0) {
        PyErr_SetString(PyExc_SystemError, "sha256_members_hex: negative member count");
        return -1;
    }
    return hash_hex(out_hex,
                    [=](Encoder& e, char* p) { return e.sorted_members(keys, values, n, p); });
}

// Every handle prepare_members has made; only ever grows, under the GIL.
const KestrimJcsMembers* g_prepared = nullptr;

const KestrimJcsMembers* api_prepare_members(PyObject* const* keys, Py_ssize_t n) {
    if (n < 0) {
        PyErr_SetString(PyExc_SystemError, "prepare_members: negative member count");
        return nullptr;
    }
    return guarded<const KestrimJcsMembers*>(nullptr, [=]() -> const KestrimJcsMembers* {
        Encoder encoder(nullptr);
        std::vector<std::size_t> ends;
        ends.reserve(static_cast<std::size_t>(n) + 1);
        const char* const end = encoder.member_pieces(keys, n, ends);
        if (end == nullptr) return nullptr;
        const char* const text = encoder.out().data();
        const auto size = static_cast<std::size_t>(end - text);
        // The same keys prepared again (say, by a module loaded anew) share a handle, so
        // repeated preparing does not grow memory.
        for (const KestrimJcsMembers* m = g_prepared; m != nullptr; m = m->next) {
            if (m->count == n && m->ends[n] == size && std::memcmp(m->text, text, size) == 0 &&
                std::equal(ends.begin(), ends.end(), m->ends)) {
                return m;
            }
        }
        std::unique_ptr<char[]> own_text(new char[size + kPieceSlack]());
        std::memcpy(own_text.get(), text, size);
        std::unique_ptr<std::size_t[]> own_ends(new std::size_t[ends.size()]);
        std::copy(ends.begin(), ends.end(), own_ends.get());
        auto* members =
            new KestrimJcsMembers{g_prepared, n, own_ends.release(), own_text.release()};
        g_prepared = members;
        return members;
    });
}

int api_sha256_prepared_hex(const KestrimJcsMembers* members, PyObject* const* values,
                            char out_hex[64]) {
    if (members == nullptr) {
        PyErr_SetString(PyExc_SystemError, "sha256_prepared_hex: no prepared members");
        return -1;
    }
    unsigned char digest[Sha256::kDigestBytes];
    switch (plain_row_digest(*members, values, digest)) {
        case PlainDigest::kHashed: to_hex(digest, out_hex); return 0;
        case PlainDigest::kHashFailed: hash_failed(); return -1;
        case PlainDigest::kNotPlain: break;
    }
    return hash_hex(out_hex, [=](Encoder& e, char* p) { return e.prepared(*members, values, p); });
}

// The most rows written and hashed at a time: four batches of the widest kernel's sixteen
// lanes, their text small enough to stay in cache. One text for all rows of a long batch was
// measured slower by about 250 ns a row at 1,000 rows (302 bytes each), its fresh pages
// faulted in.
constexpr std::size_t kBatchRows = 64;
// Rows a kernel is given at a time: four times its lanes. Fewer rows, written just before
// they are hashed, stay in the nearest cache, and the writing of the next rows starts while
// the last blocks of these are still being hashed: with SHA-NI's two lanes, 8 rows at a time
// walked a chain 2-3% faster than 64 (bench/compare_refs.py).
constexpr std::size_t kRowsPerLane = 4;

int api_sha256_prepared_batch(const KestrimJcsMembers* members, PyObject* const* values,
                              Py_ssize_t n, char (*out_hex)[64]) {
    if (members == nullptr || n < 0) {
        PyErr_SetString(PyExc_SystemError, "sha256_prepared_batch: no members or negative count");
        return -1;
    }
    return guarded(-1, [=] {
        const auto rows = static_cast<std::size_t>(n);
        Encoder encoder(nullptr);
        // Rows written one after another into the writer's own buffer (without a hash it
        // keeps all it is given, growing in place), so that the lanes take them together;
        // the first row refused ends the call with its exception.
        std::size_t ends[kBatchRows];
        const unsigned char* msgs[kBatchRows];
        std::size_t lens[kBatchRows];
        unsigned char digests[kBatchRows][sha256::kDigestBytes];
        const sha256::Sha256Kernel kernel = sha256::best_kernel();
        const std::size_t chunk = std::min(kBatchRows, kRowsPerLane * sha256::kernel_lanes(kernel));
        for (std::size_t first = 0; first < rows; first += chunk) {
            const std::size_t count = std::min(chunk, rows - first);
            char* p = encoder.out().start();
            for (std::size_t k = 0; k < count; ++k) {
                const auto row = static_cast<Py_ssize_t>(first + k);
                PyObject* const* const row_values = values + row * members->count;
                p = encoder.out().room(p, kPlainRowBytes);
                char* const plain = plain_row(*members, row_values, p, p + kPlainRowBytes);
                p = plain != nullptr ? plain : encoder.prepared(*members, row_values, p);
                if (p == nullptr) return -1;
                ends[k] = static_cast<std::size_t>(p - encoder.out().data());
            }
            // Only now, the buffer having stopped moving.
            const auto* text = reinterpret_cast<const unsigned char*>(encoder.out().data());
            for (std::size_t k = 0, start = 0; k < count; start = ends[k++]) {
                msgs[k] = text + start;
                lens[k] = ends[k] - start;
            }
            if (!sha256::sha256_batch(kernel, msgs, lens, count, digests)) {
                hash_failed();
                return -1;
            }
            for (std::size_t k = 0; k < count; ++k) to_hex(digests[k], out_hex[first + k]);
        }
        return 0;
    });
}

PyObject* py_sha256_jcs(PyObject*, PyObject* obj) {
    return guarded<PyObject*>(nullptr, [obj]() -> PyObject* {
        unsigned char digest[Sha256::kDigestBytes];
        if (!digest_of(digest, [obj](Encoder& e, char* p) { return e.value(obj, p); }))
            return nullptr;
        PyObject* result = PyUnicode_New(2 * Sha256::kDigestBytes, 127);
        if (result != nullptr)
            to_hex(digest, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(result)));
        return result;
    });
}

PyObject* py_canonicalize(PyObject*, PyObject* obj) {
    return guarded<PyObject*>(nullptr, [obj]() -> PyObject* {
        Encoder encoder(nullptr, Sink::Spill::Bytes);
        char* const end = encoder.value(obj, encoder.out().start());
        if (end == nullptr) return nullptr;
        return encoder.out().take_bytes(end);
    });
}

// Which compression sha256_jcs runs and why: ("shani" or "openssl", "cpu", "forced",
// "refused" or "unknown"), so that the tests can tell what they exercised.
PyObject* py_sha256_kernel(PyObject*, PyObject*) {
    const sha256::Sha256Kernel kernel =
        g_compress_blocks != nullptr ? sha256::Sha256Kernel::ShaNi : sha256::Sha256Kernel::OpenSSL;
    return Py_BuildValue("(ss)", sha256::kernel_name(kernel),
                         sha256::choice_source_name(sha256::kernel_choice().source));
}

// ---- module -----------------------------------------------------------------------------

// The capsule owns its table and the reference behind the table's sha256_jcs.
struct OwnedApi {
    KestrimJcsApi api;
    PyRef function;
};

void destroy_api(PyObject* capsule) {
    delete static_cast<OwnedApi*>(PyCapsule_GetContext(capsule));
}

int exec_module(PyObject* module) {
    return guarded(-1, [module] {
        // Found missing here, SHA-256 fails the import rather than every later hash.
        if (!Sha256::available()) {
            PyErr_SetString(PyExc_ImportError, "OpenSSL offers no SHA-256 implementation");
            return -1;
        }
        g_compress_blocks = sha256::streaming_compress();
        PyRef function(PyObject_GetAttrString(module, "sha256_jcs"));
        if (!function) return -1;
        auto owned = std::make_unique<OwnedApi>();
        owned->api.abi_version = KESTRIM_JCS_ABI_VERSION;
        owned->api.sha256_jcs = function.get();
        owned->api.sha256_hex = api_sha256_hex;
        owned->api.sha256_members_hex = api_sha256_members_hex;
        owned->api.prepare_members = api_prepare_members;
        owned->api.sha256_prepared_hex = api_sha256_prepared_hex;
        owned->api.sha256_prepared_batch = api_sha256_prepared_batch;
        owned->function = std::move(function);
        PyRef capsule(PyCapsule_New(&owned->api, KESTRIM_JCS_CAPSULE_NAME, destroy_api));
        if (!capsule || PyCapsule_SetContext(capsule.get(), owned.get()) < 0) return -1;
        owned.release();  // the capsule's destructor frees it from here on
        return PyModule_AddObjectRef(module, "_C_API", capsule.get());
    });
}

PyDoc_STRVAR(sha256_jcs_doc,
             "sha256_jcs($module, obj, /)\n--\n\n"
             "SHA-256 of obj's RFC 8785 canonical JSON, as 64 lower-case hex digits.\n\n"
             "Takes what canonicalize() takes and raises what it raises.");

PyDoc_STRVAR(canonicalize_doc,
             "canonicalize($module, obj, /)\n--\n\n"
             "obj as RFC 8785 canonical JSON, in UTF-8 bytes.\n\n"
             "dict (str keys), list, tuple, str, int, float, bool and None are accepted, and\n"
             "subclasses of these as their stored value. Object members are sorted by the\n"
             "UTF-16 code units of their keys; floats are written as ECMAScript does.\n\n"
             "Raises ValueError for integers outside \u00b1(2**53-1), NaN and infinities, strings\n"
             "holding a lone surrogate and keys with equal text; TypeError for other types\n"
             "and non-str keys; RecursionError for nesting deeper than the recursion limit,\n"
             "2000 levels or the calling thread's stack allows.");

PyMethodDef kMethods[] = {
    {"sha256_jcs", py_sha256_jcs, METH_O, sha256_jcs_doc},
    {"canonicalize", py_canonicalize, METH_O, canonicalize_doc},
    {"_sha256_kernel", py_sha256_kernel, METH_NOARGS,
     "_sha256_kernel($module, /)\n--\n\nThe SHA-256 compression in use and what chose it."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "kestrim_substrate._jcs",
    "RFC 8785 canonical JSON and its SHA-256.",
    0,
    kMethods,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kestrim

PyMODINIT_FUNC PyInit__jcs(void) { return PyModuleDef_Init(&kestrim::kModule); }
