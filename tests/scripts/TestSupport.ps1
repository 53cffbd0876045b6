# Shared fixtures for the script tests. The scripts are Windows PowerShell code;
# here they run under PowerShell 7 on Linux against a temporary tree that stands
# for the system's folders (System32, Program Files, ProgramData), and against
# in-memory doubles of what only Windows has: Task Scheduler, CIM shadow copies,
# icacls.exe and takeown.exe with the security descriptors they edit, Get-Acl. The doubles keep state, so tests
# assert effects, and log every call in order. The environment variables of
# those folders point elsewhere, as an installing user may set them: nothing may
# be found or made there.

# Constants are global: the doubles below run as global functions, called from
# inside the scripts under test.
$global:VkTest = @{
    RepoScripts = [IO.Path]::GetFullPath((Join-Path $PSScriptRoot '../../scripts'))
    Support = Join-Path $PSScriptRoot 'TestSupport.ps1'
    ValidHostKey = 'ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIATCClnfvk6ctBnC4RYfz5TOR9d5qPyOK9CIdcyLx77l'
    SystemSid = 'S-1-5-18'
    AdministratorsSid = 'S-1-5-32-544'
    UsersSid = 'S-1-5-32-545'
    ForeignSid = 'S-1-5-21-1004336348-1177238915-682003330-1001'
    # The administrator who runs the install: Microsoft's ssh-keygen gives this
    # account the files it writes.
    InstallerSid = 'S-1-5-21-1004336348-1177238915-682003330-1002'
    EveryoneSid = 'S-1-1-0'
    EnvironmentNames = @('ProgramFiles', 'ProgramData', 'SystemRoot', 'VK_FAKE_AGENT_ARGV', 'VK_FAKE_AGENT_EXIT',
        'VK_FAKE_AGENT_STARTED', 'VK_FAKE_AGENT_RELEASE', 'VK_FAKE_AGENT_WATCH', 'VK_FAKE_AGENT_LATE', 'VK_FAKE_KEYGEN_FAIL', 'VK_FAKE_KEYGEN_ARGV', 'VK_FAKE_KEYGEN_WROTE')
}

$global:VkTest.FakeAgent = @'
#!/bin/sh
# Stands in for vardokeep-agent.exe: records its arguments, writes one line on
# each stream, can wait for a release file, and exits with the requested code.
if [ -n "$VK_FAKE_AGENT_ARGV" ]; then
  : > "$VK_FAKE_AGENT_ARGV"
  for a in "$@"; do printf '%s\n' "$a" >> "$VK_FAKE_AGENT_ARGV"; done
fi
if [ -n "$VK_FAKE_AGENT_WATCH" ] && [ -e "$VK_FAKE_AGENT_WATCH" ]; then
  cp "$VK_FAKE_AGENT_WATCH" "$VK_FAKE_AGENT_WATCH.seen"
fi
if [ -n "$VK_FAKE_AGENT_STARTED" ]; then : > "$VK_FAKE_AGENT_STARTED"; fi
if [ -n "$VK_FAKE_AGENT_RELEASE" ]; then
  i=0
  while [ ! -e "$VK_FAKE_AGENT_RELEASE" ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i + 1)); done
fi
echo "agent output"
echo "agent diagnostics" >&2
# A last line that reaches the runner after the agent has ended, as any line
# can where PowerShell copies a redirected stream on another thread.
if [ -n "$VK_FAKE_AGENT_LATE" ]; then (sleep 0.5; echo "late agent output") & fi
exit "${VK_FAKE_AGENT_EXIT:-0}"
'@

$global:VkTest.KeygenShim = @'
#!/bin/sh
# ssh-keygen.exe for the tests: the real ssh-keygen with the same arguments.
if [ -n "$VK_FAKE_KEYGEN_ARGV" ]; then
  : > "$VK_FAKE_KEYGEN_ARGV"
  for a in "$@"; do printf '[%s]\n' "$a" >> "$VK_FAKE_KEYGEN_ARGV"; done
fi
if [ -n "$VK_FAKE_KEYGEN_FAIL" ]; then exit 1; fi
ssh-keygen "$@" || exit $?
# A comment as long as a domain account's can be: the public key line must stay
# one line in the install log, whatever the console width.
for key in "$@"; do :; done
sed -i 's/$/-at-branch-office-17.backup-clients.vardo-customer-domain.example.corp.internal/' "$key.pub"
# What Microsoft's ssh-keygen gives the files it writes is a DACL of their own
# (see New-KeygenAcl); the icacls double learns of them from this list.
if [ -n "$VK_FAKE_KEYGEN_WROTE" ]; then
  printf 'key\t%s\npub\t%s\n' "$key" "$key.pub" >> "$VK_FAKE_KEYGEN_WROTE"
fi
'@

function Write-Executable([string]$Path, [string]$Text) {
    [IO.File]::WriteAllText($Path, $Text.Replace("`r`n", "`n"), (New-Object System.Text.UTF8Encoding($false)))
    & chmod +x $Path
}

