using System.Globalization;
using System.Text;

namespace VelkorProxy;

/// <summary>
/// A configuration document, written exactly as the library reads it. The
/// library takes every string byte for byte and never decodes escapes, so
/// <see cref="ToJson"/> writes strings raw and refuses values that cannot be
/// written that way: double quotes, backslashes (write Windows paths with
/// forward slashes, C:/certs/cert.pem), control characters, and texts longer
/// than the library keeps. It also refuses what the library would take
/// silently but wrongly: ports outside 1 to 65535 (a forgotten
/// <see cref="ListenPort"/> is 0, on which the system would pick a port) and
/// backend addresses other than plain dotted decimal (a host name would fail
/// every request).
/// </summary>
public sealed class ProxyConfig
{
    /// <summary>The number of routes the library reads.</summary>
    public const int MaxRoutes = 16;

    /// <summary>The main port (<c>listen_port</c>), 1 to 65535.</summary>
    public int ListenPort { get; set; }

    /// <summary>The certificate file (<c>tls_cert</c>), PEM or DER; null or empty: plain HTTP.</summary>
    public string? TlsCert { get; set; }

    /// <summary>The private-key file (<c>tls_key</c>); required with a certificate.</summary>
    public string? TlsKey { get; set; }

    /// <summary>A plain-HTTP port that redirects to HTTPS (<c>http_redirect_port</c>), 0 to 65535; null or 0: none. Only with TLS.</summary>
    public int? HttpRedirectPort { get; set; }

    /// <summary>Milliseconds for a client's whole request head (<c>head_timeout_ms</c>); 0: no deadline.</summary>
    public int? HeadTimeoutMs { get; set; }

    /// <summary>The most connections served at once (<c>max_connections</c>); 0: no cap.</summary>
    public int? MaxConnections { get; set; }

    /// <summary>The most connections of one client address at once (<c>max_connections_per_client</c>); 0: no cap.</summary>
    public int? MaxConnectionsPerClient { get; set; }

    /// <summary>Milliseconds nothing may move either way while a request, an answer or a WebSocket is under way
    /// before the connection is cut (<c>idle_timeout_ms</c>); 0 or null: no limit.</summary>
    public int? IdleTimeoutMs { get; set; }

    /// <summary>The routes, at most <see cref="MaxRoutes"/>, in the order the library matches them.</summary>
    public IList<ProxyRoute> Routes { get; } = new List<ProxyRoute>();

    /// <summary>The document for the library, on one line.</summary>
    /// <exception cref="ArgumentException">A value cannot be written raw; the message names its key.</exception>
    public string ToJson()
    {
        if (Routes.Count > MaxRoutes)
            throw new ArgumentException($"routes: {Routes.Count} routes, but the library reads at most {MaxRoutes}");
        var json = new StringBuilder("{");
        Port(json, "listen_port", ListenPort, 1);
        Text(json, "tls_cert", TlsCert, 511);
        Text(json, "tls_key", TlsKey, 511);
        Port(json, "http_redirect_port", HttpRedirectPort, 0);
        Number(json, "head_timeout_ms", HeadTimeoutMs);
        Number(json, "max_connections", MaxConnections);
        Number(json, "max_connections_per_client", MaxConnectionsPerClient);
        Number(json, "idle_timeout_ms", IdleTimeoutMs);
        json.Append(",\"routes\":[");
        for (int i = 0; i < Routes.Count; i++)
        {
            ProxyRoute route = Routes[i] ?? throw new ArgumentException($"routes[{i}]: null");
            json.Append(i == 0 ? "{" : ",{");
            Text(json, "host", route.Host, 255, $"routes[{i}].");
            Text(json, "path_prefix", route.PathPrefix, 255, $"routes[{i}].");
            if (!string.IsNullOrEmpty(route.TargetIp) && !IsDottedDecimal(route.TargetIp))
                throw new ArgumentException($"routes[{i}].target_ip: \"{route.TargetIp}\" is not an IPv4 address " +
                                            "of four decimal fields 0 to 255, such as 10.0.0.5 (names are not resolved)");
            Text(json, "target_ip", route.TargetIp, 63, $"routes[{i}].");
            Port(json, "target_port", route.TargetPort, 1, $"routes[{i}].");
            json.Append('}');
        }
        return json.Append("]}").ToString();
    }

    private static void Number(StringBuilder json, string key, int? value)
    {
        if (value is not int number) return;
        Key(json, key).Append(number.ToString(CultureInfo.InvariantCulture));
    }

    private static void Port(StringBuilder json, string key, int? value, int lowest, string owner = "")
    {
        if (value is int port && (port < lowest || port > 65535))
            throw new ArgumentException($"{owner}{key}: {port} is not a port from {lowest} to 65535");
        Number(json, key, value);
    }

    // The library's inet_addr also takes 127.1, 0x7f.0.0.1 and 0177.0.0.1;
    // only the form everyone reads the same way passes.
    private static bool IsDottedDecimal(string address)
    {
        string[] fields = address.Split('.');
        return fields.Length == 4 && fields.All(f =>
            f.Length is >= 1 and <= 3 && f.All(char.IsAsciiDigit) && (f.Length == 1 || f[0] != '0') &&
            int.Parse(f, CultureInfo.InvariantCulture) <= 255);
    }

    private static void Text(StringBuilder json, string key, string? value, int keptBytes, string owner = "")
    {
        if (value is null) return;
        string? fault = RawFault(value, keptBytes);
        if (fault is not null) throw new ArgumentException($"{owner}{key}: {fault}");
        Key(json, key).Append('"').Append(value).Append('"');
    }

    private static StringBuilder Key(StringBuilder json, string key)
    {
        if (json[^1] != '{') json.Append(',');
        return json.Append('"').Append(key).Append("\":");
    }

    // Why the library would not read value back as written, or null.
    private static string? RawFault(string value, int keptBytes)
    {
        for (int i = 0; i < value.Length; i++)
        {
            char c = value[i];
            if (c == '"') return "holds a double quote, which cannot stand in a string the library reads raw";
            if (c == '\\')
                return "holds a backslash, which the library would keep as written (escapes are never decoded); " +
                       "write Windows paths with forward slashes, C:/certs/cert.pem";
            if (char.IsControl(c)) return $"holds the control character U+{(int)c:X4}";
            if (char.IsSurrogate(c) && !(char.IsHighSurrogate(c) && i + 1 < value.Length && char.IsLowSurrogate(value[++i])))
                return "is not valid UTF-16 text (a lone surrogate)";
        }
        int bytes = Encoding.UTF8.GetByteCount(value);
        return bytes > keptBytes ? $"is {bytes} bytes in UTF-8, but the library keeps {keptBytes}" : null;
    }
}

/// <summary>One route: requests whose Host and path match go to the backend.</summary>
public sealed class ProxyRoute
{
    /// <summary>The Host name served (<c>host</c>); null, empty or "*": any host.</summary>
    public string? Host { get; set; }

    /// <summary>The request-path prefix (<c>path_prefix</c>); null or empty: "/".</summary>
    public string? PathPrefix { get; set; }

    /// <summary>The backend's port (<c>target_port</c>), 1 to 65535.</summary>
    public int TargetPort { get; set; }

    /// <summary>The backend's IPv4 address (<c>target_ip</c>), four decimal fields such as 10.0.0.5; null or empty: 127.0.0.1.</summary>
    public string? TargetIp { get; set; }
}
