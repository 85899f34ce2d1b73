#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""Writes the named seed inputs of ares_reply_fuzz into reply_corpus/.

The files named by their hash next to them are inputs of fuzzing runs that
added coverage, merged in with: ares_reply_fuzz -merge=1 reply_corpus <run corpus>

Each seed is the request byte followed by replies (two-byte length, bytes);
see ares_reply_fuzz.cc for the layout. Most seeds take the query's question
(bit 3), so a reply is a header and the records behind the question.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "reply_corpus")

QUERY_A, QUERY_AAAA, QUERY_TYPE, ANY, INET, INET6, ANY_80, QUERY_CNAME = range(8)
TAKE_QUESTION, OWN_ID = 8, 16


def name(text):
    out = b""
    for label in text.strip(".").split("."):
        out += bytes([len(label)]) + label.encode()
    return out + b"\0"


def header(flags=0x8180, qd=1, an=0, ns=0, ar=0, ident=0):
    return struct.pack(">HHHHHH", ident, flags, qd, an, ns, ar)


def rr(owner, rtype, rdata, ttl=60):
    return owner + struct.pack(">HHIH", rtype, 1, ttl, len(rdata)) + rdata


PTR = b"\xc0\x0c"  # the question's name
V4 = bytes([192, 0, 2, 10])
V4B = bytes([192, 0, 2, 11])
V6 = bytes.fromhex("20010db8000000000000000000000010")


def answer(records, flags=0x8180, ns=b"", ns_count=0):
    return header(flags, 1, len(records), ns_count) + b"".join(records) + ns


def seed(mode, *replies, extra=b""):
    out = bytes([mode]) + extra
    for r in replies:
        out += struct.pack(">H", len(r)) + r
    return out


soa = rr(name("fuzz.test"), 6, name("ns.fuzz.test") + name("admin.fuzz.test") +
         struct.pack(">IIIII", 1, 3600, 600, 86400, 60))
full_question = name("www.fuzz.test") + struct.pack(">HH", 1, 1)

seeds = {
    "query-a": seed(QUERY_A | TAKE_QUESTION, answer([rr(PTR, 1, V4)])),
    "query-a-two": seed(QUERY_A | TAKE_QUESTION, answer([rr(PTR, 1, V4), rr(PTR, 1, V4B)])),
    "query-aaaa": seed(QUERY_AAAA | TAKE_QUESTION, answer([rr(PTR, 28, V6)])),
    "query-cname-chain": seed(QUERY_A | TAKE_QUESTION, answer([
        rr(PTR, 5, name("real.fuzz.test")),
        rr(name("real.fuzz.test"), 1, V4)])),
    "query-cname": seed(QUERY_CNAME | TAKE_QUESTION, answer([rr(PTR, 5, name("real.fuzz.test"))])),
    "query-txt": seed(QUERY_TYPE | TAKE_QUESTION,
                      answer([rr(PTR, 16, b"\x05hello\x05world")]), extra=bytes([16])),
    "query-nxdomain": seed(QUERY_A | TAKE_QUESTION, answer([], 0x8183, soa, 1)),
    "query-servfail": seed(QUERY_A | TAKE_QUESTION, answer([], 0x8182)),
    "query-truncated": seed(QUERY_A | TAKE_QUESTION, answer([rr(PTR, 1, V4)], 0x8380)),
    "query-whole-reply": seed(QUERY_A, header(an=1) + full_question + rr(PTR, 1, V4)),
    "query-wrong-id": seed(QUERY_A | TAKE_QUESTION | OWN_ID, answer([rr(PTR, 1, V4)]),
                           answer([rr(PTR, 1, V4B)])),
    "lookup-any": seed(ANY | TAKE_QUESTION, answer([rr(PTR, 1, V4)]), answer([rr(PTR, 28, V6)])),
    "lookup-inet": seed(INET | TAKE_QUESTION, answer([rr(PTR, 5, name("real.fuzz.test")),
                                                     rr(name("real.fuzz.test"), 1, V4)])),
    "lookup-inet6": seed(INET6 | TAKE_QUESTION, answer([rr(PTR, 28, V6)])),
    # an AAAA question answered with an A record
    "lookup-inet6-given-a": seed(INET6 | TAKE_QUESTION, answer([rr(PTR, 1, V4)])),
    "lookup-service": seed(ANY_80 | TAKE_QUESTION, answer([rr(PTR, 1, V4), rr(PTR, 1, V4B)]),
                           answer([], 0x8180)),
    "lookup-nxdomain": seed(ANY | TAKE_QUESTION, answer([], 0x8183, soa, 1),
                            answer([], 0x8183, soa, 1)),
    "lookup-no-reply": seed(INET),
}

os.makedirs(OUT, exist_ok=True)
for seed_name, data in seeds.items():
    with open(os.path.join(OUT, seed_name), "wb") as f:
        f.write(data)
