#Requires -RunAsAdministrator
# Installs the Vardokeep agent for one machine: protected directories, the
# machine's SSH identity and configuration, job.json and the daily backup task,
# registered disabled. Stops at the first failure and undoes nothing.
param(
    [Parameter(Mandatory = $true)][string]$EnrollmentFile,
    [Parameter(Mandatory = $true)][string]$Source,
    [ValidatePattern('^([01][0-9]|2[0-3]):[0-5][0-9]\z')][string]$At = '02:00',
    [string[]]$Exclude = @(),
    [switch]$UseVss,
    [switch]$UseVssWriters
)

$ErrorActionPreference = 'Stop'

# Patterns end in \z rather than $: .NET lets $ match before a final line feed,
# and no name here may carry one into a path, a task or a configuration line.
$MachinePattern = '^[A-Za-z0-9][A-Za-z0-9_.-]{0,47}\z'
$HostPattern = '^[A-Za-z0-9][A-Za-z0-9_.-]{0,252}\z'
$UserPattern = '^[A-Za-z0-9_-]+\z'
$HostKeyPattern = '^ssh-ed25519 [A-Za-z0-9+/]{68}\z'
$SystemSid = 'S-1-5-18'
$AdministratorsSid = 'S-1-5-32-544'
$UsersSid = 'S-1-5-32-545'
# FILE_GENERIC_READ, FILE_GENERIC_EXECUTE: what Users may have in the
# installation directory.
$ReadExecuteRights = 0x1200A9

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

function Get-FullPath([string]$Path) {
    # .NET file calls resolve relative paths against the process directory, not
    # against PowerShell's location.
    return $ExecutionContext.SessionState.Path.GetUnresolvedProviderPathFromPSPath($Path)
}

function Test-TextRule($Value, [string]$Pattern) {
    return ($Value -is [string]) -and ($Value -match $Pattern)
}

function Test-PortRule($Value) {
    $integral = ($Value -is [int]) -or ($Value -is [long])
    return $integral -and $Value -ge 1 -and $Value -le 65535
}

function Invoke-Icacls {
    # Only icacls' exit code decides. Windows PowerShell turns a native program's
    # standard error into error records once streams are merged (as Setup-Run
    # does), which Stop would make fatal before the exit code is seen. A tool
    # that cannot be started must not leave an earlier exit code behind.
    $ErrorActionPreference = 'Continue'
    $global:LASTEXITCODE = -1
    $null = & $icaclsExe @args 2>&1
    return $global:LASTEXITCODE
}

function Invoke-Takeown([string]$Path) {
    # As Invoke-Icacls: only the exit code decides.
    $ErrorActionPreference = 'Continue'
    $global:LASTEXITCODE = -1
    $null = & $takeownExe '/F' $Path '/A' 2>&1
    return $global:LASTEXITCODE
}

function Get-TreeBelow([string]$Path) {
    # Every file and folder below, listed without entering a reparse point: a
    # junction or link below would lead the recursive icacls calls, which
    # write as an administrator, out of the folder.
    $found = New-Object System.Collections.Generic.List[string]
    foreach ($item in (New-Object IO.DirectoryInfo($Path)).GetFileSystemInfos()) {
        if ($item.Attributes -band [IO.FileAttributes]::ReparsePoint) { throw 'Failed to protect installation directory.' }
        $found.Add($item.FullName)
        if ($item.Attributes -band [IO.FileAttributes]::Directory) {
            foreach ($inner in (Get-TreeBelow $item.FullName)) { $found.Add($inner) }
        }
    }
    return $found
}

