"""RFC 8785 canonical JSON in plain Python, written apart from the native writer so that the
two can be compared on any value, subclasses and refusals included.

Strings and their escapes come from json.dumps (with ensure_ascii=False it escapes exactly
the quote, the backslash and the controls, with lower-case \\u00xx, as RFC 8785 does); the
layout of numbers is ECMAScript's Number::toString applied to the shortest round-trip digits
that repr gives; object members are ordered by their UTF-16 code units. Subclasses of str,
int, float, dict, list and tuple count as their stored value: no method of theirs is called.

``problems(value)`` lists every reason the writer must refuse a value, as exception types;
where there are several, the writer may report any one of them (the order in which it meets
them is its own business). RecursionError alone is a permission, not a duty: nesting from
DEEP levels on may exhaust the recursion limit, which depends on the caller's own depth.
"""

import decimal
import json
import math

MAX_SAFE = 2**53 - 1
DEEP = 256  # from this depth on the writer may run out of recursion


def utf16_units(text):
    units = []
    for c in text:
        code = ord(c)
        if code > 0xFFFF:
            code -= 0x10000
            units += [0xD800 | code >> 10, 0xDC00 | code & 0x3FF]
        else:
            units.append(code)
    return units


def has_lone_surrogate(text):
    return any(0xD800 <= ord(c) <= 0xDFFF for c in text)


def es_number(value):
    """ECMAScript's Number::toString of a finite double."""
    if value == 0:
        return "0"
    # repr gives the shortest digits that read back as the same double.
    _, digit_tuple, exponent = decimal.Decimal(repr(abs(value))).as_tuple()
    digits = "".join(map(str, digit_tuple)).rstrip("0")
    exponent += len(digit_tuple) - len(digits)
    k = len(digits)
    n = k + exponent  # the value is 0.d1d2...dk * 10**n
    if k <= n <= 21:
        text = digits + "0" * (n - k)
    elif 0 < n <= 21:
        text = digits[:n] + "." + digits[n:]
    elif -6 < n <= 0:
        text = "0." + "0" * -n + digits
    else:
        e = n - 1
        text = digits[0] + ("." + digits[1:] if k > 1 else "") + "e" + ("+" if e > 0 else "-") + str(abs(e))
    return ("-" if value < 0 else "") + text


def _stored(value):
    """The exact built-in value a subclass instance holds, without calling its methods."""
    if isinstance(value, str):
        return str.__str__(value)
    if isinstance(value, bool) or value is None:
        return value
    if isinstance(value, int):
        return int.__int__(value)
    if isinstance(value, float):
        return float.__float__(value)
    return value


def _items(seq):
    return list.__iter__(seq) if isinstance(seq, list) else tuple.__iter__(seq)


def problems(value, depth=0, found=None):
    """The exception types the writer may raise for value; empty when it must succeed."""
    found = set() if found is None else found
    value = _stored(value)
    if depth >= DEEP:
        found.add(RecursionError)  # allowed, not required: the limit depends on the caller
    if value is None or isinstance(value, bool):
        pass
    elif isinstance(value, str):
        if has_lone_surrogate(value):
            found.add(ValueError)
    elif isinstance(value, int):
        if abs(value) > MAX_SAFE:
            found.add(ValueError)
    elif isinstance(value, float):
        if not math.isfinite(value):
            found.add(ValueError)
    elif isinstance(value, (list, tuple)):
        for item in _items(value):
            problems(item, depth + 1, found)
    elif isinstance(value, dict):
        texts = []
        for key, item in dict.items(value):
            if not isinstance(key, str):
                found.add(TypeError)
                continue
            texts.append(str.__str__(key))
            if has_lone_surrogate(texts[-1]):
                found.add(ValueError)
            problems(item, depth + 1, found)
        if len(set(texts)) < len(texts):
            found.add(ValueError)
    else:
        found.add(TypeError)
    return found


def canonicalize(value):
    """The canonical bytes of a value that problems() finds nothing wrong with."""
    return _write(value).encode("utf-8")


def _write(value):
    value = _stored(value)
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return es_number(value)
    if isinstance(value, (list, tuple)):
        return "[" + ",".join(_write(v) for v in _items(value)) + "]"
    members = sorted(((str.__str__(k), v) for k, v in dict.items(value)),
                     key=lambda kv: utf16_units(kv[0]))
    return "{" + ",".join(json.dumps(k, ensure_ascii=False) + ":" + _write(v) for k, v in members) + "}"


def meaning(value):
    """What a JSON document says about a value: numbers as exact doubles (-0 is 0), arrays
    for lists and tuples alike, bool apart from 1 and 0."""
    value = _stored(value)
    if isinstance(value, (list, tuple)):
        return ["array", [meaning(v) for v in _items(value)]]
    if isinstance(value, dict):
        return ["object", sorted((str.__str__(k), meaning(v)) for k, v in dict.items(value))]
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return ["number", float(value) + 0.0]
    return [type(value).__name__, value]
