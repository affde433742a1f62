#!/usr/bin/python3
# Hook-list definitions generator: writes lists/<dll>.lst, one "api=" line per function that
# a system DLL's mingw-w64 import library names, typed from the C prototypes of the mingw-w64
# headers as libclang parses them, with the hand-checked additions of supplement.txt.
# The type codes and the callback names come from the tracer's own tables.
# Usage: lstgen.py OUTPUT_DIR
import ctypes
import glob
import os
import re
import subprocess
import sys

import clang.cindex as ci

SYSROOT = "/usr/i686-w64-mingw32"
HERE = os.path.dirname(os.path.abspath(__file__))
SUPPLEMENT = os.path.join(HERE, "supplement.txt")
SRC = os.path.join(HERE, "..", "..", "src")
TYPE_CODES_TABLE = os.path.join(SRC, "hooklist", "type_codes.h")
CALLBACK_TABLE = os.path.join(SRC, "control", "callback_wiring.cpp")
NM = "i686-w64-mingw32-nm"

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
RULE_CODES = "xBsSwWpb24d"


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


def integer_code(param, t):
    names, _ = typedef_chain(t)
    if SIZE_TYPEDEFS.intersection(names):
        return typed("d")
    words = name_words(param.spelling)
    if COUNT_WORDS.intersection(words) or any(w.endswith(COUNT_ENDINGS) for w in words):
        return typed("d")
    return typed("4")


