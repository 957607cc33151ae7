"""Writing Xcode projects and workspaces as Xcode lays them out on disk.

A project PATH/Name.xcodeproj gets one iOS app target called Name whose
build settings carry the bundle id, team, deployment target, version, build
number and signing style for every configuration; its sources and its
entitlements file (holding aps-environment when push is on) sit in
PATH/Name beside the project. Every shared scheme builds that target.

Optionally the app embeds app extensions and a companion Watch app: each is
a target of its own, embedded by a copy-files phase of the app target as
Xcode's templates do. Settings named VEKSIM_* are the simulator's own knobs
(padding, push handling, an extension's profile); xcodebuild ignores
unknown settings, so the project stays a valid one.
"""

import hashlib
import os
import plistlib

from . import pbxproj
from .state import SimError, write_atomic

# "automatic" signs development and lets the export follow its method, as
# Xcode does; "development" and "production" keep that value whatever the
# export method, which is how a mismatched push environment is made.
PUSH_MODES = ("none", "development", "production", "automatic")
EXTENSION_PROFILES = ("own", "none", "app")
SIGNING_STYLES = ("Automatic", "Manual")


def _id(*parts):
    """Xcode's object ids are 24 hex digits; derived from names so the same
    project is written the same way every time."""
    return hashlib.sha256("\0".join(parts).encode()).hexdigest()[:24].upper()


def _stem(path, extension):
    base = os.path.basename(os.path.normpath(path))
    if not base.endswith(extension) or base == extension:
        raise SimError("'%s' must end in a name and %s" % (path, extension))
    return base[:-len(extension)]


def _debug_and_release(configurations):
    debug = next((c for c in configurations if "debug" in c.lower()), configurations[0])
    release = "Release" if "Release" in configurations else configurations[-1]
    return debug, release


def _target_settings(name, config, options):
    settings = {
        "ASSETCATALOG_COMPILER_APPICON_NAME": "AppIcon",
        "CODE_SIGN_ENTITLEMENTS": "%s/%s.entitlements" % (name, name),
        "CODE_SIGN_STYLE": options["signing"],
        "CURRENT_PROJECT_VERSION": options["build"],
        "ENABLE_PREVIEWS": "YES",
        "GENERATE_INFOPLIST_FILE": "YES",
        "INFOPLIST_KEY_UIApplicationSceneManifest_Generation": "YES",
        "INFOPLIST_KEY_UILaunchScreen_Generation": "YES",
        "IPHONEOS_DEPLOYMENT_TARGET": options["min_os"],
        "LD_RUNPATH_SEARCH_PATHS": ["$(inherited)", "@executable_path/Frameworks"],
        "MARKETING_VERSION": options["version"],
        "PRODUCT_BUNDLE_IDENTIFIER": options["bundle_id"],
        "PRODUCT_NAME": "$(TARGET_NAME)",
        "SWIFT_EMIT_LOC_STRINGS": "YES",
        "SWIFT_VERSION": "5.0",
        "TARGETED_DEVICE_FAMILY": "1,2",
    }
    if options["team"]:
        settings["DEVELOPMENT_TEAM"] = options["team"]
    if options["signing"] == "Manual":
        settings["CODE_SIGN_IDENTITY"] = "Apple Development" if "debug" in config.lower() else "Apple Distribution"
        settings["PROVISIONING_PROFILE_SPECIFIER"] = ""
    if options["simulator_only"]:
        settings["SDKROOT"] = "iphonesimulator"
        settings["SUPPORTED_PLATFORMS"] = "iphonesimulator"
    if options["pad_bytes"]:
        settings["VEKSIM_PAD_BYTES"] = str(options["pad_bytes"])
    if options["push"] == "automatic":
        settings["VEKSIM_PUSH_FOLLOWS_EXPORT"] = "YES"
    return settings


