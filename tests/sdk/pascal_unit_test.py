#!/usr/bin/env python3
"""Brenvik_TLB.pas against widl's reading of the same IDL.

  pascal_unit_test.py --widl WIDL --idl-include DIR --generator idl_to_pascal.py --idl brenvik.idl --work DIR

No Pascal compiler here, so the unit's declarations are checked one by one:
every interface of widl's C++ header appears with the same GUID, the same
members in vtable order, each with the Pascal form of its C++ signature
(safecall for an HRESULT, the last pointer as the result only where the IDL
makes it the retval); a dispinterface beside each dual interface with the
IDL's dispids; the coclasses' GUIDs and creators; and a unit whose blocks
are all closed. A small IDL of its own covers what brenvik.idl lacks: a
dispinterface, [in, out] and [out] parameters, more types and a Pascal
reserved word as a name.
"""
import argparse
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, exit_code  # noqa: E402

# The C type widl writes, and the Pascal type of the same value.
TYPES = {"LONG": "Integer", "BSTR": "WideString", "DATE": "TDateTime", "double": "Double"}
# Members whose by-reference parameter is not their result: a script cannot
# call them with one value (Type mismatch), and Pascal passes it as var.
BY_REFERENCE = {("IBrenvik", "Set_ShowStatusDialogs"), ("IMaria301", "GetPrinterKeyPosition"),
                ("IMaria301", "GetPrinterTime"), ("IMaria301", "GetCashInfoXML"),
                ("IMaria301", "GetDocumentsInfo"), ("IMaria301", "GetDocumentsInfoXML")}
RESERVED = {"type", "object", "end", "begin", "string", "file", "set", "out", "var", "property", "label"}


def widl_header(args, idl, out):
    subprocess.run([args.widl, "--win32", "-I" + args.idl_include, "-h", "-o", out, idl], check=True)
    return open(out, encoding="utf-8").read()


def cpp_interfaces(header):
    """{name: (guid, [(ret, method, [(ctype, pointer, pname)])])} from the C++ half."""
    found = {}
    for m in re.finditer(r'MIDL_INTERFACE\("([0-9a-f-]+)"\)\n(\w+) : public \w+\n\{(.*?)\n\};', header, re.S):
        methods = []
        for v in re.finditer(r"virtual (\w+) STDMETHODCALLTYPE (\w+)\((.*?)\) = 0;", m.group(3), re.S):
            params = []
            for p in filter(None, (x.strip() for x in v.group(3).split(","))):
                pm = re.match(r"(\w+)\s*(\*?)\s*(\w+)$", p)
                params.append((pm.group(1), bool(pm.group(2)), pm.group(3)))
            methods.append((v.group(1), v.group(2), params))
        found[m.group(2)] = (m.group(1).upper(), methods)
    return found


def cpp_guids(header):
    """{"IID_IBrenvik": "9D7D34D6-...", ...} from widl's DEFINE_GUID lines."""
    guids = {}
    for name, nums in re.findall(r"DEFINE_GUID\((\w+), ([^)]*)\);", header):
        n = [int(x, 16) for x in nums.split(",")]
        guids[name] = "%08X-%04X-%04X-%02X%02X-%s" % (n[0], n[1], n[2], n[3], n[4],
                                                       "".join("%02X" % b for b in n[5:]))
    return guids


def pascal_blocks(unit, kind):
    """{name: (guid, [declaration lines])} of the unit's `= interface(...)`
    or `= dispinterface` blocks (not the forward declarations)."""
    pattern = r"^  (\w+) = %s\s*\n    \['\{([0-9A-F-]+)\}'\]\n(.*?)^  end;" % kind
    return {m.group(1): (m.group(2), [x.strip() for x in m.group(3).splitlines() if x.strip()])
            for m in re.finditer(pattern, unit, re.S | re.M)}


def split_decl(line):
    """'function N(a; b): R; safecall;' as (N, [a, b], R, "safecall")."""
    m = re.match(r"(?:function|procedure) (\w+)(?:\((.*)\))?(?:: (\w+))?; (\w+(?: -?\d+)?);$", line)
    if not m:
        return None
    return m.group(1), [p.strip() for p in (m.group(2) or "").split(";") if p.strip()], m.group(3), m.group(4)


def pascal_param(ctype, pointer, name):
    ptype = TYPES[ctype]
    if pointer:
        return "var %s: %s" % (name, ptype)
    return "%s%s: %s" % ("const " if ptype == "WideString" else "", name, ptype)


