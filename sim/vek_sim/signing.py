"""Code signatures of simulated app bundles, and their verification.

A signed bundle holds, in _CodeSignature/:
- CodeResources: an XML property list whose `files2` seals every file of the
  bundle by SHA-256 (`hash2`), every symbolic link by its target (`symlink`)
  and every nested bundle (PlugIns/X.appex, Watch/X.app, ...) by the digest
  of its own code directory (`cdhash`); the nested bundle's files are sealed
  by its own signature, as on a Mac;
- CodeDirectory: an XML property list naming the bundle (Identifier,
  TeamIdentifier, Authority), its signed Entitlements and the SHA-256 of
  CodeResources;
- CodeSignature: a detached CMS signature over CodeDirectory by the team's
  identity, carrying the team's certificate authority, so that it verifies
  against the simulated root alone, on any simulated Mac.

Nested bundles must be signed before the bundle that holds them.
"""

import hashlib
import os
import plistlib

from . import cms

SIGNATURE_DIR = "_CodeSignature"
CODE_RESOURCES = "CodeResources"
CODE_DIRECTORY = "CodeDirectory"
CODE_SIGNATURE = "CodeSignature"
NESTED_EXTENSIONS = (".app", ".appex", ".framework", ".xpc")
_CHUNK = 4 << 20

_RULES = {"^.*": True, "^.*\\.lproj/": {"optional": True, "weight": 1000.0},
          "^Base\\.lproj/": {"weight": 1010.0}, "^version.plist$": True}
_RULES2 = {".*\\.dSYM($|/)": {"weight": 11.0}, "^(.*/)?\\.DS_Store$": {"omit": True, "weight": 2000.0},
           "^.*": True, "^Info\\.plist$": {"omit": True, "weight": 20.0},
           "^PkgInfo$": {"omit": True, "weight": 20.0}, "^embedded\\.provisionprofile$": {"weight": 20.0},
           "^version\\.plist$": {"weight": 20.0}}


def file_digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            piece = f.read(_CHUNK)
            if not piece:
                return h.digest()
            h.update(piece)


def _is_nested(name):
    return name.endswith(NESTED_EXTENSIONS)


def walk(bundle):
    """(relative path, kind) of every item the bundle's own seal covers, in
    a stable order: kind is "file", "symlink" or "nested"."""
    out = []

    def visit(folder, rel):
        for name in sorted(os.listdir(folder)):
            path, item = os.path.join(folder, name), (rel + "/" + name if rel else name)
            if not rel and name == SIGNATURE_DIR:
                continue
            if os.path.islink(path):
                out.append((item, "symlink"))
            elif os.path.isdir(path):
                if _is_nested(name):
                    out.append((item, "nested"))
                else:
                    visit(path, item)
            else:
                out.append((item, "file"))

    visit(bundle, "")
    return out


def cdhash(bundle):
    with open(os.path.join(bundle, SIGNATURE_DIR, CODE_DIRECTORY), "rb") as f:
        return hashlib.sha256(f.read()).digest()


def _requirement(identifier, team_id):
    return ('identifier "%s" and anchor apple generic and certificate leaf[subject.OU] = "%s"'
            % (identifier, team_id))


def _seal_entry(bundle, rel, kind):
    path = os.path.join(bundle, rel)
    if kind == "symlink":
        return {"symlink": os.readlink(path)}
    if kind == "nested":
        return {"cdhash": cdhash(path), "requirement": _nested_requirement(path)}
    return {"hash2": file_digest(path)}


def _nested_requirement(path):
    try:
        directory = read_code_directory(path)
        return _requirement(directory.get("Identifier", ""), directory.get("TeamIdentifier", ""))
    except (OSError, ValueError):
        return ""


def sign(bundle, identifier, team_id, entitlements, identity):
    """Seals `bundle` and signs it; `identity` is (certificate, key, name, chain)."""
    certificate, key, name, chain = identity
    files2 = {rel: _seal_entry(bundle, rel, kind) for rel, kind in walk(bundle)}
    resources = plistlib.dumps({"files": {}, "files2": files2, "rules": _RULES, "rules2": _RULES2},
                               sort_keys=True)
    directory = plistlib.dumps({
        "Authority": name, "CDHashAlgorithm": "sha256", "Entitlements": entitlements,
        "Format": "app bundle with Mach-O thin (arm64)", "Identifier": identifier,
        "ResourcesHash": hashlib.sha256(resources).digest(), "TeamIdentifier": team_id,
    }, sort_keys=True)
    signature = cms.sign(directory, certificate, key, chain, detached=True)
    folder = os.path.join(bundle, SIGNATURE_DIR)
    os.makedirs(folder, exist_ok=True)
    for file_name, data in ((CODE_RESOURCES, resources), (CODE_DIRECTORY, directory),
                            (CODE_SIGNATURE, signature)):
        with open(os.path.join(folder, file_name), "wb") as f:
            f.write(data)


