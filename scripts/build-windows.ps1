<#
.SYNOPSIS
Builds the Windows host with vcpkg and CMake presets.

.DESCRIPTION
Configures and builds one of the Windows presets of CMakePresets.json:
  msvc   windows-msvc-x64: Visual Studio 2022, x64, Release, static C/C++ runtime (/MT),
         vcpkg triplet x64-windows-static; needs a Developer PowerShell or just Visual Studio.
  mingw  windows-mingw-x64: MinGW-w64 g++ (for example an MSYS2 MINGW64 or UCRT64 shell
         with g++, cmake and ninja on PATH), Release, linked -static, triplet x64-mingw-static.
vcpkg builds the libraries of vcpkg.json in manifest mode on the first run (minutes).
The DLLs the executable imports are listed at the end. The MSI packages are built on
Linux (scripts/build) or with WiX 3 from install\windows\vantrel-print-host.wxs, see
install\README.md.

.PARAMETER Toolchain
msvc (default) or mingw.

.EXAMPLE
$env:VCPKG_ROOT = 'C:\src\vcpkg'
powershell -NoProfile -ExecutionPolicy Bypass -File scripts\build-windows.ps1 -Toolchain msvc
#>
[CmdletBinding()]
param([ValidateSet('msvc', 'mingw')][string]$Toolchain = 'msvc')

Set-StrictMode -Version 3.0
$ErrorActionPreference = 'Stop'

$root = (Resolve-Path -LiteralPath (Join-Path $PSScriptRoot '..')).ProviderPath
if (-not $env:VCPKG_ROOT -or -not (Test-Path -LiteralPath (Join-Path $env:VCPKG_ROOT 'scripts\buildsystems\vcpkg.cmake'))) {
    throw 'Set VCPKG_ROOT to a bootstrapped vcpkg checkout (one holding scripts\buildsystems\vcpkg.cmake).'
}

$preset = @{ msvc = 'windows-msvc-x64'; mingw = 'windows-mingw-x64' }[$Toolchain]
$exe = @{
    msvc  = Join-Path $root 'build\windows-msvc-x64\Release\vantrel-print-host.exe'
    mingw = Join-Path $root 'build\windows-mingw-x64\vantrel-print-host.exe'
}[$Toolchain]

Push-Location $root
try {
    & cmake --preset $preset
    if ($LASTEXITCODE -ne 0) { throw "cmake --preset $preset failed ($LASTEXITCODE)" }
    & cmake --build --preset $preset
    if ($LASTEXITCODE -ne 0) { throw "cmake --build --preset $preset failed ($LASTEXITCODE)" }
} finally {
    Pop-Location
}
if (-not (Test-Path -LiteralPath $exe -PathType Leaf)) { throw "The build did not produce $exe" }

Write-Host "Built: $exe"

# The imported DLLs: only system DLLs may appear (no VCRUNTIME, MSVCP or libstdc++).
$dumpbin = Get-Command dumpbin.exe -ErrorAction SilentlyContinue
$objdump = Get-Command objdump.exe -ErrorAction SilentlyContinue
if ($dumpbin) {
    & $dumpbin.Source /nologo /dependents $exe
} elseif ($objdump) {
    & $objdump.Source -p $exe | Select-String 'DLL Name'
} else {
    Write-Host 'dumpbin or objdump not on PATH: the imported DLLs are not listed.'
}
