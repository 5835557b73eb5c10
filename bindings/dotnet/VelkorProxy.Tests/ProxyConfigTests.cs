namespace VelkorProxy.Tests;

public sealed class ProxyConfigTests
{
    private static ProxyConfig With(Action<ProxyConfig> change)
    {
        var config = new ProxyConfig { ListenPort = 8443, Routes = { new ProxyRoute { TargetPort = 9000 } } };
        change(config);
        return config;
    }

    public static TheoryData<ProxyConfig, string> Written => new()
    {
        { With(_ => { }), "{\"listen_port\":8443,\"routes\":[{\"target_port\":9000}]}" },
        { With(c => { c.TlsCert = "C:/certs/cert.pem"; c.TlsKey = ""; c.HttpRedirectPort = 8080; c.HeadTimeoutMs = 0;
                      c.MaxConnections = 100; c.MaxConnectionsPerClient = 5;
                      c.Routes.Add(new ProxyRoute { Host = "*", PathPrefix = "/ä", TargetIp = "10.0.0.5", TargetPort = -1 }); }),
          "{\"listen_port\":8443,\"tls_cert\":\"C:/certs/cert.pem\",\"tls_key\":\"\",\"http_redirect_port\":8080," +
          "\"head_timeout_ms\":0,\"max_connections\":100,\"max_connections_per_client\":5,\"routes\":[" +
          "{\"target_port\":9000},{\"host\":\"*\",\"path_prefix\":\"/ä\",\"target_ip\":\"10.0.0.5\",\"target_port\":-1}]}" },
    };

    [Theory, MemberData(nameof(Written), DisableDiscoveryEnumeration = true)]
    public void WritesTheKeysTheLibraryReadsAndOptionalOnesOnlyWhenSet(ProxyConfig config, string json) =>
        Assert.Equal(json, config.ToJson());

    public static TheoryData<ProxyConfig, string> Unwritable => new()
    {
        { With(c => c.TlsCert = "C:\\certs\\cert.pem"), "tls_cert: holds a backslash" },
        { With(c => c.TlsKey = "key\".pem"), "tls_key: holds a double quote" },
        { With(c => c.Routes[0].Host = "a\nb"), "routes[0].host: holds the control character U+000A" },
        { With(c => c.Routes[0].PathPrefix = "/\uD800x"), "routes[0].path_prefix: is not valid UTF-16" },
        { With(c => c.Routes[0].TargetIp = new string('1', 64)), "routes[0].target_ip: is 64 bytes in UTF-8, but the library keeps 63" },
        { With(c => c.TlsCert = new string('é', 256)), "tls_cert: is 512 bytes in UTF-8, but the library keeps 511" },
        { With(c => { while (c.Routes.Count < 17) c.Routes.Add(new ProxyRoute()); }), "routes: 17 routes" },
    };

    [Theory, MemberData(nameof(Unwritable), DisableDiscoveryEnumeration = true)]
    public void RefusesWhatTheLibraryCannotReadRaw(ProxyConfig config, string message) =>
        Assert.StartsWith(message, Assert.Throws<ArgumentException>(config.ToJson).Message);
}