def _embedded_settings(kind, name, options):
    settings = {
        "CODE_SIGN_STYLE": options["signing"],
        "CURRENT_PROJECT_VERSION": options["build"],
        "GENERATE_INFOPLIST_FILE": "YES",
        "MARKETING_VERSION": options["version"],
        "PRODUCT_NAME": "$(TARGET_NAME)",
        "SKIP_INSTALL": "YES",
        "SWIFT_VERSION": "5.0",
    }
    if options["team"]:
        settings["DEVELOPMENT_TEAM"] = options["team"]
    if kind == "extension":
        settings.update({
            "IPHONEOS_DEPLOYMENT_TARGET": options["min_os"],
            "INFOPLIST_KEY_CFBundleDisplayName": name,
            "PRODUCT_BUNDLE_IDENTIFIER": "%s.%s" % (options["bundle_id"], name),
            "TARGETED_DEVICE_FAMILY": "1,2",
        })
        if options["extension_profile"] != "own":
            settings["VEKSIM_EMBEDDED_PROFILE"] = options["extension_profile"]
    else:
        settings.update({
            "INFOPLIST_KEY_WKCompanionAppBundleIdentifier": options["bundle_id"],
            "PRODUCT_BUNDLE_IDENTIFIER": "%s.watchkitapp" % options["bundle_id"],
            "SDKROOT": "watchos",
            "TARGETED_DEVICE_FAMILY": "4",
            "WATCHOS_DEPLOYMENT_TARGET": "10.0",
        })
    return settings


def _add_embedded(name, options, objects, comments, ids):
    """Targets for the extensions and the Watch app, and the app's phases
    that embed their products."""
    app = objects[ids["target"]]
    project = objects[ids["project"]]
    _, release = _debug_and_release(options["configurations"])
    phases = {}
    embedded = [("extension", e) for e in options["extensions"]]
    if options["watch_app"]:
        embedded.append(("watch", options["watch_app"]))
    for kind, target_name in embedded:
        target_id, product_id = _id(name, "target", target_name), _id(name, "product", target_name)
        list_id, build_id = _id(name, "configurations", target_name), _id(name, "embed", target_name)
        product = "%s.%s" % (target_name, "appex" if kind == "extension" else "app")
        objects[product_id] = {"isa": "PBXFileReference",
                               "explicitFileType": "wrapper.app-extension" if kind == "extension"
                               else "wrapper.application",
                               "includeInIndex": "0", "path": product, "sourceTree": "BUILT_PRODUCTS_DIR"}
        objects[build_id] = {"isa": "PBXBuildFile", "fileRef": product_id,
                             "settings": {"ATTRIBUTES": ["RemoveHeadersOnCopy"]}}
        comments.update({target_id: target_name, product_id: product, list_id:
                         'Build configuration list for PBXNativeTarget "%s"' % target_name,
                         build_id: "%s in Embed" % product})
        config_ids = []
        for config in options["configurations"]:
            cid = _id(name, target_name, "configuration", config)
            objects[cid] = {"isa": "XCBuildConfiguration", "name": config,
                            "buildSettings": _embedded_settings(kind, target_name, options)}
            comments[cid] = config
            config_ids.append(cid)
        objects[list_id] = {"isa": "XCConfigurationList", "buildConfigurations": config_ids,
                            "defaultConfigurationIsVisible": "0", "defaultConfigurationName": release}
        objects[target_id] = {
            "isa": "PBXNativeTarget", "buildConfigurationList": list_id, "buildPhases": [], "buildRules": [],
            "dependencies": [], "name": target_name, "productName": target_name, "productReference": product_id,
            "productType": "com.apple.product-type.app-extension" if kind == "extension"
            else "com.apple.product-type.application",
        }
        objects[ids["productsGroup"]]["children"].append(product_id)
        project["targets"].append(target_id)
        dependency, proxy = _id(name, "dependency", target_name), _id(name, "proxy", target_name)
        objects[proxy] = {"isa": "PBXContainerItemProxy", "containerPortal": ids["project"], "proxyType": "1",
                          "remoteGlobalIDString": target_id, "remoteInfo": target_name}
        objects[dependency] = {"isa": "PBXTargetDependency", "target": target_id, "targetProxy": proxy}
        comments.update({proxy: "PBXContainerItemProxy", dependency: "PBXTargetDependency"})
        app["dependencies"].append(dependency)
        phases.setdefault(kind, []).append(build_id)
    for kind, files in phases.items():
        phase_id = _id(name, "embedPhase", kind)
        title = "Embed Foundation Extensions" if kind == "extension" else "Embed Watch Content"
        objects[phase_id] = {"isa": "PBXCopyFilesBuildPhase", "buildActionMask": "2147483647",
                             "dstPath": "" if kind == "extension" else "$(CONTENTS_FOLDER_PATH)/Watch",
                             "dstSubfolderSpec": "13" if kind == "extension" else "16", "files": files,
                             "name": title, "runOnlyForDeploymentPostprocessing": "0"}
        comments[phase_id] = title
        app["buildPhases"].append(phase_id)


