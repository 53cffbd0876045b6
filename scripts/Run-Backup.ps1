# Runs one backup of one machine, as the daily task does: one run per machine at
# a time, optionally on a volume shadow copy of its own, the agent's output kept
# in time-stamped logs (the newest 14 of each kind), the agent's exit code last.
param(
    [Parameter(Mandatory = $true)][ValidatePattern('^[A-Za-z0-9][A-Za-z0-9_.-]{0,47}\z')][string]$Machine
)

$ErrorActionPreference = 'Stop'

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

function Add-ErrorLogLine([string]$Path, [string]$Line) {
    [IO.File]::AppendAllText($Path, $Line + "`r`n", (New-Object System.Text.UTF8Encoding($false)))
}

function Get-SourceVolume([string]$Source) {
    # The volume that holds the source is the one at the longest mount point
    # that begins it: the shadow copy of C: does not hold a volume mounted at
    # C:\Mounts\Data\. Win32_Volume's Name is a volume's drive root or mounted
    # folder, with its trailing backslash, or its GUID path when it has neither,
    # and DeviceID its GUID path, which Win32_ShadowCopy.Create takes as Volume
    # as it takes a drive letter or mount point (Win32_Volume and Create
    # documentation). Name shows one mount point per volume: a source below
    # another, like one that crosses a junction, leads out of the shadow copy,
    # and the agent refuses it. A drive that no volume names (a mapped or subst
    # drive) goes to Create as its root, as before.
    $holder = [pscustomobject]@{ Volume = $Source.Substring(0, 3); Rest = $Source.Substring(3) }
    $longest = 0
    foreach ($volume in @(Get-CimInstance -ClassName Win32_Volume)) {
        $mountPoint = [string]$volume.Name
        if ($mountPoint -notmatch '^[A-Za-z]:\\' -or -not $mountPoint.EndsWith('\')) { continue }
        # The mount point's own folder is the volume's root.
        if (-not ($Source + '\').StartsWith($mountPoint, [StringComparison]::OrdinalIgnoreCase)) { continue }
        if ($mountPoint.Length -le $longest) { continue }
        $longest = $mountPoint.Length
        $rest = ''
        if ($Source.Length -gt $mountPoint.Length) { $rest = $Source.Substring($mountPoint.Length) }
        $holder = [pscustomobject]@{ Volume = [string]$volume.DeviceID; Rest = $rest }
    }
    return $holder
}

function Get-AgentTimeLimit {
    # The task allows 12 hours (its ExecutionTimeLimit); then Task Scheduler
    # closes the runner and, since the task allows it (AllowHardTerminate),
    # ends it with TerminateProcess, so no clean-up of the runner's would run
    # and its shadow copy and marker would stay. The runner stops the agent
    # itself half an hour earlier, while it can still clean up.
    return New-TimeSpan -Hours 11 -Minutes 30
}

function Remove-OldLogs([string]$Directory, [string]$Pattern) {
    # -Filter alone also matches longer extensions through short names.
    Get-ChildItem -LiteralPath $Directory -Filter $Pattern -File |
        Where-Object { $_.Name -like $Pattern } |
        Sort-Object LastWriteTime -Descending |
        Select-Object -Skip 14 |
        Remove-Item -Force
}

function Assert-OnlyAdministratorsWrite([string[]]$Paths) {
    # What SYSTEM runs and reads must be changeable only by SYSTEM and
    # Administrators: an owner may always rewrite the DACL, and an allow entry
    # for anyone else with any of FILE_WRITE_DATA/ADD_FILE, FILE_APPEND_DATA/
    # ADD_SUBDIRECTORY, FILE_DELETE_CHILD, DELETE, WRITE_DAC, WRITE_OWNER,
    # GENERIC_WRITE or GENERIC_ALL lets that account change or replace the
    # object (Explorer's "Continue" on these folders leaves such entries).
    # Deny entries only take rights away; an inherit-only entry does not apply
    # to the object that holds it.
    $trusted = @('S-1-5-18', 'S-1-5-32-544')
    $writeRights = 0x500D0046
    $inheritOnly = [int][System.Security.AccessControl.PropagationFlags]::InheritOnly
    $sidType = [System.Security.Principal.SecurityIdentifier]
    foreach ($path in $Paths) {
        $acl = Get-Acl -LiteralPath $path
        $sound = $trusted -contains $acl.GetOwner($sidType).Value
        foreach ($rule in $acl.GetAccessRules($true, $true, $sidType)) {
            if ([string]$rule.AccessControlType -ne 'Allow') { continue }
            if ($trusted -contains $rule.IdentityReference.Value) { continue }
            if (([int]$rule.PropagationFlags -band $inheritOnly) -ne 0) { continue }
            if (([int]$rule.FileSystemRights -band $writeRights) -ne 0) { $sound = $false }
        }
        if (-not $sound) { throw 'Machine configuration can be changed by other accounts; run the installer again to repair it.' }
    }
}

$systemFolders = Get-SystemFolders
$machineDir = Join-Path (Join-Path $systemFolders.ProgramData 'Vardokeep') $Machine
$machineDirExists = Test-Path -LiteralPath $machineDir -PathType Container
$markerPath = Join-Path $machineDir 'active-shadow.json'
$stamp = Get-Date -Format 'yyyyMMdd-HHmmss'

# Runs started within the same second must not share a log: the first free name
# of backup-<stamp>, backup-<stamp>-2, ... is claimed by creating its error log.
$errorLog = Join-Path $machineDir ('backup-' + $stamp + '.log')
$outputFile = Join-Path $machineDir ('backup-' + $stamp + '.out')
if ($machineDirExists) {
    $claimed = $false
    for ($n = 1; -not $claimed; $n++) {
        if ($n -gt 1000) { throw 'No free log name for this run.' }
        $suffix = ''
        if ($n -gt 1) { $suffix = '-' + $n }
        $errorLog = Join-Path $machineDir ('backup-' + $stamp + $suffix + '.log')
        $outputFile = Join-Path $machineDir ('backup-' + $stamp + $suffix + '.out')
        if (Test-Path -LiteralPath $outputFile) { continue }
        try {
            $claim = New-Object System.IO.FileStream($errorLog, [IO.FileMode]::CreateNew, [IO.FileAccess]::Write, [IO.FileShare]::ReadWrite)
            $claim.Dispose()
            $claimed = $true
        } catch {
            if (-not (Test-Path -LiteralPath $errorLog)) { throw }
        }
    }
}

$mutexName = 'Global\Vardokeep-' + $Machine
$mutex = $null
$mutexTaken = $false
$exitCode = 1
$agentProcess = $null
$shadow = $null

try {
    # A mutex that a run under another account created first keeps the DACL of
    # that account's token, which need not admit this one: then the mutex
    # cannot be opened, and the constructor throws UnauthorizedAccessException
    # (Mutex(Boolean, String) documentation). That run is still a run of this
    # machine. New-Object wraps what the constructor throws, so the chain of
    # inner exceptions is searched rather than trusting the catch to unwrap it.
    try {
        $mutex = New-Object System.Threading.Mutex($false, $mutexName)
    } catch {
        for ($cause = $_.Exception; $null -ne $cause; $cause = $cause.InnerException) {
            if ($cause -is [System.UnauthorizedAccessException]) { throw 'A backup for this machine is already running.' }
        }
        throw
    }
    try {
        $mutexTaken = $mutex.WaitOne(0)
    } catch [System.Threading.AbandonedMutexException] {
        # The previous holder died; the mutex is now ours.
        $mutexTaken = $true
    }
    if (-not $mutexTaken) { throw 'A backup for this machine is already running.' }

    $jobPath = Join-Path $machineDir 'job.json'
    $job = [IO.File]::ReadAllText($jobPath) | ConvertFrom-Json
    $installDir = Join-Path $systemFolders.ProgramFiles 'Vardokeep'
    Assert-OnlyAdministratorsWrite @((Split-Path -Parent $machineDir), $machineDir, $jobPath, [string]$job.SshConfig,
        (Join-Path $machineDir 'known_hosts'), $installDir, (Join-Path $installDir 'vardokeep-agent.exe'))
    $useVss = ($job.UseVss -is [bool]) -and $job.UseVss
    $useVssWriters = ($job.UseVssWriters -is [bool]) -and $job.UseVssWriters
    if ($useVss -and $useVssWriters) { throw 'Conflicting VSS modes in job configuration.' }
    if (Test-Path -LiteralPath $markerPath) {
        throw 'An earlier own VSS snapshot needs cleanup; inspect active-shadow.json before retrying.'
    }

    $source = [string]$job.Source
    if ($useVss) {
        if ($source -notmatch '^[A-Za-z]:\\') { throw 'VSS mode requires a local drive path.' }
        $holder = Get-SourceVolume $source
        $created = Invoke-CimMethod -ClassName Win32_ShadowCopy -MethodName Create -Arguments @{ Volume = $holder.Volume; Context = 'ClientAccessible' }
        if ($created.ReturnValue -ne 0) { throw ('VSS creation failed: ' + $created.ReturnValue) }
        $shadowId = $created.ShadowID
        $shadow = Get-CimInstance -ClassName Win32_ShadowCopy | Where-Object { $_.ID -eq $shadowId } | Select-Object -First 1
        if ($null -eq $shadow) { throw 'Created shadow copy was not found.' }
        $marker = $shadow | Select-Object ID, DeviceObject | ConvertTo-Json
        [IO.File]::WriteAllText($markerPath, $marker, (New-Object System.Text.UTF8Encoding($false)))
        # The agent reads the frozen volume below the same folder.
        $source = $shadow.DeviceObject + '\' + $holder.Rest
    }

    $agentArguments = New-Object System.Collections.Generic.List[string]
    $agentArguments.Add('backup')
    $agentArguments.Add('--source')
    $agentArguments.Add($source)
    $agentArguments.Add('--ssh-config')
    $agentArguments.Add([string]$job.SshConfig)
    $agentArguments.Add('--destination')
    $agentArguments.Add([string]$job.Destination)
    if ($useVssWriters) { $agentArguments.Add('--vss-writers') }
    foreach ($exclude in $job.Excludes) {
        $agentArguments.Add('--exclude')
        $agentArguments.Add([string]$exclude)
    }
    $quoted = foreach ($argument in $agentArguments) { Quote-Argument $argument }
    $argumentLine = $quoted -join ' '

    $agentPath = Join-Path (Join-Path $systemFolders.ProgramFiles 'Vardokeep') 'vardokeep-agent.exe'
    $agentProcess = Start-Process -FilePath $agentPath -ArgumentList $argumentLine -NoNewWindow -PassThru -RedirectStandardError $errorLog -RedirectStandardOutput $outputFile
    # Windows PowerShell loses the exit code of a process whose handle was never
    # read before it ended.
    $null = $agentProcess.Handle
    if (-not $agentProcess.WaitForExit([int](Get-AgentTimeLimit).TotalMilliseconds)) {
        # Stopped and gone before the error log gets its line and the shadow
        # copy goes.
        try { $agentProcess.Kill() } catch { }
        $null = $agentProcess.WaitForExit(60000)
        throw 'Backup exceeded 11 h 30 min and was stopped before the task''s time limit.'
    }
    # A bounded wait does not wait for redirected streams read on other threads
    # (PowerShell 7 on other systems copies them so); the unbounded one does and
    # returns at once for an ended process (Process.WaitForExit(Int32) remarks).
    $agentProcess.WaitForExit()
    $agentProcess.Refresh()
    $exitCode = $agentProcess.ExitCode
} catch {
    $exitCode = 1
    if (Test-Path -LiteralPath $machineDir -PathType Container) {
        try { Add-ErrorLogLine $errorLog ('runner_error: ' + $_.Exception.Message) } catch { }
    }
    Write-Error -ErrorRecord $_ -ErrorAction Continue
} finally {
    if ($null -ne $agentProcess) {
        try {
            if (-not $agentProcess.HasExited) { $agentProcess.Kill() }
        } catch { }
    }

    if ($null -ne $shadow) {
        try {
            Remove-CimInstance -InputObject $shadow
            try { Remove-Item -LiteralPath $markerPath -Force } catch { }
        } catch {
            $exitCode = 1
            try { Add-ErrorLogLine $errorLog ('VSS cleanup failed: ' + $_.Exception.Message) } catch { }
            Write-Warning 'Own VSS snapshot cleanup failed; inspect active-shadow.json. No other snapshot was deleted.'
        }
    }

    if ($mutexTaken -and (Test-Path -LiteralPath $machineDir -PathType Container)) {
        try {
            Remove-OldLogs $machineDir 'backup-*.log'
            Remove-OldLogs $machineDir 'backup-*.out'
        } catch {
            Write-Error -ErrorRecord $_ -ErrorAction Continue
        }
    }

    if ($mutexTaken) { $mutex.ReleaseMutex() }
    if ($null -ne $mutex) { $mutex.Dispose() }
}

exit $exitCode
