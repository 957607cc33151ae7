"""The xcodebuild stand-in: `-version`, `-list [-json]`, `archive` and
`-exportArchive` (the last two in xcarchive.py and xcexport.py).

Exit statuses follow xcodebuild's: 64 for a bad command line, 65 for a
failed action, 66 for a project or workspace that is not there, 70 for a
failed export or an unknown destination, 74 for a project that cannot be
read.
"""

import os
import sys

from . import applejson, faults, xclisting
from .toolerror import ToolExit

VERSION_TEXT = "Xcode 16.2\nBuild version 16C5032a\n"

_USAGE = ("Usage: xcodebuild [-project <projectname>] [[-target <targetname>]...|-alltargets] "
          "[-configuration <configurationname>] [-arch <architecture>]... [-sdk [<sdkname>|<sdkpath>]] "
          "[-showBuildSettings [-json]] [<buildsetting>=<value>]... [<buildaction>]...\n"
          "       xcodebuild [-project <projectname>] -scheme <schemeName> [-destination <destinationspecifier>]... "
          "[-configuration <configurationname>] [-arch <architecture>]... [-sdk [<sdkname>|<sdkpath>]] "
          "[-showBuildSettings [-json]] [-showdestinations] [<buildsetting>=<value>]... [<buildaction>]...\n"
          "       xcodebuild -workspace <workspacename> -scheme <schemeName> ...\n"
          "       xcodebuild -version [-sdk [<sdkfullpath>|<sdkname>] [-json] [<infoitem>] ]\n"
          "       xcodebuild -list [[-project <projectname>]|[-workspace <workspacename>]] [-json]\n")

_FLAGS = ("-list", "-json", "-version", "-quiet", "-exportArchive", "-allowProvisioningUpdates")
_WITH_VALUE = ("-project", "-workspace", "-scheme", "-configuration", "-destination", "-archivePath",
               "-derivedDataPath", "-exportPath", "-exportOptionsPlist", "-sdk")
_ACTIONS = ("archive",)


def _usage_error(message):
    raise ToolExit(64, "xcodebuild: error: %s\n\n%s" % (message, _USAGE))


def _parse(args):
    """(options, actions, build settings given as NAME=VALUE, in order)."""
    options, actions, settings = {}, [], {}
    i = 0
    while i < len(args):
        arg = args[i]
        if arg in _FLAGS:
            options[arg] = True
        elif arg in _WITH_VALUE:
            if i + 1 >= len(args):
                _usage_error("option '%s' requires at least one argument" % arg)
            options[arg] = args[i + 1]
            i += 1
        elif arg.startswith("-"):
            _usage_error("invalid option '%s'" % arg)
        elif "=" in arg and arg.split("=", 1)[0].replace("_", "").isalnum():
            name, value = arg.split("=", 1)
            settings[name] = value
        elif arg in _ACTIONS:
            actions.append(arg)
        else:
            raise ToolExit(65, "xcodebuild: error: Unknown build action '%s'.\n" % arg)
        i += 1
    return options, actions, settings


def container(options):
    """(kind, path) of what to list: the -project or -workspace given, or the
    one project in the current directory."""
    if "-project" in options and "-workspace" in options:
        _usage_error("The -workspace and -project options cannot be combined.")
    for kind in ("workspace", "project"):
        path = options.get("-" + kind)
        if path is None:
            continue
        if not os.path.exists(path):
            raise ToolExit(66, "xcodebuild: error: '%s' does not exist.\n" % path)
        extension = ".xcworkspace" if kind == "workspace" else ".xcodeproj"
        if not os.path.basename(os.path.normpath(path)).endswith(extension):
            raise ToolExit(66, "xcodebuild: error: '%s' is not a %s file.\n" % (path, kind))
        return kind, path
    cwd = os.getcwd()
    projects = sorted(e for e in os.listdir(cwd) if e.endswith(".xcodeproj"))
    if not projects:
        raise ToolExit(66, "xcodebuild: error: The directory %s does not contain an Xcode project, "
                           "workspace or package.\n" % cwd)
    if len(projects) > 1:
        raise ToolExit(64, "xcodebuild: error: The directory %s contains %d projects, including multiple "
                           "projects with the current extension (.xcodeproj). Specify the project to use with "
                           "the -project option.\n" % (cwd, len(projects)))
    return "project", projects[0]


def _text_listing(kind, listing):
    lines = ['Information about %s "%s":' % (kind, listing["name"])]
    if kind == "project":
        lines += ["    Targets:"] + ["        " + t for t in listing["targets"]] + [""]
        lines += ["    Build Configurations:"] + ["        " + c for c in listing["configurations"]] + [""]
        configurations = listing["configurations"]
        default = "Release" if "Release" in configurations or not configurations else configurations[-1]
        lines += ['    If no build configuration is specified and -scheme is not passed then "%s" is used.'
                  % default, ""]
    lines += ["    Schemes:"] + ["        " + s for s in listing["schemes"]]
    return "Command line invocation:\n    %s\n\n%s\n\n" % (
        " ".join(["/Applications/Xcode.app/Contents/Developer/usr/bin/xcodebuild"] + sys.argv[1:]),
        "\n".join(lines))


def _list(root, options):
    kind, path = container(options)
    mode = faults.take(root, "xcodebuild-list", path)
    if mode == "hang":
        faults.hang()
    if mode == "exit":
        raise ToolExit(65, "xcodebuild: error: Could not resolve package dependencies:\n"
                           "  the package graph could not be loaded\n")
    if mode == "garbage":
        sys.stdout.write("2025-01-15 10:20:30.123 xcodebuild[4242:171717] [MT] DVTAssertions: "
                         "Warning in IDEFoundation\n{ \"%s\" : \n" % kind)
        return 0
    try:
        with open(os.path.join(path, xclisting.LISTING_OVERRIDE), "rb") as f:
            sys.stdout.flush()
            sys.stdout.buffer.write(f.read())
        return 0
    except FileNotFoundError:
        pass
    try:
        listing = xclisting.read_workspace(path) if kind == "workspace" else xclisting.read_project(path)
    except xclisting.Unreadable as e:
        raise ToolExit(74, "xcodebuild: error: Unable to read %s '%s'.\n\tReason: %s\n"
                       % (kind, os.path.basename(os.path.normpath(path)), e))
    if "-json" in options:
        sys.stdout.write(applejson.dumps({kind: listing}) + "\n")
    else:
        sys.stdout.write(_text_listing(kind, listing))
    return 0


def run(root, args):
    options, actions, settings = _parse(args)
    if "-version" in options:
        if len(options) > 1 or actions:
            _usage_error("option '-version' cannot be combined with other options")
        sys.stdout.write(VERSION_TEXT)
        return 0
    if "-exportArchive" in options:
        if actions or "-list" in options:
            _usage_error("-exportArchive cannot be combined with build actions")
        from . import xcexport
        return xcexport.run(root, options, args)
    if "archive" in actions:
        if "-list" in options:
            _usage_error("-list cannot be combined with build actions")
        from . import xcarchive
        return xcarchive.run(root, options, settings, args)
    if "-list" in options:
        return _list(root, options)
    _usage_error("no action given")
