#!/usr/bin/env python3
"""Writes Brenvik_TLB.pas, the Delphi / Free Pascal unit of the type library,
from brenvik.idl:

  idl_to_pascal.py brenvik.idl Brenvik_TLB.pas

What Delphi's type-library importer would write: the GUIDs as constants
(LIBID_, IID_, DIID_, CLASS_), every interface in vtable order with HRESULT
methods as safecall (the [out, retval] parameter becomes the result), a
dispinterface beside every dual interface, and a CoXxx creator class for
every coclass. Read from the IDL, not from a type library, so no Windows
tool is needed at build time.
"""
import re
import sys

# Delphi's reserved words: an IDL name that is one gets a trailing "_".
RESERVED = set("""
and array as asm begin case class const constructor destructor dispinterface div do downto else end except
exports file finalization finally for function goto if implementation in inherited initialization inline
interface is label library mod nil not object of or out packed procedure program property raise record
repeat resourcestring set shl shr string then threadvar to try type unit until uses var while with xor
""".split())

# IDL base types and their Pascal names; a BSTR or VARIANT is a managed
# type in Pascal, so [in] ones pass as const, like the importer does.
TYPES = {
    "long": "Integer", "LONG": "Integer", "int": "SYSINT", "INT": "SYSINT", "short": "Smallint",
    "SHORT": "Smallint", "char": "Shortint", "CHAR": "Shortint", "unsigned char": "Byte", "byte": "Byte",
    "BYTE": "Byte", "unsigned short": "Word", "unsigned long": "LongWord", "ULONG": "LongWord",
    "DWORD": "LongWord", "float": "Single", "double": "Double", "BSTR": "WideString", "DATE": "TDateTime",
    "VARIANT": "OleVariant", "VARIANT_BOOL": "WordBool", "CURRENCY": "Currency", "CY": "Currency",
    "HRESULT": "HResult", "SCODE": "SCODE", "IDispatch": "IDispatch", "IUnknown": "IUnknown",
}
MANAGED = {"WideString", "OleVariant"}
INTERFACES = {"IDispatch", "IUnknown"}


class IdlError(Exception):
    pass


class Param:
    def __init__(self, attrs, base, stars, name):
        self.attrs, self.base, self.stars, self.name = attrs, base, stars, name

    @property
    def retval(self):
        return "retval" in self.attrs


class Method:
    def __init__(self, attrs, ret, name, params):
        self.attrs, self.ret, self.name, self.params = attrs, ret, name, params
        self.dispid = int(attrs["id"], 0) if "id" in attrs else None
        self.kind = next((k for k in ("propget", "propput", "propputref") if k in attrs), "method")


class Interface:
    def __init__(self, attrs, name, base, members, disp=False, props=()):
        self.attrs, self.name, self.base, self.members = attrs, name, base, members
        self.uuid = attrs.get("uuid", "").upper()
        self.disp = disp
        self.props = list(props)  # a dispinterface's properties: section
        self.dual = "dual" in attrs


class CoClass:
    def __init__(self, attrs, name, interfaces):
        self.attrs, self.name, self.interfaces = attrs, name, interfaces
        self.uuid = attrs.get("uuid", "").upper()

    @property
    def default(self):
        plain = [(a, n) for a, n in self.interfaces if "source" not in a]
        marked = [n for a, n in plain if "default" in a]
        return marked[0] if marked else (plain[0][1] if plain else None)


class Library:
    def __init__(self, attrs, name):
        self.attrs, self.name = attrs, name
        self.uuid = attrs.get("uuid", "").upper()
        self.version = attrs.get("version", "1.0")
        self.interfaces, self.coclasses = [], []


def strip_comments(text):
    out, i = [], 0
    pattern = re.compile(r'"(?:\\.|[^"\\])*"|//[^\n]*|/\*.*?\*/', re.S)
    for m in pattern.finditer(text):
        out.append(text[i:m.start()])
        out.append(m.group(0) if m.group(0).startswith('"') else " ")
        i = m.end()
    out.append(text[i:])
    return "".join(out)