def idl_dispids(idl_text, interface):
    """Member name -> dispid, read from the IDL's text for one interface."""
    body = re.search(r"interface %s : IDispatch\s*\{(.*?)\n\};" % interface, idl_text, re.S).group(1)
    return {name: int(num, 16) for num, name in
            re.findall(r"\bid\((0x[0-9a-fA-F]+)\)[^\]]*\]\s*\w+\*?\s+(\w+)\s*\(", body)}


def check_vtables(unit, header):
    ifaces = cpp_interfaces(header)
    blocks = pascal_blocks(unit, r"interface\(IDispatch\)")
    check(sorted(ifaces) == sorted(blocks), "the unit declares the interfaces widl sees: %s" % sorted(blocks))
    for name, (guid, methods) in ifaces.items():
        if name not in blocks:
            continue
        pguid, lines = blocks[name]
        check(pguid == guid, "%s carries its IID %s" % (name, guid))
        decls = [split_decl(x) for x in lines if not x.startswith("property ")]
        check(None not in decls, "%s: every member reads as a Pascal declaration" % name)
        check(len(decls) == len(methods), "%s: %d members in the vtable, as in C++ (got %d)"
              % (name, len(methods), len(decls)))
        wrong = []
        for (ret, cname, cparams), decl in zip(methods, decls):
            if decl is None:
                continue
            pname, pparams, presult, call = decl
            want = re.sub(r"^get_", "Get_", re.sub(r"^put_", "Set_", cname))
            params = list(cparams)
            if ret == "HRESULT":
                want_call = "safecall"
                by_ref = (name, want) in BY_REFERENCE
                want_result = None
                if params and params[-1][1] and not by_ref:
                    want_result = TYPES[params.pop()[0]]
            else:
                want_call = "stdcall"
                want_result = "PWideChar" if ret == "BSTR" else TYPES[ret]
            want_params = [pascal_param(*p) for p in params]
            # A parameter named like a member is renamed with a trailing "_".
            got_params = [re.sub(r"_:", ":", p) for p in pparams]
            if (pname, got_params, presult, call) != (want, want_params, want_result, want_call):
                wrong.append("%s: %r" % (cname, decl))
        check(not wrong, "%s: every member has the Pascal form of its C++ signature, by-reference "
              "parameters that are no retval as var %s" % (name, wrong[:3]))


def check_dispinterfaces(unit, idl_text):
    disps = pascal_blocks(unit, "dispinterface")
    vtables = pascal_blocks(unit, r"interface\(IDispatch\)")
    for name, (guid, _) in vtables.items():
        disp = disps.get(name + "Disp")
        if not check(disp is not None, "%sDisp, the dispinterface of the dual %s" % (name, name)):
            continue
        check(disp[0] == guid, "%sDisp has %s's GUID" % (name, name))
        got = {}
        for line in disp[1]:
            m = re.match(r"(?:property|function|procedure) (\w+)\b.*\bdispid (\d+);$", line)
            if m:
                got[m.group(1)] = int(m.group(2))
        want = idl_dispids(idl_text, name)
        check(got == want, "%sDisp: every member with its dispid (%d of %d; differing: %s)" % (
            name, len(got), len(want), sorted(set(got.items()) ^ set(want.items()))[:4]))


def check_guids_and_classes(unit, header):
    guids = cpp_guids(header)
    consts = dict(re.findall(r"^  (\w+): TGUID = '\{([0-9A-F-]+)\}';", unit, re.M))
    for cname, value in guids.items():
        pname = cname.replace("CLSID_", "CLASS_")
        check(consts.get(pname) == value, "%s = %s" % (pname, value))
    for coclass, iface in (("Brenvik", "IBrenvik"), ("Maria301", "IMaria301")):
        check(re.search(r"^  Co%s = class\n    class function Create: %s;\n    class function CreateRemote"
                        r"\(const MachineName: string\): %s;\n  end;" % (coclass, iface, iface), unit, re.M)
              is not None, "Co%s creates the default interface %s" % (coclass, iface))
        check("Result := CreateComObject(CLASS_%s) as %s;" % (coclass, iface) in unit and
              "Result := CreateRemoteComObject(MachineName, CLASS_%s) as %s;" % (coclass, iface) in unit,
              "Co%s's creators are implemented with CLASS_%s" % (coclass, coclass))


