// C# binding of tarnwick-libssh2-sftp-client-transfer: the 23 exports as
// P/Invoke declarations (Native) and a small typed wrapper (SftpClient) that
// raises SftpException, or one of its kinds, with the library's last-error
// text, and reports transfers through a ProgressChanged event and IProgress.
//
// Texts: every result text is owned by the library, so the exports return
// IntPtr and the wrapper copies the text at once (JSON texts are UTF-8).
// Local paths go in the ANSI code page (UnmanagedType.LPStr), as the Windows
// module opens local files with the narrow-character functions; remote paths
// and the configuration go as UTF-8 bytes. One file, no references beyond the
// base class library: it compiles for .NET 6+ and for mono.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Tarnwick.Sftp
{
    /// <summary>The exports, as declared in tarnwick_sftp.h.</summary>
    public static class Native
    {
        // Windows loads tarnwick-libssh2-sftp-client-transfer.dll; mono and
        // .NET on Linux load libtarnwick-libssh2-sftp-client-transfer.so.
        public const string Module = "tarnwick-libssh2-sftp-client-transfer";
        const CallingConvention Call = CallingConvention.StdCall;

        [DllImport(Module, CallingConvention = Call)] public static extern IntPtr sftp_client_version();
        [DllImport(Module, CallingConvention = Call)] public static extern IntPtr sftp_client_last_error();
        [DllImport(Module, CallingConvention = Call)] public static extern int sftp_client_is_connected();
        [DllImport(Module, CallingConvention = Call)] public static extern IntPtr sftp_client_get_log();
        [DllImport(Module, CallingConvention = Call)] public static extern int sftp_client_clear_log();
        [DllImport(Module, CallingConvention = Call)] public static extern int sftp_client_connect(byte[] configJson);
        [DllImport(Module, CallingConvention = Call)] public static extern int sftp_client_disconnect();
        [DllImport(Module, CallingConvention = Call)] public static extern IntPtr sftp_client_session_info();
        [DllImport(Module, CallingConvention = Call)] public static extern IntPtr sftp_client_list_dir(byte[] path);
        [DllImport(Module, CallingConvention = Call)] public static extern IntPtr sftp_client_stat(byte[] path);
        [DllImport(Module, CallingConvention = Call)] public static extern IntPtr sftp_client_realpath(byte[] path);
        [DllImport(Module, CallingConvention = Call)] public static extern int sftp_client_mkdir(byte[] path);
        [DllImport(Module, CallingConvention = Call)] public static extern int sftp_client_rmdir(byte[] path);
        [DllImport(Module, CallingConvention = Call)] public static extern int sftp_client_delete(byte[] path);
        [DllImport(Module, CallingConvention = Call)] public static extern int sftp_client_rename(byte[] from, byte[] to);
        [DllImport(Module, CallingConvention = Call)] public static extern int sftp_client_chmod(byte[] path, int mode);
        [DllImport(Module, CallingConvention = Call)] public static extern IntPtr sftp_transfer_progress();
        [DllImport(Module, CallingConvention = Call)] public static extern int sftp_transfer_cancel();
        [DllImport(Module, CallingConvention = Call)]
        public static extern int sftp_client_download(byte[] remotePath, [MarshalAs(UnmanagedType.LPStr)] string localPath);
        [DllImport(Module, CallingConvention = Call)]
        public static extern int sftp_client_upload([MarshalAs(UnmanagedType.LPStr)] string localPath, byte[] remotePath);
        [DllImport(Module, CallingConvention = Call)]
        public static extern int scp_client_download(byte[] remotePath, [MarshalAs(UnmanagedType.LPStr)] string localPath);
        [DllImport(Module, CallingConvention = Call)]
        public static extern int scp_client_upload([MarshalAs(UnmanagedType.LPStr)] string localPath, byte[] remotePath, int mode);
        [DllImport(Module, CallingConvention = Call)]
        public static extern IntPtr sftp_client_list_local([MarshalAs(UnmanagedType.LPStr)] string path);

        /// <summary>A text as NUL-terminated UTF-8 bytes.</summary>
        public static byte[] Utf8(string text)
        {
            return Encoding.UTF8.GetBytes((text ?? "") + "\0");
        }

        /// <summary>Copies a library-owned UTF-8 text.</summary>
        public static string Text(IntPtr p)
        {
            return p == IntPtr.Zero ? "" : Marshal.PtrToStringUTF8(p);
        }
    }

    /// <summary>
    /// A failed call: Message is the library's last-error text of that very
    /// call, Function the export that failed. Subclasses tell the kinds a
    /// program may handle on their own; the rest are SftpException itself.
    /// </summary>
    public class SftpException : Exception
    {
        public string Function { get; private set; }
        public SftpException(string function, string message) : base(message) { Function = function; }

        // The library's messages that tell a kind, by their fixed beginning.
        // lost: the session was open before the call and is not now; a failed
        // connect closes the session it replaces by design, which is no loss.
        internal static SftpException Of(string function, string message, bool lost)
        {
            if (message == "not connected") return new NotConnectedException(function, message);
            if (message == "transfer cancelled") return new TransferCancelledException(function, message);
            if (message.StartsWith("authentication failed for user ", StringComparison.Ordinal))
                return new AuthenticationFailedException(function, message);
            if (message.StartsWith("host key mismatch for ", StringComparison.Ordinal))
                return new HostKeyMismatchException(function, message);
            if (lost && function != "sftp_client_connect") return new ConnectionLostException(function, message);
            return new SftpException(function, message);
        }
    }

    /// <summary>The server refused the user's password or key.</summary>
    public class AuthenticationFailedException : SftpException
    {
        public AuthenticationFailedException(string function, string message) : base(function, message) { }
    }

    /// <summary>The server's host key is not the pinned one; nothing secret was sent.</summary>
    public class HostKeyMismatchException : SftpException
    {
        public HostKeyMismatchException(string function, string message) : base(function, message) { }
    }

    /// <summary>No session is open: none was opened, it was closed, or its connection was lost.</summary>
    public class NotConnectedException : SftpException
    {
        public NotConnectedException(string function, string message) : base(function, message) { }
    }

    /// <summary>The call failed because the connection did; the session is closed, connect again.</summary>
    public class ConnectionLostException : NotConnectedException
    {
        public ConnectionLostException(string function, string message) : base(function, message) { }
    }

    /// <summary>
    /// The transfer was cancelled by SftpClient.Cancel(). A transfer cancelled
    /// through its CancellationToken ends in OperationCanceledException
    /// instead, with this exception inside once the transfer had begun.
    /// </summary>
    public class TransferCancelledException : SftpException
    {
        public TransferCancelledException(string function, string message) : base(function, message) { }
    }

    /// <summary>One file or folder of a listing, or of Stat.</summary>
    public sealed class Entry
    {
        public string Name { get; internal set; }
        public bool IsDir { get; internal set; }
        public long Size { get; internal set; }
        public long MTime { get; internal set; }
        public string Mode { get; internal set; }
        public long Uid { get; internal set; }
        public long Gid { get; internal set; }
        internal static Entry Of(Dictionary<string, object> r)
        {
            return new Entry { Name = Json.Str(r, "name"), IsDir = Json.Bool(r, "is_dir"), Size = Json.Long(r, "size"),
                               MTime = Json.Long(r, "mtime"), Mode = Json.Str(r, "mode"), Uid = Json.Long(r, "uid"),
                               Gid = Json.Long(r, "gid") };
        }
    }

    /// <summary>The open session, or the last one.</summary>
    public sealed class SessionInfo
    {
        public bool Connected { get; internal set; }
        public string Host { get; internal set; }
        public long Port { get; internal set; }
        public string User { get; internal set; }
        public string Banner { get; internal set; }
        public string Fingerprint { get; internal set; }
        public string Home { get; internal set; }
        public string Auth { get; internal set; }
        internal static SessionInfo Of(Dictionary<string, object> r)
        {
            return new SessionInfo { Connected = Json.Bool(r, "connected"), Host = Json.Str(r, "host"),
                                     Port = Json.Long(r, "port"), User = Json.Str(r, "user"),
                                     Banner = Json.Str(r, "banner"), Fingerprint = Json.Str(r, "fingerprint"),
                                     Home = Json.Str(r, "home"), Auth = Json.Str(r, "auth") };
        }
    }

    /// <summary>The record of a transfer: while it runs, or once it ended.</summary>
    public sealed class Progress
    {
        public bool Active { get; internal set; }
        public string Direction { get; internal set; }
        public string Name { get; internal set; }
        public long Transferred { get; internal set; }
        public long Total { get; internal set; }
        public double Percent { get; internal set; }
        public long BytesPerSec { get; internal set; }
        public long ElapsedMs { get; internal set; }
        public bool Cancelled { get; internal set; }
        public bool Finished { get; internal set; }
        public string Error { get; internal set; }
        internal static Progress Of(Dictionary<string, object> r)
        {
            return new Progress { Active = Json.Bool(r, "active"), Direction = Json.Str(r, "direction"),
                                  Name = Json.Str(r, "name"), Transferred = Json.Long(r, "transferred"),
                                  Total = Json.Long(r, "total"), Percent = Json.Double(r, "percent"),
                                  BytesPerSec = Json.Long(r, "bytes_per_sec"), ElapsedMs = Json.Long(r, "elapsed_ms"),
                                  Cancelled = Json.Bool(r, "cancelled"), Finished = Json.Bool(r, "finished"),
                                  Error = Json.Str(r, "error") };
        }
    }

    /// <summary>One line of the activity log; TsMs is milliseconds since the Unix epoch.</summary>
    public sealed class LogLine
    {
        public long TsMs { get; internal set; }
        public string Line { get; internal set; }
    }

    public sealed class ProgressEventArgs : EventArgs
    {
        public Progress Progress { get; private set; }
        public ProgressEventArgs(Progress p) { Progress = p; }
    }

    /// <summary>
    /// The library's one session (process-wide). Methods throw SftpException,
    /// or one of its kinds, carrying the message of that very call whatever
    /// other threads do. Transfers run one at a time, in turn; a call that may
    /// fail waits while one runs (the library's remote calls wait for it in
    /// any case), while progress, Info, Log and Cancel never wait. A transfer
    /// blocks its caller (use the Async forms from a user interface) while a
    /// thread of the wrapper raises ProgressChanged, and reports to the
    /// IProgress given, every ProgressIntervalMs; a handler that touches
    /// controls must marshal to the interface thread itself (Progress&lt;T&gt;
    /// does). Cancel() may be called from any thread.
    /// </summary>
    public sealed class SftpClient : IDisposable
    {
        // Held by every call that touches the library's one last-error text,
        // from its start to the read of its message: transfers hold it
        // throughout, so they also take turns on it. Taken before a buffer's lock.
        static readonly SemaphoreSlim CallLock = new SemaphoreSlim(1, 1);
        // One lock per result buffer of the library, so that two threads never
        // read a text that a third call is overwriting.
        static readonly object ListAndLog = new object(), StatAndLocal = new object(),
                               InfoAndProgress = new object(), RealPathText = new object();
        // The cancellation of the transfer under way, for Cancel().
        static readonly object RunningLock = new object();
        static CancellationTokenSource running;
        // The library checks its cancel flag at least every step of 32 KiB.
        const long Step = 32 * 1024;

        public event EventHandler<ProgressEventArgs> ProgressChanged;
        public int ProgressIntervalMs = 100;

        public static string LibraryVersion { get { return Native.Text(Native.sftp_client_version()); } }
        public bool IsConnected { get { return Connected(); } }

        /// <summary>
        /// Opens the session; port 0 and timeoutMs 0 take the library's
        /// defaults. safeReplace (on here, unlike the library's default) makes
        /// a transfer write a temporary file and rename it over the destination
        /// once complete, so that a failed or cancelled transfer leaves an
        /// existing file as it was; false writes in place.
        /// </summary>
        public void Connect(string host, string user, string password = null, string privateKey = null,
                            string passphrase = null, int port = 0, int timeoutMs = 0, string hostFingerprint = null,
                            bool safeReplace = true)
        {
            var c = new StringBuilder("{");
            Member(c, "host", host); Member(c, "user", user); Member(c, "password", password);
            Member(c, "private_key", privateKey); Member(c, "passphrase", passphrase);
            Member(c, "host_fingerprint", hostFingerprint);
            if (port != 0) c.Append(",\"port\":").Append(port);
            if (timeoutMs != 0) c.Append(",\"timeout_ms\":").Append(timeoutMs);
            c.Append(",\"safe_replace\":").Append(safeReplace ? "true" : "false");
            byte[] config = Native.Utf8(c.Append('}').ToString());
            Check("sftp_client_connect", () => Native.sftp_client_connect(config));
        }

        /// <summary>Closes the session, after the running transfer and those waiting for their turn.</summary>
        public void Disconnect() { Locked(() => Native.sftp_client_disconnect()); }
        public void Dispose() { Disconnect(); }

        public SessionInfo Info() { return SessionInfo.Of(Json.Object(Read(InfoAndProgress, Native.sftp_client_session_info))); }
        /// <summary>The library's record of the running or last transfer, whichever started it.</summary>
        public Progress TransferProgress() { return Progress.Of(Json.Object(Read(InfoAndProgress, Native.sftp_transfer_progress))); }

        public IList<Entry> ListDir(string path = ".")
        {
            return Entries(Read(ListAndLog, "sftp_client_list_dir", () => Native.sftp_client_list_dir(Native.Utf8(path))));
        }

        public static IList<Entry> ListLocal(string path)
        {
            return Entries(Read(StatAndLocal, "sftp_client_list_local", () => Native.sftp_client_list_local(path)));
        }

        public Entry Stat(string path)
        {
            return Entry.Of(Json.Object(Read(StatAndLocal, "sftp_client_stat", () => Native.sftp_client_stat(Native.Utf8(path)))));
        }

        public string RealPath(string path = ".")
        {
            return Read(RealPathText, "sftp_client_realpath", () => Native.sftp_client_realpath(Native.Utf8(path)));
        }

        public void Mkdir(string path) { Check("sftp_client_mkdir", () => Native.sftp_client_mkdir(Native.Utf8(path))); }
        public void Rmdir(string path) { Check("sftp_client_rmdir", () => Native.sftp_client_rmdir(Native.Utf8(path))); }
        public void Delete(string path) { Check("sftp_client_delete", () => Native.sftp_client_delete(Native.Utf8(path))); }
        public void Rename(string from, string to)
        {
            Check("sftp_client_rename", () => Native.sftp_client_rename(Native.Utf8(from), Native.Utf8(to)));
        }
        /// <summary>Sets permission bits, for example Convert.ToInt32("644", 8).</summary>
        public void Chmod(string path, int mode) { Check("sftp_client_chmod", () => Native.sftp_client_chmod(Native.Utf8(path), mode)); }

        public IList<LogLine> Log()
        {
            var lines = new List<LogLine>();
            foreach (object o in Json.Array(Read(ListAndLog, Native.sftp_client_get_log)))
            {
                var r = (Dictionary<string, object>)o;
                lines.Add(new LogLine { TsMs = Json.Long(r, "ts_ms"), Line = Json.Str(r, "line") });
            }
            return lines;
        }
        public void ClearLog() { Native.sftp_client_clear_log(); }

        /// <summary>Cancels the transfer under way (not those waiting for their turn).</summary>
        public void Cancel()
        {
            lock (RunningLock) if (running != null) running.Cancel();
        }

        public Progress Download(string remotePath, string localPath, bool scp = false)
        {
            return DownloadAsync(remotePath, localPath, scp).GetAwaiter().GetResult();
        }

        /// <summary>Uploads a file; mode is the SCP permission bits (octal 644 is 420).</summary>
        public Progress Upload(string localPath, string remotePath, bool scp = false, int mode = 420)
        {
            return UploadAsync(localPath, remotePath, scp, mode).GetAwaiter().GetResult();
        }

        /// <summary>
        /// Downloads on a thread of its own once the transfers before it have
        /// ended. progress gets this transfer's records only. Cancelling
        /// cancellationToken cancels this transfer alone, whether it waits for
        /// its turn or runs: the task then ends in OperationCanceledException.
        /// </summary>
        public Task<Progress> DownloadAsync(string remotePath, string localPath, bool scp = false,
                                           IProgress<Progress> progress = null,
                                           CancellationToken cancellationToken = default(CancellationToken))
        {
            byte[] remote = Native.Utf8(remotePath);
            return scp ? TransferAsync("scp_client_download", () => Native.scp_client_download(remote, localPath), progress, cancellationToken)
                       : TransferAsync("sftp_client_download", () => Native.sftp_client_download(remote, localPath), progress, cancellationToken);
        }

        /// <summary>As DownloadAsync, for an upload; mode is the SCP permission bits.</summary>
        public Task<Progress> UploadAsync(string localPath, string remotePath, bool scp = false, int mode = 420,
                                         IProgress<Progress> progress = null,
                                         CancellationToken cancellationToken = default(CancellationToken))
        {
            byte[] remote = Native.Utf8(remotePath);
            return scp ? TransferAsync("scp_client_upload", () => Native.scp_client_upload(localPath, remote, mode), progress, cancellationToken)
                       : TransferAsync("sftp_client_upload", () => Native.sftp_client_upload(localPath, remote), progress, cancellationToken);
        }

        // What the transfer's thread hands back once it released CallLock.
        sealed class Outcome
        {
            public int Status; public string Error = ""; public bool Lost; public Progress Final;
        }

        async Task<Progress> TransferAsync(string function, Func<int> copy, IProgress<Progress> sink, CancellationToken token)
        {
            await CallLock.WaitAsync(token).ConfigureAwait(false);
            var cancel = CancellationTokenSource.CreateLinkedTokenSource(token);
            Task<Outcome> run;
            try
            {
                token.ThrowIfCancellationRequested();
                lock (RunningLock) running = cancel;
                run = Task.Factory.StartNew(() => Run(copy, sink, cancel.Token), CancellationToken.None,
                                            TaskCreationOptions.LongRunning, TaskScheduler.Default);
            }
            catch
            {
                CallLock.Release();
                cancel.Dispose();
                throw;
            }
            Outcome o = await run.ConfigureAwait(false);
            cancel.Dispose();
            Report(o.Final, sink);
            if (o.Status == 0) return o.Final;
            SftpException e = SftpException.Of(function, o.Error, o.Lost);
            if (e is TransferCancelledException && token.IsCancellationRequested)
                throw new OperationCanceledException(e.Message, e, token);
            throw e;
        }

        // Runs copy with CallLock held, which it releases before it waits for
        // the poller: a handler may itself call a method that takes the lock.
        Outcome Run(Func<int> copy, IProgress<Progress> sink, CancellationToken cancel)
        {
            var o = new Outcome();
            var done = new ManualResetEvent(false);
            var poller = new Thread(() => Poll(done, sink, cancel)) { IsBackground = true };
            try
            {
                poller.Start();
                bool wasConnected = Connected();
                o.Status = copy();
                if (o.Status != 0) { o.Error = LastError(); o.Lost = wasConnected && !Connected(); }
                o.Final = TransferProgress();
            }
            finally
            {
                lock (RunningLock)
                {
                    running = null;
                    done.Set();
                }
                CallLock.Release();
            }
            poller.Join();
            done.Close();
            return o;
        }

        // Reports the running record every ProgressIntervalMs, and raises the
        // library's cancel flag once cancel is set. The library lowers that
        // flag when the transfer begins to move data, so a request made while
        // it opens the remote file would be lost: the flag is raised once the
        // record shows the transfer moving, and again if it moves on by more
        // than two steps. A record read once done is set may be the next
        // transfer's, and is dropped; the flag is raised under RunningLock,
        // which Run holds as it sets done, so never once the next one runs.
        void Poll(ManualResetEvent done, IProgress<Progress> sink, CancellationToken cancel)
        {
            long raisedAt = -1;
            WaitHandle[] wakes = { done, cancel.WaitHandle };
            while (true)
            {
                int woke = cancel.IsCancellationRequested ? (done.WaitOne(20) ? 0 : WaitHandle.WaitTimeout)
                                                          : WaitHandle.WaitAny(wakes, ProgressIntervalMs);
                if (woke == 0) return;
                Progress p = TransferProgress();
                if (done.WaitOne(0)) return;
                if (cancel.IsCancellationRequested && p.Active && (raisedAt < 0 || p.Transferred > raisedAt + 2 * Step))
                {
                    lock (RunningLock) if (!done.WaitOne(0)) Native.sftp_transfer_cancel();
                    raisedAt = p.Transferred;
                }
                if (woke == WaitHandle.WaitTimeout && p.Active && !cancel.IsCancellationRequested) Report(p, sink);
            }
        }

        void Report(Progress p, IProgress<Progress> sink)
        {
            EventHandler<ProgressEventArgs> h = ProgressChanged;
            if (h != null) h(this, new ProgressEventArgs(p));
            if (sink != null) sink.Report(p);
        }

        static bool Connected() { return Native.sftp_client_is_connected() == 1; }
        static string LastError() { return Native.Text(Native.sftp_client_last_error()); }

        static T Locked<T>(Func<T> call)
        {
            CallLock.Wait();
            try { return call(); }
            finally { CallLock.Release(); }
        }

        static void Check(string function, Func<int> call)
        {
            Locked(() =>
            {
                bool wasConnected = Connected();
                if (call() != 0) throw SftpException.Of(function, LastError(), wasConnected && !Connected());
                return 0;
            });
        }

        // A result text, copied at once; no last-error text is involved.
        static string Read(object bufferLock, Func<IntPtr> call)
        {
            lock (bufferLock) return Native.Text(call());
        }

        // A result text of a call that fails by leaving a last-error text.
        static string Read(object bufferLock, string function, Func<IntPtr> call)
        {
            return Locked(() =>
            {
                bool wasConnected = Connected();
                string text = Read(bufferLock, call);
                string error = LastError();
                if (error.Length > 0) throw SftpException.Of(function, error, wasConnected && !Connected());
                return text;
            });
        }

        static IList<Entry> Entries(string text)
        {
            var entries = new List<Entry>();
            foreach (object o in Json.Array(text)) entries.Add(Entry.Of((Dictionary<string, object>)o));
            return entries;
        }

        static void Member(StringBuilder c, string key, string value)
        {
            if (value == null) return;
            if (c.Length > 1) c.Append(',');
            c.Append(Json.Quote(key)).Append(':').Append(Json.Quote(value));
        }
    }

    /// <summary>A small reader of the library's JSON texts, and the quoting of configuration values.</summary>
    static class Json
    {
        public static Dictionary<string, object> Object(string text) { return (Dictionary<string, object>)Parse(text); }
        public static List<object> Array(string text) { return (List<object>)Parse(text); }

        public static string Str(Dictionary<string, object> r, string k) { object v; return r.TryGetValue(k, out v) ? v as string ?? "" : ""; }
        public static bool Bool(Dictionary<string, object> r, string k) { object v; return r.TryGetValue(k, out v) && v is bool && (bool)v; }
        public static double Double(Dictionary<string, object> r, string k)
        {
            object v;
            return !r.TryGetValue(k, out v) ? 0 : v is long ? (long)v : v is double ? (double)v : 0;
        }
        public static long Long(Dictionary<string, object> r, string k)
        {
            object v;
            return r.TryGetValue(k, out v) && v is long ? (long)v : (long)Double(r, k);
        }

        public static string Quote(string s)
        {
            var b = new StringBuilder("\"");
            foreach (char ch in s)
            {
                if (ch == '"' || ch == '\\') b.Append('\\').Append(ch);
                else if (ch < ' ') b.Append("\\u").Append(((int)ch).ToString("x4"));
                else b.Append(ch);
            }
            return b.Append('"').ToString();
        }

        static object Parse(string s)
        {
            int i = 0;
            object v = Value(s, ref i);
            if (i != s.Length) throw new FormatException("trailing text in JSON");
            return v;
        }

        static object Value(string s, ref int i)
        {
            char c = s[i];
            if (c == '{')
            {
                var o = new Dictionary<string, object>();
                if (s[++i] == '}') { i++; return o; }
                do { string k = StringAt(s, ref i); i++; /* ':' */ o[k] = Value(s, ref i); } while (s[i++] == ',');
                return o;
            }
            if (c == '[')
            {
                var a = new List<object>();
                if (s[++i] == ']') { i++; return a; }
                do a.Add(Value(s, ref i)); while (s[i++] == ',');
                return a;
            }
            if (c == '"') return StringAt(s, ref i);
            if (s.Substring(i).StartsWith("true")) { i += 4; return true; }
            if (s.Substring(i).StartsWith("false")) { i += 5; return false; }
            if (s.Substring(i).StartsWith("null")) { i += 4; return null; }
            int start = i;
            while (i < s.Length && "+-.eE0123456789".IndexOf(s[i]) >= 0) i++;
            string n = s.Substring(start, i - start);
            if (n.IndexOfAny(new[] { '.', 'e', 'E' }) < 0) return long.Parse(n, CultureInfo.InvariantCulture);
            return double.Parse(n, CultureInfo.InvariantCulture);
        }

        static string StringAt(string s, ref int i)
        {
            var b = new StringBuilder();
            for (i++; s[i] != '"'; i++)
            {
                if (s[i] != '\\') { b.Append(s[i]); continue; }
                char e = s[++i];
                if (e == 'u') { b.Append((char)Convert.ToInt32(s.Substring(i + 1, 4), 16)); i += 4; }
                else b.Append(e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e == 'b' ? '\b' : e == 'f' ? '\f' : e);
            }
            i++;
            return b.ToString();
        }
    }
}
