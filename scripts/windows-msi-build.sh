#!/usr/bin/env bash
# The Windows installer, from the staged files of the release zip.
#
#   scripts/windows-msi-build.sh STAGE_DIR VERSION OUT.msi
#
# wixl (msitools) builds packaging/windows/velkor-proxy.wxs. What wixl 0.101
# drops with a warning (Permanent, NeverOverwrite) or refuses (ServiceConfig,
# Permission, RemoveFile) is then written into the package's tables with
# msibuild, and the tables are read back with msiinfo: a row that is missing
# or differs fails the build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -eq 3 ] || { echo "usage: $0 STAGE_DIR VERSION OUT.msi" >&2; exit 2; }
stage=$(cd "$1" && pwd) version=$2 out=$3
say() { printf 'windows-msi-build: %s\n' "$*"; }
fail() { say "FAILED: $*"; exit 1; }
for tool in wixl msibuild msiinfo; do
    command -v "$tool" >/dev/null || fail "no $tool (scripts/build-windows.sh packages)"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The plain-HTTP example is the configuration a new install starts from.
sed 's/$/\r/' "$root/examples/config/plain-http.json" > "$work/config.json"
# wixl takes source paths relative to the current folder only.
ln -s "$stage" "$work/stage"
(cd "$work" && wixl -a x64 -D Version="$version" -D Stage=stage -D Config=config.json \
    -o package.msi "$root/packaging/windows/velkor-proxy.wxs") 2>"$work/wixl.log" ||
    { cat "$work/wixl.log" >&2; fail "wixl"; }

# --- What wixl cannot say --------------------------------------------------
tab=$'\t'
# $1 table, $2 column names, $3 column types, $4 key columns, then rows
# (columns separated by "|"): an .idt file for msibuild -i.
idt() {
    local table=$1 names=$2 types=$3 keys=$4 row
    shift 4
    {
        printf '%s\r\n' "${names//|/$tab}" "${types//|/$tab}" "$table$tab${keys//|/$tab}"
        for row; do printf '%s\r\n' "${row//|/$tab}"; done
    } > "$work/$table.idt"
    msibuild "$work/package.msi" -i "$work/$table.idt"
}
sql() { msibuild "$work/package.msi" -q "$1"; }

# 64-bit (256) + Permanent (16) + NeverOverwrite (128): the configuration is
# installed only where none exists and never removed.
sql "UPDATE Component SET Attributes = 400 WHERE Component = 'Configuration'"
# A build of the same version replaces an installed one too (IncludeMaximum,
# 512), rather than installing beside it under a second ProductCode.
# (Attributes is part of the key: the row is replaced.)
upgrade_code={68000A5E-8D9B-4E5C-8750-EF644925A89F}
sql "DELETE FROM Upgrade WHERE ActionProperty = 'WIX_UPGRADE_DETECTED'"
sql "INSERT INTO Upgrade (UpgradeCode, VersionMax, Attributes, ActionProperty) VALUES ('$upgrade_code', '$version', 513, 'WIX_UPGRADE_DETECTED')"
# wixl leaves the versions of the binaries out, so the installer would take
# them for unversioned files; the release checked their resources say this.
for file in velkor_proxy.exe velkor_proxy.dll; do
    sql "UPDATE File SET Version = '$version.0' WHERE File = '$file'"
done

# The pre-shutdown time --install-service sets (SERVICE_CONFIG_PRESHUTDOWN_INFO,
# 7), on install (1). MsiConfigureServices runs between InstallServices and
# StartServices.
idt MsiServiceConfig 'MsiServiceConfig|Name|Event|ConfigType|Argument|Component_' \
    's72|s255|i2|i4|S0|s72' MsiServiceConfig \
    'Preshutdown|velkor-proxy|1|7|15000|Program'
sql "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('MsiConfigureServices', 5850)"

# Access rights, set when the installer creates them (the folder with the
# configuration). The folder: full control for SYSTEM and Administrators;
# LocalService may read everything in it and create files, and owns what it
# creates (its log); ordinary users have no access. Protected (P): nothing
# inherited from ProgramData, whose rights let every user create files.
# The configuration: the same, LocalService reading only.
folder_sddl='D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;LS)(A;;0x2;;;LS)(A;OIIO;FA;;;CO)'
config_sddl='D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;LS)'
idt MsiLockPermissionsEx 'MsiLockPermissionsEx|LockObject|Table|SDDLText|Condition' \
    's72|s72|s32|s0|S255' MsiLockPermissionsEx \
    "DataFolder|DATADIR|CreateFolder|$folder_sddl|" \
    "ConfigFile|config.json|File|$config_sddl|"

# Python writes __pycache__ beside velkor_proxy.py when an administrator
# imports it from the program's folder: removed with the program (2).
sql "INSERT INTO Directory (Directory, Directory_Parent, DefaultDir) VALUES ('PYCACHE', 'INSTALLDIR', '__pycache__')"
sql "INSERT INTO RemoveFile (FileKey, Component_, FileName, DirProperty, InstallMode) VALUES ('PyCacheFiles', 'Program', '*.pyc', 'PYCACHE', 2)"
sql "INSERT INTO RemoveFile (FileKey, Component_, DirProperty, InstallMode) VALUES ('PyCacheFolder', 'Program', 'PYCACHE', 2)"

