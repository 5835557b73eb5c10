namespace VelkorProxy.Tests;

public sealed class ProxyStatusTests
{
    [Theory]
    [InlineData("{\"tls\":0}", "the report has no \"running\"")]
    [InlineData("{\"running\":1,\"tls\":0,\"listen_port\":8000,\"redirect_port\":0,\"active_connections\":1,\"total_connections\":2," +
                "\"routes\":[{\"host\":\"*\",\"path_prefix\":\"/\",\"target_ip\":\"127.0.0.1\",\"target_port\":9,\"hits\":3}],\"last_error\":\"\"}",
                "routes[0] has no \"errors\"")]
    public void ParseNamesTheMissingMember(string json, string message) =>
        Assert.Equal($"velkor-proxy: not a status report: {message}", Assert.Throws<FormatException>(() => ProxyStatus.Parse(json)).Message);
}
