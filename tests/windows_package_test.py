#!/usr/bin/env python3
"""The .zip files for Windows users, as packaging/windows/make-zips.sh makes
them from the 64-bit and the 32-bit cross build, with SHA256SUMS beside them.
Each holds the two programs, README.txt and LICENSE.txt, nothing else; the
texts have CR LF line ends; each .exe has its version resource and
application manifest, is built for its .zip's processor, and imports only
functions Windows 7 SP1 has.

    windows_package_test.py SOURCE_DIR VERSION WIN64_BUILD WIN32_BUILD
"""
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree
import zipfile

source_dir, version, win64_build, win32_build = sys.argv[1:5]
failures = []


def fail(message):
    failures.append(message)


# Per .zip: the processor, objdump's name for its exe format, and the MinGW
# tools that read it.
ZIPS = {
    "x64": ("pei-x86-64", "x86_64-w64-mingw32"),
    "x86": ("pei-i386", "i686-w64-mingw32"),
}
PROGRAMS = ("pelkron", "pelkron2")
SUPPORTED_OS = {
    "Windows 7": "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "Windows 8": "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
    "Windows 8.1": "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "Windows 10 and 11": "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
}
# What README.txt must tell a Windows user, and what it must not.
README_TOPICS = [
    "pelkron --list", "Device Manager", "Ports (COM & LPT)", "driver", "pelkron -p COM7", ".\\pelkron",
    "-p usb:0403:6001:A12345", "setx PELKRON_PORT", "Drop the file", "%ERRORLEVEL%", "$LASTEXITCODE",
    "mode COM7", "Windows 7",
]
README_MOST_LINES = 150


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def check_crlf(name, data):
    if b"\r\n" not in data or data.replace(b"\r\n", b"").count(b"\n") or data.replace(b"\r\n", b"").count(b"\r"):
        fail(f"{name}: not every line ends with CR LF")
    try:
        data.decode("ascii")
    except UnicodeDecodeError:
        fail(f"{name}: not plain ASCII, which every Notepad shows alike")


def check_readme(name, data):
    check_crlf(name, data)
    text = data.decode("ascii", "replace")
    for topic in README_TOPICS:
        if topic not in text:
            fail(f"{name} does not mention {topic}")
    if "/dev/" in text:
        fail(f"{name} speaks of /dev/, which no Windows user has")
    if f"pelkron {version} for Windows" not in text:
        fail(f"{name} does not name version {version}")
    if text.count("\r\n") > README_MOST_LINES:
        fail(f"{name} has {text.count(chr(10))} lines: more than {README_MOST_LINES} is no short README")


def check_licence(name, data):
    check_crlf(name, data)
    with open(os.path.join(source_dir, "LICENSE"), "rb") as licence:
        if data != licence.read().replace(b"\n", b"\r\n"):
            fail(f"{name} is not LICENSE")


def check_resources(name, exe, tools, program):
    """The version resource and manifest, as windres reads them back."""
    rc = run(f"{tools}-windres", "-J", "coff", "-O", "rc", "-i", exe)
    major, minor, patch = version.split(".")
    if not re.search(rf"FILEVERSION {major}, {minor}, {patch}, 0\n", rc):
        fail(f"{name}: no FILEVERSION {major}, {minor}, {patch}, 0")
    strings = dict(re.findall(r'VALUE "(\w+)", "([^"]*)"', rc))
    expected = {"ProductName": "pelkron", "FileVersion": version, "ProductVersion": version,
                "OriginalFilename": f"{program}.exe", "InternalName": program}
    for key, value in expected.items():
        if strings.get(key) != value:
            fail(f"{name}: {key} is {strings.get(key)!r}, not {value!r}")
    for key in ("FileDescription", "CompanyName"):
        if not strings.get(key):
            fail(f"{name}: no {key}")
    if "Copyright" not in strings.get("LegalCopyright", ""):
        fail(f"{name}: no copyright")

    manifest = re.search(r"1 24 /\* RT_MANIFEST \*/\nBEGIN\n(.*?)\nEND", rc, re.S)
    if not manifest:
        fail(f"{name}: no application manifest")
        return
    xml = "".join(re.findall(r'^\s*"(.*)"$', manifest.group(1), re.M)).replace('""', '"').replace("\\n", "\n")
    try:
        root = ElementTree.fromstring(xml.encode())
    except ElementTree.ParseError as error:
        fail(f"{name}: the manifest is no XML: {error}")
        return
    ids = {element.get("Id") for element in root.iter("{urn:schemas-microsoft-com:compatibility.v1}supportedOS")}
    for windows, guid in SUPPORTED_OS.items():
        if guid not in ids:
            fail(f"{name}: the manifest does not declare {windows}")
    long_paths = [element.text for element in root.iter() if element.tag.endswith("}longPathAware")]
    if long_paths != ["true"]:
        fail(f"{name}: the manifest is not long-path aware")
    levels = [element.get("level") for element in root.iter() if element.tag.endswith("}requestedExecutionLevel")]
    if levels != ["asInvoker"]:
        fail(f"{name}: the manifest asks for {levels}, not asInvoker")


