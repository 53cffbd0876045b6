# Runs the install for the graphical setup: Install-Vardokeep.ps1 with the form's
# values, then the texts and the entry under installed applications. Everything
# said along the way goes into the install log that the setup shows.
param(
    [string]$EnrollmentFile,
    [string]$Source,
    [string]$At,
    [string]$Log,
    [switch]$UseVss
)

$ErrorActionPreference = 'Stop'
$failed = $false

function Get-SystemFolders {
    # From the system, never from environment variables: an elevated process
    # builds its environment from the installing user's registry
    # (HKCU\Environment), so SystemRoot, ProgramFiles and ProgramData there are
    # the user's to choose. A 64-bit PowerShell gets the 64-bit Program Files.
    $folders = [pscustomobject]@{
        System32 = [Environment]::SystemDirectory
        ProgramFiles = [Environment]::GetFolderPath([Environment+SpecialFolder]::ProgramFiles)
        ProgramData = [Environment]::GetFolderPath([Environment+SpecialFolder]::CommonApplicationData)
    }
    foreach ($folder in @($folders.System32, $folders.ProgramFiles, $folders.ProgramData)) {
        if (-not [IO.Path]::IsPathRooted($folder)) { throw 'System folders could not be determined.' }
    }
    return $folders
}

function Quote-Argument([string]$Value) {
    # Windows command-line rules: backslashes before a double quote are doubled
    # and the quote escaped; trailing backslashes are doubled before the closing
    # quote. Every element is quoted, the empty one included. \z, not $: a final
    # line feed must not count as the end of the value.
    $escaped = [regex]::Replace($Value, '(\\*)"', '$1$1\"')
    $escaped = [regex]::Replace($escaped, '(\\+)\z', '$1$1')
    return '"' + $escaped + '"'
}

function Get-UninstallCommandLine([string]$PowerShellExe, [string]$UninstallScript, [string]$Machine) {
    # The installed-applications list starts the command as the user who asks,
    # unelevated, and the uninstall script requires an administrator: so the
    # entry starts Windows PowerShell to ask for elevation once. Three parsers
    # read what is built here: Windows splits the outer line, PowerShell parses
    # the decoded command, and Windows splits the inner argument string again.
    $inner = (@('-NoProfile', '-ExecutionPolicy', 'Bypass', '-File', $UninstallScript, '-Machine', $Machine) |
        ForEach-Object { Quote-Argument $_ }) -join ' '
    $literal = { param([string]$Text) "'" + [System.Management.Automation.Language.CodeGeneration]::EscapeSingleQuotedStringContent($Text) + "'" }
    $command = 'Start-Process -FilePath ' + (& $literal $PowerShellExe) + ' -Verb RunAs -ArgumentList ' + (& $literal $inner)
    $encoded = [Convert]::ToBase64String([Text.Encoding]::Unicode.GetBytes($command))
    return (Quote-Argument $PowerShellExe) + ' -NoProfile -EncodedCommand ' + $encoded
}

$output = & {
    try {
        & (Join-Path $PSScriptRoot 'Install-Vardokeep.ps1') -EnrollmentFile $EnrollmentFile -Source $Source -At $At -UseVss:$UseVss.IsPresent

        $systemFolders = Get-SystemFolders
        $installDir = Join-Path $systemFolders.ProgramFiles 'Vardokeep'
        foreach ($name in @('README.md', 'LICENSE-xxhash', 'LICENSE-lz4', 'LICENSE-blake3-CC0', 'LICENSE-blake3-Apache', 'LICENSE-Vardokeep')) {
            Copy-Item -LiteralPath (Join-Path $PSScriptRoot $name) -Destination $installDir -Force
        }

        $enrollmentPath = $ExecutionContext.SessionState.Path.GetUnresolvedProviderPathFromPSPath($EnrollmentFile)
        $machine = [string]([IO.File]::ReadAllText($enrollmentPath) | ConvertFrom-Json).Machine

        $key = 'HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Vardokeep-' + $machine
        $powerShellExe = Join-Path $systemFolders.System32 'WindowsPowerShell\v1.0\powershell.exe'
        $uninstallScript = Join-Path $installDir 'Uninstall-Vardokeep.ps1'
        $uninstallString = Get-UninstallCommandLine $powerShellExe $uninstallScript $machine
        $null = New-Item -Path $key -Force
        $null = New-ItemProperty -LiteralPath $key -Name 'DisplayName' -PropertyType String -Value ('Vardokeep Agent - ' + $machine) -Force
        $null = New-ItemProperty -LiteralPath $key -Name 'DisplayVersion' -PropertyType String -Value '0.1.0' -Force
        $null = New-ItemProperty -LiteralPath $key -Name 'Publisher' -PropertyType String -Value 'Vardo' -Force
        $null = New-ItemProperty -LiteralPath $key -Name 'InstallLocation' -PropertyType String -Value $installDir -Force
        $null = New-ItemProperty -LiteralPath $key -Name 'UninstallString' -PropertyType String -Value $uninstallString -Force
        $null = New-ItemProperty -LiteralPath $key -Name 'NoModify' -PropertyType DWord -Value 1 -Force
        $null = New-ItemProperty -LiteralPath $key -Name 'NoRepair' -PropertyType DWord -Value 1 -Force
    } catch {
        $script:failed = $true
        # The message alone: the setup window shows it as the log's last line.
        $_.Exception.Message
    }
} *>&1

# A wide rendering keeps long lines, the public key above all, on one line.
$text = $output | Out-String -Width 4096
$logPath = $ExecutionContext.SessionState.Path.GetUnresolvedProviderPathFromPSPath($Log)
[IO.File]::WriteAllText($logPath, $text, (New-Object System.Text.UTF8Encoding($false)))

if ($failed) { exit 1 }
