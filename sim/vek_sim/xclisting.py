"""Reading a project or workspace back the way `xcodebuild -list` sees it.

Schemes are the shared ones (xcshareddata/xcschemes), sorted as Xcode's
scheme list is; configurations are the project-level configuration list in
file order; targets are the project's targets in file order.
"""

import os

from . import pbxproj

# A raw listing stored in a project or workspace by `vek-sim project listing`;
# `xcodebuild -list -json` prints it instead of reading the project.
LISTING_OVERRIDE = "vek-sim-listing.json"


class Unreadable(Exception):
    """The project or workspace exists but cannot be read; the text says why."""


def _sorted_names(names):
    return sorted(names, key=lambda n: (n.lower(), n))


def shared_schemes(container_path):
    folder = os.path.join(container_path, "xcshareddata", "xcschemes")
    try:
        entries = os.listdir(folder)
    except OSError:
        return []
    return [e[:-len(".xcscheme")] for e in entries if e.endswith(".xcscheme") and len(e) > len(".xcscheme")]


def read_project(path):
    """{'name', 'configurations', 'schemes', 'targets'} of an .xcodeproj."""
    name = os.path.basename(os.path.normpath(path))[:-len(".xcodeproj")]
    try:
        with open(os.path.join(path, "project.pbxproj"), encoding="utf-8") as f:
            data = pbxproj.parse(f.read())
        objects = data["objects"]
        project = objects[data["rootObject"]]
        config_list = objects[project["buildConfigurationList"]]
        configurations = [objects[c]["name"] for c in config_list["buildConfigurations"]]
        targets = [objects[t]["name"] for t in project.get("targets", [])]
    except (OSError, ValueError, KeyError, TypeError) as e:
        raise Unreadable("The project ‘%s’ is damaged and cannot be opened. (%s)" % (name, e))
    return {"name": name, "configurations": configurations, "schemes": _sorted_names(shared_schemes(path)),
            "targets": targets}


def _locate(location, base):
    kind, _, rel = location.partition(":")
    if kind == "absolute":
        return rel
    if kind in ("group", "container"):
        return os.path.join(base, rel)
    return None  # "self:" and other kinds name no file of their own


def workspace_projects(path):
    """Paths of the projects a workspace refers to, in file order; groups nest."""
    from xml.etree import ElementTree
    try:
        tree = ElementTree.parse(os.path.join(path, "contents.xcworkspacedata"))
    except (OSError, ElementTree.ParseError) as e:
        raise Unreadable("The workspace ‘%s’ cannot be opened. (%s)" % (os.path.basename(path), e))
    found = []

    def walk(element, base):
        for child in element:
            where = _locate(child.get("location", ""), base)
            if child.tag == "Group":
                walk(child, where or base)
            elif child.tag == "FileRef" and where and where.endswith(".xcodeproj"):
                found.append(os.path.normpath(where))

    walk(tree.getroot(), os.path.dirname(os.path.abspath(path)))
    return found


def read_workspace(path):
    """{'name', 'schemes'}: the shared schemes of the workspace and of every
    project it refers to that exists."""
    name = os.path.basename(os.path.normpath(path))[:-len(".xcworkspace")]
    schemes = shared_schemes(path)
    for project in workspace_projects(path):
        if os.path.isdir(project):
            schemes += [s for s in shared_schemes(project) if s not in schemes]
    return {"name": name, "schemes": _sorted_names(schemes)}
