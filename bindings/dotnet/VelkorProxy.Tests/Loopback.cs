using System.Net;
using System.Net.Sockets;
using System.Text;

namespace VelkorProxy.Tests;

// Real sockets on 127.0.0.1 with ports the system picks, each wait bounded.
internal static class Loopback
{
    internal static readonly TimeSpan Patience = TimeSpan.FromSeconds(10);

    internal static int FreePort()
    {
        using var probe = new TcpListener(IPAddress.Loopback, 0);
        probe.Start();
        return ((IPEndPoint)probe.LocalEndpoint).Port;
    }

    // Waits, within Patience, until port refuses connections.
    internal static async Task<bool> Refuses(int port)
    {
        for (var clock = System.Diagnostics.Stopwatch.StartNew(); clock.Elapsed < Patience; await Task.Delay(20))
        {
            using var probe = new TcpClient();
            try { probe.Connect(IPAddress.Loopback, port); }
            catch (SocketException) { return true; }
        }
        return false;
    }

    internal static async Task<string> Get(int port, string target)
    {
        using var client = new HttpClient { Timeout = Patience };
        return await client.GetStringAsync($"http://127.0.0.1:{port}{target}");
    }
}

// Answers every request with "you asked for TARGET" until disposed.
internal sealed class Backend : IAsyncDisposable
{
    private readonly TcpListener listener = new(IPAddress.Loopback, 0);
    private readonly Task serving;

    internal Backend() { listener.Start(); serving = Serve(); }

    internal int Port => ((IPEndPoint)listener.LocalEndpoint).Port;

    private async Task Serve()
    {
        try
        {
            while (true)
            {
                using TcpClient client = await listener.AcceptTcpClientAsync();
                using var reader = new StreamReader(client.GetStream(), Encoding.ASCII);
                string target = (await reader.ReadLineAsync() ?? "").Split(' ').ElementAtOrDefault(1) ?? "";
                while (!string.IsNullOrEmpty(await reader.ReadLineAsync())) { }
                await client.GetStream().WriteAsync(Encoding.ASCII.GetBytes(
                    $"HTTP/1.1 200 OK\r\nContent-Length: {14 + target.Length}\r\nConnection: close\r\n\r\nyou asked for {target}"));
            }
        }
        catch (Exception e) when (e is SocketException or IOException or ObjectDisposedException) { }
    }

    public async ValueTask DisposeAsync()
    {
        listener.Stop();
        await serving.WaitAsync(Loopback.Patience);
    }
}
