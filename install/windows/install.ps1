<#
.SYNOPSIS
Installs the Vantrel print host for the current user; no administrator rights needed.

.DESCRIPTION
Copies vantrel-print-host.exe to %LOCALAPPDATA%\Programs\Vantrel Print Host, writes the
native-messaging host manifest "com.vantrel.print" there from manifest.template.json and
registers it under HKEY_CURRENT_USER for Chrome, Edge and Chromium (allowed_origins).
With -FirefoxExtensionIds it also writes the Firefox form of the manifest
(allowed_extensions) and registers it for Firefox. Running it again updates everything;
a Firefox registration is removed when no Firefox ids are given.

.PARAMETER AllowedOrigins
Extension origins that may start the host, each "chrome-extension://<32 letters a-p>/"
(the trailing slash is required). Several may be given, separated by commas.

.PARAMETER FirefoxExtensionIds
Firefox extension ids that may start the host ("name@example.com" or "{uuid}").

.PARAMETER HostExe
The built host. Default: vantrel-print-host.exe beside this script (a package made by
scripts\build-windows.ps1), else the MSVC or MinGW-w64 build in the source tree.

.EXAMPLE
powershell -NoProfile -ExecutionPolicy Bypass -File install.ps1 -AllowedOrigins chrome-extension://abcdefghijklmnopabcdefghijklmnop/
#>
[CmdletBinding()]
param(
    [Parameter(Mandatory = $true)][string[]]$AllowedOrigins,
    [string[]]$FirefoxExtensionIds = @(),
    [string]$HostExe = ''
)

Set-StrictMode -Version 3.0
$ErrorActionPreference = 'Stop'
. (Join-Path $PSScriptRoot 'host-paths.ps1')

# "-File install.ps1 -AllowedOrigins a,b" passes one string "a,b": split it here. Callers
# wrap the result in @() since a function's output of one item is not an array.
function Split-List([string[]]$Values) {
    @($Values | ForEach-Object { $_ -split ',' } | ForEach-Object { $_.Trim() } | Where-Object { $_ })
}

