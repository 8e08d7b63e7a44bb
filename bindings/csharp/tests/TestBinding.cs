// The C# binding against the test servers (run by tests/run.sh under
// scripts/with-servers.sh): connect, list, transfer with progress, cancel.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Threading.Tasks;
using Tarnwick.Sftp;

static class TestBinding
{
    static int passed, failed;

    static void Check(string what, bool ok)
    {
        if (ok) passed++;
        else { failed++; Console.Error.WriteLine("FAILED: " + what); }
    }

    static string Env(string name)
    {
        string v = Environment.GetEnvironmentVariable(name);
        if (string.IsNullOrEmpty(v)) throw new Exception(name + " is not set: run through scripts/with-servers.sh");
        return v;
    }

    static void ConnectOpenSsh(SftpClient c)
    {
        c.Connect("127.0.0.1", Env("TW_SSH_USER"), privateKey: Env("TW_KEYS_DIR") + "/id_ed25519",
                  port: int.Parse(Env("TW_SSHD_PORT")));
    }

    static void SessionAndListing(string remote, string local)
    {
        using (var c = new SftpClient())
        {
            ConnectOpenSsh(c);
            SessionInfo info = c.Info();
            Check("session info", info.Connected && info.Auth == "publickey" && info.Fingerprint.Split(':').Length == 20);
            c.Mkdir(remote + "/d");
            IList<Entry> entries = c.ListDir(remote);
            Check("listing", entries.Any(e => e.Name == "d" && e.IsDir && e.Mode == "drwxr-xr-x"));
            Check("realpath", c.RealPath(remote + "/d/..") == remote);
            Check("local listing", SftpClient.ListLocal(local).Any(e => e.Name == ".."));
            Check("log", c.Log().Any(l => l.Line == "MKDIR " + remote + "/d" && l.TsMs > 0));
        }
        var after = new SftpClient();
        Check("disconnected at the end of using", !after.IsConnected);
        try { after.ListDir("."); Check("not connected throws", false); }
        catch (SftpException e) { Check("not connected text", e.Message == "not connected" && e.Function == "sftp_client_list_dir"); }
    }

    static void TransfersWithProgress(string remote, string local)
    {
        var data = new byte[16 << 20];
        new Random(7).NextBytes(data);
        File.WriteAllBytes(local + "/src.bin", data);
        foreach (bool scp in new[] { false, true })
        {
            using (var c = new SftpClient())
            {
                ConnectOpenSsh(c);
                c.ProgressIntervalMs = 10;
                var seen = new List<Progress>();
                c.ProgressChanged += (s, e) => seen.Add(e.Progress);
                string target = remote + (scp ? "/up-scp.bin" : "/up-sftp.bin");
                Progress up = c.Upload(local + "/src.bin", target, scp, Convert.ToInt32("640", 8));
                Check("upload final record", up.Finished && up.Transferred == data.Length && up.Error == "");
                Check("progress events while uploading", seen.Count >= 2 && seen.Take(seen.Count - 1).All(p => p.Active)
                      && seen.Last().Finished);
                Progress down = c.DownloadAsync(target, local + "/back.bin", scp).Result;
                Check("download, byte for byte", down.Direction == "download" && File.ReadAllBytes(local + "/back.bin").SequenceEqual(data));
                Check("SCP mode", !scp || c.Stat(target).Mode == "-rw-r-----");
            }
        }
    }

