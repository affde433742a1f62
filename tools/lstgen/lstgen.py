#!/usr/bin/python3
# Hook-list definitions generator: writes lists/<dll>.lst for 32-bit programs and
# lists/x64/<dll>.lst for 64-bit ones, one "api=" line per function that a system DLL's
# mingw-w64 import library names, typed from the C prototypes of the mingw-w64 headers as
# libclang parses them for that processor, with the hand-checked additions of supplement.txt.
# The type codes and the callback names come from the tracer's own tables. Beside them it
# writes decode.txt, the parameter names and constant sets qelvorn-report decodes calls with.
# Usage: lstgen.py OUTPUT_DIR
import ctypes
import glob
import os
import re
import subprocess
import sys

import clang.cindex as ci

import decode_table

HERE = os.path.dirname(os.path.abspath(__file__))
SUPPLEMENT = os.path.join(HERE, "supplement.txt")
CONSTANTS = os.path.join(HERE, "constants.txt")
SRC = os.path.join(HERE, "..", "..", "src")
TYPE_CODES_TABLE = os.path.join(SRC, "hooklist", "type_codes.h")
CALLBACK_TABLE = os.path.join(SRC, "control", "callback_wiring.cpp")

# Import libraries read, and whether their functions are typed from the headers as the
# universal C runtime declares them.
LIBRARIES = [
    ("kernel32", False), ("advapi32", False), ("user32", False), ("gdi32", False),
    ("ws2_32", False), ("wsock32", False), ("shell32", False), ("ole32", False),
    ("oleaut32", False), ("comctl32", False), ("comdlg32", False), ("version", False),
    ("winmm", False), ("wtsapi32", False), ("msvcrt", False), ("ucrtbase", True),
    ("ucrt", True),
]

HEADERS = [
    "winsock2.h", "ws2tcpip.h", "mswsock.h", "windows.h", "tlhelp32.h", "lzexpand.h",
    "winioctl.h", "shellapi.h", "shlobj.h", "ole2.h", "oleauto.h", "olectl.h", "commctrl.h",
    "commdlg.h", "winver.h", "mmsystem.h", "wtsapi32.h", "aclapi.h", "sddl.h", "wincred.h",
    "ntsecapi.h", "evntprov.h", "evntrace.h", "winsafer.h", "stdio.h", "stdlib.h", "string.h",
    "wchar.h", "math.h", "time.h", "io.h", "direct.h", "process.h", "conio.h", "locale.h",
    "mbstring.h", "mbctype.h", "ctype.h", "wctype.h", "signal.h", "fcntl.h", "sys/stat.h",
    "sys/timeb.h", "sys/utime.h", "malloc.h", "errno.h", "float.h", "setjmp.h", "search.h",
    "share.h", "stdint.h", "assert.h", "excpt.h", "psapi.h", "uchar.h", "fenv.h", "complex.h", "corecrt_startup.h",
]


def read_type_codes(path):
    """{code: (argument words, description)} of the rows of hooklist/type_codes.h."""
    rows = re.findall(r"ROW\('(.)', (\d+), \w+, \"([^\"]*)\"\)", open(path).read())
    if not rows:
        sys.exit("lstgen: no type-code rows in %s" % path)
    return {code: (int(words), description) for code, words, description in rows}


def read_callbacks(path):
    """{function: (pre-call, post-call) fields} of the registrations in callback_wiring.cpp,
    besides the shared callbacks, whose base names are answered too."""
    names = re.findall(r'\{"(\w+)_(Pre|Post)", \w+\}', open(path).read())
    if not names:
        sys.exit("lstgen: no callback registrations in %s" % path)
    wired = {}
    for base, when in names:
        pre, post = wired.get(base, ("", ""))
        wired[base] = ("1", post) if when == "Pre" else (pre, "1")
    return wired


TYPE_CODES = read_type_codes(TYPE_CODES_TABLE)
WIRED = read_callbacks(CALLBACK_TABLE)


# The codes the rules below write, each checked against the table by --check-tables.
RULE_CODES = "xBsSwWpb24d8"


def typed(code):
    """A code a rule writes: one of RULE_CODES, and so a row of the type-code table."""
    if code not in RULE_CODES or code not in TYPE_CODES:
        sys.exit("lstgen: type code %r is not a known rule code of %s" % (code, TYPE_CODES_TABLE))
    return code