def _project_settings(config, options):
    debug = "debug" in config.lower()
    settings = {
        "ALWAYS_SEARCH_USER_PATHS": "NO",
        "CLANG_ENABLE_MODULES": "YES",
        "CLANG_ENABLE_OBJC_ARC": "YES",
        "COPY_PHASE_STRIP": "NO",
        "DEBUG_INFORMATION_FORMAT": "dwarf" if debug else "dwarf-with-dsym",
        "ENABLE_NS_ASSERTIONS": "YES" if debug else "NO",
        "ENABLE_STRICT_OBJC_MSGSEND": "YES",
        "GCC_OPTIMIZATION_LEVEL": "0" if debug else "s",
        "IPHONEOS_DEPLOYMENT_TARGET": options["min_os"],
        "MTL_FAST_MATH": "YES",
        "SDKROOT": "iphoneos",
        "SWIFT_COMPILATION_MODE": "singlefile" if debug else "wholemodule",
        "SWIFT_OPTIMIZATION_LEVEL": "-Onone" if debug else "-O",
    }
    if debug:
        settings["ONLY_ACTIVE_ARCH"] = "YES"
        settings["ENABLE_TESTABILITY"] = "YES"
    else:
        settings["VALIDATE_PRODUCT"] = "YES"
    return settings