function Protect-Directory([string]$Path, [switch]$UsersRead) {
    if (Test-Path -LiteralPath $Path) {
        $item = Get-Item -LiteralPath $Path -Force
        if ($item.Attributes -band [IO.FileAttributes]::ReparsePoint) {
            throw 'Installation directory cannot be a reparse point.'
        }
    } else {
        $null = [IO.Directory]::CreateDirectory($Path)
    }

    # The folder may be someone else's: made beforehand by a standard user, or
    # opened through Explorer's "Continue", which gives the administrator's own
    # account full control of it and of everything in it. An owner can always
    # rewrite the DACL. takeown uses the take-ownership privilege, which
    # icacls /setowner does not, so it succeeds whatever the DACL says.
    if ((Invoke-Takeown $Path) -ne 0) { throw 'Failed to protect installation directory.' }
    try {
        $below = @(Get-TreeBelow $Path)
    } catch {
        throw 'Failed to protect installation directory.'
    }
    $objects = @($Path) + $below

    # Any account named in an entry of its own anywhere in the tree loses
    # every entry there; what it inherits goes with the entries it came from.
    # The grants below then put back the installation directory's read entry
    # for Users, should Users have been removed with the rest.
    $sidType = [System.Security.Principal.SecurityIdentifier]
    $foreign = New-Object System.Collections.Generic.List[string]
    foreach ($object in $objects) {
        foreach ($rule in (Get-Acl -LiteralPath $object).GetAccessRules($true, $false, $sidType)) {
            $sid = $rule.IdentityReference.Value
            if ($sid -eq $SystemSid -or $sid -eq $AdministratorsSid -or $foreign.Contains($sid)) { continue }
            $usersGrant = $UsersRead -and $object -eq $Path -and $sid -eq $UsersSid -and [string]$rule.AccessControlType -eq 'Allow' -and
                ([int]$rule.FileSystemRights -band (-bnot $ReadExecuteRights)) -eq 0
            if (-not $usersGrant) { $foreign.Add($sid) }
        }
    }
    foreach ($sid in $foreign) {
        if ((Invoke-Icacls $Path '/remove' "*$sid" '/T' '/C') -ne 0) { throw 'Failed to protect installation directory.' }
    }

    $grants = @("*${SystemSid}:(OI)(CI)F", "*${AdministratorsSid}:(OI)(CI)F")
    if ($UsersRead) { $grants += "*${UsersSid}:(OI)(CI)RX" }
    $code = Invoke-Icacls $Path '/inheritance:r' '/grant:r' @grants
    if ($code -ne 0) { throw 'Failed to protect installation directory.' }
    $code = Invoke-Icacls $Path '/setowner' "*$AdministratorsSid" '/T' '/C'
    if ($code -ne 0) { throw 'Failed to protect installation directory.' }
    $keys = @($below | Where-Object { (Split-Path -Leaf $_) -eq 'id_ed25519' -and (Split-Path -Parent (Split-Path -Parent $_)) -eq $Path })
    foreach ($key in $keys) {
        if ((Invoke-Icacls $key '/setowner' "*$SystemSid") -ne 0) { throw 'Failed to protect installation directory.' }
    }

    # What is stored decides, for every object of the tree: owned by
    # Administrators (a private key by SYSTEM), nothing inherited from above
    # the folder, and entries only for SYSTEM, Administrators and, where asked,
    # Users' read and execute.
    foreach ($object in $objects) {
        $acl = Get-Acl -LiteralPath $object
        $owner = $acl.GetOwner($sidType).Value
        $sound = $owner -eq $AdministratorsSid -or $owner -eq $SystemSid
        if ($keys -contains $object) { $sound = $owner -eq $SystemSid }
        if ($object -eq $Path -and -not $acl.AreAccessRulesProtected) { $sound = $false }
        foreach ($rule in $acl.GetAccessRules($true, $true, $sidType)) {
            $sid = $rule.IdentityReference.Value
            if ($sid -eq $AdministratorsSid -or $sid -eq $SystemSid) { continue }
            $read = $UsersRead -and $sid -eq $UsersSid -and [string]$rule.AccessControlType -eq 'Allow' -and
                ([int]$rule.FileSystemRights -band (-bnot $ReadExecuteRights)) -eq 0
            if (-not $read) { $sound = $false }
        }
        if (-not $sound) { throw 'Failed to protect installation directory.' }
    }
}