# --- Read back ---------------------------------------------------------------
# $1 table, then rows it must hold, exactly ("|" between columns).
expect_rows() {
    local table=$1 row rows
    shift
    rows=$(msiinfo export "$work/package.msi" "$table" | tr -d '\r') ||
        fail "no $table table"
    for row; do
        grep -qxF "${row//|/$tab}" <<<"$rows" ||
            fail "$table lacks the row '$row'; it has:"$'\n'"$(sed 's/^/  /' <<<"${rows//$tab/|}")"
    done
}
# $1 table, $2 the number of rows it must have (after its three header lines).
expect_count() {
    local got
    got=$(msiinfo export "$work/package.msi" "$1" | tail -n +4 | wc -l)
    [ "$got" -eq "$2" ] || fail "$1 has $got rows, not $2"
}

expect_rows Property "ProductVersion|$version" 'ALLUSERS|1' \
    "UpgradeCode|$upgrade_code"
expect_rows Component \
    'Program|{DAF5B6F7-56FE-4197-AF2A-987EA5F1DE5A}|INSTALLDIR|256||velkor_proxy.exe' \
    'Header|{906C4EC3-C44B-4F36-84D6-8EC1ACFE5835}|INCLUDEDIR|256||velkor_proxy.h' \
    'Libraries|{EE8319B1-99F0-4A1E-A3B9-D588C8035AF4}|LIBDIR|256||velkor_proxy.lib' \
    'ExampleC|{EC4ED989-AA26-4458-8AEB-5EE4EC85648F}|EXAMPLES_C|256||minimal_host.c' \
    'ExampleCpp|{3FCB29D8-D0BC-4987-9CEA-D11A143C7759}|EXAMPLES_CPP|256||minimal_host.cpp' \
    'ExampleWindows|{7B73A222-DD49-4D7E-9E47-1C887DDA1BEA}|EXAMPLES_WINDOWS|256||load_library_host.c' \
    'ExampleConfigs|{15F4A7CD-F61C-4117-96D3-38A6333113B6}|EXAMPLES_CONFIG|256||plain_http.json' \
    'Configuration|{8022AD0B-08EC-48F6-8F63-5184EB594248}|DATADIR|400||config.json'
expect_count Component 8
# Every staged file but the PDBs, and the configuration.
files=$(msiinfo export "$work/package.msi" File | tail -n +4 | cut -f 2,3 | tr -d '\r')
want_files=$( (cd "$stage" && find . -type f ! -name '*.pdb' -printf '%f\n'; echo config.json) | sort)
[ "$(cut -f 2 <<<"$files" | sort)" = "$want_files" ] ||
    fail "the File table differs from the staged files: $(diff <(cut -f 2 <<<"$files" | sort) - <<<"$want_files" | tr '\n' ' ')"
grep -qxF "Configuration${tab}config.json" <<<"$files" || fail "config.json is not in Configuration"
expect_rows File "velkor_proxy.exe|Program|velkor-proxy.exe|$(stat -c %s "$stage/velkor-proxy.exe")|$version.0||512|1" \
    "velkor_proxy.dll|Program|velkor-proxy.dll|$(stat -c %s "$stage/velkor-proxy.dll")|$version.0||512|2"
expect_rows ServiceInstall \
    "Service|velkor-proxy|velkor-proxy|16|2|1|||NT AUTHORITY\\LocalService||--run-as-service \"[DATADIR]config.json\"|Program|velkor-proxy reverse proxy serving [DATADIR]config.json"
expect_rows ServiceControl 'StartService|velkor-proxy|1||0|Program' \
    'StopService|velkor-proxy|162||1|Program'
expect_count ServiceControl 2
expect_rows Upgrade "$upgrade_code||$version||513||WIX_UPGRADE_DETECTED" \
    "$upgrade_code|$version|||2||WIX_DOWNGRADE_DETECTED"
expect_rows LaunchCondition 'NOT WIX_DOWNGRADE_DETECTED|A later version of velkor-proxy is already installed.'
expect_rows MsiServiceConfig 'Preshutdown|velkor-proxy|1|7|15000|Program'
expect_rows MsiLockPermissionsEx "DataFolder|DATADIR|CreateFolder|$folder_sddl|" \
    "ConfigFile|config.json|File|$config_sddl|"
expect_rows CreateFolder 'DATADIR|Configuration'
expect_rows RemoveFile 'PyCacheFiles|Program|*.pyc|PYCACHE|2' 'PyCacheFolder|Program||PYCACHE|2'
sequence=$(msiinfo export "$work/package.msi" InstallExecuteSequence | cut -f 1)
for action in RemoveExistingProducts StopServices DeleteServices RemoveFiles InstallFiles \
              CreateFolders InstallServices MsiConfigureServices StartServices; do
    grep -qxF "$action" <<<"$sequence" || fail "InstallExecuteSequence lacks $action"
done
# x64, and Windows Installer 5 (the schema of the two added tables).
summary=$(msiinfo suminfo "$work/package.msi")
grep -qx 'Template: x64;1033' <<<"$summary" && grep -q '^Version: 500 ' <<<"$summary" ||
    fail "not an x64 package for Windows Installer 5: $summary"

mv "$work/package.msi" "$out"
say "made $out"