def _pbxproj(name, options):
    configurations = options["configurations"]
    sources = ["%sApp.swift" % name, "ContentView.swift"]
    ids = {
        "project": _id(name, "project"), "target": _id(name, "target"),
        "product": _id(name, "product"), "mainGroup": _id(name, "mainGroup"),
        "appGroup": _id(name, "appGroup"), "productsGroup": _id(name, "productsGroup"),
        "entitlements": _id(name, "entitlements"),
        "projectConfigs": _id(name, "projectConfigurationList"),
        "targetConfigs": _id(name, "targetConfigurationList"),
        "sourcesPhase": _id(name, "sourcesPhase"), "frameworksPhase": _id(name, "frameworksPhase"),
        "resourcesPhase": _id(name, "resourcesPhase"),
    }
    comments = {
        ids["project"]: 'Project object', ids["target"]: name, ids["product"]: "%s.app" % name,
        ids["appGroup"]: name, ids["productsGroup"]: "Products", ids["entitlements"]: "%s.entitlements" % name,
        ids["projectConfigs"]: 'Build configuration list for PBXProject "%s"' % name,
        ids["targetConfigs"]: 'Build configuration list for PBXNativeTarget "%s"' % name,
        ids["sourcesPhase"]: "Sources", ids["frameworksPhase"]: "Frameworks", ids["resourcesPhase"]: "Resources",
    }
    objects = {
        ids["product"]: {"isa": "PBXFileReference", "explicitFileType": "wrapper.application", "includeInIndex": "0",
                         "path": "%s.app" % name, "sourceTree": "BUILT_PRODUCTS_DIR"},
        ids["entitlements"]: {"isa": "PBXFileReference", "lastKnownFileType": "text.plist.entitlements",
                              "path": "%s.entitlements" % name, "sourceTree": "<group>"},
    }
    file_refs, build_files = [], []
    for source in sources:
        ref, build = _id(name, "file", source), _id(name, "build", source)
        objects[ref] = {"isa": "PBXFileReference", "lastKnownFileType": "sourcecode.swift", "path": source,
                        "sourceTree": "<group>"}
        objects[build] = {"isa": "PBXBuildFile", "fileRef": ref}
        comments[ref], comments[build] = source, "%s in Sources" % source
        file_refs.append(ref)
        build_files.append(build)
    objects.update({
        ids["mainGroup"]: {"isa": "PBXGroup", "children": [ids["appGroup"], ids["productsGroup"]],
                           "sourceTree": "<group>"},
        ids["appGroup"]: {"isa": "PBXGroup", "children": file_refs + [ids["entitlements"]], "path": name,
                          "sourceTree": "<group>"},
        ids["productsGroup"]: {"isa": "PBXGroup", "children": [ids["product"]], "name": "Products",
                               "sourceTree": "<group>"},
        ids["sourcesPhase"]: {"isa": "PBXSourcesBuildPhase", "buildActionMask": "2147483647", "files": build_files,
                              "runOnlyForDeploymentPostprocessing": "0"},
        ids["frameworksPhase"]: {"isa": "PBXFrameworksBuildPhase", "buildActionMask": "2147483647", "files": [],
                                 "runOnlyForDeploymentPostprocessing": "0"},
        ids["resourcesPhase"]: {"isa": "PBXResourcesBuildPhase", "buildActionMask": "2147483647", "files": [],
                                "runOnlyForDeploymentPostprocessing": "0"},
        ids["target"]: {
            "isa": "PBXNativeTarget", "buildConfigurationList": ids["targetConfigs"],
            "buildPhases": [ids["sourcesPhase"], ids["frameworksPhase"], ids["resourcesPhase"]],
            "buildRules": [], "dependencies": [], "name": name, "productName": name,
            "productReference": ids["product"], "productType": "com.apple.product-type.application",
        },
    })
    target_attributes = {"CreatedOnToolsVersion": "16.2"}
    if options["push"] != "none":
        target_attributes["SystemCapabilities"] = {"com.apple.Push": {"enabled": "1"}}
    objects[ids["project"]] = {
        "isa": "PBXProject",
        "attributes": {"BuildIndependentTargetsInParallel": "1", "LastSwiftUpdateCheck": "1620",
                       "LastUpgradeCheck": "1620", "TargetAttributes": {ids["target"]: target_attributes}},
        "buildConfigurationList": ids["projectConfigs"], "compatibilityVersion": "Xcode 14.0",
        "developmentRegion": "en", "hasScannedForEncodings": "0", "knownRegions": ["en", "Base"],
        "mainGroup": ids["mainGroup"], "productRefGroup": ids["productsGroup"], "projectDirPath": "",
        "projectRoot": "", "targets": [ids["target"]],
    }
    _, release = _debug_and_release(configurations)
    for owner, settings_of, list_id, owner_name in (
            ("project", lambda c: _project_settings(c, options), ids["projectConfigs"], "PBXProject"),
            ("target", lambda c: _target_settings(name, c, options), ids["targetConfigs"], "PBXNativeTarget")):
        config_ids = []
        for config in configurations:
            cid = _id(name, owner, "configuration", config)
            objects[cid] = {"isa": "XCBuildConfiguration", "buildSettings": settings_of(config), "name": config}
            comments[cid] = config
            config_ids.append(cid)
        objects[list_id] = {"isa": "XCConfigurationList", "buildConfigurations": config_ids,
                            "defaultConfigurationIsVisible": "0", "defaultConfigurationName": release}
    _add_embedded(name, options, objects, comments, ids)
    return pbxproj.write_project(objects, ids["project"], comments), ids["target"]


