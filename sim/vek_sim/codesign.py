"""The codesign stand-in: `--verify [--deep] [--strict] [-v] PATH` checks a
simulated signature (see signing.py); `-d [-v] --entitlements :-|- [--xml]
PATH` prints the signed entitlements.

Verification prints nothing and exits 0 when the signature holds, and
otherwise prints codesign's complaint on standard error and exits 1.
"""

import os
import plistlib
import re
import sys

from . import faults, signing
from .toolerror import ToolExit

_USAGE = ("Usage: codesign -s identity [-fv*] [-o flags] [-r reqs] [-i ident] path ... # sign\n"
          "       codesign -v [-v*] [-R=<req string>|-R <req file path>] path|[+]pid ... # verify\n"
          "       codesign -d [options] path ... # display contents\n")


def _parse(args):
    flags, entitlements, paths, verbose, letters = set(), None, [], 0, ""
    i = 0
    while i < len(args):
        arg = args[i]
        if arg == "--entitlements":
            if i + 1 >= len(args):
                raise ToolExit(2, "codesign: option `--entitlements' requires an argument\n" + _USAGE)
            entitlements = args[i + 1]
            i += 1
        elif arg.startswith("--entitlements="):
            entitlements = arg.split("=", 1)[1]
        elif arg in ("--verify", "--deep", "--strict", "--display", "--xml", "--no-strict"):
            flags.add(arg[2:])
        elif arg.startswith("--verbose"):
            verbose += 1
        elif re.fullmatch(r"-[dv]+", arg):
            letters += arg[1:]
        elif arg.startswith("-"):
            raise ToolExit(2, "codesign: unrecognized option `%s'\n%s" % (arg, _USAGE))
        else:
            paths.append(arg)
        i += 1
    # As codesign reads them: with -d every -v asks for more detail; without,
    # the first -v means verify.
    if "d" in letters:
        flags.add("display")
    elif "v" in letters:
        flags.add("verify")
        verbose -= 1
    verbose += letters.count("v")
    if not paths or ("verify" in flags) == ("display" in flags):
        raise ToolExit(2, _USAGE)
    return flags, entitlements, paths, verbose


def _verify(root, path, flags, verbose):
    if faults.take(root, "codesign-verify", path) == "broken":
        raise ToolExit(1, "%s: a sealed resource is missing or invalid\nfile modified: %s\n"
                       % (path, os.path.join(path, "Info.plist")))
    try:
        signing.verify(path, deep="deep" in flags, strict="strict" in flags and "no-strict" not in flags)
    except signing.Invalid as e:
        raise ToolExit(1, "%s\n" % e)
    except OSError as e:
        raise ToolExit(1, "%s: %s\n" % (e.filename or path, e.strerror))
    if verbose:
        sys.stderr.write("%s: valid on disk\n%s: satisfies its Designated Requirement\n" % (path, path))


def _bracketed(value, depth):
    pad = "\t" * depth
    if isinstance(value, dict):
        lines = [pad + "[Dict]"]
        for key in sorted(value):
            lines += [pad + "\t[Key] " + key, pad + "\t[Value]", _bracketed(value[key], depth + 2)]
        return "\n".join(lines)
    if isinstance(value, list):
        return "\n".join([pad + "[Array]"] + [_bracketed(v, depth + 1) for v in value])
    if isinstance(value, bool):
        return pad + "[Bool] " + ("true" if value else "false")
    if isinstance(value, int):
        return pad + "[Integer] %d" % value
    return pad + "[String] %s" % value


def single_line_xml(value):
    """A property list on one line, as codesign prints entitlements."""
    text = plistlib.dumps(value, sort_keys=True).decode()
    text = text.replace("http://www.apple.com/DTDs", "https://www.apple.com/DTDs")
    return re.sub(r"\n\t*", "", text)


def _display(path, entitlements, flags, verbose):
    if not os.path.exists(path):
        raise ToolExit(1, "%s: No such file or directory\n" % path)
    if not signing.is_signed(path):
        raise ToolExit(1, "%s: code object is not signed at all\n" % path)
    try:
        directory = signing.read_code_directory(path)
        with open(os.path.join(path, "Info.plist"), "rb") as f:
            executable = plistlib.load(f).get("CFBundleExecutable", "")
    except (OSError, ValueError, AttributeError, plistlib.InvalidFileException):
        raise ToolExit(1, "%s: invalid signature (code or signature have been modified)\n" % path)
    sys.stderr.write("Executable=%s\n" % os.path.join(os.path.abspath(path), executable))
    if verbose:
        sys.stderr.write("Identifier=%s\nFormat=%s\nAuthority=%s\nTeamIdentifier=%s\n" % (
            directory.get("Identifier", ""), directory.get("Format", ""), directory.get("Authority", ""),
            directory.get("TeamIdentifier", "not set")))
    if entitlements is None:
        return
    if entitlements.startswith(":"):
        sys.stderr.write("warning: Specifying ':' in the path is deprecated and will not work in a future "
                         "release\n")
    values = directory.get("Entitlements") or {}
    if not values:
        return
    if entitlements.startswith(":") or "xml" in flags:
        text = single_line_xml(values)
    else:
        text = _bracketed(values, 0) + "\n"
    target = entitlements.lstrip(":")
    if target == "-":
        sys.stdout.write(text)
    else:
        with open(target, "w") as f:
            f.write(text)


def run(root, args):
    flags, entitlements, paths, verbose = _parse(args)
    for path in paths:
        if "verify" in flags:
            _verify(root, path, flags, verbose)
        else:
            _display(path, entitlements, flags, verbose)
    return 0