def param_codes(param):
    t = param.type
    canon = t.get_canonical()
    size = canon.get_size()
    if canon.kind in (ci.TypeKind.CONSTANTARRAY, ci.TypeKind.INCOMPLETEARRAY,
                      ci.TypeKind.VARIABLEARRAY, ci.TypeKind.DEPENDENTSIZEDARRAY):
        return [typed("p")]
    if size <= 0:
        raise LeftOut("argument %s of unknown size" % (param.spelling or "?"))
    if is_handle(t):
        return [typed("x")]
    names, _ = typedef_chain(t)
    if BOOL_TYPEDEFS.intersection(names):
        return [typed("B")]
    if canon.kind == ci.TypeKind.POINTER:
        return [pointer_code(param, t)]
    if size == 1:
        return [typed("b")]
    if size == 2:
        return [typed("2")]
    if size > 4:
        return [typed("4")] * ((size + 3) // 4)
    if canon.kind in (ci.TypeKind.UINT, ci.TypeKind.INT, ci.TypeKind.ULONG, ci.TypeKind.LONG):
        return [integer_code(param, t)]
    return [typed("4")]


def calling_conv(ftype):
    return ci.conf.lib.clang_getFunctionTypeCallingConv(ftype)


def entry_line(name, dll, cursor, decorated_bytes):
    ftype = cursor.type
    if ftype.kind != ci.TypeKind.FUNCTIONPROTO:
        raise LeftOut("declared without a prototype")
    if ftype.is_function_variadic():
        raise LeftOut("variadic: its argument words vary by call")
    codes = []
    for param in cursor.get_arguments():
        codes.extend(param_codes(param))
    stdcall = calling_conv(ftype) == CC_STDCALL
    if decorated_bytes is None:
        if stdcall:
            raise LeftOut("stdcall prototype, undecorated import library name")
        caller_cleans = "1"
    else:
        if not stdcall:
            raise LeftOut("cdecl prototype, import library name decorated @%d" % decorated_bytes)
        if decorated_bytes != 4 * len(codes):
            raise LeftOut("%d argument words by the prototype, %d by the import library (@%d)" %
                          (len(codes), decorated_bytes // 4, decorated_bytes))
        caller_cleans = ""
    skip = "1" if name in SKIP_CALL else ""
    pre, post = WIRED.get(name, ("", ""))
    if dll in SOCKET_DLLS:
        pre, post = SOCKET_CALLBACKS, SOCKET_CALLBACKS
    fields = [name, "", caller_cleans, skip, pre, post, "", "", ""] + codes
    return "api=" + ",".join(fields) + ("," if not codes else "")


def read_supplement(path):
    """({dll: {name: decorated byte count or None}}, [declaration]) of supplement.txt."""
    exports, declarations = {}, []
    with open(path) as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            kind, _, rest = line.partition(" ")
            fields = rest.split()
            if kind == "export" and len(fields) in (2, 3):
                decorated = None
                if len(fields) == 3:
                    if not fields[2].startswith("@") or not fields[2][1:].isdigit():
                        sys.exit("lstgen: %s:%d: bad @N %s" % (path, number, fields[2]))
                    decorated = int(fields[2][1:])
                exports.setdefault(fields[0], {})[fields[1]] = decorated
            elif kind == "declare" and rest.endswith(";"):
                declarations.append(rest)
            else:
                sys.exit("lstgen: %s:%d: not an export or declare line" % (path, number))
    return exports, declarations


def library_exports(library):
    """{dll name: {function name: decorated byte count or None}} of one import library."""
    out = subprocess.run([NM, "-A", os.path.join(SYSROOT, "lib", "lib%s.a" % library)],
                         check=True, capture_output=True, text=True).stdout
    dlls = {}
    for line in out.splitlines():
        fields = line.split()
        if len(fields) != 3 or fields[1] != "I" or not fields[2].startswith("__imp__"):
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
        symbol = fields[2][len("__imp__"):]
        name, at, count = symbol.rpartition("@")
        if at and count.isdigit():
            dlls.setdefault(dll, {})[name] = int(count)
        else:
            dlls.setdefault(dll, {})[symbol] = None
    return dlls


def parse_declarations(universal_crt, extra_declarations):
    resource_dir = sorted(glob.glob("/usr/lib/llvm-14/lib/clang/*/include"))[-1][:-len("/include")]
    args = ["-x", "c", "-std=gnu11", "-target", "i686-w64-mingw32", "-resource-dir", resource_dir,
            "-isystem", os.path.join(SYSROOT, "include"), "-D_WIN32_WINNT=0x0A00",
            "-DWINVER=0x0A00", "-DPSAPI_VERSION=2", "-D_CRT_SECURE_NO_WARNINGS", "-DCOBJMACROS", "-w"]
    if universal_crt:
        args += ["-D_UCRT", "-D__MSVCRT_VERSION__=0xE00"]
    else:
        # msvcrt.dll's time_t is 32 bits wide.
        args += ["-D_USE_32BIT_TIME_T"]
    source = "".join("#include <%s>\n" % h for h in HEADERS) + "\n".join(extra_declarations)
    tu = ci.Index.create().parse("all.c", args=args, unsaved_files=[("all.c", source)])
    errors = [d for d in tu.diagnostics if d.severity >= ci.Diagnostic.Error]
    if errors:
        sys.exit("lstgen: the headers do not parse: %s" % errors[0])
    functions, data = {}, set()
    for cursor in tu.cursor.get_children():
        if cursor.kind == ci.CursorKind.FUNCTION_DECL:
            functions.setdefault(cursor.spelling, cursor)
        elif cursor.kind == ci.CursorKind.VAR_DECL:
            data.add(cursor.spelling)
    return functions, data


def dll_text(dll, exports, functions, data):
    lines, left_out = [], []
    for name in sorted(exports):
        cursor = functions.get(name)
        try:
            if name.startswith(X87_HELPER_PREFIX) or name in X87_HELPERS:
                raise LeftOut("register arguments: a compiler helper that takes its arguments "
                              "on the x87 register stack")
            if cursor is None:
                raise LeftOut("data, not a function" if name in data else
                              "no prototype in the headers")
            lines.append(entry_line(name, dll, cursor, exports[name]))
        except LeftOut as why:
            left_out.append("// left out: %s: %s" % (name, why))
    head = ["// %s: hook-list definitions generated by tools/lstgen/lstgen.py from the mingw-w64" %
            dll, "// headers and import library; regenerate them, do not edit.",
            "imported_module=%s" % dll]
    return "\n".join(head + lines + left_out) + "\n"


def main():
    if len(sys.argv) == 2 and sys.argv[1] == "--check-tables":
        return check_tables()
    if len(sys.argv) != 2 or sys.argv[1] in ("-h", "--help"):
        print("usage: lstgen.py OUTPUT_DIR | --check-tables\n"
              "Writes OUTPUT_DIR/<dll>.lst for the system DLLs, or checks the generator's\n"
              "codes and callbacks against the tracer's tables.")
        return 0 if len(sys.argv) == 2 else 2
    ci.conf.lib.clang_getFunctionTypeCallingConv.argtypes = [ci.Type]
    ci.conf.lib.clang_getFunctionTypeCallingConv.restype = ctypes.c_int
    target = sys.argv[1]
    os.makedirs(target, exist_ok=True)
    extra_exports, extra_declarations = read_supplement(SUPPLEMENT)
    declarations = {flag: parse_declarations(flag, extra_declarations) for flag in (False, True)}
    for library, universal_crt in LIBRARIES:
        functions, data = declarations[universal_crt]
        for dll, exports in sorted(library_exports(library).items()):
            for name, decorated in extra_exports.get(dll, {}).items():
                exports.setdefault(name, decorated)
            with open(os.path.join(target, dll[:-len(".dll")] + ".lst"), "w") as f:
                f.write(dll_text(dll, exports, functions, data))
    return 0


if __name__ == "__main__":
    sys.exit(main())