class Reader:
    def __init__(self, text):
        self.text, self.pos = strip_comments(text), 0

    def fail(self, what):
        line = self.text.count("\n", 0, self.pos) + 1
        raise IdlError("line %d: %s" % (line, what))

    def ws(self):
        while self.pos < len(self.text) and self.text[self.pos].isspace():
            self.pos += 1

    def peek(self):
        self.ws()
        return self.text[self.pos] if self.pos < len(self.text) else ""

    def take(self, ch):
        if self.peek() != ch:
            self.fail("%r expected" % ch)
        self.pos += 1

    def ident(self):
        self.ws()
        m = re.compile(r"[A-Za-z_]\w*").match(self.text, self.pos)
        if not m:
            self.fail("a name expected")
        self.pos = m.end()
        return m.group(0)

    def at_word(self, word):
        self.ws()
        return re.compile(r"%s\b" % word).match(self.text, self.pos) is not None

    def balanced(self, open_ch, close_ch):
        """The text between open_ch and its matching close_ch."""
        self.take(open_ch)
        depth, start = 1, self.pos
        while depth:
            if self.pos >= len(self.text):
                self.fail("unterminated %r" % open_ch)
            ch = self.text[self.pos]
            if ch == '"':
                self.pos = self.text.index('"', self.pos + 1)
            elif ch == open_ch:
                depth += 1
            elif ch == close_ch:
                depth -= 1
            self.pos += 1
        return self.text[start:self.pos - 1]

    def attrs(self):
        """[a, b(c), ...] as {"a": "", "b": "c"}; {} when there is none."""
        if self.peek() != "[":
            return {}
        found = {}
        for item in split_top(self.balanced("[", "]")):
            m = re.match(r"\s*(\w+)\s*(?:\((.*)\))?\s*$", item, re.S)
            if m:
                found[m.group(1)] = (m.group(2) or "").strip()
        return found

    def skip_statement(self):
        while self.peek() not in (";", ""):
            if self.peek() in "{[(":
                self.balanced(self.peek(), {"{": "}", "[": "]", "(": ")"}[self.peek()])
            else:
                self.pos += 1
        if self.peek() == ";":
            self.pos += 1


def split_top(text):
    """Splits on commas outside brackets, parentheses and strings."""
    parts, depth, current, quoted = [], 0, [], False
    for ch in text:
        if ch == '"':
            quoted = not quoted
        elif not quoted and ch in "([":
            depth += 1
        elif not quoted and ch in ")]":
            depth -= 1
        elif not quoted and not depth and ch == ",":
            parts.append("".join(current))
            current = []
            continue
        current.append(ch)
    if "".join(current).strip():
        parts.append("".join(current))
    return parts


def parse_decl(text):
    """'unsigned long* x' as ("unsigned long", 1, "x")."""
    m = re.match(r"\s*((?:const\s+)?[A-Za-z_][\w\s]*?)\s*(\**)\s*([A-Za-z_]\w*)\s*$", text)
    if not m:
        raise IdlError("cannot read the declaration %r" % text.strip())
    base = re.sub(r"\s+", " ", m.group(1)).replace("const ", "")
    return base, len(m.group(2)), m.group(3)


def read_method(r, attrs):
    """RET NAME(PARAMS); with attrs already read."""
    head = []
    while r.peek() not in ("(", ""):
        if r.peek() == "*":
            r.pos += 1
            head.append("*")
        else:
            head.append(r.ident())
    name = head.pop()
    ret = " ".join(head).replace(" *", "*")
    params = []
    for item in split_top(r.balanced("(", ")")):
        item = item.strip()
        if not item or item == "void":
            continue
        sub = Reader(item)
        pattrs = sub.attrs()
        base, stars, pname = parse_decl(sub.text[sub.pos:])
        params.append(Param(pattrs, base, stars, pname))
    r.take(";")
    return Method(attrs, ret, name, params)


