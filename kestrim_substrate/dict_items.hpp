// A dict's items read from its table in place, where the interpreter's layout allows it.
//
// PyDict_Next costs a call and about fifty instructions an item; a flat envelope is six
// items, and that call was the largest single cost of writing one. The table of a dict whose
// keys are all exact str holds (key, value) pairs in insertion order, which is the order
// PyDict_Next gives; deleted slots hold a null value. Everything that knows this layout is
// in this file, and it is used only on the interpreter whose layout it is: elsewhere, or for
// any other table, DictItems is empty and callers use PyDict_Next.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
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

#include <cstddef>

namespace kestrim {

// One slot of the table; value is null where an item was deleted.
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
static_assert(offsetof(DictSlot, key) == offsetof(PyDictUnicodeEntry, me_key), "str-keyed slot layout");
static_assert(offsetof(DictSlot, value) == offsetof(PyDictUnicodeEntry, me_value), "str-keyed slot layout");
#endif

// The slots of dict (a dict or a subclass) if its table is a combined one keyed by exact str
// only. Split tables (instance dicts), tables with other keys and empty dicts give none.
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

}  // namespace kestrim