def check_tables():
    """Prints "ok"/"not ok" lines: the rules' codes are rows of the type-code table, and
    every function whose real call is skipped has the pre-call callback that answers it."""
    unknown = [code for code in RULE_CODES if code not in TYPE_CODES]
    print("%s generator rules name only codes of the type-code table%s" %
          ("not ok" if unknown else "ok", ": unknown " + " ".join(unknown) if unknown else ""))
    unwired = sorted(name for name in SKIP_CALL if WIRED.get(name, ("", ""))[0] != "1")
    print("%s skipped calls have a registered pre-call callback%s" %
          ("not ok" if unwired else "ok", ": " + " ".join(unwired) if unwired else ""))
    return 1 if unknown or unwired else 0


# Functions whose real call is skipped: the pre-call callback answers with the function's
# trampoline.
SKIP_CALL = {"GetProcAddress"}
# Every function of these DLLs reports its socket error through the shared "ws" callbacks.
SOCKET_DLLS = {"ws2_32.dll", "wsock32.dll"}
SOCKET_CALLBACKS = "ws"
if WIRED.get(SOCKET_CALLBACKS) != ("1", "1"):
    sys.exit("lstgen: %s registers no %s_Pre and %s_Post" %
             (CALLBACK_TABLE, SOCKET_CALLBACKS, SOCKET_CALLBACKS))

HANDLE_TYPEDEFS = {"HANDLE", "SOCKET", "HFILE", "HCRYPTPROV", "HCRYPTKEY", "HCRYPTHASH"}
BOOL_TYPEDEFS = {"BOOL", "WINBOOL"}
WIDE_CHAR_TYPEDEFS = {"WCHAR", "wchar_t", "OLECHAR"}
SIZE_TYPEDEFS = {"size_t", "SIZE_T", "rsize_t"}
# Text parameters that may instead hold a resource number or an atom (MAKEINTRESOURCE).
RESOURCE_PARAMS = {
    "lpName", "lpType", "lpszName", "lpszType", "lpClassName", "lpszClass", "lpszClassName",
    "lpTemplateName", "lpIconName", "lpCursorName", "lpBitmapName", "lpMenuName",
    "lpszMenuName", "lpTableName", "lpProcName",
}
# Words of an integer parameter's name that make it a count, size or time span.
COUNT_WORDS = {
    "size", "length", "len", "count", "bytes", "milliseconds", "timeout", "elapse", "num",
    "number", "cb", "cch", "n",
}
# Endings of a name word that make it one too (namelen, bufsize).
COUNT_ENDINGS = ("len", "size", "count")
# Words of a narrow-text parameter's name that make it a byte buffer instead.
DATA_WORDS = {"buf", "buffer", "data", "pb", "src", "dst", "dest", "mem"}

CC_STDCALL = 2

# The C runtime's compiler helpers that take their arguments on the x87 register stack
# instead of the call stack: the _CI math intrinsics and the float-to-integer conversions.
X87_HELPER_PREFIX = "_CI"
X87_HELPERS = {"_ftol", "_ftol2", "_ftol2_sse"}


class LeftOut(Exception):
    pass


def name_words(identifier):
    """Splits cbDataLength or data_len into lower-case words: cb, data, length."""
    words, cur = [], ""
    for ch in identifier:
        if ch == "_" or ch.isdigit():
            if cur:
                words.append(cur)
            cur = ""
        elif ch.isupper() and cur and not cur[-1].isupper():
            words.append(cur)
            cur = ch
        else:
            cur += ch
    if cur:
        words.append(cur)
    return [w.lower() for w in words]


def typedef_chain(t):
    """The typedef names a type goes through, outermost first, and the type beneath."""
    names = []
    while True:
        if t.kind == ci.TypeKind.ELABORATED:
            t = t.get_named_type()
        elif t.kind == ci.TypeKind.TYPEDEF:
            decl = t.get_declaration()
            names.append(decl.spelling)
            t = decl.underlying_typedef_type
        else:
            return names, t


