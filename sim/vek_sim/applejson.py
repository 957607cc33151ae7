"""JSON text in the style of Foundation's pretty printer.

Apple's tools write 2-space indentation, `"key" : value`, keys ordered
case-insensitively, empty containers as an open bracket, a blank line and the
close bracket, and leave `/` and non-ASCII characters unescaped. The callers
decide about the trailing newline: devicectl's files have none, xcodebuild's
standard output has one.
"""

import json

_INDENT = "  "


def _key_order(key):
    return (key.lower(), key)


def _string(text):
    return json.dumps(text, ensure_ascii=False)


def _render(value, depth, out):
    if isinstance(value, dict):
        if not value:
            out.append("{\n\n" + _INDENT * depth + "}")
            return
        out.append("{\n")
        keys = sorted(value, key=_key_order)
        for i, key in enumerate(keys):
            out.append(_INDENT * (depth + 1) + _string(key) + " : ")
            _render(value[key], depth + 1, out)
            out.append(",\n" if i + 1 < len(keys) else "\n")
        out.append(_INDENT * depth + "}")
    elif isinstance(value, (list, tuple)):
        if not value:
            out.append("[\n\n" + _INDENT * depth + "]")
            return
        out.append("[\n")
        for i, item in enumerate(value):
            out.append(_INDENT * (depth + 1))
            _render(item, depth + 1, out)
            out.append(",\n" if i + 1 < len(value) else "\n")
        out.append(_INDENT * depth + "]")
    elif isinstance(value, str):
        out.append(_string(value))
    elif value is None or isinstance(value, (bool, int, float)):
        out.append(json.dumps(value))
    else:
        raise TypeError("cannot render %r as JSON" % (value,))


def dumps(value):
    """Render `value` as Apple-style pretty JSON, without a trailing newline."""
    out = []
    _render(value, 0, out)
    return "".join(out)
