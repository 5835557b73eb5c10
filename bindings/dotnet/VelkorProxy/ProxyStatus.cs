using System.Text.Json;

namespace VelkorProxy;

/// <summary>The status report: the service's state, counters, routes and last error.</summary>
/// <param name="Running">The service runs.</param>
/// <param name="Tls">The main port speaks TLS.</param>
/// <param name="ListenPort">The main port as configured.</param>
/// <param name="RedirectPort">The redirect listener's port; 0 when none runs.</param>
/// <param name="ActiveConnections">Connections being served now.</param>
/// <param name="TotalConnections">Connections accepted since the last start.</param>
/// <param name="Routes">Every route in table order.</param>
/// <param name="LastError">The message of the last failed start; empty after a successful one.</param>
public sealed record ProxyStatus(
    bool Running, bool Tls, int ListenPort, int RedirectPort, int ActiveConnections,
    int TotalConnections, IReadOnlyList<RouteStatus> Routes, string LastError)
{
    /// <summary>Parses a status report's text.</summary>
    /// <exception cref="FormatException">The text is not a status report.</exception>
    public static ProxyStatus Parse(string json)
    {
        try
        {
            using JsonDocument document = JsonDocument.Parse(json);
            JsonElement r = document.RootElement;
            return new ProxyStatus(
                r.GetProperty("running").GetInt32() != 0, r.GetProperty("tls").GetInt32() != 0,
                r.GetProperty("listen_port").GetInt32(), r.GetProperty("redirect_port").GetInt32(),
                r.GetProperty("active_connections").GetInt32(), r.GetProperty("total_connections").GetInt32(),
                [.. r.GetProperty("routes").EnumerateArray().Select(RouteStatus.Parse)],
                r.GetProperty("last_error").GetString() ?? "");
        }
        catch (Exception e) when (e is JsonException or KeyNotFoundException or InvalidOperationException or FormatException)
        {
            throw new FormatException($"velkor-proxy: not a status report: {e.Message}", e);
        }
    }
}

/// <summary>One route of the status report.</summary>
/// <param name="Host">The Host name it serves; empty or "*" for any.</param>
/// <param name="PathPrefix">The request-path prefix.</param>
/// <param name="TargetIp">The backend's IPv4 address.</param>
/// <param name="TargetPort">The backend's port.</param>
/// <param name="Hits">Connections that reached the backend since the last start.</param>
/// <param name="Errors">Backend connections that failed since the last start.</param>
public sealed record RouteStatus(string Host, string PathPrefix, string TargetIp, int TargetPort, int Hits, int Errors)
{
    internal static RouteStatus Parse(JsonElement r) => new(
        r.GetProperty("host").GetString() ?? "", r.GetProperty("path_prefix").GetString() ?? "",
        r.GetProperty("target_ip").GetString() ?? "", r.GetProperty("target_port").GetInt32(),
        r.GetProperty("hits").GetInt32(), r.GetProperty("errors").GetInt32());
}