# A JSON string literal: backslash, quotation mark and control characters escaped.
function ConvertTo-JsonText([string]$Text) {
    $escaped = $Text.Replace('\', '\\').Replace('"', '\"')
    $escaped = [regex]::Replace($escaped, '[\x00-\x1f]', { param($m) '\u{0:x4}' -f [int][char]$m.Value })
    '"' + $escaped + '"'
}

# The manifest from the template: each placeholder token occurs exactly once and is
# replaced whole (tests/browser/chromium_rig.py renders the same template the same way).
function New-HostManifest([string]$TemplateText, [string]$HostPath, [string]$AllowedKey, [string[]]$Allowed) {
    $replacements = [ordered]@{
        '"@HOST_PATH@"'      = ConvertTo-JsonText $HostPath
        '"@ALLOWED_KEY@"'    = ConvertTo-JsonText $AllowedKey
        '["@ALLOWED_LIST@"]' = '[' + ((@($Allowed) | ForEach-Object { ConvertTo-JsonText $_ }) -join ', ') + ']'
    }
    $text = $TemplateText
    foreach ($token in $replacements.Keys) {
        $count = [regex]::Matches($text, [regex]::Escape($token)).Count
        if ($count -ne 1) { throw "The manifest template must hold $token exactly once (it holds it $count times)." }
        $text = $text.Replace($token, $replacements[$token])
    }
    $null = ConvertFrom-Json -InputObject $text  # throws unless the result is JSON
    $text
}

function Write-TextFile([string]$Path, [string]$Text) {
    # UTF-8 without a byte-order mark, which not every browser's reader skips.
    [System.IO.File]::WriteAllText($Path, $Text, (New-Object System.Text.UTF8Encoding($false)))
}

function Set-ManifestKey([string]$SubKey, [string]$ManifestPath) {
    $key = [Microsoft.Win32.Registry]::CurrentUser.CreateSubKey($SubKey)
    try { $key.SetValue('', $ManifestPath, [Microsoft.Win32.RegistryValueKind]::String) }
    finally { $key.Dispose() }
}

# ---- inputs

$origins = @(Split-List $AllowedOrigins)
if ($origins.Count -eq 0) { throw 'Give at least one extension origin with -AllowedOrigins.' }
foreach ($origin in $origins) {
    if ($origin -cnotmatch '^chrome-extension://[a-p]{32}/$') {
        throw "Not an extension origin: '$origin' (expected chrome-extension://<32 letters a-p>/, with the trailing slash)."
    }
}
$firefoxIds = @(Split-List $FirefoxExtensionIds)
foreach ($id in $firefoxIds) {
    if ($id -cnotmatch '^(\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\}|[A-Za-z0-9._+-]*@[A-Za-z0-9._-]+)$') {
        throw "Not a Firefox extension id: '$id' (expected name@example.com or {uuid})."
    }
}

if (-not $HostExe) {
    $repo = Join-Path $PSScriptRoot '..\..'
    $HostExe = @(
        (Join-Path $PSScriptRoot $VantrelHostExeName),
        (Join-Path $repo "build\windows-msvc-x64\Release\$VantrelHostExeName"),
        (Join-Path $repo "build\windows-mingw-x64\$VantrelHostExeName")
    ) | Where-Object { Test-Path -LiteralPath $_ -PathType Leaf } | Select-Object -First 1
    if (-not $HostExe) { throw "No built $VantrelHostExeName found: build it (scripts\build-windows.ps1) or give -HostExe." }
}
if (-not (Test-Path -LiteralPath $HostExe -PathType Leaf)) { throw "No such file: $HostExe" }
$HostExe = (Resolve-Path -LiteralPath $HostExe).ProviderPath

$template = @(
    (Join-Path $PSScriptRoot 'manifest.template.json'),
    (Join-Path $PSScriptRoot '..\manifest.template.json')
) | Where-Object { Test-Path -LiteralPath $_ -PathType Leaf } | Select-Object -First 1
if (-not $template) { throw 'manifest.template.json is missing (beside this script or one folder up).' }
$templateText = [System.IO.File]::ReadAllText((Resolve-Path -LiteralPath $template).ProviderPath)

# Render both manifests before anything changes, so a bad input changes nothing.
$chromiumManifest = New-HostManifest $templateText $VantrelInstalledExe 'allowed_origins' $origins
$firefoxManifest = if ($firefoxIds.Count -gt 0) {
    New-HostManifest $templateText $VantrelInstalledExe 'allowed_extensions' $firefoxIds
} else { $null }

# ---- the program

New-Item -ItemType Directory -Path $VantrelInstallDir -Force | Out-Null
if ($HostExe -ne $VantrelInstalledExe) {
    try {
        Copy-Item -LiteralPath $HostExe -Destination $VantrelInstalledExe -Force
    } catch {
        throw "Cannot replace $VantrelInstalledExe, probably because a browser is running it: close the browser and run the installer again. ($($_.Exception.Message))"
    }
}

# ---- manifests and registration

Write-TextFile $VantrelChromiumManifest $chromiumManifest
foreach ($subKey in $VantrelChromiumKeys) { Set-ManifestKey $subKey $VantrelChromiumManifest }

if ($null -ne $firefoxManifest) {
    Write-TextFile $VantrelFirefoxManifest $firefoxManifest
    Set-ManifestKey $VantrelFirefoxKey $VantrelFirefoxManifest
} else {
    $null = Remove-VantrelRegistryKey $VantrelFirefoxKey
    Remove-Item -LiteralPath $VantrelFirefoxManifest -Force -ErrorAction SilentlyContinue
}

Write-Host "Installed $VantrelInstalledExe"
Write-Host "Chrome, Edge and Chromium: $VantrelChromiumManifest"
foreach ($subKey in $VantrelChromiumKeys) { Write-Host "  HKCU\$subKey" }
if ($null -ne $firefoxManifest) {
    Write-Host "Firefox: $VantrelFirefoxManifest"
    Write-Host "  HKCU\$VantrelFirefoxKey"
} else {
    Write-Host 'Firefox: not registered (no -FirefoxExtensionIds given)'
}
Write-Host "State folder (created by the host on first use): $VantrelStateDir"
