#!/usr/bin/env python3
"""Writes the starting corpus of every fuzz target into fuzz/corpus/ (run by hand; the files are
committed). Inputs that a fuzzing run found worth keeping are added beside them by hand."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


KEY = bytes(range(0xA0, 0xB0))


def head(kind, length, sign=b"logs1111", masked=0, key=KEY):
    return (sign + key + struct.pack("<II", kind, length) + struct.pack(">HBBHBB", 2026, 3, 14, 9, 26, 53)
            + bytes([0x5A, masked]))


def record(kind, length, body=b"", **kw):
    body = body[: max(0, length - 42)]
    body += bytes(max(0, length - 42 - len(body)))
    masked = kw.get("masked", 0)
    if masked:
        body = bytes(b ^ 0xFF for b in body)
    return head(kind, length, **kw) + body


def user_body(action=1, result=0, service=1, attr=0, auth=3, name=b"alice"):
    b = struct.pack("<iii", 7, action, result) + bytes([10, 0, 0, 9]) + struct.pack("<i", service)
    b += bytes([10, 0, 0, 1]) + struct.pack(">H", 443) + name.ljust(200, b"\0")
    b += struct.pack("<ii", attr, auth)
    return b


def framing(name, stream, ring=3, pieces=(255,), disk_full=False):
    ctrl = bytes([ring, len(pieces) - 1, 0x80 if disk_full else 0]) + bytes(pieces)
    put("framing", name, ctrl + stream)


keepalive = record(0, 58, struct.pack("<4sii", bytes([10, 0, 0, 1]), 1, 100) + struct.pack("<i", 200))
probe = b"logs1111" + b"KELVDEVPROBE01\0\0" + struct.pack("<II", 0, 58) + bytes(58 - 32)
framing("keepalive", keepalive)
framing("probe", probe)
framing("two_signs", keepalive + record(0, 58, sign=b"logs0500"))
framing("user_v1", record(1, 796, user_body()))
framing("user_v1_old_804", record(1, 804, user_body()))
framing("user_v2_flux", record(10, 804, user_body(action=2) + struct.pack("<iiii", 5, 6, 7, 8)))
framing("user_v3", record(11, 824, user_body(action=3)))
framing("audit", record(2, 270))
framing("admin", record(3, 674, struct.pack("<iiii", 0, 1, 2, 0)))
framing("alarm_wraps", record(4, 5166, struct.pack("<i", 3)) * 3, ring=0, pieces=(200, 3, 77))
framing("system", record(8, 566, struct.pack("<iii", 0, 2, 17)))
framing("system_masked", record(8, 566, struct.pack("<iii", 0, 2, 17), masked=1))
framing("unsupported_6_7_9_13", b"".join(record(t, 100) for t in (6, 7, 9, 13, 14, 15, 99)))
framing("bad_lengths", head(0, 41) + head(0, 0) + head(0, 1048577) + head(0, 0xFFFFFFFF) + keepalive)
framing("out_of_range", record(8, 566, struct.pack("<iii", 0, 5, 17)) + record(1, 796, user_body(auth=512))
        + record(3, 674, struct.pack("<iiii", 0, 1, 16, 0)) + record(0, 58, struct.pack("<4si", b"\0" * 4, -1)))
framing("garbage_between", b"xx" + keepalive + b"logs111" + os.urandom(0) + b"\x00" * 300 + keepalive)
framing("push_bad_md5", record(5, 78 + 20, struct.pack("<i", 1) + b"0" * 32 + b"<content></content>"))
framing("auditfile_begin", record(12, 719, struct.pack("<ii", 1, 2) + bytes(104) + struct.pack("<i", 1)))
framing("disk_full", keepalive + record(8, 566, struct.pack("<iii", 0, 2, 17)), disk_full=True)
framing("big_claim_then_marker", head(4, 1000000) + keepalive, ring=15, pieces=(0,))

admin_doc = (b'<?xml version="1.0" encoding="UTF-8" ?>\n<velmofile><filecontent><CtrlManager>'
             b'<manager id="1" name="root" pgrpid="1" /><manager id="2" name="o\'b\\\\r" pgrpid="1" />'
             b'</CtrlManager><CtrlGroup><group id="1" name="admins" pgrpid="0" /></CtrlGroup>'
             b'</filecontent></velmofile>\n')
user_doc = (b'<?xml version="1.0" encoding="UTF-8" ?>\n<content><svpngroup><group id="3" name="g" pgrpid="0"/>'
            b'</svpngroup><SVPNUSER><user id="4" name="\xe5\x90\x8d" grpid="3"/>'
            b'<user id="5" name="&quot;&apos;&amp;\xf0\x9f\x98\x80" grpid="3"/></SVPNUSER></content>\n')
put("xmlpush", "admin", b"\0" + admin_doc)
put("xmlpush", "user", b"\1" + user_doc)
put("xmlpush", "deep_10000", b"\1<content>" + b"<a>" * 10000 + b"</a>" * 10000 + b"</content>")
put("xmlpush", "entities", b"\1<!DOCTYPE c [<!ENTITY a \"aaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;\">]>"
    b"<content><svpnuser><u id=\"1\" name=\"&b;&b;\" grpid=\"1\"/></svpnuser></content>")
put("xmlpush", "comments_cdata", b"\0<!-- <a><a> --><velmofile><![CDATA[<x><x>]]><filecontent/></velmofile>")

put("lzo1b", "roundtrip_text", b"\1\0\0\0" + b"the quick brown fox " * 40)
put("lzo1b", "roundtrip_binary", b"\1\0\0\0" + bytes(range(256)) * 4)
put("lzo1b", "raw_short_claim", b"\0\0\0\x10" + b"\x11\0\0")
put("lzo1b", "raw_garbage", b"\0\0\x10\0" + bytes((i * 37) & 0xFF for i in range(300)))

req = struct.pack("<I8sIiI", 24, b"INFOQRY\0", 0, 1, 0)
put("infoqry", "valid", req)
put("infoqry", "two_in_one", req + req)
put("infoqry", "wrong_sign", struct.pack("<I8sIiI", 24, b"INFORLY\0", 0, 1, 0))
put("infoqry", "wrong_size", struct.pack("<I8sIiI", 28, b"INFOQRY\0", 0, 1, 0))
put("infoqry", "type_2", struct.pack("<I8sIiI", 24, b"INFOQRY\0", 0, 2, 0))
put("infoqry", "type_negative", struct.pack("<I8sIiI", 24, b"INFOQRY\0", 0, -1, 0))
put("infoqry", "short", req[:23])
