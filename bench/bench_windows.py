#!/usr/bin/env python3
"""The Windows program under Wine beside the Linux program, in the same run on the same world: the
exe's size, start-up to the window shown, and 60 s idle in the tray logged in with 1000 entries; then
the Windows program with 1000 entries against 10 (the rows' "Linux" column holds the 10-entry figure).
  bench_windows.py <windows build folder> <linux bin folder>
Prints the rows and writes them to <windows build folder>/bench-windows.md."""
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

WIN_BUILD = Path(sys.argv[1]).resolve()
LINUX_BIN = Path(sys.argv[2]).resolve()
EXE = WIN_BUILD / "bin" / "RostrelUploader.exe"
rows = []


def row(name, linux, windows, target, met):
    verdict = "-" if met is None else "yes" if met else "NO"
    rows.append((name, linux, windows, target, verdict))
    print(f"  {name}: Linux {linux}, Windows under Wine {windows} (target {target}: {verdict})", flush=True)


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_mb(pid):
    return int(re.search(r"VmRSS:\s+(\d+)", Path(f"/proc/{pid}/status").read_text()).group(1)) / 1024


def wineserver_pid():
    out = subprocess.run(["pgrep", "-x", "wineserver"], capture_output=True, text=True).stdout.split()
    return int(out[0]) if out else None


def make_tree(accounts, entries):
    n = 0
    for a in range(100):
        for r in range(5):
            for c in range(3):
                if n < entries:
                    sv = accounts / f"ACCOUNT{a}" / f"Realm{r}" / f"Char{c}" / "SavedVariables"
                    sv.mkdir(parents=True)
                    (sv / "Rostrel.lua").write_bytes(b"RostrelDB = {}\r\n" * 20)
                    n += 1


def make_world(tmp, env):
    subprocess.run(["wineboot", "--init"], env=env, capture_output=True, check=True)
    subprocess.run(["wine", "reg", "add", r"HKLM\Software\Blizzard Entertainment\World of Warcraft", "/v",
                    "InstallPath", "/t", "REG_SZ", "/d", "C:\\Games\\WoW\\", "/reg:32", "/f"],
                   env=env, capture_output=True, check=True)
    subprocess.run(["wineserver", "-w"], env=env)  # writes system.reg, which the Linux program reads
    game = Path(env["WINEPREFIX"]) / "drive_c" / "Games" / "WoW"
    toc = game / "Interface" / "AddOns" / "Rostrel"
    toc.mkdir(parents=True)
    (toc / "Rostrel.toc").write_bytes(b"## Version: 1.0\r\n")
    make_tree(game / "WTF" / "Account", 1000)
    files = tmp / "files"
    files.mkdir()
    (files / "RostrelVersion").write_bytes(b"1.0")
    return files


