#!/usr/bin/env python3
"""One result for both routes: `tollivar.exe /Service` and the Windows Installer package.

Runs the host build's tollivar.exe /Service from C:\\Program Files\\tollivar on a fresh host
machine (the folder the package installs to on 32-bit Windows), reads what it wrote (every
registry value and key it added under HKLM and HKCU, `sc qc`, `sc qdescription`), reads the
package's tables (File, Directory, Component, Property, Registry, ServiceInstall,
ServiceControl), resolves the package's formatted values for that folder, and fails on any
difference.

Usage: scripts/check-install-routes.py [HOST_BUILD_DIR [WINDOWS_BUILD_DIR]]
       (default build/host and build/windows)
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

SERVICE = "pellardservice"
PROGRAM_FILES = "C:\\Program Files\\"

# Keys the package writes that /Service does not write yet: their values are accepted as
# missing on the switch's side only; whatever the switch writes under them is compared like
# everything else. Empty: /Service writes the event source as the package does.
SWITCH_WRITES_LATER = []

MSI_ROOTS = {
    # HKCR in a per-machine package is the machine's classes, as the switch writes them.
    0: "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes",
    1: "HKEY_CURRENT_USER",
    2: "HKEY_LOCAL_MACHINE",
    3: "HKEY_USERS",
}


def fail(message):
    print(f"check-install-routes: {message}", file=sys.stderr)
    sys.exit(1)


def run(argv, env):
    result = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=60)
    if result.returncode != 0:
        fail(f"{' '.join(map(str, argv))} exited with {result.returncode}: {result.stderr.strip()}")
    return result.stdout


def reg_string(text):
    return text.replace("\\\\", "\x00").replace('\\"', '"').replace("\x00", "\\")


def parse_reg(path):
    """A .reg export as {key: {value name: (type, data)}}; the default value's name is ''."""
    text = Path(path).read_bytes().decode("utf-16")
    keys = {}
    current = None
    pending = ""
    for raw in text.splitlines():
        line = pending + raw.strip()
        if line.endswith("\\") and not line.startswith("["):
            pending = line[:-1]
            continue
        pending = ""
        if line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1], {})
        elif current is not None and line:
            match = re.fullmatch(r'(@|"((?:[^"\\]|\\.)*)")=(.*)', line)
            if not match:
                fail(f"cannot read the line {line!r} of {path}")
            name = "" if match.group(1) == "@" else reg_string(match.group(2))
            data = match.group(3)
            if data.startswith('"'):
                current[name] = ("REG_SZ", reg_string(data[1:-1]))
            elif data.startswith("dword:"):
                current[name] = ("REG_DWORD", int(data[6:], 16))
            else:
                current[name] = ("other", data)
    return keys


def switch_route(host_bin):
    """What /Service leaves: {(key, name): (type, data)}, the value-less leaf keys, the service."""
    with tempfile.TemporaryDirectory() as root:
        env = dict(os.environ, HOSTWIN_ROOT=root)
        env.pop("HOSTWIN_FAULTS", None)
        folder = Path(root, "drive_c", "Program Files", "tollivar")
        folder.mkdir(parents=True)
        for name in ("tollivar.exe", "tollivarmsg.dll"):
            shutil.copy2(host_bin / name, folder / name)

        def export_all(tag):
            merged = {}
            for hive in ("HKLM", "HKCU"):
                out = Path(root, f"{tag}-{hive}.reg")
                run([host_bin / "reg.exe", "export", hive, out, "/y"], env)
                merged.update(parse_reg(out))
            return merged

        before = export_all("before")
        run([folder / "tollivar.exe", "/Service"], env)
        after = export_all("after")
        qc = run([host_bin / "sc.exe", "qc", SERVICE], env)
        qdescription = run([host_bin / "sc.exe", "qdescription", SERVICE], env)

    values = {}
    for key, entries in after.items():
        for name, value in entries.items():
            if before.get(key, {}).get(name) != value:
                values[(key, name)] = value
    new_keys = [key for key in after if key not in before]
    leaves = {key for key in new_keys if not after[key]
              and not any(other.upper().startswith(key.upper() + "\\") for other in new_keys)}
    removed = [key for key in before if key not in after]
    if removed:
        fail(f"/Service removed keys of a fresh machine: {removed}")

    fields = dict(re.findall(r"^\s*([A-Z_]+)\s*: ?(.*?)\s*$", qc, re.M))
    description = re.search(r"^DESCRIPTION:\s*(.*?)\s*$", qdescription, re.M)
    service = {
        "type": int(fields["TYPE"].split()[0], 16),
        "start": int(fields["START_TYPE"].split()[0]),
        "error control": int(fields["ERROR_CONTROL"].split()[0]),
        "binary path": fields["BINARY_PATH_NAME"],
        "load order group": fields["LOAD_ORDER_GROUP"],
        "display name": fields["DISPLAY_NAME"],
        "dependencies": fields["DEPENDENCIES"].split(),
        "account": fields["SERVICE_START_NAME"],
        "description": description.group(1) if description else "",
    }
    return values, leaves, service


def msi_table(msi, table):
    """The rows of one table as dicts (the export's first three lines are its header)."""
    out = subprocess.run(["msiinfo", "export", str(msi), table], capture_output=True, check=True)
    lines = out.stdout.decode("cp1252").replace("\r\n", "\n").split("\n")
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


