using System.Reflection;
using System.Runtime.InteropServices;

namespace VelkorProxy;

// Finds the native library for Native's imports, first found wins: the path
// the host set (Proxy.LibraryPath), the path in VELKOR_PROXY_LIBRARY, the
// runtime's own probing (the package's runtimes/RID/native folder, the
// application's folder, then the system's search), and on Linux the
// library's versioned name, which the runtime's probing never tries.
internal static class NativeLoader
{
    internal const string EnvironmentVariable = "VELKOR_PROXY_LIBRARY";
    internal const string LinuxVersionedName = "libvelkor-proxy.so.1";
    // As buildTransitive/VelkorProxy.targets names them.
    internal const string ShippedRuntimeIdentifiers = "win-x64 and linux-x64";

    internal static string? HostPath;
    private static int loaded;

    internal static bool Loaded => Volatile.Read(ref loaded) != 0;

    internal static void Register() =>
        NativeLibrary.SetDllImportResolver(typeof(NativeLoader).Assembly, Resolve);

    private static IntPtr Resolve(string name, Assembly assembly, DllImportSearchPath? searchPath)
    {
        if (name != Native.Library) return IntPtr.Zero;
        IntPtr handle = Load(HostPath, Environment.GetEnvironmentVariable(EnvironmentVariable),
            assembly, searchPath);
        Volatile.Write(ref loaded, 1);
        return handle;
    }

    internal static IntPtr Load(string? hostPath, string? environmentPath, Assembly assembly,
        DllImportSearchPath? searchPath)
    {
        // A path the host or its environment named is the only one tried:
        // falling back to another copy would hide the mistake.
        if (!string.IsNullOrEmpty(hostPath)) return LoadNamed(hostPath, "Proxy.LibraryPath");
        if (!string.IsNullOrEmpty(environmentPath)) return LoadNamed(environmentPath, EnvironmentVariable);
        if (NativeLibrary.TryLoad(Native.Library, assembly, searchPath, out IntPtr handle)) return handle;
        if (OperatingSystem.IsLinux() &&
            (NativeLibrary.TryLoad(Path.Combine(AppContext.BaseDirectory, LinuxVersionedName), out handle) ||
             NativeLibrary.TryLoad(LinuxVersionedName, out handle)))
            return handle;
        string file = OperatingSystem.IsWindows() ? "velkor-proxy.dll" : "libvelkor-proxy.so";
        string rid = RuntimeInformation.RuntimeIdentifier;
        throw new DllNotFoundException(
            $"velkor-proxy: the native library did not load. Looked for {file} in the application's " +
            $"native assets (runtimes/{rid}/native from the VelkorProxy package) and beside the program " +
            $"in {AppContext.BaseDirectory}, then in the system's search path" +
            (OperatingSystem.IsLinux() ? $", and for {LinuxVersionedName} beside the program and in the system's search path" : "") +
            $". The VelkorProxy package ships it for {ShippedRuntimeIdentifiers} only." +
            $" Set Proxy.LibraryPath or {EnvironmentVariable} to the library's file to name it.");
    }

    private static IntPtr LoadNamed(string path, string namedBy)
    {
        try
        {
            return NativeLibrary.Load(path);
        }
        catch (Exception e) when (e is DllNotFoundException or BadImageFormatException)
        {
            throw new DllNotFoundException(
                $"velkor-proxy: the native library {path} (named by {namedBy}) did not load: {e.Message}", e);
        }
    }
}
