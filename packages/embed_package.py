#!/usr/bin/env python3
"""Turns a package description (packages/<name>/package.ini) into C++ for the application.

    embed_package.py PACKAGE_FOLDER OUTPUT.cpp

The generated file defines kEmbeddedPackage (app/EmbeddedPackage.h): the four rows with their
file names and URLs base64-encoded, sizes and MD5s plain, the package id, the resource-list URL
(base64, as the description holds it), the CA certificates for the package's own HTTPS servers,
and the resources TORRENT 301-304 (the torrent files' bytes) and DUCONF 181 (the telemetry INI,
base64-encoded). A description that does not hold together stops the build.
"""
import base64
import binascii
import configparser
import os
import re
import sys

FILE_COUNT = 4
FIRST_TORRENT = 301
TELEMETRY_CONFIG = 181


def fail(folder, problem):
    sys.exit("embed_package: %s: %s" % (folder, problem))


def c_string(text):
    """A C++ string literal of `text` (ASCII or UTF-8), split at line ends."""
    out = []
    for line in text.splitlines(keepends=True) or [""]:
        escaped = "".join(
            c if 0x20 <= ord(c) < 0x7F and c not in '"\\?' else "\\%03o" % b
            for c in line for b in ([ord(c)] if ord(c) < 0x80 else c.encode()))
        out.append('"%s"' % escaped)
    return "\n    ".join(out)


def byte_array(data):
    rows = []
    for start in range(0, len(data), 20):
        rows.append("    " + ", ".join("0x%02x" % b for b in data[start:start + 20]) + ",")
    return "\n".join(rows) if rows else "    0"


def checked_base64(folder, key, text):
    try:
        return base64.b64decode(text, validate=True).decode()
    except (binascii.Error, UnicodeDecodeError):
        fail(folder, "%s is not base64 text" % key)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    folder, output = sys.argv[1], sys.argv[2]
    parser = configparser.ConfigParser(interpolation=None)
    if not parser.read(os.path.join(folder, "package.ini"), encoding="utf-8"):
        fail(folder, "no package.ini")
    package = parser["package"] if parser.has_section("package") else fail(folder, "no [package] section")

    rows = []
    resources = []
    for index in range(FILE_COUNT):
        section = "file %d" % index
        if not parser.has_section(section):
            fail(folder, "no [%s] section" % section)
        row = parser[section]
        name, md5 = row.get("name", ""), row.get("md5", "")
        if not name:
            fail(folder, "%s has no name" % section)
        if not re.fullmatch(r"[0-9a-f]{32}", md5):
            fail(folder, "%s: md5 is not 32 lower-case hexadecimal digits" % section)
        size = row.getint("size", 0)
        checked_base64(folder, section + " url", row.get("url", ""))
        with open(os.path.join(folder, row.get("torrent", "")), "rb") as f:
            torrent = f.read()
        rows.append((base64.b64encode(name.encode()).decode(), size, md5, row.get("url", "")))
        resources.append(("TORRENT", FIRST_TORRENT + index, torrent))

    package_id = package.get("id", "")
    if package_id != rows[0][2]:
        fail(folder, "the package id is not the installer's MD5")
    if package.get("installer", "") != parser["file 0"]["name"]:
        fail(folder, "the installer is not row 0")
    checked_base64(folder, "resource-list", package.get("resource-list", ""))
    ca = ""
    if package.get("ca"):
        with open(os.path.join(folder, package["ca"]), encoding="ascii") as f:
            ca = f.read()
    with open(os.path.join(folder, package.get("telemetry", "")), "rb") as f:
        resources.append(("DUCONF", TELEMETRY_CONFIG, base64.b64encode(f.read())))

    name = os.path.basename(os.path.normpath(folder))
    lines = ["// Generated from packages/%s by packages/embed_package.py; do not edit." % name,
             '#include "app/EmbeddedPackage.h"', "", "namespace pf {", "namespace {", ""]
    for kind, number, data in resources:
        lines += ["const unsigned char k%s%d[] = {" % (kind.capitalize(), number), byte_array(data), "};", ""]
    lines.append("const EmbeddedResource kResources[] = {")
    for kind, number, data in resources:
        lines.append('    {"%s", %d, k%s%d, %d},' % (kind, number, kind.capitalize(), number, len(data)))
    lines += ["};", "", "}  // namespace", "", "extern const EmbeddedPackage kEmbeddedPackage = {",
              "    %s," % c_string(name), "    {{"]
    for encoded_name, size, md5, url in rows:
        lines.append('        {"%s", %dull, "%s", "%s"},' % (encoded_name, size, md5, url))
    lines += ["    }},",
              '    "%s",' % package_id,
              '    "%s",' % package.get("resource-list", ""),
              "    %s," % c_string(ca),
              "    kResources,",
              "    sizeof kResources / sizeof kResources[0],",
              "};", "", "}  // namespace pf", ""]
    with open(output, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))


if __name__ == "__main__":
    main()
