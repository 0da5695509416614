#!/usr/bin/env python3
"""Checks what make dist wrote, as a front-end team receives it.

  check_dist.py <dist dir>

Every archive is unpacked: one top directory; regular files only, in name
order; owner 0:0 with no names; the last commit's time on every entry and in
the gzip header; mode 0755 for libraries, 0644 for the rest; the files the
README's Releases section lists. The second build make dist made in another
directory (<dist dir>/verify) is byte-identical, and SHA256SUMS matches. The
DLLs are stripped and name their debug file (GNU debuglink with its CRC); the
Windows archives carry their library hosts (win32 JavaWrapperHost32.exe, win64
JavaWrapperHost64.exe and JavaWrapperHost32.exe), stripped PE images of the
right machine with no time stamp, each starting under Wine; the Linux library
passes the exports and glibc-floor check, and the library host beside it
starts; the test kit's example
front-end test, and its JUnit 5 form, compile against the archive's
clientapi.jar and pass against its bridge and simulator, and its JNA binding
compiles; every archive carries FIRST-SESSION.md.
"""
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import zipfile
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
failures = []
UTC = dict(os.environ, TZ="UTC")


def fail(message):
    failures.append(message)
    print("FAIL: " + message, file=sys.stderr)


def commit_time():
    if "SOURCE_DATE_EPOCH" in os.environ:
        return int(os.environ["SOURCE_DATE_EPOCH"])
    return int(subprocess.run(["git", "log", "-1", "--format=%ct"], cwd=ROOT, check=True,
                              capture_output=True, text=True).stdout)


# The library hosts each Windows archive carries, by the PE machine each must
# be: the 64-bit bridge runs a 32-bit trading library in the 32-bit host.
WINDOWS_HOSTS = {"win32": {"JavaWrapperHost32.exe": 0x014C},
                 "win64": {"JavaWrapperHost64.exe": 0x8664, "JavaWrapperHost32.exe": 0x014C}}
MACHINES = {0x014C: "i386", 0x8664: "AMD64"}


def executable(name):
    return name.endswith((".so", ".dll", ".DLL", ".exe", "/javawrapper-host"))


def pe_machine(data):
    """The COFF machine of a PE image, or None when it is not one."""
    if data[:2] != b"MZ" or len(data) < 0x40:
        return None
    at = int.from_bytes(data[0x3C:0x40], "little")
    if data[at:at + 4] != b"PE\0\0":
        return None
    return int.from_bytes(data[at + 4:at + 6], "little")


def started_under_wine(hosts, prefix):
    """Each host run by hand under Wine (a prefix of its own): it says it has
    no bridge to serve and ends with 2, as the Linux host does."""
    if shutil.which("wine") is None:
        print("check_dist: no wine here, the Windows hosts were not started", file=sys.stderr)
        return
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", DISPLAY="")
    try:
        for host in hosts:
            try:
                run = subprocess.run(["wine", host], capture_output=True, text=True, env=env,
                                     timeout=300)
            except subprocess.TimeoutExpired:
                fail(f"{host} did not end under Wine within 300 s")
                continue
            if run.returncode != 2 or "no bridge to serve" not in run.stderr:
                fail(f"{host} under Wine: {run.returncode} {run.stderr}")
    finally:
        subprocess.run(["wineserver", "-k"], env=env, capture_output=True)


