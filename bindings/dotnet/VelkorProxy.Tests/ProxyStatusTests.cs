namespace VelkorProxy.Tests;

public sealed class ProxyStatusTests
{
    private const string Route = "{\"host\":\"*\",\"path_prefix\":\"/\",\"target_ip\":\"127.0.0.1\",\"target_port\":9000,\"hits\":3,\"errors\":0}";
    private const string Head = "{\"running\":1,\"tls\":0,\"listen_port\":8000,\"redirect_port\":0,\"active_connections\":1,\"total_connections\":2,";

    [Theory]
    [InlineData("{\"tls\":0}", "the report has no \"running\"")]
    [InlineData(Head + "\"routes\":[" + Route + ",{\"host\":\"\"}],\"last_error\":\"\"}", "routes[1] has no \"path_prefix\"")]
    [InlineData(Head + "\"routes\":[],\"last_error\":7}", "the report: \"last_error\" is not a string")]
    [InlineData("[]", "the report has no \"running\"")]
    public void ParseNamesWhatIsWrong(string json, string message) =>
        Assert.Equal($"velkor-proxy: not a status report: {message}", Assert.Throws<FormatException>(() => ProxyStatus.Parse(json)).Message);

    [Fact]
    public void ToStringListsTheRoutes() => Assert.Equal(
        "ProxyStatus { Running = True, Tls = False, ListenPort = 8000, RedirectPort = 0, ActiveConnections = 1, " +
        "TotalConnections = 2, Routes = [RouteStatus { Host = *, PathPrefix = /, TargetIp = 127.0.0.1, TargetPort = 9000, " +
        "Hits = 3, Errors = 0 }], LastError = bind port 8000 failed (in use?) }",
        ProxyStatus.Parse(Head + "\"routes\":[" + Route + "],\"last_error\":\"bind port 8000 failed (in use?)\"}").ToString());
}
