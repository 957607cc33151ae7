"""The simulated developer team: a certificate authority issued by the shared
simulated root (trust/), two signing identities (development and
distribution) issued by that authority, the devices registered with the team
and the settings of the profiles it issues. Keys and certificates are made
with the openssl command and kept under ROOT/.vek-sim/team.

The identities' SHA-1 fingerprints are the hashes `security find-identity`
prints, as on a Mac.
"""

import base64
import hashlib
import os
import subprocess

from .state import SimError

_FILE = "team.json"

TRUST_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "trust")
ROOT_CA = os.path.join(TRUST_DIR, "root-ca.pem")
_ROOT_CA_KEY = os.path.join(TRUST_DIR, "root-ca.key")

# How the team's provisioning profiles come out; changed with `vek-sim team set`.
PROFILE_DEFAULTS = {
    "expired": False,      # ExpirationDate a day in the past
    "wildcard": False,     # application-identifier PREFIX.* instead of PREFIX.BUNDLE_ID
    "prefix": "",          # the prefix written into profiles; empty: the team's own
}


def _openssl(*args):
    try:
        result = subprocess.run(("openssl",) + args, capture_output=True, text=True)
    except FileNotFoundError:
        raise SimError("the openssl command is needed to make the simulated team's certificates")
    if result.returncode != 0:
        raise SimError("openssl %s failed: %s" % (args[0], result.stderr.strip()))


def _subject(fields):
    return "".join("/%s=%s" % (k, v.replace("/", "\\/")) for k, v in fields)


def fingerprint(pem_path):
    with open(pem_path) as f:
        body = "".join(line for line in f if not line.startswith("-----"))
    return hashlib.sha1(base64.b64decode(body)).hexdigest().upper()


def _issue(folder, stem, subject, ca, usage, serial):
    key, csr, pem = (os.path.join(folder, stem + ext) for ext in (".key", ".csr", ".pem"))
    _openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", key, "-out", csr, "-subj", subject,
             "-addext", "basicConstraints=critical,CA:FALSE",
             "-addext", "keyUsage=critical,digitalSignature",
             "-addext", "extendedKeyUsage=critical,%s" % usage)
    _openssl("x509", "-req", "-in", csr, "-CA", ca + ".pem", "-CAkey", ca + ".key", "-set_serial", str(serial),
             "-days", "365", "-copy_extensions", "copyall", "-out", pem)
    os.remove(csr)
    return pem


def create(root, team_id, team_name):
    if len(team_id) != 10 or not team_id.isalnum() or team_id.upper() != team_id:
        raise SimError("a team id is 10 upper-case letters and digits, not '%s'" % team_id)
    folder = root.file("team")
    os.makedirs(folder, mode=0o700, exist_ok=True)
    member = "S" + hashlib.sha256(team_id.encode()).hexdigest()[:9].upper()
    ca = os.path.join(folder, "ca")
    _openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", ca + ".key", "-out", ca + ".csr",
             "-subj", _subject([("CN", "Simulated Worldwide Developer Relations Certification Authority"),
                                ("OU", "G3 %s" % team_id), ("O", "VEK Simulated Mac"), ("C", "US")]),
             "-addext", "basicConstraints=critical,CA:TRUE,pathlen:0",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign,digitalSignature")
    _openssl("x509", "-req", "-in", ca + ".csr", "-CA", ROOT_CA, "-CAkey", _ROOT_CA_KEY,
             "-set_serial", str(int(hashlib.sha256(team_id.encode() + os.urandom(8)).hexdigest()[:15], 16)),
             "-days", "3650", "-copy_extensions", "copyall", "-out", ca + ".pem")
    os.remove(ca + ".csr")
    identities = []
    for serial, (kind, common_name, uid) in enumerate((
            ("development", "Apple Development: Sim Developer (%s)" % member, member),
            ("distribution", "Apple Distribution: %s (%s)" % (team_name, team_id), team_id)), start=1):
        pem = _issue(folder, kind, _subject([("UID", uid), ("CN", common_name), ("OU", team_id),
                                             ("O", team_name), ("C", "US")]),
                     ca, "codeSigning", serial)
        identities.append({"kind": kind, "name": common_name, "sha1": fingerprint(pem),
                           "certificate": os.path.relpath(pem, root.state),
                           "key": os.path.relpath(pem[:-4] + ".key", root.state)})
    team = {"teamID": team_id, "teamName": team_name, "memberID": member,
            "ca": {"certificate": "team/ca.pem", "key": "team/ca.key"}, "identities": identities,
            "devices": [], "profiles": dict(PROFILE_DEFAULTS)}
    root.write_json(_FILE, team)
    return team


def load(root):
    team = root.read_json(_FILE, None)
    if team is None:
        raise SimError("%s has no simulated team" % root.path)
    team.setdefault("devices", [])
    team["profiles"] = dict(PROFILE_DEFAULTS, **team.get("profiles", {}))
    return team


def identity(root, team, kind):
    """(certificate path, key path, name) of the team's "development" or
    "distribution" identity."""
    for ident in team["identities"]:
        if ident["kind"] == kind:
            return root.file(ident["certificate"]), root.file(ident["key"]), ident["name"]
    raise SimError("team %s has no %s identity" % (team["teamID"], kind))


def register_device(root, udid, register=True):
    if not udid:
        raise SimError("a device needs a non-empty UDID")
    with root.lock():
        team = load(root)
        devices = [d for d in team["devices"] if d != udid]
        if register:
            devices.append(udid)
        elif len(devices) == len(team["devices"]):
            raise SimError("device '%s' is not registered with team %s" % (udid, team["teamID"]))
        team["devices"] = devices
        root.write_json(_FILE, team)


def set_profiles(root, **changes):
    """Changes the settings of the profiles the team issues from now on."""
    with root.lock():
        team = load(root)
        for key, value in changes.items():
            if value is None:
                continue
            if key not in PROFILE_DEFAULTS:
                raise SimError("profiles have no setting '%s'" % key)
            if key == "prefix" and value and (len(value) != 10 or not value.isalnum()):
                raise SimError("a profile prefix is a 10-character team id, not '%s'" % value)
            team["profiles"][key] = value
        root.write_json(_FILE, team)
        return team
