using System.Text;
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
    /// <exception cref="FormatException">The text is not a status report; the message names what is wrong.</exception>
    public static ProxyStatus Parse(string json)
    {
        try
        {
            using JsonDocument document = JsonDocument.Parse(json);
            JsonElement r = document.RootElement;
            const string report = "the report";
            return new ProxyStatus(
                Int(r, "running", report) != 0, Int(r, "tls", report) != 0,
                Int(r, "listen_port", report), Int(r, "redirect_port", report),
                Int(r, "active_connections", report), Int(r, "total_connections", report),
                [.. Member(r, "routes", report).EnumerateArray().Select((route, i) => RouteStatus.Parse(route, $"routes[{i}]"))],
                Text(r, "last_error", report));
        }
        catch (Exception e) when (e is JsonException or KeyNotFoundException or InvalidOperationException)
        {
            throw new FormatException($"velkor-proxy: not a status report: {e.Message}", e);
        }
    }

    // The compiler's version would print the route list's type name.
    private bool PrintMembers(StringBuilder builder)
    {
        builder.Append($"Running = {Running}, Tls = {Tls}, ListenPort = {ListenPort}, RedirectPort = {RedirectPort}, ")
            .Append($"ActiveConnections = {ActiveConnections}, TotalConnections = {TotalConnections}, ")
            .Append($"Routes = [{string.Join(", ", Routes)}], LastError = {LastError}");
        return true;
    }

    // A member of an object of the report, or an error that names it.
    private static JsonElement Member(JsonElement owner, string name, string where) =>
        owner.ValueKind == JsonValueKind.Object && owner.TryGetProperty(name, out JsonElement value)
            ? value
            : throw new KeyNotFoundException($"{where} has no \"{name}\"");

    internal static int Int(JsonElement owner, string name, string where) =>
        Member(owner, name, where) is { ValueKind: JsonValueKind.Number } value && value.TryGetInt32(out int number)
            ? number
            : throw new InvalidOperationException($"{where}: \"{name}\" is not a whole number");

    internal static string Text(JsonElement owner, string name, string where) =>
        Member(owner, name, where) is { ValueKind: JsonValueKind.String } value
            ? value.GetString()!
            : throw new InvalidOperationException($"{where}: \"{name}\" is not a string");
}

/// <summary>One route of the status report.</summary>
/// <param name="Host">The Host name it serves; empty or "*" for any.</param>
/// <param name="PathPrefix">The request-path prefix.</param>
/// <param name="TargetIp">The backend's IPv4 address.</param>
/// <param name="TargetPort">The backend's port.</param>
/// <param name="Hits">Backend connections made for this route since the last start (connections, not requests).</param>
/// <param name="Errors">Backend connections that failed since the last start (each answered "backend connection failed").</param>
public sealed record RouteStatus(string Host, string PathPrefix, string TargetIp, int TargetPort, int Hits, int Errors)
{
    internal static RouteStatus Parse(JsonElement r, string where) => new(
        ProxyStatus.Text(r, "host", where), ProxyStatus.Text(r, "path_prefix", where),
        ProxyStatus.Text(r, "target_ip", where), ProxyStatus.Int(r, "target_port", where),
        ProxyStatus.Int(r, "hits", where), ProxyStatus.Int(r, "errors", where));
}