function Set-AdministratorsOwner([string]$Path, [string]$Message) {
    # Explicitly: where the policy gives new objects to the administrator who
    # made them (UAC off, built-in Administrator), the runner would refuse them.
    if ((Invoke-Icacls $Path '/setowner' "*$AdministratorsSid") -ne 0) { throw $Message }
}

function Protect-Identity([string]$KeyPath) {
    # ssh-keygen gives the key a protected DACL of its own that also lets the
    # user who ran it read the key, and ssh.exe running as SYSTEM refuses a
    # private key that any other account may read. /grant:r replaces only the
    # grants of the SIDs it names, so every other SID is removed by name, and
    # /setowner is a command form of its own. The .pub file goes back to the
    # DACL it inherits from the machine directory.
    $code = Invoke-Icacls $KeyPath '/inheritance:r' '/grant:r' "*${SystemSid}:F" "*${AdministratorsSid}:F"
    if ($code -ne 0) { throw 'Failed to protect SSH identity.' }
    $sidType = [System.Security.Principal.SecurityIdentifier]
    $others = @((Get-Acl -LiteralPath $KeyPath).GetAccessRules($true, $true, $sidType) |
        ForEach-Object { $_.IdentityReference.Value } |
        Where-Object { $_ -ne $SystemSid -and $_ -ne $AdministratorsSid } | Sort-Object -Unique)
    foreach ($sid in $others) {
        $code = Invoke-Icacls $KeyPath '/remove' "*$sid"
        if ($code -ne 0) { throw 'Failed to protect SSH identity.' }
    }
    $code = Invoke-Icacls $KeyPath '/setowner' "*$SystemSid"
    if ($code -ne 0) { throw 'Failed to protect SSH identity.' }
    $code = Invoke-Icacls ($KeyPath + '.pub') '/reset'
    if ($code -ne 0) { throw 'Failed to protect SSH identity.' }
    Set-AdministratorsOwner ($KeyPath + '.pub') 'Failed to protect SSH identity.'

    # What is stored decides: owner SYSTEM, nothing inherited, and exactly the
    # two full-control grants.
    $acl = Get-Acl -LiteralPath $KeyPath
    $rules = @($acl.GetAccessRules($true, $true, $sidType))
    $sound = ($acl.GetOwner($sidType).Value -eq $SystemSid) -and $acl.AreAccessRulesProtected -and ($rules.Count -eq 2)
    $seen = @{}
    foreach ($rule in $rules) {
        $sid = $rule.IdentityReference.Value
        $full = ([string]$rule.FileSystemRights -eq 'FullControl') -and ([string]$rule.AccessControlType -eq 'Allow')
        if ($rule.IsInherited -or -not $full -or ($sid -ne $SystemSid -and $sid -ne $AdministratorsSid)) { $sound = $false }
        $seen[$sid] = $true
    }
    if (-not $sound -or $seen.Count -ne 2) { throw 'Failed to protect SSH identity.' }
}

# 1. The two shadow-copy modes exclude each other; nothing is read before this.
if ($UseVss -and $UseVssWriters) {
    throw 'Choose volume-only VSS or native writers VSS, not both.'
}

# 2. Enrollment file.
$enrollmentText = [IO.File]::ReadAllText((Get-FullPath $EnrollmentFile))
$enrollment = $enrollmentText | ConvertFrom-Json
$valid = (Test-TextRule $enrollment.Machine $MachinePattern) -and
    (Test-TextRule $enrollment.ServerHost $HostPattern) -and
    (Test-TextRule $enrollment.ServerUser $UserPattern) -and
    (Test-PortRule $enrollment.ServerPort) -and
    (Test-TextRule $enrollment.HostKey $HostKeyPattern)
if (-not $valid) { throw 'Invalid enrollment file.' }
$Machine = [string]$enrollment.Machine
$ServerHost = [string]$enrollment.ServerHost
$ServerUser = [string]$enrollment.ServerUser
$ServerPort = [long]$enrollment.ServerPort
$HostKey = [string]$enrollment.HostKey

