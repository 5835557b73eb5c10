using System.Collections.Concurrent;
using System.Diagnostics;
using System.Net;
using System.Net.Sockets;

// One service per process: the tests take turns.
[assembly: Xunit.CollectionBehavior(DisableTestParallelization = true)]

namespace VelkorProxy.Tests;

public sealed class ProxyTests : IDisposable
{
    public void Dispose() => Proxy.Stop();

    // The report's own format, filled from the parsed object.
    private static string Report(ProxyStatus s) =>
        $"{{\"running\":{(s.Running ? 1 : 0)},\"tls\":{(s.Tls ? 1 : 0)},\"listen_port\":{s.ListenPort}," +
        $"\"redirect_port\":{s.RedirectPort},\"active_connections\":{s.ActiveConnections}," +
        $"\"total_connections\":{s.TotalConnections},\"routes\":[" + string.Join(",", s.Routes.Select(r =>
            $"{{\"host\":\"{r.Host}\",\"path_prefix\":\"{r.PathPrefix}\",\"target_ip\":\"{r.TargetIp}\"," +
            $"\"target_port\":{r.TargetPort},\"hits\":{r.Hits},\"errors\":{r.Errors}}}")) +
        $"],\"last_error\":\"{s.LastError}\"}}";

    [Fact]
    public async Task ServesThroughTheProxyAndAgainAfterARestart()
    {
        await using var backend = new Backend();
        int port = Loopback.FreePort();
        var config = new ProxyConfig { ListenPort = port, Routes = { new ProxyRoute { Host = "bücher.example",
            PathPrefix = "/x y", TargetIp = "127.0.0.2", TargetPort = 1 }, new ProxyRoute { TargetPort = backend.Port } } };
        Assert.Equal("1.0.0", Proxy.Version);
        for (int run = 0; run < 2; run++)
        {
            Proxy.Start(config);
            Assert.True(Proxy.IsRunning);
            Assert.Equal("already running", Assert.Throws<ProxyException>(() => Proxy.Start(config)).Message);
            Assert.Equal("you asked for /a", await Loopback.Get(port, "/a"));
            string text = Proxy.GetRuntimeStatusJson();
            ProxyStatus status = ProxyStatus.Parse(text);
            Assert.Equal(text, Report(status));
            Assert.Equal("velkor-proxy: not a status report: routes[1] has no \"hits\"",
                Assert.Throws<FormatException>(() => ProxyStatus.Parse(text.Replace("\"hits\":1,", ""))).Message);
            Assert.Contains($"Routes = [RouteStatus {{ Host = bücher.example, PathPrefix = /x y, TargetIp = 127.0.0.2, TargetPort = 1, Hits = 0, Errors = 0 }}, RouteStatus {{ Host = , PathPrefix = /,", status.ToString());
            Assert.Equal((true, port, 1, "already running"),
                (status.Running, status.ListenPort, status.TotalConnections, status.LastError));
            Assert.Equal([("bücher.example", "/x y", "127.0.0.2", 1, 0), ("", "/", "127.0.0.1", backend.Port, 1)],
                status.Routes.Select(r => (r.Host, r.PathPrefix, r.TargetIp, r.TargetPort, r.Hits)));
            Proxy.Stop();
            Assert.False(Proxy.IsRunning);
        }
    }

    public static TheoryData<string, string> Refused => new()
    {
        { "", "config not a JSON object" },
        { "{}", "listen_port required" },
        { "{\"listen_port\":0,\"routes\":[]}", "at least one route required" },
        { new ProxyConfig { ListenPort = 1, TlsCert = "/nonexistent/cert.pem", TlsKey = "/nonexistent/key.pem", Routes = { new() { TargetPort = 9 } } }
              .ToJson(), "cannot load certificate: /nonexistent/cert.pem (-0x3e00)" },
    };

    [Theory, MemberData(nameof(Refused))]
    public void AFailedStartThrowsItsOwnMessage(string document, string message)
    {
        Assert.Equal(message, Assert.Throws<ProxyException>(() => Proxy.Start(document)).Message);
        Assert.Equal((false, message, message), (Proxy.IsRunning, Proxy.LastError, Proxy.GetRuntimeStatus().LastError));
    }

    [Fact]
    public void ConcurrentStartsAndStopsEachThrowTheirOwnMessage()
    {
        string good = new ProxyConfig { ListenPort = Loopback.FreePort(), Routes = { new ProxyRoute { TargetPort = 9 } } }.ToJson();
        (string Document, string? Message)[] documents =
            [(good, null), ("{}", "listen_port required"), ("{\"listen_port\":0}", "routes array required"),
             ("{\"listen_port\":0,\"routes\":[7]}", "at least one route required")];
        var wrong = new ConcurrentQueue<string>();
        using var barrier = new Barrier(16);
        Thread[] threads = [.. Enumerable.Range(0, 16).Select(i => new Thread(() =>
        {
            barrier.SignalAndWait();
            for (int round = 0; round < 25; round++)
            {
                var (document, message) = documents[(i + round) % documents.Length];
                // While another thread's start holds the service, any start is refused as running.
                try { Proxy.Start(document); if (message is not null) wrong.Enqueue($"{document} started"); }
                catch (ProxyException e) when (e.Message == message || e.Message == "already running") { }
                catch (ProxyException e) { wrong.Enqueue($"{document}: {e.Message}"); }
                if (round % 3 == i % 3) Proxy.Stop();
                ProxyStatus.Parse(Proxy.GetRuntimeStatusJson());
            }
        }))];
        Array.ForEach(threads, t => t.Start());
        Assert.All(threads, t => Assert.True(t.Join(TimeSpan.FromSeconds(60))));
        Assert.Empty(wrong);
    }

    // A stop drains a request in flight for up to 5 s while holding the
    // lifecycle lock; LastError must not wait for it.
    [Fact]
    public async Task LastErrorDoesNotWaitForAStopThatDrains()
    {
        using var backend = new TcpListener(IPAddress.Loopback, 0); // takes the request, never answers
        backend.Start();
        int port = Loopback.FreePort();
        Proxy.Start(new ProxyConfig { ListenPort = port, Routes = { new() { TargetPort = ((IPEndPoint)backend.LocalEndpoint).Port } } });
        using var client = new TcpClient("127.0.0.1", port);
        client.GetStream().Write("GET / HTTP/1.1\r\nHost: a\r\n\r\n"u8);
        using TcpClient inFlight = await backend.AcceptTcpClientAsync().WaitAsync(Loopback.Patience);
        Task stop = Task.Run(Proxy.Stop);
        Assert.True(await Loopback.Refuses(port), "the stop did not close the listener");
        var clock = Stopwatch.StartNew();
        Assert.Equal(("", false), (Proxy.LastError, stop.IsCompleted));
        Assert.InRange(clock.ElapsedMilliseconds, 0, 1000);
        client.Close();
        inFlight.Close();
        await stop.WaitAsync(Loopback.Patience);
    }

    [Theory]
    [InlineData("/nonexistent/libvelkor-proxy.so", null, "Proxy.LibraryPath")]
    [InlineData(null, "/nonexistent/libvelkor-proxy.so", NativeLoader.EnvironmentVariable)]
    public void ANamedLibraryThatDoesNotLoadIsReportedWithWhoNamedIt(string? host, string? environment, string namedBy)
    {
        var e = Assert.Throws<DllNotFoundException>(() => NativeLoader.Load(host, environment, typeof(Proxy).Assembly, null));
        Assert.Contains($"/nonexistent/libvelkor-proxy.so (named by {namedBy})", e.Message);
    }
}
