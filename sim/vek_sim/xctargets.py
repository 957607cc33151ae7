"""What `xcodebuild archive` reads from a project: the scheme's app target,
the build settings of one configuration, and the targets the app embeds.

Settings are resolved as Xcode layers them: the project's configuration,
then the target's, then the ones given on the command line; $(NAME) and
${NAME} references are expanded, an unknown one to nothing.
"""

import os
import re
from xml.etree import ElementTree

from . import pbxproj, xclisting


class ReadError(Exception):
    """The scheme, target or configuration asked for is not there; the text
    is xcodebuild's message without its "xcodebuild: error: " prefix."""


_REFERENCE = re.compile(r"\$[({]([A-Za-z0-9_]+)(?::[^)}]*)?[)}]")


def _scheme_file(container, scheme):
    path = os.path.join(container, "xcshareddata", "xcschemes", scheme + ".xcscheme")
    return path if os.path.isfile(path) else None


def locate_scheme(kind, path, scheme):
    """(scheme file, folder its container paths are relative to) for a
    scheme of a project, or of a workspace or a project it refers to."""
    name = os.path.basename(os.path.normpath(path))
    containers = [path]
    if kind == "workspace":
        containers += xclisting.workspace_projects(path)
    for container in containers:
        found = _scheme_file(container, scheme)
        if found:
            return found, os.path.dirname(os.path.abspath(os.path.normpath(container)))
    raise ReadError('The %s named "%s" does not contain a scheme named "%s". The "-list" option can be used '
                    'to find the names of the schemes in the %s.' % (kind, name[:name.rfind(".")], scheme, kind))


def scheme_target(scheme_file, base):
    """(project path, target id, archive configuration) of the app the
    scheme archives."""
    try:
        root = ElementTree.parse(scheme_file).getroot()
    except (OSError, ElementTree.ParseError) as e:
        raise ReadError("Unable to read scheme '%s': %s" % (scheme_file, e))
    archive = root.find("ArchiveAction")
    configuration = archive.get("buildConfiguration", "Release") if archive is not None else "Release"
    for entry in root.iter("BuildActionEntry"):
        if entry.get("buildForArchiving", "YES") != "YES":
            continue
        ref = entry.find("BuildableReference")
        if ref is None or not ref.get("BuildableName", "").endswith(".app"):
            continue
        container = ref.get("ReferencedContainer", "")
        if container.startswith("container:"):
            return os.path.join(base, container[len("container:"):]), ref.get("BlueprintIdentifier"), configuration
    raise ReadError("Scheme %s has nothing to archive." % os.path.basename(scheme_file)[:-len(".xcscheme")])


def _load(project):
    try:
        with open(os.path.join(project, "project.pbxproj"), encoding="utf-8") as f:
            data = pbxproj.parse(f.read())
        return data["objects"], data["objects"][data["rootObject"]]
    except (OSError, ValueError, KeyError, TypeError) as e:
        raise ReadError("Unable to read project '%s'.\n\tReason: %s" % (os.path.basename(project), e))


def _configuration(objects, owner, name):
    for cid in objects[owner["buildConfigurationList"]]["buildConfigurations"]:
        if objects[cid].get("name") == name:
            return dict(objects[cid].get("buildSettings", {}))
    return None


def _expand(settings):
    def value(name, depth):
        text = settings.get(name, "")
        if isinstance(text, list):
            text = " ".join(text)
        if depth > 8:
            return text
        return _REFERENCE.sub(lambda m: value(m.group(1), depth + 1) if m.group(1) != "inherited" else "", text)
    return {k: value(k, 0).strip() if isinstance(v, (str, list)) else v for k, v in settings.items()}


def _target(objects, project, target_id, configuration, overrides, project_dir):
    target = objects.get(target_id)
    if not isinstance(target, dict) or target.get("isa") != "PBXNativeTarget":
        raise ReadError("The scheme's target %s is not in the project." % target_id)
    base = _configuration(objects, project, configuration)
    own = _configuration(objects, target, configuration)
    if base is None or own is None:
        raise ReadError('The project does not contain a build configuration named "%s".' % configuration)
    settings = {"TARGET_NAME": target["name"], "PROJECT_DIR": project_dir, "SRCROOT": project_dir,
                "CONFIGURATION": configuration}
    settings.update(base)
    settings.update(own)
    settings.update(overrides)
    settings = _expand(settings)
    settings.setdefault("PRODUCT_NAME", target["name"])
    return {"name": target["name"], "productType": target.get("productType", ""), "settings": settings,
            "id": target_id}


def read_app(project, target_id, configuration, overrides):
    """The app target with its settings, and under "embedded" the targets it
    embeds as (folder inside the app, target) pairs."""
    objects, root_object = _load(project)
    project_dir = os.path.dirname(os.path.abspath(os.path.normpath(project)))
    app = _target(objects, root_object, target_id, configuration, overrides, project_dir)
    products = {objects[t].get("productReference"): t for t in root_object.get("targets", []) if t in objects}
    embedded = []
    for phase_id in objects[target_id].get("buildPhases", []):
        phase = objects.get(phase_id, {})
        if phase.get("isa") != "PBXCopyFilesBuildPhase":
            continue
        subfolder, dst = phase.get("dstSubfolderSpec"), phase.get("dstPath", "")
        folder = "PlugIns" if subfolder == "13" else "Watch" if subfolder == "16" and dst.endswith("/Watch") else None
        if folder is None:
            continue
        for build_file in phase.get("files", []):
            inner = products.get(objects.get(build_file, {}).get("fileRef"))
            if inner:
                embedded.append((folder, _target(objects, root_object, inner, configuration, overrides,
                                                 project_dir)))
    app["embedded"] = embedded
    return app
