# Where the per-user installation of the Vantrel print host lives. Dot-sourced by
# install.ps1 and uninstall.ps1 so that both work on the same names.

$VantrelHostName = 'com.vantrel.print'
$VantrelHostExeName = 'vantrel-print-host.exe'

# The same folder the host finds with SHGetKnownFolderPath(FOLDERID_LocalAppData).
$VantrelLocalAppData = [Environment]::GetFolderPath([Environment+SpecialFolder]::LocalApplicationData)
if ([string]::IsNullOrWhiteSpace($VantrelLocalAppData)) {
    throw 'The local application-data folder of this user is unknown.'
}

$VantrelInstallDir = Join-Path $VantrelLocalAppData 'Programs\Vantrel Print Host'
$VantrelInstalledExe = Join-Path $VantrelInstallDir $VantrelHostExeName
$VantrelChromiumManifest = Join-Path $VantrelInstallDir "$VantrelHostName.json"
$VantrelFirefoxManifest = Join-Path $VantrelInstallDir "$VantrelHostName.firefox.json"
# The host's state folder (the ledger of print attempts): removed only on request.
$VantrelStateDir = Join-Path $VantrelLocalAppData $VantrelHostName

# Sub-keys of HKEY_CURRENT_USER whose default value names a manifest. Edge looks in its
# own key, then Chromium's and Chrome's; the first hit wins, so all three name the same file.
$VantrelChromiumKeys = @(
    "Software\Google\Chrome\NativeMessagingHosts\$VantrelHostName",
    "Software\Microsoft\Edge\NativeMessagingHosts\$VantrelHostName",
    "Software\Chromium\NativeMessagingHosts\$VantrelHostName"
)
$VantrelFirefoxKey = "Software\Mozilla\NativeMessagingHosts\$VantrelHostName"

function Remove-VantrelRegistryKey([string]$SubKey) {
    # Only the host's own key goes; the browsers' NativeMessagingHosts keys stay. Returns
    # whether there was one.
    $existing = [Microsoft.Win32.Registry]::CurrentUser.OpenSubKey($SubKey)
    if ($null -eq $existing) { return $false }
    $existing.Dispose()
    [Microsoft.Win32.Registry]::CurrentUser.DeleteSubKeyTree($SubKey, $false)
    return $true
}
