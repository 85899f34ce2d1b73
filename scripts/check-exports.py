#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""Checks that a shared object exports exactly the symbols its list names.

usage: check-exports.py [--readelf PROG] [--sanitized] [--drop NAME]... [--add NAME]...
                        OBJECT LIST

Every plug-in and Lua module of the firmware is loaded into a process that
holds others (the HTTP server's plug-ins, a Lua state's modules), so what an
object exports is part of its interface: a name it did not mean to export
can meet another object's. The list (cmake/exports/<object>.txt) holds one
symbol a line; '#' starts a comment; a name written "?name" may be exported
but need not be. The object's dynamic symbol table (readelf --dyn-syms) must
define every plain name of the list and nothing outside it, apart from the
symbols the linker and the sanitizer runtimes add to every object. In a
sanitizer build (--sanitized) the type information the undefined-behaviour
checks emit for function types is ignored as well: the code is built without
run-time type information, so it has none of its own. Weak definitions of
standard-library templates (std::string_view's members in a build without
inlining, for one) are ignored in every build: the library's headers give
namespace std default visibility, and every object that defines one defines
the same code, so which copy the dynamic linker picks makes no difference.

--drop and --add change the list before the comparison; the checker's own
tests use them to see it report an unlisted export and a missing one.
"""

import argparse
import re
import shutil
import subprocess
import sys

# Defined by the static linker or the ABI in every shared object.
LINKER_SYMBOLS = {
    "_init", "_fini", "__bss_start", "_edata", "_end", "_DYNAMIC",
    "_GLOBAL_OFFSET_TABLE_", "_PROCEDURE_LINKAGE_TABLE_",
    # MIPS
    "_gp_disp", "_DYNAMIC_LINKING", "__RLD_MAP", "_fbss", "_fdata", "_ftext",
}
# Added by instrumentation (sanitizers, fuzzing, coverage), never by our code.
INSTRUMENTATION = re.compile(r"^(__odr_asan|___?asan|__ubsan|__sancov|__llvm_|__start_|__stop_)")
# Type information (and its name) of function types, emitted by the
# sanitizer's checks of calls through function pointers.
FUNCTION_TYPEINFO = re.compile(r"^_ZT[IS]F")
# Names in namespace std: std::f, std::C::f, std::C::f const.
STD_NAME = re.compile(r"^_Z(St|N[KVr]*St)")


def exported(readelf, path, sanitized):
    out = subprocess.run([readelf, "--dyn-syms", "-W", path], check=True,
                         capture_output=True, text=True).stdout
    names = set()
    for line in out.splitlines():
        # Num: Value Size Type Bind Vis Ndx Name [version]
        fields = line.split()
        if len(fields) < 8 or not fields[0].endswith(":") or not fields[0][:-1].isdigit():
            continue
        bind, vis, ndx, name = fields[4], fields[5], fields[6], fields[7]
        if ndx == "UND" or bind not in ("GLOBAL", "WEAK", "UNIQUE"):
            continue
        if vis not in ("DEFAULT", "PROTECTED"):
            continue
        name = name.split("@")[0]
        if name in LINKER_SYMBOLS or INSTRUMENTATION.match(name):
            continue
        if sanitized and FUNCTION_TYPEINFO.match(name):
            continue
        if bind == "WEAK" and STD_NAME.match(name):
            continue
        names.add(name)
    return names


def read_list(path):
    required, optional = set(), set()
    with open(path) as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            if line.startswith("?"):
                optional.add(line[1:])
            else:
                required.add(line)
    return required, optional


def demangled(names):
    names = sorted(names)
    if not names or not shutil.which("c++filt"):
        return names
    out = subprocess.run(["c++filt"], input="\n".join(names), capture_output=True,
                         text=True).stdout.splitlines()
    return [n if n == d else f"{n} ({d})" for n, d in zip(names, out)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--readelf", default="readelf")
    parser.add_argument("--sanitized", action="store_true")
    parser.add_argument("--drop", action="append", default=[])
    parser.add_argument("--add", action="append", default=[])
    parser.add_argument("object")
    parser.add_argument("list")
    args = parser.parse_args()

    required, optional = read_list(args.list)
    for name in args.drop:
        required.discard(name)
        optional.discard(name)
    required.update(args.add)
    if not required:
        sys.exit(f"{args.list}: names no symbol")

    have = exported(args.readelf, args.object, args.sanitized)
    unlisted = have - required - optional
    missing = required - have
    for name in demangled(unlisted):
        print(f"{args.object}: exports {name}, which {args.list} does not name")
    for name in sorted(missing):
        print(f"{args.object}: does not export {name}, which {args.list} names")
    if unlisted or missing:
        sys.exit(1)
    print(f"{args.object}: exports the {len(have)} symbols {args.list} names")


if __name__ == "__main__":
    main()
