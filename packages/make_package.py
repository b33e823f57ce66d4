#!/usr/bin/env python3
"""Makes a package description under packages/<name>/ and, on request, the package's content.

    make_package.py describe demo|full      # package.ini, the four torrents, the telemetry INI
    make_package.py content demo|full DIR   # the four files, as the servers serve them

Content is deterministic, so a description made here matches files made later (or by a mirror
that makes its bytes on the fly):
  - the demo installer is a small shell script (below);
  - every other file is the AES-128-CTR keystream whose key is the MD5 of "pelicanfetch:" + the
    file name, counter starting at 0. Byte o of a file is keystream byte o % 16 of counter
    block o // 16 (128-bit big-endian), so any range can be made without the bytes before it:
    openssl enc -aes-128-ctr -K KEY -iv (o // 16 in 32 hex digits) -nosalt -in /dev/zero,
    skipping o % 16 bytes.

Both packages name the same loopback servers (packages/README.md has the port scheme).
Hashing the full package takes minutes.
"""
import argparse
import base64
import hashlib
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

INSTALLER = "Setup156.exe"
DATA_FILES = ["Data156.zip", "Data15601.cab", "Data15602.cab"]
INSTALLER_PIECE = 32768
DATA_PIECE = 2097152

DOWNLOAD_SERVER = "http://127.0.0.1:18080/package/"
MIRROR_SERVER = "127.0.0.1:18081"
MIRROR_DIR = "/mirror/"
RESOURCE_LIST = "https://127.0.0.1:18443/resourcelist.xml"
TRACKER = "http://127.0.0.1:18969/announce"
COLLECTOR = "http://127.0.0.1:18090/"

DEMO_INSTALLER = (
    "#!/bin/sh\n"
    "# The demo package's installer: leaves a mark in its own folder, so that a run can be checked.\n"
    'touch "$(dirname "$0")/demo-installed"\n'
    "exit 0\n"
).encode()

PACKAGES = {
    # name: sizes of the rows (the demo installer's size is its script's)
    "demo": [len(DEMO_INSTALLER), 5242881, 4194304, 3146417],
    "full": [3145216, 3718156685, 4294967296, 4294967296],
}

TELEMETRY_INI = (
    "[SubmitEventDownload]\r\n"
    "SubmitUrl={collector}single\r\n"
    "InputDataKeyWord=DVersion;GameID;GVersion;AppVersion\r\n"
    "SubmitDataKeyWord=MachId;Mac;OS\r\n"
    "[SubmitEventDownloadSeveral]\r\n"
    "SubmitUrl={collector}\r\n"
    "[OsTypeCode]\r\n"
    "WIN_XP_SP2=512\r\nWIN_XP_SP3=513\r\nWIN_VISTA_SP0=600\r\nWIN_VISTA_SP1=601\r\nWIN_VISTA_SP2=602\r\n"
    "WIN_7_SP0=610\r\nWIN_7_SP1=611\r\nWIN_8_SP0=620\r\nWIN_8.1_SP0=630\r\nOther=999\r\n"
).format(collector=COLLECTOR)

CHUNK = 1 << 20


def file_names():
    return [INSTALLER] + DATA_FILES


def keystream_key(name):
    return hashlib.md5(("pelicanfetch:" + name).encode()).hexdigest()