def check_structure(unit):
    lines = unit.split("\r\n")
    check(lines[0] == "unit Brenvik_TLB;" and lines[-2:] == ["end.", ""], "unit Brenvik_TLB; ... end.")
    check(lines.count("interface") == 1 and lines.count("implementation") == 1,
          "one interface and one implementation section, in that order")
    opened = sum(1 for x in lines if re.match(r"  \w+ = (interface\(|dispinterface$|class$)", x))
    closed = sum(1 for x in lines if x == "  end;")
    check(opened == closed == 6, "every interface, dispinterface and class block is closed (%d, %d)"
          % (opened, closed))
    forward = [x.strip() for x in lines if re.match(r"  \w+ = (interface|dispinterface);$", x)]
    check(forward == ["IBrenvik = interface;", "IBrenvikDisp = dispinterface;", "IMaria301 = interface;",
                      "IMaria301Disp = dispinterface;"], "forward declarations of every interface first")
    names = re.findall(r"(?:\(|; )(?:const |var |out )?(\w+):", unit)
    check(not [n for n in names if n.lower() in RESERVED], "no reserved word as a parameter name")
    check(all(x.count("(") == x.count(")") for x in lines), "parentheses balanced on every line")


SMALL_IDL = """
import "oaidl.idl";
[uuid(11111111-2222-3333-4444-555555555555), version(2.3)]
library Small
{
    importlib("stdole2.tlb");
    [uuid(AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE)]
    dispinterface DEvents
    {
    properties:
        [id(5)] long Count;
        [id(6), readonly] BSTR Name;
    methods:
        [id(1)] void Fired([in] BSTR type, [in, out] VARIANT* value);
        [id(2)] VARIANT_BOOL Ask([in] IDispatch* object, [in] double end);
    };
    [object, uuid(BBBBBBBB-BBBB-CCCC-DDDD-EEEEEEEEEEEE), dual, oleautomation]
    interface IThing : IDispatch
    {
        [id(1)] HRESULT Take([out] BSTR* text, [in, out] long* count, [out, retval] VARIANT_BOOL* ok);
        [propputref, id(2)] HRESULT Owner([in] IDispatch* owner);
    };
    [uuid(CCCCCCCC-BBBB-CCCC-DDDD-EEEEEEEEEEEE)]
    coclass Thing
    {
        [default] interface IThing;
        [default, source] dispinterface DEvents;
    };
};
"""
SMALL_LINES = [
    "SmallMajorVersion = 2;",
    "SmallMinorVersion = 3;",
    "DIID_DEvents: TGUID = '{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}';",
    "CLASS_Thing: TGUID = '{CCCCCCCC-BBBB-CCCC-DDDD-EEEEEEEEEEEE}';",
    "DEvents = dispinterface;",
    "Thing = IThing;",
    "property Count: Integer dispid 5;",
    "property Name: WideString readonly dispid 6;",
    "procedure Fired(const type_: WideString; var value: OleVariant); dispid 1;",
    "function Ask(const object_: IDispatch; end_: Double): WordBool; dispid 2;",
    "function Take(out text: WideString; var count: Integer): WordBool; safecall;",
    "procedure _Set_Owner(const owner_: IDispatch); safecall;",
    "class function Create: IThing;",
]


def check_small_idl(args):
    idl = os.path.join(args.work, "small.idl")
    pas = os.path.join(args.work, "Small_TLB.pas")
    with open(idl, "w") as f:
        f.write(SMALL_IDL)
    rc = subprocess.run([sys.executable, args.generator, idl, pas]).returncode
    if not check(rc == 0, "a dispinterface, [in, out] and [out] parameters and more types are read"):
        return
    unit = [x.strip() for x in open(pas, encoding="ascii", newline="").read().split("\r\n")]
    missing = [x for x in SMALL_LINES if x not in unit]
    check(not missing, "their Pascal declarations: missing %s" % missing)
    with open(idl, "w") as f:
        f.write(SMALL_IDL.replace("[in, out] long* count", "[in] long** count"))
    bad = subprocess.run([sys.executable, args.generator, idl, pas], capture_output=True, text=True)
    check(bad.returncode == 1 and "count" in bad.stderr, "a type Pascal cannot take is an error naming it: "
          + bad.stderr.strip())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--widl", required=True)
    ap.add_argument("--idl-include", required=True)
    ap.add_argument("--generator", required=True)
    ap.add_argument("--idl", required=True)
    ap.add_argument("--work", required=True)
    args = ap.parse_args()
    os.makedirs(args.work, exist_ok=True)
    pas = os.path.join(args.work, "Brenvik_TLB.pas")
    if not check(subprocess.run([sys.executable, args.generator, args.idl, pas]).returncode == 0,
                 "the generator reads brenvik.idl"):
        return exit_code()
    unit = open(pas, encoding="ascii", newline="").read()
    header = widl_header(args, args.idl, os.path.join(args.work, "brenvik_widl.h"))
    idl_text = open(args.idl, encoding="utf-8").read()
    check_structure(unit)
    unit = unit.replace("\r\n", "\n")
    check_vtables(unit, header)
    check_dispinterfaces(unit, idl_text)
    check_guids_and_classes(unit, header)
    check_small_idl(args)
    return exit_code()


if __name__ == "__main__":
    sys.exit(main())