def is_handle(t):
    names, _ = typedef_chain(t)
    if HANDLE_TYPEDEFS.intersection(names):
        return True
    canon = t.get_canonical()
    if canon.kind != ci.TypeKind.POINTER:
        return False
    pointee = canon.get_pointee().get_canonical()
    # DECLARE_HANDLE(HWND) makes HWND a pointer to struct HWND__.
    return pointee.kind == ci.TypeKind.RECORD and pointee.get_declaration().spelling.endswith("__")


def optional_annotation(param):
    return any(tok.spelling.startswith("_In_opt") for tok in param.get_tokens())


def text_code(param, pointee, narrow, wide):
    if not pointee.is_const_qualified():
        return typed("p")
    if param.spelling in RESOURCE_PARAMS or optional_annotation(param):
        return typed(narrow.upper() if narrow else wide.upper())
    return typed(narrow or wide)


def pointer_code(param, t):
    _, pointer = typedef_chain(t)
    pointee = pointer.get_pointee()
    pointee_canon = pointee.get_canonical()
    names, _ = typedef_chain(pointee)
    if pointee_canon.kind in (ci.TypeKind.CHAR_S, ci.TypeKind.SCHAR, ci.TypeKind.CHAR_U):
        if pointee_canon.kind == ci.TypeKind.CHAR_U and "BYTE" in names:
            return typed("p")
        if DATA_WORDS.intersection(name_words(param.spelling)):
            return typed("p")
        return text_code(param, pointee_canon, "s", "")
    if WIDE_CHAR_TYPEDEFS.intersection(names) or pointee_canon.kind == ci.TypeKind.WCHAR:
        return text_code(param, pointee_canon, "", "w")
    return typed("p")


def integer_code(param, t, wide="4"):
    """d for a size or a count, else wide: the code of a plain value of the argument's width."""
    names, _ = typedef_chain(t)
    if SIZE_TYPEDEFS.intersection(names):
        return typed("d")
    words = name_words(param.spelling)
    if COUNT_WORDS.intersection(words) or any(w.endswith(COUNT_ENDINGS) for w in words):
        return typed("d")
    return typed(wide)


ARRAY_KINDS = (ci.TypeKind.CONSTANTARRAY, ci.TypeKind.INCOMPLETEARRAY,
               ci.TypeKind.VARIABLEARRAY, ci.TypeKind.DEPENDENTSIZEDARRAY)
INT32_KINDS = (ci.TypeKind.UINT, ci.TypeKind.INT, ci.TypeKind.ULONG, ci.TypeKind.LONG)
INT64_KINDS = (ci.TypeKind.ULONGLONG, ci.TypeKind.LONGLONG)


def common_code(param):
    """The code of the rules that both processors share (arrays, handles, BOOL, pointers and
    texts, 8- and 16-bit values), or None; raises LeftOut for an argument of unknown size."""
    t = param.type
    canon = t.get_canonical()
    if canon.kind in ARRAY_KINDS:
        return typed("p")
    size = canon.get_size()
    if size <= 0:
        raise LeftOut("argument %s of unknown size" % (param.spelling or "?"))
    if is_handle(t):
        return typed("x")
    names, _ = typedef_chain(t)
    if BOOL_TYPEDEFS.intersection(names):
        return typed("B")
    if canon.kind == ci.TypeKind.POINTER:
        return pointer_code(param, t)
    if size == 1:
        return typed("b")
    if size == 2:
        return typed("2")
    return None