    static void CancelFromTheProgressEvent(string local)
    {
        string name = "cs-cancel." + System.Diagnostics.Process.GetCurrentProcess().Id + ".bin";
        string source = Env("TW_FAKE_ROOT") + "/" + name;
        File.WriteAllBytes(source, new byte[4 << 20]);
        using (var c = new SftpClient())
        {
            c.Connect("127.0.0.1", "slow.0.05", password: Env("TW_FAKE_PASSWORD"), port: int.Parse(Env("TW_FAKE_PORT")));
            c.ProgressChanged += (s, e) => { if (e.Progress.Active) c.Cancel(); };
            try { c.Download(name, local + "/part.bin"); Check("cancel throws", false); }
            catch (SftpException e) { Check("cancelled text", e.Message == "transfer cancelled"); }
            Check("partial download gone", !File.Exists(local + "/part.bin"));
            Check("cancelled through the library", c.Log().Any(l => l.Line == "CANCEL requested") && c.TransferProgress().Cancelled);
        }
        File.Delete(source);
    }

    static void Failures()
    {
        var c = new SftpClient();
        try
        {
            c.Connect("127.0.0.1", "u", password: "p", port: int.Parse(Env("TW_CLOSED_PORT")));
            Check("connect failure throws", false);
        }
        catch (SftpException e) { Check("connect failure text", e.Message == "cannot connect to 127.0.0.1:" + Env("TW_CLOSED_PORT")); }
        // The password holds a double quote and a backslash.
        c.Connect("127.0.0.1", Env("TW_SSH_USER"), password: Env("TW_SSH_PASSWORD"), port: int.Parse(Env("TW_SSHD_PORT")));
        Check("password login", c.Info().Auth == "password");
        try { c.Stat("/no/such/path"); Check("stat failure throws", false); }
        catch (SftpException e) { Check("stat failure text", e.Message == "cannot stat '/no/such/path'" && e.GetType() == typeof(SftpException)); }
        c.Disconnect();
    }

    // One thread's calls succeed, the others' fail: none may see another's message.
    static void EachThreadGetsItsOwnFailure(string remote)
    {
        var c = new SftpClient();
        ConnectOpenSsh(c);
        string missing = remote + "/none";
        var wrong = new List<string>();
        DateTime deadline = DateTime.UtcNow.AddSeconds(20);
        Action<Action, string> loop = (call, expected) =>
        {
            for (int i = 0; i < 1500 && DateTime.UtcNow < deadline; i++)
            {
                string outcome = null;
                try { call(); } catch (SftpException e) { outcome = e.Message; }
                if (outcome != expected) lock (wrong) wrong.Add(outcome ?? "no failure");
            }
        };
        Task.WaitAll(Task.Run(() => loop(() => c.Stat("."), null)),
                     Task.Run(() => loop(() => c.ListDir(missing), "cannot open remote directory '" + missing + "'")),
                     Task.Run(() => loop(() => SftpClient.ListLocal(missing), "cannot list local folder '" + missing + "'")));
        Check("each thread's own failure (" + string.Join(", ", wrong.Take(3)) + ")", wrong.Count == 0);
        c.Disconnect();
    }

    static void Expect(Action call, Type kind, string message)
    {
        try { call(); Check(message + " throws", false); }
        catch (SftpException e) { Check(message + " as " + e.GetType().Name, e.GetType() == kind && e.Message == message); }
    }

    static void FailuresByKind()
    {
        string user = Env("TW_SSH_USER"), port = Env("TW_SSHD_PORT");
        var c = new SftpClient();
        ConnectOpenSsh(c);   // the failed connects replace this session, which is no lost connection
        Expect(() => c.Connect("127.0.0.1", "u", password: "p", port: int.Parse(Env("TW_CLOSED_PORT"))),
               typeof(SftpException), "cannot connect to 127.0.0.1:" + Env("TW_CLOSED_PORT"));
        ConnectOpenSsh(c);
        Expect(() => c.Connect("127.0.0.1", user, password: "wrong", port: int.Parse(port)),
               typeof(AuthenticationFailedException), "authentication failed for user '" + user + "' (password)");
        Expect(() => c.Connect("127.0.0.1", user, password: "wrong", port: int.Parse(port), hostFingerprint: string.Join(":", Enumerable.Repeat("00", 20))),
               typeof(HostKeyMismatchException), "host key mismatch for 127.0.0.1:" + port);
        Expect(() => c.Mkdir("x"), typeof(NotConnectedException), "not connected");
    }

