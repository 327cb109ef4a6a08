#!/usr/bin/env python3
"""Makes the packages cpack wrote the same bytes for one commit, whoever
builds them, wherever and whenever: nothing of the builder's umask, user,
time zone or file system stays in them.

Usage: normalize-packages.py SOURCE_DATE_EPOCH TOP OUTPUT STAGE PACKAGE...
  .deb     every ar member 100644, as dpkg-deb writes them; Installed-Size
           counted from the files, not from the directories' own sizes;
           in both tars, sorted entries owned by root, directories 0755,
           files 0755 or 0644, dated by the release
  .zip     entries under TOP/, dated in UTC, no owner fields, text files
           with CRLF line ends (Notepad before Windows 10 needs them)
  .tar.xz  made from STAGE, the folder staged for it (cpack reads a path
           with pattern characters as a pattern, and would pack nothing):
           entries under one TOP/ with an entry of its own, sorted, owned
           by 0/0 with no names, modes 0755 and 0644, dated by the release
  .msi     as wixl made it
Then OUTPUT/SHA256SUMS, where cpack puts the packages, names each with its
sum, keeping the lines of the other packages there.
"""
import gzip, hashlib, io, lzma, os, sys, tarfile, time, zipfile


def ar_members(data):
    if data[:8] != b"!<arch>\n":
        sys.exit("not an ar archive")
    at, members = 8, []
    while at < len(data):
        header = data[at:at + 60]
        size = int(header[48:58])
        members.append([header, data[at + 60:at + 60 + size]])
        at += 60 + size + size % 2
    return members


def compressed(name, raw):
    if name.endswith(".gz"):
        return gzip.compress(raw, 9, mtime=0)
    if name.endswith(".xz"):
        return lzma.compress(raw)
    return raw


def rewritten_tar(members, fileobj):
    with tarfile.open(fileobj=fileobj, mode="w", format=tarfile.GNU_FORMAT) as out:
        for info, content in members:
            out.addfile(info, io.BytesIO(content) if content is not None else None)


def normalized_member(member, epoch, rewrite=lambda info, content: content):
    """A .deb's tar made again as dpkg-deb --root-owner-group would make it
    under umask 022, whatever umask staged the files."""
    name = member[0][:16].decode().strip().rstrip("/")
    entries = []
    with tarfile.open(fileobj=io.BytesIO(member[1])) as old:
        for info in sorted(old.getmembers(), key=lambda info: info.name):
            content = old.extractfile(info).read() if info.isfile() else None
            content = rewrite(info, content)
            if content is not None:
                info.size = len(content)
            info.uid = info.gid = 0
            info.uname = info.gname = "root"
            info.mtime = epoch
            if not info.issym():
                info.mode = 0o755 if info.isdir() or info.mode & 0o111 else 0o644
            entries.append((info, content))
    raw = io.BytesIO()
    rewritten_tar(entries, raw)
    member[1] = compressed(name, raw.getvalue())


def normalize_deb(path, epoch):
    with open(path, "rb") as deb:
        members = ar_members(deb.read())
    data = next(m for m in members if m[0].startswith(b"data.tar"))
    with tarfile.open(fileobj=io.BytesIO(data[1])) as files:
        size = sum(-(-m.size // 1024) if m.isfile() else 0 if m.isdir() else 1
                   for m in files.getmembers())

    def with_size(info, content):
        if info.name.removeprefix("./") != "control":
            return content
        lines = [f"Installed-Size: {size}" if line.startswith("Installed-Size:")
                 else line for line in content.decode().splitlines()]
        return ("\n".join(lines) + "\n").encode()
    normalized_member(data, epoch)
    normalized_member(next(m for m in members if m[0].startswith(b"control.tar")),
                      epoch, with_size)
    with open(path, "wb") as deb:
        deb.write(b"!<arch>\n")
        for header, content in members:
            header = (header[:40] + b"100644  " + f"{len(content):<10}".encode()
                      + b"`\n")
            deb.write(header + content + b"\n" * (len(content) % 2))


def normalize_zip(path, epoch, top):
    with zipfile.ZipFile(path) as old:
        entries = [(i.filename.split("/", 1)[-1] if i.filename.startswith(top + "/")
                    else i.filename, old.read(i)) for i in old.infolist() if not i.is_dir()]
    date = time.gmtime(max(epoch, 315532800))[:6]  # DOS times start in 1980
    with zipfile.ZipFile(path, "w") as out:
        for name, content in sorted(entries):
            if name.endswith((".md", ".txt", ".xml")) or name == "LICENSE":
                content = content.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
            info = zipfile.ZipInfo(f"{top}/{name}", date)
            info.create_system = 3
            info.external_attr = (0o100755 if name.endswith(".exe") else 0o100644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            out.writestr(info, content, compresslevel=9)


def normalize_tar(path, epoch, top, stage):
    files = {}
    for folder, _, names in os.walk(stage):
        for name in names:
            with open(os.path.join(folder, name), "rb") as file:
                executable = os.stat(file.fileno()).st_mode & 0o111 != 0
                name = os.path.relpath(os.path.join(folder, name), stage)
                files[name] = (executable, file.read())
    names = set(files)
    for name in files:
        parts = name.split("/")[:-1]
        names.update("/".join(parts[:i + 1]) for i in range(len(parts)))
    entries = []
    for name in [""] + sorted(names):
        info = tarfile.TarInfo(f"{top}/{name}".rstrip("/"))
        info.uid = info.gid = 0
        info.uname = info.gname = ""
        info.mtime = epoch
        content = None
        if name in files:
            executable, content = files[name]
            info.mode, info.size = (0o755 if executable else 0o644), len(content)
        else:
            info.type, info.mode = tarfile.DIRTYPE, 0o755
        entries.append((info, content))
    raw = io.BytesIO()
    rewritten_tar(entries, raw)
    with open(path, "wb") as out:
        out.write(lzma.compress(raw.getvalue()))


def record_sums(paths, output):
    sums, lines = os.path.join(output, "SHA256SUMS"), {}
    if os.path.exists(sums):
        with open(sums) as old:
            lines = {line[66:].rstrip("\n"): line for line in old}
    lines = {name: line for name, line in lines.items()
             if os.path.exists(os.path.join(output, name))}
    for path in paths:
        with open(path, "rb") as package:
            digest = hashlib.sha256(package.read()).hexdigest()
        lines[os.path.basename(path)] = f"{digest}  {os.path.basename(path)}\n"
    with open(sums, "w") as out:
        out.writelines(lines[name] for name in sorted(lines))


epoch, top = int(sys.argv[1]), sys.argv[2]
for package in sys.argv[5:]:
    if package.endswith(".deb"):
        normalize_deb(package, epoch)
    elif package.endswith(".zip"):
        normalize_zip(package, epoch, top)
    elif package.endswith(".tar.xz"):
        normalize_tar(package, epoch, top, sys.argv[4])
record_sums(sys.argv[5:], sys.argv[3])