def _attr(value):
    return (value.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;").replace(">", "&gt;"))


def _buildable(indent, target_id, name, container):
    pad = " " * indent
    return ("%s<BuildableReference\n"
            '%s   BuildableIdentifier = "primary"\n'
            '%s   BlueprintIdentifier = "%s"\n'
            '%s   BuildableName = "%s.app"\n'
            '%s   BlueprintName = "%s"\n'
            '%s   ReferencedContainer = "container:%s">\n'
            "%s</BuildableReference>\n") % (pad, pad, pad, target_id, pad, _attr(name), pad, _attr(name),
                                            pad, _attr(container), pad)


def scheme_xml(target_id, target_name, container, configurations):
    debug, release = _debug_and_release(configurations)
    ref = _buildable(12, target_id, target_name, container)
    runnable_ref = _buildable(9, target_id, target_name, container)
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<Scheme\n   LastUpgradeVersion = "1620"\n   version = "1.7">\n'
            '   <BuildAction\n      parallelizeBuildables = "YES"\n      buildImplicitDependencies = "YES">\n'
            '      <BuildActionEntries>\n'
            '         <BuildActionEntry\n            buildForTesting = "YES"\n            buildForRunning = "YES"\n'
            '            buildForProfiling = "YES"\n            buildForArchiving = "YES"\n'
            '            buildForAnalyzing = "YES">\n' + ref +
            '         </BuildActionEntry>\n      </BuildActionEntries>\n   </BuildAction>\n'
            '   <TestAction\n      buildConfiguration = "%s"\n'
            '      selectedDebuggerIdentifier = "Xcode.DebuggerFoundation.Debugger.LLDB"\n'
            '      selectedLauncherIdentifier = "Xcode.DebuggerFoundation.Launcher.LLDB"\n'
            '      shouldUseLaunchSchemeArgsEnv = "YES">\n   </TestAction>\n'
            '   <LaunchAction\n      buildConfiguration = "%s"\n'
            '      selectedDebuggerIdentifier = "Xcode.DebuggerFoundation.Debugger.LLDB"\n'
            '      selectedLauncherIdentifier = "Xcode.DebuggerFoundation.Launcher.LLDB"\n'
            '      launchStyle = "0"\n      useCustomWorkingDirectory = "NO"\n      ignoresPersistentStateOnLaunch = "NO"\n'
            '      debugDocumentVersioning = "YES"\n      debugServiceExtension = "internal"\n'
            '      allowLocationSimulation = "YES">\n'
            '      <BuildableProductRunnable\n         runnableDebuggingMode = "0">\n' + runnable_ref +
            '      </BuildableProductRunnable>\n   </LaunchAction>\n'
            '   <ProfileAction\n      buildConfiguration = "%s"\n      shouldUseLaunchSchemeArgsEnv = "YES"\n'
            '      savedToolIdentifier = ""\n      useCustomWorkingDirectory = "NO"\n'
            '      debugDocumentVersioning = "YES">\n   </ProfileAction>\n'
            '   <AnalyzeAction\n      buildConfiguration = "%s">\n   </AnalyzeAction>\n'
            '   <ArchiveAction\n      buildConfiguration = "%s"\n      revealArchiveInOrganizer = "YES">\n'
            '   </ArchiveAction>\n</Scheme>\n') % (_attr(debug), _attr(debug), _attr(release), _attr(debug),
                                                  _attr(release))


def _entitlements(push):
    if push == "none":
        return plistlib.dumps({}, sort_keys=True)
    return plistlib.dumps({"aps-environment": "development" if push == "automatic" else push}, sort_keys=True)


def _app_sources(name):
    return {
        "%sApp.swift" % name: "import SwiftUI\n\n@main\nstruct %sApp: App {\n    var body: some Scene {\n"
                              "        WindowGroup {\n            ContentView()\n        }\n    }\n}\n" % name,
        "ContentView.swift": "import SwiftUI\n\nstruct ContentView: View {\n    var body: some View {\n"
                             "        Text(\"Hello, world!\")\n    }\n}\n",
    }


def _names(value, what):
    names = [n.strip() for n in value.split(",")] if isinstance(value, str) else list(value)
    if not names or any(not n or "/" in n for n in names):
        raise SimError("%s must be a comma-separated list of names, not '%s'" % (what, value))
    return names