# 3. Source. ProviderPath keeps a UNC source free of the provider prefix.
$sourcePath = (Resolve-Path -LiteralPath $Source).ProviderPath
if (-not (Test-Path -LiteralPath $sourcePath -PathType Container)) {
    throw 'Source must be a directory.'
}

# 4. OpenSSH client. icacls.exe and takeown.exe too are named by their full
# paths: the search path is the user's as well.
$systemFolders = Get-SystemFolders
$icaclsExe = Join-Path $systemFolders.System32 'icacls.exe'
$takeownExe = Join-Path $systemFolders.System32 'takeown.exe'
$openSshDir = Join-Path $systemFolders.System32 'OpenSSH'
$sshExe = Join-Path $openSshDir 'ssh.exe'
$sshKeygenExe = Join-Path $openSshDir 'ssh-keygen.exe'
if (-not (Test-Path -LiteralPath $sshExe -PathType Leaf) -or -not (Test-Path -LiteralPath $sshKeygenExe -PathType Leaf)) {
    throw 'Install Microsoft OpenSSH Client first: Add-WindowsCapability -Online -Name OpenSSH.Client~~~~0.0.1.0'
}

# 5. Installation and state directories. Users may read the installation
# directory, as any folder under Program Files, so that Explorer opens it
# without offering "Continue"; nothing in it is secret.
$installDir = Join-Path $systemFolders.ProgramFiles 'Vardokeep'
$stateDir = Join-Path $systemFolders.ProgramData 'Vardokeep'
Protect-Directory $installDir -UsersRead
Protect-Directory $stateDir

# 6. Agent and companion scripts.
foreach ($name in @('vardokeep-agent.exe', 'Run-Backup.ps1', 'Uninstall-Vardokeep.ps1')) {
    Copy-Item -LiteralPath (Join-Path $PSScriptRoot $name) -Destination $installDir -Force
    Set-AdministratorsOwner (Join-Path $installDir $name) 'Failed to protect installation directory.'
}

# 7. Machine directory.
$machineDir = Join-Path $stateDir $Machine
if (Test-Path -LiteralPath $machineDir) {
    throw 'Machine already installed. Review the existing configuration before replacing it.'
}
$null = [IO.Directory]::CreateDirectory($machineDir)
Set-AdministratorsOwner $machineDir 'Failed to protect installation directory.'

# 8. Key. One prepared argument string, so that -N gets an explicit empty
# passphrase under Windows PowerShell 5.1.
$keyPath = Join-Path $machineDir 'id_ed25519'
$keygenArguments = '-q -t ed25519 -N "" -f "' + $keyPath + '"'
$keygen = Start-Process -FilePath $sshKeygenExe -ArgumentList $keygenArguments -NoNewWindow -Wait -PassThru
if ($keygen.ExitCode -ne 0) { throw 'SSH key generation failed.' }

# 9. Only SYSTEM and Administrators reach the private key; SYSTEM owns it.
Protect-Identity $keyPath

