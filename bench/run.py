#!/usr/bin/python3
"""The transfer benchmark: this library against OpenSSH's clients and curl.

Run it through scripts/bench.sh, which builds the programs, starts the test
servers and calls this script with their folder. It measures, at round-trip
times of 0, 10 and 40 ms, and the transfers also at 100 ms (0 is plain
loopback; the others go through tw_delay_proxy):

- the four transfers of the library (tw_bench_host, through the public
  exports), OpenSSH's `sftp -b` get/put and `scp -O`, and Debian's curl with
  sftp:// and scp://, interleaved run by run, each run sized to move data
  for about --seconds;
- connect-to-ready, listings of 10,000 and 100,000 entries (against
  OpenSSH's `sftp ls -l`), the latency of progress polls, the time from
  cancel to return, and peak memory of a host process;
- Google Benchmark microbenchmarks of the JSON code.

It writes results.txt (the table), results.json and chart.png into --out.
The exit status is 1 when any run failed or a copy differed; the goal lines
only report, they never fail the run.
"""
import argparse
import json
import os
import resource
import shlex
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20
OPS = ["sftp-down", "sftp-up", "scp-down", "scp-up"]
OP_LABEL = {"sftp-down": "SFTP down", "sftp-up": "SFTP up",
            "scp-down": "SCP down", "scp-up": "SCP up"}
TOOLS = ["tarnwick", "openssh", "curl"]
TOOL_LABEL = {"tarnwick": "tarnwick (this library)",
              "openssh": "OpenSSH sftp -b / scp -O",
              "curl": "curl (Debian libssh2 1.10)"}
RUN_TIMEOUT = 120  # seconds; a run that takes longer is killed and fails


def log(msg):
    print(msg, flush=True)


def loadavg():
    return "%.2f %.2f %.2f" % os.getloadavg()


def read_env(path):
    """The TW_* variables that tests/servers/start.sh wrote to env.sh."""
    env = {}
    with open(path) as f:
        for line in f:
            if line.startswith("export "):
                key, _, value = line[7:].strip().partition("=")
                env[key] = shlex.split(value)[0] if value else ""
    return env


