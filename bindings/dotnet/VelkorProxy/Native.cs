using System.Runtime.InteropServices;

// On Windows the library is looked for beside the assembly, in the program's
// folder and in System32, never in the current folder or on PATH, where a
// planted DLL of the same name could be.
[assembly: DefaultDllImportSearchPaths(DllImportSearchPath.AssemblyDirectory | DllImportSearchPath.SafeDirectories)]

namespace VelkorProxy;

// The library's six functions. Every returned text is a static buffer the
// library owns and rewrites: it is taken as a pointer and copied by Proxy
// under its lock, never marshalled as a string (the marshaller would free it).
internal static unsafe partial class Native
{
    internal const string Library = "velkor-proxy";

    [LibraryImport(Library, EntryPoint = "proxy_version")]
    internal static partial IntPtr Version();

    [LibraryImport(Library, EntryPoint = "proxy_last_error")]
    internal static partial IntPtr LastError();

    [LibraryImport(Library, EntryPoint = "proxy_start")]
    internal static partial int Start(byte* configJson);

    [LibraryImport(Library, EntryPoint = "proxy_stop")]
    internal static partial int Stop();

    [LibraryImport(Library, EntryPoint = "proxy_status")]
    internal static partial int Status();

    [LibraryImport(Library, EntryPoint = "proxy_runtime_status")]
    internal static partial IntPtr RuntimeStatus();

    // Copies a NUL-terminated UTF-8 text of the library's.
    internal static string Text(IntPtr text) => Marshal.PtrToStringUTF8(text) ?? "";
}