def parse(text):
    r = Reader(text)
    lib = Library({}, "")
    interfaces = []

    def item(attrs, inside_library):
        if r.at_word("import") or r.at_word("importlib") or r.at_word("cpp_quote") or r.at_word("typedef"):
            r.skip_statement()
        elif r.at_word("interface") or r.at_word("dispinterface"):
            disp = r.ident() == "dispinterface"
            name = r.ident()
            if r.peek() == ";":  # a forward declaration
                r.take(";")
                return
            base = None
            if r.peek() == ":":
                r.take(":")
                base = r.ident()
            body = Reader(r.balanced("{", "}"))
            if r.peek() == ";":
                r.take(";")
            members, props, section = [], [], "methods"
            while body.peek():
                if body.at_word("properties") or body.at_word("methods"):
                    section = body.ident()
                    body.take(":")
                    continue
                if body.at_word("interface"):  # dispinterface D { interface I; }
                    body.skip_statement()
                    continue
                mattrs = body.attrs()
                if section == "properties":
                    decl = body.text[body.pos:body.text.index(";", body.pos)]
                    body.pos += len(decl) + 1
                    pbase, stars, pname = parse_decl(decl)
                    props.append((mattrs, Param({}, pbase, stars, pname)))
                else:
                    members.append(read_method(body, mattrs))
            interfaces.append(Interface(attrs, name, base or ("IDispatch" if disp else None), members, disp, props))
        elif r.at_word("coclass"):
            r.ident()
            name = r.ident()
            body = Reader(r.balanced("{", "}"))
            if r.peek() == ";":
                r.take(";")
            listed = []
            while body.peek():
                iattrs = body.attrs()
                body.ident()  # interface or dispinterface
                listed.append((iattrs, body.ident()))
                body.take(";")
            lib.coclasses.append(CoClass(attrs, name, listed))
        elif r.at_word("library") and not inside_library:
            r.ident()
            lib.attrs, lib.name = attrs, r.ident()
            lib.uuid = attrs.get("uuid", "").upper()
            lib.version = attrs.get("version", "1.0")
            r.take("{")
            while r.peek() != "}":
                if not r.peek():
                    r.fail("the library is not closed")
                item(r.attrs(), True)
            r.take("}")
            if r.peek() == ";":
                r.take(";")
        else:
            r.skip_statement()

    while r.peek():
        item(r.attrs(), False)
    lib.interfaces = interfaces
    if not lib.name:
        raise IdlError("no library block")
    return lib


def pascal_name(name):
    return name + "_" if name.lower() in RESERVED else name


def pascal_type(base, stars, known):
    """The Pascal type of base with `stars` pointer levels beyond an
    interface's own, and how many levels remain (a by-reference count)."""
    if base in known or base in INTERFACES:
        return base, stars - 1
    if base not in TYPES:
        raise IdlError("no Pascal type for %r" % base)
    return TYPES[base], stars


def param_text(p, known, clashes):
    ptype, ref = pascal_type(p.base, p.stars, known)
    if ref > 1:
        raise IdlError("%s: a pointer to a pointer" % p.name)
    if ref:
        mode = "out " if "out" in p.attrs and "in" not in p.attrs else "var "
    else:
        mode = "const " if ptype in MANAGED or ptype in known or ptype in INTERFACES else ""
    name = pascal_name(p.name)
    if name.lower() in clashes:  # a member of the same name would hide it
        name += "_"
    return "%s%s: %s" % (mode, name, ptype)


def result_type(p, known):
    ptype, ref = pascal_type(p.base, p.stars, known)
    if ref != 1:
        raise IdlError("%s: a retval must be a pointer" % p.name)
    return ptype


def member_name(m):
    return {"propget": "Get_", "propput": "Set_", "propputref": "_Set_"}.get(m.kind, "") + pascal_name(m.name)


