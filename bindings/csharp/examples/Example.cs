// Connects with a key, lists the home folder, uploads a file and downloads it back.
// Build: mcs Example.cs TarnwickSftp.cs   Run: mono Example.exe <host> <port> <user> <key file>
using System;
using System.IO;
using System.Threading.Tasks;
using Tarnwick.Sftp;

static class Example
{
    static int Main(string[] args) { return Run(args).GetAwaiter().GetResult(); }

    static async Task<int> Run(string[] args)
    {
        string host = args[0], user = args[2], key = args[3];
        int port = int.Parse(args[1]);
        string local = Path.Combine(Path.GetTempPath(), "tarnwick-example.txt");
        File.WriteAllText(local, "Hello over SFTP\n");
        var progress = new Progress<Progress>(p => Console.WriteLine("{0} {1,5:F1}%", p.Name, p.Percent));
        using (var client = new SftpClient())
        {
            try
            {
                client.Connect(host, user, privateKey: key, port: port);
                foreach (Entry e in client.ListDir("."))
                    Console.WriteLine("{0} {1,10} {2}", e.Mode, e.Size, e.Name);
                await client.UploadAsync(local, "tarnwick-example.txt", progress: progress);
                await client.DownloadAsync("tarnwick-example.txt", local + ".back", progress: progress);
                Console.WriteLine("downloaded: " + File.ReadAllText(local + ".back").Trim());
                return 0;
            }
            catch (SftpException e)   // AuthenticationFailedException, HostKeyMismatchException, ...
            {
                Console.Error.WriteLine("{0}: {1}", e.GetType().Name, e.Message);
                return 1;
            }
        }
    }
}
