// The proxy in front of this application: started with it, stopped when it
// shuts down, configured from the "VelkorProxy" section of appsettings.json
// (or any other configuration source), its status served on /proxy/status.
using Microsoft.Extensions.Options;
using VelkorProxy;

var builder = WebApplication.CreateBuilder(args);
builder.Services.Configure<ProxyConfig>(builder.Configuration.GetSection("VelkorProxy"));
builder.Services.AddHostedService<ProxyService>();

var app = builder.Build();
app.MapGet("/proxy/status", () => Results.Text(Proxy.GetRuntimeStatusJson(), "application/json"));
app.MapGet("/", (HttpRequest request) =>
    $"hello from ASP.NET Core; Host {request.Host}, X-Forwarded-For {request.Headers["X-Forwarded-For"]}\n");
app.Run();

// One proxy per process: the service starts it with the application and
// stops it on shutdown. A refused start (a taken port, a missing certificate)
// throws ProxyException, which stops the application with the library's
// message.
sealed class ProxyService(IOptions<ProxyConfig> config, ILogger<ProxyService> log) : IHostedService
{
    public Task StartAsync(CancellationToken cancellationToken)
    {
        Proxy.Start(config.Value);
        log.LogInformation("velkor-proxy {Version} serves on port {Port}", Proxy.Version, config.Value.ListenPort);
        return Task.CompletedTask;
    }

    public Task StopAsync(CancellationToken cancellationToken)
    {
        Proxy.Stop(); // returns once every connection has ended, within about 5 s
        log.LogInformation("velkor-proxy stopped");
        return Task.CompletedTask;
    }
}