def vtable_decl(m, known, clashes):
    """A member of the interface as the vtable has it."""
    params = list(m.params)
    if m.ret == "HRESULT":
        result = result_type(params.pop(), known) if params and params[-1].retval else None
        call = "safecall"
    else:
        # Not an HRESULT: the value comes back as it is. Delphi returns a
        # WideString through a hidden parameter, not like a BSTR, so a BSTR
        # result is a PWideChar here, which the caller frees (SysFreeString).
        result = "PWideChar" if m.ret == "BSTR" else (None if m.ret == "void" else pascal_type(m.ret, 0, known)[0])
        call = "stdcall"
    args = "(%s)" % "; ".join(param_text(p, known, clashes) for p in params) if params else ""
    if result:
        return "function %s%s: %s; %s;" % (member_name(m), args, result, call)
    return "procedure %s%s; %s;" % (member_name(m), args, call)


def dispatch_decl(m, known, clashes):
    """A method as a dispinterface calls it: through Invoke, by dispid."""
    params = list(m.params)
    result = None
    if m.ret == "HRESULT":
        if params and params[-1].retval:
            result = result_type(params.pop(), known)
    elif m.ret != "void":
        result = pascal_type(m.ret, 0, known)[0]
    args = "(%s)" % "; ".join(param_text(p, known, clashes) for p in params) if params else ""
    if result:
        return "function %s%s: %s; dispid %d;" % (pascal_name(m.name), args, result, m.dispid)
    return "procedure %s%s; dispid %d;" % (pascal_name(m.name), args, m.dispid)


def properties(members):
    """name -> {"get": Method, "put": Method} in order of first appearance."""
    found = {}
    for m in members:
        if m.kind in ("propget", "propput"):
            found.setdefault(m.name, {})["get" if m.kind == "propget" else "put"] = m
    return found


def property_type(pair, known):
    if "get" in pair:
        return result_type(pair["get"].params[-1], known)
    value = pair["put"].params[-1]
    return pascal_type(value.base, value.stars, known)[0]


def vtable_properties(members, known):
    """Properties over the accessors; a setter taking its value by reference
    cannot be a Pascal property's, so that one stays a method only."""
    lines = []
    for name, pair in properties(members).items():
        get, put = pair.get("get"), pair.get("put")
        if get and not (get.ret == "HRESULT" and get.params and get.params[-1].retval and len(get.params) == 1):
            get = None
        if put and (len(put.params) != 1 or pascal_type(put.params[0].base, put.params[0].stars, known)[1]):
            put = None
        if not get and not put:
            continue
        access = ((" read Get_%s" % pascal_name(name)) if get else "") + \
                 ((" write Set_%s" % pascal_name(name)) if put else "")
        lines.append("property %s: %s%s;" % (pascal_name(name), property_type(pair, known), access))
    return lines


def guid(text):
    return "'{%s}'" % text.upper()


def clash_names(iface):
    names = {m.name.lower() for m in iface.members}
    names |= {p.name.lower() for _, p in iface.props}
    return names