def entries(path, epoch):
    """{name: bytes} of an archive, after checking each entry's metadata."""
    data = open(path, "rb").read()
    found = {}
    if path.endswith(".tar.gz"):
        mtime = int.from_bytes(data[4:8], "little")
        if mtime != epoch:
            fail(f"{path}: gzip header time {mtime}, not the commit's {epoch}")
        if data[3] & 0x08:
            fail(f"{path}: gzip header carries a file name")
        with tarfile.open(fileobj=io.BytesIO(data), mode="r:gz") as t:
            for m in t.getmembers():
                if not m.isreg():
                    fail(f"{path}: {m.name} is not a regular file")
                if (m.uid, m.gid, m.uname, m.gname) != (0, 0, "", ""):
                    fail(f"{path}: {m.name} owned by {m.uid}:{m.gid} {m.uname}:{m.gname}")
                if m.mtime != epoch:
                    fail(f"{path}: {m.name} time {m.mtime}, not {epoch}")
                if m.pax_headers:
                    fail(f"{path}: {m.name} carries extended headers {m.pax_headers}")
                found[m.name] = (t.extractfile(m).read(), m.mode)
    else:
        stamp = time.gmtime(max(epoch, 315532800))[:6]
        stamp = stamp[:5] + (stamp[5] // 2 * 2,)  # a zip keeps even seconds
        with zipfile.ZipFile(io.BytesIO(data)) as z:
            for info in z.infolist():
                if info.date_time != stamp:
                    fail(f"{path}: {info.filename} time {info.date_time}, not {stamp}")
                if info.create_system != 3 or (info.external_attr >> 16) & 0o170000 != 0o100000:
                    fail(f"{path}: {info.filename} is not stored as a Unix regular file")
                found[info.filename] = (z.read(info), (info.external_attr >> 16) & 0o7777)
    names = list(found)
    if names != sorted(names):
        fail(f"{path}: entries not in name order")
    for name, (_, mode) in found.items():
        want = 0o755 if executable(name) else 0o644
        if mode != want:
            fail(f"{path}: {name} has mode {mode:o}, not {want:o}")
    return {name: content for name, (content, _) in found.items()}


def debuglink(dll, objdump):
    """(file name, CRC) of the DLL's .gnu_debuglink section, or None."""
    section, copy = dll + ".link", dll + ".copy"
    objcopy = objdump.replace("objdump", "objcopy")
    subprocess.run([objcopy, "--dump-section", ".gnu_debuglink=" + section, dll, copy],
                   capture_output=True)
    if not os.path.exists(section):
        return None
    raw = open(section, "rb").read()
    os.remove(section)
    os.remove(copy)
    name = raw[:raw.index(b"\0")].decode()
    at = (len(name) + 4) & ~3
    return name, int.from_bytes(raw[at:at + 4], "little")


def main():
    dist = sys.argv[1]
    epoch = commit_time()
    release = re.search(r"project\(JavaWrapper VERSION ([0-9.]+)",
                        open(os.path.join(ROOT, "CMakeLists.txt")).read()).group(1)
    platforms = {"win32": ("zip", "JavaWrapper.dll", "i686-w64-mingw32-objdump"),
                 "win64": ("zip", "JavaWrapper.dll", "x86_64-w64-mingw32-objdump"),
                 "linux-x86_64": ("tar.gz", "libJavaWrapper.so", None)}
    expected = {f"JavaWrapper-{release}-{p}.{kind}": (p, lib, objdump)
                for p, (kind, lib, objdump) in platforms.items()}
    testkit = f"JavaWrapper-{release}-testkit.tar.gz"
    archives = sorted(list(expected) + [testkit])

    sums = open(os.path.join(dist, "SHA256SUMS")).read()
    listed = [line.split("  ", 1)[1] for line in sums.splitlines()]
    if listed != archives:
        fail(f"SHA256SUMS lists {listed}, not {archives}")
    for line in sums.splitlines():
        digest, name = line.split("  ", 1)
        if os.path.exists(os.path.join(dist, name)) and \
                hashlib.sha256(open(os.path.join(dist, name), "rb").read()).hexdigest() != digest:
            fail(f"SHA256SUMS: {name} does not match")
    for name in archives:
        again = os.path.join(dist, "verify", name)
        if not os.path.exists(again) or open(again, "rb").read() != \
                open(os.path.join(dist, name), "rb").read():
            fail(f"{name}: the second build in another directory differs (or is missing)")

    with tempfile.TemporaryDirectory(prefix="javawrapper-dist") as scratch:
        unpacked = {}
        windows_hosts = []
        for name in archives:
            files = entries(os.path.join(dist, name), epoch)
            top = name.rsplit(".", 2 if name.endswith(".tar.gz") else 1)[0] + "/"
            for f, content in files.items():
                if not f.startswith(top):
                    fail(f"{name}: {f} is outside {top}")
                path = os.path.join(scratch, f)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "wb") as out:
                    out.write(content)
                os.chmod(path, 0o755 if executable(f) else 0o644)
            unpacked[name] = (top, sorted(f[len(top):] for f in files))

        for name, (platform_name, library, objdump) in expected.items():
            top, files = unpacked[name]
            hosts = WINDOWS_HOSTS.get(platform_name, {})
            want = sorted([library, "clientapi.jar", "clientapi-sources.jar", "README.txt",
                           "FIRST-SESSION.md"] + list(hosts) +
                          ([library + ".debug"] if objdump else ["javawrapper-host"]))
            if files != want:
                fail(f"{name} holds {files}, not {want}")
            lib = os.path.join(scratch, top, library)
            readme = open(os.path.join(scratch, top, "README.txt")).read()
            for host, machine in hosts.items():
                path = os.path.join(scratch, top, host)
                if not os.path.exists(path):
                    continue
                found = pe_machine(open(path, "rb").read())
                if found != machine:
                    fail(f"{name}: {host} is machine {MACHINES.get(found, found)}, "
                         f"not {MACHINES[machine]}")
                # Its own tool reads it: the 32-bit host in the 64-bit archive too.
                tool = objdump if machine == 0x8664 else "i686-w64-mingw32-objdump"
                header = subprocess.run([tool, "-h", "-p", path], capture_output=True, text=True,
                                        env=UTC, check=True).stdout
                if ".debug_" in header:
                    fail(f"{name}: {host} still carries debug information")
                if not re.search(r"^Time/Date\s+Thu Jan  1 00:00:00 1970$", header, re.M):
                    fail(f"{name}: {host} carries a time stamp in its PE header")
                if host not in readme:
                    fail(f"{name}: its README does not name {host}")
                windows_hosts.append(path)
            if objdump:
                sections = subprocess.run([objdump, "-h", lib], capture_output=True, text=True,
                                          check=True).stdout
                if ".debug_" in sections:
                    fail(f"{name}: {library} still carries debug information")
                for f in (lib, lib + ".debug"):
                    header = subprocess.run([objdump, "-p", f], capture_output=True, text=True,
                                            env=UTC, check=True).stdout
                    if not re.search(r"^Time/Date\s+Thu Jan  1 00:00:00 1970$", header, re.M):
                        fail(f"{name}: {os.path.basename(f)} carries a time stamp in its PE header")
                link = debuglink(lib, objdump)
                crc = zlib.crc32(open(lib + ".debug", "rb").read())
                if link != (library + ".debug", crc):
                    fail(f"{name}: debuglink {link}, not ({library}.debug, {crc:#x})")
            else:
                checked = subprocess.run(["bash", os.path.join(ROOT, "tests", "check_exports.sh"),
                                          lib, "linux", os.path.join(ROOT, "java", "src"),
                                          "objdump", "2.17"], capture_output=True, text=True)
                if checked.returncode != 0:
                    fail(f"{name}: {checked.stdout}{checked.stderr}")

        top, files = unpacked[testkit]
        want = sorted(["README.txt", "RECORDS.md", "CONTROL.md", "FIRST-SESSION.md",
                       "include/control.h", "include/platform/callconv.h",
                       "example/FrontEndTest.java", "example/FrontEndJUnitTest.java",
                       "binding/ffm/testkit/SimulatorControl.java",
                       "binding/jna/testkit/SimulatorControl.java"] +
                      [f"{p}/{sim}" for p in platforms for sim in ("QUORAPI.DLL", "DEMOAPI.DLL")])
        if files != want:
            fail(f"{testkit} holds {files}, not {want}")

        # The example front-end test, run as the kit's README says.
        linux = os.path.join(scratch, f"JavaWrapper-{release}-linux-x86_64")
        kit = os.path.join(scratch, top)
        classes = os.path.join(scratch, "classes")
        jar = os.path.join(linux, "clientapi.jar")
        major = int(subprocess.run([os.path.join(ROOT, "scripts", "jdk-major"), "java"],
                                   capture_output=True, text=True).stdout.strip() or 0)
        flags = "--enable-native-access=ALL-UNNAMED" if major >= 22 else ""
        run = subprocess.run(
            f"javac -cp {jar} -d {classes} {kit}example/FrontEndTest.java && "
            f"timeout 120 java -Xcheck:jni {flags} -Djava.library.path={linux} -cp {jar}:{classes} "
            f"FrontEndTest {kit}linux-x86_64/", shell=True, capture_output=True, text=True)
        out = run.stdout + run.stderr
        if run.returncode != 0 or "FrontEndTest: PASS" not in out or "WARNING" in out:
            fail(f"the kit's example front-end test:\n{out}")

        # The JUnit 5 example, as the kit's README runs it, and the JNA
        # binding compiled as a team would (tests/check_testkit.sh runs both
        # bindings against the build).
        junit = "/usr/share/java/junit-platform-console-standalone.jar"
        run = subprocess.run(
            f"javac -cp {jar}:{junit} -d {classes} {kit}example/FrontEndJUnitTest.java && "
            f"timeout 120 java -Xcheck:jni {flags} -Djava.library.path={linux} "
            f"-Dtestkit.dir={kit}linux-x86_64/ -cp {jar}:{junit}:{classes} "
            f"org.junit.platform.console.ConsoleLauncher --disable-banner --fail-if-no-tests "
            f"--select-class FrontEndJUnitTest && "
            f"javac -cp /usr/share/java/jna.jar -d {classes} "
            f"{kit}binding/jna/testkit/SimulatorControl.java",
            shell=True, capture_output=True, text=True)
        out = run.stdout + run.stderr
        if run.returncode != 0 or "2 tests successful" not in out or "WARNING" in out:
            fail(f"the kit's JUnit 5 example or its JNA binding:\n{out}")
        # The library host runs from the archive as shipped: started without
        # a bridge it says so and ends.
        host = os.path.join(linux, "javawrapper-host")
        run = subprocess.run(["timeout", "30", host], capture_output=True, text=True)
        if run.returncode != 2 or "no bridge to serve" not in run.stderr:
            fail(f"the archive's javawrapper-host: {run.returncode} {run.stderr}")
        if "javawrapper-host" not in open(os.path.join(linux, "README.txt")).read():
            fail("the Linux archive's README does not name javawrapper-host")
        # And the Windows hosts, as shipped, under Wine.
        started_under_wine(windows_hosts, os.path.join(scratch, "wineprefix"))
        readme = open(os.path.join(kit, "README.txt")).read()
        if "--enable-native-access=ALL-UNNAMED" not in readme:
            fail("the kit's README gives no command for JDK 22 and later")

    if failures:
        sys.exit(f"check_dist: {len(failures)} problem(s)")
    print(f"check_dist: {len(archives)} archives as the README says, reproducible, "
          "modes, owners and times fixed")


if __name__ == "__main__":
    main()