class Bench:
    def __init__(self, args):
        self.args = args
        self.env = read_env(os.path.join(args.servers, "env.sh"))
        self.bin = os.path.join(args.build, "bench")
        self.home = self.env["TW_SSH_HOME"]
        self.user = self.env["TW_SSH_USER"]
        self.key = os.path.join(self.env["TW_KEYS_DIR"], "id_ed25519")
        self.srcdir = os.path.join(self.home, "src")
        self.scratch = tempfile.mkdtemp(prefix="tw-bench-", dir="/dev/shm")
        self.procs = []     # proxies, stopped at the end
        self.masters = {}   # OpenSSH control socket -> its pid, closed at the end
        self.port = {}      # RTT -> port that reaches sshd with that RTT
        self.rate = {}      # (rtt, op, tool) -> marginal MB/s that sizes its runs
        self.failures = []
        self.results = {"runs": []}

    # ---- processes ---------------------------------------------------------

    def start(self, argv):
        p = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True)
        self.procs.append(p)
        return int(p.stdout.readline())

    def stop_all(self):
        for sock in self.masters:
            subprocess.run(["ssh", "-F", "/dev/null", "-S", sock, "-O", "exit",
                            "x"], capture_output=True)
        for p in self.procs:
            p.terminate()
            p.wait()
        shutil.rmtree(self.scratch, ignore_errors=True)
        shutil.rmtree(self.srcdir, ignore_errors=True)

    def ssh_opts(self):
        return ["-F", "/dev/null", "-i", self.key,
                "-o", "StrictHostKeyChecking=no",
                "-o", "UserKnownHostsFile=/dev/null",
                "-o", "LogLevel=ERROR", "-o", "BatchMode=yes"]

    def master(self, rtt):
        """An OpenSSH connection that scp runs through, so that its runs
        time the transfer and not the connect, as for the other tools."""
        sock = os.path.join(self.scratch, "mux-%d" % rtt)
        if sock not in self.masters:
            subprocess.run(["ssh"] + self.ssh_opts() + [
                "-M", "-S", sock, "-o", "ControlPersist=yes", "-fN",
                "-p", str(self.port[rtt]), self.user + "@127.0.0.1"],
                check=True, timeout=60, stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            # "Master running (pid=N)": the process whose CPU time scp's
            # transfers use.
            out = subprocess.run(["ssh", "-F", "/dev/null", "-S", sock, "-O",
                                  "check", "x"], capture_output=True, text=True)
            text = out.stderr + out.stdout
            pid = text.split("pid=")[1].split(")")[0] if "pid=" in text else ""
            self.masters[sock] = int(pid) if pid.isdigit() else None
        return sock

    def client_cpu(self, rtt, op, tool):
        """CPU seconds used so far by the client side of a run: every
        child process this script has waited for, and for scp the OpenSSH
        control connection that carries its data."""
        u = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = u.ru_utime + u.ru_stime
        if tool == "openssh" and op.startswith("scp"):
            pid = self.masters.get(self.master(rtt))
            try:
                with open("/proc/%d/stat" % pid) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                cpu += (int(fields[11]) + int(fields[12])) / os.sysconf(
                    "SC_CLK_TCK")
            except (OSError, TypeError, IndexError, ValueError):
                pass
        return cpu

    # ---- files -------------------------------------------------------------

    def source(self, mib):
        """A file of mib MiB in the server's home (tmpfs), read by uploads
        as a local file and by downloads as a remote one."""
        path = os.path.join(self.srcdir, "src-%d" % mib)
        if not os.path.exists(path):
            os.makedirs(self.srcdir, mode=0o755, exist_ok=True)
            block = os.urandom(min(mib, 16) * MIB)
            with open(path + ".tmp", "wb") as f:
                for _ in range(mib * MIB // len(block)):
                    f.write(block)
            os.chmod(path + ".tmp", 0o644)
            os.rename(path + ".tmp", path)
        return path

    def targets(self, tool):
        return (os.path.join(self.scratch, "down-" + tool),
                os.path.join(self.home, "up-" + tool))

    # ---- one run of one tool -----------------------------------------------

    def config(self, rtt):
        return json.dumps({"host": "127.0.0.1", "port": self.port[rtt],
                           "user": self.user, "private_key": self.key,
                           "timeout_ms": 60000})

    def host(self, rtt, *argv, timeout=RUN_TIMEOUT):
        out = subprocess.run([os.path.join(self.bin, "tw_bench_host"),
                              self.config(rtt)] + [str(a) for a in argv],
                             capture_output=True, text=True, timeout=timeout)
        line = out.stdout.strip().splitlines()[-1] if out.stdout.strip() else "{}"
        res = json.loads(line)
        if out.returncode != 0 or not res.get("ok"):
            raise RuntimeError("tw_bench_host %s: %s %s" % (
                argv[0], res.get("error", ""), out.stderr.strip()))
        return res

    def run_tarnwick(self, rtt, op, src, down, up):
        remote, local = (src, down) if op.endswith("down") else (up, src)
        res = self.host(rtt, "transfer", op, remote, local)
        return res["seconds"], res["bytes"]

    def sftp_batch(self, rtt, lines):
        """Runs OpenSSH's sftp on a batch whose timed part is framed by two
        local `date` commands; returns the seconds between them."""
        batch = os.path.join(self.scratch, "batch")
        with open(batch, "w") as f:
            f.write("!date +%s.%N\n" + "\n".join(lines) + "\n!date +%s.%N\n")
        out = subprocess.run(["sftp"] + self.ssh_opts() + [
            "-b", batch, "-P", str(self.port[rtt]), self.user + "@127.0.0.1"],
            capture_output=True, text=True, timeout=RUN_TIMEOUT, check=True)
        stamps = [float(l) for l in out.stdout.split()
                  if l.replace(".", "").isdigit()]
        return stamps[-1] - stamps[0]

    def run_openssh(self, rtt, op, src, down, up):
        if op == "sftp-down":
            return self.sftp_batch(rtt, ["get %s %s" % (src, down)]), None
        if op == "sftp-up":
            return self.sftp_batch(rtt, ["put %s %s" % (src, up)]), None
        ends = ([self.user + "@127.0.0.1:" + src, down] if op == "scp-down"
                else [src, self.user + "@127.0.0.1:" + up])
        argv = ["scp", "-O", "-q"] + self.ssh_opts() + [
            "-o", "ControlPath=" + self.master(rtt), "-o", "ControlMaster=no",
            "-P", str(self.port[rtt])] + ends
        t0 = time.monotonic()
        subprocess.run(argv, check=True, timeout=RUN_TIMEOUT,
                       capture_output=True)
        return time.monotonic() - t0, None

    def curl(self, rtt, argv):
        """curl's own clock: from the end of its SSH (and SFTP) set-up to the
        end of the transfer, so that its connect is not counted."""
        out = subprocess.run(["curl", "-sS", "-k", "--key", self.key,
                              "--pubkey", self.key + ".pub", "-u",
                              self.user + ":", "-w",
                              "%{time_pretransfer} %{time_total}"] + argv,
                             capture_output=True, text=True,
                             timeout=RUN_TIMEOUT, check=True)
        pre, total = (float(x) for x in out.stdout.split()[-2:])
        return total - pre

    def run_curl(self, rtt, op, src, down, up):
        proto = op.split("-")[0]
        base = "%s://127.0.0.1:%d" % (proto, self.port[rtt])
        if op.endswith("down"):
            return self.curl(rtt, ["-o", down, base + src]), None
        return self.curl(rtt, ["-T", src, base + up]), None

    def check_copy(self, tool, op, src, down, up):
        got = down if op.endswith("down") else up
        size = os.path.getsize(src)
        if not os.path.exists(got) or os.path.getsize(got) != size:
            raise RuntimeError("copy has the wrong size")
        # The library's copies are compared byte for byte; for the other
        # tools the size is enough.
        if tool == "tarnwick" and subprocess.run(["cmp", "-s", src, got]).returncode:
            raise RuntimeError("copy differs from the original")
        return size

    def one_run(self, rtt, op, tool, mib, counted):
        src = self.source(mib)
        down, up = self.targets(tool)
        runner = getattr(self, "run_" + tool)
        rec = {"rtt_ms": rtt, "op": op, "tool": tool, "mib": mib,
               "counted": counted, "load": loadavg()}
        try:
            cpu0 = self.client_cpu(rtt, op, tool)
            secs, _ = runner(rtt, op, src, down, up)
            cpu = self.client_cpu(rtt, op, tool) - cpu0
            size = self.check_copy(tool, op, src, down, up)
            rec.update(ok=True, seconds=secs, mbps=size / 1e6 / secs,
                       cpu_s_per_gib=cpu / (size / float(1 << 30)))
        except (subprocess.SubprocessError, RuntimeError, ValueError,
                OSError, IndexError) as e:
            rec.update(ok=False, error=str(e)[:300])
            self.failures.append("%s %s at %d ms: %s" % (tool, op, rtt, e))
            log("  FAILED: %s %s at %d ms: %s" % (tool, op, rtt, e))
        finally:
            for path in (down, up):
                if os.path.exists(path):
                    os.unlink(path)
        self.results["runs"].append(rec)
        return rec

    # ---- sizes -------------------------------------------------------------

    def size_for(self, rtt, op, tool):
        """A power of two MiB that moves data for about --seconds at the
        marginal rate from its calibration; a small first guess before any
        run."""
        if self.args.smoke:
            return self.args.smoke_mib.get(rtt, 8)
        rate = self.rate.get((rtt, op, tool))
        if rate is None:
            return 16 if rtt == 0 else 2
        want = rate * 1e6 * self.args.seconds / MIB
        mib = 1
        while mib * 2 <= self.args.max_mib and mib * 1.41 < want:
            mib *= 2
        return mib

    # ---- the measurements ----------------------------------------------------

    def proxies(self):
        """Starts a delay proxy for each RTT but 0, and checks each with a
        raw TCP stream to a sink, through a proxy of its own."""
        sink = self.start([os.path.join(self.bin, "tw_delay_proxy"), "sink"])
        sshd = int(self.env["TW_SSHD_PORT"])
        # Progress polls and peak memory are taken at RTT 0 in any case.
        self.port[0] = sshd
        checks = {}
        for rtt in self.args.all_rtts:
            if rtt == 0 and not self.args.proxy0:
                target = sink
            else:
                self.port[rtt] = self.start([os.path.join(
                    self.bin, "tw_delay_proxy"), "serve", str(sshd), str(rtt)])
                target = self.start([os.path.join(
                    self.bin, "tw_delay_proxy"), "serve", str(sink), str(rtt)])
            out = subprocess.run([os.path.join(self.bin, "tw_delay_proxy"),
                                  "stream", str(target),
                                  str(self.args.stream_mib)],
                                 capture_output=True, text=True, check=True,
                                 timeout=120).stdout
            fields = dict(kv.split("=") for kv in out.split())
            checks[rtt] = {k: float(v) for k, v in fields.items()}
            log("proxy check at %d ms: ping %.2f ms, raw stream %.0f MB/s%s" % (
                rtt, checks[rtt]["ping_ms"], checks[rtt]["stream_mbps"],
                " (no proxy: plain loopback)" if target == sink else ""))
        self.results["proxy"] = checks

    def probe_ciphers(self):
        """The cipher each tool negotiates, from the log of a one-connection
        sshd in debug mode with the test server's configuration."""
        d = self.args.servers
        ciphers = {}
        small = self.source(1)
        for tool in TOOLS:
            port = free_port()
            logf = os.path.join(self.scratch, "probe-%s.log" % tool)
            script = ('mount --bind "$1/passwd" /etc/passwd && '
                      'mount --bind "$1/shadow" /etc/shadow && '
                      'mount --bind "$1/group" /etc/group && exec '
                      '/usr/sbin/sshd -d -e -f "$1/sshd_config" -o Port=$2 '
                      '-o PidFile=none')
            with open(logf, "w") as out:
                sshd = subprocess.Popen(["unshare", "-m", "sh", "-c", script,
                                         "sh", d, str(port)],
                                        stdout=out, stderr=out)
            saved, self.port["probe"] = dict(self.port), port
            try:
                wait_listening(logf, sshd)
                if tool == "tarnwick":
                    self.host("probe", "connect", 1)
                elif tool == "openssh":
                    subprocess.run(["sftp"] + self.ssh_opts() + [
                        "-b", "/dev/null", "-P", str(port),
                        self.user + "@127.0.0.1"], capture_output=True,
                        timeout=60)
                else:
                    self.curl("probe", ["-o", "/dev/null",
                                        "sftp://127.0.0.1:%d%s" % (port, small)])
            except (subprocess.SubprocessError, RuntimeError) as e:
                log("  cipher probe of %s failed: %s" % (tool, e))
            finally:
                self.port = saved
                try:
                    sshd.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    sshd.kill()
                    sshd.wait()
            ciphers[tool] = cipher_from_log(logf)
        self.results["ciphers"] = ciphers
        for tool in TOOLS:
            log("cipher of %-28s %s" % (TOOL_LABEL[tool], ciphers[tool]))

    def calibrate(self, rtt, op, tool):
        """Uncounted runs that size the tool's file. A transfer has fixed
        costs (opening, the first window, closing) that would make a small
        file look slow and so keep it small; the size therefore follows the
        marginal rate between two runs, the second at least twice as large,
        so that the counted runs move data for about --seconds."""
        key = (rtt, op, tool)
        mib = self.size_for(rtt, op, tool)
        prev = None
        for _ in range(3):
            rec = self.one_run(rtt, op, tool, mib, False)
            if not rec["ok"]:
                return
            rate = rec["mbps"]
            if prev is not None and rec["seconds"] - prev["seconds"] > 0.05:
                marginal = ((mib - prev["mib"]) * MIB / 1e6 /
                            (rec["seconds"] - prev["seconds"]))
                # Noise between two short runs must not promise miracles.
                rate = min(marginal, 3 * rate)
            self.rate[key] = rate
            if prev is not None and rec["seconds"] >= self.args.seconds / 2:
                return
            prev = rec
            bigger = max(mib * 2, self.size_for(rtt, op, tool))
            if bigger > self.args.max_mib:
                return
            mib = bigger

    def transfers(self):
        rounds = 1 if self.args.smoke else self.args.rounds
        for rtt in self.args.all_rtts:
            log("== transfers at RTT %d ms (load average %s)" % (rtt, loadavg()))
            if not self.args.smoke:
                for op in OPS:
                    for tool in TOOLS:
                        self.calibrate(rtt, op, tool)
            for rnd in range(1, rounds + 1):
                for op in OPS:
                    # The order rotates, so that no tool always runs first.
                    order = TOOLS[rnd % 3:] + TOOLS[:rnd % 3]
                    for tool in order:
                        mib = self.size_for(rtt, op, tool)
                        rec = self.one_run(rtt, op, tool, mib, True)
                        if rec["ok"]:
                            log("  round %d %-9s %-9s %5d MiB %8.1f MB/s" % (
                                rnd, OP_LABEL[op], tool, mib, rec["mbps"]))

    def connects(self):
        n = self.args.connects
        out = {}
        # 10 ms lies between the two; leaving it out saves half a minute.
        for rtt in [r for r in self.args.rtts if r != 10]:
            lib = self.host(rtt, "connect", n)["connect_ms"]
            ssh = []
            for _ in range(n):
                t0 = time.monotonic()
                subprocess.run(["sftp"] + self.ssh_opts() + [
                    "-b", "/dev/null", "-P", str(self.port[rtt]),
                    self.user + "@127.0.0.1"], check=True, capture_output=True,
                    timeout=60)
                ssh.append((time.monotonic() - t0) * 1e3)
            out[rtt] = {"tarnwick_ms": statistics.median(lib),
                        "openssh_ms": statistics.median(ssh)}
            log("connect-to-ready at %d ms: tarnwick %.0f ms, sftp -b /dev/null"
                " %.0f ms (median of %d)" % (rtt, out[rtt]["tarnwick_ms"],
                                             out[rtt]["openssh_ms"], n))
        self.results["connect"] = out

    def listings(self):
        """Listings of 10,000 and 100,000 empty files, this library against
        OpenSSH's `sftp ls -l`. OpenSSH asks for one batch of 100 names per
        round trip (45 s for 100,000 at 40 ms), a time the RTT sets, so it
        lists each folder once per RTT; the library as often as --rounds."""
        counts = [10000] if self.args.smoke else [10000, 100000]
        rounds = 1 if self.args.smoke else self.args.rounds
        out = {}
        for n in counts:
            folder = os.path.join(self.srcdir, "list%d" % n)
            os.makedirs(folder, exist_ok=True)
            for i in range(n):
                open(os.path.join(folder, "entry-%06d.dat" % i), "w").close()
            for rtt in self.args.rtts:
                if self.args.smoke and rtt > 10:
                    continue
                lib, ssh, res = [], [], {}
                for rnd in range(rounds):
                    res = self.host(rtt, "list", folder, 1)
                    lib.append(res["seconds"][0])
                    if rnd == 0:
                        ssh.append(self.sftp_batch(rtt, ["ls -l " + folder]))
                row = {"entries": n, "rtt_ms": rtt,
                       "tarnwick_s": statistics.median(lib),
                       "openssh_s": statistics.median(ssh),
                       "read": res["read"], "returned": res["returned"]}
                out["%d/%d" % (n, rtt)] = row
                log("listing %d entries at %d ms: tarnwick %.2f s (%d read,"
                    " %d returned), sftp ls -l %.2f s" % (
                        n, rtt, row["tarnwick_s"], row["read"],
                        row["returned"], row["openssh_s"]))
        self.results["listing"] = out

    def polls(self):
        """Progress polls every millisecond during each transfer at RTT 0."""
        out = {}
        for op in OPS:
            mib = self.size_for(0, op, "tarnwick")
            src = self.source(mib)
            down, up = self.targets("tarnwick")
            remote, local = (src, down) if op.endswith("down") else (up, src)
            try:
                res = self.host(0, "poll", op, remote, local)
                out[op] = {k: res[k] for k in ("polls", "p50_us", "p99_us",
                                                 "max_us")}
                log("progress polls during %-9s: p50 %.1f us, p99 %.1f us, max"
                    " %.0f us (%d polls)" % (OP_LABEL[op], res["p50_us"],
                                             res["p99_us"], res["max_us"],
                                             res["polls"]))
            except (RuntimeError, subprocess.SubprocessError) as e:
                self.failures.append("poll %s: %s" % (op, e))
            finally:
                for path in (down, up):
                    if os.path.exists(path):
                        os.unlink(path)
        self.results["poll"] = out

    def cancels(self):
        """The time from sftp_transfer_cancel to the transfer's return, with
        a full window in flight: 0.3 s into a transfer of a file too large
        to finish by then (smoke: 512 MiB, else 1 GiB, which the memory
        figures use too)."""
        out = {}
        mib = 512 if self.args.smoke else 1024
        for rtt in self.args.rtts[:1] if self.args.smoke else self.args.rtts:
            out[rtt] = {}
            for op in OPS:
                src = self.source(mib)
                down, up = self.targets("tarnwick")
                remote, local = (src, down) if op.endswith("down") else (up, src)
                try:
                    res = self.host(rtt, "cancel", op, remote, local, 300)
                    if op.endswith("down") and os.path.exists(down):
                        raise RuntimeError("cancelled download left its file")
                    out[rtt][op] = res["cancel_to_return_ms"]
                except (RuntimeError, subprocess.SubprocessError) as e:
                    self.failures.append("cancel %s at %d ms: %s" % (op, rtt, e))
                    out[rtt][op] = None
                finally:
                    for path in (down, up):
                        if os.path.exists(path):
                            os.unlink(path)
            log("cancel to return at %d ms: %s" % (rtt, ", ".join(
                "%s %s" % (OP_LABEL[o], fmt_ms(out[rtt][o])) for o in OPS)))
        self.results["cancel"] = out

    def memory(self):
        """Peak resident memory of a host process for a small and a large
        file, for each transfer at RTT 0."""
        sizes = [16] if self.args.smoke else [16, 1024]
        out = {}
        for op in OPS:
            out[op] = {}
            for mib in sizes:
                src = self.source(mib)
                down, up = self.targets("tarnwick")
                remote, local = (src, down) if op.endswith("down") else (up, src)
                try:
                    res = self.host(0, "transfer", op, remote, local)
                    out[op][mib] = res["maxrss_kib"]
                except (RuntimeError, subprocess.SubprocessError) as e:
                    self.failures.append("memory %s: %s" % (op, e))
                    out[op][mib] = None
                finally:
                    for path in (down, up):
                        if os.path.exists(path):
                            os.unlink(path)
            log("peak memory of the host, %-9s: %s" % (OP_LABEL[op], ", ".join(
                "%d MiB file %s KiB" % (m, out[op][m]) for m in sizes)))
        # The 1 GiB file is not needed again.
        big = os.path.join(self.srcdir, "src-1024")
        if os.path.exists(big) and self.args.max_mib < 1024:
            os.unlink(big)
        self.results["memory"] = out

    def micro(self):
        path = os.path.join(self.args.out, "micro.json")
        subprocess.run([os.path.join(self.bin, "tw_bench_micro"),
                        "--benchmark_format=console",
                        "--benchmark_out_format=json",
                        "--benchmark_out=" + path,
                        "--benchmark_min_time=%s" % (
                            "0.05" if self.args.smoke else "0.5")],
                       check=True, timeout=300, capture_output=True)
        with open(path) as f:
            data = json.load(f)
        out = {b["name"]: {"real_ns": b["real_time"] * unit_ns(b["time_unit"]),
                           "cpu_ns": b["cpu_time"] * unit_ns(b["time_unit"])}
               for b in data["benchmarks"]}
        for name, v in out.items():
            log("micro %-24s %12.0f ns cpu" % (name, v["cpu_ns"]))
        self.results["micro"] = out


def unit_ns(unit):
    return {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[unit]


def fmt_ms(v):
    return "-" if v is None else "%.0f ms" % v


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(logf, sshd):
    """Waits until a debug-mode sshd says that it listens. Connecting to find
    out would use up the one connection that it serves."""
    for _ in range(200):
        with open(logf, errors="replace") as f:
            if "Server listening on" in f.read():
                return
        if sshd.poll() is not None:
            break
        time.sleep(0.025)
    raise RuntimeError("probe sshd did not start")


def cipher_from_log(path):
    with open(path, errors="replace") as f:
        for line in f:
            if "kex: client->server cipher:" in line:
                words = line.split()
                i = words.index("cipher:")
                cipher, mac = words[i + 1], words[i + 3]
                return cipher if mac == "<implicit>" else cipher + " + " + mac
    return "?"


# ---- the report ---------------------------------------------------------------


def summarise(bench):
    """Median, min and max of the counted runs per RTT, transfer and tool,
    with the ratio of each median to OpenSSH's."""
    summary = {}
    for rec in bench.results["runs"]:
        if rec["counted"] and rec["ok"]:
            key = "%d/%s/%s" % (rec["rtt_ms"], rec["op"], rec["tool"])
            summary.setdefault(key, []).append(rec)
    out = {}
    for key, recs in summary.items():
        rates = sorted(r["mbps"] for r in recs)
        out[key] = {"median": statistics.median(rates), "min": rates[0],
                    "max": rates[-1], "runs": len(rates),
                    "mib": sorted({r["mib"] for r in recs}),
                    "cpu_s_per_gib": statistics.median(
                        r["cpu_s_per_gib"] for r in recs)}
    for key, v in out.items():
        rtt, op, _ = key.split("/")
        ref = out.get("%s/%s/openssh" % (rtt, op))
        v["ratio"] = v["median"] / ref["median"] if ref else None
    bench.results["summary"] = out
    return out


LISTING_GOALS = {10000: 1.0, 100000: 8.0}  # seconds at 40 ms


def listing_rows(listing):
    """The listing table: seconds per listing, median of the rounds, with
    the entries the library returned (its text may hold fewer than read)."""
    if not listing:
        return []
    lines = ["Listings: seconds, the library's median of the rounds (OpenSSH's"
             " one run)",
             "%-8s %-6s %12s %12s %10s  %s" % (
                 "entries", "RTT", "tarnwick", "sftp ls -l", "x faster",
                 "returned")]
    for c in sorted(listing.values(), key=lambda c: (c["entries"], c["rtt_ms"])):
        lines.append("%-8d %-6s %10.2f s %10.2f s %9.1fx  %d of %d" % (
            c["entries"], "%d ms" % c["rtt_ms"], c["tarnwick_s"],
            c["openssh_s"], c["openssh_s"] / max(c["tarnwick_s"], 1e-6),
            c["returned"], c["read"]))
    return lines + [""]


def listing_goals(listing):
    lines = []
    for n, goal in sorted(LISTING_GOALS.items()):
        c = listing.get("%d/40" % n)
        if c:
            lines.append("  %-9s %-40s %s" % (
                "list", "%d entries at 40 ms: %.2f s (goal < %.0f s)" % (
                    n, c["tarnwick_s"], goal),
                "met" if c["tarnwick_s"] < goal else "NOT MET"))
    return lines


def table(bench, summary):
    r = bench.results
    lines = []
    lines.append("tarnwick transfer benchmark, %s" % time.strftime("%Y-%m-%d %H:%M"))
    lines.append("load average at start %s, at end %s (2 cores; figures are "
                 "indicative on a shared machine)" % (r["load_start"], r["load_end"]))
    lines.append("curl is Debian's, built on libssh2 1.10; the library uses its "
                 "own libssh2 1.11.1 build.")
    lines.append("%s; 10 and 40 ms go through tw_delay_proxy (RTT/2 each way)." % (
        "RTT 0 goes through tw_delay_proxy without delay" if bench.args.proxy0
        else "RTT 0 is plain loopback"))
    lines.append("")
    lines.append("Delay proxy check (raw TCP stream through it to a sink):")
    for rtt, c in sorted(r["proxy"].items()):
        lines.append("  RTT %2d ms: ping %6.2f ms, stream %6.0f MB/s" % (
            rtt, c["ping_ms"], c["stream_mbps"]))
    lines.append("")
    lines.append("Negotiated ciphers (client to server):")
    for tool in TOOLS:
        lines.append("  %-28s %s" % (TOOL_LABEL[tool], r["ciphers"].get(tool, "?")))
    lines.append("")
    lines.append("Transfers: MB/s, median [min..max] of %d rounds, and the "
                 "median's ratio to OpenSSH's in the same run" % (
                     1 if bench.args.smoke else bench.args.rounds))
    lines.append("CPU s/GiB: the client's CPU time (its connect included) per GiB"
                 " moved, which a busy machine disturbs less than the rate.")
    head = "%-6s %-9s %-28s %9s %19s %9s %9s  %s" % (
        "RTT", "transfer", "tool", "MB/s", "min..max", "x OpenSSH",
        "CPU s/GiB", "MiB/run")
    lines.append(head)
    lines.append("-" * len(head))
    for rtt in bench.args.all_rtts:
        for op in OPS:
            for tool in TOOLS:
                v = summary.get("%d/%s/%s" % (rtt, op, tool))
                if v is None:
                    lines.append("%-6s %-9s %-28s %9s" % (
                        "%d ms" % rtt, OP_LABEL[op], TOOL_LABEL[tool], "failed"))
                    continue
                lines.append("%-6s %-9s %-28s %9.1f %19s %9s %9.2f  %s" % (
                    "%d ms" % rtt, OP_LABEL[op], TOOL_LABEL[tool], v["median"],
                    "%.1f..%.1f" % (v["min"], v["max"]),
                    "%.2fx" % v["ratio"] if v["ratio"] is not None else "-",
                    v["cpu_s_per_gib"], ",".join(str(m) for m in v["mib"])))
        lines.append("")
    lines.extend(listing_rows(r.get("listing", {})))
    lines.append("Goal: each transfer >= 1.0x OpenSSH at every RTT, >= 1.5x at 0 ms;"
                 " SFTP up >= 1.8x at 40 ms and beyond (several channels)")
    for op in OPS:
        parts, met = [], True
        for rtt in bench.args.all_rtts:
            v = summary.get("%d/%s/tarnwick" % (rtt, op))
            ratio = v["ratio"] if v else None
            need = 1.5 if rtt == 0 else 1.0
            if op == "sftp-up" and rtt >= 40:
                need = 1.8
            if ratio is None or ratio < need:
                met = False
            parts.append("%d ms %s" % (rtt, "-" if ratio is None else "%.2fx" % ratio))
        lines.append("  %-9s %-40s %s" % (OP_LABEL[op], " / ".join(parts),
                                          "met" if met else "NOT MET"))
    lines.extend(listing_goals(r.get("listing", {})))
    polls = r.get("poll", {})
    if polls:
        worst = max(p["p99_us"] for p in polls.values())
        lines.append("  %-9s %-40s %s" % ("polls", "p99 at most %.1f us (goal < 1 ms)" % worst,
                                          "met" if worst < 1000 else "NOT MET"))
    growth = [sizes[max(sizes)] - sizes[min(sizes)]
              for sizes in r.get("memory", {}).values()
              if len(sizes) > 1 and None not in sizes.values()]
    if growth:
        # Allocator noise of a few pages is no growth; a window per MiB is.
        lines.append("  %-9s %-40s %s" % (
            "memory", "peak grows by at most %d KiB, 16 MiB to 1 GiB" % max(growth),
            "met" if max(growth) <= 1024 else "NOT MET"))
    lines.append("")
    lines.append("Connect to ready (median): " + "; ".join(
        "%d ms: tarnwick %.0f ms, sftp -b /dev/null %.0f ms" % (
            rtt, c["tarnwick_ms"], c["openssh_ms"])
        for rtt, c in sorted(r.get("connect", {}).items())))
    lines.append("Progress polls every 1 ms at RTT 0 (goal p99 < 1 ms): " + "; ".join(
        "%s p50 %.1f us p99 %.1f us" % (OP_LABEL[op], p["p50_us"], p["p99_us"])
        for op, p in r.get("poll", {}).items()))
    lines.append("Cancel to return: " + "; ".join(
        "%d ms: " % rtt + ", ".join("%s %s" % (OP_LABEL[o], fmt_ms(c.get(o)))
                                    for o in OPS)
        for rtt, c in sorted(r.get("cancel", {}).items())))
    lines.append("Peak memory of the host (goal: independent of file size): " +
                 "; ".join("%s %s" % (OP_LABEL[op], ", ".join(
                     "%s MiB: %s KiB" % (m, k) for m, k in sizes.items()))
                     for op, sizes in r.get("memory", {}).items()))
    lines.append("Microbenchmarks (CPU time): " + "; ".join(
        "%s %.0f ns" % (n, v["cpu_ns"]) for n, v in r.get("micro", {}).items()))
    if bench.failures:
        lines.append("")
        lines.append("FAILURES:")
        lines.extend("  " + f for f in bench.failures)
    return "\n".join(lines) + "\n"


def chart(bench, summary, path):
    # Imported here: the file back end must be chosen before pyplot loads.
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    rtts = bench.args.all_rtts
    fig, axes = plt.subplots(1, len(rtts), figsize=(5 * len(rtts), 4.5))
    if len(rtts) == 1:
        axes = [axes]
    width = 0.27
    for ax, rtt in zip(axes, rtts):
        for i, tool in enumerate(TOOLS):
            med, lo, hi = [], [], []
            for op in OPS:
                v = summary.get("%d/%s/%s" % (rtt, op, tool))
                m = v["median"] if v else 0
                med.append(m)
                lo.append(m - v["min"] if v else 0)
                hi.append(v["max"] - m if v else 0)
            xs = [j + (i - 1) * width for j in range(len(OPS))]
            ax.bar(xs, med, width, yerr=[lo, hi], capsize=2,
                   label=TOOL_LABEL[tool] if rtt == rtts[0] else None)
            if tool == "tarnwick":
                # The library's ratio to OpenSSH above its bar.
                for x, op, m, h in zip(xs, OPS, med, hi):
                    v = summary.get("%d/%s/tarnwick" % (rtt, op))
                    if v and v["ratio"] is not None:
                        ax.annotate("%.2fx" % v["ratio"], (x, m + h),
                                    ha="center", va="bottom", fontsize=7)
        ax.set_xticks(range(len(OPS)))
        ax.set_xticklabels([OP_LABEL[o] for o in OPS])
        ax.set_title("RTT %d ms" % rtt)
        ax.set_ylabel("MB/s (median, min..max)")
    fig.legend(loc="lower center", ncol=3, fontsize=9)
    fig.suptitle("Transfer throughput (load average %s)" % bench.results["load_end"])
    fig.tight_layout(rect=(0, 0.07, 1, 1))
    fig.savefig(path, dpi=100)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", required=True, help="build tree with the bench programs")
    ap.add_argument("--servers", required=True, help="folder of tests/servers/start.sh")
    ap.add_argument("--out", required=True, help="folder for the results")
    ap.add_argument("--smoke", action="store_true",
                    help="one size, RTT 0 and 10, one round")
    ap.add_argument("--seconds", type=float, default=1.5,
                    help="data time each run aims at (more is steadier and"
                    " slower: the full run takes about 130 times this, plus"
                    " three minutes)")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--max-mib", type=int, default=1024)
    ap.add_argument("--rtts", help="comma-separated RTTs in ms (default 0,10,40;"
                    " smoke 0,10)")
    ap.add_argument("--transfer-rtts", default=None,
                    help="comma-separated RTTs in ms measured for the transfers"
                    " only, after the others (default 100; smoke none): where"
                    " one channel's window limits every single-channel client")
    ap.add_argument("--proxy0", action="store_true",
                    help="RTT 0 through the proxy too (default: plain loopback)")
    args = ap.parse_args()
    if args.rtts:
        args.rtts = [int(r) for r in args.rtts.split(",")]
    else:
        args.rtts = [0, 10] if args.smoke else [0, 10, 40]
    if args.transfer_rtts is None:
        args.transfer_rtts = "" if args.smoke else "100"
    args.all_rtts = args.rtts + [int(r) for r in args.transfer_rtts.split(",")
                                 if r and int(r) not in args.rtts]
    # Smoke runs: one size per RTT, a fraction of a second to a few seconds.
    args.smoke_mib = {0: 32, 10: 4}
    args.connects = 5 if args.smoke else 20
    args.stream_mib = 256 if args.smoke else 1024
    os.makedirs(args.out, exist_ok=True)

    started = time.monotonic()
    bench = Bench(args)
    bench.results["load_start"] = loadavg()
    log("load average %s" % bench.results["load_start"])
    try:
        bench.proxies()
        bench.probe_ciphers()
        bench.transfers()
        bench.connects()
        bench.listings()
        bench.polls()
        bench.cancels()
        bench.memory()
        bench.micro()
    finally:
        bench.stop_all()
    bench.results["load_end"] = loadavg()
    bench.results["seconds"] = time.monotonic() - started
    bench.results["failures"] = bench.failures
    summary = summarise(bench)
    text = table(bench, summary)
    with open(os.path.join(args.out, "results.txt"), "w") as f:
        f.write(text)
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump(bench.results, f, indent=1, default=str)
    chart(bench, summary, os.path.join(args.out, "chart.png"))
    print()
    print(text, end="")
    log("bench: %.0f s; results in %s (results.txt, results.json, chart.png)" % (
        bench.results["seconds"], args.out))
    t0 = os.environ.get("TW_BENCH_T0")
    if t0:
        log("bench: %.0f s in all, the build included" % (time.time() - float(t0)))
    # The closing line counts transfer runs that moved a whole, checked copy
    # against every failure of any kind.
    passed = sum(1 for r in bench.results["runs"] if r["ok"])
    print("bench: %d passed, %d failed" % (passed, len(bench.failures)))
    return 1 if bench.failures else 0


if __name__ == "__main__":
    sys.exit(main())