def start_site(tmp, files):
    port_file = tmp / "site.port"
    site = subprocess.Popen([str(LINUX_BIN / "rostrel-guild-site"), "--listen", "127.0.0.1:0", "--port-file",
                             str(port_file), "--user", "bench:bench", "--data", str(tmp / "site"), "--files",
                             str(files)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        if port_file.exists() and port_file.read_text().strip():
            return site, "127.0.0.1:" + port_file.read_text().strip()
        time.sleep(0.05)
    raise RuntimeError("guild site did not start")


def start(kind, folder, env):
    if kind == "linux":
        args = [str(LINUX_BIN / "RostrelUploader")]
    else:
        args = ["wine", str(folder / "RostrelUploader.exe")]
    return subprocess.Popen(args, cwd=folder, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)


def wait_started(prog):
    for line in prog.stderr:
        if "started in" in line:
            return line
    raise RuntimeError("the program ended before its window was shown")


def startup(kind, folder, env):
    times = []
    for _ in range(3):
        t0 = time.monotonic()
        prog = start(kind, folder, env)
        wait_started(prog)
        times.append(time.monotonic() - t0)
        prog.kill()
        prog.wait()
        if kind == "windows":
            subprocess.run(["wineserver", "-k"], env=env)
    return min(times)


def idle(kind, folder, env, host):
    (folder / "settings.txt").write_bytes(b"bench\r\n" + host.encode() + b"\r\nbench\r\n")
    prog = start(kind, folder, env)
    wait_started(prog)
    drain = subprocess.Popen(["cat"], stdin=prog.stderr, stdout=subprocess.DEVNULL)
    time.sleep(5)
    server = wineserver_pid() if kind == "windows" else None
    own0, server0 = cpu_seconds(prog.pid), cpu_seconds(server) if server else 0
    time.sleep(60)
    own, served = cpu_seconds(prog.pid) - own0, (cpu_seconds(server) - server0) if server else 0
    cpu = (own + served, own, served)
    rss = rss_mb(prog.pid)
    prog.kill()
    prog.wait()
    drain.wait()
    (folder / "settings.txt").unlink()
    if kind == "windows":
        subprocess.run(["wineserver", "-k"], env=env)
    return cpu, rss


def footprint(folder, env):
    """The Windows program's start-up (best of three), then its resident memory and threads 5 s later."""
    best, rss, threads = None, 0, 0
    for _ in range(3):
        t0 = time.monotonic()
        prog = start("windows", folder, env)
        wait_started(prog)
        took = time.monotonic() - t0
        best = took if best is None else min(best, took)
        drain = subprocess.Popen(["cat"], stdin=prog.stderr, stdout=subprocess.DEVNULL)
        time.sleep(5)
        rss = rss_mb(prog.pid)
        threads = int(re.search(r"Threads:\s+(\d+)", Path(f"/proc/{prog.pid}/status").read_text()).group(1))
        prog.kill()
        prog.wait()
        drain.wait()
        subprocess.run(["wineserver", "-k"], env=env)
    return best, rss, threads


def tree_cost(env, folder):
    """1000 entries against 10 in the same world shape: the watch's cost must not grow with the tree."""
    wtf = Path(env["WINEPREFIX"]) / "drive_c" / "Games" / "WoW" / "WTF"
    big = footprint(folder, env)
    wtf.rename(wtf.with_name("WTF.1000"))
    make_tree(wtf / "Account", 10)
    small = footprint(folder, env)
    subprocess.run(["rm", "-rf", str(wtf)])
    wtf.with_name("WTF.1000").rename(wtf)
    row("Windows start-up, 1000 entries against 10", f"{small[0]:.2f} s", f"{big[0]:.2f} s ({big[0] / small[0]:.2f}x)",
        "<= 1.3x", big[0] <= 1.3 * small[0])
    row("Windows resident memory, 1000 entries against 10", f"{small[1]:.0f} MB", f"{big[1]:.0f} MB",
        "<= +15 MB", big[1] <= small[1] + 15)
    row("Windows threads, 1000 entries against 10", f"{small[2]}", f"{big[2]}", "<= +2", big[2] <= small[2] + 2)


def main():
    with tempfile.TemporaryDirectory() as d:
        tmp = Path(d)
        env = dict(os.environ, WINEPREFIX=str(tmp / "prefix"), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                   WINEQT_FORCE_STDERR_LOGGING="1", HOME=str(tmp / "home"), XDG_CONFIG_HOME=str(tmp / "home/.config"))
        display = 93
        while Path(f"/tmp/.X11-unix/X{display}").exists():
            display += 1
        xvfb = subprocess.Popen(["Xvfb", f":{display}", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        env["DISPLAY"] = f":{display}"
        files = make_world(tmp, env)
        site, host = start_site(tmp, files)
        env["ROSTREL_FILE_HOST"] = host
        folders = {}
        for kind in ("linux", "windows"):
            folders[kind] = tmp / kind
            folders[kind].mkdir()
        (folders["windows"] / "RostrelUploader.exe").write_bytes(EXE.read_bytes())
        try:
            size = EXE.stat().st_size / 1e6
            row("program size (stripped, static Qt)", f"{(LINUX_BIN / 'RostrelUploader').stat().st_size / 1e6:.1f} MB "
                "(shared Qt)", f"{size:.1f} MB", "one file", True)
            subprocess.run(["wine", "cmd", "/c", "exit"], env=env, capture_output=True)  # Wine itself started once
            if os.environ.get("ROSTREL_BENCH_ONLY") != "tree":  # "tree": the tree's cost alone
                s = {kind: startup(kind, folders[kind], env) for kind in folders}
                row("start-up to the window shown, 1000 entries", f"{s['linux']:.2f} s", f"{s['windows']:.2f} s",
                    "- (Wine's own start included)", None)
                i = {kind: idle(kind, folders[kind], env, host) for kind in folders}
                lin, win = i["linux"][0], i["windows"][0]
                row("idle 60 s in the tray, 1000 entries, watcher on (CPU)", f"{lin[0]:.2f} s ({lin[0] / 0.6:.2f}%)",
                    f"{win[0]:.2f} s ({win[0] / 0.6:.2f}%): program {win[1]:.2f} s, wineserver {win[2]:.2f} s",
                    "< 1% of a core", win[0] / 60 < 0.01)
                row("idle 60 s in the tray, 1000 entries (RSS)", f"{i['linux'][1]:.0f} MB", f"{i['windows'][1]:.0f} MB",
                    "- (Wine's DLLs and threads included)", None)
            tree_cost(env, folders["windows"])
        finally:
            site.terminate()
            site.wait()
            subprocess.run(["wineserver", "-k"], env=env)
            xvfb.terminate()
            xvfb.wait()
    table = ["| benchmark | Linux | Windows under Wine | target | met |", "|---|---|---|---|---|"]
    table += ["| " + " | ".join(r) + " |" for r in rows]
    (WIN_BUILD / "bench-windows.md").write_text("\n".join(table) + "\n")
    print("\n".join(table))


main()
