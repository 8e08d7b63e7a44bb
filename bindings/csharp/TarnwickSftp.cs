// C# binding of tarnwick-libssh2-sftp-client-transfer: the 23 exports as
// P/Invoke declarations (Native) and a small typed wrapper (SftpClient) that
// raises SftpException with the library's last-error text and reports
// transfers through a ProgressChanged event.
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

    /// <summary>A failed call: Message is the library's last-error text.</summary>
    public sealed class SftpException : Exception
    {
        public string Function { get; private set; }
        public SftpException(string function, string message) : base(message) { Function = function; }
    }

    /// <summary>One file or folder of a listing, or of Stat.</summary>
    public sealed class Entry
    {
        public string Name; public bool IsDir; public long Size; public long MTime;
        public string Mode; public long Uid; public long Gid;
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
        public bool Connected; public string Host; public long Port; public string User;
        public string Banner; public string Fingerprint; public string Home; public string Auth;
        internal static SessionInfo Of(Dictionary<string, object> r)
        {
            return new SessionInfo { Connected = Json.Bool(r, "connected"), Host = Json.Str(r, "host"),
                                     Port = Json.Long(r, "port"), User = Json.Str(r, "user"),
                                     Banner = Json.Str(r, "banner"), Fingerprint = Json.Str(r, "fingerprint"),
                                     Home = Json.Str(r, "home"), Auth = Json.Str(r, "auth") };
        }
    }

    /// <summary>The record of the running transfer, or of the last one.</summary>
    public sealed class Progress
    {
        public bool Active; public string Direction; public string Name; public long Transferred;
        public long Total; public double Percent; public long BytesPerSec; public long ElapsedMs;
        public bool Cancelled; public bool Finished; public string Error;
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
        public long TsMs; public string Line;
    }

    public sealed class ProgressEventArgs : EventArgs
    {
        public Progress Progress { get; private set; }
        public ProgressEventArgs(Progress p) { Progress = p; }
    }

    /// <summary>
    /// The library's one session (process-wide). Methods throw SftpException
    /// on failure. A transfer blocks its caller (use the Async forms from a
    /// user interface) while a thread of the wrapper raises ProgressChanged
    /// every ProgressIntervalMs; a handler that touches controls must marshal
    /// to the interface thread itself. Cancel() may be called from any thread.
    /// </summary>
    public sealed class SftpClient : IDisposable
    {
        // One lock per result buffer of the library, so that two threads never
        // read a text that a third call is overwriting.
        static readonly object ListAndLog = new object(), StatAndLocal = new object(),
                               InfoAndProgress = new object(), RealPathText = new object();

        public event EventHandler<ProgressEventArgs> ProgressChanged;
        public int ProgressIntervalMs = 100;

        public static string LibraryVersion { get { return Native.Text(Native.sftp_client_version()); } }
        public bool IsConnected { get { return Native.sftp_client_is_connected() == 1; } }

        /// <summary>Opens the session; port 0 and timeoutMs 0 take the library's defaults.</summary>
        public void Connect(string host, string user, string password = null, string privateKey = null,
                            string passphrase = null, int port = 0, int timeoutMs = 0, string hostFingerprint = null)
        {
            var c = new StringBuilder("{");
            Member(c, "host", host); Member(c, "user", user); Member(c, "password", password);
            Member(c, "private_key", privateKey); Member(c, "passphrase", passphrase);
            Member(c, "host_fingerprint", hostFingerprint);
            if (port != 0) c.Append(",\"port\":").Append(port);
            if (timeoutMs != 0) c.Append(",\"timeout_ms\":").Append(timeoutMs);
            Check("sftp_client_connect", Native.sftp_client_connect(Native.Utf8(c.Append('}').ToString())));
        }

        public void Disconnect() { Native.sftp_client_disconnect(); }
        public void Dispose() { Disconnect(); }

        public SessionInfo Info() { return SessionInfo.Of(Json.Object(Read(InfoAndProgress, Native.sftp_client_session_info))); }
        public Progress TransferProgress() { return Progress.Of(Json.Object(Read(InfoAndProgress, Native.sftp_transfer_progress))); }

        public IList<Entry> ListDir(string path = ".")
        {
            return Entries("sftp_client_list_dir", ListAndLog, () => Native.sftp_client_list_dir(Native.Utf8(path)));
        }

        public static IList<Entry> ListLocal(string path)
        {
            return Entries("sftp_client_list_local", StatAndLocal, () => Native.sftp_client_list_local(path));
        }

        public Entry Stat(string path)
        {
            string error;
            string text = Read(StatAndLocal, () => Native.sftp_client_stat(Native.Utf8(path)), out error);
            if (error.Length > 0) throw new SftpException("sftp_client_stat", error);
            return Entry.Of(Json.Object(text));
        }

        public string RealPath(string path = ".")
        {
            string error;
            string text = Read(RealPathText, () => Native.sftp_client_realpath(Native.Utf8(path)), out error);
            if (error.Length > 0) throw new SftpException("sftp_client_realpath", error);
            return text;
        }

        public void Mkdir(string path) { Check("sftp_client_mkdir", Native.sftp_client_mkdir(Native.Utf8(path))); }
        public void Rmdir(string path) { Check("sftp_client_rmdir", Native.sftp_client_rmdir(Native.Utf8(path))); }
        public void Delete(string path) { Check("sftp_client_delete", Native.sftp_client_delete(Native.Utf8(path))); }
        public void Rename(string from, string to)
        {
            Check("sftp_client_rename", Native.sftp_client_rename(Native.Utf8(from), Native.Utf8(to)));
        }
        /// <summary>Sets permission bits, for example Convert.ToInt32("644", 8).</summary>
        public void Chmod(string path, int mode) { Check("sftp_client_chmod", Native.sftp_client_chmod(Native.Utf8(path), mode)); }

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
        public void Cancel() { Native.sftp_transfer_cancel(); }

        public Progress Download(string remotePath, string localPath, bool scp = false)
        {
            byte[] remote = Native.Utf8(remotePath);
            return scp ? Transfer("scp_client_download", () => Native.scp_client_download(remote, localPath))
                       : Transfer("sftp_client_download", () => Native.sftp_client_download(remote, localPath));
        }

        /// <summary>Uploads a file; mode is the SCP permission bits (octal 644 is 420).</summary>
        public Progress Upload(string localPath, string remotePath, bool scp = false, int mode = 420)
        {
            byte[] remote = Native.Utf8(remotePath);
            return scp ? Transfer("scp_client_upload", () => Native.scp_client_upload(localPath, remote, mode))
                       : Transfer("sftp_client_upload", () => Native.sftp_client_upload(localPath, remote));
        }

        public Task<Progress> DownloadAsync(string remotePath, string localPath, bool scp = false)
        {
            return Task.Run(() => Download(remotePath, localPath, scp));
        }

        public Task<Progress> UploadAsync(string localPath, string remotePath, bool scp = false, int mode = 420)
        {
            return Task.Run(() => Upload(localPath, remotePath, scp, mode));
        }

        // Runs copy on this thread while a poller raises ProgressChanged for the
        // running record, then once more for the final one.
        Progress Transfer(string function, Func<int> copy)
        {
            var done = new ManualResetEvent(false);
            var poller = new Thread(() =>
            {
                while (!done.WaitOne(ProgressIntervalMs))
                {
                    Progress p = TransferProgress();
                    if (p.Active) Raise(p);
                }
            });
            poller.IsBackground = true;
            poller.Start();
            int status;
            string error = "";
            try
            {
                status = copy();
                if (status != 0) error = LastError();
            }
            finally
            {
                done.Set();
                poller.Join();
            }
            Progress final = TransferProgress();
            Raise(final);
            if (status != 0) throw new SftpException(function, error);
            return final;
        }

        void Raise(Progress p)
        {
            EventHandler<ProgressEventArgs> h = ProgressChanged;
            if (h != null) h(this, new ProgressEventArgs(p));
        }

        static string LastError() { return Native.Text(Native.sftp_client_last_error()); }

        static void Check(string function, int status)
        {
            if (status != 0) throw new SftpException(function, LastError());
        }

        static string Read(object bufferLock, Func<IntPtr> call)
        {
            lock (bufferLock) return Native.Text(call());
        }

        static string Read(object bufferLock, Func<IntPtr> call, out string error)
        {
            lock (bufferLock)
            {
                string text = Native.Text(call());
                error = LastError();
                return text;
            }
        }

        static IList<Entry> Entries(string function, object bufferLock, Func<IntPtr> call)
        {
            string error;
            string text = Read(bufferLock, call, out error);
            if (error.Length > 0) throw new SftpException(function, error);
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