def generate(lib, source_name):
    known = {i.name for i in lib.interfaces}
    out = []
    w = out.append
    major, _, minor = lib.version.partition(".")
    w("unit %s_TLB;" % lib.name)
    w("")
    w("// %s (LIBID %s, version %s), for Delphi and Free Pascal." %
      (lib.attrs.get("helpstring", '"%s"' % lib.name).strip('"'), lib.uuid, lib.version))
    w("// Written by idl_to_pascal.py from %s; do not edit." % source_name)
    w("//")
    w("// A method that returns an HRESULT is safecall: a failure raises an")
    w("// EOleException, and its [out, retval] parameter is the result. One that")
    w("// returns its value directly is stdcall; a BSTR it returns is a PWideChar")
    w("// that the caller frees with SysFreeString. Late binding: the XxxDisp")
    w("// dispinterfaces, or an OleVariant from CreateOleObject.")
    w("")
    w("{$IFDEF FPC}{$MODE DELPHI}{$ENDIF}")
    w("{$TYPEDADDRESS OFF}")
    w("")
    w("interface")
    w("")
    w("uses Windows, ActiveX;")
    w("")
    w("const")
    w("  %sMajorVersion = %s;" % (lib.name, major or "1"))
    w("  %sMinorVersion = %s;" % (lib.name, minor or "0"))
    w("")
    w("  LIBID_%s: TGUID = %s;" % (lib.name, guid(lib.uuid)))
    w("")
    for i in lib.interfaces:
        w("  %sID_%s: TGUID = %s;" % ("DI" if i.disp else "I", i.name, guid(i.uuid)))
    for c in lib.coclasses:
        w("  CLASS_%s: TGUID = %s;" % (c.name, guid(c.uuid)))
    w("")
    w("type")
    for i in lib.interfaces:
        if i.disp:
            w("  %s = dispinterface;" % i.name)
        else:
            w("  %s = interface;" % i.name)
            if i.dual:
                w("  %sDisp = dispinterface;" % i.name)
    w("")
    for c in lib.coclasses:
        if c.default:
            w("  %s = %s;" % (c.name, c.default))
    for i in lib.interfaces:
        clashes = clash_names(i)
        if not i.disp:
            w("")
            if "helpstring" in i.attrs:
                w("  // %s" % i.attrs["helpstring"].strip('"'))
            w("  %s = interface(%s)" % (i.name, i.base or "IUnknown"))
            w("    [%s]" % guid(i.uuid))
            for m in i.members:
                w("    " + vtable_decl(m, known, clashes))
            for line in vtable_properties(i.members, known):
                w("    " + line)
            w("  end;")
        if i.disp or i.dual:
            w("")
            w("  %s = dispinterface" % (i.name if i.disp else i.name + "Disp"))
            w("    [%s]" % guid(i.uuid))
            for pattrs, p in i.props:
                ptype = pascal_type(p.base, p.stars, known)[0]
                ro = " readonly" if "readonly" in pattrs else ""
                w("    property %s: %s%s dispid %d;" % (pascal_name(p.name), ptype, ro, int(pattrs["id"], 0)))
            for name, pair in properties(i.members).items():
                access = "" if len(pair) == 2 else (" readonly" if "get" in pair else " writeonly")
                dispid = (pair.get("get") or pair.get("put")).dispid
                w("    property %s: %s%s dispid %d;" % (pascal_name(name), property_type(pair, known), access, dispid))
            for m in i.members:
                if m.kind == "method":
                    w("    " + dispatch_decl(m, known, clashes))
            w("  end;")
    for c in lib.coclasses:
        if not c.default:
            continue
        w("")
        w("  // %s, created on this machine or on another one." % c.attrs.get("helpstring", c.name).strip('"'))
        w("  Co%s = class" % c.name)
        w("    class function Create: %s;" % c.default)
        w("    class function CreateRemote(const MachineName: string): %s;" % c.default)
        w("  end;")
    w("")
    w("implementation")
    w("")
    w("uses ComObj;")
    for c in lib.coclasses:
        if not c.default:
            continue
        w("")
        w("class function Co%s.Create: %s;" % (c.name, c.default))
        w("begin")
        w("  Result := CreateComObject(CLASS_%s) as %s;" % (c.name, c.default))
        w("end;")
        w("")
        w("class function Co%s.CreateRemote(const MachineName: string): %s;" % (c.name, c.default))
        w("begin")
        w("  Result := CreateRemoteComObject(MachineName, CLASS_%s) as %s;" % (c.name, c.default))
        w("end;")
    w("")
    w("end.")
    return "\r\n".join(out) + "\r\n"


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: idl_to_pascal.py IDL OUTPUT.pas\n")
        return 2
    with open(argv[1], encoding="utf-8") as f:
        text = f.read()
    try:
        unit = generate(parse(text), re.split(r"[\\/]", argv[1])[-1])
    except IdlError as e:
        sys.stderr.write("%s: %s\n" % (argv[1], e))
        return 1
    with open(argv[2], "w", encoding="ascii", newline="") as f:
        f.write(unit)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
