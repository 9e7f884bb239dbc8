"""When each certificate of a PEM file is valid: read from its DER, as ``ssl`` gives no such look
at a certificate of one's own and the package carries no X.509 library."""

from __future__ import annotations

import base64
import binascii
import datetime
import re

_BLOCK = re.compile(r"-----BEGIN CERTIFICATE-----\s*(.*?)\s*-----END CERTIFICATE-----", re.S)
_SEQUENCE, _UTC_TIME, _GENERALIZED_TIME, _VERSION = 0x30, 0x17, 0x18, 0xA0


class Unreadable(ValueError):
    pass


def _element(data: bytes, at: int) -> tuple[int, int, int]:
    """The tag at ``at``, where its content starts and where it ends."""
    if at + 2 > len(data):
        raise Unreadable
    tag, length, at = data[at], data[at + 1], at + 2
    if length & 0x80:
        size = length & 0x7F
        length, at = int.from_bytes(data[at : at + size]), at + size
    if at + length > len(data):
        raise Unreadable
    return tag, at, at + length


def _time(data: bytes, at: int) -> tuple[datetime.datetime, int]:
    tag, start, end = _element(data, at)
    text = data[start:end].decode("ascii")
    if tag == _UTC_TIME:  # two-digit years: 50 to 99 are 19xx
        text = ("19" if int(text[:2]) >= 50 else "20") + text
    elif tag != _GENERALIZED_TIME:
        raise Unreadable
    moment = datetime.datetime.strptime(text, "%Y%m%d%H%M%SZ").replace(tzinfo=datetime.UTC)
    return moment, end


def _validity(der: bytes) -> tuple[datetime.datetime, datetime.datetime]:
    _, certificate, _ = _element(der, 0)  # Certificate ::= SEQUENCE { tbsCertificate, ... }
    tag, at, _ = _element(der, certificate)
    if tag != _SEQUENCE:
        raise Unreadable
    tag, _, end = _element(der, at)
    if tag == _VERSION:
        at = end
    for _ in range(3):  # serialNumber, signature, issuer
        at = _element(der, at)[2]
    tag, at, _ = _element(der, at)
    if tag != _SEQUENCE:
        raise Unreadable
    not_before, at = _time(der, at)
    not_after, _ = _time(der, at)
    return not_before, not_after


def validity(pem: str) -> list[tuple[datetime.datetime, datetime.datetime]]:
    """(not before, not after) of each certificate in ``pem``, in file order; raises Unreadable."""
    try:
        return [_validity(base64.b64decode(block, validate=False)) for block in _BLOCK.findall(pem)]
    except (binascii.Error, ValueError, UnicodeDecodeError) as exc:
        raise Unreadable from exc
