<#
.SYNOPSIS
Removes the per-user installation of the Vantrel print host.

.DESCRIPTION
Removes the registration of "com.vantrel.print" for Chrome, Edge, Chromium and Firefox
under HKEY_CURRENT_USER, then the folder %LOCALAPPDATA%\Programs\Vantrel Print Host
(program and manifests). The state folder %LOCALAPPDATA%\com.vantrel.print holds the
ledger of print attempts and is kept unless -RemoveState is given.

.PARAMETER RemoveState
Also remove the state folder with the ledger.

.EXAMPLE
powershell -NoProfile -ExecutionPolicy Bypass -File uninstall.ps1
powershell -NoProfile -ExecutionPolicy Bypass -File uninstall.ps1 -RemoveState
#>
[CmdletBinding()]
param([switch]$RemoveState)

Set-StrictMode -Version 3.0
$ErrorActionPreference = 'Stop'
. (Join-Path $PSScriptRoot 'host-paths.ps1')

# Registration first, so that no browser starts the host while its files go.
foreach ($subKey in $VantrelChromiumKeys + $VantrelFirefoxKey) {
    if (Remove-VantrelRegistryKey $subKey) { Write-Host "Removed HKCU\$subKey" }
}

if (Test-Path -LiteralPath $VantrelInstallDir) {
    try {
        Remove-Item -LiteralPath $VantrelInstallDir -Recurse -Force
    } catch {
        throw "Cannot remove $VantrelInstallDir, probably because a browser is running the host: close the browser and run this again. ($($_.Exception.Message))"
    }
    Write-Host "Removed $VantrelInstallDir"
}

if ($RemoveState) {
    if (Test-Path -LiteralPath $VantrelStateDir) {
        Remove-Item -LiteralPath $VantrelStateDir -Recurse -Force
        Write-Host "Removed the state folder $VantrelStateDir"
    }
} elseif (Test-Path -LiteralPath $VantrelStateDir) {
    Write-Host "Kept the state folder $VantrelStateDir (the ledger of print attempts); -RemoveState removes it"
}
