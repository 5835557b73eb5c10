// PdbDocuments PACKAGE.snupkg: prints "PDB: DOCUMENT" for every document of
// every portable PDB in the package, one a line.
using System.IO.Compression;
using System.Reflection.Metadata;

using ZipArchive package = ZipFile.OpenRead(args[0]);
foreach (ZipArchiveEntry entry in package.Entries.Where(e => e.FullName.EndsWith(".pdb", StringComparison.Ordinal)))
{
    using var pdb = new MemoryStream();
    using (Stream packed = entry.Open()) packed.CopyTo(pdb);
    pdb.Position = 0;
    using MetadataReaderProvider provider = MetadataReaderProvider.FromPortablePdbStream(pdb);
    MetadataReader reader = provider.GetMetadataReader();
    foreach (DocumentHandle document in reader.Documents)
        Console.WriteLine($"{entry.FullName}: {reader.GetString(reader.GetDocument(document).Name)}");
}
