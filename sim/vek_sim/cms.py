"""CMS (PKCS#7) signatures through the openssl command, and reading the
signed content of an opaque CMS message without it.

Provisioning profiles are opaque messages (the profile travels inside the
signature); code signatures are detached ones over a bundle's code
directory. Decoding a profile needs no openssl run: the content is found by
walking the DER, which keeps `security cms -D` fast.
"""

import os
import subprocess
import tempfile

from . import team


class CMSError(Exception):
    """A message that cannot be made, read or verified; the text says why."""


def _openssl(args, data=None):
    try:
        result = subprocess.run(["openssl", "cms"] + args, input=data, capture_output=True)
    except FileNotFoundError:
        raise CMSError("the openssl command is missing")
    return result


def sign(data, certificate, key, chain, detached):
    """DER of a CMS SignedData over `data`, signed with `certificate`/`key`;
    `chain` (a PEM file, or None) travels along so a verifier needs only the
    root."""
    args = ["-sign", "-binary", "-signer", certificate, "-inkey", key, "-outform", "DER", "-nosmimecap",
            "-md", "sha256"] + (["-certfile", chain] if chain else [])
    if not detached:
        args.append("-nodetach")
    result = _openssl(args, data)
    if result.returncode != 0:
        raise CMSError("signing failed: %s" % result.stderr.decode(errors="replace").strip())
    return result.stdout


def verify_detached(signature, content):
    """Raises CMSError unless `signature` is a valid signature over `content`
    by a certificate that chains to the simulated root."""
    fd, path = tempfile.mkstemp(prefix="vek-sim-cms-")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(content)
        result = _openssl(["-verify", "-binary", "-inform", "DER", "-content", path, "-CAfile", team.ROOT_CA,
                           "-purpose", "any", "-out", os.devnull], signature)
    finally:
        os.remove(path)
    if result.returncode != 0:
        text = result.stderr.decode(errors="replace")
        raise CMSError("untrusted" if "certificate verify error" in text else "modified")


# --- reading DER ------------------------------------------------------------

def _tlv(der, pos):
    """(tag, start of value, end of value) of the element at `pos`."""
    if pos + 2 > len(der):
        raise CMSError("truncated element")
    tag, length = der[pos], der[pos + 1]
    pos += 2
    if length & 0x80:
        count = length & 0x7F
        if count == 0 or count > 4 or pos + count > len(der):
            raise CMSError("unsupported length")
        length = int.from_bytes(der[pos:pos + count], "big")
        pos += count
    if pos + length > len(der):
        raise CMSError("truncated element")
    return tag, pos, pos + length


def _children(der, start, end):
    out = []
    while start < end:
        tag, value_start, value_end = _tlv(der, start)
        out.append((tag, value_start, value_end))
        start = value_end
    return out


def _octets(der, tag, start, end):
    if tag == 0x04:
        return der[start:end]
    if tag == 0x24:  # constructed OCTET STRING: its pieces in order
        return b"".join(_octets(der, t, s, e) for t, s, e in _children(der, start, end))
    raise CMSError("content is not an OCTET STRING")


_SIGNED_DATA = bytes.fromhex("2a864886f70d010702")


def content(der):
    """The signed content of an opaque CMS SignedData message."""
    tag, start, end = _tlv(der, 0)
    if tag != 0x30:
        raise CMSError("not a CMS message")
    parts = _children(der, start, end)
    if len(parts) < 2 or parts[0][0] != 0x06 or der[parts[0][1]:parts[0][2]] != _SIGNED_DATA or parts[1][0] != 0xA0:
        raise CMSError("not a CMS signed-data message")
    signed = _children(der, parts[1][1], parts[1][2])
    if not signed or signed[0][0] != 0x30:
        raise CMSError("damaged signed data")
    fields = _children(der, signed[0][1], signed[0][2])
    if len(fields) < 3 or fields[2][0] != 0x30:
        raise CMSError("damaged signed data")
    encapsulated = _children(der, fields[2][1], fields[2][2])
    if len(encapsulated) < 2 or encapsulated[1][0] != 0xA0:
        raise CMSError("the message carries no content")
    inner = _children(der, encapsulated[1][1], encapsulated[1][2])
    if len(inner) != 1:
        raise CMSError("damaged content")
    return _octets(der, *inner[0])