def is_signed(bundle):
    folder = os.path.join(bundle, SIGNATURE_DIR)
    return all(os.path.isfile(os.path.join(folder, n)) for n in (CODE_RESOURCES, CODE_DIRECTORY, CODE_SIGNATURE))


def read_code_directory(bundle):
    with open(os.path.join(bundle, SIGNATURE_DIR, CODE_DIRECTORY), "rb") as f:
        directory = plistlib.load(f)
    if not isinstance(directory, dict):
        raise ValueError("the code directory is not a dictionary")
    return directory


class Invalid(Exception):
    """A bundle whose signature does not verify; the text is codesign's
    complaint, one or more lines."""


def _resource_problems(bundle, sealed, deep, strict):
    """codesign's lines about files that differ from the seal; raises for a
    nested bundle that does not verify."""
    problems = []
    present = dict(walk(bundle))
    real_bundle = os.path.realpath(bundle)
    for rel, kind in present.items():
        path = os.path.join(bundle, rel)
        entry = sealed.get(rel)
        if not isinstance(entry, dict) or (kind == "nested") != ("cdhash" in entry) \
                or (kind == "symlink") != ("symlink" in entry):
            problems.append("file added: %s" % path)
        elif kind == "symlink":
            target = os.readlink(path)
            if entry["symlink"] != target:
                problems.append("file modified: %s" % path)
            elif strict:
                resolved = os.path.realpath(os.path.join(os.path.dirname(path), target))
                if os.path.commonpath([resolved, real_bundle]) != real_bundle:
                    raise Invalid("%s: invalid destination for symbolic link in bundle" % bundle)
        elif kind == "nested":
            if not is_signed(path):
                raise Invalid("%s: code object is not signed at all\nIn subcomponent: %s" % (bundle, path))
            if deep:
                try:
                    verify(path, deep, strict)
                except Invalid as e:
                    detail = str(e).split("\n", 1)
                    raise Invalid("%s: %s\nIn subcomponent: %s%s" % (
                        bundle, detail[0].split(": ", 1)[-1], path, "\n" + detail[1] if len(detail) > 1 else ""))
            if cdhash(path) != entry["cdhash"]:
                problems.append("file modified: %s" % path)
        elif entry.get("hash2") != file_digest(path):
            problems.append("file modified: %s" % path)
    for rel in sorted(set(sealed) - set(present)):
        problems.append("file missing: %s" % os.path.join(bundle, rel))
    return problems


def verify(bundle, deep=True, strict=True):
    """Raises Invalid unless every sealed item of `bundle` (and, with `deep`,
    of every nested bundle) is as signed and the signature chains to the
    simulated root."""
    if not os.path.exists(bundle):
        raise Invalid("%s: No such file or directory" % bundle)
    if not os.path.isdir(bundle) or not is_signed(bundle):
        raise Invalid("%s: code object is not signed at all\nIn architecture: arm64" % bundle)
    folder = os.path.join(bundle, SIGNATURE_DIR)
    modified = "%s: invalid signature (code or signature have been modified)\nIn architecture: arm64" % bundle
    try:
        directory = read_code_directory(bundle)
        with open(os.path.join(folder, CODE_RESOURCES), "rb") as f:
            resources_bytes = f.read()
        resources = plistlib.loads(resources_bytes)
        sealed = resources.get("files2") if isinstance(resources, dict) else None
    except (OSError, ValueError, plistlib.InvalidFileException):
        raise Invalid(modified)
    if not isinstance(sealed, dict) or directory.get("ResourcesHash") != hashlib.sha256(resources_bytes).digest():
        raise Invalid("%s: a sealed resource is missing or invalid" % bundle)
    problems = _resource_problems(bundle, sealed, deep, strict)
    if problems:
        raise Invalid("%s: a sealed resource is missing or invalid\n%s" % (bundle, "\n".join(problems)))
    with open(os.path.join(folder, CODE_DIRECTORY), "rb") as f:
        directory_bytes = f.read()
    with open(os.path.join(folder, CODE_SIGNATURE), "rb") as f:
        signature = f.read()
    try:
        cms.verify_detached(signature, directory_bytes)
    except cms.CMSError as e:
        raise Invalid("%s: CSSMERR_TP_NOT_TRUSTED" % bundle if str(e) == "untrusted" else modified)