def allowed_imports():
    allowed = set()
    with open(os.path.join(source_dir, "tests", "windows7_imports.txt")) as listing:
        for line in listing:
            if line.strip() and not line.startswith("#"):
                dll, function = line.split()
                allowed.add((dll, function))
    return allowed


def check_binary(name, exe, exe_format, tools):
    """Processor, the Windows version it asks for, and what it imports."""
    headers = run(f"{tools}-objdump", "-p", exe)
    if f"file format {exe_format}" not in headers:
        fail(f"{name} is not {exe_format}")
    # Windows refuses a program that asks for a newer version than its own.
    for field in ("OSystemVersion", "SubsystemVersion"):
        major = int(re.search(rf"Major{field}\s+(\d+)", headers).group(1))
        minor = int(re.search(rf"Minor{field}\s+(\d+)", headers).group(1))
        if (major, minor) > (6, 1):
            fail(f"{name} asks for Windows {major}.{minor} ({field}); Windows 7 is 6.1")
    allowed = allowed_imports()
    dll = None
    imports = set()
    for line in headers.splitlines():
        found = re.match(r"\tDLL Name: (\S+)", line)
        if found:
            dll = found.group(1).lower()
            imports.add((dll, None))
        elif not line.strip():
            dll = None
        elif dll and re.match(r"\t[0-9a-f]+\t\s*\d+\s+\S+", line):
            imports.add((dll, line.split()[-1]))
    if not any(function for _, function in imports):
        fail(f"{name}: no imports found in objdump's output")
    allowed_dlls = {allowed_dll for allowed_dll, _ in allowed}
    for dll, function in sorted(imports, key=str):
        if function is None:
            if dll not in allowed_dlls:
                fail(f"{name} needs {dll}, which Windows 7 SP1 may lack")
        elif (dll, function) not in allowed:
            fail(f"{name} imports {dll} {function}, not known to be in Windows 7 SP1 (tests/windows7_imports.txt)")


def check_zip(path, processor):
    exe_format, tools = ZIPS[processor]
    top = os.path.basename(path)[:-len(".zip")]
    with zipfile.ZipFile(path) as archive, tempfile.TemporaryDirectory() as unpacked:
        names = sorted(name for name in archive.namelist() if not name.endswith("/"))
        expected = sorted(f"{top}/{name}" for name in ("README.txt", "LICENSE.txt", "pelkron.exe", "pelkron2.exe"))
        if names != expected:
            fail(f"{os.path.basename(path)} holds {names}, not {expected}")
            return
        check_readme(f"{top}/README.txt", archive.read(f"{top}/README.txt"))
        check_licence(f"{top}/LICENSE.txt", archive.read(f"{top}/LICENSE.txt"))
        for program in PROGRAMS:
            name = f"{top}/{program}.exe"
            exe = archive.extract(name, unpacked)
            check_resources(name, exe, tools, program)
            check_binary(name, exe, exe_format, tools)


def main():
    if not win32_build:
        print("no 32-bit build to package (PELKRON_WINE32_EXE_DIR is empty)")
        return 1
    with tempfile.TemporaryDirectory() as out:
        script = os.path.join(source_dir, "packaging", "windows", "make-zips.sh")
        made = subprocess.run(["bash", script, out, win64_build, win32_build], capture_output=True, text=True)
        if made.returncode != 0:
            print(made.stdout + made.stderr)
            print("make-zips.sh failed")
            return 1
        zips = {processor: f"pelkron-{version}-windows-{processor}.zip" for processor in ZIPS}
        present = sorted(os.listdir(out))
        if present != sorted(list(zips.values()) + ["SHA256SUMS"]):
            fail(f"make-zips.sh made {present}")
        with open(os.path.join(out, "SHA256SUMS")) as sums:
            listed = dict(reversed(line.split("  ", 1)) for line in sums.read().splitlines())
        for processor, zip_name in zips.items():
            path = os.path.join(out, zip_name)
            if not os.path.exists(path):
                continue
            with open(path, "rb") as data:
                if listed.get(zip_name) != hashlib.sha256(data.read()).hexdigest():
                    fail(f"SHA256SUMS does not give {zip_name}'s checksum")
            check_zip(path, processor)
    for failure in failures:
        print(failure)
    if not failures:
        print(", ".join(zips.values()) + " and SHA256SUMS: the programs, README.txt and LICENSE.txt, "
              "version resources, manifests, Windows 7 imports")
    return 1 if failures else 0


sys.exit(main())
