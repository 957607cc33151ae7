"""Provisioning profiles issued by the simulated team, as real CMS messages
signed by the team's certificate authority.

A profile covers one app id (explicit, or the team's wildcard when the team
is set so), lists the devices registered with the team when it is issued
and carries the entitlements the signing kind allows: a development profile
allows the debugger and the development push environment, an Ad Hoc one
neither. Issued profiles are kept under ROOT/.vek-sim/team/profiles and
reused while they match and are valid, as Xcode reuses the ones it has
downloaded; only a new combination costs an openssl run.
"""

import base64
import datetime
import hashlib
import os
import uuid
from xml.sax.saxutils import escape

from . import cms
from .state import write_atomic

KINDS = ("development", "adhoc")
_DAY = datetime.timedelta(days=1)


def _date(moment):
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


def _certificate_der(pem_path):
    with open(pem_path) as f:
        body = "".join(line for line in f if not line.startswith("-----"))
    return base64.b64decode(body)


def _entitlements(app_id, prefix, team_id, kind, push):
    lines = ["\t\t\t\t<key>application-identifier</key>", "\t\t<string>%s</string>" % escape(app_id), "",
             "\t\t\t\t<key>keychain-access-groups</key>", "\t\t<array>",
             "\t\t\t\t<string>%s.*</string>" % prefix, "\t\t</array>", "",
             "\t\t\t\t<key>get-task-allow</key>", "\t\t<%s/>" % ("true" if kind == "development" else "false"), "",
             "\t\t\t\t<key>com.apple.developer.team-identifier</key>", "\t\t<string>%s</string>" % team_id]
    if push:
        lines += ["", "\t\t\t\t<key>aps-environment</key>",
                  "\t\t<string>%s</string>" % ("development" if kind == "development" else "production")]
    return "\n".join(lines)


def render(team, bundle_id, kind, push, certificate_pem, now):
    """The profile's property-list text, laid out as Apple's are."""
    settings = team["profiles"]
    prefix = settings["prefix"] or team["teamID"]
    app_id = "%s.%s" % (prefix, "*" if settings["wildcard"] else bundle_id)
    created = now - 366 * _DAY if settings["expired"] else now
    expires = now - _DAY if settings["expired"] else now + 365 * _DAY
    shown = "*" if settings["wildcard"] else bundle_id
    name = ("iOS Team Provisioning Profile: %s" % shown if kind == "development" else "%s AdHoc" % shown)
    certificate = base64.b64encode(_certificate_der(certificate_pem)).decode()
    devices = "".join("\t\t<string>%s</string>\n" % escape(d) for d in team["devices"])
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">\n'
            '<plist version="1.0">\n<dict>\n'
            '\t<key>AppIDName</key>\n\t<string>%s</string>\n'
            '\t<key>ApplicationIdentifierPrefix</key>\n\t<array>\n\t<string>%s</string>\n\t</array>\n'
            '\t<key>CreationDate</key>\n\t<date>%s</date>\n'
            '\t<key>Platform</key>\n\t<array>\n\t\t<string>iOS</string>\n\t\t<string>xrOS</string>\n'
            '\t\t<string>visionOS</string>\n\t</array>\n'
            '\t<key>IsXcodeManaged</key>\n\t<%s/>\n'
            '\t<key>DeveloperCertificates</key>\n\t<array>\n\t\t<data>%s</data>\n\t</array>\n\n'
            '\t<key>Entitlements</key>\n\t<dict>\n\n%s\n\n\t</dict>\n'
            '\t<key>ExpirationDate</key>\n\t<date>%s</date>\n'
            '\t<key>Name</key>\n\t<string>%s</string>\n'
            '\t<key>ProvisionedDevices</key>\n\t<array>\n%s\t</array>\n'
            '\t<key>TeamIdentifier</key>\n\t<array>\n\t\t<string>%s</string>\n\t</array>\n'
            '\t<key>TeamName</key>\n\t<string>%s</string>\n'
            '\t<key>TimeToLive</key>\n\t<integer>365</integer>\n'
            '\t<key>UUID</key>\n\t<string>%s</string>\n'
            '\t<key>Version</key>\n\t<integer>1</integer>\n'
            '</dict>\n</plist>') % (
                escape(bundle_id.split(".")[-1].capitalize() or bundle_id), prefix, _date(created),
                "true" if kind == "development" else "false", certificate,
                _entitlements(app_id, prefix, team["teamID"], kind, push), _date(expires), escape(name),
                devices, team["teamID"], escape(team["teamName"]), uuid.uuid4())


def issue(root, team, bundle_id, kind, push, certificate_pem):
    """DER of a profile for `bundle_id`; `push` asks for the push entitlement.
    The profile is signed by the team's certificate authority."""
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    key = hashlib.sha256(repr((team["teamID"], sorted(team["profiles"].items()), team["devices"], bundle_id,
                               kind, bool(push), certificate_pem)).encode()).hexdigest()[:32]
    folder = root.file("team", "profiles")
    cached = os.path.join(folder, key + ".mobileprovision")
    try:
        # Reused until a day before it runs out, like a downloaded profile;
        # a profile made expired on purpose stays as it was made.
        if team["profiles"]["expired"] or os.path.getmtime(cached) > (now - 300 * _DAY).timestamp():
            with open(cached, "rb") as f:
                return f.read()
    except FileNotFoundError:
        pass
    text = render(team, bundle_id, kind, push, certificate_pem, now)
    der = cms.sign(text.encode(), root.file(team["ca"]["certificate"]), root.file(team["ca"]["key"]), None,
                   detached=False)
    os.makedirs(folder, mode=0o700, exist_ok=True)
    write_atomic(cached, der)
    return der