def chunks(package, index):
    """The bytes of row `index`, in pieces of at most CHUNK bytes."""
    name = file_names()[index]
    size = PACKAGES[package][index]
    if package == "demo" and index == 0:
        yield DEMO_INSTALLER
        return
    process = subprocess.Popen(
        ["openssl", "enc", "-aes-128-ctr", "-K", keystream_key(name), "-iv", "0" * 32, "-nosalt",
         "-in", "/dev/zero"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        left = size
        while left > 0:
            block = process.stdout.read(min(CHUNK, left))
            if not block:
                sys.exit("make_package: openssl stopped early for " + name)
            left -= len(block)
            yield block
    finally:
        process.stdout.close()
        process.terminate()
        process.wait()


def bencode(value):
    if isinstance(value, int):
        return b"i%de" % value
    if isinstance(value, str):
        value = value.encode()
    if isinstance(value, bytes):
        return b"%d:%s" % (len(value), value)
    if isinstance(value, dict):
        keys = sorted(value, key=lambda k: k.encode() if isinstance(k, str) else k)
        return b"d" + b"".join(bencode(k) + bencode(value[k]) for k in keys) + b"e"
    raise TypeError(type(value))


def digest_and_torrent(package, index, out=None):
    """MD5 of row `index` and its single-file torrent; writes the bytes to `out` when given."""
    name = file_names()[index]
    piece_length = INSTALLER_PIECE if index == 0 else DATA_PIECE
    md5 = hashlib.md5()
    pieces = []
    piece = hashlib.sha1()
    in_piece = 0
    size = 0
    for block in chunks(package, index):
        md5.update(block)
        size += len(block)
        if out:
            out.write(block)
        view = memoryview(block)
        while view:
            take = min(len(view), piece_length - in_piece)
            piece.update(view[:take])
            in_piece += take
            view = view[take:]
            if in_piece == piece_length:
                pieces.append(piece.digest())
                piece = hashlib.sha1()
                in_piece = 0
    if in_piece:
        pieces.append(piece.digest())
    torrent = bencode({
        "announce": TRACKER,
        "info": {"length": size, "name": name, "piece length": piece_length, "pieces": b"".join(pieces)},
    })
    return md5.hexdigest(), torrent


def b64(text):
    return base64.b64encode(text.encode()).decode()


def package_url(name):
    return DOWNLOAD_SERVER + name


def resource_list(package):
    """The resource list the loopback HTTPS server serves: P2P on, not expired, one mirror per file."""
    lines = ['<?xml version="1.0" encoding="UTF-8"?>', "<project>", "  <configs>",
             "    <p2p-switch>on</p2p-switch>",
             "    <expire-info><expired>false</expired><message></message><url></url></expire-info>",
             "  </configs>", "  <resources>"]
    for index, name in enumerate(file_names()):
        lines.append('    <resource id="%d" task="%s">' % (index + 1, package_url(name)))
        lines.append('      <cdn id="1" name="loopback" open="true" host-name="localhost" middle-dir="%s"'
                     ' file-name="%s"><ip>%s</ip></cdn>' % (MIRROR_DIR, name, MIRROR_SERVER))
        lines.append("    </resource>")
    lines += ["  </resources>", "</project>", ""]
    return "\n".join(lines)


def ensure_certificates(folder):
    """A CA and a server certificate for 127.0.0.1 and localhost signed by it; the CA's key is dropped."""
    tls = os.path.join(folder, "tls")
    if os.path.exists(os.path.join(tls, "ca.pem")):
        return
    os.makedirs(tls, exist_ok=True)
    ca_key = os.path.join(tls, "ca.key")
    run = lambda *args: subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650", "-subj",
        "/CN=Pelicanfetch loopback CA", "-keyout", ca_key, "-out", os.path.join(tls, "ca.pem"))
    run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
        "-keyout", os.path.join(tls, "server.key"), "-out", os.path.join(tls, "server.csr"))
    extensions = os.path.join(tls, "server.ext")
    with open(extensions, "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    run("openssl", "x509", "-req", "-in", os.path.join(tls, "server.csr"), "-CA", os.path.join(tls, "ca.pem"),
        "-CAkey", ca_key, "-CAcreateserial", "-days", "3650", "-extfile", extensions,
        "-out", os.path.join(tls, "server.pem"))
    for leftover in (ca_key, os.path.join(tls, "server.csr"), extensions, os.path.join(tls, "ca.srl")):
        if os.path.exists(leftover):
            os.remove(leftover)


def describe(package):
    folder = os.path.join(HERE, package)
    os.makedirs(folder, exist_ok=True)
    if package == "demo":
        ensure_certificates(folder)
    rows = []
    for index, name in enumerate(file_names()):
        print("make_package: hashing", name, file=sys.stderr)
        md5, torrent = digest_and_torrent(package, index)
        with open(os.path.join(folder, name + ".torrent"), "wb") as f:
            f.write(torrent)
        rows.append((name, PACKAGES[package][index], md5))
    with open(os.path.join(folder, "dataupload.ini"), "w", newline="") as f:
        f.write(TELEMETRY_INI)
    with open(os.path.join(folder, "resourcelist.xml"), "w") as f:
        f.write(resource_list(package))
    text = ["# Made by packages/make_package.py; make it again rather than editing it.",
            "# URLs are base64 (standard alphabet); sizes in bytes; MD5s in lower-case hexadecimal.",
            "[package]",
            "id = " + rows[0][2],
            "installer = " + INSTALLER,
            "resource-list = " + b64(RESOURCE_LIST),
            "ca = " + ("tls/ca.pem" if package == "demo" else "../demo/tls/ca.pem"),
            "telemetry = dataupload.ini"]
    for index, (name, size, md5) in enumerate(rows):
        text += ["", "[file %d]" % index, "name = " + name, "size = %d" % size, "md5 = " + md5,
                 "url = " + b64(package_url(name)), "torrent = " + name + ".torrent"]
    with open(os.path.join(folder, "package.ini"), "w") as f:
        f.write("\n".join(text) + "\n")
    print("make_package: wrote", folder, file=sys.stderr)


def content(package, target):
    os.makedirs(target, exist_ok=True)
    for index, name in enumerate(file_names()):
        path = os.path.join(target, name)
        with open(path, "wb") as out:
            for block in chunks(package, index):
                out.write(block)
        if package == "demo" and index == 0:
            os.chmod(path, 0o755)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("action", choices=["describe", "content"])
    parser.add_argument("package", choices=sorted(PACKAGES))
    parser.add_argument("folder", nargs="?", help="where `content` writes the files")
    args = parser.parse_args()
    if args.action == "describe":
        describe(args.package)
    else:
        if not args.folder:
            parser.error("content needs a folder")
        content(args.package, args.folder)


if __name__ == "__main__":
    main()
