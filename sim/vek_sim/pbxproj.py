"""Old-style (OpenStep) property lists, the format of project.pbxproj.

`parse` reads dictionaries, arrays, quoted and bare strings and <hex> data,
skipping /* */ and // comments. `write_project` lays out a project's objects
the way Xcode does: grouped into sections by isa, each object with its
comment, file and build-file entries on one line.
"""

import re

_BARE = re.compile(r"[A-Za-z0-9_$+/:.\-]+")
_SAFE_BARE = re.compile(r"[A-Za-z0-9_$/:.]+\Z")
_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", '"': '"', "\\": "\\", "a": "\a", "b": "\b", "f": "\f", "v": "\v"}


class ParseError(ValueError):
    pass


class _Parser:
    def __init__(self, text):
        self.text = text
        self.pos = 0

    def fail(self, what):
        line = self.text.count("\n", 0, self.pos) + 1
        raise ParseError("%s at line %d" % (what, line))

    def skip(self):
        text = self.text
        while self.pos < len(text):
            c = text[self.pos]
            if c in " \t\r\n":
                self.pos += 1
            elif text.startswith("/*", self.pos):
                end = text.find("*/", self.pos + 2)
                if end < 0:
                    self.fail("unterminated comment")
                self.pos = end + 2
            elif text.startswith("//", self.pos):
                end = text.find("\n", self.pos)
                self.pos = len(text) if end < 0 else end + 1
            else:
                return

    def peek(self):
        self.skip()
        return self.text[self.pos] if self.pos < len(self.text) else ""

    def expect(self, char):
        if self.peek() != char:
            self.fail("expected '%s'" % char)
        self.pos += 1

    def value(self):
        c = self.peek()
        if c == "{":
            return self.dictionary()
        if c == "(":
            return self.array()
        if c == '"':
            return self.quoted()
        if c == "<":
            return self.data()
        match = _BARE.match(self.text, self.pos)
        if not match:
            self.fail("unexpected %r" % c if c else "unexpected end of text")
        self.pos = match.end()
        return match.group()

    def dictionary(self):
        self.expect("{")
        out = {}
        while self.peek() != "}":
            key = self.value()
            if not isinstance(key, str):
                self.fail("a key must be a string")
            self.expect("=")
            out[key] = self.value()
            self.expect(";")
        self.pos += 1
        return out

    def array(self):
        self.expect("(")
        out = []
        while self.peek() != ")":
            out.append(self.value())
            if self.peek() == ",":
                self.pos += 1
            elif self.peek() != ")":
                self.fail("expected ',' or ')'")
        self.pos += 1
        return out

    def quoted(self):
        self.pos += 1
        text, out = self.text, []
        while True:
            if self.pos >= len(text):
                self.fail("unterminated string")
            c = text[self.pos]
            if c == '"':
                self.pos += 1
                return "".join(out)
            if c == "\\":
                self.pos += 1
                e = text[self.pos:self.pos + 1]
                if e in _ESCAPES:
                    out.append(_ESCAPES[e])
                    self.pos += 1
                elif e in ("U", "u"):
                    out.append(chr(int(text[self.pos + 1:self.pos + 5], 16)))
                    self.pos += 5
                elif e.isdigit():
                    digits = re.match(r"[0-7]{1,3}", text[self.pos:]).group()
                    out.append(chr(int(digits, 8)))
                    self.pos += len(digits)
                else:
                    self.fail("bad escape")
            else:
                out.append(c)
                self.pos += 1

    def data(self):
        end = self.text.find(">", self.pos)
        if end < 0:
            self.fail("unterminated data")
        hexdigits = re.sub(r"\s", "", self.text[self.pos + 1:end])
        self.pos = end + 1
        try:
            return bytes.fromhex(hexdigits)
        except ValueError:
            self.fail("bad data")


def parse(text):
    parser = _Parser(text)
    value = parser.value()
    if parser.peek():
        parser.fail("text after the end")
    return value


# --- writing ----------------------------------------------------------------

def quote(value):
    if _SAFE_BARE.match(value):
        return value
    escaped = value.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n").replace("\t", "\\t")
    return '"%s"' % escaped


def _ref(value, comments):
    text = quote(value)
    if value in comments:
        text += " /* %s */" % comments[value]
    return text


def _inline(value, comments):
    if isinstance(value, dict):
        keys = sorted(value, key=lambda k: (k != "isa", k))
        return "{" + "".join("%s = %s; " % (quote(k), _inline(value[k], comments)) for k in keys) + "}"
    if isinstance(value, list):
        return "(" + "".join("%s, " % _inline(v, comments) for v in value) + ")"
    return _ref(value, comments)


def _block(value, depth, comments):
    tabs = "\t" * depth
    if isinstance(value, dict):
        lines = ["{"]
        for key in sorted(value, key=lambda k: (k != "isa", k)):
            lines.append("%s\t%s = %s;" % (tabs, _ref(key, comments), _block(value[key], depth + 1, comments)))
        lines.append(tabs + "}")
        return "\n".join(lines)
    if isinstance(value, list):
        lines = ["("]
        lines += ["%s\t%s," % (tabs, _block(v, depth + 1, comments)) for v in value]
        lines.append(tabs + ")")
        return "\n".join(lines)
    return _ref(value, comments)


_ONE_LINE = ("PBXBuildFile", "PBXFileReference")


def write_project(objects, root_object, comments):
    """Text of a project.pbxproj. `objects` maps id -> object (each with an
    "isa"); `comments` maps ids to the names Xcode prints beside them."""
    out = ["// !$*UTF8*$!", "{", "\tarchiveVersion = 1;", "\tclasses = {", "\t};", "\tobjectVersion = 60;",
           "\tobjects = {"]
    for isa in sorted({o["isa"] for o in objects.values()}):
        out.append("")
        out.append("/* Begin %s section */" % isa)
        for oid in sorted(i for i, o in objects.items() if o["isa"] == isa):
            obj = objects[oid]
            if isa in _ONE_LINE:
                out.append("\t\t%s = %s;" % (_ref(oid, comments), _inline(obj, comments)))
            else:
                out.append("\t\t%s = %s;" % (_ref(oid, comments), _block(obj, 2, comments)))
        out.append("/* End %s section */" % isa)
    out += ["\t};", "\trootObject = %s;" % _ref(root_object, comments), "}", ""]
    return "\n".join(out)
