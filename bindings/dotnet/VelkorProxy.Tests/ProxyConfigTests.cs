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
        { With(c => { c.TlsCert = "C:/certs/cert.pem"; c.TlsKey = ""; c.HttpRedirectPort = 0; c.HeadTimeoutMs = 0;
                      c.MaxConnections = 100; c.MaxConnectionsPerClient = 5; c.IdleTimeoutMs = 300000;
                      c.Routes.Add(new ProxyRoute { Host = "*", PathPrefix = "/ä", TargetIp = "0.10.100.255", TargetPort = 65535 }); }),
          "{\"listen_port\":8443,\"tls_cert\":\"C:/certs/cert.pem\",\"tls_key\":\"\",\"http_redirect_port\":0," +
          "\"head_timeout_ms\":0,\"max_connections\":100,\"max_connections_per_client\":5,\"idle_timeout_ms\":300000," +
          "\"routes\":[" +
          "{\"target_port\":9000},{\"host\":\"*\",\"path_prefix\":\"/ä\",\"target_ip\":\"0.10.100.255\",\"target_port\":65535}]}" },
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
        { With(c => c.Routes[0].Host = new string('h', 256)), "routes[0].host: is 256 bytes in UTF-8, but the library keeps 255" },
        { With(c => c.TlsCert = new string('é', 256)), "tls_cert: is 512 bytes in UTF-8, but the library keeps 511" },
        { With(c => { while (c.Routes.Count < 17) c.Routes.Add(new ProxyRoute()); }), "routes: 17 routes" },
        { With(c => c.ListenPort = 0), "listen_port: 0 is not a port from 1 to 65535" },
        { With(c => c.HttpRedirectPort = 65536), "http_redirect_port: 65536 is not a port from 0 to 65535" },
        { With(c => c.Routes[0].TargetPort = 65536), "routes[0].target_port: 65536 is not a port from 1 to 65535" },
        { With(c => c.Routes[0].TargetIp = "localhost"), "routes[0].target_ip: \"localhost\" is not an IPv4 address" },
        { With(c => c.Routes[0].TargetIp = "127.1"), "routes[0].target_ip: \"127.1\" is not" },
        { With(c => c.Routes[0].TargetIp = "010.0.0.1"), "routes[0].target_ip: \"010.0.0.1\" is not" },
        { With(c => c.Routes[0].TargetIp = "10.0.0.256"), "routes[0].target_ip: \"10.0.0.256\" is not" },
    };

    [Theory, MemberData(nameof(Unwritable), DisableDiscoveryEnumeration = true)]
    public void RefusesWhatTheLibraryCannotReadAsMeant(ProxyConfig config, string message) =>
        Assert.StartsWith(message, Assert.Throws<ArgumentException>(config.ToJson).Message);
}