def param_codes_x86(param):
    """One code per 32-bit argument word the argument takes on the x86 stack."""
    code = common_code(param)
    if code:
        return [code]
    canon = param.type.get_canonical()
    size = canon.get_size()
    if size > 4:
        return [typed("4")] * ((size + 3) // 4)
    if canon.kind in INT32_KINDS:
        return [integer_code(param, param.type)]
    return [typed("4")]


def param_codes_x64(param):
    """The one code of an argument's 8-byte slot on x64."""
    code = common_code(param)
    if code:
        return [code]
    canon = param.type.get_canonical()
    size = canon.get_size()
    # A float or double travels as its bits: among the first four arguments in an XMM
    # register, after them in its slot. Hex shows those bits whole (a decimal of them would
    # mislead): 4 the float's 32, 8 the double's 64; the f after the code tells the tracer to
    # read a register-passed one from its XMM register.
    if canon.kind == ci.TypeKind.FLOAT:
        return [typed("4") + "f"]
    if canon.kind == ci.TypeKind.DOUBLE:
        return [typed("8") + "f"]
    # The x64 convention passes a value of any other size than 1, 2, 4 or 8 bytes (larger
    # structures, unions, long double) by reference: the slot holds its address.
    if size not in (4, 8):
        return [typed("p")]
    # A 32-bit value fills only the low half of its slot; the caller may leave the high half
    # dirty (a stack slot written with a 32-bit store), and d would print the whole slot. 4
    # prints the low 32 bits alone, so a 32-bit count is shown in hex but always right.
    if size == 4:
        return [typed("4")]
    if canon.kind in INT64_KINDS:
        return [integer_code(param, param.type, "8")]
    return [typed("8")]


def calling_conv(ftype):
    return ci.conf.lib.clang_getFunctionTypeCallingConv(ftype)


def entry_line(name, dll, cursor, decorated_bytes, target):
    ftype = cursor.type
    if ftype.kind != ci.TypeKind.FUNCTIONPROTO:
        raise LeftOut("declared without a prototype")
    if ftype.is_function_variadic():
        raise LeftOut("variadic: its argument words vary by call")
    params = [(param, target.param_codes(param)) for param in cursor.get_arguments()]
    codes = [code for _, param_codes in params for code in param_codes]
    if target.decorated:
        stdcall = calling_conv(ftype) == CC_STDCALL
        if decorated_bytes is None:
            if stdcall:
                raise LeftOut("stdcall prototype, undecorated import library name")
            caller_cleans = "1"
        else:
            if not stdcall:
                raise LeftOut("cdecl prototype, import library name decorated @%d" %
                              decorated_bytes)
            if decorated_bytes != 4 * len(codes):
                raise LeftOut("%d argument words by the prototype, %d by the import library (@%d)"
                              % (len(codes), decorated_bytes // 4, decorated_bytes))
            caller_cleans = ""
    else:
        # No decoration to check against: the declared parameters must be the prototype's
        # (a function declared through a typedef of its type names none).
        arguments = len(list(ftype.argument_types()))
        if arguments != len(codes):
            raise LeftOut("%d arguments by the prototype, %d declared parameters" %
                          (arguments, len(codes)))
        # The x64 caller always drops its own arguments; the field stays empty.
        caller_cleans = ""
    skip = "1" if name in SKIP_CALL else ""
    pre, post = WIRED.get(name, ("", ""))
    if dll in SOCKET_DLLS:
        pre, post = SOCKET_CALLBACKS, SOCKET_CALLBACKS
    fields = [name, "", caller_cleans, skip, pre, post, "", "", ""] + codes
    return "api=" + ",".join(fields) + ("," if not codes else ""), params


class Target:
    """One processor the definitions are written for: its toolchain, its import-library
    naming, its argument rules and the folder under OUTPUT_DIR its lists go to."""

    def __init__(self, name, triple, objects, folder, decorated, param_codes, msvcrt_defines,
                 title):
        self.name = name
        self.triple = triple
        self.sysroot = "/usr/%s" % triple
        # Naming the object format spares nm trying every format and linker plugin on each
        # of the archive's thousands of members: seconds per library.
        self.nm = ["%s-nm" % triple, "--target=%s" % objects]
        self.folder = folder
        # Whether a function's import name carries x86's leading underscore and @N.
        self.decorated = decorated
        self.param_codes = param_codes
        # Defines for the headers as msvcrt.dll declares them (the universal C runtime has its own).
        self.msvcrt_defines = msvcrt_defines
        self.title = title


TARGETS = [
    # msvcrt.dll's time_t is 32 bits wide on x86.
    Target("x86", "i686-w64-mingw32", "pe-i386", "", True, param_codes_x86,
           ["-D_USE_32BIT_TIME_T"], "hook-list definitions"),
    Target("x64", "x86_64-w64-mingw32", "pe-x86-64", "x64", False, param_codes_x64, [],
           "64-bit (x64) hook-list definitions"),
]


def read_supplement(path):
    """{target name: ({dll: {name: decorated byte count or None}}, [declaration])} of
    supplement.txt; an entry that starts with a target's name applies to that target only."""
    entries = {target.name: ({}, []) for target in TARGETS}
    with open(path) as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            kind, _, rest = line.partition(" ")
            names = list(entries)
            if kind in entries:
                names = [kind]
                kind, _, rest = rest.partition(" ")
            fields = rest.split()
            if kind == "export" and len(fields) in (2, 3):
                decorated = None
                if len(fields) == 3:
                    if not fields[2].startswith("@") or not fields[2][1:].isdigit():
                        sys.exit("lstgen: %s:%d: bad @N %s" % (path, number, fields[2]))
                    if names != ["x86"]:
                        sys.exit("lstgen: %s:%d: an @N is x86's: the entry must say x86" %
                                 (path, number))
                    decorated = int(fields[2][1:])
                for name in names:
                    entries[name][0].setdefault(fields[0], {})[fields[1]] = decorated
            elif kind == "declare" and rest.endswith(";"):
                for name in names:
                    entries[name][1].append(rest)
            else:
                sys.exit("lstgen: %s:%d: not an export or declare line" % (path, number))
    return entries


# A C function's name: the lists hold no C++ decorated names (??0bad_cast@@...), which no
# C header declares and the x86 import libraries do not name.
C_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*$")


def library_exports(library, target):
    """{dll name: {function name: decorated byte count or None}} of one import library."""
    archive = os.path.join(target.sysroot, "lib", "lib%s.a" % library)
    out = subprocess.run(target.nm + ["-A", archive], check=True, capture_output=True,
                         text=True).stdout
    prefix = "__imp__" if target.decorated else "__imp_"
    dlls = {}
    for line in out.splitlines():
        fields = line.split()
        if len(fields) != 3 or fields[1] != "I" or not fields[2].startswith(prefix):
            continue
        member = fields[0].split(":")[1]
        # Members of a DLL's import library are named lib<dll>s<number>.o.
        stem = member[:-2] if member.endswith(".o") else member
        digits = len(stem) - len(stem.rstrip("0123456789"))
        if not digits or not stem.startswith("lib") or stem[:-digits][-1:] != "s":
            continue
        # The C runtime's is libmsvcrt_defs<number>.o.
        dll = stem[3:-digits - 1]
        dll = (dll[:-len("_def")] if dll.endswith("_def") else dll) + ".dll"
        symbol = fields[2][len(prefix):]
        name, at, count = symbol.rpartition("@")
        if target.decorated and at and count.isdigit():
            dlls.setdefault(dll, {})[name] = int(count)
        elif target.decorated or C_NAME.match(symbol):
            dlls.setdefault(dll, {})[symbol] = None
    return dlls


def parse_declarations(target, universal_crt, extra_declarations, macros=False):
    resource_dir = sorted(glob.glob("/usr/lib/llvm-14/lib/clang/*/include"))[-1][:-len("/include")]
    args = ["-x", "c", "-std=gnu11", "-target", target.triple, "-resource-dir", resource_dir,
            "-isystem", os.path.join(target.sysroot, "include"), "-D_WIN32_WINNT=0x0A00",
            "-DWINVER=0x0A00", "-DPSAPI_VERSION=2", "-D_CRT_SECURE_NO_WARNINGS", "-DCOBJMACROS", "-w"]
    if universal_crt:
        args += ["-D_UCRT", "-D__MSVCRT_VERSION__=0xE00"]
    else:
        args += target.msvcrt_defines
    source = "".join("#include <%s>\n" % h for h in HEADERS) + "\n".join(extra_declarations)
    # The macros' definitions are kept only for the parse the constants are read from.
    options = ci.TranslationUnit.PARSE_DETAILED_PROCESSING_RECORD if macros else 0
    tu = ci.Index.create().parse("all.c", args=args, unsaved_files=[("all.c", source)],
                                 options=options)
    errors = [d for d in tu.diagnostics if d.severity >= ci.Diagnostic.Error]
    if errors:
        sys.exit("lstgen: the headers do not parse for %s: %s" % (target.name, errors[0]))
    functions, data = {}, set()
    for cursor in tu.cursor.get_children():
        if cursor.kind == ci.CursorKind.FUNCTION_DECL:
            functions.setdefault(cursor.spelling, cursor)
        elif cursor.kind == ci.CursorKind.VAR_DECL:
            data.add(cursor.spelling)
    return functions, data, decode_table.MacroValues(tu) if macros else None


def dll_text(dll, exports, functions, data, target, decoded):
    """The list of one DLL; adds {function: (cursor, params)} of its entries to decoded."""
    lines, left_out = [], []
    for name in sorted(exports):
        cursor = functions.get(name)
        try:
            # x64 has no such helpers: every argument there is in a register or a slot.
            if target.decorated and (name.startswith(X87_HELPER_PREFIX) or name in X87_HELPERS):
                raise LeftOut("register arguments: a compiler helper that takes its arguments "
                              "on the x87 register stack")
            if cursor is None:
                raise LeftOut("data, not a function" if name in data else
                              "no prototype in the headers")
            line, params = entry_line(name, dll, cursor, exports[name], target)
            lines.append(line)
            decoded.setdefault((name, signature(cursor, params)), (cursor, params, []))[2].append(dll)
        except LeftOut as why:
            left_out.append("// left out: %s: %s" % (name, why))
    head = ["// %s: %s generated by tools/lstgen/lstgen.py from the mingw-w64" %
            (dll, target.title), "// headers and import library; regenerate them, do not edit.",
            "imported_module=%s" % dll]
    return "\n".join(head + lines + left_out) + "\n"


def signature(cursor, params):
    """What decode.txt says of a function: one line serves the DLLs where it is the same."""
    return (cursor.result_type.spelling,
            tuple((p.spelling, p.type.spelling, "".join(codes)) for p, codes in params))


def write_target(target, output, extra_exports, extra_declarations, constants):
    folder = os.path.join(output, target.folder)
    os.makedirs(folder, exist_ok=True)
    # The constants are read from the parse of the Windows headers with msvcrt's C runtime.
    declarations = {flag: parse_declarations(target, flag, extra_declarations, not flag)
                    for flag in (False, True)}
    decoded = {}
    for library, universal_crt in LIBRARIES:
        functions, data, _ = declarations[universal_crt]
        for dll, exports in sorted(library_exports(library, target).items()):
            for name, decorated in extra_exports.get(dll, {}).items():
                exports.setdefault(name, decorated)
            with open(os.path.join(folder, dll[:-len(".dll")] + ".lst"), "w") as f:
                f.write(dll_text(dll, exports, functions, data, target, decoded))
    functions, _, macros = declarations[False]
    sets, uses = constants
    try:
        lines = decode_table.set_lines(sets, macros)
        used = decode_table.uses_by_function(uses, functions)
    except decode_table.ConstantsError as why:
        sys.exit("lstgen: %s: %s" % (target.name, why))
    for (name, _), (cursor, params, dlls) in sorted(decoded.items(), key=lambda item: item[0]):
        lines.append(decode_table.function_line(dlls, name, cursor, params, used))
    with open(os.path.join(folder, "decode.txt"), "w") as f:
        f.write(decode_table.HEADER % target.title + "\n".join(lines) + "\n")


def main():
    if len(sys.argv) == 2 and sys.argv[1] == "--check-tables":
        return check_tables()
    if len(sys.argv) != 2 or sys.argv[1] in ("-h", "--help"):
        print("usage: lstgen.py OUTPUT_DIR | --check-tables\n"
              "Writes OUTPUT_DIR/<dll>.lst (32-bit) and OUTPUT_DIR/x64/<dll>.lst (64-bit) for\n"
              "the system DLLs, or checks the generator's codes and callbacks against the\n"
              "tracer's tables.")
        return 0 if len(sys.argv) == 2 else 2
    ci.conf.lib.clang_getFunctionTypeCallingConv.argtypes = [ci.Type]
    ci.conf.lib.clang_getFunctionTypeCallingConv.restype = ctypes.c_int
    supplement = read_supplement(SUPPLEMENT)
    try:
        constants = decode_table.read_constants(CONSTANTS)
    except decode_table.ConstantsError as why:
        sys.exit("lstgen: %s" % why)
    for target in TARGETS:
        write_target(target, sys.argv[1], *supplement[target.name], constants)
    return 0


if __name__ == "__main__":
    sys.exit(main())
