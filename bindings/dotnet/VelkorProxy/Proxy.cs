using System.Text;

namespace VelkorProxy;

/// <summary>
/// The proxy service of this process: the library runs one service per
/// process, so this class is static. Every member may be called from any
/// thread; the class keeps the library's threading rules itself (a start and a
/// stop never overlap, the status report never runs on two threads at once).
/// </summary>
public static class Proxy
{
    // Start, stop and the last-error text: a failed start's message is read
    // before another start can empty or rewrite it.
    private static readonly Lock Lifecycle = new();
    // The last-error text as the last start or stop left it, copied under
    // Lifecycle: reading it never waits for a stop that drains connections.
    private static volatile string lastError = "";
    // The status report's buffer, rewritten by every call.
    private static readonly Lock Report = new();

    private static readonly UTF8Encoding StrictUtf8 = new(false, true);

    static Proxy() => NativeLoader.Register();

    /// <summary>
    /// The native library's file, when the host names it; null (the default)
    /// finds it as the README says. Set it before the first call of any other
    /// member: the library is loaded once per process.
    /// </summary>
    /// <exception cref="InvalidOperationException">The library is already loaded.</exception>
    public static string? LibraryPath
    {
        get => NativeLoader.HostPath;
        set
        {
            lock (Lifecycle)
            {
                if (NativeLoader.Loaded)
                    throw new InvalidOperationException(
                        "velkor-proxy: the native library is already loaded; set Proxy.LibraryPath before any other call");
                NativeLoader.HostPath = value;
            }
        }
    }

    /// <summary>The native library's version, "1.0.0".</summary>
    // A constant text of the library's: no call rewrites it, so no lock.
    public static string Version => Native.Text(Native.Version());

    /// <summary>True while the service runs.</summary>
    public static bool IsRunning => Native.Status() == 1;

    /// <summary>
    /// The message of the last failed start; empty after a successful one.
    /// Returns at once, also during a start or a stop: the text as the last
    /// finished one left it.
    /// </summary>
    public static string LastError => lastError;

    /// <summary>Starts the service from a configuration.</summary>
    /// <exception cref="ArgumentException">The configuration holds a value that cannot be written for the library.</exception>
    /// <exception cref="ProxyException">The library refused the start; the message is this start's own.</exception>
    public static void Start(ProxyConfig config)
    {
        ArgumentNullException.ThrowIfNull(config);
        Start(config.ToJson());
    }

    /// <summary>
    /// Starts the service from a JSON document of one's own, passed to the
    /// library unchanged as UTF-8 (the library reads strings as written and
    /// never decodes escapes).
    /// </summary>
    /// <exception cref="ArgumentException">The text is not valid UTF-16 (a lone surrogate).</exception>
    /// <exception cref="ProxyException">The library refused the start; the message is this start's own.</exception>
    public static unsafe void Start(string configJson)
    {
        ArgumentNullException.ThrowIfNull(configJson);
        byte[] document;
        try
        {
            document = StrictUtf8.GetBytes(configJson + "\0");
        }
        catch (EncoderFallbackException e)
        {
            throw new ArgumentException("velkor-proxy: the document is not valid UTF-16 text", nameof(configJson), e);
        }
        lock (Lifecycle)
        {
            int result;
            fixed (byte* text = document) result = Native.Start(text);
            lastError = Native.Text(Native.LastError());
            if (result != 0) throw new ProxyException(lastError);
        }
    }

    /// <summary>
    /// Stops the service and returns once every thread of the library has
    /// ended (at once with no connection open, about 5 s while connections
    /// stay open). Stopping a stopped service does nothing.
    /// </summary>
    public static void Stop()
    {
        lock (Lifecycle)
        {
            Native.Stop();
            lastError = Native.Text(Native.LastError());
        }
    }

    /// <summary>The library's one-line JSON status report, as the README describes it.</summary>
    public static string GetRuntimeStatusJson()
    {
        lock (Report) return Native.Text(Native.RuntimeStatus());
    }

    /// <summary>The status report, parsed.</summary>
    public static ProxyStatus GetRuntimeStatus() => ProxyStatus.Parse(GetRuntimeStatusJson());
}

/// <summary>A start the library refused: the message is the library's own text for that start.</summary>
public sealed class ProxyException : Exception
{
    /// <summary>Makes the exception of a refused start.</summary>
    public ProxyException(string message) : base(message) { }
}
