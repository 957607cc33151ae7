"""The security stand-in: `find-identity` lists the simulated team's signing
identities in the layout of the real command; `cms -D -i FILE [-o OUT]`
prints the content of a CMS message such as a provisioning profile."""

import sys

from . import cms, team
from .toolerror import ToolExit

_POLICY_NAMES = {"codesigning": "Code Signing", "basic": "X.509 Basic"}


def _find_identity(root, args):
    valid_only, policy = False, None
    i = 0
    while i < len(args):
        arg = args[i]
        if arg == "-v":
            valid_only = True
        elif arg in ("-p", "-s"):
            if i + 1 >= len(args):
                raise ToolExit(2, "security: option requires an argument -- %s\n" % arg[1])
            if arg == "-p":
                policy = args[i + 1]
            i += 1
        elif arg.startswith("-"):
            raise ToolExit(2, "security: illegal option -- %s\nUsage: find-identity [-h] [-p policy] "
                              "[-s string] [-v] [keychain...]\n" % arg[1:2])
        i += 1
    if policy is not None and policy not in _POLICY_NAMES:
        raise ToolExit(1, 'security: find-identity: unknown policy "%s"\n' % policy)

    identities = team.load(root)["identities"]
    rows = ['  %d) %s "%s"' % (n, ident["sha1"], ident["name"]) for n, ident in enumerate(identities, 1)]
    valid = rows + ["     %d valid identities found" % len(rows)]
    if valid_only:
        out = valid
    else:
        out = ["Policy: %s" % _POLICY_NAMES[policy or "basic"], "  Matching identities"] + rows
        out += ["     %d identities found" % len(rows), "", "  Valid identities only"] + valid
    sys.stdout.write("\n".join(out) + "\n")
    return 0


def _cms(root, args):
    decode, source, output = False, None, None
    i = 0
    while i < len(args):
        arg = args[i]
        if arg == "-D":
            decode = True
        elif arg in ("-i", "-o"):
            if i + 1 >= len(args):
                raise ToolExit(2, "security: option requires an argument -- %s\n" % arg[1])
            if arg == "-i":
                source = args[i + 1]
            else:
                output = args[i + 1]
            i += 1
        elif arg not in ("-h", "-n", "-u"):
            raise ToolExit(2, "security: illegal option -- %s\nUsage: cms [-C|-D|-E|-S] [<options>]\n" % arg[1:2])
        i += 1
    if not decode:
        raise ToolExit(2, "security: cms: only decoding (-D) is available\n")
    try:
        if source is None:
            data = sys.stdin.buffer.read()
        else:
            with open(source, "rb") as f:
                data = f.read()
    except OSError as e:
        raise ToolExit(1, "security: cms: unable to open \"%s\": %s\n" % (source, e.strerror))
    try:
        content = cms.content(data)
    except cms.CMSError:
        raise ToolExit(1, "security: failed to decode message\n")
    if output is None:
        sys.stdout.flush()
        sys.stdout.buffer.write(content)
    else:
        with open(output, "wb") as f:
            f.write(content)
    return 0


COMMANDS = {"find-identity": _find_identity, "cms": _cms}


def run(root, args):
    if not args or args[0] not in COMMANDS:
        raise ToolExit(1, 'security: unknown command "%s"\n' % (args[0] if args else ""))
    return COMMANDS[args[0]](root, args[1:])