def package_route(msi):
    """What the package writes, resolved for C:\\Program Files: the same three results."""
    properties = {row["Property"]: row["Value"] for row in msi_table(msi, "Property")}
    if properties.get("ALLUSERS") != "1":
        fail("the package is not per machine, so its HKCR rows would not be the machine's classes")
    directories = {row["Directory"]: row for row in msi_table(msi, "Directory")}

    def directory(name):
        if name == "TARGETDIR":
            return "C:\\"
        if name == "ProgramFilesFolder":
            return PROGRAM_FILES
        row = directories[name]
        own = row["DefaultDir"].split(":")[-1].split("|")[-1]
        parent = directory(row["Directory_Parent"])
        return parent if own == "." else parent + own + "\\"

    components = {row["Component"]: row for row in msi_table(msi, "Component")}
    files = {row["File"]: row for row in msi_table(msi, "File")}

    def file_path(key):
        row = files[key]
        return directory(components[row["Component_"]]["Directory_"]) + row["FileName"].split("|")[-1]

    def formatted(text):
        def one(match):
            name = match.group(1)
            if name.startswith("#"):
                return file_path(name[1:])
            if name in directories or name in ("TARGETDIR", "ProgramFilesFolder"):
                return directory(name)
            return properties.get(name, "")
        return re.sub(r"\[([^\[\]]+)\]", one, text)

    values, leaves = {}, set()
    for row in msi_table(msi, "Registry"):
        key = MSI_ROOTS[int(row["Root"])] + "\\" + formatted(row["Key"])
        name, data = row["Name"], row["Value"]
        if name in ("+", "*", "-") and not data:
            leaves.add(key)
        elif data.startswith("#") and not data.startswith("##"):
            if not re.fullmatch(r"#-?\d+", data):
                fail(f"the package writes {key}\\{name} as {data}, a type this check does not read")
            values[(key, name)] = ("REG_DWORD", int(data[1:]) & 0xFFFFFFFF)
        else:
            values[(key, name)] = ("REG_SZ", formatted(data[1:] if data.startswith("##") else data))

    installs = [row for row in msi_table(msi, "ServiceInstall") if row["Name"] == SERVICE]
    if len(installs) != 1:
        fail(f"the package installs {len(installs)} services named {SERVICE}")
    row = installs[0]
    # The Installer gives the service the quoted path of its component's key file, followed by
    # the arguments when there are any.
    key_file = components[row["Component_"]]["KeyPath"]
    path = f'"{file_path(key_file)}"' + (f" {formatted(row['Arguments'])}" if row["Arguments"] else "")
    service = {
        "type": int(row["ServiceType"]),
        "start": int(row["StartType"]),
        "error control": int(row["ErrorControl"]),
        "binary path": path,
        "load order group": row["LoadOrderGroup"],
        "display name": row["DisplayName"],
        "dependencies": [d for d in row["Dependencies"].split("[~]") if d],
        "account": row["StartName"] or "LocalSystem",
        "description": row["Description"],
    }

    # Uninstalling the package must take the service away as /UnregServer does: stopped,
    # then removed, waiting for the stop.
    controls = [row for row in msi_table(msi, "ServiceControl") if row["Name"] == SERVICE]
    uninstall = 0x20 | 0x80  # stop and delete at uninstall
    if not any(int(c["Event"]) & uninstall == uninstall and c["Wait"] == "1" for c in controls):
        fail(f"the package does not stop and remove {SERVICE} at uninstall, waiting for the stop")
    return values, leaves, service


def main():
    source_dir = Path(__file__).resolve().parent.parent
    host_build = Path(sys.argv[1] if len(sys.argv) > 1 else source_dir / "build/host").resolve()
    windows_build = Path(sys.argv[2] if len(sys.argv) > 2 else source_dir / "build/windows").resolve()
    cache = (windows_build / "CMakeCache.txt").read_text()
    version = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", cache, re.M).group(1)
    msi = windows_build / f"tollivar-{version}.msi"
    if not msi.is_file():
        fail(f"{msi} not found (build the windows preset first)")

    switch_values, switch_leaves, switch_service = switch_route(host_build / "bin")
    package_values, package_leaves, package_service = package_route(msi)

    def later(key):
        return any(key.upper() == k.upper() or key.upper().startswith(k.upper() + "\\")
                   for k in SWITCH_WRITES_LATER)

    def folded(values):
        return {(k.upper(), n.upper()): (k, n, v) for (k, n), v in values.items()}

    switch, package = folded(switch_values), folded(package_values)
    # Once the switch writes anything under those keys, all of it is compared.
    switch_writes_them = any(later(key) for key, _ in switch_values)
    differences, accepted = [], []
    for ident in sorted(set(switch) | set(package)):
        key, name, _ = switch.get(ident) or package.get(ident)
        shown = f"{key}\\{name or '(Default)'}"
        mine, theirs = switch.get(ident, (None, None, None))[2], package.get(ident, (None, None, None))[2]
        if mine == theirs:
            continue
        if mine is None and later(key) and not switch_writes_them:
            accepted.append(shown)
            continue
        differences.append(f"{shown}: /Service {mine}, package {theirs}")
    for leaf in sorted({k.upper() for k in switch_leaves} ^ {k.upper() for k in package_leaves}):
        differences.append(f"key {leaf} without values written by one route only")
    for field in switch_service:
        if switch_service[field] != package_service[field]:
            differences.append(f"service {field}: /Service {switch_service[field]!r}, "
                               f"package {package_service[field]!r}")

    if differences:
        fail("the two routes differ:\n  " + "\n  ".join(differences))
    note = f"; not yet written by /Service: {', '.join(accepted)}" if accepted else ""
    print(f"check-install-routes: /Service and {msi.name} agree on the service entry and "
          f"{len(switch_values)} registry values{note}")


if __name__ == "__main__":
    main()
