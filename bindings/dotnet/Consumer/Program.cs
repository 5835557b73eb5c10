// One request through the proxy to a backend on 127.0.0.1, with the native
// library found as a program that uses the package finds it. Prints the
// answer and, on Linux, the library file the process mapped; exits 1 on
// any fault.
using System.Net;
using System.Net.Sockets;
using System.Text;
using VelkorProxy;

using var backend = new TcpListener(IPAddress.Loopback, 0);
backend.Start();
Task serve = Task.Run(async () =>
{
    using TcpClient client = await backend.AcceptTcpClientAsync();
    using NetworkStream stream = client.GetStream();
    using var reader = new StreamReader(stream, Encoding.ASCII, leaveOpen: true);
    string target = (await reader.ReadLineAsync())?.Split(' ')[1] ?? "";
    while (!string.IsNullOrEmpty(await reader.ReadLineAsync())) { }
    byte[] body = Encoding.ASCII.GetBytes($"you asked for {target}");
    await stream.WriteAsync(Encoding.ASCII.GetBytes(
        $"HTTP/1.1 200 OK\r\nContent-Length: {body.Length}\r\nConnection: close\r\n\r\n"));
    await stream.WriteAsync(body);
});

int port;
using (var probe = new TcpListener(IPAddress.Loopback, 0))
{
    probe.Start();
    port = ((IPEndPoint)probe.LocalEndpoint).Port;
}

Proxy.Start(new ProxyConfig
{
    ListenPort = port,
    Routes = { new ProxyRoute { TargetPort = ((IPEndPoint)backend.LocalEndpoint).Port } },
});
try
{
    using var http = new HttpClient { Timeout = TimeSpan.FromSeconds(20) };
    string answer = await http.GetStringAsync($"http://127.0.0.1:{port}/through-the-package");
    await serve.WaitAsync(TimeSpan.FromSeconds(20));
    ProxyStatus status = Proxy.GetRuntimeStatus();
    Console.WriteLine($"velkor-proxy {Proxy.Version} on {System.Runtime.InteropServices.RuntimeInformation.RuntimeIdentifier}: {answer}");
    Console.WriteLine($"hits {status.Routes[0].Hits}, connections {status.TotalConnections}");
    if (File.Exists("/proc/self/maps"))
        foreach (string file in File.ReadLines("/proc/self/maps").Select(l => l.Split(' ', 6, StringSplitOptions.RemoveEmptyEntries))
                     .Where(f => f.Length == 6 && f[5].Contains("velkor-proxy")).Select(f => f[5]).Distinct())
            Console.WriteLine($"library {file}");
    return answer == "you asked for /through-the-package" && status.Routes[0].Hits == 1 ? 0 : 1;
}
finally
{
    Proxy.Stop();
}