def _size(text):
    """Bytes from a count with an optional K, M or G (binary) suffix."""
    text = str(text or "0").strip()
    scale = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}.get(text[-1:].upper(), 1)
    digits = text[:-1] if scale > 1 else text
    if not digits.isdigit():
        raise SimError("--pad-bytes takes a number of bytes with an optional K, M or G, not '%s'" % text)
    return int(digits) * scale


def new_project(path, bundle_id, schemes=None, configurations="Debug,Release", team="ABCDE12345",
                min_os="16.0", version="1.0", build="1", push="none", signing="Automatic", extensions=(),
                extension_profile="own", watch_app=None, simulator_only=False, pad_bytes=0):
    name = _stem(path, ".xcodeproj")
    if os.path.exists(path):
        raise SimError("'%s' already exists" % path)
    if push not in PUSH_MODES:
        raise SimError("--push must be one of %s" % ", ".join(PUSH_MODES))
    signing = signing.capitalize()
    if signing not in SIGNING_STYLES:
        raise SimError("--signing must be automatic or manual")
    if extension_profile not in EXTENSION_PROFILES:
        raise SimError("--extension-profile must be one of %s" % ", ".join(EXTENSION_PROFILES))
    embedded = list(extensions) + ([watch_app] if watch_app else [])
    for target in embedded:
        if not target.isalnum() or target == name:
            raise SimError("an embedded target's name is letters and digits, not the app's: '%s'" % target)
    if len(set(embedded)) != len(embedded):
        raise SimError("embedded targets need distinct names")
    options = {"bundle_id": bundle_id, "team": team, "min_os": min_os, "version": version, "build": build,
               "push": push, "signing": signing,
               "configurations": _names(configurations, "--configurations"),
               "extensions": list(extensions), "extension_profile": extension_profile, "watch_app": watch_app,
               "simulator_only": simulator_only, "pad_bytes": _size(pad_bytes)}
    # No schemes at all ("") is a project nobody shared a scheme of.
    scheme_names = [] if schemes == "" else _names(schemes, "--schemes") if schemes else [name]
    text, target_id = _pbxproj(name, options)

    schemes_dir = os.path.join(path, "xcshareddata", "xcschemes")
    os.makedirs(schemes_dir)
    os.makedirs(os.path.join(path, "project.xcworkspace"))
    write_atomic(os.path.join(path, "project.pbxproj"), text.encode(), 0o644)
    write_atomic(os.path.join(path, "project.xcworkspace", "contents.xcworkspacedata"),
                 _workspace_xml(["self:"]).encode(), 0o644)
    container = "%s.xcodeproj" % name
    for scheme in scheme_names:
        write_atomic(os.path.join(schemes_dir, "%s.xcscheme" % scheme),
                     scheme_xml(target_id, name, container, options["configurations"]).encode(), 0o644)

    sources_dir = os.path.join(os.path.dirname(os.path.abspath(path)), name)
    os.makedirs(sources_dir, exist_ok=True)
    files = _app_sources(name)
    files["%s.entitlements" % name] = _entitlements(push)
    for file_name, content in files.items():
        target = os.path.join(sources_dir, file_name)
        if not os.path.exists(target):
            write_atomic(target, content if isinstance(content, bytes) else content.encode(), 0o644)


def _workspace_xml(locations):
    refs = "".join('   <FileRef\n      location = "%s">\n   </FileRef>\n' % _attr(loc) for loc in locations)
    return '<?xml version="1.0" encoding="UTF-8"?>\n<Workspace\n   version = "1.0">\n%s</Workspace>\n' % refs


def new_workspace(path, projects):
    """`projects` are paths as a user would add them: relative ones are
    relative to the folder holding the workspace."""
    _stem(path, ".xcworkspace")
    if os.path.exists(path):
        raise SimError("'%s' already exists" % path)
    locations = []
    for project in [p.strip() for p in projects.split(",") if p.strip()] if projects else []:
        locations.append(("absolute:" if os.path.isabs(project) else "group:") + project)
    os.makedirs(path)
    write_atomic(os.path.join(path, "contents.xcworkspacedata"), _workspace_xml(locations).encode(), 0o644)