    sealed class Sink : IProgress<Progress>
    {
        public readonly List<Progress> Seen = new List<Progress>();
        public void Report(Progress p) { lock (Seen) Seen.Add(p); }
    }

    static bool Canceled(Task t)
    {
        try { t.Wait(); return false; } catch (AggregateException e) { return t.IsCanceled && e.InnerException is OperationCanceledException; }
    }

    // Transfers take turns; a token cancels its own transfer only, whether it
    // waits for its turn or runs; each IProgress hears its own transfer only.
    static void TransfersTakeTurnsAndCancelOnTheirOwn(string local)
    {
        string name = "cs-turns." + System.Diagnostics.Process.GetCurrentProcess().Id + ".bin";
        File.WriteAllBytes(Env("TW_FAKE_ROOT") + "/" + name, new byte[2 << 20]);
        File.WriteAllBytes(local + "/small.bin", new byte[100000]);
        using (var c = new SftpClient())
        {
            c.Connect("127.0.0.1", "slow.0.05", password: Env("TW_FAKE_PASSWORD"), port: int.Parse(Env("TW_FAKE_PORT")));
            Sink first = new Sink(), waiting = new Sink(), next = new Sink(), last = new Sink();
            Task<Progress> running = c.DownloadAsync(name, local + "/first.bin", progress: first);
            while (first.Seen.Count == 0 && !running.IsCompleted) System.Threading.Thread.Sleep(10);
            var stop = new System.Threading.CancellationTokenSource();
            Task<Progress> cancelled = c.UploadAsync(local + "/small.bin", name + ".up", progress: waiting, cancellationToken: stop.Token);
            Task<Progress> queued = c.UploadAsync(local + "/small.bin", name + ".up", progress: next);
            stop.Cancel();
            Check("cancelled while waiting, alone", Canceled(cancelled) && !running.IsCompleted && waiting.Seen.Count == 0);
            Check("turns", running.Result.Transferred == 2 << 20 && queued.Result.Transferred == 100000);
            Check("own records", first.Seen.All(p => p.Direction == "download") && next.Seen.All(p => p.Direction == "upload"));
            // safe_replace, on by default here, keeps the user's file through a cancelled download.
            bool safe = File.ReadAllText(Env("TW_LIBRARY_HEADER")).Contains("\"safe_replace\"");
            File.WriteAllText(local + "/last.bin", "the user's own file");
            stop = new System.Threading.CancellationTokenSource();
            Task<Progress> stopped = c.DownloadAsync(name, local + "/last.bin", progress: last, cancellationToken: stop.Token);
            while (last.Seen.Count == 0 && !stopped.IsCompleted) System.Threading.Thread.Sleep(10);
            stop.Cancel();
            Check("cancelled while running", Canceled(stopped) && (safe ? File.ReadAllText(local + "/last.bin") == "the user's own file"
                                                                        : !File.Exists(local + "/last.bin")));
        }
        File.Delete(Env("TW_FAKE_ROOT") + "/" + name);
        File.Delete(Env("TW_FAKE_ROOT") + "/" + name + ".up");
    }

    // Arguments: a remote directory of the test's own (on the OpenSSH
    // server) and a local scratch folder.
    static int Main(string[] args)
    {
        string remote = args[0], local = args[1];
        Check("version", SftpClient.LibraryVersion == "1.1.1");
        SessionAndListing(remote, local);
        TransfersWithProgress(remote, local);
        CancelFromTheProgressEvent(local);
        Failures();
        EachThreadGetsItsOwnFailure(remote);
        FailuresByKind();
        TransfersTakeTurnsAndCancelOnTheirOwn(local);
        Console.WriteLine("csharp binding: {0} passed, {1} failed", passed, failed);
        return failed == 0 ? 0 : 1;
    }
}