function Reset-FakeWindows {
    $global:FakeWindows = [pscustomobject]@{
        Calls = New-Object System.Collections.Generic.List[string]
        IcaclsCalls = New-Object System.Collections.Generic.List[object]
        IcaclsFailOn = $null      # a path whose icacls call ends with exit code 5
        IgnoreSetOwner = $false   # $true or one path: icacls reports success but the owner stays
        TakeownFailOn = $null     # a path takeown.exe cannot take: "ERROR: Access is denied."
        # The owner Windows gives what the installing administrator creates:
        # Administrators, or the account itself where the local policy "System
        # objects: Default owner for objects created by members of the
        # Administrators group" says object creator (UAC off, built-in
        # Administrator).
        DefaultOwner = $global:VkTest.AdministratorsSid
        Acl = @{}
        Tasks = @{}
        Registry = @{}
        RegistryFails = $false
        ShadowCopies = New-Object System.Collections.Generic.List[object]
        CreateReturnValue = 0
        HideCreatedShadow = $false
        RemoveShadowFails = $false
        NextShadow = 7
        # Win32_Volume as Get-CimInstance lists it (Win32_Volume documentation):
        # Name is the drive root, else the mounted folder, each with its trailing
        # backslash, else the GUID path; DeviceID is always the GUID path;
        # DriveLetter is null without a letter.
        Volumes = @(
            [pscustomobject]@{ Name = 'C:\'; DeviceID = '\\?\Volume{c0c0c0c0-0000-4000-8000-00000000000c}\'; DriveLetter = 'C:' }
            [pscustomobject]@{ Name = 'D:\'; DeviceID = '\\?\Volume{d0d0d0d0-0000-4000-8000-00000000000d}\'; DriveLetter = 'D:' }
            [pscustomobject]@{ Name = 'C:\Mounts\Data\'; DeviceID = '\\?\Volume{da7ada7a-0000-4000-8000-00000000000e}\'; DriveLetter = $null }
            [pscustomobject]@{ Name = '\\?\Volume{5e5e5e5e-0000-4000-8000-00000000000f}\'; DeviceID = '\\?\Volume{5e5e5e5e-0000-4000-8000-00000000000f}\'; DriveLetter = $null }
        )
    }
    # A shadow copy that someone else made: no run may ever delete it.
    $global:FakeWindows.ShadowCopies.Add([pscustomobject]@{
        ID = '{0b6c4a54-0000-4000-8000-000000000001}'
        DeviceObject = '\\?\GLOBALROOT\Device\HarddiskVolumeShadowCopy1'
        VolumeName = '\\?\Volume{c0c0c0c0-0000-4000-8000-00000000000c}\'
    })
}

function New-VkTree {
    $root = Join-Path ([IO.Path]::GetTempPath()) ('vk tree ' + [guid]::NewGuid().ToString('N').Substring(0, 10))
    $tree = [pscustomobject]@{
        Root = $root
        Package = Join-Path $root 'package'
        ProgramFiles = Join-Path $root 'Program Files'
        ProgramData = Join-Path $root 'ProgramData'
        SystemRoot = Join-Path $root 'Windows'
        System32 = Join-Path $root 'Windows/System32'
        OpenSsh = Join-Path $root 'Windows/System32/OpenSSH'
        InstallDir = Join-Path $root 'Program Files/Vardokeep'
        StateDir = Join-Path $root 'ProgramData/Vardokeep'
        Source = Join-Path $root 'source data'
        Steered = Join-Path $root 'steered'
        SystemFoldersPrelude = Join-Path $root 'system-folders.ps1'
        SavedEnvironment = @{}
    }
    foreach ($dir in @($tree.Package, $tree.ProgramFiles, $tree.ProgramData, $tree.OpenSsh, $tree.Source)) {
        $null = New-Item -ItemType Directory -Path $dir -Force
    }
    foreach ($name in @('Setup-Run.ps1', 'Install-Vardokeep.ps1', 'Run-Backup.ps1', 'Uninstall-Vardokeep.ps1')) {
        Copy-Item -LiteralPath (Join-Path $global:VkTest.RepoScripts $name) -Destination $tree.Package
    }
    Write-Executable (Join-Path $tree.Package 'vardokeep-agent.exe') $global:VkTest.FakeAgent
    foreach ($name in @('README.md', 'LICENSE-xxhash', 'LICENSE-lz4', 'LICENSE-blake3-CC0', 'LICENSE-blake3-Apache', 'LICENSE-Vardokeep')) {
        [IO.File]::WriteAllText((Join-Path $tree.Package $name), "text of $name`n")
    }
    Write-Executable (Join-Path $tree.OpenSsh 'ssh.exe') "#!/bin/sh`nexit 0`n"
    Write-Executable (Join-Path $tree.OpenSsh 'ssh-keygen.exe') $global:VkTest.KeygenShim
    # What the user's own variables point at: tools that must never run.
    $steeredOpenSsh = Join-Path $tree.Steered 'Windows/System32/OpenSSH'
    $null = New-Item -ItemType Directory -Path $steeredOpenSsh -Force
    foreach ($name in @('ssh.exe', 'ssh-keygen.exe')) {
        Write-Executable (Join-Path $steeredOpenSsh $name) ("#!/bin/sh`n: > '" + (Join-Path $tree.Steered 'a steered tool ran') + "'`nexit 0`n")
    }
    [IO.File]::WriteAllText((Join-Path $tree.Source 'file.txt'), 'content')

    foreach ($name in $global:VkTest.EnvironmentNames) {
        $tree.SavedEnvironment[$name] = [Environment]::GetEnvironmentVariable($name)
        [Environment]::SetEnvironmentVariable($name, $null)
    }
    $env:VK_FAKE_KEYGEN_WROTE = Join-Path $root 'keygen-wrote.txt'
    $env:ProgramFiles = Join-Path $tree.Steered 'Program Files'
    $env:ProgramData = Join-Path $tree.Steered 'ProgramData'
    $env:SystemRoot = Join-Path $tree.Steered 'Windows'

    # The scripts' Get-SystemFolders is replaced through an alias, which
    # PowerShell resolves before any function (about_Command_Precedence); a
    # child PowerShell dot-sources the same prelude, which there also loads
    # these doubles (Get-Acl above all, which the runner reads). icacls.exe is
    # called by its full path, which an alias of that name catches the same way.
    $quote = { param($text) "'" + $text.Replace("'", "''") + "'" }
    $prelude = "if (-not (Get-Command Invoke-FakeIcacls -ErrorAction SilentlyContinue)) {`n" +
        "    . " + (& $quote $global:VkTest.Support) + "`n    Reset-FakeWindows`n}`n" +
        "function global:Get-VkFakeSystemFolders {`n" +
        "    return [pscustomobject]@{ System32 = " + (& $quote $tree.System32) + "; ProgramFiles = " + (& $quote $tree.ProgramFiles) +
        "; ProgramData = " + (& $quote $tree.ProgramData) + " }`n}`n" +
        "Set-Alias -Name Get-SystemFolders -Value Get-VkFakeSystemFolders -Scope Global`n"
    [IO.File]::WriteAllText($tree.SystemFoldersPrelude, $prelude)
    . $tree.SystemFoldersPrelude
    Set-Alias -Name (Join-Path $tree.System32 'icacls.exe') -Value Invoke-FakeIcacls -Scope Global
    Set-Alias -Name (Join-Path $tree.System32 'takeown.exe') -Value Invoke-FakeTakeown -Scope Global
    Reset-FakeWindows
    return $tree
}

function Remove-VkTree($Tree) {
    foreach ($alias in @('Get-SystemFolders', (Join-Path $Tree.System32 'icacls.exe'), (Join-Path $Tree.System32 'takeown.exe'))) {
        if (Get-Alias -Name $alias -Scope Global -ErrorAction SilentlyContinue) { Remove-Alias -Name $alias -Scope Global -Force }
    }
    foreach ($name in $global:VkTest.EnvironmentNames) {
        [Environment]::SetEnvironmentVariable($name, $Tree.SavedEnvironment[$name])
    }
    if (Test-Path -LiteralPath $Tree.Root) { Remove-Item -LiteralPath $Tree.Root -Recurse -Force }
}

function New-Enrollment($Tree, [hashtable]$Override = @{}, [string[]]$Without = @(), [string]$Name = 'enrollment.json') {
    $values = [ordered]@{
        Machine = 'pc-01'
        ServerHost = 'backup.example.net'
        ServerUser = 'vk_pc-01'
        ServerPort = 22
        HostKey = $global:VkTest.ValidHostKey
        Panel = 'ignored by the install'
    }
    foreach ($key in $Override.Keys) { $values[$key] = $Override[$key] }
    foreach ($key in $Without) { $values.Remove($key) }
    $path = Join-Path $Tree.Root $Name
    [IO.File]::WriteAllText($path, (ConvertTo-Json -InputObject $values -Depth 4))
    return $path
}

# Runs a script in this session so that the doubles apply. Returns what it said
# on every stream, the message of a terminating error, and its exit code.
function Invoke-VkScript([string]$Path, [hashtable]$Parameters = @{}) {
    $lines = New-Object System.Collections.Generic.List[object]
    $thrown = $null
    $global:LASTEXITCODE = 0
    try {
        & $Path @Parameters *>&1 | ForEach-Object { $lines.Add($_) }
    } catch {
        $thrown = $_.Exception.Message
    }
    return [pscustomobject]@{
        Records = $lines.ToArray()
        Text = @($lines | ForEach-Object { [string]$_ })
        Errors = @($lines | Where-Object { $_ -is [System.Management.Automation.ErrorRecord] } | ForEach-Object { $_.Exception.Message })
        Warnings = @($lines | Where-Object { $_ -is [System.Management.Automation.WarningRecord] } | ForEach-Object { $_.Message })
        Thrown = $thrown
        ExitCode = $global:LASTEXITCODE
    }
}

function Invoke-Install($Tree, [hashtable]$Parameters) {
    return Invoke-VkScript (Join-Path $Tree.Package 'Install-Vardokeep.ps1') $Parameters
}

function Get-FileBytesText([string]$Path) {
    return [Text.Encoding]::UTF8.GetString([IO.File]::ReadAllBytes($Path))
}

function Test-Utf8Bom([string]$Path) {
    $bytes = [IO.File]::ReadAllBytes($Path)
    return $bytes.Length -ge 3 -and $bytes[0] -eq 0xEF -and $bytes[1] -eq 0xBB -and $bytes[2] -eq 0xBF
}

# --- Task Scheduler -----------------------------------------------------------

function global:New-ScheduledTaskAction([string]$Execute, [string]$Argument) {
    return [pscustomobject]@{ Execute = $Execute; Arguments = $Argument }
}

function global:New-ScheduledTaskTrigger([switch]$Daily, [datetime]$At, [int]$DaysInterval = 1) {
    return [pscustomobject]@{ Daily = $Daily.IsPresent; At = $At; DaysInterval = $DaysInterval }
}

function global:New-ScheduledTaskPrincipal([string]$UserId, [string]$LogonType, [string]$RunLevel) {
    return [pscustomobject]@{ UserId = $UserId; LogonType = $LogonType; RunLevel = $RunLevel }
}

# Only the settings the install may change are parameters here: any other one
# fails the call, so everything else stays at the Task Scheduler's defaults,
# which the object carries as the settings schema gives them (Task Scheduler
# Schema, settingsType elements, and the TaskSettings properties): IgnoreNew,
# no StartWhenAvailable, no restart, 72 hours, and DisallowStartIfOnBatteries,
# StopIfGoingOnBatteries and AllowHardTerminate all true. (The
# StopIfGoingOnBatteries element's page says false in its remarks, against its
# own XSD default and the TaskSettings property; the acceptance run reads what
# a real task stores.)
function global:New-ScheduledTaskSettingsSet([string]$MultipleInstances = 'IgnoreNew', [switch]$StartWhenAvailable, [int]$RestartCount,
        [timespan]$RestartInterval, [timespan]$ExecutionTimeLimit = [timespan]::FromHours(72), [switch]$DontStopIfGoingOnBatteries) {
    return [pscustomobject]@{
        MultipleInstances = $MultipleInstances
        StartWhenAvailable = $StartWhenAvailable.IsPresent
        RestartCount = $RestartCount
        RestartInterval = $RestartInterval
        ExecutionTimeLimit = $ExecutionTimeLimit
        DisallowStartIfOnBatteries = $true
        StopIfGoingOnBatteries = -not $DontStopIfGoingOnBatteries.IsPresent
        AllowHardTerminate = $true
    }
}

function global:Register-ScheduledTask([string]$TaskName, $Action, $Trigger, $Principal, $Settings) {
    $global:FakeWindows.Calls.Add("Register-ScheduledTask $TaskName")
    if ($global:FakeWindows.Tasks.ContainsKey($TaskName)) {
        throw 'Cannot create a file when that file already exists.'
    }
    $task = [pscustomobject]@{ TaskName = $TaskName; Action = $Action; Trigger = $Trigger; Principal = $Principal; Settings = $Settings; State = 'Ready' }
    $global:FakeWindows.Tasks[$TaskName] = $task
    return $task
}

function Assert-TaskExists([string]$TaskName) {
    if (-not $global:FakeWindows.Tasks.ContainsKey($TaskName)) {
        throw "No MSFT_ScheduledTask objects found with property 'TaskName' equal to '$TaskName'."
    }
}

function global:Disable-ScheduledTask([string]$TaskName) {
    $global:FakeWindows.Calls.Add("Disable-ScheduledTask $TaskName")
    Assert-TaskExists $TaskName
    $global:FakeWindows.Tasks[$TaskName].State = 'Disabled'
    return $global:FakeWindows.Tasks[$TaskName]
}

function global:Stop-ScheduledTask([string]$TaskName) {
    $global:FakeWindows.Calls.Add("Stop-ScheduledTask $TaskName")
    Assert-TaskExists $TaskName
    $global:FakeWindows.Tasks[$TaskName].State = 'Ready'
}

function global:Unregister-ScheduledTask([string]$TaskName, [switch]$Confirm) {
    $global:FakeWindows.Calls.Add("Unregister-ScheduledTask $TaskName Confirm=$($Confirm.IsPresent)")
    if ($Confirm.IsPresent) { throw 'The uninstall would wait for a confirmation.' }
    Assert-TaskExists $TaskName
    $global:FakeWindows.Tasks.Remove($TaskName)
}

# --- CIM shadow copies --------------------------------------------------------

function global:Invoke-CimMethod([string]$ClassName, [string]$MethodName, [hashtable]$Arguments) {
    $global:FakeWindows.Calls.Add("Invoke-CimMethod $ClassName.$MethodName Volume=$($Arguments.Volume) Context=$($Arguments.Context)")
    $fake = $global:FakeWindows
    if ($fake.CreateReturnValue -ne 0) {
        return [pscustomobject]@{ ReturnValue = [uint32]$fake.CreateReturnValue; ShadowID = $null }
    }
    # Volume is a drive letter, mount point or GUID path of a volume; any other
    # is "Specified volume not found" (Create method documentation).
    $named = @($fake.Volumes | Where-Object { $_.DeviceID -eq $Arguments.Volume -or $_.Name -eq $Arguments.Volume })
    if ($named.Count -eq 0) { return [pscustomobject]@{ ReturnValue = [uint32]3; ShadowID = $null } }
    $number = $fake.NextShadow
    $fake.NextShadow = $number + 1
    $shadow = [pscustomobject]@{
        ID = '{6f1f2b5e-0000-4000-8000-0000000000' + $number.ToString('00') + '}'
        DeviceObject = '\\?\GLOBALROOT\Device\HarddiskVolumeShadowCopy' + $number
        VolumeName = $named[0].DeviceID  # the GUID path, however Volume named it
    }
    if (-not $fake.HideCreatedShadow) { $fake.ShadowCopies.Add($shadow) }
    return [pscustomobject]@{ ReturnValue = [uint32]0; ShadowID = $shadow.ID }
}

function global:Get-CimInstance([string]$ClassName) {
    $global:FakeWindows.Calls.Add("Get-CimInstance $ClassName")
    switch ($ClassName) {
        'Win32_ShadowCopy' { return $global:FakeWindows.ShadowCopies.ToArray() }
        'Win32_Volume' { return $global:FakeWindows.Volumes }
    }
    throw 'Invalid class '
}

function global:Remove-CimInstance($InputObject) {
    $global:FakeWindows.Calls.Add("Remove-CimInstance $($InputObject.ID)")
    if ($global:FakeWindows.RemoveShadowFails) { throw 'Access denied.' }
    $null = $global:FakeWindows.ShadowCopies.Remove($InputObject)
}

# --- icacls.exe, takeown.exe and the security descriptors they edit ----------

# The model: an owner, a protection flag (inheritance off) and entries of
# SID, rights as icacls writes them ("F", "(OI)(CI)RX", "(R,W)"), type (Allow
# or Deny) and whether the entry is inherited. A path first seen here carries
# only what it inherits from its parent, as a new object does, and belongs to
# DefaultOwner (the elevated installer made it); the root of the file system
# stands for what a folder under Program Files inherits.
function New-AclEntry([string]$Sid, [string]$Rights, [bool]$Inherited, [string]$Type = 'Allow') {
    return [pscustomobject]@{ Sid = $Sid; Rights = $Rights; Inherited = $Inherited; Type = $Type }
}

function Split-AclRights([string]$Rights) {
    $flags = New-Object System.Collections.Generic.List[string]
    foreach ($match in [regex]::Matches($Rights, '\((OI|CI|IO|NP)\)')) { $flags.Add($match.Groups[1].Value) }
    return [pscustomobject]@{ Flags = $flags; Base = ($Rights -replace '\((OI|CI|IO|NP)\)', '') }
}

# The access mask of icacls' rights (its help text lists the simple and the
# specific rights), from the masks of "File Security and Access Rights" and
# "Access Mask Format": FILE_ALL_ACCESS, FILE_GENERIC_READ/WRITE/EXECUTE, and
# the standard and generic rights.
$global:VkTest.RightMasks = @{
    F = 0x1F01FF; M = 0x1301BF; RX = 0x1200A9; R = 0x120089; W = 0x120116; N = 0
    D = 0x10000; DE = 0x10000; RC = 0x20000; WDAC = 0x40000; WO = 0x80000; S = 0x100000; AS = 0x1000000; MA = 0x2000000
    GR = [int]0x80000000; GW = 0x40000000; GE = 0x20000000; GA = 0x10000000
    RD = 0x1; WD = 0x2; AD = 0x4; REA = 0x8; WEA = 0x10; X = 0x20; DC = 0x40; RA = 0x80; WA = 0x100
}

function ConvertTo-AccessMask([string]$Base) {
    $mask = 0
    foreach ($right in $Base.Trim('(', ')').Split(',')) {
        if (-not $global:VkTest.RightMasks.ContainsKey($right)) { throw "no such right in the icacls double: $right" }
        $mask = $mask -bor $global:VkTest.RightMasks[$right]
    }
    return $mask
}

# What a child inherits from its parent's entries ("ACE Inheritance Rules"):
# a container child takes (CI) entries as effective and, without (NP), still
# inheritable, and (OI)-only entries as inherit-only; a file takes (OI)
# entries as effective. (IO) on the parent only keeps the entry off the parent.
function Get-ChildEntries($ParentEntries, [bool]$Container) {
    $entries = New-Object System.Collections.Generic.List[object]
    foreach ($entry in $ParentEntries) {
        $rights = Split-AclRights $entry.Rights
        $oi = $rights.Flags -contains 'OI'
        $ci = $rights.Flags -contains 'CI'
        $np = $rights.Flags -contains 'NP'
        $derived = $null
        if ($Container) {
            if ($ci -and $np) { $derived = $rights.Base }
            elseif ($ci) { $derived = ('', '(OI)')[[int]$oi] + '(CI)' + $rights.Base }
            elseif ($oi -and -not $np) { $derived = '(OI)(IO)' + $rights.Base }
        } elseif ($oi) {
            $derived = $rights.Base
        }
        if ($null -ne $derived) { $entries.Add((New-AclEntry $entry.Sid $derived $true $entry.Type)) }
    }
    return $entries
}

function Get-InheritedEntries([string]$Path) {
    $parent = [IO.Path]::GetDirectoryName($Path)
    $container = [IO.Directory]::Exists($Path)
    if (-not $parent) {
        $rootEntries = @((New-AclEntry $global:VkTest.SystemSid '(OI)(CI)F' $false),
            (New-AclEntry $global:VkTest.AdministratorsSid '(OI)(CI)F' $false),
            (New-AclEntry $global:VkTest.UsersSid '(OI)(CI)RX' $false))
        return (Get-ChildEntries $rootEntries $container)
    }
    if ($global:FakeWindows.Acl.ContainsKey($parent)) {
        return (Get-ChildEntries $global:FakeWindows.Acl[$parent].Entries $container)
    }
    return (Get-ChildEntries (Get-InheritedEntries $parent) $container)
}

# Setting a folder's DACL re-applies inheritance to every object below that
# does not protect its own ("Automatic Propagation of Inheritable ACEs": the
# SetNamedSecurityInfo and SetSecurityInfo functions, which icacls and
# Explorer go through). Parents first, so each child sees its parent's new
# entries.
function Update-InheritedEntries([string]$Path) {
    $prefix = $Path + [IO.Path]::DirectorySeparatorChar
    $below = @($global:FakeWindows.Acl.Keys | Where-Object { $_.StartsWith($prefix) } | Sort-Object Length)
    foreach ($key in $below) {
        $acl = $global:FakeWindows.Acl[$key]
        if ($acl.Protected) { continue }
        $entries = [System.Collections.Generic.List[object]]@($acl.Entries | Where-Object { -not $_.Inherited })
        foreach ($entry in (Get-InheritedEntries $key)) { $entries.Add($entry) }
        $acl.Entries = $entries
    }
}

# Every object below a folder, found the way the install looks: a reparse
# point is listed but never entered.
function Get-FakeTreeBelow([string]$Path) {
    $found = New-Object System.Collections.Generic.List[string]
    if (-not (Test-Path -LiteralPath $Path -PathType Container)) { return $found }
    foreach ($item in (New-Object IO.DirectoryInfo($Path)).GetFileSystemInfos()) {
        $found.Add($item.FullName)
        if (($item.Attributes -band [IO.FileAttributes]::Directory) -and -not ($item.Attributes -band [IO.FileAttributes]::ReparsePoint)) {
            foreach ($inner in (Get-FakeTreeBelow $item.FullName)) { $found.Add($inner) }
        }
    }
    return $found
}

# Microsoft's ssh-keygen for Windows writes the private key owned by the user
# who ran it, with a protected DACL of its own (its createFile_flags_setup):
# O:<user>D:PAI(A;;FA;;;BA)(A;;FA;;;SY)(A;;<read/write>;;;<user>); the .pub file
# gets an explicit DACL too, with read for Everyone.
function New-KeygenAcl([string]$Kind) {
    $entries = [System.Collections.Generic.List[object]]@(
        (New-AclEntry $global:VkTest.AdministratorsSid 'F' $false),
        (New-AclEntry $global:VkTest.SystemSid 'F' $false),
        (New-AclEntry $global:VkTest.InstallerSid '(R,W)' $false))
    if ($Kind -eq 'pub') { $entries.Add((New-AclEntry $global:VkTest.EveryoneSid 'R' $false)) }
    return [pscustomobject]@{ Owner = $global:VkTest.InstallerSid; Protected = $true; Entries = $entries }
}

function Get-FakeAcl([string]$Path) {
    if (-not $global:FakeWindows.Acl.ContainsKey($Path)) {
        $wrote = $env:VK_FAKE_KEYGEN_WROTE
        $kind = $null
        if ($wrote -and (Test-Path -LiteralPath $wrote)) {
            foreach ($line in [IO.File]::ReadAllLines($wrote)) {
                $fields = $line.Split("`t")
                if ($fields[1] -eq $Path) { $kind = $fields[0] }
            }
        }
        if ($kind) {
            $global:FakeWindows.Acl[$Path] = New-KeygenAcl $kind
        } else {
            $global:FakeWindows.Acl[$Path] = [pscustomobject]@{
                Owner = $global:FakeWindows.DefaultOwner
                Protected = $false
                Entries = [System.Collections.Generic.List[object]]@(Get-InheritedEntries $Path)
            }
        }
    }
    return $global:FakeWindows.Acl[$Path]
}

function Set-ForeignAcl([string]$Path, [switch]$WithExplicitEntry) {
    $acl = Get-FakeAcl $Path
    $acl.Owner = $global:VkTest.ForeignSid
    $acl.Entries.Add((New-AclEntry $global:VkTest.ForeignSid 'F' (-not $WithExplicitEntry)))
}

function Add-ExplicitEntry([string]$Path, [string]$Sid, [string]$Rights, [string]$Type = 'Allow') {
    $acl = Get-FakeAcl $Path
    $acl.Entries.Insert(0, (New-AclEntry $Sid $Rights $false $Type))
    if (Test-Path -LiteralPath $Path -PathType Container) { Update-InheritedEntries $Path }
}

# What Explorer's "Continue" on a folder the administrator cannot open gives
# that administrator's own account (Microsoft KB 950934): Full Control on the
# folder, its subfolders and files. The KB says neither whether the entries
# below are explicit or inherited nor whether a file with a protected DACL
# changes, so both readings stand here. FolderOnly: one explicit (OI)(CI)
# entry on the folder, which the objects below inherit. EveryObject: an
# explicit entry on every object as well, the private key included.
function Add-ExplorerGrant([string]$Path, [ValidateSet('FolderOnly', 'EveryObject')][string]$Reading) {
    Add-ExplicitEntry $Path $global:VkTest.InstallerSid '(OI)(CI)F'
    if ($Reading -eq 'EveryObject') {
        foreach ($below in (Get-FakeTreeBelow $Path)) {
            if (Test-Path -LiteralPath $below -PathType Container) {
                Add-ExplicitEntry $below $global:VkTest.InstallerSid '(OI)(CI)F'
            } else {
                Add-ExplicitEntry $below $global:VkTest.InstallerSid 'F'
            }
        }
    }
}

# icacls.exe, in the command forms its documentation gives ("icacls /?" and
# Microsoft's command reference):
#   icacls name /setowner user [/T] [/C] [/L] [/Q]
#   icacls name /reset [/T] [/C] [/L] [/Q]
#   icacls name [/grant[:r] Sid:perm[...]] [/deny Sid:perm[...]]
#               [/remove[:g|:d] Sid[...]] [/inheritance:e|d|r] [/T] [/C] [/L] [/Q]
# /setowner and /reset are forms of their own; a command line that mixes them
# with the edit options, or names anything else, is refused with "Invalid
# parameter" and a non-zero exit code, and nothing is changed. The exact code is
# not documented; 87 (ERROR_INVALID_PARAMETER) stands for it, and tests only
# ask that it is not 0. /T applies the operation to the named folder and to
# every file and folder below it (a reparse point is taken as itself, not
# entered); /C continues after an object that fails, which without it ends
# the command. The page gives no exit code for a run in which some objects
# failed: 5, the access-denied code of the failure, stands for it.
function Invoke-FakeIcaclsEdit($Acl, [string[]]$Words) {
    # Checks the whole command line before changing anything.
    $ops = New-Object System.Collections.Generic.List[object]
    $mode = $null
    foreach ($word in $Words) {
        if ($word -match '^/(grant|grant:r|deny|remove|remove:g|remove:d)$') { $mode = $Matches[1]; continue }
        if ($word -match '^/inheritance:([edr])$') { $ops.Add(@('inheritance', $Matches[1])); $mode = $null; continue }
        if ($mode -match '^(grant|deny)' -and $word -match '^\*(S-[0-9-]+):(.+)$') { $ops.Add(@($mode, $Matches[1], $Matches[2])); continue }
        if ($mode -match '^remove' -and $word -match '^\*(S-[0-9-]+)$') { $ops.Add(@($mode, $Matches[1])); continue }
        return $word
    }
    foreach ($op in $ops) {
        switch ($op[0]) {
            'inheritance' {
                $inherited = @($Acl.Entries | Where-Object { $_.Inherited })
                if ($op[1] -eq 'e') {
                    $Acl.Protected = $false
                    foreach ($entry in (Get-InheritedEntries $Acl.Path)) { $Acl.Entries.Add($entry) }
                } elseif ($op[1] -eq 'd') {
                    $Acl.Protected = $true
                    foreach ($entry in $inherited) { $entry.Inherited = $false }
                } else {
                    $Acl.Protected = $true
                    foreach ($entry in $inherited) { $null = $Acl.Entries.Remove($entry) }
                }
            }
            { $_ -like 'grant*' } {
                # :r replaces the SID's explicit grants; without it the rights join them.
                if ($op[0] -eq 'grant:r') {
                    foreach ($entry in @($Acl.Entries | Where-Object { $_.Sid -eq $op[1] -and -not $_.Inherited -and $_.Type -eq 'Allow' })) { $null = $Acl.Entries.Remove($entry) }
                }
                $Acl.Entries.Add((New-AclEntry $op[1] $op[2] $false))
            }
            'deny' { $Acl.Entries.Add((New-AclEntry $op[1] $op[2] $false 'Deny')) }
            default {
                # Inherited entries are not the file's own: /remove leaves them.
                $type = @{ 'remove' = '*'; 'remove:g' = 'Allow'; 'remove:d' = 'Deny' }[$op[0]]
                foreach ($entry in @($Acl.Entries | Where-Object { $_.Sid -eq $op[1] -and -not $_.Inherited -and ($type -eq '*' -or $_.Type -eq $type) })) { $null = $Acl.Entries.Remove($entry) }
            }
        }
    }
    return $null
}

function global:Invoke-FakeIcacls {
    $arguments = @($args | ForEach-Object { [string]$_ })
    $global:FakeWindows.IcaclsCalls.Add($arguments)
    $global:FakeWindows.Calls.Add('icacls.exe ' + ($arguments -join ' '))
    $path = $arguments[0]
    $options = New-Object System.Collections.Generic.List[string]
    $words = New-Object System.Collections.Generic.List[string]
    foreach ($argument in ($arguments | Select-Object -Skip 1)) {
        if ($argument -match '^/[TCLQtclq]$') { $options.Add($argument.ToUpperInvariant()) } else { $words.Add($argument) }
    }
    $invalid = $null
    if ($words.Count -eq 0) {
        # "icacls <filename>" with nothing else is the display form of the
        # documented syntax (icacls <filename> [/save ...] [/t] [/c] [/l] [/q]):
        # it lists the ACL, changes nothing and succeeds.
        if (-not (Test-Path -LiteralPath $path)) { $global:LASTEXITCODE = 2; return }
        foreach ($entry in (Get-FakeAcl $path).Entries) { Write-Output "$path *$($entry.Sid):($($entry.Rights))" }
        Write-Output 'Successfully processed 1 files; Failed processing 0 files'
        $global:LASTEXITCODE = 0
        return
    } elseif ($words -contains '/setowner') {
        if ($words.Count -ne 2 -or $words[0] -ne '/setowner') { $invalid = '/setowner' }
    } elseif ($words -contains '/reset') {
        if ($words.Count -ne 1) { $invalid = '/reset' }
    }
    if ($invalid) {
        Write-Error "Invalid parameter `"$invalid`""
        $global:LASTEXITCODE = 87
        return
    }
    if (-not (Test-Path -LiteralPath $path)) {
        $global:LASTEXITCODE = 2
        return
    }
    $targets = @($path)
    if ($options -contains '/T') { $targets += @(Get-FakeTreeBelow $path) }
    $failed = 0
    foreach ($target in $targets) {
        if ($target -eq $global:FakeWindows.IcaclsFailOn) {
            Write-Error "${target}: Access is denied."
            $failed += 1
            if ($options -notcontains '/C') { break }
            continue
        }
        $acl = Get-FakeAcl $target
        $acl | Add-Member -NotePropertyName Path -NotePropertyValue $target -Force
        if ($words[0] -eq '/setowner') {
            $ignore = $global:FakeWindows.IgnoreSetOwner
            if (-not ($ignore -eq $true -or $ignore -eq $target)) { $acl.Owner = $words[1].TrimStart('*') }
        } elseif ($words[0] -eq '/reset') {
            $acl.Protected = $false
            $acl.Entries = [System.Collections.Generic.List[object]]@(Get-InheritedEntries $target)
        } else {
            $invalid = Invoke-FakeIcaclsEdit $acl $words
            if ($invalid) {
                Write-Error "Invalid parameter `"$invalid`""
                $global:LASTEXITCODE = 87
                return
            }
        }
        if ($words[0] -ne '/setowner' -and (Test-Path -LiteralPath $target -PathType Container)) { Update-InheritedEntries $target }
        Write-Output "processed file: $target"
    }
    Write-Output "Successfully processed $($targets.Count - $failed) files; Failed processing $failed files"
    $global:LASTEXITCODE = (0, 5)[[int]($failed -gt 0)]
}

# takeown.exe, in the syntax of Microsoft's command reference:
#   takeown [/s computer [/u [domain\]user [/p [password]]]] /f filename [/a] [/r [/d {Y|N}]]
# /a gives ownership to the Administrators group, without it to the account
# that runs the command; without /r only the object named changes. It uses
# the take-ownership privilege, so no DACL stands in its way (icacls' own help:
# /setowner "does not force a change of ownership; use the takeown.exe
# utility"). The page names no exit codes: 0 for success and 1 for an "ERROR:"
# line stand in for them, and tests only ask that a failure is not 0. Remote
# systems and wildcard patterns are not modelled and fail the test.
function global:Invoke-FakeTakeown {
    $arguments = @($args | ForEach-Object { [string]$_ })
    $global:FakeWindows.Calls.Add('takeown.exe ' + ($arguments -join ' '))
    $file = $null
    $administrators = $false
    $recurse = $false
    for ($i = 0; $i -lt $arguments.Count; $i++) {
        $word = $arguments[$i]
        if ($word -match '^/[sSuUpP]$') { throw 'takeown double: remote systems are not modelled' }
        if ($word -match '^/[fF]$' -and $i + 1 -lt $arguments.Count) {
            $i += 1
            $file = $arguments[$i]
        } elseif ($word -match '^/[aA]$') {
            $administrators = $true
        } elseif ($word -match '^/[rR]$') {
            $recurse = $true
        } elseif ($word -match '^/[dD]$' -and $recurse -and $i + 1 -lt $arguments.Count -and $arguments[$i + 1] -match '^[YyNn]$') {
            $i += 1
        } else {
            Write-Error "ERROR: Invalid argument/option - '$word'."
            $global:LASTEXITCODE = 1
            return
        }
    }
    if (-not $file) { Write-Error 'ERROR: Invalid syntax. /F is mandatory.'; $global:LASTEXITCODE = 1; return }
    if ($file.Contains('*')) { throw 'takeown double: wildcard patterns are not modelled' }
    if (-not (Test-Path -LiteralPath $file)) { Write-Error 'ERROR: The system cannot find the file specified.'; $global:LASTEXITCODE = 1; return }
    if ($file -eq $global:FakeWindows.TakeownFailOn) { Write-Error 'ERROR: Access is denied.'; $global:LASTEXITCODE = 1; return }
    $owner = $global:VkTest.InstallerSid
    if ($administrators) { $owner = $global:VkTest.AdministratorsSid }
    $targets = @($file)
    if ($recurse) { $targets += @(Get-FakeTreeBelow $file) }
    foreach ($target in $targets) { (Get-FakeAcl $target).Owner = $owner }
    Write-Output "SUCCESS: The file (or folder): `"$file`" now owned by the administrators group."
    $global:LASTEXITCODE = 0
}

# Get-Acl as Windows PowerShell returns it, for the members the scripts read.
# FileSystemRights carries the access mask as stored, so a generic right such
# as GENERIC_ALL shows as its number, as on Windows.
function global:Get-Acl([string]$LiteralPath) {
    if (-not (Test-Path -LiteralPath $LiteralPath)) { throw "Cannot find path '$LiteralPath' because it does not exist." }
    $acl = Get-FakeAcl $LiteralPath
    $view = [pscustomobject]@{ Acl = $acl; AreAccessRulesProtected = [bool]$acl.Protected }
    $view | Add-Member -MemberType ScriptMethod -Name GetOwner -Value {
        param($type)
        return [pscustomobject]@{ Value = $this.Acl.Owner }
    }
    $view | Add-Member -MemberType ScriptMethod -Name GetAccessRules -Value {
        param($explicit, $inherited, $type)
        return @($this.Acl.Entries | Where-Object { ($_.Inherited -and $inherited) -or (-not $_.Inherited -and $explicit) } | ForEach-Object {
            $rights = Split-AclRights $_.Rights
            $inheritance = 0
            if ($rights.Flags -contains 'OI') { $inheritance = $inheritance -bor [int][System.Security.AccessControl.InheritanceFlags]::ObjectInherit }
            if ($rights.Flags -contains 'CI') { $inheritance = $inheritance -bor [int][System.Security.AccessControl.InheritanceFlags]::ContainerInherit }
            $propagation = 0
            if ($rights.Flags -contains 'IO') { $propagation = $propagation -bor [int][System.Security.AccessControl.PropagationFlags]::InheritOnly }
            if ($rights.Flags -contains 'NP') { $propagation = $propagation -bor [int][System.Security.AccessControl.PropagationFlags]::NoPropagateInherit }
            [pscustomobject]@{
                IdentityReference = [pscustomobject]@{ Value = $_.Sid }
                IsInherited = $_.Inherited
                FileSystemRights = [Enum]::ToObject([System.Security.AccessControl.FileSystemRights], (ConvertTo-AccessMask $rights.Base))
                AccessControlType = [System.Security.AccessControl.AccessControlType]$_.Type
                InheritanceFlags = [System.Security.AccessControl.InheritanceFlags]$inheritance
                PropagationFlags = [System.Security.AccessControl.PropagationFlags]$propagation
            }
        })
    }
    return $view
}

# --- Registry (HKLM:), through Pester mocks of the item cmdlets ---------------

function Register-RegistryMocks {
    # The item cmdlets take arrays of paths; the scripts pass one.
    Mock New-Item -ParameterFilter { $Path -like 'HKLM:*' } -MockWith {
        $key = [string]$Path
        if ($global:FakeWindows.RegistryFails) { throw 'Requested registry access is not allowed.' }
        $global:FakeWindows.Calls.Add("New-Item $key Force=$($Force.IsPresent)")
        if (-not $global:FakeWindows.Registry.ContainsKey($key)) { $global:FakeWindows.Registry[$key] = @{} }
    }
    Mock New-ItemProperty -ParameterFilter { $LiteralPath -like 'HKLM:*' } -MockWith {
        $key = [string]$LiteralPath
        if ($global:FakeWindows.RegistryFails) { throw 'Requested registry access is not allowed.' }
        $global:FakeWindows.Calls.Add("New-ItemProperty $Name")
        $global:FakeWindows.Registry[$key][$Name] = [pscustomobject]@{ Type = [string]$PropertyType; Value = $Value }
    }
    Mock Remove-Item -ParameterFilter { $LiteralPath -like 'HKLM:*' } -MockWith {
        $key = [string]$LiteralPath
        $global:FakeWindows.Calls.Add("Remove-Item $key Recurse=$($Recurse.IsPresent)")
        if (-not $global:FakeWindows.Registry.ContainsKey($key)) { throw "Cannot find path '$key' because it does not exist." }
        $global:FakeWindows.Registry.Remove($key)
    }
}

# --- Runner fixtures ------------------------------------------------------------

# A machine as the install leaves it, without running the install: agent in the
# installation directory, job.json, ssh.conf and known_hosts in the machine
# directory.
function New-InstalledMachine($Tree, [string]$Machine, [hashtable]$Job = @{}) {
    $null = New-Item -ItemType Directory -Path $Tree.InstallDir -Force
    Copy-Item -LiteralPath (Join-Path $Tree.Package 'vardokeep-agent.exe') -Destination $Tree.InstallDir
    Copy-Item -LiteralPath (Join-Path $Tree.Package 'Run-Backup.ps1') -Destination $Tree.InstallDir
    $machineDir = Join-Path $Tree.StateDir $Machine
    $null = New-Item -ItemType Directory -Path $machineDir -Force
    $values = [ordered]@{
        Machine = $Machine
        Source = $Tree.Source
        SshConfig = Join-Path $machineDir 'ssh.conf'
        Destination = 'vardo-backup'
        UseVss = $false
        UseVssWriters = $false
        Excludes = @()
    }
    foreach ($key in $Job.Keys) { $values[$key] = $Job[$key] }
    [IO.File]::WriteAllText((Join-Path $machineDir 'job.json'), (ConvertTo-Json -InputObject $values -Depth 4), (New-Object System.Text.UTF8Encoding($true)))
    [IO.File]::WriteAllText((Join-Path $machineDir 'ssh.conf'), "Host vardo-backup`n")
    [IO.File]::WriteAllText((Join-Path $machineDir 'known_hosts'), "backup.example.net $($global:VkTest.ValidHostKey)`n")
    return $machineDir
}

function New-UniqueMachineName([string]$Prefix) {
    # Named mutexes live as long as the machine does; each test takes its own.
    return $Prefix + '-' + [guid]::NewGuid().ToString('N').Substring(0, 8)
}

function Invoke-Runner($Tree, [string]$Machine) {
    return Invoke-VkScript (Join-Path $Tree.InstallDir 'Run-Backup.ps1') @{ Machine = $Machine }
}

function Get-AgentArguments($Tree) {
    return @(Get-Content -LiteralPath $env:VK_FAKE_AGENT_ARGV)
}

function Get-RunLogs([string]$MachineDir, [string]$Extension) {
    return @(Get-ChildItem -LiteralPath $MachineDir -Filter ('backup-*' + $Extension) -File | Sort-Object Name)
}