# 10. known_hosts and ssh.conf.
$knownHostsPath = Join-Path $machineDir 'known_hosts'
$sshConfigPath = Join-Path $machineDir 'ssh.conf'
if ($ServerPort -eq 22) {
    $hostPattern = $ServerHost
} else {
    $hostPattern = '[' + $ServerHost + ']:' + $ServerPort
}
[IO.File]::WriteAllText($knownHostsPath, $hostPattern + ' ' + $HostKey + "`n", [Text.Encoding]::ASCII)
$sshConfig = 'Host vardo-backup' + "`n" +
    ' HostName ' + $ServerHost + "`n" +
    ' Port ' + $ServerPort + "`n" +
    ' User ' + $ServerUser + "`n" +
    ' IdentityFile "' + $keyPath.Replace('\', '/') + '"' + "`n" +
    ' UserKnownHostsFile "' + $knownHostsPath.Replace('\', '/') + '"' + "`n" +
    ' StrictHostKeyChecking yes' + "`n" +
    ' IdentitiesOnly yes' + "`n" +
    ' BatchMode yes' + "`n"
[IO.File]::WriteAllText($sshConfigPath, $sshConfig, (New-Object System.Text.UTF8Encoding($false)))
Set-AdministratorsOwner $knownHostsPath 'Failed to protect installation directory.'
Set-AdministratorsOwner $sshConfigPath 'Failed to protect installation directory.'

# 11. The agent's own configuration never becomes part of a backup: a source
# inside it is refused, a source around it excludes it. The separator is the
# platform's own, a backslash on Windows.
$separator = [IO.Path]::DirectorySeparatorChar
$sourceBase = $sourcePath.TrimEnd($separator) + $separator
$ignoreCase = [StringComparison]::OrdinalIgnoreCase
$excludes = New-Object System.Collections.Generic.List[string]
foreach ($privatePath in @($stateDir, $installDir)) {
    if ($sourcePath.Equals($privatePath, $ignoreCase) -or $sourcePath.StartsWith($privatePath + $separator, $ignoreCase)) {
        throw 'Agent configuration cannot be the backup source.'
    }
    if ($privatePath.StartsWith($sourceBase, $ignoreCase)) {
        $excludes.Add($privatePath.Substring($sourceBase.Length).Replace([string]$separator, '/'))
    }
}
foreach ($value in $Exclude) { $excludes.Add([string]$value) }

# 12. job.json, read by Run-Backup.ps1.
$job = [ordered]@{
    Machine = $Machine
    Source = $sourcePath
    SshConfig = $sshConfigPath
    Destination = 'vardo-backup'
    UseVss = $UseVss.IsPresent
    UseVssWriters = $UseVssWriters.IsPresent
    Excludes = $excludes.ToArray()
}
$jobJson = ConvertTo-Json -InputObject $job -Depth 4
$jobPath = Join-Path $machineDir 'job.json'
[IO.File]::WriteAllText($jobPath, $jobJson, (New-Object System.Text.UTF8Encoding($true)))
Set-AdministratorsOwner $jobPath 'Failed to protect installation directory.'

# 13. The daily task, as SYSTEM, left disabled until the key is registered.
$taskName = 'Vardokeep-' + $Machine
$powerShellExe = Join-Path $systemFolders.System32 'WindowsPowerShell\v1.0\powershell.exe'
$runBackupPath = Join-Path $installDir 'Run-Backup.ps1'
$taskArguments = '-NoProfile -NonInteractive -ExecutionPolicy Bypass -File "' + $runBackupPath + '" -Machine "' + $Machine + '"'
$action = New-ScheduledTaskAction -Execute $powerShellExe -Argument $taskArguments
$trigger = New-ScheduledTaskTrigger -Daily -At $At
$principal = New-ScheduledTaskPrincipal -UserId 'SYSTEM' -LogonType ServiceAccount -RunLevel Highest
# A backup that started on mains goes on when the laptop is unplugged: a stop
# ends the runner with TerminateProcess, before it can remove its own shadow
# copy. Whether a backup may start on battery stays Windows' default (no).
$settings = New-ScheduledTaskSettingsSet -MultipleInstances IgnoreNew -StartWhenAvailable -RestartCount 3 -RestartInterval (New-TimeSpan -Minutes 5) -ExecutionTimeLimit (New-TimeSpan -Hours 12) -DontStopIfGoingOnBatteries
$null = Register-ScheduledTask -TaskName $taskName -Action $action -Trigger $trigger -Principal $principal -Settings $settings
$null = Disable-ScheduledTask -TaskName $taskName

# 14. What the administrator does next.
$publicKey = [IO.File]::ReadAllText($keyPath + '.pub').TrimEnd()
Write-Host 'Paste this public key into the Vardokeep Windows enrollment form:'
Write-Host $publicKey
Write-Host ('After registering the key: Enable-ScheduledTask -TaskName "' + $taskName + '"')
Write-Host ('First test: Start-ScheduledTask -TaskName "' + $taskName + '"')
Write-Host ('Local logs: ' + $machineDir)
